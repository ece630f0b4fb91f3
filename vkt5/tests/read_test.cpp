#include <gtest/gtest.h>

#include "common/device_object.h"
#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;

namespace {

Device* Start(Vkt5Bench& bench) {
    Device* d = Vkt5Init(bench.dev.handle());
    bench.dev.ClearEvents();
    return d;
}

size_t AnswerLength(const Vkt5Bench& bench, size_t i) { return bench.dev.EventsOf(EventKind::Exchange).at(i)->rx.size(); }

}  // namespace

TEST(Vkt5Config, AddressAndAttempts) {
    // Read as "%u" reads it; a text without a number gives 255 and a log line.
    for (const auto& [text, address, lines] : std::vector<std::tuple<const char*, uint8_t, size_t>>{
             {"300", 44, 1}, {"65537", 1, 1}, {"12x", 12, 1}, {" 5", 5, 1}, {"+7", 7, 1}, {"-1", 255, 1},
             {"-300", 212, 1}, {nullptr, 255, 2}, {"x1", 255, 2}, {" ", 255, 2}, {"-", 255, 2}}) {
        Vkt5Bench bench;
        if (text) bench.dev.properties.Set("address", text); else bench.dev.properties.Erase("address");
        EXPECT_EQ(Vkt5Init(bench.dev.handle())->meter.address, address) << (text ? text : "absent");
        EXPECT_EQ(bench.dev.LogLines().front(), "init, version 1.0");
        EXPECT_EQ(bench.dev.LogLines().size(), lines) << (text ? text : "absent");
        Vkt5Close(bench.dev.handle());
        EXPECT_EQ(GetDeviceObject(bench.dev.handle()), nullptr);
    }
    Vkt5Bench bench;  // a negative retry count gives no attempts, not billions of them
    bench.dev.retryCount = -1;
    EXPECT_EQ(Vkt5Init(bench.dev.handle())->meter.link.attempts(), 0u);
    Vkt5Close(bench.dev.handle());
}

TEST(Vkt5Config, ZonesAndArchivesAreGroupedByRequest) {
    Vkt5Bench bench;
    bench.dev.properties.Set("DepthHour", 24).Set("DepthDay", 3).Set("CountRecord", 5);
    auto& shared = bench.Zone("Current", false);
    Vkt5Bench::Value(bench.Zone("Current", false), "t1", 0, 2, 0, 0);
    Vkt5Bench::Value(shared, "t2", 0, 2, 4, 0);
    Vkt5Bench::Value(shared, "t3", 0, 1, 4, 0);
    Vkt5Bench::Value(bench.Zone("Totals", true), "t4", 1, 0, 0, 1);
    Vkt5Bench::Value(bench.Zone("archive", false), "t5", 3, 0, 0, 2);  // lower case: a current zone
    Vkt5Bench::Value(bench.Zone("HourArchive", false, 1), "h1", 0, 0, 0, 3);
    Vkt5Bench::Value(bench.Zone("xArchivex", false, 1), "h2", 0, 0, 4, 7);
    Vkt5Bench::Value(bench.Zone("DayArchive", false, 0), "d1", 4, 1, 0, 0);
    Vkt5Bench::Value(bench.Zone("DayArchive", false, 2), "d2", 4, 1, 0, 0);
    bench.Zone("DayArchive", true).AddTag("bare");  // no properties at all
    Device* d = Vkt5Init(bench.dev.handle());
    std::vector<ZoneKey> zones;
    for (const auto& [key, zone] : d->meter.zones) zones.push_back(key);
    EXPECT_EQ(zones, (std::vector<ZoneKey>{{0, 0, 1}, {0, 0, 2}, {0, 3, 0}, {1, 1, 0}}));
    EXPECT_EQ(d->meter.zones.at({0, 0, 2})->items.size(), 2u);
    std::vector<ArchiveKey> archives;
    for (const auto& [key, group] : d->meter.archives) archives.push_back(key);
    EXPECT_EQ(archives, (std::vector<ArchiveKey>{{0, 0}, {1, 0}, {2, 0}, {255, 1}}));
    const auto& hour = d->meter.archives.at({1, 0});
    EXPECT_EQ(std::tie(hour.kind, hour.depth, hour.countRecord), std::make_tuple(ArchiveHour, 24, 5));
    const auto& items = hour.zones.at({0, 0, 0})->items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::tie(items[0]->decoding, items[1]->decoding), std::make_tuple(int32_t{DecodingUInt32}, int32_t{DecodingNone}));
    const auto& day = d->meter.archives.at({0, 0});
    EXPECT_EQ(std::tie(day.kind, day.depth, day.zones.at({0, 4, 1})->reportBlock), std::make_tuple(ArchiveDay, 3, 1));
    const auto& bare = *d->meter.archives.at({255, 1}).zones.at({1, 0, 0})->items.at(0);
    EXPECT_EQ(std::tie(bare.address, bare.decoding), std::make_tuple(-1, int32_t{DecodingNone}));
    for (auto* tag : bench.dev.AllTags()) EXPECT_EQ(tag->quality, 28u) << tag->name;
    EXPECT_EQ(bench.dev.flag, 1);
    Vkt5Close(bench.dev.handle());
}

TEST(Vkt5Config, ControlTagsBoundOncePerSubdevice) {
    for (int subdevices : {0, 1, 3}) {
        Vkt5Bench bench;
        for (const char* name : {"Available", "Failure", "UnschedulerRequest", "DateTime", "Other"}) bench.dev.AddTag(name);
        for (int i = 0; i < subdevices; ++i) bench.Zone("Current", false);
        Device* d = Vkt5Init(bench.dev.handle());
        const bool bound = subdevices > 0;
        EXPECT_EQ(std::make_tuple(d->availableTag != nullptr, d->meter.clock.tag != nullptr, d->unscheduledTag != nullptr),
                  std::make_tuple(bound, bound, bound));
        EXPECT_EQ(d->meter.failureTag, d->failureTag);
        EXPECT_EQ(bench.PublishesOf(*bench.dev.FindTag("Available")).size(), size_t(subdevices));
        EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), 3u * subdevices);
        EXPECT_TRUE(bench.PublishesOf(*bench.dev.FindTag("DateTime")).empty());
        for (auto [name, value] : {std::pair{"Available", 1}, {"Failure", 0}, {"UnschedulerRequest", 0}})
            EXPECT_EQ(std::make_tuple(bench.dev.FindTag(name)->hasQuality, bench.dev.FindTag(name)->value.number),
                      std::make_tuple(bound, bound ? value : 0.0)) << name;
        Vkt5Close(bench.dev.handle());
    }
}

TEST(Vkt5Read, FirmwareVersionsSelectClassAndChannelTable) {
    // Firmware byte, version line, class, channel table answer (0: not asked), report type read.
    const std::vector<std::tuple<uint8_t, const char*, uint32_t, size_t, bool>> cases = {
        {0x06, "Version 6 subversion 0", FirmwareSubversion0, 59 + 5, false},
        {0x61, "Version 6 subversion 1", FirmwareSubversionN, 60 + 5, true},
        {0x70, "Version 7 subversion 0", FirmwareSubversion0, 60 + 5, false},
        {0x05, "Version 5 subversion 0", FirmwareUnsupported, 0, false},
        {0x55, "Version 5 subversion 5", FirmwareUnsupported, 0, false}};
    for (const auto& [firmware, version, firmwareClass, table, report] : cases) {
        Vkt5Bench bench;
        bench.dev.AddTag("Failure");
        bench.Zone("Current", false);
        bench.meter.SetFirmware(firmware);
        Device* d = Start(bench);
        d->Read();
        const auto lines = bench.dev.LogLines();
        EXPECT_EQ(std::tie(lines.at(0), lines.at(1)), std::make_tuple("Read settings device", version));
        EXPECT_EQ(d->meter.settings.firmwareClass, firmwareClass);
        EXPECT_EQ(bench.Logged("This version of firmware not supported"), table == 0 ? 1u : 0u);
        EXPECT_EQ(bench.Sent().size(), table == 0 ? 1u : 3u);  // version, channel table, clock
        if (table != 0) {
            EXPECT_EQ(AnswerLength(bench, 1), table);
            EXPECT_EQ(bench.Logged("Report type 2"), report ? 1u : 0u);
            EXPECT_EQ(d->meter.settings.reportType2, report ? 1 : 0);
            EXPECT_EQ(d->meter.settings.channelCount, (std::array<uint8_t, 9>{3, 2, 1}));
        }
        EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 0);
        // The settings are read once; an unsupported meter is asked again.
        bench.dev.ClearEvents();
        d->Read();
        EXPECT_EQ(bench.Logged("Read settings device"), table == 0 ? 1u : 0u);
        Vkt5Close(bench.dev.handle());
    }
}

// Float decoding is checked end to end; here the other decodings, layouts and bounds.
TEST(Vkt5Read, ArrayRequestsLayoutsAndDecodings) {
    Vkt5Bench bench;
    bench.meter.SetChannelHeat({2, 2, 2, 0, 0, 1, 9, 9, 9});
    auto& current = bench.Zone("Current", false);
    auto& u16 = Vkt5Bench::Value(current, "u16", 0, 2, 16, 2);
    std::vector<hostemu::Tag*> never;  // not wholly in the data, or an unknown decoding: never published
    for (auto [name, array, heat, address, type] : {std::tuple{"straddle", 0, 2, 18, 3}, {"negative", 0, 2, -1, 2},
                                                    {"beyond", 0, 2, 20, 2}, {"type7", 0, 2, 0, 7}, {"empty", 2, 0, 0, 2}})
        never.push_back(&Vkt5Bench::Value(current, name, array, heat, address, type));
    auto& totals = bench.Zone("Totals", true);
    auto& dbl = Vkt5Bench::Value(totals, "double", 1, 0, 8, 1);
    auto& u32 = Vkt5Bench::Value(totals, "u32", 1, 0, 124, 3);
    std::vector<uint8_t> total1(128, 0xFF);
    const auto bits = std::bit_cast<uint64_t>(-1234.5678);
    for (int i = 0; i < 8; ++i) total1[8 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    bench.meter.SetCurrentData(true, 1, 0, total1);
    Start(bench)->Read();
    const auto sent = bench.Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[3], "01 03 00 38 00 00 C4 07");  // array 0 heat 2: 20 + 3 x 12 bytes, data from rx[39]
    EXPECT_EQ(AnswerLength(bench, 3), 56u + 5);
    EXPECT_EQ(ToHex(bench.dev.EventsOf(EventKind::Exchange)[4]->rx), "01 03 00 20 F0");  // array 2: no data
    EXPECT_EQ(sent[5], "01 03 81 06 00 80 8C 57");
    const auto data = bench.meter.CurrentData(false, 0, 2);
    EXPECT_EQ(std::tie(u16.value.number, u16.quality), std::make_tuple(double(data[16] * 256 + data[17]), 192u));
    EXPECT_EQ(dbl.value.number, -1234.5678);
    EXPECT_EQ(u32.value.number, -1);  // the host takes the 32 bits as a signed integer
    for (auto* tag : never) EXPECT_TRUE(bench.PublishesOf(*tag).empty() && tag->quality == 28u) << tag->name;
    for (const char* line : {"Read array 0 heat 2 current", "Read array 2 heat 0 current", "Read array 1 heat 0 total"})
        EXPECT_EQ(bench.Logged(line), 1u) << line;
    Vkt5Close(bench.dev.handle());

    // No channel in any heat system: one channel block is assumed.
    Vkt5Bench none;
    none.meter.SetChannelHeat({9, 9, 9, 9, 9, 9, 9, 9, 9});
    auto& t = Vkt5Bench::Value(none.Zone("Current", false), "t", 0, 0, 0, 0);
    Start(none)->Read();
    EXPECT_EQ(AnswerLength(none, 3), 20u + 12 + 5);
    EXPECT_EQ(t.value.number, FloatAt(none.meter.CurrentData(false, 0, 0), 0));
    Vkt5Close(none.dev.handle());
}

TEST(Vkt5Read, ClockRefusalsAndFailures) {
    Vkt5Bench bench;
    auto& clock = bench.dev.AddTag("DateTime");
    auto& failure = bench.dev.AddTag("Failure");
    auto& zone = bench.Zone("Current", false);
    auto& refused = Vkt5Bench::Value(zone, "refused", 1, 0, 0, 0);
    auto& next = Vkt5Bench::Value(zone, "next", 3, 0, 0, 0);
    auto& archived = Vkt5Bench::Value(bench.Zone("HourArchive", false, 1), "archived", 3, 0, 0, 0);
    bench.meter.Refuse({sim::Vkt5Request::Current, 1, -1, 1});
    Device* d = Start(bench);
    d->Read();
    EXPECT_EQ(bench.Logged("Current time 2024.03.07 12:00:00"), 1u);
    EXPECT_EQ(clock.value.text, "2024.03.07 12:00:00");
    EXPECT_EQ(std::tie(refused.quality, next.quality, failure.value.number), std::make_tuple(64u, 192u, 0.0));
    // Month 13: a zero time is logged and nothing published.
    bench.dev.ClearEvents();
    bench.meter.SetRawClock(std::array<uint16_t, 5>{2024, 13, 5, 10, 0});
    d->Read();
    EXPECT_EQ(bench.Logged("Current time 0.00.00 00:00:00"), 1u);
    EXPECT_TRUE(bench.PublishesOf(clock).empty());
    bench.meter.SetRawClock(std::nullopt);
    bench.meter.Refuse({sim::Vkt5Request::Clock, -1, -1, 1});
    d->Read();
    EXPECT_EQ(std::tie(clock.quality, failure.value.number), std::make_tuple(64u, 0.0));
    // The line goes quiet at the clock: nothing more is asked, current values and clock turn bad.
    bench.dev.ClearEvents();
    bench.meter.faults().silence = true;
    d->Read();
    EXPECT_EQ(bench.Sent().size(), 3u);  // one clock request, three attempts
    EXPECT_EQ(std::tie(clock.quality, refused.quality, next.quality, archived.quality), std::make_tuple(0u, 0u, 0u, 28u));
    EXPECT_EQ(std::tie(failure.value.number, failure.quality), std::make_tuple(1.0, 192u));
    Vkt5Close(bench.dev.handle());
}

TEST(Vkt5Write, AvailableAndUnscheduledRequest) {
    for (bool bound : {true, false}) {  // without subdevices the tag is never bound
        Vkt5Bench bench;
        auto& available = bench.dev.AddTag("Available");
        auto& unscheduled = bench.dev.AddTag("UnschedulerRequest");
        auto& other = bench.dev.AddTag("Other");
        if (bound) bench.Zone("Current", false);
        Device* d = Start(bench);
        auto write = [&](hostemu::Tag& tag, int value) {
            bench.dev.SweepWrites();
            bench.dev.QueueWrite(tag, value);
            Vkt5Write(bench.dev.handle());
        };
        write(available, 256);  // the 8-bit flag keeps 0
        write(other, 1);
        EXPECT_EQ(bench.dev.EventsOf(EventKind::CompleteWrite).size(), 1u);  // "Other" stays pending
        EXPECT_EQ(available.value.number, 0);
        bench.dev.ClearEvents();
        d->Read();
        EXPECT_TRUE(bench.dev.events.empty());
        write(available, 2);
        EXPECT_EQ(available.value.number, 2) << "echoed as the flag holds it";
        write(unscheduled, 2);  // acknowledged, nothing asked
        EXPECT_EQ(std::tie(d->available, d->unscheduledPending), std::make_tuple(uint8_t{2}, uint8_t{0}));
        EXPECT_TRUE(bench.dev.EventsOf(EventKind::RequestPoll).empty());
        write(unscheduled, 1);
        EXPECT_EQ(bench.dev.EventsOf(EventKind::RequestPoll).size(), 1u);
        bench.dev.ClearEvents();
        d->Read();
        const auto shown = bench.PublishesOf(unscheduled);
        ASSERT_EQ(shown.size(), bound ? 2u : 0u);
        for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i]->value.number, 1.0 - double(i));
        EXPECT_FALSE(bench.Sent().empty());
        EXPECT_EQ(d->unscheduledPending, 0);
        EXPECT_TRUE(bench.dev.EventsOf(EventKind::HostError).empty());
        Vkt5Close(bench.dev.handle());
    }
}
