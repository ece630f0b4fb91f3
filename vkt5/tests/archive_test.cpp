#include <algorithm>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;
namespace pt = boost::posix_time;
using Times = std::vector<pt::ptime>;

namespace {

pt::ptime At(int day, int hour, int minute = 0) {
    return pt::ptime(boost::gregorian::date(2024, 3, day), pt::hours(hour) + pt::minutes(minute));
}

struct ArchiveBench : Vkt5Bench {
    Device* d = nullptr;
    explicit ArchiveBench(int typeArchive, int depth, int countRecord = 10) {
        dev.properties.Set(typeArchive == 1 ? "DepthHour" : "DepthDay", depth).Set("CountRecord", countRecord);
        Control("Failure");
    }
    void Init() { d = Vkt5Init(dev.handle()); }
    ~ArchiveBench() { Vkt5Close(dev.handle()); }
    // Runs one cycle at the given meter time; returns the record times it wrote.
    Times Cycle(pt::ptime now) {
        const size_t before = meter.recordTimesWritten().size();
        meter.clock().Set(now);
        dev.ClearEvents();
        d->Read();
        return Times(meter.recordTimesWritten().begin() + static_cast<std::ptrdiff_t>(before),
                     meter.recordTimesWritten().end());
    }
};

}  // namespace

TEST(Vkt5Archive, HourArchiveDepthLimitAndCount) {
    ArchiveBench bench(1, 3);
    auto& zone = bench.Zone("HourArchive", false, 1);
    auto& value = Vkt5Bench::Value(zone, "v", 3, 0, 4, 0);
    auto& pastEnd = Vkt5Bench::Value(zone, "pastEnd", 3, 0, 24, 2);
    bench.Init();
    EXPECT_EQ(bench.Cycle(At(7, 14, 20)), (Times{At(7, 11), At(7, 12), At(7, 13), At(7, 14)}));
    const auto lines = bench.dev.LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Read Hour archive type Current"), 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Write time archive record 2024.03.07 11:00:00"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Read archive array 3 heat 0 current"), lines.end());
    const auto published = bench.PublishesOf(value);
    ASSERT_EQ(published.size(), 4u);
    EXPECT_EQ(published[0]->value.number, FloatAt(bench.meter.ArchiveData(false, 3, 0, At(7, 11)), 4));
    EXPECT_EQ(published[3]->value.number, FloatAt(bench.meter.ArchiveData(false, 3, 0, At(7, 14)), 4));
    EXPECT_TRUE(published[0]->time.has_value());
    EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), 4u);
    EXPECT_TRUE(bench.PublishesOf(pastEnd).empty());
    EXPECT_EQ(bench.Cycle(At(7, 15, 4)), Times{});
    EXPECT_EQ(bench.Cycle(At(7, 15, 5)), Times{At(7, 15)});
    // A long gap is caught up CountRecord records per cycle.
    EXPECT_EQ(bench.Cycle(At(8, 15, 5)).size(), 10u);
}

TEST(Vkt5Archive, DayArchiveAndDisabledCounts) {
    ArchiveBench day(0, 1);
    Vkt5Bench::Value(day.Zone("DayArchive", true, 0), "v", 1, 0, 0, 0);
    day.Init();
    EXPECT_EQ(day.Cycle(At(5, 0, 3)), Times{At(4, 0)});
    EXPECT_EQ(day.Cycle(At(5, 0, 5)), Times{At(5, 0)});
    EXPECT_NE(std::find(day.dev.LogLines().begin(), day.dev.LogLines().end(), "Read Day archive type Total"),
              day.dev.LogLines().end());
    for (int count : {-1, 0}) {
        ArchiveBench none(1, 3, count);
        Vkt5Bench::Value(none.Zone("HourArchive", false, 1), "v", 3, 0, 0, 0);
        none.Init();
        EXPECT_EQ(none.Cycle(At(7, 14, 20)), Times{});
        EXPECT_EQ(none.Sent().size(), 3u);  // settings and clock only
    }
    // No depth: the first record is the next hour, read from 5 minutes past it.
    ArchiveBench future(1, -1);
    Vkt5Bench::Value(future.Zone("HourArchive", false, 1), "v", 3, 0, 0, 0);
    future.Init();
    EXPECT_EQ(future.Cycle(At(7, 14, 20)), Times{});
    EXPECT_EQ(future.Cycle(At(7, 15, 4)), Times{});
    EXPECT_EQ(future.Cycle(At(7, 15, 5)), Times{At(7, 15)});
}

TEST(Vkt5Archive, RefusalsSkipFailuresRepeat) {
    ArchiveBench bench(1, 2);
    auto& zone = bench.Zone("HourArchive", false, 1);
    auto& a = Vkt5Bench::Value(zone, "a", 3, 0, 0, 0);
    auto& b = Vkt5Bench::Value(zone, "b", 4, 1, 0, 2);
    auto& current = Vkt5Bench::Value(bench.Zone("Current", false), "c", 3, 0, 0, 0);
    bench.meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    bench.meter.Refuse({sim::Vkt5Request::ArchiveCurrent, 4, -1, 1});
    bench.Init();
    EXPECT_EQ(bench.Cycle(At(7, 14, 20)), (Times{At(7, 12), At(7, 13), At(7, 14)}));
    EXPECT_NE(std::find(bench.dev.LogLines().begin(), bench.dev.LogLines().end(), "Error write record"),
              bench.dev.LogLines().end());
    EXPECT_EQ(bench.PublishesOf(a).size(), 2u);
    EXPECT_EQ(bench.PublishesOf(b).size(), 1u);  // refused for 13:00, which still counts as read
    // The archive array 4 with report type 2 carries 12 more bytes than as a current zone.
    const auto exchanges = bench.dev.EventsOf(EventKind::Exchange);
    const auto archive4 = std::find_if(exchanges.begin(), exchanges.end(), [](const auto* e) {
        return ToHex(e->tx).rfind("01 04 04 01 00 0B", 0) == 0 && e->rx.size() > 5;
    });
    ASSERT_NE(archive4, exchanges.end());
    EXPECT_EQ((*archive4)->rx.size(), 6u + 2 * 18 + 12 + 5);
    EXPECT_EQ(bench.PublishesOf(b).back()->value.number, [&] {
        const auto data = bench.meter.ArchiveData(false, 4, 1, At(7, 14));
        return data[0] * 256 + data[1];
    }());

    // Array 4 goes silent: the archive stops and asks for the same record next time.
    auto channel = bench.dev.channel;
    bench.dev.channel = [&, channel](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        return tx.size() > 2 && tx[1] == 0x04 && tx[2] == 0x04 ? 0 : channel(tx, rx);
    };
    EXPECT_EQ(bench.Cycle(At(7, 15, 20)), Times{At(7, 15)});
    EXPECT_NE(std::find(bench.dev.LogLines().begin(), bench.dev.LogLines().end(), "Error read archive array. Stop read"),
              bench.dev.LogLines().end());
    EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 1);
    EXPECT_EQ(current.quality, 0u);
    EXPECT_EQ(a.quality, 192u);
    bench.dev.channel = channel;
    EXPECT_EQ(bench.Cycle(At(7, 15, 21)), Times{At(7, 15)});
    EXPECT_EQ(bench.PublishesOf(a).size(), 1u);
    EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 0);

    // A clock that is not valid: no archive this cycle.
    bench.meter.SetRawClock(std::array<uint16_t, 5>{2024, 2, 30, 10, 0});
    EXPECT_EQ(bench.Cycle(At(7, 18)), Times{});
    EXPECT_NE(std::find(bench.dev.LogLines().begin(), bench.dev.LogLines().end(),
                        "Time of counter not valid, archives not read"),
              bench.dev.LogLines().end());
}
