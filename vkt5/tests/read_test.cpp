#include <algorithm>
#include <bit>

#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;
using Lines = std::vector<std::string>;

namespace {

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

Device* Start(Vkt5Bench& bench) {
    Device* d = Vkt5Init(bench.dev.handle());
    bench.dev.ClearEvents();
    return d;
}

}  // namespace

TEST(Vkt5Read, FirmwareVersionsSelectClassAndChannelTable) {
    struct Case {
        uint8_t firmware;
        const char* versionLine;
        uint32_t firmwareClass;
        size_t tableAnswer;       // bytes of the channel table answer; 0: not asked
        const char* reportLine;   // null: report type not read
    };
    for (const Case& c : {Case{0x06, "Version 6 subversion 0", FirmwareSubversion0, 64, nullptr},
                          Case{0x61, "Version 6 subversion 1", FirmwareSubversionN, 65, "Report type 2"},
                          Case{0x70, "Version 7 subversion 0", FirmwareSubversion0, 65, nullptr},
                          Case{0x05, "Version 5 subversion 0", FirmwareUnsupported, 0, nullptr},
                          Case{0x55, "Version 5 subversion 5", FirmwareUnsupported, 0, nullptr}}) {
        Vkt5Bench bench;
        bench.Control("Failure");
        bench.Zone("Current", false);
        bench.meter.SetFirmware(c.firmware);
        Device* d = Start(bench);
        d->Read();
        const auto lines = bench.dev.LogLines();
        EXPECT_EQ(lines.at(0), "Read settings device");
        EXPECT_EQ(lines.at(1), c.versionLine);
        EXPECT_EQ(d->meter.settings.firmwareClass, c.firmwareClass);
        const auto exchanges = bench.dev.EventsOf(EventKind::Exchange);
        if (c.tableAnswer == 0) {
            EXPECT_EQ(lines.at(2), "This version of firmware not supported");
            EXPECT_EQ(exchanges.size(), 1u);
            EXPECT_FALSE(d->meter.settings.read);
        } else {
            EXPECT_EQ(exchanges.at(1)->rx.size(), c.tableAnswer);
            EXPECT_EQ(Contains(lines, "Report type 2"), c.reportLine != nullptr);
            EXPECT_EQ(d->meter.settings.reportType2, c.reportLine != nullptr ? 1 : 0);
            EXPECT_EQ(d->meter.settings.channelCount[0], 3);
            EXPECT_EQ(d->meter.settings.channelCount[1], 2);
            EXPECT_EQ(d->meter.settings.channelCount[2], 1);
        }
        EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 0);
        // Settings are read once; an unsupported meter is asked again.
        bench.dev.ClearEvents();
        d->Read();
        EXPECT_EQ(Contains(bench.dev.LogLines(), "Read settings device"), c.tableAnswer == 0);
        Vkt5Close(bench.dev.handle());
    }
}

TEST(Vkt5Read, ArrayRequestsLayoutsAndDecodings) {
    Vkt5Bench bench;
    bench.meter.SetChannelHeat({2, 2, 2, 0, 0, 1, 9, 9, 9});
    auto& current = bench.Zone("Current", false);
    auto& f = Vkt5Bench::Value(current, "float", 0, 2, 0, 0);
    auto& u16 = Vkt5Bench::Value(current, "u16", 0, 2, 16, 2);
    auto& straddle = Vkt5Bench::Value(current, "straddle", 0, 2, 18, 3);
    auto& negative = Vkt5Bench::Value(current, "negative", 0, 2, -1, 2);
    auto& beyond = Vkt5Bench::Value(current, "beyond", 0, 2, 20, 2);
    auto& type7 = Vkt5Bench::Value(current, "type7", 0, 2, 0, 7);
    auto& empty = Vkt5Bench::Value(current, "empty", 2, 0, 0, 2);
    auto& totals = bench.Zone("Totals", true);
    auto& dbl = Vkt5Bench::Value(totals, "double", 1, 0, 8, 1);
    auto& u32 = Vkt5Bench::Value(totals, "u32", 1, 0, 124, 3);
    std::vector<uint8_t> total1(128);
    const auto bits = std::bit_cast<uint64_t>(-1234.5678);
    for (int i = 0; i < 8; ++i) total1[8 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    total1[124] = 0xFF, total1[125] = 0xFF, total1[126] = 0xFF, total1[127] = 0xFE;
    bench.meter.SetCurrentData(true, 1, 0, total1);
    Device* d = Start(bench);
    d->Read();
    const auto sent = bench.Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[2], "01 03 0B 00 00 00 47 EE");
    EXPECT_EQ(sent[3], "01 03 00 38 00 00 C4 07");  // array 0 heat 2: 20 + 3 x 12 bytes, data from rx[39]
    EXPECT_EQ(bench.dev.EventsOf(EventKind::Exchange)[3]->rx.size(), 61u);
    EXPECT_EQ(ToHex(bench.dev.EventsOf(EventKind::Exchange)[4]->rx), "01 03 00 20 F0");
    EXPECT_EQ(sent[5], "01 03 81 06 00 80 8C 57");
    const auto data = bench.meter.CurrentData(false, 0, 2);
    EXPECT_EQ(f.value.number, FloatAt(data, 0));
    EXPECT_EQ(f.quality, 192u);
    EXPECT_EQ(u16.value.number, data[16] * 256 + data[17]);
    EXPECT_EQ(dbl.value.number, -1234.5678);
    EXPECT_EQ(u32.value.number, -2);  // the host takes 32 bits as a signed integer
    // Values that do not lie wholly in the data, and unknown decodings, are never published.
    for (auto* tag : {&straddle, &negative, &beyond, &type7, &empty}) {
        EXPECT_TRUE(bench.PublishesOf(*tag).empty()) << tag->name;
        EXPECT_EQ(tag->quality, 28u) << tag->name;
    }
    const Lines zoneLines = {"Read array 0 heat 2 current", "Read array 2 heat 0 current", "Read array 1 heat 0 total"};
    Lines lines;
    for (const auto& l : bench.dev.LogLines())
        if (l.rfind("Read array", 0) == 0) lines.push_back(l);
    EXPECT_EQ(lines, zoneLines);

    // No channel in any heat system: one channel block assumed.
    Vkt5Bench none;
    none.meter.SetChannelHeat({9, 9, 9, 9, 9, 9, 9, 9, 9});
    auto& t = Vkt5Bench::Value(none.Zone("Current", false), "t", 0, 0, 0, 0);
    Start(none)->Read();
    EXPECT_EQ(none.dev.EventsOf(EventKind::Exchange).back()->rx.size(), 20u + 12 + 5);
    EXPECT_EQ(t.value.number, FloatAt(none.meter.CurrentData(false, 0, 0), 0));
    Vkt5Close(bench.dev.handle());
    Vkt5Close(none.dev.handle());
}

TEST(Vkt5Read, ClockAnswers) {
    Vkt5Bench bench;
    auto& clock = bench.Control("DateTime");
    auto& failure = bench.Control("Failure");
    bench.Zone("Current", false);
    Device* d = Start(bench);
    d->Read();
    EXPECT_TRUE(Contains(bench.dev.LogLines(), "Current time 2024.03.07 12:00:00"));
    EXPECT_EQ(clock.value.text, "2024.03.07 12:00:00");
    EXPECT_EQ(clock.quality, 192u);
    bench.dev.ClearEvents();
    bench.meter.SetRawClock(std::array<uint16_t, 5>{2024, 13, 5, 10, 0});
    d->Read();
    EXPECT_TRUE(Contains(bench.dev.LogLines(), "Current time 0.00.00 00:00:00"));
    EXPECT_TRUE(bench.PublishesOf(clock).empty());
    EXPECT_FALSE(d->meter.clock.time.valid);
    bench.meter.SetRawClock(std::nullopt);
    bench.meter.Refuse({sim::Vkt5Request::Clock});
    d->Read();
    EXPECT_EQ(clock.quality, 64u);
    EXPECT_EQ(failure.value.number, 0);
    Vkt5Close(bench.dev.handle());
}

TEST(Vkt5Read, RefusedZoneGoesOnFailedExchangeStopsTheCycle) {
    Vkt5Bench bench;
    auto& clock = bench.Control("DateTime");
    auto& failure = bench.Control("Failure");
    auto& zone = bench.Zone("Current", false);
    auto& refused = Vkt5Bench::Value(zone, "refused", 1, 0, 0, 0);
    auto& next = Vkt5Bench::Value(zone, "next", 3, 0, 0, 0);
    auto& archived = Vkt5Bench::Value(bench.Zone("HourArchive", false, 1), "archived", 3, 0, 0, 0);
    bench.meter.Refuse({sim::Vkt5Request::Current, 1, -1, 1});
    Device* d = Start(bench);
    d->Read();
    EXPECT_EQ(refused.quality, 64u);
    EXPECT_EQ(next.quality, 192u);
    EXPECT_EQ(failure.value.number, 0);
    // The clock answers, then the line goes quiet: no request after the failed one.
    bench.dev.ClearEvents();
    bench.meter.faults().faultCount = 100;
    bench.meter.faults().silence = true;
    bench.meter.Refuse({sim::Vkt5Request::Version});  // not asked again: the settings are known
    bench.dev.retryCount = 2;
    d->Read();
    EXPECT_EQ(bench.Sent().size(), 3u);  // one clock request, tried three times
    EXPECT_EQ(clock.quality, 0u);
    EXPECT_EQ(refused.quality, 0u);
    EXPECT_EQ(next.quality, 0u);
    EXPECT_EQ(archived.quality, 28u);
    EXPECT_EQ(failure.value.number, 1);
    EXPECT_EQ(failure.quality, 192u);
    Vkt5Close(bench.dev.handle());
}

TEST(Vkt5Write, AvailableAndUnscheduledRequest) {
    Vkt5Bench bench;
    auto& available = bench.Control("Available");
    auto& unscheduled = bench.Control("UnschedulerRequest");
    auto& other = bench.Control("Other");
    bench.Zone("Current", false);
    Device* d = Start(bench);
    bench.dev.QueueWrite(available, 0);
    bench.dev.QueueWrite(other, 1);
    Vkt5Write(bench.dev.handle());
    EXPECT_EQ(bench.dev.EventsOf(EventKind::CompleteWrite).size(), 1u);  // "Other" is left pending
    EXPECT_EQ(available.value.number, 0);
    bench.dev.ClearEvents();
    Vkt5Read(bench.dev.handle());
    EXPECT_TRUE(bench.dev.events.empty());
    bench.dev.SweepWrites();
    bench.dev.QueueWrite(available, 1);
    bench.dev.QueueWrite(unscheduled, 2);  // acknowledged, no request
    Vkt5Write(bench.dev.handle());
    EXPECT_EQ(d->available, 1);
    EXPECT_EQ(d->unscheduledPending, 0);
    EXPECT_TRUE(bench.dev.EventsOf(EventKind::RequestPoll).empty());
    bench.dev.SweepWrites();
    bench.dev.QueueWrite(unscheduled, 1);
    Vkt5Write(bench.dev.handle());
    EXPECT_EQ(d->unscheduledPending, 1);
    EXPECT_EQ(bench.dev.EventsOf(EventKind::RequestPoll).size(), 1u);
    bench.dev.ClearEvents();
    d->Read();
    const auto shown = bench.PublishesOf(unscheduled);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0]->value.number, 1);
    EXPECT_EQ(shown[1]->value.number, 0);
    EXPECT_FALSE(bench.Sent().empty());
    EXPECT_EQ(d->unscheduledPending, 0);
    Vkt5Close(bench.dev.handle());

    // Without subdevices the tag is never bound: the write still asks for a poll.
    Vkt5Bench unbound;
    auto& tag = unbound.Control("UnschedulerRequest");
    Device* u = Start(unbound);
    unbound.dev.QueueWrite(tag, 1);
    Vkt5Write(unbound.dev.handle());
    EXPECT_EQ(unbound.dev.EventsOf(EventKind::RequestPoll).size(), 1u);
    EXPECT_EQ(unbound.dev.EventsOf(EventKind::CompleteWrite).size(), 1u);
    u->Read();
    EXPECT_TRUE(unbound.PublishesOf(tag).empty());
    EXPECT_TRUE(unbound.dev.EventsOf(EventKind::HostError).empty());
    Vkt5Close(unbound.dev.handle());
}
