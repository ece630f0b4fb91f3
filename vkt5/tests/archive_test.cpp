#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;
namespace pt = boost::posix_time;
using Times = std::vector<pt::ptime>;

namespace {

// One archive subdevice (hour for TypeArchive 1, else day) with the given depth.
struct ArchiveBench : Vkt5Bench {
    Device* d = nullptr;
    hostemu::Node& zone;
    ArchiveBench(int typeArchive, int depth, int countRecord = 10, bool total = false)
        : zone(Zone(typeArchive == 1 ? "HourArchive" : "DayArchive", total, typeArchive)) {
        dev.properties.Set(typeArchive == 1 ? "DepthHour" : "DepthDay", depth).Set("CountRecord", countRecord);
        dev.AddTag("Failure");
    }
    ~ArchiveBench() { Vkt5Close(dev.handle()); }
    // One cycle at the given meter time; the record times it wrote.
    Times Cycle(pt::ptime now) {
        if (d == nullptr) d = Vkt5Init(dev.handle());
        const auto before = static_cast<std::ptrdiff_t>(meter.recordTimesWritten().size());
        meter.clock().Set(now);
        dev.ClearEvents();
        d->Read();
        return Times(meter.recordTimesWritten().begin() + before, meter.recordTimesWritten().end());
    }
};

Times Hours(pt::ptime first, int count) {
    Times times;
    for (int i = 0; i < count; ++i) times.push_back(first + pt::hours(i));
    return times;
}

}  // namespace

// Values and time stamps are checked end to end; here which records are due when.
TEST(Vkt5Archive, RecordsDueByDepthCountRecordAndClock) {
    struct Case { int typeArchive, depth; bool total; std::vector<std::pair<pt::ptime, Times>> cycles; std::vector<std::string> firstLines; };
    const std::vector<Case> cases = {
        {1, 3, false, {{At(7, 14, 20), Hours(At(7, 11), 4)}, {At(7, 15, 4), {}}, {At(7, 15, 5), {At(7, 15)}},
                       {At(8, 15, 5), Hours(At(7, 16), 10)}},  // a long gap is caught up CountRecord at a time
         {"Read Hour archive type Current", "Write time archive record 2024.03.07 11:00:00"}},
        {0, 1, true, {{At(5, 0, 3), {At(4, 0)}}, {At(5, 0, 5), {At(5, 0)}}}, {"Read Day archive type Total"}},
        // No depth: the first record is the next hour, read from 5 minutes past it.
        {1, -1, false, {{At(7, 14, 20), {}}, {At(7, 15, 4), {}}, {At(7, 15, 5), {At(7, 15)}}}, {}},
        {1, 2000000000, false, {{At(7, 14, 20), {}}}, {"Archive start time not valid, archive not read"}},
        {1, INT32_MIN, false, {{At(7, 14, 20), {}}}, {"Archive start time not valid, archive not read"}},
        // Day steps at the ends of int: off the calendar, with no overflow on the way.
        {0, -2147483647, false, {{At(7, 14, 20), {}}}, {"Archive start time not valid, archive not read"}},
        {0, INT32_MAX, false, {{At(7, 14, 20), {}}}, {"Archive start time not valid, archive not read"}},
        {0, INT32_MIN, false, {{At(7, 14, 20), {}}}, {"Archive start time not valid, archive not read"}}};
    for (const auto& c : cases) {
        ArchiveBench bench(c.typeArchive, c.depth, 10, c.total);
        const int array = c.total ? 1 : 3;  // total array 1 has 128 data bytes, current array 3 has 24
        auto& value = Vkt5Bench::Value(bench.zone, "v", array, 0, 4, 0);
        auto& pastEnd = Vkt5Bench::Value(bench.zone, "pastEnd", array, 0, c.total ? 128 : 24, 2);
        const std::string read = c.total ? "Read archive array 1 heat 0 total" : "Read archive array 3 heat 0 current";
        for (const auto& [now, due] : c.cycles) {
            EXPECT_EQ(bench.Cycle(now), due) << now;
            EXPECT_EQ(bench.PublishesOf(value).size(), due.size());
            EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), due.size());
            EXPECT_EQ(bench.Logged(read), due.size());
            for (size_t i = 0; now == c.cycles[0].first && i < c.firstLines.size(); ++i)
                EXPECT_EQ(bench.Logged(c.firstLines[i]), 1u) << c.firstLines[i];
        }
        EXPECT_TRUE(bench.PublishesOf(pastEnd).empty());
    }
    for (int count : {-1, 0}) {
        ArchiveBench none(1, 3, count);
        Vkt5Bench::Value(none.zone, "v", 3, 0, 0, 0);
        // Nothing is ever due, so a clock that is not valid has nothing to skip.
        none.meter.SetRawClock(std::array<uint16_t, 5>{2024, 13, 5, 10, 0});
        EXPECT_EQ(none.Cycle(At(7, 14, 20)), Times{});
        EXPECT_EQ(none.dev.LogLines().back(), "Current time 0.00.00 00:00:00");
        none.meter.SetRawClock(std::nullopt);
        EXPECT_EQ(none.Cycle(At(7, 14, 20)), Times{});
        EXPECT_EQ(none.Sent().size(), 1u);  // the clock only
    }
}

TEST(Vkt5Archive, RefusalsSkipFailuresRepeat) {
    ArchiveBench bench(1, 2);
    auto& a = Vkt5Bench::Value(bench.zone, "a", 3, 0, 0, 0);
    auto& b = Vkt5Bench::Value(bench.zone, "b", 4, 1, 0, 2);
    auto& current = Vkt5Bench::Value(bench.Zone("Current", false), "c", 4, 1, 0, 2);
    auto& failure = *bench.dev.FindTag("Failure");
    bench.meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    bench.meter.Refuse({sim::Vkt5Request::ArchiveCurrent, 4, -1, 1});
    EXPECT_EQ(bench.Cycle(At(7, 14, 20)), (Times{At(7, 12), At(7, 13), At(7, 14)}));
    EXPECT_EQ(bench.Logged("Error write record"), 1u);
    // Array 4 refused for 13:00, which still counts as read.
    EXPECT_EQ(std::make_tuple(bench.PublishesOf(a).size(), bench.PublishesOf(b).size()), std::make_tuple(2u, 1u));
    // Array 4 read as an archive with report type 2 carries 12 bytes more than as a current zone (6 + 2 x 18 + 5).
    const auto exchanges = bench.dev.EventsOf(EventKind::Exchange);
    EXPECT_EQ(ToHex(exchanges[3]->tx).substr(0, 17) + " " + std::to_string(exchanges[3]->rx.size()), "01 03 04 01 00 0B 47");
    EXPECT_EQ(ToHex(exchanges.back()->tx).substr(0, 17) + " " + std::to_string(exchanges.back()->rx.size()), "01 04 04 01 00 0B 59");
    EXPECT_EQ(current.quality, 192u);
    const auto data = bench.meter.ArchiveData(false, 4, 1, At(7, 14));
    EXPECT_EQ(bench.PublishesOf(b).back()->value.number, data[0] * 256 + data[1]);

    // Array 4 goes silent: the archive stops and asks for the same record next time.
    auto channel = bench.dev.channel;
    bench.dev.channel = [&, channel](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        return tx[1] == 0x04 && tx[2] == 0x04 ? 0 : channel(tx, rx);
    };
    EXPECT_EQ(bench.Cycle(At(7, 15, 20)), Times{At(7, 15)});
    EXPECT_EQ(bench.Logged("Error read archive array. Stop read"), 1u);
    EXPECT_EQ(std::tie(failure.value.number, current.quality, a.quality), std::make_tuple(1.0, 0u, 192u));
    bench.dev.channel = channel;
    EXPECT_EQ(bench.Cycle(At(7, 15, 21)), Times{At(7, 15)});
    EXPECT_EQ(std::make_tuple(bench.PublishesOf(a).size(), failure.value.number), std::make_tuple(1u, 0.0));

    // A clock that is not valid: no archive this cycle.
    bench.meter.SetRawClock(std::array<uint16_t, 5>{2024, 2, 30, 10, 0});
    EXPECT_EQ(bench.Cycle(At(7, 18)), Times{});
    EXPECT_EQ(bench.Logged("Time of counter not valid, archives not read"), 1u);
}
