#include <gtest/gtest.h>

#include "common/quality.h"
#include "sim/vkt9/vkt9_simulator.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;
using hostemu::EventKind;
using hostemu::Properties;
using hostemu::ValueKind;
using Lines = std::vector<std::string>;

namespace {

struct ValuesTest : ::testing::Test {
    HostFixture fx;
    sim::Vkt9Simulator meter;
    hostemu::Node& values = fx.device.AddSubdevice("values", "Current");
    hostemu::Tag& failure = fx.device.AddTag("Failure");
    hostemu::Tag& available = fx.device.AddTag("Available");
    hostemu::Tag& unscheduler = fx.device.AddTag("UnschedulerRequest");
    void SetUp() override {
        fx.device.properties.Set("address", "1");
        fx.device.channel = [this](auto tx, auto rx) { return meter.Exchange(tx, rx); };
        Add("t1", {{"Address", "40001"}, {"DataType", "0"}, {"RegStatus", "40006"}, {"StatusNorm", "0"}});
        Add("p", {{"Address", "40005"}, {"DataType", "2"}, {"Koeff", "100"}, {"RegStatus", "40006"},
                  {"StatusNorm", "1"}, {"StatusContract", "0"}});
        Add("heat", {{"Address", "40007"}, {"DataType", "3"}});
        Add("mass", {{"Address", "40009"}, {"DataType", "4"}});
        Add("mode", {{"Address", "40013"}, {"DataType", "1"}});
        Add("flow", {{"Address", "30001"}, {"DataType", "0"}, {"RegStatus", "30004"}, {"StatusNorm", "5"}});
        Add("vflow", {{"Address", "30003"}, {"DataType", "6"}, {"Koeff", "100"}, {"RegStatus", "30004"}});
    }
    void Add(const std::string& name, Properties props) { values.AddTag(name, std::move(props)); }
    hostemu::Tag& T(const char* name) { return *values.FindTag(name); }
    void Cycle() {
        fx.device.ClearEvents();
        Vkt9Read(fx.handle());
    }
};

TEST_F(ValuesTest, DecodesEveryTypeAndJudgesItByItsStatus) {
    ASSERT_NE(fx.Init(), nullptr);
    Cycle();
    EXPECT_EQ(fx.Exchanges(), 3u);
    struct Expect { const char* tag; ValueKind kind; double value; Quality q; };
    for (const Expect e : {Expect{"t1", ValueKind::Float, 71.5, QualityGood},
                           Expect{"p", ValueKind::Float, double{12345.0f / 100.0f}, QualityGood},
                           Expect{"heat", ValueKind::UInt, 1234567, QualityGood},
                           Expect{"mass", ValueKind::Double, double{98765.0f + 0.5f}, QualityGood},
                           Expect{"mode", ValueKind::Word, 3, QualityGood},
                           Expect{"flow", ValueKind::None, 0, QualitySensorFailure},
                           Expect{"vflow", ValueKind::None, 0, QualitySensorFailure}}) {
        EXPECT_EQ(T(e.tag).value.kind, e.kind) << e.tag;
        EXPECT_EQ(T(e.tag).value.number, e.value) << e.tag;
        EXPECT_EQ(T(e.tag).quality, e.q) << e.tag;
    }
    EXPECT_EQ(fx.device.EventsOf(EventKind::Commit).size(), 7u) << "Failure after each item";
    EXPECT_EQ(failure.value.number, 0);
    EXPECT_EQ(fx.Logs(), (Lines{"read start", "read done"}));

    meter.SetStatus(40006, 1);  // StatusNorm of p, neither of t1
    meter.SetStatus(30004, 5);  // StatusNorm of flow; vflow has neither set
    Cycle();
    EXPECT_EQ(T("t1").quality, QualitySensorFailure);
    EXPECT_EQ(T("p").quality, QualityGood);
    EXPECT_EQ(T("flow").quality, QualityGood);
    EXPECT_EQ(T("vflow").quality, QualitySensorFailure);
}

TEST_F(ValuesTest, WithoutGetQualityEveryValueIsGood) {
    fx.device.properties.Set("GetQuality", "0");
    meter.SetStatus(30004, 7);
    meter.SetStatus(40006, 7);
    ASSERT_NE(fx.Init(), nullptr);
    Cycle();
    for (const char* name : {"t1", "p", "flow", "vflow"}) EXPECT_EQ(T(name).quality, QualityGood) << name;
    EXPECT_FLOAT_EQ(static_cast<float>(T("vflow").value.number), 60.0f);
}

TEST_F(ValuesTest, FailedCycleIsFollowedByExactlyOneCycleWithoutExchanges) {
    ASSERT_NE(fx.Init(), nullptr);
    meter.faults().silence = true;
    Cycle();
    EXPECT_EQ(fx.Logs(), (Lines{"read start", "ERROR: no answer", "Error limit exceeded", "ERROR: no answer",
                                "Error limit exceeded", "ERROR: no answer", "Error limit exceeded", "read done"}));
    EXPECT_EQ(failure.value.number, 1);
    for (const auto& tag : values.tags) EXPECT_EQ(tag->quality, QualityBad) << tag->name;
    meter.faults().silence = false;
    Cycle();
    EXPECT_EQ(fx.Exchanges(), 0u);
    EXPECT_TRUE(fx.Logs().empty());
    EXPECT_EQ(fx.device.EventsOf(EventKind::SetQuality).size(), 7u);
    Cycle();
    EXPECT_EQ(fx.Exchanges(), 3u);
    EXPECT_EQ(T("t1").quality, QualityGood);
    EXPECT_EQ(failure.value.number, 0);
}

TEST_F(ValuesTest, ErrorAnswerLeavesOnlyItsBlockUnreceived) {
    meter.SetErrorRegister(30003);
    ASSERT_NE(fx.Init(), nullptr);
    Cycle();
    EXPECT_EQ(fx.Logs(), (Lines{"read start", "ERROR: Get Error code", "Get Error code",                 //
                                "ERROR: value not received", "ERROR: status not received",               //
                                "ERROR: value not received", "ERROR: status not received", "read done"}));
    EXPECT_EQ(T("flow").quality, QualityBad);
    EXPECT_EQ(T("t1").quality, QualityGood);
    EXPECT_EQ(failure.value.number, 0);
}

TEST_F(ValuesTest, DeviceWithoutValuesPublishesNothing) {
    values.tags.clear();
    ASSERT_NE(fx.Init(), nullptr);
    Cycle();
    EXPECT_EQ(fx.Logs(), (Lines{"read start", "read done"}));
    EXPECT_TRUE(fx.device.EventsOf(EventKind::Publish).empty());
}

TEST_F(ValuesTest, ClientWritesSwitchPollingAndAskForAnExtraRead) {
    ASSERT_NE(fx.Init(), nullptr);
    auto write = [&](hostemu::Tag& tag, int32_t value) {
        fx.device.SweepWrites();
        fx.device.ClearEvents();
        fx.device.QueueWrite(tag, value);
        Vkt9Write(fx.handle());
    };
    write(available, 0);
    EXPECT_EQ(available.value.number, 0);
    Cycle();
    Vkt9ReadSubdevice(fx.handle(), &values);
    EXPECT_TRUE(fx.device.events.empty()) << "no exchange, no quality, no log";
    write(available, 2);
    EXPECT_EQ(available.value.number, 1);
    Cycle();
    EXPECT_EQ(fx.Exchanges(), 3u);

    write(unscheduler, 0);
    EXPECT_EQ(fx.device.EventsOf(EventKind::CompleteWrite).size(), 1u);
    EXPECT_EQ(fx.device.events.size(), 1u);
    write(unscheduler, 1);
    EXPECT_EQ(fx.device.EventsOf(EventKind::RequestPoll).size(), 1u);
    EXPECT_EQ(DeviceOf(fx.handle())->unscheduled, 1);
    write(T("t1"), 1);
    EXPECT_TRUE(fx.device.events.empty());
    EXPECT_FALSE(fx.device.writes.front().completed);
}

}  // namespace
