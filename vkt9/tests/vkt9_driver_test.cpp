#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <tuple>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

// The configured meter of the support header, polled through the driver's calls.
struct Vkt9Test : ::testing::Test, HostFixture {
    sim::Vkt9Simulator meter;
    void SetUp() override { ConfigureMeter(device, meter); }
    hostemu::Tag& V(const char* name) { return Tag(0, name); }
    Lines Cycle() { return device.ClearEvents(), Vkt9Read(handle()), Logs(); }
    Lines ReadArchive(size_t i) { return device.ClearEvents(), Vkt9ReadSubdevice(handle(), device.subdevices.at(i).get()), Logs(); }
    size_t HeatRecords() { return Published(device, &Tag(1, "heat")).size(); }
};

const Bytes kRead = Hex("01 03 08 00 01 00 02 00 03 00 04 0d 14");  // answer to 01 03 00 09 00 04

TEST_F(Vkt9Test, GoldenRequestsOfTheThreeKinds) {
    auto p = Link(3);
    line.answers = {kRead, Hex("01 03 06 00 63 00 64 00 05 64 a1"), {}};
    p->ReadBlock(RequestBlock{FunctionHolding, 9, 4, 0});
    Archive archive;
    archive.function = FunctionHolding, archive.register_ = 100, archive.LengthByteAnswer = 24;
    EXPECT_EQ(p->ReadArchiveIndex(archive), 5);
    EXPECT_EQ(archive.ringTop, 99);
    EXPECT_FALSE(p->ReadArchiveRecord(archive, 97));
    EXPECT_EQ(line.requests, (std::vector<Bytes>{Hex("01 03 00 09 00 04 94 0b"), Hex("01 03 00 64 00 03 44 14"), Hex("01 41 00 38 61 00 01 99 af")}));
    EXPECT_EQ(Logs(), (Lines{"ERROR: no answer", "Error while reading the archive"}));
}

TEST_F(Vkt9Test, EveryOutcomeOfAnExchangeWithItsLines) {
    auto changed = [](size_t at, uint8_t byte) { Bytes b = kRead; b[at] = byte; return RepairCrc(b); };
    const Bytes badCrc = Hex("01 03 08 00 01 00 02 00 03 00 04 0d 15");
    const std::string crc = "ERROR: CRC", wrong = "ERROR: wrong answer", head = "ERROR: wrong answer (uncorrect Address, or Service Byte)";
    struct Case { uint32_t attempts; bool record; std::vector<Bytes> answers; int32_t lineResult; int result; size_t requests; Lines logs; };
    for (const Case& c : std::vector<Case>{
             {0, false, {kRead}, 0, ExchangeFailed, 0, {}},
             {3, false, {}, 0, ExchangeFailed, 1, {"ERROR: no answer"}},
             {3, false, {kRead}, -2, ExchangeFailed, 1, {"ERROR: no init sendandrecive"}},
             {7, false, {{1, 3}, badCrc, changed(0, 2), changed(1, 4), changed(2, 6), Hex("01 03 06 00 01 00 02 00 03 8c 48"), kRead}, 0,
              ExchangeOk, 7, {"ERROR: Short answer", crc, "ERROR: wrong answer length", crc, wrong, head, head,
                              "ERROR: wrong answer (uncorrect length data)", crc, "ERROR: wrong answer length"}},
             {3, false, {badCrc, badCrc, badCrc}, 0, ExchangeFailed, 3, {crc, wrong, crc, wrong, crc, wrong}},
             {3, false, {Hex("01 83 02 c0 f1"), kRead}, 0, ExchangeErrorAnswer, 1, {"ERROR: Get Error code"}},
             {3, true, {RepairCrc(Hex("01 c1 02 00 00"))}, 0, ExchangeErrorAnswer, 1, {"ERROR: Get Error code"}},
             // Short records, the third byte not compared: taken when sound, else retried.
             {3, true, {RepairCrc(Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00"))}, 0, ExchangeOk, 1, {"WARNING: incomplete answer"}},
             {3, true, {Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00")}, 0, ExchangeFailed, 2,
              {crc, "WARNING: incomplete answer", crc, wrong, "ERROR: no answer"}}}) {
        SCOPED_TRACE(testing::Message() << "case with " << c.requests << " requests, result " << c.result);
        device.ClearEvents();
        auto p = Link(c.attempts);
        line = ScriptedLine{{c.answers.begin(), c.answers.end()}, {}};
        if (c.lineResult < 0) device.channel = [&c](auto, auto) { return c.lineResult; };
        const Bytes request = Hex(c.record ? "01 41 00 38 61 00 01" : "01 03 00 09 00 04");
        std::copy(request.begin(), request.end(), p->tx.begin());
        EXPECT_EQ(p->Exchange(static_cast<unsigned>(request.size()), c.record ? 29 : 8, c.record), c.result);
        EXPECT_EQ(Exchanges(), c.requests);
        if (c.result == ExchangeOk) {
            EXPECT_EQ(p->rxLength, static_cast<int32_t>(c.answers.back().size()));
        }
        EXPECT_EQ(Logs(), c.logs);
    }
}

TEST(Vkt9Config, ModbusNotationDeviceAddressAndAnEmptyDevice) {
    struct Case { int32_t configured, functionBefore, function, reg; };
    for (const Case c : {Case{40010, 0, 3, 9}, Case{30001, 0, 4, 0}, Case{12, 0, 0, 12}, Case{30000, 0, 4, -1}, Case{40000, -1, 3, -1},
                         Case{49999, 0, 3, 9998}, Case{50000, -1, -1, 50000}}) {
        int32_t function = c.functionBefore, reg = 0;
        ConvertRegister(c.configured, function, reg);
        EXPECT_EQ(std::pair(function, reg), std::pair(c.function, c.reg)) << c.configured;
    }
    // A device without subdevices: no values, no archives, no control tag bound.
    for (const auto& [text, address] : {std::pair<const char*, int>{nullptr, 255}, {"17", 17}, {"300", 44}, {"abc", 255}, {"", 255}}) {
        HostFixture fx;
        fx.device.properties = {};
        if (text) fx.device.properties.Set("address", text);
        fx.device.AddTag("Available");
        const Device* d = fx.Init();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->protocol.address, address);
        EXPECT_EQ(d->availableTag, nullptr);
        EXPECT_TRUE(fx.device.EventsOf(EventKind::Publish).empty());
        Lines expected{"init, version 1.0", "No tags"};
        if (address == 255) expected.insert(expected.begin() + 1, "ERROR: address is not a number, 255 is used");
        EXPECT_EQ(fx.Logs(), expected);
    }
}

TEST(Vkt9Config, RequestBlocksMergeByGapAndNeverShrink) {
    using V = std::vector<std::vector<int32_t>>;
    auto blocks = [](std::vector<RequestItem> items, int32_t gap) {
        V out;
        for (const RequestBlock& b : BuildRequestBlocks(items, gap)) out.push_back({static_cast<int32_t>(b.function), b.start, b.count, b.gap});
        return out;
    };
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 13, 1, 0}}, 0), (V{{3, 10, 4, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 14, 1, 0}}, 0), (V{{3, 10, 2, 0}, {3, 14, 1, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 20, 1, 0}}, 8), (V{{3, 10, 11, 8}}));
    EXPECT_EQ(blocks({{3, 10, 4, 0}, {3, 11, 1, 0}}, 0), (V{{3, 10, 4, 0}})) << "a status inside a value";
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {4, 11, 1, 0}}, 5), (V{{3, 10, 1, 5}, {4, 11, 1, 5}}));
    EXPECT_EQ(blocks({{3, 10, 1, 1}, {3, 11, 1, 1}, {3, 12, 1, 0}, {3, 13, 1, 0}}, 0), (V{{3, 10, 2, 0}, {3, 12, 2, 0}}));
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {3, 10, 2, 0}}, 0), (V{{3, 10, 1, 0}, {3, 10, 2, 0}}));
    EXPECT_EQ(blocks({{0, 0, 1, 0}, {0, 40000, 1, 0}}, 50000), (V{{0, 0, 1, 50000}, {0, 40000, 1, 50000}})) << "within the receive buffer";
}

TEST(Vkt9Config, TagsAreValidatedSortedAndTakenOutOfService) {
    HostFixture fx;
    fx.device.AddTag("Available");
    fx.device.properties.Set("GetQuality", "false");
    auto& values = fx.device.AddSubdevice("values", "Current");
    auto& holding = values.AddTag("b", {{"Address", "40011"}, {"DataType", "0"}, {"RegStatus", "40001"}});
    auto& input = values.AddTag("a", {{"Address", "30001"}, {"DataType", "4"}});
    auto& plain = values.AddTag("c", {{"Address", "12"}, {"DataType", "6"}, {"Koeff", "10"}});
    for (auto [name, props] : {std::pair<const char*, hostemu::Properties>{"noType", {{"Address", "40001"}}}, {"noAddress", {{"DataType", "1"}}},
                               {"type5", {{"Address", "40003"}, {"DataType", "5"}}}})
        values.AddTag(name, props);
    auto add = [&](const char* type, const char* length, const char* reg) -> hostemu::Node& {
        auto& node = fx.device.AddSubdevice("", std::string("Archive") + type);
        node.properties = {{"TypeArchive", type}, {"LengthByteAnswer", length}, {"LastIndexRegister", reg}};
        return node;
    };
    auto& hour = add("0", "24", "40101");
    for (auto [name, at, type, koeff] : {std::tuple{"late", "8", "3", "1"}, {"early", "4", "0", "1"}, {"noKoeff", "12", "2", ""}, {"type7", "12", "7", "1"}}) {
        hour.AddTag(name, {{"AddressByte", at}, {"DataType", type}});
        if (*koeff) hour.tags.back()->properties.Set("Koeff", koeff);
    }
    add("1", "24", "12");
    add("1", "65527", "30001");
    for (int i = 0; i < 20; ++i) add("1", "24", "40111");
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    const auto& items = d->protocol.valueItems;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ((std::vector<void*>{items[0].tag, items[1].tag, items[2].tag}), (std::vector<void*>{&plain, &holding, &input}));
    EXPECT_EQ(items[1].RegStatus, -1) << "GetQuality false";
    EXPECT_EQ(items[0].Koeff, 10.0f);
    ASSERT_EQ(d->protocol.requestBlocks.size(), 3u);
    EXPECT_EQ(d->protocol.requestBlocks[2].count, 4);
    for (auto* tag : {&plain, &holding, &input}) EXPECT_EQ(tag->quality, QualityOutOfService);
    EXPECT_EQ(d->availableTag, fx.device.FindTag("Available"));
    EXPECT_EQ(d->unschedulerTag, nullptr);
    EXPECT_EQ(Published(fx.device, fx.device.FindTag("Available")).size(), fx.device.subdevices.size()) << "the control tag once per subdevice";
    const auto& archives = d->protocol.archives;
    ASSERT_EQ(archives.size(), 20u);
    EXPECT_EQ(std::pair(archives[0].function, archives[0].register_), std::pair(int32_t{FunctionHolding}, 100));
    ASSERT_EQ(archives[0].values.size(), 2u);
    EXPECT_EQ(std::pair(archives[0].values[0].AddressByte, archives[0].values[1].AddressByte), std::pair(4, 8)) << "sorted";
    EXPECT_EQ(archives[19].ordinal, 19);
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "Error reading tag: unknown DataType", "Error reading archive tag",
                                "Error reading archive tag: unknown DataType", "Error reading archive subdevice",
                                "Error reading archive subdevice: LengthByteAnswer out of range",
                                "Error reading archive subdevice: more than 20 archives"}));
}

TEST(Vkt9Values, StatusWordsJudgeTheValuesOfTheirSystemUnlessGetQualityIsOff) {
    // t1: StatusNorm 0; p: StatusNorm 1, StatusContract 0; flow: StatusNorm 5; vflow shares flow's status, neither set.
    const Quality G = QualityGood, S = QualitySensorFailure;
    for (const auto& [getQuality, expected] : {std::pair{"1", std::vector<Quality>{S, G, G, S}}, {"0", {G, G, G, G}}}) {
        HostFixture fx;
        sim::Vkt9Simulator meter;
        ConfigureMeter(fx.device, meter);
        fx.device.properties.Set("GetQuality", getQuality);
        meter.SetStatus(40006, 1);
        meter.SetStatus(30004, 5);
        ASSERT_NE(fx.Init(), nullptr);
        fx.device.ClearEvents();
        Vkt9Read(fx.handle());
        EXPECT_EQ(fx.Logs(), (Lines{"read start", "read done"}));
        EXPECT_EQ(fx.Exchanges(), 3u);
        EXPECT_EQ(fx.device.EventsOf(EventKind::Commit).size(), 7u) << "Failure after each item";
        EXPECT_EQ((std::vector<Quality>{fx.Tag(0, "t1").quality, fx.Tag(0, "p").quality, fx.Tag(0, "flow").quality, fx.Tag(0, "vflow").quality}),
                  expected) << getQuality;
    }
}

TEST_F(Vkt9Test, FailedCycleIsFollowedByExactlyOneCycleWithoutExchanges) {
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

TEST_F(Vkt9Test, ErrorAnswerLeavesOnlyItsBlockUnreceived) {
    meter.SetErrorRegister(30003);
    ASSERT_NE(Init(), nullptr);
    const std::string value = "ERROR: value not received", status = "ERROR: status not received";
    EXPECT_EQ(Cycle(), (Lines{"read start", "ERROR: Get Error code", "Get Error code", value, status, value, status, "read done"}));
    EXPECT_EQ(std::pair(V("flow").quality, V("t1").quality), std::pair(QualityBad, QualityGood));
    EXPECT_EQ(device.FindTag("Failure")->value.number, 0);
}

TEST_F(Vkt9Test, RegisterNumberOfTheValueWinsInEitherRegisterSpace) {
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
    fx.Link(1);
    fx.line.answers = {RepairCrc(Hex("01 00 04 42 8f 00 00 00 00"))};
    auto& top = fx.device.AddSubdevice("values", "Current").AddTag("top", {{"Address", "2147483647"}, {"DataType", "0"}});
    ASSERT_NE(fx.Init(), nullptr);
    Vkt9Read(fx.handle());
    EXPECT_EQ(std::pair(top.value.number, top.quality), std::pair(71.5, QualityGood));
}

TEST_F(Vkt9Test, DeviceWithoutValuesPublishesNothing) {
    device.subdevices[0]->tags.clear();
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(Cycle(), (Lines{"read start", "read done"}));
    EXPECT_TRUE(device.EventsOf(EventKind::Publish).empty());
}

TEST_F(Vkt9Test, ClientWritesSwitchPollingAndAskForAnExtraRead) {
    ASSERT_NE(Init(), nullptr);
    auto write = [&](hostemu::Tag& tag, int32_t value) {
        device.SweepWrites(), device.ClearEvents(), device.QueueWrite(tag, value);
        Vkt9Write(handle());
    };
    for (const int32_t value : {0, 2, 256}) {  // echoed as the 8-bit flag holds it: 256 is 0
        write(*device.FindTag("Available"), value);
        EXPECT_EQ(device.FindTag("Available")->value.number, value & 0xFF);
        const bool quietCycle = (Cycle(), device.events.empty());
        const size_t cycleExchanges = Exchanges();
        ReadArchive(1);
        EXPECT_EQ(quietCycle && device.events.empty(), value != 2) << "no exchange, no quality, no log while 0";
        EXPECT_EQ(cycleExchanges + Exchanges(), value != 2 ? 0u : 3u + 4u) << "three blocks, the index and three records";
    }
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

TEST_F(Vkt9Test, GoldenRecordIsLittleEndianAndStampedAtTheEndOfItsHour) {
    auto p = Link(1, 0xff);
    // 5 March 2024, hour 10: 1.5, 0x01020304, -8 / 4, 0xfffe, and a value on the CRC bytes (c9 42), decoded as
    // they came; then a short answer whose CRC low byte (09) is the hour: 3 March, hour 9.
    line.answers = {RepairCrc(Hex("ff 41 00 38 61 00 01 18 03 05 0a 00 00 c0 3f 04 03 02 01 f8 ff fe ff 00 00")), Hex("ff 41 00 38 62 00 01 18 03 03 09 2c")};
    Archive archive;
    archive.LengthByteAnswer = 16;
    archive.values = {{nullptr, 4, DataFloat, 1, 0, 0, 0}, {nullptr, 8, DataUInt32, 1, 0, 0, 0}, {nullptr, 12, DataScaledInt16, 4, 0, 0, 0},
                      {nullptr, 14, DataWord, 1, 0, 0, 0}, {nullptr, 16, DataWord, 1, 0, 0, 0}};
    EXPECT_TRUE(p->ReadArchiveRecord(archive, 97));
    EXPECT_EQ(archive.recordTime.FormatTime(), "2024.03.05 11:00:00");
    EXPECT_EQ(std::tuple(archive.values[0].floatValue, archive.values[1].intValue, archive.values[2].floatValue), std::tuple(1.5f, 0x01020304, -2.0f));
    EXPECT_EQ(static_cast<uint16_t>(archive.values[3].intValue), 0xfffe);
    EXPECT_EQ(static_cast<uint16_t>(archive.values[4].intValue), 0x42c9);
    EXPECT_TRUE(p->ReadArchiveRecord(archive, 98));
    EXPECT_EQ(archive.recordTime.FormatTime(), "2024.03.03 10:00:00");
    float tail = 0;  // the CRC high byte, then what the first answer left
    const uint8_t tailBytes[4] = {0x2c, 0x00, 0xc0, 0x3f};
    std::memcpy(&tail, tailBytes, sizeof tail);
    EXPECT_EQ(archive.values[0].floatValue, tail) << "values beyond the answer decoded from the buffer as it stands";
    EXPECT_EQ(archive.values[1].intValue, 0x01020304);
    EXPECT_EQ(Logs(), Lines{"WARNING: incomplete answer"});
}

TEST(Vkt9Archive, DepthAndCountRecordDecideWhereAndHowFarAReadGoes) {
    // Ring 0..99, current index 0; a depth of -200 steps once past the ring's end, to a record the meter refuses.
    struct Case { const char* depth; const char* count; Lines tail; };
    for (const Case& c : {Case{"3", "10", {"Read record 97 ", "Read record 98 ", "Read record 99 "}},
                          Case{"-1", "2", {"Read record 1 ", "Read record 2 "}}, Case{"0", "5", {"No new records in the archive"}},
                          Case{"500", "1", {"Read record 1 "}}, Case{"3", "-1", {}}, Case{"3", "0", {}},
                          Case{"-200", "1", {"Read record 100 ", "ERROR: Get Error code", "Record not found"}},
                          // The ends of int: the deepest start, and a single wrap far past the ring.
                          Case{"2147483647", "1", {"Read record 1 "}},
                          Case{"-2147483648", "1", {"Read record 2147483548 ", "ERROR: Get Error code", "Record not found"}}}) {
        HostFixture fx;
        sim::Vkt9Simulator meter;
        ConfigureMeter(fx.device, meter);
        fx.device.properties.Set("DepthHour", c.depth).Set("CountRecord", c.count);
        ASSERT_NE(fx.Init(), nullptr);
        fx.device.ClearEvents();
        Vkt9ReadSubdevice(fx.handle(), fx.device.subdevices[1].get());
        Lines expected{"read subdevice ArchiveHour start"};
        if (std::atoi(c.count) > 0) expected.push_back("Get Index=0");
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(fx.Logs(), expected) << c.depth << " " << c.count;
        EXPECT_EQ(fx.device.subdevices[1]->log, Lines{expected[0]}) << "written to the node too";
    }
}

TEST_F(Vkt9Test, RecordsNotFoundAreSkippedAndLinkFailuresRetried) {
    meter.SetErrorRecord(Kind::Hour, 97);
    meter.SetImpossibleDate(Kind::Hour, 99);
    device.properties.Set("CountRecord", "2");
    ASSERT_NE(Init(), nullptr);
    ReadArchive(1);
    EXPECT_EQ(HeatRecords(), 1u) << "nothing for 97, whose time is unset";
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 99 ", "Record not found"}));
    EXPECT_EQ(HeatRecords(), 0u) << "99 is the first of this read: nothing to repeat";
    // The line falls silent on a record: the same record is asked for again.
    meter.SetErrorRecord(Kind::Hour, 97, false);
    meter.SetErrorRecord(Kind::Hour, 98);
    DeviceOf(handle())->protocol.lastIndex[0] = NotConfigured;
    int requests = 0;
    device.channel = [&](auto tx, auto rx) { return ++requests == 2 ? 0 : meter.Exchange(tx, rx); };
    EXPECT_EQ(ReadArchive(1).back(), "Error reading archive");
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 97 ", "Read record 98 ",
                                     "ERROR: Get Error code", "Record not found"}));
    const auto heat = Published(device, &Tag(1, "heat"));
    ASSERT_EQ(heat.size(), 2u) << "98 publishes 97 again";
    EXPECT_EQ(heat[1]->time, heat[0]->time);
}

TEST_F(Vkt9Test, ArchivesAreFoundByTypeArchiveAndShowTheUnscheduledFlag) {
    device.AddSubdevice("", "ArchiveHourTwin").properties = device.subdevices[1]->properties;
    auto& seven = device.AddSubdevice("", "ArchiveSeven");
    (seven.properties = device.subdevices[2]->properties).Set("TypeArchive", 7);
    device.properties.Set("CountRecord", "1");
    Device* d = Init();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->protocol.archives[3].type, ArchiveTypeMonth);
    EXPECT_EQ(ReadArchive(4), (Lines{"read subdevice ArchiveSeven start", "Error find Subdevice in collection"}));
    seven.properties.Set("TypeArchive", 2);
    EXPECT_EQ(ReadArchive(4)[1], "Get Index=0") << "found as the month archive";
    d->unscheduled = 1;
    EXPECT_TRUE(ReadArchive(0).empty());
    EXPECT_EQ(device.FindTag("UnschedulerRequest")->value.number, 1) << "shown, and kept for an archive read";
    ReadArchive(3);
    EXPECT_EQ(d->protocol.lastIndex[0], 98) << "the first hour archive is the one read";
    EXPECT_EQ(HeatRecords(), 1u);
    std::vector<double> flags;
    for (const auto* e : Published(device, device.FindTag("UnschedulerRequest"))) flags.push_back(e->value.number);
    EXPECT_EQ(flags, (std::vector<double>{1, 0}));
}

// The two lines every archive read logs, written without the general appender: the
// subdevice line cut as the buffer cuts it, the index with all its digits.
TEST_F(Vkt9Test, ArchiveLinesKeepLongTypesAndIndicesOfSeveralDigits) {
    const std::vector<size_t> pads{0, 226, 227, 228, 400};  // the whole line fits 255 bytes up to 227
    for (const size_t pad : pads)
        device.AddSubdevice("", std::string(pad, 'x') + "Archive").properties = device.subdevices[1]->properties;
    device.properties.Set("CountRecord", "1");
    ASSERT_NE(Init(), nullptr);
    meter.SetRingTop(Kind::Hour, 65535);
    const uint16_t indices[] = {7, 10, 99, 100, 4321, 65535};
    for (size_t i = 0; i < pads.size(); ++i) {
        const std::string type = std::string(pads[i], 'x') + "Archive";
        const std::string line = "read subdevice " + type + " start";
        for (const uint16_t index : indices) {
            meter.SetCurrentIndex(Kind::Hour, index);
            const Lines logs = ReadArchive(3 + i);
            ASSERT_GE(logs.size(), 2u) << pads[i] << " " << index;
            EXPECT_EQ(logs[0], line.substr(0, 255)) << pads[i];
            EXPECT_EQ(logs[1], "Get Index=" + std::to_string(index));
        }
    }
}

// Arbitrary and mutated answers through the link, the block walk and the record
// decoder; the sanitizer build turns any stray access into a failure.
TEST(Vkt9Fuzz, LinkWalkAndRecordDecoderTakeAnyAnswer) {
    const int32_t types[] = {DataFloat, DataWord, DataScaledInt16, DataUInt32, DataIntPlusFloat, DataScaledUInt16};
    std::mt19937 rng{20240307};
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    // Random data and a CRC, then bytes changed, cut or added; mostly with the CRC repaired past the checks.
    auto frame = [&](Bytes f, size_t data) {
        for (size_t i = 0; i < data + 2; ++i) f.push_back(static_cast<uint8_t>(rng()));
        f = RepairCrc(f);
        for (size_t edits = pick(3); edits > 0 && !f.empty(); --edits) {
            const size_t at = pick(f.size() - 1), how = pick(2);
            if (how == 0) f[at] = static_cast<uint8_t>(rng());
            else if (how == 1) f.resize(at);
            else f.insert(f.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        }
        return pick(4) != 0 && f.size() >= 3 ? RepairCrc(f) : f;
    };
    HostFixture fx;
    fx.device.recordEvents = false;
    auto p = fx.Link(2);
    auto& tag = fx.device.AddSubdevice("values", "Current").AddTag("v");
    for (int32_t reg = 0; reg < 12; ++reg)
        p->valueItems.push_back({FunctionHolding, reg, types[reg % 6], 1, FunctionHolding, (reg * 7) % 12, 0, 0, 0, 0, 0, 0, 0, 0, &tag});
    Archive archive;
    for (int32_t pos = 0; pos < 40; pos += 3) archive.values.push_back({nullptr, pos, types[pos % 6], 2.0f, 0, 0, 0});
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        const bool record = rng() % 2 == 0;
        const unsigned length = rng() % 40;
        p->tx[0] = 1;
        p->tx[1] = record ? FunctionRecord : FunctionHolding;
        const Bytes answer = frame(record ? Bytes{1, FunctionRecord} : Bytes{1, FunctionHolding, static_cast<uint8_t>(length)}, length);
        fx.line.answers = {answer, answer};
        if (p->Exchange(6, length, record) == ExchangeOk) {
            ++accepted;
            ASSERT_TRUE(record || p->rxLength == static_cast<int32_t>(length + 5));
            ASSERT_TRUE(CheckCrc16(p->rx.data(), static_cast<size_t>(p->rxLength)));
        }
        const auto count = static_cast<int32_t>(1 + rng() % 12);
        fx.line.answers = {frame({1, FunctionHolding, static_cast<uint8_t>(2 * count)}, 2 * static_cast<size_t>(count))};
        p->ReadBlock(RequestBlock{FunctionHolding, static_cast<int32_t>(rng() % 12), count, 0});
        // The decoder sees exactly the bytes received, so ASan catches any read past them.
        archive.LengthByteAnswer = static_cast<int32_t>(rng() % 48);
        const Bytes received = frame({}, pick(60));
        const auto before = archive.values;
        Protocol::DecodeArchiveRecord(archive, received.data(), received.size(), CalendarTime(24, 3, 7, 1, 0, 0));
        for (size_t i = 0; received.size() < 7 + 4 + 2 && i < before.size(); ++i)
            ASSERT_EQ(archive.values[i].intValue, before[i].intValue) << "nothing decoded from a record without values";
    }
    EXPECT_GT(accepted, 400) << "the mutations must also let answers through";
    size_t received = 0;
    for (const ValueItem& item : p->valueItems) received += item.valueReceived;
    EXPECT_GT(received, 0u);
}

// A block's and an archive's request keep the frame last sent, to skip its CRC next
// time: whatever in the request changes in between, every frame sent carries its own CRC.
TEST_F(Vkt9Test, RepeatedRequestsCarryTheCrcOfWhatIsSent) {
    auto p = Link(1);
    p->requestBlocks = {RequestBlock{FunctionHolding, 9, 4, 0}};
    p->PlanDecoding();
    Archive archive;
    archive.function = FunctionHolding, archive.register_ = 100, archive.LengthByteAnswer = 24;
    for (const auto& [address, start, reg] : {std::tuple{1, 9, 100}, {1, 9, 100}, {2, 9, 100}, {2, 10, 101}, {1, 9, 100}}) {
        p->address = static_cast<uint8_t>(address);
        p->requestBlocks[0].start = start;
        archive.register_ = reg;
        p->ReadBlock(p->requestBlocks[0]);
        (void)p->ReadArchiveIndex(archive);
    }
    ASSERT_EQ(line.requests.size(), 10u);
    for (size_t i = 0; i < line.requests.size(); ++i) {
        const Bytes& frame = line.requests[i];
        EXPECT_TRUE(CheckCrc16(frame.data(), frame.size())) << "request " << i;
        EXPECT_EQ(frame[0], i < 4 || i >= 8 ? 1 : 2) << "request " << i;
    }
    EXPECT_EQ(line.requests[6], Hex("02 03 00 0a 00 04 64 38"));
    EXPECT_EQ(line.requests[8], line.requests[0]);
}

// The decoding planned at INIT must give what testing every item at every
// register of the answer gives (shared statuses, items on one register, values
// cut off by the block's end, statuses inside values, the other register space).
TEST(Vkt9Decoding, PlannedBlocksDecodeAsTheRegisterByRegisterWalk) {
    std::mt19937 rng{7};
    const int32_t types[] = {DataFloat, DataWord, DataScaledInt16, DataUInt32, DataIntPlusFloat, DataScaledUInt16};
    const uint8_t functions[] = {FunctionHolding, FunctionInput};
    HostFixture fx;
    fx.device.recordEvents = false;
    for (int round = 0; round < 300; ++round) {
        auto p = fx.Link(1);
        hostemu::Tag& tag = fx.device.AddSubdevice("", "Current").AddTag("v");
        for (int i = 0; i < 10; ++i) {
            const auto reg = static_cast<int32_t>(rng() % 16), status = static_cast<int32_t>(rng() % 20) - 4;
            p->valueItems.push_back({functions[rng() % 2], reg, types[rng() % 6], 1, functions[rng() % 2],
                                     status < 0 ? NotConfigured : status, 0, 0, 0, 0, 0, 0, 0, 0, &tag});
        }
        const auto count = static_cast<int32_t>(1 + rng() % 12);
        p->requestBlocks = {RequestBlock{functions[rng() % 2], static_cast<int32_t>(rng() % 8), count, 0}};
        p->PlanDecoding();
        std::vector<ValueItem> walked = p->valueItems;
        Bytes answer{1, static_cast<uint8_t>(p->requestBlocks[0].function), static_cast<uint8_t>(2 * count)};
        for (int32_t i = 0; i < 2 * count + 2; ++i) answer.push_back(static_cast<uint8_t>(rng()));
        fx.line.answers = {RepairCrc(answer)};
        p->ReadBlock(p->requestBlocks[0]);

        const RequestBlock& block = p->requestBlocks[0];
        const size_t end = 3 + 2 * static_cast<size_t>(count);
        int64_t reg = block.start;
        for (size_t position = 3; position < end;) {
            int step = 0;
            for (ValueItem& item : walked) {
                const bool value = item.function == block.function && item.Address == reg;
                const bool status = item.RegStatus != NotConfigured && item.statusFunction == block.function && item.RegStatus == reg;
                if (!value && !status) continue;
                const int n = p->DecodeRegister(item, position, reg, end - position);
                if (step == 0) step = n;
            }
            step = std::max(step, 1);
            reg += step;
            position += 2 * static_cast<size_t>(step);
        }
        auto state = [](const ValueItem& v) {
            return std::tuple(v.valueReceived, v.statusReceived, v.status, std::bit_cast<uint32_t>(v.floatValue), v.intValue,
                              std::bit_cast<uint32_t>(v.doubleValue));
        };
        for (size_t i = 0; i < walked.size(); ++i) ASSERT_EQ(state(p->valueItems[i]), state(walked[i])) << round << " item " << i;
    }
}

}  // namespace
