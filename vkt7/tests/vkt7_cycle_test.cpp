// Initialisation, the read cycle over the groups, time stamps, the control
// tags, matching tags by their own address, host break and close; through the
// plugin frame against the host emulator and the simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hostemu/host_emulator.h"
#include "plugin/frame.h"
#include "vkt7/tests/vkt7_test_support.h"
#include "vkt7/vkt7_cycle.h"
#include "vkt7/vkt7_driver.h"

using namespace vkt7test;
using namespace hostemu;
using namespace vkt7;
using sim::Vkt7Archive;

namespace {

class Vkt7Cycle : public ::testing::Test {
protected:
    Vkt7Cycle() {
        meter.clock().Set(At(2024, 3, 7, 12));
        device.properties.Set("addr", 1);
        device.retryCount = 3;
        device.channel = [this](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
            exchanges.push_back(ExchangeRecord{Bytes(tx.begin(), tx.end()), static_cast<int32_t>(rx.size()), 0});
            if (onRequest) onRequest(exchanges.back().tx);
            return meter.Exchange(tx, rx);
        };
    }
    void TearDown() override {
        if (device.deviceData != nullptr) Vkt7Close(device.handle());
    }

    Node& Group(const char* name, std::initializer_list<int> addrs) {  // -1: no "addr"
        Node& group = device.AddGroup(name);
        for (int addr : addrs) group.AddTag(std::string("g") + name + "." + std::to_string(addr),
                                            addr >= 0 ? Properties{{"addr", std::to_string(addr)}} : Properties{});
        return group;
    }
    void Init() { FrameInit(drivers, device.handle()); }
    bool Cycle() { return Vkt7ReadCycle(device.handle()); }
    Lines Requests() const { return Describe(exchanges); }
    long Count(const std::string& request) const { return vkt7test::Count(Requests(), request); }
    Vkt7DeviceBlock* Block() const { return static_cast<Vkt7DeviceBlock*>(device.deviceData); }
    VKT7* Driver() const { return Block()->driver; }  // the block is packed: read by value
    bool Logged(const std::string& line) const { return vkt7test::Count(device.LogLines(), line) > 0; }
    Lines Publishes(const Tag& tag) const {  // "value quality", "+t" when time-stamped
        Lines out;
        for (const Event* e : device.EventsOf(EventKind::Publish))
            if (e->tag == &tag)
                out.push_back(std::to_string(int(e->value.number)) + " " + std::to_string(e->quality) +
                              (e->time ? "+t" : ""));
        return out;
    }

    sim::Vkt7Simulator meter;
    Host host;
    Device& device = host.AddDevice("meter", "VKT7");
    DriverTable drivers{nullptr, nullptr, Vkt7Driver()};
    std::vector<ExchangeRecord> exchanges;
    std::function<void(const Bytes&)> onRequest;
};

}  // namespace

TEST_F(Vkt7Cycle, InitTakesTheBlockTheRecordsAndTheSettingsFromTheHostOrTheirDefaults) {
    device.properties.Set("DepthHour", 48).Set("DepthDay", 31).Set("DepthMonth", 12).Set("CountRecord", 7);
    device.properties.Set("addr", 0x105).Set("use232", "false");  // the low byte; still the preamble
    Tag& available = device.AddTag("Available");
    Tag& failure = device.AddTag("Failure");
    Tag& dateTime = device.AddTag("DateTime", Properties{{"addr", "9"}});
    Tag& other = device.AddTag("Other");
    Node& g1 = Group("1", {0, 19});
    Node& g3 = Group("3", {3});
    Init();
    const auto allocs = device.EventsOf(EventKind::Alloc);  // the block, then a record per tag from its owner
    ASSERT_EQ(allocs.size(), 1u + 3 + 4);
    const Node* owners[] = {&device, &g1, &g1, &g3, &device, &device, &device, &device};
    for (size_t i = 0; i < allocs.size(); ++i) {
        EXPECT_EQ(allocs[i]->node, owners[i]);
        EXPECT_EQ(static_cast<size_t>(allocs[i]->number), i == 0 ? 530 + 4 * sizeof(void*) + 1 : 5) << i;
    }
    EXPECT_TRUE(device.EventsOf(EventKind::Exchange).empty());
    EXPECT_EQ(Driver()->address, 5);
    EXPECT_EQ(Driver()->sendOffset, 0u);
    auto record = [](const Tag& tag) {  // archive type:addr
        const Vkt7TagRecord r = *static_cast<const Vkt7TagRecord*>(tag.data);
        return std::to_string(r.archiveType) + ":" + std::to_string(r.addr);
    };
    EXPECT_EQ((Lines{record(*g1.tags[0]), record(*g1.tags[1]), record(*g3.tags[0]), record(dateTime), record(other)}),
              (Lines{"4:0", "4:19", "0:3", "7:9", "7:1000"}));
    // Available true and Failure false, good, without time, each committed; DateTime only remembered.
    EXPECT_EQ(Publishes(available), Lines{"1 192"});
    EXPECT_EQ(Publishes(failure), Lines{"0 192"});
    EXPECT_TRUE(Publishes(dateTime).empty());
    std::vector<std::vector<Tag*>> commits;
    for (const Event* e : device.EventsOf(EventKind::Commit)) commits.push_back(e->tags);
    EXPECT_EQ(commits, (std::vector<std::vector<Tag*>>{{&available}, {&failure}}));
    const std::string params = "Driver_VKT7: New archive params: Depth (Hour, Day, Month) = ";
    EXPECT_EQ(device.LogLines(), (Lines{"plugin :init", params + "48,31,12, record count = 7\n"}));
    Device& plain = host.AddDevice("plain", "VKT7");
    plain.retryCount = 0;
    FrameInit(drivers, plain.handle());
    const VKT7* driver = static_cast<Vkt7DeviceBlock*>(plain.deviceData)->driver;
    EXPECT_EQ(driver->address, 0);
    EXPECT_EQ(driver->attempts, 10);
    EXPECT_EQ(plain.LogLines().back(), params + "20,20,5, record count = 5\n");
    Vkt7Close(plain.handle());
}

TEST_F(Vkt7Cycle, FirstAndNextCycleExchangeInOrder) {
    device.AddTag("DateTime");
    Group("1", {0, 1});
    Group("3", {0});
    Init();
    EXPECT_TRUE(Cycle());
    // Groups "2", "4" and "5" are absent: no request for them; hour records from 20 hours back.
    EXPECT_EQ(Requests(), (Lines{"W 3FFF [CC] 80 00 00 00", "R 3FFE 179", "R 3FF9 21", "W 3FFD 06 00",
                                 "W 3FFF (96 bytes)", "R 3FFE 101", "R 3FF6 17", "R 3FF6 17", "R 3FFB 13",
                                 "W 3FFD 04 00", "R 3FFC 265", "W 3FFF (12 bytes)", "R 3FFE 13",
                                 "W 3FFD 00 00", "R 3FFC 265", "W 3FFF (6 bytes)", "W 3FFB 06 03 18 10", "R 3FFE 9",
                                 "W 3FFB 06 03 18 11", "R 3FFE 9", "W 3FFB 06 03 18 12", "R 3FFE 9",
                                 "W 3FFB 06 03 18 13", "R 3FFE 9", "W 3FFB 06 03 18 14", "R 3FFE 9"}));
    EXPECT_EQ(exchanges.size(), Requests().size());  // no drain
    exchanges.clear();
    EXPECT_TRUE(Cycle());
    // Date and clock, then type 4 again, since type 0 was selected last.
    EXPECT_EQ(Requests(), (Lines{"R 3FF6 17", "R 3FFB 13", "W 3FFD 04 00", "R 3FFC 265", "W 3FFF (12 bytes)",
                                 "R 3FFE 13", "W 3FFD 00 00", "R 3FFC 265", "W 3FFF (6 bytes)", "W 3FFB 06 03 18 15",
                                 "R 3FFE 9", "W 3FFB 06 03 18 16", "R 3FFE 9", "W 3FFB 06 03 18 17", "R 3FFE 9",
                                 "W 3FFB 07 03 18 00", "R 3FFE 9", "W 3FFB 07 03 18 01", "R 3FFE 9"}));
}

TEST_F(Vkt7Cycle, CurrentValuesAndTotalsAreStampedWithTheCurrentTimeAndFailureFollowsEveryTag) {
    meter.SetActive(Vkt7Archive::Current, 60, 1);
    meter.SetActive(Vkt7Archive::Current, 44, 4);
    Tag& failure = device.AddTag("Failure");
    Node& g1 = Group("1", {0, 19, 77, 81, 60, 44});
    Node& g2 = Group("2", {3});
    device.properties.Set("CountRecord", 3);
    Init();
    const uint64_t before = UtcTicks(boost::posix_time::second_clock::universal_time());
    EXPECT_TRUE(Cycle());
    const uint64_t after = UtcTicks(boost::posix_time::second_clock::universal_time()) + 10000000ull;
    for (size_t i = 0; i < 5; ++i)  // values and kinds: see the end-to-end run
        EXPECT_TRUE(g1.tags[i]->time >= before && g1.tags[i]->time <= after) << i;
    // Type 2 is published as an integer (never decoded: zero), type 3 not at all.
    EXPECT_EQ(g1.tags[4]->value.kind, ValueKind::Int);
    EXPECT_EQ(Publishes(*g1.tags[4]), Lines{"0 192+t"});
    EXPECT_TRUE(Publishes(*g1.tags[5]).empty());
    EXPECT_EQ(Count("R 3FFE 11"), 3);  // totals: CountRecord reads
    EXPECT_EQ(Publishes(*g2.tags[0]).size(), 3u);
    EXPECT_EQ(Count("R 3FF6 17"), 2);  // without a DateTime tag: the bounds and the date, no clock
    EXPECT_EQ(Count("R 3FFB 13"), 0);
    EXPECT_TRUE(Logged("Driver_VKT7. Write to Dev 1 param No 3 Q = 0xc0\n"));
    Lines failures(10, "0 192");
    failures[6] = "1 192";
    EXPECT_EQ(Publishes(failure), failures);
    EXPECT_EQ(device.EventsOf(EventKind::Commit).size(), 1u + 6 + 3);
}

TEST_F(Vkt7Cycle, RecordTimesFollowTheLocalRulesOfTheirOwnDate) {
    ScopedTz cet("CET-1CEST,M3.5.0,M10.5.0/3");
    meter.clock().Set(At(2024, 7, 2, 12));
    device.properties.Set("DepthDay", 1).Set("CountRecord", 1);
    Node& g4 = Group("4", {3});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(*g4.tags[0]->time, UtcTicks(At(2024, 7, 1, 22)));  // 2 July 00:00 summer time
}

TEST_F(Vkt7Cycle, TagsAreMatchedByTheirOwnAddressSoARejectedOneShiftsNothing) {
    // By position, the tag after the rejected one would show element 1 and the next fail.
    Tag& failure = device.AddTag("Failure");
    Node& g1 = Group("1", {0, 1000, 1, -1});
    Init();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(g1.tags[0]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 0));
    EXPECT_EQ(g1.tags[2]->value.number, meter.ExpectedValue(Vkt7Archive::Current, 1));
    EXPECT_NE(meter.ExpectedValue(Vkt7Archive::Current, 0), meter.ExpectedValue(Vkt7Archive::Current, 1));
    for (int i : {1, 3}) {
        EXPECT_EQ(Publishes(*g1.tags[i]), Lines{"0 16+t"});
        EXPECT_TRUE(Logged("Driver_VKT7. Sensor failure - unable to get param No " + std::to_string(i) + "\n"));
    }
    EXPECT_EQ(Publishes(failure), (Lines{"0 192", "0 192", "1 192", "0 192", "1 192"}));
}

// The per-tag line is written in pieces (the group's part once, indices and
// qualities from tables): every one of them as the format would write it.
TEST_F(Vkt7Cycle, EachPublishedTagLogsItsWriteLine) {
    meter.SetQuality(Vkt7Archive::Current, 1, 0x44, 0xFF);  // kept as it is
    meter.SetQuality(Vkt7Archive::Current, 2, 0xC0, 0x01);  // 0x10, sensor failure
    Node& g1 = device.AddGroup("1");
    for (int i = 0; i < 102; ++i) g1.AddTag("t" + std::to_string(i), Properties{{"addr", std::to_string(i % 3)}});
    Group("2", {3, 4});
    Init();
    EXPECT_TRUE(Cycle());
    Lines expected;
    char line[80];
    const unsigned qualities[3] = {0xC0, 0x44, 0x10};
    for (int i = 0; i < 102; ++i) {
        std::snprintf(line, sizeof line, "Driver_VKT7. Write to Dev %d param No %d Q = 0x%02x\n", 1, i, qualities[i % 3]);
        expected.push_back(line);
    }
    for (int record = 0; record < 5; ++record)  // CountRecord records of the totals
        for (int i = 0; i < 2; ++i) {
            std::snprintf(line, sizeof line, "Driver_VKT7. Write to Dev %d param No %d Q = 0x%02x\n", 2, i, 0xC0);
            expected.push_back(line);
        }
    Lines written;
    for (const std::string& l : device.LogLines())
        if (l.rfind("Driver_VKT7. Write to Dev ", 0) == 0) written.push_back(l);
    EXPECT_EQ(written, expected);
}

TEST_F(Vkt7Cycle, MoreThan83TagsStillShowTheirElementsAndNothingGoesToAMissingFailureTag) {
    Node& g1 = device.AddGroup("1");
    for (int i = 0; i < 85; ++i) g1.AddTag("t" + std::to_string(i), Properties{{"addr", std::to_string(i % 3)}});
    Init();
    EXPECT_EQ(Driver()->requestCount[4], 83);
    for (const char* e : {"0", "2"})
        EXPECT_TRUE(Logged(std::string("Driver_VKT7. Request list of archive type 4 is full: element ") + e +
                           " not added\n"));
    EXPECT_TRUE(Cycle());
    for (int i = 0; i < 85; ++i) {
        EXPECT_EQ(g1.tags[i]->value.number, meter.ExpectedValue(Vkt7Archive::Current, uint8_t(i % 3))) << i;
        EXPECT_EQ(g1.tags[i]->quality, 192u) << i;
    }
    EXPECT_TRUE(device.EventsOf(EventKind::Commit).empty());
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

TEST_F(Vkt7Cycle, WritingFalseToAvailableOrAHostBreakStopsTheCycles) {
    Tag& available = device.AddTag("Available");
    Tag& other = device.AddTag("Other");
    Tag& second = device.AddTag("Available");
    Group("1", {0});
    Init();
    device.QueueWrite(other, 1);
    device.QueueWrite(available, 256);  // the 8-bit flag keeps 0
    device.QueueWrite(second, 2);  // any non-zero value enables, echoed as written
    EXPECT_EQ(Vkt7Write(device.handle()), 0);
    const auto completed = device.EventsOf(EventKind::CompleteWrite);
    ASSERT_EQ(completed.size(), 1u);  // neither the other tag's write nor the second one
    EXPECT_EQ(completed[0]->tag, &available);
    EXPECT_EQ(Publishes(available).back(), "0 192");
    EXPECT_EQ(device.LogLines().back(), "Driver_VKT7. Driver scan disabled");
    EXPECT_FALSE(Cycle());
    FrameRead(drivers, device.handle());
    EXPECT_TRUE(exchanges.empty());
    device.SweepWrites();  // the write to the second Available tag is still pending: handled now
    EXPECT_EQ(Vkt7Write(device.handle()), 0);
    EXPECT_EQ(device.LogLines().back(), "Driver_VKT7. Driver scan available");
    EXPECT_EQ(Publishes(second).back(), "2 192");
    EXPECT_TRUE(Cycle());
    EXPECT_FALSE(exchanges.empty());
    // A host break stops a cycle before any exchange, and a running one at its next check.
    exchanges.clear();
    device.breakFlag = true;
    EXPECT_FALSE(Cycle());
    EXPECT_TRUE(exchanges.empty());
    device.breakFlag = false;
    onRequest = [&](const Bytes&) { device.breakFlag = true; };
    EXPECT_FALSE(Cycle());
    EXPECT_EQ(Requests(), Lines{"R 3FF6 17"});
    device.breakFlag = false;
    onRequest = nullptr;
    exchanges.clear();
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Requests(), (Lines{"R 3FF6 17", "R 3FFE 9"}));  // nothing failed: the session is still open
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
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

// Robustness: whole polling cycles over a line that mutates the simulator's answers, against meters with
// odd element lists and settings. Deterministic; the sanitizer build turns any access outside a buffer into a failure.
TEST(Vkt7Fuzz, WholeCyclesOverAMutatingLine) {
    std::mt19937 engine{4242};
    auto num = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine); };
    auto chance = [&](double p) { return std::bernoulli_distribution(p)(engine); };
    auto byte = [&] { return static_cast<uint8_t>(num(0, 255)); };
    const int extremes[] = {INT32_MIN, -3, 0, 1, 20, 400, INT32_MAX};
    for (int round = 0; round < 60; ++round) {
        sim::Vkt7Simulator meter;
        meter.clock().Set(At(2024, num(1, 12), num(1, 28), num(0, 23)));
        meter.SetServerVersion(static_cast<uint8_t>(num(0, 3)));
        for (int k = num(0, 3); k > 0; --k)  // odd entries: elements beyond the table, values of up to 9 bytes
            meter.SetActive(static_cast<Vkt7Archive>(num(0, 5)), byte(), static_cast<uint16_t>(num(0, 9)));
        Host host;
        Device& device = host.AddDevice("m", "VKT7");
        device.retryCount = num(0, 2);
        device.properties.Set("addr", 1).Set("CountRecord", num(1, 6)).Set("DepthHour", extremes[num(0, 6)])
            .Set("DepthDay", extremes[num(0, 6)]).Set("DepthMonth", extremes[num(0, 6)]);
        for (const char* name : {"Available", "Failure", "DateTime"}) device.AddTag(name);
        for (const char* name : {"1", "2", "3", "4", "5"}) {
            Node& group = device.AddGroup(name);
            for (int k = num(0, 12); k > 0; --k)
                group.AddTag(name + std::to_string(k), chance(0.9) ? Properties{{"addr", std::to_string(num(0, 300))}}
                                                                   : Properties{});
        }
        device.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) -> int32_t {
            if (chance(0.01)) return -num(1, 9);
            Bytes a(300);
            a.resize(static_cast<size_t>(std::max(0, meter.Exchange(tx, a))));
            // Now and then a damaged answer (a byte, the length, a list size, the function, or noise),
            // often with a fitting byte count and CRC, so that it reaches the decoders.
            if (!tx.empty() && chance(0.15)) {
                const int kind = num(0, 4);
                if (kind == 0 && !a.empty()) a[size_t(num(0, int(a.size()) - 1))] ^= byte();
                if (kind == 1) a.resize(static_cast<size_t>(num(0, 300)), byte());
                if (kind == 2 && a.size() > 9) a[7] = byte(), a[8] = chance(0.5) ? 0 : byte();
                if (kind == 3 && a.size() > 1) a[1] = chance(0.5) ? 0x83 : byte();
                if (kind == 4) std::generate(a.begin(), a.end(), byte);
                if (a.size() > 2 && chance(0.3)) a[2] = static_cast<uint8_t>(a.size() - 5);
                if (a.size() >= 2 && chance(0.6)) a = RepairCrc(a);
            }
            const bool ignoreLimit = chance(0.05);  // a host that delivers more than asked
            const size_t copied = std::min(a.size(), ignoreLimit ? size_t{265} : rx.size());
            std::copy_n(a.begin(), copied, rx.begin());
            return static_cast<int32_t>(ignoreLimit ? a.size() : copied);
        };
        ASSERT_EQ(Vkt7Init(device.handle()), 0);
        const size_t allocations = device.LiveAllocations();
        const VKT7& d = *static_cast<Vkt7DeviceBlock*>(device.deviceData)->driver;
        for (int cycle = 0; cycle < 25; ++cycle) {
            if (chance(0.1)) meter.clock().Advance(boost::posix_time::hours(num(1, 100)));
            (void)Vkt7ReadCycle(device.handle());
            device.ClearEvents();
            ASSERT_LE(d.elementListLength, kMaxListRecords * kListRecordSize);
            ASSERT_LE(d.ExpectedLength, 265u);
            for (int e = 0; e < kElementCount; ++e)
                ASSERT_TRUE(d.SelectedArchive >= kArchiveTypeCount || !d.IsPresent(e, d.SelectedArchive) ||
                            d.elements[e].size <= 4);
            ASSERT_EQ(d.sendBuffer[0] & d.sendBuffer[1], 0xFF);
        }
        EXPECT_EQ(device.LiveAllocations(), allocations);
        Vkt7Close(device.handle());
        EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
    }
}
