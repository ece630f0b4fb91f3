// Robustness: whole polling cycles over a line that mutates the simulator's
// answers, against meters with odd element lists and settings. Deterministic; the
// sanitizer build turns any read or write outside a buffer or table into a failure.
#include <gtest/gtest.h>

#include <random>

#include "hostemu/host_emulator.h"
#include "vkt7/tests/vkt7_test_support.h"
#include "vkt7/vkt7_cycle.h"

using namespace vkt7test;
using namespace vkt7;
using namespace hostemu;

namespace {

struct Random {
    std::mt19937 engine;
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(engine); }
    uint8_t Byte() { return static_cast<uint8_t>(Int(0, 255)); }
};

// Damages an answer as a bad line or a confused meter might; often repairs the CRC
// and the byte count, so that the damage reaches the decoders behind the link checks.
Bytes Mutate(Bytes frame, Random& rnd) {
    for (int ops = rnd.Int(1, 3); ops > 0; --ops) {
        const size_t n = frame.size();
        switch (rnd.Int(0, 5)) {
            case 0: if (n > 0) frame[static_cast<size_t>(rnd.Int(0, static_cast<int>(n) - 1))] ^= rnd.Byte(); break;
            case 1: frame.resize(static_cast<size_t>(rnd.Int(0, static_cast<int>(n)))); break;
            case 2: for (int k = rnd.Int(1, 40); k > 0; --k) frame.push_back(rnd.Byte()); break;
            case 3: if (n > 9) frame[7] = rnd.Byte(), frame[8] = rnd.Chance(0.5) ? 0 : rnd.Byte(); break;  // a list size
            case 4: if (n > 1) frame[1] = rnd.Chance(0.5) ? 0x83 : rnd.Byte(); break;
            default: frame.clear(); for (int k = rnd.Int(0, 270); k > 0; --k) frame.push_back(rnd.Byte()); break;
        }
    }
    if (frame.size() > 2 && rnd.Chance(0.3)) frame[2] = static_cast<uint8_t>(frame.size() - 5);
    if (frame.size() >= 2 && rnd.Chance(0.6)) frame = RepairCrc(frame);
    return frame;
}

}  // namespace

TEST(Vkt7Fuzz, WholeCyclesOverAMutatingLine) {
    ScopedTz tz(kFixedTz);
    Random rnd{std::mt19937(4242)};
    for (int round = 0; round < 60; ++round) {
        sim::Vkt7Simulator meter;
        meter.clock().Set(At(2024, rnd.Int(1, 12), rnd.Int(1, 28), rnd.Int(0, 23)));
        meter.SetServerVersion(static_cast<uint8_t>(rnd.Int(0, 3)));
        const sim::Vkt7Archive types[] = {sim::Vkt7Archive::Hour, sim::Vkt7Archive::Day, sim::Vkt7Archive::Month,
                                          sim::Vkt7Archive::Current, sim::Vkt7Archive::Totals};
        for (int k = rnd.Int(0, 3); k > 0; --k)  // odd entries: elements beyond the table, values of up to 9 bytes
            meter.SetActive(types[rnd.Int(0, 4)], rnd.Byte(), static_cast<uint16_t>(rnd.Int(0, 9)));
        Host host;
        Device& device = host.AddDevice("m", "VKT7");
        device.retryCount = rnd.Int(0, 2);
        const int extremes[] = {INT32_MIN, -3, 0, 1, 20, 400, INT32_MAX};
        device.properties.Set("addr", 1).Set("CountRecord", rnd.Int(1, 6)).Set("DepthHour", extremes[rnd.Int(0, 6)])
            .Set("DepthDay", extremes[rnd.Int(0, 6)]).Set("DepthMonth", extremes[rnd.Int(0, 6)]);
        for (const char* name : {"Available", "Failure", "DateTime"}) device.AddTag(name);
        for (const char* name : {"1", "2", "3", "4", "5"}) {
            Node& group = device.AddGroup(name);
            for (int k = rnd.Int(0, 12); k > 0; --k)
                group.AddTag(std::string(name) + "." + std::to_string(k),
                             rnd.Chance(0.9) ? Properties{{"addr", std::to_string(rnd.Int(0, 300))}} : Properties{});
        }
        device.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) -> int32_t {
            if (rnd.Chance(0.01)) return -rnd.Int(1, 9);
            Bytes answer(300);
            answer.resize(static_cast<size_t>(std::max(0, meter.Exchange(tx, answer))));
            if (!tx.empty() && rnd.Chance(0.15)) answer = Mutate(answer, rnd);
            const bool ignoreLimit = rnd.Chance(0.05);  // a host that delivers more than asked
            const size_t copied = std::min(answer.size(), ignoreLimit ? size_t{265} : rx.size());
            std::copy_n(answer.begin(), copied, rx.begin());
            return static_cast<int32_t>(ignoreLimit ? answer.size() : copied);
        };
        ASSERT_EQ(Vkt7Init(device.handle()), 0);
        const size_t allocations = device.LiveAllocations();
        const VKT7& d = *static_cast<Vkt7DeviceBlock*>(device.deviceData)->driver;
        for (int cycle = 0; cycle < 25; ++cycle) {
            if (rnd.Chance(0.1)) meter.clock().Advance(boost::posix_time::hours(rnd.Int(1, 100)));
            meter.faults().silence = rnd.Chance(0.05);
            meter.faults().wrongAddress = rnd.Chance(0.03);
            (void)Vkt7ReadCycle(device.handle());
            device.ClearEvents();
            ASSERT_LE(d.elementListLength, kMaxListRecords * kListRecordSize);
            ASSERT_LE(d.ExpectedLength, 265u);
            for (int e = 0; e < kElementCount; ++e) {
                if (d.SelectedArchive < kArchiveTypeCount && d.IsPresent(e, d.SelectedArchive)) {
                    ASSERT_LE(d.elements[e].size, 4) << e;
                }
            }
            ASSERT_EQ(d.sendBuffer[0] & d.sendBuffer[1], 0xFF);
        }
        EXPECT_EQ(device.LiveAllocations(), allocations);
        Vkt7Close(device.handle());
        EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
    }
}
