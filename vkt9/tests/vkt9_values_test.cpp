#include <gtest/gtest.h>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;
using hostemu::ValueKind;

namespace {

struct ValuesTest : ::testing::Test, HostFixture {
    sim::Vkt9Simulator meter;
    void SetUp() override { ConfigureMeter(device, meter); }
    hostemu::Tag& V(const char* name) { return Tag(0, name); }
    Lines Cycle() {
        device.ClearEvents();
        Vkt9Read(handle());
        return Logs();
    }
};

TEST_F(ValuesTest, DecodesEveryTypeAndJudgesItByItsStatus) {
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(Cycle(), (Lines{"read start", "read done"}));
    EXPECT_EQ(Exchanges(), 3u);
    struct Expect { const char* tag; ValueKind kind; double value; Quality q; };
    for (const Expect e : {Expect{"t1", ValueKind::Float, 71.5, QualityGood},
                           Expect{"p", ValueKind::Float, double{12345.0f / 100.0f}, QualityGood},
                           Expect{"heat", ValueKind::UInt, 1234567, QualityGood},
                           Expect{"mass", ValueKind::Double, double{98765.0f + 0.5f}, QualityGood},
                           Expect{"mode", ValueKind::Word, 3, QualityGood},
                           Expect{"flow", ValueKind::None, 0, QualitySensorFailure},
                           Expect{"vflow", ValueKind::None, 0, QualitySensorFailure}}) {
        EXPECT_EQ(V(e.tag).value.kind, e.kind) << e.tag;
        EXPECT_EQ(V(e.tag).value.number, e.value) << e.tag;
        EXPECT_EQ(V(e.tag).quality, e.q) << e.tag;
    }
    EXPECT_EQ(device.EventsOf(EventKind::Commit).size(), 7u) << "Failure after each item";

    meter.SetStatus(40006, 1);  // StatusNorm of p, neither of t1
    meter.SetStatus(30004, 5);  // StatusNorm of flow; vflow, sharing it, has neither set
    Cycle();
    EXPECT_EQ(V("t1").quality, QualitySensorFailure);
    EXPECT_EQ(V("p").quality, QualityGood);
    EXPECT_EQ(V("flow").quality, QualityGood);
    EXPECT_EQ(V("vflow").quality, QualitySensorFailure);
}

TEST_F(ValuesTest, WithoutGetQualityEveryValueIsGood) {
    device.properties.Set("GetQuality", "0");
    meter.SetStatus(30004, 7);
    meter.SetStatus(40006, 7);
    ASSERT_NE(Init(), nullptr);
    Cycle();
    for (const auto& tag : device.subdevices[0]->tags) EXPECT_EQ(tag->quality, QualityGood) << tag->name;
}

TEST_F(ValuesTest, FailedCycleIsFollowedByExactlyOneCycleWithoutExchanges) {
    ASSERT_NE(Init(), nullptr);
    meter.faults().silence = true;
    const Lines failed{"ERROR: no answer", "Error limit exceeded"};
    Lines expected{"read start"};
    for (int block = 0; block < 3; ++block) expected.insert(expected.end(), failed.begin(), failed.end());
    expected.push_back("read done");
    EXPECT_EQ(Cycle(), expected);
    EXPECT_EQ(device.FindTag("Failure")->value.number, 1);
    for (const auto& tag : device.subdevices[0]->tags) EXPECT_EQ(tag->quality, QualityBad) << tag->name;
    meter.faults().silence = false;
    EXPECT_TRUE(Cycle().empty());
    EXPECT_EQ(Exchanges(), 0u);
    EXPECT_EQ(device.EventsOf(EventKind::SetQuality).size(), 7u);
    Cycle();
    EXPECT_EQ(Exchanges(), 3u);
    EXPECT_EQ(device.FindTag("Failure")->value.number, 0);
}

TEST_F(ValuesTest, ErrorAnswerLeavesOnlyItsBlockUnreceived) {
    meter.SetErrorRegister(30003);
    ASSERT_NE(Init(), nullptr);
    const Lines missing{"ERROR: value not received", "ERROR: status not received"};
    EXPECT_EQ(Cycle(), (Lines{"read start", "ERROR: Get Error code", "Get Error code", missing[0], missing[1],
                              missing[0], missing[1], "read done"}));
    EXPECT_EQ(V("flow").quality, QualityBad);
    EXPECT_EQ(V("t1").quality, QualityGood);
    EXPECT_EQ(device.FindTag("Failure")->value.number, 0);
}

TEST_F(ValuesTest, RegisterNumberOfTheValueWinsInEitherRegisterSpace) {
    // Value at input register 5, status at holding register 5: the holding answer fills the value.
    auto& cross = device.subdevices[0]->AddTag(
        "cross", {{"Address", "30006"}, {"DataType", "1"}, {"RegStatus", "40006"}, {"StatusNorm", "0"}});
    meter.SetRegister(30005, 0);  // the gap the input block now spans
    meter.SetRegister(30006, 42);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(Cycle(), (Lines{"read start", "ERROR: status not received", "read done"}));
    EXPECT_EQ(cross.quality, QualityBad);
    EXPECT_EQ(cross.value.kind, ValueKind::None);
}

TEST(Vkt9Values, RegisterAtTheTopOfTheRangeIsWalkedWithoutOverflow) {
    HostFixture fx;
    ScriptedLine line;
    fx.device.channel = [&](auto tx, auto rx) { return line(tx, rx); };
    auto& top = fx.device.AddSubdevice("values", "Current").AddTag("top", {{"Address", "2147483647"}, {"DataType", "0"}});
    line.answers = {RepairCrc(Hex("01 00 04 42 8f 00 00 00 00"))};
    ASSERT_NE(fx.Init(), nullptr);
    Vkt9Read(fx.handle());
    EXPECT_EQ(top.value.number, 71.5);
    EXPECT_EQ(top.quality, QualityGood);
}

TEST_F(ValuesTest, DeviceWithoutValuesPublishesNothing) {
    device.subdevices[0]->tags.clear();
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(Cycle(), (Lines{"read start", "read done"}));
    EXPECT_TRUE(device.EventsOf(EventKind::Publish).empty());
}

TEST_F(ValuesTest, ClientWritesSwitchPollingAndAskForAnExtraRead) {
    ASSERT_NE(Init(), nullptr);
    auto write = [&](hostemu::Tag& tag, int32_t value) {
        device.SweepWrites();
        device.ClearEvents();
        device.QueueWrite(tag, value);
        Vkt9Write(handle());
    };
    hostemu::Tag& available = *device.FindTag("Available");
    write(available, 0);
    EXPECT_EQ(available.value.number, 0);
    Cycle();
    Vkt9ReadSubdevice(handle(), device.subdevices[1].get());
    EXPECT_TRUE(device.events.empty()) << "no exchange, no quality, no log";
    write(available, 2);
    EXPECT_EQ(available.value.number, 1);
    Cycle();
    EXPECT_EQ(Exchanges(), 3u);

    for (const int32_t ignored : {0, 2}) {
        write(*device.FindTag("UnschedulerRequest"), ignored);
        ASSERT_EQ(device.events.size(), 1u) << ignored;
        EXPECT_EQ(device.events[0].kind, EventKind::CompleteWrite);
        EXPECT_EQ(DeviceOf(handle())->unscheduled, 0);
    }
    write(*device.FindTag("UnschedulerRequest"), 1);
    EXPECT_EQ(device.EventsOf(EventKind::RequestPoll).size(), 1u);
    EXPECT_EQ(DeviceOf(handle())->unscheduled, 1);
    write(V("t1"), 1);
    EXPECT_TRUE(device.events.empty()) << "not a control tag: left pending";
}

}  // namespace
