// Initialisation, the read cycle over the groups, time stamps, the
// control tags, the no-answer handling and close; run through the plugin frame
// against the host emulator and the simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "hostemu/host_emulator.h"
#include "plugin/frame.h"
#include "vkt7/tests/vkt7_test_support.h"
#include "vkt7/vkt7_cycle.h"
#include "vkt7/vkt7_driver.h"

using namespace vkt7test;
using namespace hostemu;
using sim::Vkt7Archive;
namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

class Vkt7Cycle : public ::testing::Test {
protected:
    Vkt7Cycle() {
        meter.clock().Set(At(2024, 3, 7, 12, 0, 0));
        device.properties.Set("addr", 1);
        device.retryCount = 3;
        device.channel = [this](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
            const int32_t n = (silent && !tx.empty()) ? 0 : meter.Exchange(tx, rx);
            exchanges.push_back(ExchangeRecord{Bytes(tx.begin(), tx.end()), static_cast<int32_t>(rx.size()), n});
            if (afterExchange) afterExchange(exchanges.back());
            return n;
        };
    }

    // Every test ends the device's life as the host would.
    void TearDown() override {
        if (device.deviceData != nullptr) Vkt7Close(device.handle());
    }

    // Groups "1" to "5" with tags named after their elements.
    Node& Group(const char* name, std::initializer_list<int> addrs) {
        Node& group = device.AddGroup(name);
        for (int addr : addrs) {
            Properties p;
            if (addr >= 0) p.Set("addr", addr);
            group.AddTag(std::string("g") + name + "." + std::to_string(addr), p);
        }
        return group;
    }

    void Init() { FrameInit(drivers, device.handle()); }
    void Read() { FrameRead(drivers, device.handle()); }
    bool Cycle() { return Vkt7ReadCycle(device.handle()); }

    std::vector<std::string> Requests() const { return Describe(exchanges); }
    long Count(const std::string& request) const {
        const auto all = Requests();
        return std::count(all.begin(), all.end(), request);
    }
    Vkt7DeviceBlock* Block() const { return static_cast<Vkt7DeviceBlock*>(device.deviceData); }
    // The block is packed: its pointer fields are read by value, never bound to a reference.
    VKT7* Driver() const { return Block()->driver; }
    TagHandle AvailableTag() const { return Block()->availableTag; }
    TagHandle FailureTag() const { return Block()->failureTag; }
    TagHandle DateTimeTag() const { return Block()->dateTimeTag; }
    std::vector<std::string> Logs() const { return device.LogLines(); }
    bool Logged(const std::string& line) const {
        const auto logs = Logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
    std::vector<const Event*> PublishesOf(const Tag* tag) const {
        std::vector<const Event*> out;
        for (const Event* e : device.EventsOf(EventKind::Publish))
            if (e->tag == tag) out.push_back(e);
        return out;
    }

    ScopedTz tz{kFixedTz};
    sim::Vkt7Simulator meter;
    Host host;
    Device& device = host.AddDevice("meter", "VKT7");
    DriverTable drivers{nullptr, nullptr, Vkt7Driver()};
    std::vector<ExchangeRecord> exchanges;
    std::function<void(const ExchangeRecord&)> afterExchange;
    bool silent = false;
};

uint64_t UtcTicks(pt::ptime utc) {
    return static_cast<uint64_t>((utc - pt::ptime(gd::date(1601, 1, 1))).total_microseconds()) * 10;
}

uint64_t NowTicks() { return static_cast<uint64_t>(std::time(nullptr)) * 10000000ull + 116444736000000000ull; }

}  // namespace

// ---- initialisation ----

TEST_F(Vkt7Cycle, InitTakesTheBlockAndTheRecordsFromTheHost) {
    device.properties.Set("DepthHour", 48).Set("DepthDay", 31).Set("DepthMonth", 12).Set("CountRecord", 7);
    Tag& available = device.AddTag("Available");
    Tag& failure = device.AddTag("Failure");
    Tag& dateTime = device.AddTag("DateTime", Properties{{"addr", "9"}});
    Tag& other = device.AddTag("Other");
    Group("1", {0, 19});
    Group("3", {3});
    Init();

    const auto allocs = device.EventsOf(EventKind::Alloc);
    ASSERT_EQ(allocs.size(), 1u + 3 + 4);
    EXPECT_EQ(allocs[0]->node, &device);
    EXPECT_EQ(static_cast<uint32_t>(allocs[0]->number), 530 + 4 * sizeof(void*) + 1);
    for (size_t i = 1; i < allocs.size(); ++i) EXPECT_EQ(allocs[i]->number, 5);
    EXPECT_EQ(allocs[1]->node, device.FindGroup("1"));
    EXPECT_EQ(allocs[3]->node, device.FindGroup("3"));
    EXPECT_EQ(allocs[4]->node, &device);
    EXPECT_EQ(device.EventsOf(EventKind::SetDeviceData).size(), 1u);
    EXPECT_TRUE(device.EventsOf(EventKind::Exchange).empty());  // INIT sends nothing

    Vkt7DeviceBlock* block = Block();
    ASSERT_NE(block, nullptr);
    ASSERT_NE(Driver(), nullptr);
    EXPECT_EQ(Driver()->address, 1);
    EXPECT_EQ(Driver()->attempts, 3);
    EXPECT_EQ(Driver()->sendOffset, 0u);
    EXPECT_EQ(block->ScanEnabled, 1);
    EXPECT_EQ(AvailableTag(), &available);
    EXPECT_EQ(FailureTag(), &failure);
    EXPECT_EQ(DateTimeTag(), &dateTime);
    EXPECT_EQ(Driver()->sendBuffer, block->sendBuffer);
    EXPECT_EQ(Driver()->receiveBuffer, block->receiveBuffer);
    EXPECT_EQ(block->sendBuffer[0], 0xFF);

    auto record = [](const Tag& tag) { return static_cast<const Vkt7TagRecord*>(tag.data); };
    auto addrOf = [](const Tag& tag) -> int32_t { return static_cast<const Vkt7TagRecord*>(tag.data)->addr; };
    Node* g1 = device.FindGroup("1");
    EXPECT_EQ(record(*g1->tags[0])->archiveType, 4);
    EXPECT_EQ(addrOf(*g1->tags[1]), 19);
    EXPECT_EQ(record(*device.FindGroup("3")->tags[0])->archiveType, 0);
    EXPECT_EQ(record(dateTime)->archiveType, 7);
    EXPECT_EQ(addrOf(dateTime), 9);
    EXPECT_EQ(addrOf(other), 1000);
    EXPECT_EQ(Driver()->requestCount[4], 2);
    EXPECT_EQ(Driver()->requestCount[0], 1);

    // Available true and Failure false, good, committed; DateTime only remembered.
    ASSERT_EQ(PublishesOf(&available).size(), 1u);
    EXPECT_EQ(PublishesOf(&available)[0]->value.number, 1);
    EXPECT_EQ(PublishesOf(&available)[0]->quality, 192u);
    EXPECT_FALSE(PublishesOf(&available)[0]->time.has_value());
    ASSERT_EQ(PublishesOf(&failure).size(), 1u);
    EXPECT_EQ(PublishesOf(&failure)[0]->value.number, 0);
    EXPECT_TRUE(PublishesOf(&dateTime).empty());
    const auto commits = device.EventsOf(EventKind::Commit);
    ASSERT_EQ(commits.size(), 2u);
    EXPECT_EQ(commits[0]->tags, std::vector<Tag*>{&available});
    EXPECT_EQ(commits[1]->tags, std::vector<Tag*>{&failure});

    EXPECT_EQ(Logs(), (std::vector<std::string>{
                          "plugin :init",
                          "Driver_VKT7: New archive params: Depth (Hour, Day, Month) = 48,31,12, record count = 7\n"}));
    EXPECT_EQ(Driver()->DepthHour, 48);
    EXPECT_EQ(Driver()->CountRecord, 7);
}

TEST_F(Vkt7Cycle, InitDefaults) {
    device.properties.Erase("addr");
    device.retryCount = 0;
    Init();
    EXPECT_EQ(Driver()->address, 0);
    EXPECT_EQ(Driver()->attempts, 10);
    EXPECT_TRUE(Logged("Driver_VKT7: New archive params: Depth (Hour, Day, Month) = 20,20,5, record count = 5\n"));
    EXPECT_EQ(AvailableTag(), nullptr);
    EXPECT_EQ(FailureTag(), nullptr);
    EXPECT_EQ(DateTimeTag(), nullptr);
}

TEST_F(Vkt7Cycle, AddressIsTheLowByteOfAddr) {
    device.properties.Set("addr", 0x105);
    device.properties.Set("use232", "false");  // still the preamble
    Init();
    EXPECT_EQ(Driver()->address, 5);
    EXPECT_EQ(Driver()->sendOffset, 0u);
}

TEST_F(Vkt7Cycle, RetryCountIsTheNumberOfAttempts) {
    device.retryCount = 0;  // below 1: ten attempts
    meter.faults().silence = true;
    Group("1", {0});
    Init();
    EXPECT_FALSE(Cycle());
    size_t opens = 0;
    for (const auto& r : Requests()) opens += r == "W 3FFF [CC] 80 00 00 00";
    EXPECT_EQ(opens, 20u);  // ten for the date read, ten for group "1"
}

// ---- the first cycle and the next ----

TEST_F(Vkt7Cycle, FirstCycleExchangesInTheOrderOfThePart) {
    device.AddTag("DateTime");
    Group("1", {0, 1});
    Group("3", {0});
    Init();
    EXPECT_TRUE(Cycle());
    const std::vector<std::string> expected = {
        "W 3FFF [CC] 80 00 00 00", "R 3FFE 179", "R 3FF9 21", "W 3FFD 06 00", "W 3FFF (96 bytes)", "R 3FFE 101",
        "R 3FF6 17",  // bounds
        "R 3FF6 17",  // Now
        "R 3FFB 13",
        // group "1"
        "W 3FFD 04 00", "R 3FFC 265", "W 3FFF (12 bytes)", "R 3FFE 13",
        // group "3": from 20 hours before Now, five records
        "W 3FFD 00 00", "R 3FFC 265", "W 3FFF (6 bytes)", "W 3FFB 06 03 18 10", "R 3FFE 9", "W 3FFB 06 03 18 11",
        "R 3FFE 9", "W 3FFB 06 03 18 12", "R 3FFE 9", "W 3FFB 06 03 18 13", "R 3FFE 9", "W 3FFB 06 03 18 14",
        "R 3FFE 9"};
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(device.EventsOf(EventKind::Exchange).size(), expected.size());  // no drain

    exchanges.clear();
    EXPECT_TRUE(Cycle());
    // The next cycle: date and clock, then type 4 again, since type 0 was selected last.
    const std::vector<std::string> next = {
        "R 3FF6 17",          "R 3FFB 13",
        "W 3FFD 04 00",       "R 3FFC 265", "W 3FFF (12 bytes)", "R 3FFE 13",
        "W 3FFD 00 00",       "R 3FFC 265", "W 3FFF (6 bytes)",  "W 3FFB 06 03 18 15",
        "R 3FFE 9",           "W 3FFB 06 03 18 16", "R 3FFE 9",  "W 3FFB 06 03 18 17",
        "R 3FFE 9",           "W 3FFB 07 03 18 00", "R 3FFE 9",  "W 3FFB 07 03 18 01",
        "R 3FFE 9"};
    EXPECT_EQ(Requests(), next);
}

TEST_F(Vkt7Cycle, WithoutADateTimeTagTheClockIsNotRead) {
    Group("1", {0});
    Init();
    EXPECT_TRUE(Cycle());
    exchanges.clear();
    EXPECT_TRUE(Cycle());
    // Type 4 is still selected: the date, then the values.
    EXPECT_EQ(Requests(), (std::vector<std::string>{"R 3FF6 17", "R 3FFE 9"}));
}

TEST_F(Vkt7Cycle, OnlyConfiguredGroupsAreRead) {
    Group("1", {0});
    Group("3", {0});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_TRUE(Cycle());
    for (const char* other : {"W 3FFD 05 00", "W 3FFD 01 00", "W 3FFD 02 00"})
        EXPECT_EQ(Count(other), 0) << other;
    // Current values once per cycle; hour records CountRecord per cycle.
    EXPECT_EQ(Count("W 3FFD 04 00"), 2);
    EXPECT_EQ(Count("R 3FFE 9"), 2 + 10);
}

TEST_F(Vkt7Cycle, TotalsAreReadCountRecordTimesPerCycle) {
    device.properties.Set("CountRecord", 3);
    Group("2", {3});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Count("R 3FFE 11"), 3);
    Tag* tag = device.FindGroup("2")->tags[0].get();
    EXPECT_EQ(PublishesOf(tag).size(), 3u);
}

// ---- publishing ----

TEST_F(Vkt7Cycle, CurrentValuesAreGoodAndStampedWithTheCurrentTime) {
    Tag& failure = device.AddTag("Failure");
    Node& g1 = Group("1", {0, 19, 77, 81});
    Init();
    const uint64_t before = NowTicks();
    EXPECT_TRUE(Cycle());
    const uint64_t after = NowTicks() + 10000000ull;
    const int elements[] = {0, 19, 77, 81};
    for (size_t i = 0; i < 4; ++i) {
        const Tag& tag = *g1.tags[i];
        EXPECT_EQ(tag.value.number, meter.ExpectedValue(Vkt7Archive::Current, static_cast<uint8_t>(elements[i])))
            << tag.name;
        EXPECT_EQ(tag.quality, 192u);
        ASSERT_TRUE(tag.time.has_value());
        EXPECT_GE(*tag.time, before);
        EXPECT_LE(*tag.time, after);
    }
    EXPECT_EQ(g1.tags[0]->value.kind, ValueKind::Double);
    EXPECT_EQ(g1.tags[2]->value.kind, ValueKind::Bool);
    EXPECT_TRUE(device.EventsOf(EventKind::StoreHistory).empty());
    EXPECT_TRUE(Logged("Driver_VKT7. Write to Dev 1 param No 0 Q = 0xc0\n"));
    EXPECT_TRUE(Logged("Driver_VKT7. Write to Dev 1 param No 3 Q = 0xc0\n"));
    // Failure after every group tag: false, good, committed.
    const auto failures = PublishesOf(&failure);
    ASSERT_EQ(failures.size(), 1u + 4);
    for (size_t i = 1; i < failures.size(); ++i) {
        EXPECT_EQ(failures[i]->value.number, 0);
        EXPECT_EQ(failures[i]->quality, 192u);
    }
    EXPECT_EQ(device.EventsOf(EventKind::Commit).size(), 1u + 4);
}

TEST_F(Vkt7Cycle, ArchiveValuesCarryTheirRecordTimeAndGoToHistory) {
    Node& g3 = Group("3", {0, 3});
    Node& g4 = Group("4", {12});
    Node& g5 = Group("5", {17});
    device.properties.Set("CountRecord", 1);
    Init();
    EXPECT_TRUE(Cycle());
    // Hour record 2024-03-06 16:00 (20 hours back) is stamped 17:00 local.
    EXPECT_EQ(g3.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Hour, 0, At(2024, 3, 6, 16)));
    EXPECT_EQ(g3.tags[1]->value.number, meter.ExpectedValue(Vkt7Archive::Hour, 3, At(2024, 3, 6, 16)));
    EXPECT_EQ(*g3.tags[0]->time, UtcTicks(At(2024, 3, 6, 14)));  // 17:00 MSK
    // Day record 2024-02-16 is stamped 2024-02-17 00:00 local.
    EXPECT_EQ(g4.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Day, 12, At(2024, 2, 16)));
    EXPECT_EQ(*g4.tags[0]->time, UtcTicks(At(2024, 2, 16, 21)));
    // Month record of January 2024 (report day 25) is stamped 2024-02-01 00:00 local.
    EXPECT_EQ(g5.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Month, 17, At(2024, 1, 25)));
    EXPECT_EQ(*g5.tags[0]->time, UtcTicks(At(2024, 1, 31, 21)));
    EXPECT_EQ(device.EventsOf(EventKind::StoreHistory).size(), 4u);
    EXPECT_TRUE(Logged("Driver_VKT7. Write to Dev 5 param No 0 Q = 0xc0\n"));
}

TEST_F(Vkt7Cycle, HourRecordAtTheEndOfAMonthIsStampedOnTheFirstOfTheNext) {
    meter.clock().Set(At(2024, 2, 1, 1, 30));
    device.properties.Set("DepthHour", 2).Set("CountRecord", 2);
    Node& g3 = Group("3", {0});
    Init();
    EXPECT_TRUE(Cycle());
    const auto publishes = PublishesOf(g3.tags[0].get());
    ASSERT_EQ(publishes.size(), 2u);
    EXPECT_EQ(*publishes[0]->time, UtcTicks(At(2024, 1, 31, 21)));  // record 31.1 23:00 -> 1.2 00:00 local
    EXPECT_EQ(*publishes[0]->time, LocalTicks(2024, 2, 1, 0));
    EXPECT_EQ(*publishes[1]->time, LocalTicks(2024, 2, 1, 1));
    EXPECT_EQ(publishes[0]->value.number, meter.ExpectedValue(Vkt7Archive::Hour, 0, At(2024, 1, 31, 23)));
}

TEST_F(Vkt7Cycle, RecordTimesFollowTheLocalRulesOfTheirOwnDate) {
    ScopedTz cet("CET-1CEST,M3.5.0,M10.5.0/3");
    meter.clock().Set(At(2024, 7, 2, 12));
    device.properties.Set("DepthDay", 1).Set("CountRecord", 1);
    Node& g4 = Group("4", {3});
    Init();
    EXPECT_TRUE(Cycle());
    // Day record 1 July: 2 July 00:00 summer time is 1 July 22:00 UTC.
    EXPECT_EQ(*g4.tags[0]->time, UtcTicks(At(2024, 7, 1, 22)));
}

TEST_F(Vkt7Cycle, TypesTwoAndThree) {
    meter.SetActive(Vkt7Archive::Current, 60, 1);
    meter.SetActive(Vkt7Archive::Current, 44, 4);
    Tag& failure = device.AddTag("Failure");
    Node& g1 = Group("1", {60, 44});
    Init();
    EXPECT_TRUE(Cycle());
    // Type 2: published as an integer (never decoded: zero).
    EXPECT_EQ(g1.tags[0]->value.kind, ValueKind::Int);
    EXPECT_EQ(g1.tags[0]->value.number, 0);
    EXPECT_EQ(g1.tags[0]->quality, 192u);
    // Type 3: nothing is published, and Failure says so.
    EXPECT_TRUE(PublishesOf(g1.tags[1].get()).empty());
    const auto failures = PublishesOf(&failure);
    EXPECT_EQ(failures[1]->value.number, 0);
    EXPECT_EQ(failures[2]->value.number, 1);
}

TEST_F(Vkt7Cycle, ElementsTheMeterDoesNotListArePublishedWithCommFailure) {
    Node& g1 = Group("1", {0, 30});  // 30 is a total, not a current value
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(g1.tags[1]->quality, 0x18u);
    EXPECT_EQ(g1.tags[1]->value.number, 0);
    EXPECT_TRUE(Logged("### Tag with addr 30(0x1e) has COMM_FAILURE quality (BAD DATA)\n"));
}

TEST_F(Vkt7Cycle, MetersQualityBytesReachTheTags) {
    meter.SetQuality(Vkt7Archive::Current, 0, 0xC0, 0x01);
    meter.SetQuality(Vkt7Archive::Current, 1, 0x50, 0x00);
    meter.SetQuality(Vkt7Archive::Current, 2, 0x0C, 0x00);
    Node& g1 = Group("1", {0, 1, 2});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(g1.tags[0]->quality, 0x10u);
    EXPECT_EQ(g1.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 0));
    EXPECT_EQ(g1.tags[1]->quality, 0xC0u);
    EXPECT_EQ(g1.tags[2]->quality, 0x50u);
    EXPECT_EQ(g1.tags[2]->value.number, 0);  // the previous value: none yet
}

// ---- tags matched by their own address ----

TEST_F(Vkt7Cycle, AGroupTagWithoutAddrGetsSensorFailure) {
    Tag& failure = device.AddTag("Failure");
    Node& g1 = Group("1", {0, 1, -1});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(g1.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 0));
    EXPECT_EQ(g1.tags[1]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 1));
    EXPECT_EQ(g1.tags[2]->value.number, 0.0);
    EXPECT_EQ(g1.tags[2]->quality, 0x10u);
    EXPECT_TRUE(g1.tags[2]->time.has_value());
    EXPECT_TRUE(Logged("Driver_VKT7. Sensor failure - unable to get param No 2\n"));
    const auto failures = PublishesOf(&failure);
    ASSERT_EQ(failures.size(), 4u);
    EXPECT_EQ(failures[3]->value.number, 1);
}

TEST_F(Vkt7Cycle, ARejectedAddressDoesNotShiftTheLaterTagsOfItsGroup) {
    // By position, tag 1 would show element 0 and tag 2 element 1; by address each
    // shows its own element, and the rejected tag alone gets sensor failure.
    Node& g1 = Group("1", {1000, 0, 1});
    Node& g3 = Group("3", {3, 300, 6});  // 300: low byte 44, a type the hour archive does not list
    device.properties.Set("CountRecord", 1);
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(g1.tags[0]->quality, 0x10u);
    EXPECT_EQ(g1.tags[1]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 0));
    EXPECT_EQ(g1.tags[2]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 1));
    EXPECT_NE(meter.ExpectedValue(Vkt7Archive::Current, 0), meter.ExpectedValue(Vkt7Archive::Current, 1));
    EXPECT_EQ(g3.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Hour, 3, At(2024, 3, 6, 16)));
    EXPECT_EQ(g3.tags[2]->value.number, meter.ExpectedValue(Vkt7Archive::Hour, 6, At(2024, 3, 6, 16)));
    EXPECT_TRUE(Logged("Driver_VKT7. Sensor failure - unable to get param No 0\n"));
}

TEST_F(Vkt7Cycle, MoreThan83TagsInOneGroupStillShowTheirElements) {
    Node& g1 = device.AddGroup("1");
    for (int i = 0; i < 85; ++i) g1.AddTag("t" + std::to_string(i), Properties{{"addr", std::to_string(i % 3)}});
    Init();
    EXPECT_EQ(Driver()->requestCount[4], 83);
    EXPECT_TRUE(Logged("Driver_VKT7. Request list of archive type 4 is full: element 0 not added\n"));
    EXPECT_TRUE(Logged("Driver_VKT7. Request list of archive type 4 is full: element 2 not added\n"));
    EXPECT_TRUE(Cycle());
    for (int i = 0; i < 85; ++i) {
        EXPECT_EQ(g1.tags[i]->value.number, meter.ExpectedValue(Vkt7Archive::Current, static_cast<uint8_t>(i % 3))) << i;
        EXPECT_EQ(g1.tags[i]->quality, 192u) << i;
    }
}

TEST_F(Vkt7Cycle, WithoutAFailureTagNothingIsPublishedToANullHandle) {
    Group("1", {0, -1});
    Init();
    EXPECT_TRUE(Cycle());
    for (const Event* e : device.EventsOf(EventKind::Commit))
        for (const Tag* t : e->tags) EXPECT_NE(t, nullptr);
    EXPECT_TRUE(device.EventsOf(EventKind::Commit).empty());
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

// ---- "Available" ----

TEST_F(Vkt7Cycle, WritingFalseToAvailableStopsTheCyclesUntilTrue) {
    Tag& available = device.AddTag("Available");
    Tag& other = device.AddTag("Other");
    Group("1", {0});
    Init();
    device.QueueWrite(other, 1);
    device.QueueWrite(available, 0);
    EXPECT_EQ(Vkt7Write(device.handle()), 0);
    EXPECT_EQ(Block()->ScanEnabled, 0);
    const auto completed = device.EventsOf(EventKind::CompleteWrite);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0]->tag, &available);  // the other write is neither done nor completed
    EXPECT_EQ(PublishesOf(&available).back()->value.number, 0);
    EXPECT_EQ(PublishesOf(&available).back()->quality, 192u);
    EXPECT_EQ(Logs().back(), "Driver_VKT7. Driver scan disabled");

    EXPECT_FALSE(Cycle());
    Read();
    EXPECT_TRUE(exchanges.empty());

    device.SweepWrites();
    device.QueueWrite(available, 2);  // any non-zero value enables
    EXPECT_EQ(Vkt7Write(device.handle()), 0);
    EXPECT_EQ(Block()->ScanEnabled, 1);
    EXPECT_EQ(Logs().back(), "Driver_VKT7. Driver scan available");
    EXPECT_EQ(PublishesOf(&available).back()->value.number, 1);
    EXPECT_TRUE(Cycle());
    EXPECT_FALSE(exchanges.empty());
}

TEST_F(Vkt7Cycle, OnlyTheFirstWriteToAvailableIsHandled) {
    Tag& available = device.AddTag("Available");
    Tag& second = device.AddTag("Available");
    Init();
    device.QueueWrite(available, 0);
    device.QueueWrite(second, 1);
    Vkt7Write(device.handle());
    EXPECT_EQ(Block()->ScanEnabled, 0);
    EXPECT_EQ(device.EventsOf(EventKind::CompleteWrite).size(), 1u);
}

// ---- failures ----

TEST_F(Vkt7Cycle, MeterSilentDuringTheDayArchive) {
    Tag& dateTime = device.AddTag("DateTime");
    Node& g1 = Group("1", {0, 1});
    Node& g2 = Group("2", {3});
    Node& g3 = Group("3", {0});
    Node& g4 = Group("4", {3});
    Group("5", {3});
    Init();
    // Silence once the first day record has been read.
    int dayReads = 0;
    bool daySelected = false;
    afterExchange = [&](const ExchangeRecord& r) {
        const auto q = Decode(r);
        if (!q) return;
        if (q->function == 0x10 && q->reg == 0x3FFD) daySelected = q->data[0] == 1;
        if (daySelected && q->function == 0x03 && q->reg == 0x3FFE && ++dayReads == 1) silent = true;
    };
    EXPECT_FALSE(Cycle());
    const auto requests = Requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "W 3FFD 02 00"), 0);  // group "5" waits
    // Current values, totals and the clock turn bad; the archive tags keep theirs.
    for (const Tag* tag : {g1.tags[0].get(), g1.tags[1].get(), g2.tags[0].get(), &dateTime}) {
        EXPECT_EQ(tag->quality, 0u) << tag->name;
        EXPECT_FALSE(tag->time.has_value() && tag == &dateTime);
    }
    EXPECT_EQ(g3.tags[0]->quality, 192u);
    EXPECT_EQ(g4.tags[0]->quality, 192u);
    const auto logs = Logs();
    auto at = [&](const std::string& line) { return std::find(logs.begin(), logs.end(), line) - logs.begin(); };
    EXPECT_LT(at("Driver_VKT7. No answer. Set all current and total to bad\n"),
              at("Driver_VKT7. No answer. Reporting bad and retry\n"));
    EXPECT_LT(at("Driver_VKT7. No answer. Reporting bad and retry\n"),
              at("Driver_VKT7. Driver returned break flag\n"));
    EXPECT_LT(at("Driver_VKT7. Driver returned break flag\n"), static_cast<long>(logs.size()));
    EXPECT_FALSE(Driver()->SessionOpen);
    EXPECT_EQ(Driver()->BreakFlag, 0);

    // The next cycle starts with a new session (server version 0: no open write).
    silent = false;
    afterExchange = nullptr;
    exchanges.clear();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Requests().front(), "R 3FF9 21");
    EXPECT_EQ(g1.tags[0]->quality, 192u);
    EXPECT_EQ(dateTime.quality, 192u);
}

TEST_F(Vkt7Cycle, ANegativeChannelResultIsANoAnswer) {
    Group("1", {0});
    Init();
    meter.faults().channelResult = -5;
    EXPECT_FALSE(Cycle());
    EXPECT_TRUE(Logged("Driver_VKT7. VKT7_SendReceive: Answer is < 0\n"));
    EXPECT_TRUE(Logged("Driver_VKT7.Write SendReceiveCOMCommand error -5\n"));
    EXPECT_TRUE(Logged("Driver_VKT7. No answer. Reporting bad and retry\n"));
}

TEST_F(Vkt7Cycle, HostBreakEndsTheCycleWithoutExchanging) {
    Group("1", {0});
    Init();
    device.breakFlag = true;
    EXPECT_FALSE(Cycle());
    EXPECT_TRUE(exchanges.empty());
    device.breakFlag = false;
    // A break raised during the cycle stops it at the next check; lines are dropped meanwhile.
    afterExchange = [&](const ExchangeRecord& r) {
        const auto q = Decode(r);
        if (q && q->reg == 0x3FFC) device.breakFlag = true;
    };
    EXPECT_FALSE(Cycle());
    EXPECT_EQ(Requests().back(), "R 3FFC 265");
    device.breakFlag = false;
}

TEST_F(Vkt7Cycle, ReadMarksUnboundRequestedTagsUncertain) {
    Node& g1 = Group("1", {0});
    Node& g6 = device.AddGroup("6");
    Tag& stray = g6.AddTag("stray");
    Init();
    device.readList = {g1.tags[0].get(), &stray};
    Read();
    EXPECT_EQ(stray.quality, 64u);
    EXPECT_EQ(g1.tags[0]->quality, 192u);
}

TEST_F(Vkt7Cycle, CloseDestroysTheDriverAndFreesTheDeviceTagRecords) {
    device.AddTag("Available");
    device.AddTag("Other");
    Group("1", {0});
    Init();
    EXPECT_TRUE(Cycle());
    const size_t live = device.LiveAllocations();
    FrameClose(drivers, device.handle());
    EXPECT_EQ(Driver(), nullptr);
    EXPECT_EQ(device.EventsOf(EventKind::Free).size(), 2u);
    EXPECT_EQ(device.LiveAllocations(), live - 2);  // the block and the group records stay with the host
    EXPECT_FALSE(Cycle());
    Vkt7Close(device.handle());  // a second close finds no driver
    EXPECT_EQ(Driver(), nullptr);
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

TEST_F(Vkt7Cycle, TheHostsChannelPathDropsLinesWhileBreakIsSet) {
    // Through the host port: ExchangeWithDevice returns -1 without sending, DriverLog drops lines.
    Init();
    device.breakFlag = true;
    EXPECT_EQ(Driver()->VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_TRUE(exchanges.empty());
    EXPECT_FALSE(Logged("Driver_VKT7.Read SendReceiveCOMCommand error -1\n"));
    device.breakFlag = false;
    device.channel = nullptr;  // no channel: -1 as well
    EXPECT_EQ(Driver()->VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_TRUE(Logged("Driver_VKT7.Read SendReceiveCOMCommand error -1\n"));
}
