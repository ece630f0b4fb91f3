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

}  // namespace

TEST(Vkt5Archive, HourArchiveDepthLimitAndCount) {
    ArchiveBench bench(1, 3);
    // Values and time stamps are checked end to end.
    auto& value = Vkt5Bench::Value(bench.zone, "v", 3, 0, 4, 0);
    auto& pastEnd = Vkt5Bench::Value(bench.zone, "pastEnd", 3, 0, 24, 2);
    EXPECT_EQ(bench.Cycle(At(7, 14, 20)), (Times{At(7, 11), At(7, 12), At(7, 13), At(7, 14)}));
    for (auto [line, count] : {std::pair{"Read Hour archive type Current", 1u}, {"Write time archive record 2024.03.07 11:00:00", 1u},
                               {"Read archive array 3 heat 0 current", 4u}})
        EXPECT_EQ(bench.Logged(line), count) << line;
    EXPECT_EQ(bench.PublishesOf(value).size(), 4u);
    EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), 4u);
    EXPECT_TRUE(bench.PublishesOf(pastEnd).empty());
    EXPECT_EQ(bench.Cycle(At(7, 15, 4)), Times{});
    EXPECT_EQ(bench.Cycle(At(7, 15, 5)), Times{At(7, 15)});
    EXPECT_EQ(bench.Cycle(At(8, 15, 5)).size(), 10u);  // a long gap is caught up CountRecord at a time
}

TEST(Vkt5Archive, DayArchiveNoDepthAndDisabledCounts) {
    ArchiveBench day(0, 1, 10, true);
    Vkt5Bench::Value(day.zone, "v", 1, 0, 0, 0);
    EXPECT_EQ(day.Cycle(At(5, 0, 3)), Times{At(4, 0)});
    EXPECT_EQ(day.Logged("Read Day archive type Total"), 1u);
    EXPECT_EQ(day.Cycle(At(5, 0, 5)), Times{At(5, 0)});
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
    // No depth: the first record is the next hour, read from 5 minutes past it.
    ArchiveBench future(1, -1);
    Vkt5Bench::Value(future.zone, "v", 3, 0, 0, 0);
    EXPECT_EQ(future.Cycle(At(7, 14, 20)), Times{});
    EXPECT_EQ(future.Cycle(At(7, 15, 4)), Times{});
    EXPECT_EQ(future.Cycle(At(7, 15, 5)), Times{At(7, 15)});
    for (int depth : {2000000000, INT32_MIN}) {
        ArchiveBench beyondCalendar(1, depth);
        Vkt5Bench::Value(beyondCalendar.zone, "v", 3, 0, 0, 0);
        EXPECT_EQ(beyondCalendar.Cycle(At(7, 14, 20)), Times{});
        EXPECT_EQ(beyondCalendar.Logged("Archive start time not valid, archive not read"), 1u);
    }
}

TEST(Vkt5Archive, RefusalsSkipFailuresRepeat) {
    ArchiveBench bench(1, 2);
    auto& a = Vkt5Bench::Value(bench.zone, "a", 3, 0, 0, 0);
    auto& b = Vkt5Bench::Value(bench.zone, "b", 4, 1, 0, 2);
    auto& current = Vkt5Bench::Value(bench.Zone("Current", false), "c", 4, 1, 0, 2);
    bench.meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    bench.meter.Refuse({sim::Vkt5Request::ArchiveCurrent, 4, -1, 1});
    EXPECT_EQ(bench.Cycle(At(7, 14, 20)), (Times{At(7, 12), At(7, 13), At(7, 14)}));
    EXPECT_EQ(bench.Logged("Error write record"), 1u);
    EXPECT_EQ(bench.PublishesOf(a).size(), 2u);
    EXPECT_EQ(bench.PublishesOf(b).size(), 1u);  // refused for 13:00, which still counts as read
    // Array 4 read as an archive with report type 2 carries 12 bytes more than as a current zone.
    const auto exchanges = bench.dev.EventsOf(EventKind::Exchange);
    EXPECT_EQ(ToHex(exchanges[3]->tx).substr(0, 17), "01 03 04 01 00 0B");
    EXPECT_EQ(exchanges[3]->rx.size(), 6u + 2 * 18 + 5);
    EXPECT_EQ(current.quality, 192u);
    EXPECT_EQ(ToHex(exchanges.back()->tx).substr(0, 17), "01 04 04 01 00 0B");
    EXPECT_EQ(exchanges.back()->rx.size(), 6u + 2 * 18 + 12 + 5);
    const auto data = bench.meter.ArchiveData(false, 4, 1, At(7, 14));
    EXPECT_EQ(bench.PublishesOf(b).back()->value.number, data[0] * 256 + data[1]);

    // Array 4 goes silent: the archive stops and asks for the same record next time.
    auto channel = bench.dev.channel;
    bench.dev.channel = [&, channel](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        return tx[1] == 0x04 && tx[2] == 0x04 ? 0 : channel(tx, rx);
    };
    EXPECT_EQ(bench.Cycle(At(7, 15, 20)), Times{At(7, 15)});
    EXPECT_EQ(bench.Logged("Error read archive array. Stop read"), 1u);
    EXPECT_EQ(std::tie(bench.dev.FindTag("Failure")->value.number, current.quality, a.quality),
              std::make_tuple(1.0, 0u, 192u));
    bench.dev.channel = channel;
    EXPECT_EQ(bench.Cycle(At(7, 15, 21)), Times{At(7, 15)});
    EXPECT_EQ(bench.PublishesOf(a).size(), 1u);
    EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 0);

    // A clock that is not valid: no archive this cycle.
    bench.meter.SetRawClock(std::array<uint16_t, 5>{2024, 2, 30, 10, 0});
    EXPECT_EQ(bench.Cycle(At(7, 18)), Times{});
    EXPECT_EQ(bench.Logged("Time of counter not valid, archives not read"), 1u);
}
