#include <gtest/gtest.h>

#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

struct ArchiveTest : ::testing::Test, HostFixture {
    sim::Vkt9Simulator meter;
    void SetUp() override { ConfigureMeter(device, meter); }
    hostemu::Node& Node(size_t i) { return *device.subdevices.at(i); }
    Lines ReadArchive(size_t subdevice) {
        device.ClearEvents();
        Vkt9ReadSubdevice(handle(), &Node(subdevice));
        return Logs();
    }
    std::vector<const hostemu::Event*> Published(const hostemu::Tag& tag) {
        std::vector<const hostemu::Event*> out;
        for (const auto* e : device.EventsOf(EventKind::Publish))
            if (e->tag == &tag) out.push_back(e);
        return out;
    }
};

TEST_F(ArchiveTest, ReadsDepthRecordsBeforeTheCurrentIndexAcrossTheRingEnd) {
    ASSERT_NE(Init(), nullptr);  // current index 0, depth 3, ring top 99
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 97 ", "Read record 98 ", "Read record 99 "}));
    EXPECT_EQ(Node(1).log, Lines{"read subdevice ArchiveHour start"});
    EXPECT_EQ(Published(Tag(1, "heat")).size(), 3u);
    EXPECT_EQ(device.EventsOf(EventKind::Notify).size(), 9u);
    EXPECT_EQ(device.EventsOf(EventKind::Commit).size(), 9u);
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "No new records in the archive"}));
    meter.clock().Advance(boost::posix_time::hours(1));
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=1", "Read record 0 "}));
}

TEST(Vkt9Archive, GoldenRecordIsLittleEndianAndStampedAtTheEndOfItsHour) {
    HostFixture fx;
    // 5 March 2024, hour 10: 1.5, 0x01020304, -8 / 4, 0xfffe, and a value on the CRC bytes (c9 42), decoded as
    // they came; then a short answer whose CRC low byte (09) is the hour: 3 March, hour 9.
    ScriptedLine line{{RepairCrc(Hex("ff 41 00 38 61 00 01 18 03 05 0a 00 00 c0 3f 04 03 02 01 f8 ff fe ff 00 00")),
                       Hex("ff 41 00 38 62 00 01 18 03 03 09 2c")}, {}};
    fx.device.channel = [&](auto tx, auto rx) { return line(tx, rx); };
    auto p = std::make_unique<Protocol>();
    p->device = fx.handle();
    p->attempts = 1;
    Archive archive;
    archive.LengthByteAnswer = 16;
    archive.values = {{nullptr, 4, DataFloat, 1, 0, 0, 0}, {nullptr, 8, DataUInt32, 1, 0, 0, 0}, {nullptr, 12, DataScaledInt16, 4, 0, 0, 0},
                      {nullptr, 14, DataWord, 1, 0, 0, 0}, {nullptr, 16, DataWord, 1, 0, 0, 0}};
    EXPECT_TRUE(p->ReadArchiveRecord(archive, 97));
    EXPECT_EQ(archive.recordTime.FormatTime(), "2024.03.05 11:00:00");
    EXPECT_EQ(archive.values[0].floatValue, 1.5f);
    EXPECT_EQ(archive.values[1].intValue, 0x01020304);
    EXPECT_EQ(archive.values[2].floatValue, -2.0f);
    EXPECT_EQ(static_cast<uint16_t>(archive.values[3].intValue), 0xfffe);
    EXPECT_EQ(static_cast<uint16_t>(archive.values[4].intValue), 0x42c9);
    EXPECT_TRUE(p->ReadArchiveRecord(archive, 98));
    EXPECT_EQ(archive.recordTime.FormatTime(), "2024.03.03 10:00:00");
    EXPECT_EQ(archive.values[0].floatValue, 1.5f) << "values beyond the answer stay as they were";
    EXPECT_EQ(fx.Logs(), Lines{"WARNING: incomplete answer"});
}

TEST(Vkt9Archive, DepthAndCountRecordDecideWhereAndHowFarAReadGoes) {
    // Ring 0..99, current index 0.
    struct Case { const char* depth; const char* count; Lines tail; };
    for (const Case& c : {Case{"-1", "2", {"Read record 1 ", "Read record 2 "}}, Case{"0", "5", {"No new records in the archive"}},
                          Case{"500", "1", {"Read record 1 "}}, Case{"3", "-1", {}}, Case{"3", "0", {}},
                          Case{"-200", "1", {"Read record 100 ", "ERROR: Get Error code", "Record not found"}}}) {
        HostFixture fx;
        sim::Vkt9Simulator meter;
        ConfigureMeter(fx.device, meter);
        fx.device.properties.Set("DepthHour", c.depth).Set("CountRecord", c.count);
        ASSERT_NE(fx.Init(), nullptr);
        fx.device.ClearEvents();
        Vkt9ReadSubdevice(fx.handle(), fx.device.subdevices[1].get());
        Lines expected{"read subdevice ArchiveHour start"};
        if (std::atoi(c.count) > 0) expected.push_back("Get Index=0");
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(fx.Logs(), expected) << c.depth << " " << c.count;
    }
}

TEST_F(ArchiveTest, RecordsNotFoundAreSkippedAndLinkFailuresRetried) {
    meter.SetErrorRecord(Kind::Hour, 97);
    meter.SetImpossibleDate(Kind::Hour, 99);
    device.properties.Set("CountRecord", "2");
    ASSERT_NE(Init(), nullptr);
    ReadArchive(1);
    EXPECT_EQ(Published(Tag(1, "heat")).size(), 1u) << "nothing for 97, whose time is unset";
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 99 ", "Record not found"}));
    EXPECT_TRUE(Published(Tag(1, "heat")).empty()) << "99 is the first of this read: nothing to repeat";

    // The line falls silent on a record: the same record is asked for again.
    meter.SetErrorRecord(Kind::Hour, 97, false);
    meter.SetErrorRecord(Kind::Hour, 98);
    DeviceOf(handle())->protocol.lastIndex[0] = NotConfigured;
    int requests = 0;
    device.channel = [&](auto tx, auto rx) { return ++requests == 2 ? 0 : meter.Exchange(tx, rx); };
    EXPECT_EQ(ReadArchive(1).back(), "Error reading archive");
    EXPECT_EQ(ReadArchive(1), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 97 ", "Read record 98 ",
                                     "ERROR: Get Error code", "Record not found"}));
    const auto heat = Published(Tag(1, "heat"));
    ASSERT_EQ(heat.size(), 2u) << "98 publishes 97 again";
    EXPECT_EQ(heat[1]->time, heat[0]->time);
}

TEST_F(ArchiveTest, ArchivesAreFoundByTypeArchiveAndShowTheUnscheduledFlag) {
    auto& twin = device.AddSubdevice("", "ArchiveHourTwin");
    twin.properties = Node(1).properties;
    auto& seven = device.AddSubdevice("", "ArchiveSeven");
    seven.properties = Node(2).properties;
    seven.properties.Set("TypeArchive", 7);
    device.properties.Set("CountRecord", "1");
    Device* d = Init();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->protocol.archives[3].type, ArchiveTypeMonth);
    EXPECT_EQ(ReadArchive(4), (Lines{"read subdevice ArchiveSeven start", "Error find Subdevice in collection"}));
    seven.properties.Set("TypeArchive", 2);
    EXPECT_EQ(ReadArchive(4)[1], "Get Index=0") << "found as the month archive";

    d->unscheduled = 1;
    EXPECT_TRUE(ReadArchive(0).empty());
    EXPECT_EQ(device.FindTag("UnschedulerRequest")->value.number, 1) << "shown, and kept for an archive read";
    ReadArchive(3);
    EXPECT_EQ(d->protocol.lastIndex[0], 98) << "the first hour archive is the one read";
    EXPECT_EQ(Published(Tag(1, "heat")).size(), 1u);
    const auto flags = Published(*device.FindTag("UnschedulerRequest"));
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(flags[0]->value.number, 1);
    EXPECT_EQ(flags[1]->value.number, 0);
}

}  // namespace
