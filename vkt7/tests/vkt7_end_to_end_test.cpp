// End to end: the built trvplugin-teplokom.so, loaded with dlopen into the host
// emulator, polls the VKT-7 simulator until every archive has caught up with the
// meter's clock; every tag must then hold the simulator's value with the quality
// it should have. A fault run (silence in the middle of group "4") shows the recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "hostemu/host_emulator.h"
#include "vkt7/tests/vkt7_test_support.h"

using namespace hostemu;
using namespace vkt7test;
using sim::Vkt7Archive;
namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

struct GroupConfig {
    const char* name;
    Vkt7Archive type;
    std::vector<int> addrs;
};

// addr 1000 (the default) names no element; the meter lists no current value 60.
const std::vector<GroupConfig> kGroups = {
    {"1", Vkt7Archive::Current, {0, 1, 2, 9, 14, 16, 19, 1000, 41, 77, 81, 60, 22}},
    {"2", Vkt7Archive::Totals, {3, 4, 6, 11, 12, 17, 18, 25, 34}},
    {"3", Vkt7Archive::Hour, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
    {"4", Vkt7Archive::Day, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
    {"5", Vkt7Archive::Month, {0, 1, 3, 6, 9, 12, 17, 18, 77, 22, 25}},
};
constexpr int kDepthHour = 30, kDepthDay = 10, kCountRecord = 5;

// The qualities the meter is given below, as the driver must publish them.
Quality ExpectedQuality(Vkt7Archive type, int addr) {
    if (type == Vkt7Archive::Current && addr == 9) return 0x10;  // NS 0x01: sensor failure, value kept
    if (type == Vkt7Archive::Totals && addr == 18) return 0x44;   // passed on unchanged
    return 0xC0;                                                  // including 0x50 with NS 0x00
}

pt::ptime Local(uint64_t ticks) { return At(1601, 1, 1) + pt::microseconds(int64_t(ticks / 10)) + pt::hours(3); }
uint64_t Ticks(pt::ptime local) { return UtcTicks(local - pt::hours(3)); }

std::set<pt::ptime> Every(pt::ptime first, pt::ptime last, pt::time_duration step) {
    std::set<pt::ptime> out;
    for (pt::ptime t = first; t <= last; t += step) out.insert(t);
    return out;
}

class Vkt7EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.ok()) << plugin.error();
        host = std::make_unique<Host>(plugin.entry());
        meter.clock().Set(At(2024, 1, 2, 5, 17, 42));
        meter.SetQuality(Vkt7Archive::Current, 9, 0xC0, 0x01);
        meter.SetQuality(Vkt7Archive::Hour, 1, 0x50, 0x00);
        meter.SetQuality(Vkt7Archive::Totals, 18, 0x44, 0xFF);
        device = &host->AddDevice("vkt7", "VKT7");
        device->retryCount = 3;
        device->properties.Set("addr", 1).Set("DepthHour", kDepthHour).Set("DepthDay", kDepthDay).Set("DepthMonth", 4)
            .Set("CountRecord", kCountRecord);
        available = &device->AddTag("Available");
        failure = &device->AddTag("Failure");
        dateTime = &device->AddTag("DateTime");
        for (const GroupConfig& g : kGroups) {
            Node& group = device->AddGroup(g.name);
            for (int addr : g.addrs)
                group.AddTag(std::string("g") + g.name + "/" + std::to_string(addr),
                             addr != 1000 ? Properties{{"addr", std::to_string(addr)}} : Properties{});
        }
        device->channel = [this](std::span<const uint8_t> tx, std::span<uint8_t> rx) -> int32_t {
            if (tx.empty()) return meter.Exchange(tx, rx);
            const bool wasSilent = silent;
            exchanges.push_back(ExchangeRecord{Bytes(tx.begin(), tx.end()), static_cast<int32_t>(rx.size()), 0});
            if (tx.size() >= 10 && tx[3] == 0x10 && tx[5] == 0xFD) daySelected = tx[9] == 1;
            // The answer to this day-record read still arrives; the next request meets silence.
            silent |= silenceAfterADayRecord && daySelected && tx[3] == 0x03 && tx[5] == 0xFE;
            return wasSilent ? 0 : meter.Exchange(tx, rx);
        };
        host->Create();
        host->Init(*device);
    }
    void TearDown() override {
        if (host && device) host->Close(*device);
    }

    Lines Poll() {
        exchanges.clear();
        device->ClearEvents();
        EXPECT_EQ(host->Read(*device), 0);
        return Describe(exchanges);
    }

    // Polls until a cycle reads no archive record; returns the number of cycles.
    int CatchUp() {
        for (int cycle = 1; cycle <= 40; ++cycle) {
            const Lines requests = Poll();
            CheckArchivePublications();
            if (std::ranges::none_of(requests, [](const std::string& r) { return r.starts_with("W 3FFB"); }))
                return cycle;
        }
        ADD_FAILURE() << "the archives did not catch up";
        return 0;
    }

    // Every archive value published in the last cycle is the simulator's value of
    // the record its time stamp names, and goes to the history.
    void CheckArchivePublications() {
        size_t published = 0;
        for (const Event* e : device->EventsOf(EventKind::Publish)) {
            if (e->tag == nullptr || e->tag->owner == device || e->tag->owner->name < "3") continue;
            const char group = e->tag->owner->name[0];
            const int addr = std::stoi(e->tag->name.substr(3));
            ASSERT_TRUE(e->time.has_value()) << e->tag->name;
            const pt::ptime stamp = Local(*e->time);
            const Vkt7Archive type = kGroups[group - '1'].type;
            const pt::ptime record = group == '3'   ? stamp - pt::hours(1)
                                     : group == '4' ? stamp - gd::days(1)
                                                    : pt::ptime(stamp.date() - gd::months(1));
            // Day records are stamped at midnight, month records on the first at midnight.
            const bool midnight = stamp.time_of_day() == pt::hours(0);
            EXPECT_TRUE(group == '3' || (midnight && (group == '4' || stamp.date().day() == 1)))
                << e->tag->name << " " << pt::to_simple_string(stamp);
            if (addr == 3) records[type].insert(record);
            ++published;
            EXPECT_EQ(e->value.number, meter.ExpectedValue(type, static_cast<uint8_t>(addr), record))
                << e->tag->name << " record " << pt::to_simple_string(record);
            EXPECT_EQ(e->quality, ExpectedQuality(type, addr)) << e->tag->name;
        }
        EXPECT_EQ(device->EventsOf(EventKind::StoreHistory).size(), published);
    }

    // The state every tag must end in once the archives have caught up. Archive
    // values were checked against their records as they were published.
    void ExpectEveryTagCaughtUp() {
        const pt::ptime now = meter.clock().Now();
        gd::date month(now.date().year(), now.date().month(), 1);
        if (now.date().day() > meter.reportDay()) month += gd::months(1);  // this month's record is closed
        const std::map<Vkt7Archive, pt::ptime> newestStamp = {
            {Vkt7Archive::Hour, pt::ptime(now.date(), pt::hours(now.time_of_day().hours()))},
            {Vkt7Archive::Day, pt::ptime(now.date())}, {Vkt7Archive::Month, pt::ptime(month)}};
        for (const GroupConfig& g : kGroups) {
            for (int addr : g.addrs) {
                const Tag* tag = device->FindGroup(g.name)->FindTag(std::string("g") + g.name + "/" +
                                                                    std::to_string(addr));
                SCOPED_TRACE(tag->name);
                if (addr == 1000 || addr == 60) {  // unable to get the value; not listed by the meter
                    EXPECT_EQ(tag->value.number, 0.0);
                    EXPECT_EQ(tag->quality, addr == 60 ? 0x18u : 0x10u);
                    continue;
                }
                EXPECT_EQ(tag->quality, ExpectedQuality(g.type, addr));
                EXPECT_EQ(tag->value.kind, (addr == 77 || addr == 81) ? ValueKind::Bool : ValueKind::Double);
                ASSERT_TRUE(tag->time.has_value());
                if (newestStamp.count(g.type)) {
                    EXPECT_EQ(*tag->time, Ticks(newestStamp.at(g.type)));
                } else {
                    EXPECT_EQ(tag->value.number, meter.ExpectedValue(g.type, static_cast<uint8_t>(addr)));
                }
            }
        }
        EXPECT_EQ(available->value.number, 1);
        const std::string clock = pt::to_iso_extended_string(now).replace(4, 1, ".").replace(7, 1, ".");
        EXPECT_EQ(dateTime->value.text, clock.substr(0, 10) + " " + clock.substr(11));
        EXPECT_EQ(dateTime->quality, 192u);
        EXPECT_EQ(failure->value.number, 0);  // the last group tag got its value
        EXPECT_TRUE(device->EventsOf(EventKind::HostError).empty());
    }

    LoadedPlugin plugin{TRV_PLUGIN_PATH};
    std::unique_ptr<Host> host;
    sim::Vkt7Simulator meter;
    Device* device = nullptr;
    Tag *available = nullptr, *failure = nullptr, *dateTime = nullptr;
    std::vector<ExchangeRecord> exchanges;
    bool daySelected = false, silent = false, silenceAfterADayRecord = false;
    std::map<Vkt7Archive, std::set<pt::ptime>> records;  // of element 3
};

}  // namespace

TEST_F(Vkt7EndToEnd, PollsUntilEveryArchiveHasCaughtUp) {
    // 30 hour records at 5 per cycle: six cycles, then one that finds nothing to read.
    EXPECT_EQ(CatchUp(), kDepthHour / kCountRecord + 1);
    ExpectEveryTagCaughtUp();
    // Across the year end: hours from 31 December 23:00, days from 23 December, November and December.
    EXPECT_EQ(records[Vkt7Archive::Hour], Every(At(2023, 12, 31, 23), At(2024, 1, 2, 4), pt::hours(1)));
    EXPECT_EQ(records[Vkt7Archive::Day], Every(At(2023, 12, 23), At(2024, 1, 1), pt::hours(24)));
    EXPECT_EQ(records[Vkt7Archive::Month], (std::set<pt::ptime>{At(2023, 11, 1), At(2023, 12, 1)}));
}

TEST_F(Vkt7EndToEnd, RecoversFromSilenceInTheMiddleOfTheDayArchive) {
    CatchUp();
    records.clear();
    // Three days later there are day records to read; the meter falls silent after the first.
    meter.clock().Advance(pt::hours(72));
    silenceAfterADayRecord = true;
    const Lines fault = Poll();
    ASSERT_TRUE(silent);
    EXPECT_EQ(Count(fault, "W 3FFD 02 00"), 0);  // group "5" waits
    const Lines logs = device->LogLines();
    const std::string noAnswer = "Driver_VKT7. No answer. ";
    EXPECT_LT(std::find(logs.begin(), logs.end(), noAnswer + "Set all current and total to bad\n"), logs.end() - 2);
    EXPECT_EQ(Lines(logs.end() - 2, logs.end()),
              (Lines{noAnswer + "Reporting bad and retry\n", "Driver_VKT7. Driver returned break flag\n"}));
    // Current values, totals and the clock turn bad; the archive tags keep theirs.
    for (const char* group : {"1", "2"})
        for (const auto& tag : device->FindGroup(group)->tags) EXPECT_EQ(tag->quality, 0u) << tag->name;
    EXPECT_EQ(dateTime->quality, 0u);
    for (const char* group : {"3", "4"})
        for (const auto& tag : device->FindGroup(group)->tags) EXPECT_EQ(tag->quality, 0xC0u) << tag->name;
    CheckArchivePublications();
    EXPECT_EQ(records[Vkt7Archive::Day].size(), 1u);  // the one record read before the silence
    EXPECT_TRUE(records[Vkt7Archive::Month].empty());

    // The line comes back: a new session (server version 0: no open write) and recovery.
    silent = silenceAfterADayRecord = false;
    EXPECT_EQ(Poll().front(), "R 3FF9 21");
    CheckArchivePublications();
    CatchUp();
    ExpectEveryTagCaughtUp();
    // The new session set the positions afresh from the depths: the day archive was
    // read again from ten days back, and no hour was skipped.
    const pt::ptime now = meter.clock().Now();
    EXPECT_EQ(records[Vkt7Archive::Day], Every(pt::ptime(now.date() - gd::days(kDepthDay)),
                                                   pt::ptime(now.date() - gd::days(1)), pt::hours(24)));
    const pt::ptime hour(now.date(), pt::hours(now.time_of_day().hours()));
    for (pt::ptime t = hour - pt::hours(kDepthHour); t < hour; t += pt::hours(1))
        EXPECT_EQ(records[Vkt7Archive::Hour].count(t), 1u) << pt::to_simple_string(t);
}
