// The built plugin, loaded into the host emulator, polls the simulated meter.
#include <map>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "common/tests/scoped_tz.h"
#include "vkt5/tests/vkt5_test_support.h"

using hostemu::EventKind;
namespace pt = boost::posix_time;

namespace {

pt::ptime At(int day, int hour, int minute = 0) {
    return pt::ptime(boost::gregorian::date(2024, 3, day), pt::hours(hour) + pt::minutes(minute));
}

std::string ClockText(pt::ptime t) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%02d.%02d %02d:%02d:00", int(t.date().year()), int(t.date().month()),
                  int(t.date().day()), int(t.time_of_day().hours()), int(t.time_of_day().minutes()));
    return text;
}

uint64_t UtcTicks(pt::ptime local) {
    const auto seconds = (local - pt::hours(3) - pt::ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
    return static_cast<uint64_t>(seconds) * 10000000ull + 116444736000000000ull;
}

struct Archived {
    hostemu::Tag* tag;
    bool total;
    int array;
    int heat;
    int address;
};

class Vkt5EndToEnd : public ::testing::Test {
protected:
    ScopedTz zone{"<+03>-3"};  // three hours east of UTC, no daylight saving
    hostemu::LoadedPlugin plugin{TRV_PLUGIN_PATH};
    hostemu::Host host;
    hostemu::Device& dev = host.AddDevice("heat meter", "VKT5");
    sim::Vkt5Simulator meter;
    bool recordTimeSilent = false;

    void SetUp() override {
        ASSERT_TRUE(plugin.ok()) << plugin.error();
        host.SetPlugin(plugin.entry());
        host.Create();
        meter.SetAddress(5);
        dev.properties.Set("address", "5").Set("DepthHour", 3).Set("DepthDay", 2).Set("CountRecord", 24);
        dev.channel = [this](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
            return recordTimeSilent && tx.size() > 1 && tx[1] == 0x10 ? 0 : meter.Exchange(tx, rx);
        };
        for (const char* name : {"Available", "Failure", "DateTime", "UnschedulerRequest"}) dev.AddTag(name);
    }
    void Cycle(pt::ptime now) {
        meter.clock().Set(now);
        host.Read(dev);
    }
};

}  // namespace

TEST_F(Vkt5EndToEnd, PollsCurrentValuesTotalsAndEveryArchiveRecordOnce) {
    auto& current = dev.AddSubdevice("Current", "Current");
    auto& flow = Vkt5Bench::Value(current, "flow", 0, 0, 0, 0);
    auto& temperature = Vkt5Bench::Value(current, "temperature", 3, 0, 8, 0);
    auto& totals = dev.AddSubdevice("Totals", "Totals");
    totals.properties.Set("TypeTotal", "1");
    auto& energy = Vkt5Bench::Value(totals, "energy", 1, 0, 4, 0);
    auto& hours = dev.AddSubdevice("Hours", "HourArchive");
    hours.properties.Set("TypeArchive", 1);
    auto& days = dev.AddSubdevice("Days", "DayArchive");
    days.properties.Set("TypeArchive", 0).Set("TypeTotal", "1");
    const std::vector<Archived> archived = {
        {&Vkt5Bench::Value(hours, "hourTemperature", 3, 0, 4, 0), false, 3, 0, 4},
        {&Vkt5Bench::Value(hours, "hourFlow", 0, 1, 0, 0), false, 0, 1, 0},
        {&Vkt5Bench::Value(days, "dayEnergy", 1, 0, 12, 0), true, 1, 0, 12},
    };
    host.Init(dev);
    const std::vector<pt::ptime> cycles = {At(7, 14, 20), At(7, 14, 40), At(7, 15, 6), At(7, 16, 30), At(8, 0, 7)};
    for (const auto& now : cycles) {
        Cycle(now);
        EXPECT_EQ(dev.FindTag("Failure")->value.number, 0);
        EXPECT_EQ(dev.FindTag("DateTime")->value.text, ClockText(now));
        EXPECT_EQ(flow.value.number, FloatAt(meter.CurrentData(false, 0, 0), 0));
        EXPECT_EQ(temperature.value.number, FloatAt(meter.CurrentData(false, 3, 0), 8));
        EXPECT_EQ(energy.value.number, FloatAt(meter.CurrentData(true, 1, 0), 4));
        for (auto* tag : {&flow, &temperature, &energy}) EXPECT_EQ(tag->quality, 192u);
    }
    std::vector<pt::ptime> hourRecords, dayRecords;
    for (auto t = At(7, 11); t <= At(8, 0); t += pt::hours(1)) hourRecords.push_back(t);
    for (int day = 5; day <= 8; ++day) dayRecords.push_back(At(day, 0));
    for (const auto& a : archived) {
        const auto& records = a.tag->name.rfind("day", 0) == 0 ? dayRecords : hourRecords;
        std::map<uint64_t, double> published;
        for (const auto* e : dev.EventsOf(EventKind::Publish))
            if (e->tag == a.tag) {
                ASSERT_TRUE(e->time.has_value());
                EXPECT_TRUE(published.emplace(*e->time, e->value.number).second) << a.tag->name << " twice";
                EXPECT_EQ(e->quality, 192u);
            }
        EXPECT_EQ(published.size(), records.size()) << a.tag->name;
        for (const auto& record : records) {
            auto it = published.find(UtcTicks(record));
            ASSERT_NE(it, published.end()) << a.tag->name << " " << record;
            EXPECT_EQ(it->second, FloatAt(meter.ArchiveData(a.total, uint8_t(a.array), uint8_t(a.heat), record), a.address));
        }
    }
    EXPECT_EQ(dev.EventsOf(EventKind::Notify).size(), 2 * hourRecords.size() + dayRecords.size());
    EXPECT_TRUE(dev.EventsOf(EventKind::HostError).empty());
    host.Close(dev);
    EXPECT_TRUE(dev.EventsOf(EventKind::HostError).empty());
}

TEST_F(Vkt5EndToEnd, FailedRecordIsAskedAgainNextCycle) {
    auto& current = dev.AddSubdevice("Current", "Current");
    auto& flow = Vkt5Bench::Value(current, "flow", 0, 0, 0, 0);
    auto& hours = dev.AddSubdevice("Hours", "HourArchive");
    hours.properties.Set("TypeArchive", 1);
    auto& hourly = Vkt5Bench::Value(hours, "hourly", 3, 0, 0, 0);
    dev.properties.Set("DepthHour", 0);
    host.Init(dev);
    Cycle(At(7, 14, 20));
    ASSERT_EQ(meter.recordTimesWritten(), std::vector<pt::ptime>{At(7, 14)});
    recordTimeSilent = true;
    Cycle(At(7, 15, 20));
    EXPECT_EQ(dev.FindTag("Failure")->value.number, 1);
    EXPECT_EQ(flow.quality, 0u);
    EXPECT_EQ(dev.FindTag("DateTime")->quality, 0u);
    EXPECT_EQ(hourly.quality, 192u);
    const auto lines = dev.LogLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              std::vector<std::string>(3, "ERROR: no answer"));
    recordTimeSilent = false;
    Cycle(At(7, 15, 21));
    EXPECT_EQ(meter.recordTimesWritten(), (std::vector<pt::ptime>{At(7, 14), At(7, 15)}));
    EXPECT_EQ(dev.FindTag("Failure")->value.number, 0);
    EXPECT_EQ(flow.quality, 192u);
    size_t published = 0;
    for (const auto* e : dev.EventsOf(EventKind::Publish)) published += e->tag == &hourly;
    EXPECT_EQ(published, 2u);
    host.Close(dev);
    EXPECT_TRUE(dev.EventsOf(EventKind::HostError).empty());
}
