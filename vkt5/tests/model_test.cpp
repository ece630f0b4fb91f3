#include <gtest/gtest.h>

#include "common/device_object.h"
#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;

TEST(Vkt5Config, AddressAndAttempts) {
    // Read as "%u" reads it; a text without a number gives 255 and a log line.
    const std::vector<std::tuple<const char*, uint8_t, size_t>> cases = {
        {"300", 44, 1}, {"65537", 1, 1}, {"12x", 12, 1}, {" 5", 5, 1}, {"+7", 7, 1}, {"-1", 255, 1},
        {"-300", 212, 1}, {nullptr, 255, 2}, {"x1", 255, 2}, {" ", 255, 2}, {"-", 255, 2}};
    for (const auto& [text, address, lines] : cases) {
        Vkt5Bench bench;
        if (text) bench.dev.properties.Set("address", text); else bench.dev.properties.Erase("address");
        EXPECT_EQ(Vkt5Init(bench.dev.handle())->meter.address, address) << (text ? text : "absent");
        EXPECT_EQ(bench.dev.LogLines().front(), "init, version 1.0");
        EXPECT_EQ(bench.dev.LogLines().size(), lines) << (text ? text : "absent");
        Vkt5Close(bench.dev.handle());
        EXPECT_EQ(GetDeviceObject(bench.dev.handle()), nullptr);
    }
    // A negative retry count gives no attempts, not billions of them.
    Vkt5Bench bench;
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
    EXPECT_EQ(items[0]->decoding, DecodingUInt32);  // DataType 3
    EXPECT_EQ(items[1]->decoding, DecodingNone);
    EXPECT_NE(dynamic_cast<const ArchiveItem*>(items[0].get()), nullptr);
    const auto& day = d->meter.archives.at({0, 0});
    EXPECT_EQ(std::tie(day.kind, day.depth), std::make_tuple(ArchiveDay, 3));
    EXPECT_EQ(day.zones.at({0, 4, 1})->reportBlock, 1);
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
        EXPECT_EQ(d->availableTag != nullptr, bound);
        EXPECT_EQ(d->meter.clock.tag != nullptr, bound);
        EXPECT_EQ(d->unscheduledTag != nullptr, bound);
        EXPECT_EQ(d->meter.failureTag, d->failureTag);
        EXPECT_EQ(bench.PublishesOf(*bench.dev.FindTag("Available")).size(), size_t(subdevices));
        EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), 3u * subdevices);
        EXPECT_TRUE(bench.PublishesOf(*bench.dev.FindTag("DateTime")).empty());
        for (auto [name, value] : {std::pair{"Available", 1}, {"Failure", 0}, {"UnschedulerRequest", 0}}) {
            EXPECT_EQ(bench.dev.FindTag(name)->hasQuality, bound) << name;
            EXPECT_EQ(bench.dev.FindTag(name)->value.number, bound ? value : 0) << name;
        }
        Vkt5Close(bench.dev.handle());
        EXPECT_TRUE(bench.dev.EventsOf(EventKind::HostError).empty());
    }
}
