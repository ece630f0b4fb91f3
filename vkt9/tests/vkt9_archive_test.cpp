#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/quality.h"
#include "sim/vkt9/vkt9_simulator.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;
using hostemu::EventKind;
using hostemu::Properties;
using Kind = sim::Vkt9Simulator::ArchiveKind;
using Lines = std::vector<std::string>;

namespace {

// FILETIME ticks of a UTC calendar hour.
uint64_t UtcTicks(int year, int month, int day, int hour) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    return (static_cast<uint64_t>(timegm(&tm)) + 11644473600ull) * 10000000ull;
}

struct ArchiveTest : ::testing::Test {
    HostFixture fx;
    sim::Vkt9Simulator meter;
    hostemu::Node& values = fx.device.AddSubdevice("values", "Current");
    hostemu::Node& hour = AddArchive("ArchiveHour", 0);
    std::string savedTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool hadTz = std::getenv("TZ") != nullptr;

    hostemu::Node& AddArchive(const std::string& type, int typeArchive) {
        auto& node = fx.device.AddSubdevice(type, type);
        node.properties = {{"LengthByteAnswer", "24"}, {"LastIndexRegister", "40101"}};
        node.properties.Set("TypeArchive", typeArchive);
        node.AddTag("heat", Properties{{"AddressByte", "4"}, {"DataType", "0"}, {"Koeff", "1"}});
        node.AddTag("volume", Properties{{"AddressByte", "8"}, {"DataType", "3"}, {"Koeff", "1"}});
        node.AddTag("temp", Properties{{"AddressByte", "12"}, {"DataType", "2"}, {"Koeff", "100"}});
        node.AddTag("mass", Properties{{"AddressByte", "16"}, {"DataType", "4"}, {"Koeff", "1"}});
        return node;
    }
    void SetUp() override {
        setenv("TZ", "XST-3", 1);  // three hours east of UTC, no summer time
        tzset();
        fx.device.properties = {{"address", "1"}, {"DepthHour", "3"}, {"CountRecord", "10"}};
        fx.device.channel = [this](auto tx, auto rx) { return meter.Exchange(tx, rx); };
        meter.SetRingTop(Kind::Hour, 99);
        meter.SetCurrentIndex(Kind::Hour, 0);
    }
    void TearDown() override {
        if (hadTz) setenv("TZ", savedTz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    Lines ReadArchive(hostemu::Node& node) {
        fx.device.ClearEvents();
        Vkt9ReadSubdevice(fx.handle(), &node);
        return fx.Logs();
    }
    std::vector<const hostemu::Event*> Published(const char* tag) {
        std::vector<const hostemu::Event*> out;
        for (const auto* e : fx.device.EventsOf(EventKind::Publish))
            if (e->tag->name == tag) out.push_back(e);
        return out;
    }
};

TEST_F(ArchiveTest, ReadsDepthRecordsBeforeTheCurrentIndexAcrossTheRingEnd) {
    ASSERT_NE(fx.Init(), nullptr);
    EXPECT_EQ(ReadArchive(hour), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 97 ",
                                        "Read record 98 ", "Read record 99 "}));
    EXPECT_EQ(hour.log, Lines{"read subdevice ArchiveHour start"});
    const auto heat = Published("heat");
    ASSERT_EQ(heat.size(), 3u);
    // Record 99 holds 11:00 to 12:00 of 7 March, meter time; stamped 12:00 local = 09:00 UTC.
    const auto record = *meter.Record(Kind::Hour, 99);
    EXPECT_EQ(record.hour, 11);
    EXPECT_EQ(heat[2]->time, UtcTicks(2024, 3, 7, 9));
    EXPECT_EQ(heat[0]->time, UtcTicks(2024, 3, 7, 7));
    EXPECT_EQ(heat[2]->value.number, record.heat);
    EXPECT_EQ(hour.FindTag("volume")->value.number, record.volume);
    EXPECT_EQ(hour.FindTag("temp")->value.number, double{static_cast<float>(record.temperature) / 100.0f});
    EXPECT_EQ(hour.FindTag("mass")->value.number, double{static_cast<float>(record.massWhole) + record.massFraction});
    EXPECT_EQ(hour.FindTag("mass")->quality, QualityGood);
    EXPECT_EQ(fx.device.EventsOf(EventKind::Notify).size(), 12u);
    EXPECT_EQ(fx.device.EventsOf(EventKind::Commit).size(), 12u);

    EXPECT_EQ(ReadArchive(hour), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "No new records in the archive"}));
    meter.clock().Advance(boost::posix_time::hours(1));
    EXPECT_EQ(ReadArchive(hour), (Lines{"read subdevice ArchiveHour start", "Get Index=1", "Read record 0 "}));
    EXPECT_EQ(Published("heat").front()->time, UtcTicks(2024, 3, 7, 10));
}

TEST_F(ArchiveTest, DepthAndCountRecordDecideWhereAndHowFarAReadGoes) {
    struct Case { const char* depth; const char* count; Lines records; };
    for (const Case& c : {Case{"-1", "2", {"Read record 1 ", "Read record 2 "}}, Case{"0", "5", {}},
                         Case{"500", "1", {"Read record 1 "}}, Case{"3", "-1", {}}, Case{"3", "0", {}}}) {
        HostFixture other;
        other.device.properties = {{"address", "1"}, {"DepthHour", c.depth}, {"CountRecord", c.count}};
        other.device.channel = fx.device.channel;
        auto& node = other.device.AddSubdevice("ArchiveHour", "ArchiveHour");
        node.properties = hour.properties;
        ASSERT_NE(other.Init(), nullptr);
        other.device.ClearEvents();
        Vkt9ReadSubdevice(other.handle(), &node);
        Lines reads;
        for (const auto& line : other.Logs())
            if (line.rfind("Read record", 0) == 0) reads.push_back(line);
        EXPECT_EQ(reads, c.records) << c.depth << " " << c.count;
        if (std::string(c.depth) == "0") {
            EXPECT_EQ(other.Logs().back(), "No new records in the archive");
        }
        if (std::atoi(c.count) <= 0) {
            EXPECT_EQ(other.Exchanges(), 0u);
        }
    }
}

TEST_F(ArchiveTest, RecordsNotFoundAreSkippedAndLinkFailuresRetried) {
    meter.SetErrorRecord(Kind::Hour, 97);
    meter.SetImpossibleDate(Kind::Hour, 99);
    fx.device.properties.Set("CountRecord", "2");
    ASSERT_NE(fx.Init(), nullptr);
    ReadArchive(hour);
    EXPECT_EQ(Published("heat").size(), 1u) << "nothing for 97, whose time is unset";
    const Lines lines = ReadArchive(hour);
    EXPECT_EQ(lines, (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 99 ", "Record not found"}));
    EXPECT_TRUE(Published("heat").empty()) << "99 repeats nothing: it is the first of this read";

    // A silent meter on a record read: the same record is asked for again.
    int requests = 0;
    HostFixture other;
    other.device.properties = fx.device.properties;
    other.device.channel = [&](auto tx, auto rx) { return ++requests == 2 ? 0 : meter.Exchange(tx, rx); };
    auto& node = other.device.AddSubdevice("ArchiveHour", "ArchiveHour");
    node.properties = hour.properties;
    node.AddTag("heat", Properties{{"AddressByte", "4"}, {"DataType", "0"}, {"Koeff", "1"}});
    meter.SetErrorRecord(Kind::Hour, 97, false);
    meter.SetErrorRecord(Kind::Hour, 98);
    ASSERT_NE(other.Init(), nullptr);
    Vkt9ReadSubdevice(other.handle(), &node);
    EXPECT_EQ(other.Logs().back(), "Error reading archive");
    other.device.ClearEvents();
    Vkt9ReadSubdevice(other.handle(), &node);
    EXPECT_EQ(other.Logs(), (Lines{"read subdevice ArchiveHour start", "Get Index=0", "Read record 97 ",
                                   "Read record 98 ", "ERROR: Get Error code", "Record not found"}));
    const auto heat = other.device.EventsOf(EventKind::Publish);
    ASSERT_EQ(heat.size(), 2u) << "98 publishes 97 again";
    EXPECT_EQ(heat[1]->time, heat[0]->time);
}

TEST_F(ArchiveTest, ArchivesAreFoundByTypeArchiveAndShowTheUnscheduledFlag) {
    auto& twin = AddArchive("ArchiveHourTwin", 0);
    auto& seven = AddArchive("ArchiveSeven", 7);
    auto& unscheduler = fx.device.AddTag("UnschedulerRequest");
    fx.device.properties.Set("CountRecord", "1");
    Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ReadArchive(seven), (Lines{"read subdevice ArchiveSeven start", "Error find Subdevice in collection"}));
    seven.properties.Set("TypeArchive", 2);
    EXPECT_EQ(ReadArchive(seven).size(), 3u) << "found as the month archive";

    d->unscheduled = 1;
    EXPECT_TRUE(ReadArchive(values).empty());
    EXPECT_EQ(unscheduler.value.number, 1) << "shown, and kept for an archive read";
    ReadArchive(twin);
    EXPECT_EQ(d->protocol.lastIndex[0], 98) << "the first hour archive is the one read";
    EXPECT_TRUE(Published("heat").front()->tag->owner == &hour);
    const auto flags = Published("UnschedulerRequest");
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(flags[0]->value.number, 1);
    EXPECT_EQ(flags[1]->value.number, 0);
    EXPECT_EQ(d->unscheduled, 0);
}

}  // namespace
