// Arbitrary and mutated answers through the link, the block walk and the record
// decoder; the sanitizer build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <random>

#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

TEST(Vkt9Fuzz, LinkWalkAndRecordDecoderTakeAnyAnswer) {
    const int32_t types[] = {DataFloat, DataWord, DataScaledInt16, DataUInt32, DataIntPlusFloat, DataScaledUInt16};
    std::mt19937 rng{20240307};
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    // Random data and a CRC, then bytes changed, cut or added; mostly with the CRC repaired past the checks.
    auto frame = [&](Bytes f, size_t data) {
        for (size_t i = 0; i < data + 2; ++i) f.push_back(static_cast<uint8_t>(rng()));
        f = RepairCrc(f);
        for (size_t edits = pick(3); edits > 0 && !f.empty(); --edits) {
            const size_t at = pick(f.size() - 1), how = pick(2);
            if (how == 0) f[at] = static_cast<uint8_t>(rng());
            else if (how == 1) f.resize(at);
            else f.insert(f.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        }
        return pick(4) != 0 && f.size() >= 3 ? RepairCrc(f) : f;
    };
    HostFixture fx;
    fx.device.recordEvents = false;
    auto p = fx.Link(2);
    auto& tag = fx.device.AddSubdevice("values", "Current").AddTag("v");
    for (int32_t reg = 0; reg < 12; ++reg)
        p->valueItems.push_back({FunctionHolding, reg, types[reg % 6], 1, FunctionHolding, (reg * 7) % 12, 0, 0, 0, 0, 0, 0, 0, 0, &tag});
    Archive archive;
    for (int32_t pos = 0; pos < 40; pos += 3) archive.values.push_back({nullptr, pos, types[pos % 6], 2.0f, 0, 0, 0});
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        const bool record = rng() % 2 == 0;
        const unsigned length = rng() % 40;
        p->tx[0] = 1;
        p->tx[1] = record ? FunctionRecord : FunctionHolding;
        const Bytes answer = frame(record ? Bytes{1, FunctionRecord} : Bytes{1, FunctionHolding, static_cast<uint8_t>(length)}, length);
        fx.line.answers = {answer, answer};
        if (p->Exchange(6, length, record) == ExchangeOk) {
            ++accepted;
            ASSERT_TRUE(record || p->rxLength == static_cast<int32_t>(length + 5));
            ASSERT_TRUE(CheckCrc16(p->rx.data(), static_cast<size_t>(p->rxLength)));
        }
        const auto count = static_cast<int32_t>(1 + rng() % 12);
        fx.line.answers = {frame({1, FunctionHolding, static_cast<uint8_t>(2 * count)}, 2 * static_cast<size_t>(count))};
        p->ReadBlock(RequestBlock{FunctionHolding, static_cast<int32_t>(rng() % 12), count, 0});
        // The decoder sees exactly the bytes received, so ASan catches any read past them.
        archive.LengthByteAnswer = static_cast<int32_t>(rng() % 48);
        const Bytes received = frame({}, pick(60));
        const auto before = archive.values;
        Protocol::DecodeArchiveRecord(archive, received.data(), received.size(), CalendarTime(24, 3, 7, 1, 0, 0));
        for (size_t i = 0; received.size() < 7 + 4 + 2 && i < before.size(); ++i)
            ASSERT_EQ(archive.values[i].intValue, before[i].intValue) << "nothing decoded from a record without values";
    }
    EXPECT_GT(accepted, 400) << "the mutations must also let answers through";
    size_t received = 0;
    for (const ValueItem& item : p->valueItems) received += item.valueReceived;
    EXPECT_GT(received, 0u);
}

}  // namespace
