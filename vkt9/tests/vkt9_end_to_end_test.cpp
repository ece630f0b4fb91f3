// The built plugin in the host emulator, polling the simulated meter.
#include <gtest/gtest.h>

#include "common/quality.h"
#include "common/tests/scoped_tz.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using hostemu::ValueKind;

namespace {

TEST(Vkt9EndToEnd, PollsValuesAndEveryArchiveRecordOnceAcrossTheRingEnd) {
    ScopedTz tz("XST-3");  // three hours east of UTC, no summer time
    hostemu::LoadedPlugin plugin(TRV_PLUGIN_PATH);
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    hostemu::Host host(plugin.entry());
    sim::Vkt9Simulator meter;
    auto& device = host.AddDevice("vkt9", "VKT9Old");
    ConfigureMeter(device, meter);
    device.properties.Set("DepthHour", "5").Set("CountRecord", "3");
    meter.SetRingTop(Kind::Hour, 9);
    meter.SetCurrentIndex(Kind::Hour, 2);
    auto& values = *device.subdevices[0];

    host.Create();
    host.Init(device);
    EXPECT_EQ(values.FindTag("t1")->quality, QualityOutOfService);
    for (int cycle = 0; cycle < 3; ++cycle) host.Read(device);
    meter.clock().Advance(boost::posix_time::hours(1));
    for (int cycle = 0; cycle < 2; ++cycle) host.Read(device);

    struct Expect { const char* tag; ValueKind kind; double value; Quality q; };
    for (const Expect e : {Expect{"t1", ValueKind::Float, 71.5, QualityGood},  // statuses at 0
                           Expect{"p", ValueKind::Float, double{12345.0f / 100.0f}, QualityGood},
                           Expect{"heat", ValueKind::UInt, 1234567, QualityGood},
                           Expect{"mass", ValueKind::Double, double{98765.0f + 0.5f}, QualityGood},
                           Expect{"mode", ValueKind::Word, 3, QualityGood}, Expect{"flow", ValueKind::None, 0, QualitySensorFailure},
                           Expect{"vflow", ValueKind::None, 0, QualitySensorFailure}}) {
        const hostemu::Tag& tag = *values.FindTag(e.tag);
        EXPECT_EQ(std::tuple(tag.value.kind, tag.value.number, tag.quality), std::tuple(e.kind, e.value, e.q)) << e.tag;
    }
    EXPECT_EQ(device.FindTag("Failure")->value.number, 0);

    // Hour records 7, 8, 9, 0, 1 (hours 7 to 11 of 7 March, meter time), then 2 once the clock moved;
    // day records 3 and 4 (5 and 6 March), each stamped at the end of its interval.
    const std::vector<uint64_t> hours{UtcTicks(2024, 3, 7, 5), UtcTicks(2024, 3, 7, 6), UtcTicks(2024, 3, 7, 7),
                                      UtcTicks(2024, 3, 7, 8), UtcTicks(2024, 3, 7, 9), UtcTicks(2024, 3, 7, 10)};
    const std::vector<uint64_t> days{UtcTicks(2024, 3, 5, 21), UtcTicks(2024, 3, 6, 21)};
    for (auto [node, kind, last, expected] : {std::tuple{1, Kind::Hour, 2, hours}, std::tuple{2, Kind::Day, 4, days}}) {
        const auto& archive = *device.subdevices[static_cast<size_t>(node)];
        std::vector<uint64_t> stamps;
        for (const auto* e : Published(device, archive.FindTag("heat"))) {
            stamps.push_back(*e->time);
            EXPECT_EQ(e->quality, QualityGood);
        }
        EXPECT_EQ(stamps, expected) << node;
        const auto record = *meter.Record(kind, static_cast<uint16_t>(last));
        EXPECT_EQ(archive.FindTag("heat")->value.number, record.heat);
        EXPECT_EQ(archive.FindTag("volume")->value.number, record.volume);
        EXPECT_EQ(archive.FindTag("mass")->value.number, double{static_cast<float>(record.massWhole) + record.massFraction});
    }
    EXPECT_EQ(device.EventsOf(EventKind::Notify).size(), 3 * (hours.size() + days.size())) << "after each archive value";
    host.Close(device);
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

}  // namespace
