// The built plugin in the host emulator, polling the simulated meter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>

#include "common/quality.h"
#include "hostemu/host_emulator.h"
#include "sim/vkt9/vkt9_simulator.h"

using hostemu::EventKind;
using hostemu::Properties;
using Kind = sim::Vkt9Simulator::ArchiveKind;

namespace {

uint64_t UtcTicks(int year, int month, int day, int hour) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    return (static_cast<uint64_t>(timegm(&tm)) + 11644473600ull) * 10000000ull;
}

struct ScopedTz {
    std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool had = std::getenv("TZ") != nullptr;
    explicit ScopedTz(const char* tz) { setenv("TZ", tz, 1), tzset(); }
    ~ScopedTz() { had ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ"), tzset(); }
};

TEST(Vkt9EndToEnd, PollsValuesAndEveryArchiveRecordOnceAcrossTheRingEnd) {
    ScopedTz tz("XST-3");
    hostemu::LoadedPlugin plugin(TRV_PLUGIN_PATH);
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    hostemu::Host host(plugin.entry());
    sim::Vkt9Simulator meter;
    meter.SetRingTop(Kind::Hour, 9);
    meter.SetCurrentIndex(Kind::Hour, 2);
    meter.SetRingTop(Kind::Day, 4);
    meter.SetCurrentIndex(Kind::Day, 0);

    auto& device = host.AddDevice("vkt9", "VKT9Old");
    device.properties = {{"address", "1"}, {"DepthHour", "5"}, {"DepthDay", "2"}, {"CountRecord", "3"}};
    device.channel = [&](auto tx, auto rx) { return meter.Exchange(tx, rx); };
    auto& failure = device.AddTag("Failure");
    device.AddTag("Available");
    auto& values = device.AddSubdevice("values", "Current");
    auto& t1 = values.AddTag("t1", Properties{{"Address", "40001"}, {"DataType", "0"}, {"RegStatus", "40006"}, {"StatusNorm", "0"}});
    auto& flow = values.AddTag("flow", Properties{{"Address", "30001"}, {"DataType", "0"}, {"RegStatus", "30004"}, {"StatusNorm", "9"}});
    auto& heat = values.AddTag("heat", Properties{{"Address", "40007"}, {"DataType", "3"}});
    std::map<Kind, hostemu::Tag*> archiveHeat;
    for (auto [kind, type, reg] : {std::tuple{Kind::Hour, "ArchiveHour", "40101"}, std::tuple{Kind::Day, "ArchiveDay", "40111"}}) {
        auto& node = device.AddSubdevice(type, type);
        node.properties = {{"TypeArchive", std::to_string(kind)}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", reg}};
        archiveHeat[kind] = &node.AddTag("heat", Properties{{"AddressByte", "4"}, {"DataType", "0"}, {"Koeff", "1"}});
        node.AddTag("volume", Properties{{"AddressByte", "8"}, {"DataType", "3"}, {"Koeff", "1"}});
    }

    host.Create();
    host.Init(device);
    EXPECT_EQ(t1.quality, QualityOutOfService);
    for (int cycle = 0; cycle < 3; ++cycle) host.Read(device);
    meter.clock().Advance(boost::posix_time::hours(1));
    for (int cycle = 0; cycle < 2; ++cycle) host.Read(device);

    EXPECT_EQ(t1.value.number, 71.5);
    EXPECT_EQ(t1.quality, QualityGood);
    EXPECT_EQ(flow.quality, QualitySensorFailure);
    EXPECT_EQ(heat.value.number, 1234567);
    EXPECT_EQ(failure.value.number, 0);

    // Hour records: 7, 8, 9, 0, 1 (hours 7 to 11 of 7 March), then 2 after the clock moved.
    std::vector<uint64_t> stamps;
    for (const auto* e : device.EventsOf(EventKind::Publish)) {
        if (e->tag != archiveHeat[Kind::Hour]) continue;
        stamps.push_back(*e->time);
        EXPECT_EQ(e->quality, QualityGood);
    }
    std::vector<uint64_t> expected;
    for (int hour = 5; hour <= 10; ++hour) expected.push_back(UtcTicks(2024, 3, 7, hour));
    EXPECT_EQ(stamps, expected);
    EXPECT_EQ(archiveHeat[Kind::Hour]->value.number, meter.Record(Kind::Hour, 2)->heat);

    // Day records 3 and 4: 5 and 6 March, stamped at the following midnights.
    stamps.clear();
    for (const auto* e : device.EventsOf(EventKind::Publish))
        if (e->tag == archiveHeat[Kind::Day]) stamps.push_back(*e->time);
    EXPECT_EQ(stamps, (std::vector<uint64_t>{UtcTicks(2024, 3, 5, 21), UtcTicks(2024, 3, 6, 21)}));
    EXPECT_EQ(archiveHeat[Kind::Day]->value.number, meter.Record(Kind::Day, 4)->heat);

    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
    host.Close(device);
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

TEST(Vkt9EndToEnd, ALineFailureCostsOneQuietCycle) {
    hostemu::LoadedPlugin plugin(TRV_PLUGIN_PATH);
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    hostemu::Host host(plugin.entry());
    sim::Vkt9Simulator meter;
    auto& device = host.AddDevice("vkt9", "VKT9New");
    device.properties = {{"address", "1"}};
    device.channel = [&](auto tx, auto rx) { return meter.Exchange(tx, rx); };
    auto& failure = device.AddTag("Failure");
    auto& t1 = device.AddSubdevice("values", "Current").AddTag("t1", Properties{{"Address", "40001"}, {"DataType", "0"}});
    host.Init(device);
    meter.faults().corruptCrc = true;
    std::vector<std::pair<double, Quality>> seen;
    for (int cycle = 0; cycle < 3; ++cycle) {
        device.ClearEvents();
        host.Read(device);
        meter.faults().corruptCrc = false;
        seen.emplace_back(failure.value.number, t1.quality);
        EXPECT_EQ(device.EventsOf(EventKind::Exchange).size(), cycle == 0 ? 3u : cycle == 1 ? 0u : 1u);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<double, Quality>>{{1, QualityBad}, {1, QualityBad}, {0, QualityGood}}));
    host.Close(device);
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

}  // namespace
