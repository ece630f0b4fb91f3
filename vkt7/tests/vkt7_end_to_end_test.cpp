// End to end: the built trvplugin-teplokom.so, loaded with dlopen into the host
// emulator, polls the VKT-7 simulator through its exported entry points until
// every archive has caught up with the meter's clock; every configured tag must
// then hold the simulator's value with the quality it should have. A fault run
// (silence in the middle of group "4") shows the recovery.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <set>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "hostemu/host_emulator.h"
#include "sim/vkt7/vkt7_simulator.h"

using namespace hostemu;
using sim::Vkt7Archive;
namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

// Moscow time, UTC+3 all year: local record times map to UTC without ambiguity.
constexpr int kUtcOffsetHours = 3;

class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

pt::ptime At(int y, int mo, int d, int h = 0) {
    return pt::ptime(gd::date(static_cast<unsigned short>(y), static_cast<unsigned short>(mo),
                              static_cast<unsigned short>(d)),
                     pt::hours(h));
}

const pt::ptime kFileTimeEpoch(gd::date(1601, 1, 1));

uint64_t LocalToTicks(pt::ptime local) {
    const pt::ptime utc = local - pt::hours(kUtcOffsetHours);
    return static_cast<uint64_t>((utc - kFileTimeEpoch).total_microseconds()) * 10;
}

pt::ptime TicksToLocal(uint64_t ticks) {
    return kFileTimeEpoch + pt::microseconds(static_cast<int64_t>(ticks / 10)) + pt::hours(kUtcOffsetHours);
}

// The quality the driver makes of the meter's quality and NS bytes.
Quality DriverQuality(uint8_t q, uint8_t ns) {
    if (ns == 0x00 || ns == 0xFF) return q == 0x0C ? 0x50 : q == 0x50 ? 0xC0 : q;
    return q == 0x0C ? 0x50 : 0x10;
}

struct GroupSpec {
    const char* name;
    Vkt7Archive type;
    std::vector<int> addrs;
};

// addr 1000 is the default that names no element; 60 is an element the meter
// does not list among its current values.
const std::vector<GroupSpec> kGroups = {
    {"1", Vkt7Archive::Current, {0, 1, 2, 9, 14, 16, 19, 1000, 41, 77, 81, 60, 22}},
    {"2", Vkt7Archive::Totals, {3, 4, 6, 11, 12, 17, 18, 25, 34}},
    {"3", Vkt7Archive::Hour, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
    {"4", Vkt7Archive::Day, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
    {"5", Vkt7Archive::Month, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
};

constexpr int kDepthHour = 30;
constexpr int kDepthDay = 10;
constexpr int kDepthMonth = 4;
constexpr int kCountRecord = 5;

struct CycleSummary {
    int recordReads = 0;  // record dates written to 0x3FFB
    std::vector<std::string> requests;
};

class Vkt7EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.ok()) << plugin.error();
        host = std::make_unique<Host>(plugin.entry());
        meter.clock().Set(At(2024, 1, 2, 5) + pt::minutes(17) + pt::seconds(42));
        // Quality and NS bytes on chosen elements.
        meter.SetQuality(Vkt7Archive::Current, 9, 0xC0, 0x01);  // abnormal situation: sensor failure, value kept
        meter.SetQuality(Vkt7Archive::Hour, 1, 0x50, 0x00);     // 0x50 is published as good
        meter.SetQuality(Vkt7Archive::Totals, 18, 0x44, 0xFF);  // passed on unchanged

        device = &host->AddDevice("vkt7", "VKT7");
        device->retryCount = 3;
        device->properties.Set("addr", 1)
            .Set("DepthHour", kDepthHour)
            .Set("DepthDay", kDepthDay)
            .Set("DepthMonth", kDepthMonth)
            .Set("CountRecord", kCountRecord);
        available = &device->AddTag("Available");
        failure = &device->AddTag("Failure");
        dateTime = &device->AddTag("DateTime");
        for (const GroupSpec& g : kGroups) {
            Node& group = device->AddGroup(g.name);
            for (int addr : g.addrs) {
                Properties p;
                if (addr != 1000) p.Set("addr", addr);
                group.AddTag(std::string("g") + g.name + "/" + std::to_string(addr), p);
            }
        }
        device->channel = [this](std::span<const uint8_t> tx, std::span<uint8_t> rx) -> int32_t {
            const bool wasSilent = silent;
            if (!tx.empty()) Observe(tx);
            if (wasSilent && !tx.empty()) return 0;
            return meter.Exchange(tx, rx);
        };
        host->Create();
        host->Init(*device);
    }

    void TearDown() override {
        if (host && device) host->Close(*device);
    }

    // Watches the requests: record reads, and the moment to fall silent.
    void Observe(std::span<const uint8_t> tx) {
        if (tx.size() < 10) return;
        const uint8_t function = tx[3];
        const uint16_t reg = static_cast<uint16_t>((tx[4] << 8) | tx[5]);
        char text[32];
        std::snprintf(text, sizeof text, "%c %04X", function == 0x03 ? 'R' : 'W', reg);
        std::string line = text;
        if (function == 0x10 && reg == 0x3FFD) {
            selected = tx[9];
            line += " " + std::to_string(tx[9]);
        }
        current.requests.push_back(line);
        if (function == 0x10 && reg == 0x3FFB) ++current.recordReads;
        if (function == 0x03 && reg == 0x3FFE && selected == 1 && silenceAfterDayReads > 0 &&
            --silenceAfterDayReads == 0)
            silent = true;  // the answer to this read still arrives; the next request meets silence
    }

    CycleSummary Poll() {
        current = CycleSummary{};
        device->ClearEvents();
        EXPECT_EQ(host->Read(*device), 0);
        return current;
    }

    // Polls until a cycle reads no archive record; returns the number of cycles.
    int CatchUp(int limit = 40) {
        for (int cycle = 1; cycle <= limit; ++cycle) {
            const CycleSummary s = Poll();
            CheckArchivePublications();
            if (s.recordReads == 0) return cycle;
        }
        ADD_FAILURE() << "the archives did not catch up in " << limit << " cycles";
        return limit;
    }

    Tag* TagOf(const char* group, int addr) const { return device->FindGroup(group)->FindTag(std::string("g") + group + "/" + std::to_string(addr)); }

    // Every archive value published in the last cycle is the simulator's value of
    // the record its time stamp names; each record is counted once per tag.
    void CheckArchivePublications() {
        for (const Event* e : device->EventsOf(EventKind::Publish)) {
            if (e->tag == nullptr || e->tag->owner == device) continue;
            const std::string& group = e->tag->owner->name;
            if (group != "3" && group != "4" && group != "5") continue;
            const int addr = std::stoi(e->tag->name.substr(3));
            ASSERT_TRUE(e->time.has_value()) << e->tag->name;
            const pt::ptime stamp = TicksToLocal(*e->time);
            pt::ptime record;
            Vkt7Archive type{};
            if (group == "3") {
                type = Vkt7Archive::Hour;
                record = stamp - pt::hours(1);
                hourRecords[addr].insert(record);
            } else if (group == "4") {
                type = Vkt7Archive::Day;
                EXPECT_EQ(stamp.time_of_day(), pt::hours(0)) << e->tag->name;
                record = stamp - gd::days(1);
                dayRecords[addr].insert(record);
            } else {
                type = Vkt7Archive::Month;
                EXPECT_EQ(stamp.date().day(), 1) << e->tag->name;
                record = pt::ptime(stamp.date() - gd::months(1));
                monthRecords[addr].insert(record);
            }
            EXPECT_EQ(e->value.number, meter.ExpectedValue(type, static_cast<uint8_t>(addr), record))
                << e->tag->name << " record " << pt::to_simple_string(record);
            const auto [q, ns] = meter.QualityOf(type, static_cast<uint8_t>(addr));
            EXPECT_EQ(e->quality, DriverQuality(q, ns)) << e->tag->name;
        }
    }

    // The state every tag must end in once the archives have caught up.
    void ExpectEveryTagCaughtUp() {
        const pt::ptime now = meter.clock().Now();
        const pt::ptime nowHour(now.date(), pt::hours(now.time_of_day().hours()));
        const pt::ptime lastHour = nowHour - pt::hours(1);
        const pt::ptime lastDay(now.date() - gd::days(1));
        // The last month whose report day has passed.
        gd::date month(now.date().year(), now.date().month(), 1);
        if (now.date().day() <= meter.reportDay()) month -= gd::months(1);
        const pt::ptime lastMonth(month);

        for (const GroupSpec& g : kGroups) {
            for (int addr : g.addrs) {
                const Tag* tag = TagOf(g.name, addr);
                ASSERT_NE(tag, nullptr);
                SCOPED_TRACE(tag->name);
                ASSERT_TRUE(tag->hasQuality);
                if (addr == 1000) {
                    EXPECT_EQ(tag->value.number, 0.0);
                    EXPECT_EQ(tag->quality, 0x10u);  // unable to get the value
                    continue;
                }
                if (addr == 60) {
                    EXPECT_EQ(tag->value.kind, ValueKind::Int);
                    EXPECT_EQ(tag->quality, 0x18u);  // the meter does not list it
                    continue;
                }
                const uint8_t e = static_cast<uint8_t>(addr);
                const auto [q, ns] = meter.QualityOf(g.type, e);
                EXPECT_EQ(tag->quality, DriverQuality(q, ns));
                ASSERT_TRUE(tag->time.has_value());
                switch (g.type) {
                    case Vkt7Archive::Hour:
                        EXPECT_EQ(tag->value.number, meter.ExpectedValue(g.type, e, lastHour));
                        EXPECT_EQ(*tag->time, LocalToTicks(nowHour));
                        break;
                    case Vkt7Archive::Day:
                        EXPECT_EQ(tag->value.number, meter.ExpectedValue(g.type, e, lastDay));
                        EXPECT_EQ(*tag->time, LocalToTicks(pt::ptime(now.date())));
                        break;
                    case Vkt7Archive::Month:
                        EXPECT_EQ(tag->value.number, meter.ExpectedValue(g.type, e, lastMonth));
                        EXPECT_EQ(*tag->time, LocalToTicks(pt::ptime(month + gd::months(1))));
                        break;
                    default:
                        EXPECT_EQ(tag->value.number, meter.ExpectedValue(g.type, e));
                        break;
                }
                EXPECT_EQ(tag->value.kind, (addr == 77 || addr == 81) ? ValueKind::Bool : ValueKind::Double);
            }
        }
        EXPECT_EQ(available->value.number, 1);
        EXPECT_EQ(dateTime->value.kind, ValueKind::Text);
        EXPECT_EQ(dateTime->value.text, [&] {
            char text[32];
            const auto d = now.date();
            const auto t = now.time_of_day();
            std::snprintf(text, sizeof text, "%d.%02d.%02d %02d:%02d:%02d", static_cast<int>(d.year()),
                          static_cast<int>(d.month()), static_cast<int>(d.day()), static_cast<int>(t.hours()),
                          static_cast<int>(t.minutes()), static_cast<int>(t.seconds()));
            return std::string(text);
        }());
        EXPECT_EQ(dateTime->quality, 192u);
        EXPECT_EQ(failure->value.number, 0);  // the last group tag got its value
        EXPECT_TRUE(device->EventsOf(EventKind::HostError).empty());
    }

    ScopedTz tz{"MSK-3"};
    LoadedPlugin plugin{TRV_PLUGIN_PATH};
    std::unique_ptr<Host> host;
    sim::Vkt7Simulator meter;
    Device* device = nullptr;
    Tag* available = nullptr;
    Tag* failure = nullptr;
    Tag* dateTime = nullptr;

    CycleSummary current;
    int selected = -1;
    int silenceAfterDayReads = 0;
    bool silent = false;
    std::map<int, std::set<pt::ptime>> hourRecords, dayRecords, monthRecords;
};

std::set<pt::ptime> Hours(pt::ptime first, pt::ptime last) {
    std::set<pt::ptime> out;
    for (pt::ptime t = first; t <= last; t += pt::hours(1)) out.insert(t);
    return out;
}

std::set<pt::ptime> Days(gd::date first, gd::date last) {
    std::set<pt::ptime> out;
    for (gd::date d = first; d <= last; d += gd::days(1)) out.insert(pt::ptime(d));
    return out;
}

}  // namespace

TEST_F(Vkt7EndToEnd, PollsUntilEveryArchiveHasCaughtUpThenFollowsTheClock) {
    // 30 hour records at 5 per cycle: six cycles, then one that finds nothing to read.
    EXPECT_EQ(CatchUp(), kDepthHour / kCountRecord + 1);
    ExpectEveryTagCaughtUp();
    // Across the year end: hours from 31 December 2023 23:00 to 2 January 04:00,
    // days from 23 December 2023 to 1 January, the months November and December 2023.
    EXPECT_EQ(hourRecords[3], Hours(At(2024, 1, 2, 5) - pt::hours(kDepthHour), At(2024, 1, 2, 4)));
    EXPECT_EQ(dayRecords[3], Days(gd::date(2023, 12, 23), gd::date(2024, 1, 1)));
    EXPECT_EQ(monthRecords[3], (std::set<pt::ptime>{At(2023, 11, 1), At(2023, 12, 1)}));
    EXPECT_EQ(device->EventsOf(EventKind::StoreHistory).size(), 0u);  // the last cycle read no record

    // The clock moves on by 26 hours: the next cycles read exactly the new records.
    meter.clock().Advance(pt::hours(26));
    EXPECT_EQ(CatchUp(), 26 / kCountRecord + 2);
    ExpectEveryTagCaughtUp();
    EXPECT_EQ(hourRecords[3], Hours(At(2023, 12, 31, 23), At(2024, 1, 3, 6)));
    EXPECT_EQ(dayRecords[3], Days(gd::date(2023, 12, 23), gd::date(2024, 1, 2)));
}

TEST_F(Vkt7EndToEnd, RecoversFromSilenceInTheMiddleOfTheDayArchive) {
    CatchUp();
    ExpectEveryTagCaughtUp();
    hourRecords.clear();
    dayRecords.clear();
    monthRecords.clear();

    // Three days later there are day records to read; the meter falls silent after the first.
    meter.clock().Advance(pt::hours(72));
    silenceAfterDayReads = 1;
    const CycleSummary fault = Poll();
    EXPECT_TRUE(silent);
    const auto logs = device->LogLines();
    auto logged = [&](const std::string& line) { return std::find(logs.begin(), logs.end(), line) != logs.end(); };
    EXPECT_TRUE(logged("Driver_VKT7. No answer. Set all current and total to bad\n"));
    EXPECT_TRUE(logged("Driver_VKT7. No answer. Reporting bad and retry\n"));
    EXPECT_TRUE(logged("Driver_VKT7. Driver returned break flag\n"));
    // Group "5" waits for the next cycle; groups "1", "2" and the clock are marked bad.
    EXPECT_EQ(std::count(fault.requests.begin(), fault.requests.end(), "W 3FFD 2"), 0);
    for (const char* group : {"1", "2"})
        for (const auto& tag : device->FindGroup(group)->tags) EXPECT_EQ(tag->quality, 0u) << tag->name;
    EXPECT_EQ(dateTime->quality, 0u);
    for (const auto& tag : device->FindGroup("5")->tags)
        EXPECT_EQ(std::count_if(device->events.begin(), device->events.end(),
                                [&](const Event& e) { return e.tag == tag.get(); }),
                  0)
            << tag->name;
    // The day archive published its first record before the silence, the month archive nothing.
    CheckArchivePublications();
    EXPECT_EQ(dayRecords[3].size(), 1u);
    EXPECT_TRUE(monthRecords.empty());

    // The line comes back: a new session (server version 0: no open write) and recovery.
    silent = false;
    const CycleSummary next = Poll();
    ASSERT_FALSE(next.requests.empty());
    EXPECT_EQ(next.requests.front(), "R 3FF9");
    CheckArchivePublications();
    for (const auto& tag : device->FindGroup("1")->tags)
        if (tag->name != "g1/1000" && tag->name != "g1/60" && tag->name != "g1/9") {
            EXPECT_EQ(tag->quality, 192u) << tag->name;
        }
    CatchUp();
    ExpectEveryTagCaughtUp();
    // The new session set the positions afresh from the depths: the day archive
    // was read again from ten days back, and nothing was skipped.
    const gd::date today = meter.clock().Now().date();
    EXPECT_EQ(dayRecords[3], Days(today - gd::days(kDepthDay), today - gd::days(1)));
    const pt::ptime nowHour(today, pt::hours(meter.clock().Now().time_of_day().hours()));
    for (pt::ptime t = nowHour - pt::hours(kDepthHour); t < nowHour; t += pt::hours(1))
        EXPECT_EQ(hourRecords[3].count(t), 1u) << pt::to_simple_string(t);
}

TEST_F(Vkt7EndToEnd, WritingAvailableStopsAndResumesPolling) {
    device->QueueWrite(*available, 0);
    host->Write(*device);
    EXPECT_EQ(device->LogLines().back(), "Driver_VKT7. Driver scan disabled");
    EXPECT_TRUE(Poll().requests.empty());
    EXPECT_EQ(available->value.number, 0);
    device->QueueWrite(*available, 1);
    host->Write(*device);
    const auto logs = device->LogLines();
    EXPECT_NE(std::find(logs.begin(), logs.end(), "Driver_VKT7. Driver scan available"), logs.end());
    EXPECT_FALSE(Poll().requests.empty());
}
