#include <gtest/gtest.h>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

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

TEST_F(ValuesTest, StatusWordsJudgeEveryValueOfTheirSystem) {
    ASSERT_NE(Init(), nullptr);
    // t1: StatusNorm 0; p: StatusNorm 1, StatusContract 0; flow: StatusNorm 5; vflow shares flow's status, neither set.
    struct Round { uint16_t status4, status3; std::vector<Quality> t1PFlowVflow; };
    for (const Round& r : {Round{0, 0, {QualityGood, QualityGood, QualitySensorFailure, QualitySensorFailure}},
                           Round{1, 5, {QualitySensorFailure, QualityGood, QualityGood, QualitySensorFailure}}}) {
        meter.SetStatus(40006, r.status4);
        meter.SetStatus(30004, r.status3);
        EXPECT_EQ(Cycle(), (Lines{"read start", "read done"}));
        EXPECT_EQ(Exchanges(), 3u);
        EXPECT_EQ(device.EventsOf(EventKind::Commit).size(), 7u) << "Failure after each item";
        EXPECT_EQ((std::vector<Quality>{V("t1").quality, V("p").quality, V("flow").quality, V("vflow").quality}), r.t1PFlowVflow);
    }
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
    Lines expected{"read start"};
    for (int block = 0; block < 3; ++block) expected.insert(expected.end(), {"ERROR: no answer", "Error limit exceeded"});
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
    EXPECT_EQ(Cycle(), (Lines{"read start", "ERROR: Get Error code", "Get Error code", missing[0], missing[1], missing[0], missing[1],
                              "read done"}));
    EXPECT_EQ(V("flow").quality, QualityBad);
    EXPECT_EQ(V("t1").quality, QualityGood);
    EXPECT_EQ(device.FindTag("Failure")->value.number, 0);
}

TEST_F(ValuesTest, RegisterNumberOfTheValueWinsInEitherRegisterSpace) {
    // Value at input register 5, status at holding register 5: the holding answer fills the value.
    auto& cross = device.subdevices[0]->AddTag("cross", {{"Address", "30006"}, {"DataType", "1"}, {"RegStatus", "40006"}, {"StatusNorm", "0"}});
    meter.SetRegister(30005, 0);  // the gap the input block now spans
    meter.SetRegister(30006, 42);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(Cycle(), (Lines{"read start", "ERROR: status not received", "read done"}));
    EXPECT_EQ(cross.quality, QualityBad);
    EXPECT_EQ(cross.value.kind, hostemu::ValueKind::None);
}

TEST(Vkt9Values, RegisterAtTheTopOfTheRangeIsWalkedWithoutOverflow) {
    HostFixture fx;
    ScriptedLine line{{RepairCrc(Hex("01 00 04 42 8f 00 00 00 00"))}, {}};
    fx.device.channel = [&](auto tx, auto rx) { return line(tx, rx); };
    auto& top = fx.device.AddSubdevice("values", "Current").AddTag("top", {{"Address", "2147483647"}, {"DataType", "0"}});
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
    for (const int32_t value : {0, 2, 1}) {
        write(*device.FindTag("UnschedulerRequest"), value);
        EXPECT_EQ(device.EventsOf(EventKind::CompleteWrite).size(), 1u) << value;
        EXPECT_EQ(device.EventsOf(EventKind::RequestPoll).size(), value == 1 ? 1u : 0u) << value;
        EXPECT_EQ(device.events.size(), value == 1 ? 2u : 1u) << value;
        EXPECT_EQ(DeviceOf(handle())->unscheduled, value == 1) << value;
    }
    write(V("t1"), 1);
    EXPECT_TRUE(device.events.empty()) << "not a control tag: left pending";
}

}  // namespace
