// Robustness: arbitrary and mutated answers fed to the link layer, the decoders
// (element list, session, values) and the whole polling cycle. Deterministic
// loops over many random inputs; the sanitizer build turns any read or write
// outside a buffer or table into a failure.
#include <gtest/gtest.h>

#include <random>

#include "hostemu/host_emulator.h"
#include "vkt7/tests/vkt7_test_support.h"
#include "vkt7/vkt7_cycle.h"

using namespace vkt7test;
using namespace vkt7;

namespace {

class Random {
public:
    explicit Random(uint32_t seed) : engine_(seed) {}
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(engine_); }
    uint8_t Byte() { return static_cast<uint8_t>(Int(0, 255)); }
    Bytes Fill(size_t n) {
        Bytes out(n);
        for (auto& b : out) b = Byte();
        return out;
    }

private:
    std::mt19937 engine_;
};

// Changes an answer the way a bad line or a confused meter might; often repairs
// the CRC so that the damage reaches the decoders behind the link checks.
Bytes Mutate(Bytes frame, Random& rnd) {
    const int ops = rnd.Int(1, 3);
    for (int i = 0; i < ops; ++i) {
        switch (rnd.Int(0, 7)) {
            case 0:
                if (!frame.empty()) frame[static_cast<size_t>(rnd.Int(0, static_cast<int>(frame.size()) - 1))] ^= rnd.Byte();
                break;
            case 1:
                if (frame.size() > 2) frame[2] = rnd.Byte();  // the byte count
                break;
            case 2:
                frame.resize(static_cast<size_t>(rnd.Int(0, static_cast<int>(frame.size()))));
                break;
            case 3: {
                const Bytes more = rnd.Fill(static_cast<size_t>(rnd.Int(1, 40)));
                frame.insert(frame.end(), more.begin(), more.end());
                break;
            }
            case 4:
                if (frame.size() > 8) frame[static_cast<size_t>(rnd.Int(3, static_cast<int>(frame.size()) - 3))] = rnd.Byte();
                break;
            case 5:  // an element size in an active-list record
                if (frame.size() > 9) frame[7] = rnd.Byte(), frame[8] = rnd.Chance(0.5) ? 0 : rnd.Byte();
                break;
            case 6:
                if (frame.size() > 1) frame[1] = rnd.Chance(0.5) ? 0x83 : rnd.Byte();
                break;
            default:
                frame = rnd.Fill(static_cast<size_t>(rnd.Int(0, 270)));
                break;
        }
    }
    if (rnd.Chance(0.6) && frame.size() >= 2) frame = RepairCrc(frame);
    if (frame.size() > 2 && rnd.Chance(0.3)) {  // a consistent byte count as well
        frame[2] = static_cast<uint8_t>(frame.size() - 5);
        frame = RepairCrc(frame);
    }
    return frame;
}

// The simulator's answers, mutated now and then; the host's limit is kept or,
// sometimes, ignored up to the size of the buffer.
void ServeMutated(FakePort& port, sim::Vkt7Simulator& meter, Random& rnd, double rate) {
    port.responder = [&meter, &rnd, rate](std::span<const uint8_t> tx, std::span<uint8_t> rx) -> int32_t {
        if (rnd.Chance(0.01)) return -rnd.Int(1, 9);
        Bytes answer(300);
        int32_t n = meter.Exchange(tx, answer);
        answer.resize(n < 0 ? 0 : static_cast<size_t>(n));
        if (!tx.empty() && rnd.Chance(rate)) answer = Mutate(answer, rnd);
        const bool ignore = rnd.Chance(0.05);
        const size_t limit = ignore ? 265 : rx.size();
        const size_t copied = std::min(answer.size(), limit);
        if (copied > 0) std::memcpy(rx.data(), answer.data(), copied);
        return static_cast<int32_t>(ignore ? answer.size() : copied);
    };
}

void ExpectTableInvariants(const VKT7& d) {
    EXPECT_LE(d.elementListLength, kMaxListRecords * kListRecordSize);
    EXPECT_LE(d.ExpectedLength, static_cast<uint32_t>(kBufferSize));
    for (int t = 0; t < kArchiveTypeCount; ++t) EXPECT_LE(d.requestCount[t], kElementCount);
    if (d.SelectedArchive < kArchiveTypeCount)
        for (int e = 0; e < kElementCount; ++e)
            if (d.IsPresent(e, d.SelectedArchive)) {
                EXPECT_LE(d.elements[e].size, kMaxValueSize) << e;
            }
}

}  // namespace

TEST(Vkt7Fuzz, LinkLayerOnArbitraryAnswers) {
    Random rnd(20240307);
    for (int i = 0; i < 20000; ++i) {
        TestDriver t(static_cast<uint8_t>(rnd.Int(0, 3)), rnd.Int(1, 3));
        t.port.ignoreCapacity = rnd.Chance(0.2);
        for (int a = 0; a < 3; ++a) {
            if (rnd.Chance(0.05)) {
                t.port.Fail(-rnd.Int(1, 100));
                continue;
            }
            Bytes answer = rnd.Fill(static_cast<size_t>(rnd.Int(0, 300)));
            if (answer.size() >= 6 && rnd.Chance(0.7)) {
                answer[0] = t->address;
                const uint8_t functions[] = {0x03, 0x10, 0x83, 0x90, 0x04};
                answer[1] = functions[rnd.Int(0, 4)];
                if (answer[1] == 0x03 && rnd.Chance(0.5)) answer.resize(std::min<size_t>(answer.size(), 260)), answer[2] = static_cast<uint8_t>(answer.size() - 5);
                if (rnd.Chance(0.7)) answer = RepairCrc(answer);
            }
            t.port.Answer(answer);
            t.port.drains.push_back(rnd.Fill(static_cast<size_t>(rnd.Int(0, 20))));
        }
        int32_t result = 0;
        const bool read = rnd.Chance(0.5);
        if (read) {
            const int32_t expected[] = {0, 8, 13, 17, 21, 101, 179, 265, rnd.Int(-5, 400)};
            result = t->VKT7_Read(0x3FF0 + rnd.Int(0, 15), 0, expected[rnd.Int(0, 8)]);
        } else {
            const Bytes data = rnd.Fill(static_cast<size_t>(rnd.Int(0, 260)));
            result = t->VKT7_Write(0x3FF0 + rnd.Int(0, 15), 0, data.data(), static_cast<int32_t>(data.size()), rnd.Byte());
        }
        EXPECT_LE(result, 127);
        if (result < 0) {
            EXPECT_EQ(t->BreakFlag, 1);
        }
        if (result == 0 && read && t.receive[1] == 0x03) {
            EXPECT_EQ(t->lastAnswerLength, t.receive[2] + 5);
        }
        EXPECT_EQ(t.send[0], 0xFF);
        EXPECT_EQ(t.send[1], 0xFF);
    }
}

TEST(Vkt7Fuzz, DecodersOnMutatedMeterAnswers) {
    ScopedTz tz(kFixedTz);
    Random rnd(7);
    const uint8_t types[] = {kTypeHour, kTypeDay, kTypeMonth, kTypeCurrent, kTypeTotals, kTypeProperties};
    for (int round = 0; round < 300; ++round) {
        sim::Vkt7Simulator meter;
        meter.clock().Set(At(2024, rnd.Int(1, 12), rnd.Int(1, 28), rnd.Int(0, 23)));
        meter.SetServerVersion(static_cast<uint8_t>(rnd.Int(0, 3)));
        if (rnd.Chance(0.2)) meter.SetActive(sim::Vkt7Archive::Current, static_cast<uint8_t>(rnd.Int(0, 255)),
                                             static_cast<uint16_t>(rnd.Int(0, 9)));
        TestDriver t(1, rnd.Int(1, 2));
        ServeMutated(t.port, meter, rnd, 0.3);
        for (int k = 0; k < 40; ++k)
            t->VKT7_AddElement(static_cast<uint8_t>(rnd.Int(0, 90)), types[rnd.Int(0, 5)]);
        t->VKT7_SetArchiveParams(rnd.Int(-5, 100), rnd.Int(-5, 60), rnd.Int(-5, 30), 3);
        for (int step = 0; step < 30; ++step) {
            int32_t h, d, m, y;
            switch (rnd.Int(0, 7)) {
                case 0: t->VKT7_StartSession(); break;
                case 1: t->VKT7_ReadDeviceTime(rnd.Chance(0.5)); break;
                case 2: t->VKT7_ReadValues(types[rnd.Int(0, 5)]); break;
                case 3: t->VKT7_ReadHourArchive(h, d, m, y); break;
                case 4: t->VKT7_ReadDayArchive(h, d, m, y); break;
                case 5: t->VKT7_ReadMonthArchive(h, d, m, y); break;
                case 6: t->VKT7_BuildElementList(); break;
                default: t->ResetSession(); break;
            }
            ExpectTableInvariants(*t);
            for (uint8_t n = 0; n < 90; ++n) {
                uint8_t q, type;
                double number;
                int32_t integer;
                (void)t->VKT7_GetValue(n, q, type, number, integer);
                Vkt7Value v;
                (void)t->VKT7_GetElementValue(n, v);
            }
        }
    }
}

TEST(Vkt7Fuzz, ArchivePositionsFromArbitraryBounds) {
    ScopedTz tz(kFixedTz);
    Random rnd(99);
    for (int i = 0; i < 3000; ++i) {
        TestDriver t(1, 1);
        t->ServerVersion = 0;
        t->ReportDay = rnd.Byte();
        t->VKT7_SetArchiveParams(rnd.Int(INT32_MIN / 2, INT32_MAX / 2) * (rnd.Chance(0.5) ? 0 : 1) + rnd.Int(-3, 50),
                                 rnd.Int(-3, 50), rnd.Chance(0.1) ? INT32_MIN : rnd.Int(-3, 50), 5);
        t.port.Answer(ReadAnswer(1, Bytes(16, 0x23)));
        t.port.Answer(WriteAnswer(1, 0x3FFD));
        t.port.Answer(WriteAnswer(1, 0x3FFF));
        t.port.Answer(ReadAnswer(1, rnd.Fill(96)));
        t.port.Answer(ReadAnswer(1, rnd.Fill(12)));  // bounds of any bytes
        t->VKT7_StartSession();
        // Stepping from whatever came out stays bounded by the cycle's record count.
        for (int k = 0; k < 5; ++k) {
            int32_t h, d, m, y;
            t->VKT7_ReadHourArchive(h, d, m, y);
            t->VKT7_ReadDayArchive(h, d, m, y);
            t->VKT7_ReadMonthArchive(h, d, m, y);
        }
    }
}

TEST(Vkt7Fuzz, WholeCyclesOverAMutatingLine) {
    using namespace hostemu;
    ScopedTz tz(kFixedTz);
    Random rnd(4242);
    for (int round = 0; round < 40; ++round) {
        sim::Vkt7Simulator meter;
        meter.clock().Set(At(2024, rnd.Int(1, 12), rnd.Int(1, 28), rnd.Int(0, 23)));
        Host host;
        Device& device = host.AddDevice("m", "VKT7");
        device.retryCount = rnd.Int(0, 2);
        device.properties.Set("addr", 1).Set("CountRecord", rnd.Int(1, 6)).Set("DepthHour", rnd.Int(1, 60));
        device.AddTag("Available");
        device.AddTag("Failure");
        device.AddTag("DateTime");
        for (const char* name : {"1", "2", "3", "4", "5"}) {
            Node& group = device.AddGroup(name);
            for (int k = 0; k < rnd.Int(0, 12); ++k) {
                Properties p;
                if (rnd.Chance(0.9)) p.Set("addr", rnd.Int(0, 300));
                group.AddTag(std::string(name) + "." + std::to_string(k), p);
            }
        }
        FakePort mutator;
        ServeMutated(mutator, meter, rnd, 0.15);
        device.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
            return mutator.responder(tx, rx);
        };
        ASSERT_EQ(Vkt7Init(device.handle()), 0);
        const size_t allocations = device.LiveAllocations();
        for (int cycle = 0; cycle < 25; ++cycle) {
            if (rnd.Chance(0.1)) meter.clock().Advance(boost::posix_time::hours(rnd.Int(1, 100)));
            meter.faults().silence = rnd.Chance(0.05);
            meter.faults().wrongAddress = rnd.Chance(0.03);
            meter.faults().truncateBy = rnd.Chance(0.03) ? rnd.Int(1, 10) : 0;
            (void)Vkt7ReadCycle(device.handle());
            device.ClearEvents();
        }
        EXPECT_EQ(device.LiveAllocations(), allocations);
        Vkt7Close(device.handle());
        EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
    }
}
