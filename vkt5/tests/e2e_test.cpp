// The built plugin, loaded into the host emulator, polls the simulated meter.
#include <map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "common/tests/scoped_tz.h"
#include "vkt5/tests/vkt5_test_support.h"

using hostemu::EventKind;
namespace pt = boost::posix_time;

namespace {

// The FILETIME of a meter-local hour three hours east of UTC.
uint64_t UtcTicks(pt::ptime local) {
    const auto seconds = (local - pt::hours(3) - pt::ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
    return static_cast<uint64_t>(seconds) * 10000000ull + 116444736000000000ull;
}

}  // namespace

TEST(Vkt5EndToEnd, PollsValuesTotalsAndEveryArchiveRecordOnceThroughAFailure) {
    ScopedTz zone{"<+03>-3"};  // no daylight saving
    hostemu::LoadedPlugin plugin{TRV_PLUGIN_PATH};
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    Vkt5Bench bench;
    auto& [host, dev, meter] = bench;
    host.SetPlugin(plugin.entry());
    host.Create();
    meter.SetAddress(5);
    dev.properties.Set("address", "5").Set("DepthHour", 3).Set("DepthDay", 2).Set("CountRecord", 24);
    bool recordTimeSilent = false;
    dev.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        return recordTimeSilent && tx[1] == 0x10 ? 0 : meter.Exchange(tx, rx);
    };
    for (const char* name : {"Available", "Failure", "DateTime", "UnschedulerRequest"}) dev.AddTag(name);
    auto& current = bench.Zone("Current", false);
    auto* flow = &Vkt5Bench::Value(current, "flow", 0, 0, 0, 0);
    auto& temperature = Vkt5Bench::Value(current, "temperature", 3, 0, 8, 0);
    auto& energy = Vkt5Bench::Value(bench.Zone("Totals", true), "energy", 1, 0, 4, 0);
    auto& hours = bench.Zone("HourArchive", false, 1);
    std::vector<pt::ptime> hourRecords, dayRecords;
    for (auto t = At(7, 11); t <= At(8, 0); t += pt::hours(1)) hourRecords.push_back(t);
    for (int day = 5; day <= 8; ++day) dayRecords.push_back(At(day, 0));
    // Tag, total, array, heat, address, the records it must get.
    const std::vector<std::tuple<hostemu::Tag*, bool, int, int, int, std::vector<pt::ptime>*>> archived = {
        {&Vkt5Bench::Value(hours, "hourTemperature", 3, 0, 4, 0), false, 3, 0, 4, &hourRecords},
        {&Vkt5Bench::Value(hours, "hourFlow", 0, 1, 0, 0), false, 0, 1, 0, &hourRecords},
        {&Vkt5Bench::Value(bench.Zone("DayArchive", true, 0), "dayEnergy", 1, 0, 12, 0), true, 1, 0, 12, &dayRecords}};
    host.Init(dev);
    for (auto [now, text] : {std::pair{At(7, 14, 20), "2024.03.07 14:20:00"}, {At(7, 14, 40), "2024.03.07 14:40:00"},
                             {At(7, 15, 6), "2024.03.07 15:06:00"}, {At(7, 16, 30), "2024.03.07 16:30:00"},
                             {At(7, 16, 31), "2024.03.07 16:31:00"}, {At(8, 0, 7), "2024.03.08 00:07:00"}}) {
        // At 16:30 the record-time request goes unanswered: the poll fails and 16:00 is asked again.
        recordTimeSilent = now == At(7, 16, 30);
        meter.clock().Set(now);
        host.Read(dev);
        const Quality good = recordTimeSilent ? 0 : 192;
        EXPECT_EQ(std::tie(dev.FindTag("Failure")->value.number, dev.FindTag("DateTime")->value.text),
                  std::make_tuple(recordTimeSilent ? 1.0 : 0.0, std::string(text)));
        EXPECT_EQ(flow->value.number, FloatAt(meter.CurrentData(false, 0, 0), 0));
        EXPECT_EQ(temperature.value.number, FloatAt(meter.CurrentData(false, 3, 0), 8));
        EXPECT_EQ(energy.value.number, FloatAt(meter.CurrentData(true, 1, 0), 4));
        for (auto* tag : {flow, &temperature, &energy, dev.FindTag("DateTime")}) EXPECT_EQ(tag->quality, good) << tag->name;
    }
    EXPECT_EQ(bench.Logged("Write time archive record 2024.03.07 16:00:00"), 2u);
    EXPECT_EQ(bench.Logged("ERROR: no answer"), 3u);
    for (const auto& [tag, total, array, heat, address, records] : archived) {
        std::map<uint64_t, double> published;  // by time stamp, each once
        for (const auto* e : bench.PublishesOf(*tag))
            EXPECT_TRUE(e->time && e->quality == 192u && published.emplace(*e->time, e->value.number).second) << tag->name;
        EXPECT_EQ(published.size(), records->size()) << tag->name;
        for (const auto& record : *records) {
            auto it = published.find(UtcTicks(record));
            ASSERT_NE(it, published.end()) << tag->name << " " << record;
            EXPECT_EQ(it->second, FloatAt(meter.ArchiveData(total, uint8_t(array), uint8_t(heat), record), address));
        }
    }
    EXPECT_EQ(dev.EventsOf(EventKind::Notify).size(), 2 * hourRecords.size() + dayRecords.size());
    host.Close(dev);
    EXPECT_TRUE(dev.EventsOf(EventKind::HostError).empty());
}
