#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "common/device_object.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;

TEST(Vkt5Config, AddressProperty) {
    struct Case {
        const char* text;  // null: property absent
        uint8_t address;
        bool logged;
    };
    for (const Case& c : {Case{"300", 44, false}, Case{"7", 7, false}, Case{"65537", 1, false},
                          Case{nullptr, 255, true}, Case{"", 255, true}, Case{"12x", 255, true},
                          Case{"-1", 255, true}, Case{" 5", 255, true}}) {
        Vkt5Bench bench;
        if (c.text)
            bench.dev.properties.Set("address", c.text);
        else
            bench.dev.properties.Erase("address");
        Device* d = Vkt5Init(bench.dev.handle());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->meter.address, c.address) << (c.text ? c.text : "absent");
        const auto lines = bench.dev.LogLines();
        EXPECT_EQ(lines.front(), "init, version 1.0");
        EXPECT_EQ(lines.size(), c.logged ? 2u : 1u) << (c.text ? c.text : "absent");
        Vkt5Close(bench.dev.handle());
    }
}

TEST(Vkt5Config, ZonesAndArchivesAreGroupedByRequest) {
    Vkt5Bench bench;
    bench.dev.properties.Set("DepthHour", 24).Set("DepthDay", 3).Set("CountRecord", 5);
    auto& a = bench.Zone("Current", false);
    auto& b = bench.Zone("Current", false);
    auto& totals = bench.Zone("Totals", true);
    auto& lower = bench.Zone("archive", false);  // not an archive: the match is case-sensitive
    auto& hour = bench.Zone("HourArchive", false, 1);
    auto& hour2 = bench.Zone("xArchivex", false, 1);
    auto& day0 = bench.Zone("DayArchive", false, 0);
    auto& day2 = bench.Zone("DayArchive", false, 2);
    auto& dayAbsent = bench.Zone("DayArchive", true);
    Vkt5Bench::Value(a, "t1", 0, 2, 0, 0);
    Vkt5Bench::Value(b, "t2", 0, 2, 4, 0);
    Vkt5Bench::Value(b, "t3", 0, 1, 4, 0);
    Vkt5Bench::Value(totals, "t4", 1, 0, 0, 1);
    Vkt5Bench::Value(lower, "t5", 3, 0, 0, 2);
    Vkt5Bench::Value(hour, "h1", 0, 0, 0, 3);
    Vkt5Bench::Value(hour2, "h2", 0, 0, 4, 7);
    Vkt5Bench::Value(day0, "d1", 4, 1, 0, 0);
    Vkt5Bench::Value(day2, "d2", 4, 1, 0, 0);
    dayAbsent.AddTag("bare");  // no properties at all
    Device* d = Vkt5Init(bench.dev.handle());
    ASSERT_NE(d, nullptr);
    std::vector<ZoneKey> keys;
    for (const auto& [key, zone] : d->meter.zones) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<ZoneKey>{{0, 0, 1}, {0, 0, 2}, {0, 3, 0}, {1, 1, 0}}));
    EXPECT_EQ(d->meter.zones.at({0, 0, 2})->items.size(), 2u);
    EXPECT_EQ(d->meter.zones.at({0, 0, 2})->param1, 56);
    std::vector<ArchiveKey> archives;
    for (const auto& [key, group] : d->meter.archives) archives.push_back(key);
    EXPECT_EQ(archives, (std::vector<ArchiveKey>{{0, 0}, {1, 0}, {2, 0}, {255, 1}}));
    const auto& hourGroup = d->meter.archives.at({1, 0});
    EXPECT_EQ(hourGroup.kind, ArchiveHour);
    EXPECT_EQ(hourGroup.depth, 24);
    EXPECT_EQ(hourGroup.countRecord, 5);
    ASSERT_EQ(hourGroup.zones.size(), 1u);
    const auto& items = hourGroup.zones.begin()->second->items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->decoding, DecodingUInt32);  // DataType 3
    EXPECT_EQ(items[1]->decoding, DecodingNone);
    EXPECT_NE(dynamic_cast<const ArchiveItem*>(items[0].get()), nullptr);
    EXPECT_EQ(d->meter.archives.at({0, 0}).kind, ArchiveDay);
    EXPECT_EQ(d->meter.archives.at({0, 0}).depth, 3);
    EXPECT_EQ(d->meter.archives.at({0, 0}).zones.begin()->second->reportBlock, 1);
    const auto& bare = d->meter.archives.at({255, 1}).zones.at({1, 0, 0})->items.at(0);
    EXPECT_EQ(bare->address, -1);
    EXPECT_EQ(bare->decoding, DecodingNone);
    // Every zone tag is out of service until read.
    for (auto* tag : bench.dev.AllTags()) EXPECT_EQ(tag->quality, 28u) << tag->name;
    EXPECT_EQ(bench.dev.flag, 1);
    Vkt5Close(bench.dev.handle());
    EXPECT_EQ(GetDeviceObject(bench.dev.handle()), nullptr);
}

TEST(Vkt5Config, ControlTagsBoundOncePerSubdevice) {
    for (int subdevices : {0, 1, 3}) {
        Vkt5Bench bench;
        for (const char* name : {"Available", "Failure", "UnschedulerRequest", "DateTime", "Other"}) bench.Control(name);
        for (int i = 0; i < subdevices; ++i) bench.Zone("Current", false);
        Device* d = Vkt5Init(bench.dev.handle());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->availableTag != nullptr, subdevices > 0);
        EXPECT_EQ(d->meter.failureTag, d->failureTag);
        EXPECT_EQ(d->meter.clock.tag != nullptr, subdevices > 0);
        EXPECT_EQ(d->unscheduledTag != nullptr, subdevices > 0);
        EXPECT_EQ(bench.PublishesOf(*bench.dev.FindTag("Available")).size(), static_cast<size_t>(subdevices));
        EXPECT_EQ(bench.dev.EventsOf(EventKind::Commit).size(), 3u * subdevices);
        EXPECT_TRUE(bench.PublishesOf(*bench.dev.FindTag("DateTime")).empty());
        if (subdevices > 0) {
            EXPECT_EQ(bench.dev.FindTag("Available")->value.number, 1);
            EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, 0);
            EXPECT_EQ(bench.dev.FindTag("UnschedulerRequest")->value.number, 0);
        }
        Vkt5Close(bench.dev.handle());
        EXPECT_TRUE(bench.dev.EventsOf(EventKind::HostError).empty());
    }
}
