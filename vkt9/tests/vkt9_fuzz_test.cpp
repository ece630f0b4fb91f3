// Arbitrary and mutated answers through the link, the block walk and the record
// decoder; the sanitizer build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <random>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

constexpr int kRounds = 4000;

// A good answer to the request, then mutated: bytes changed, cut or added,
// mostly with a repaired CRC so that the mutation reaches past the checks.
std::vector<uint8_t> Mutate(std::vector<uint8_t> frame, std::mt19937& rng) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    const int edits = static_cast<int>(pick(3));
    for (int i = 0; i < edits && !frame.empty(); ++i) {
        switch (pick(2)) {
            case 0: frame[pick(frame.size() - 1)] = static_cast<uint8_t>(rng()); break;
            case 1: frame.resize(pick(frame.size())); break;
            default: frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(pick(frame.size())), static_cast<uint8_t>(rng())); break;
        }
    }
    if (pick(4) != 0 && frame.size() >= 3) frame = RepairCrc(frame);
    return frame;
}

struct FuzzTest : ::testing::Test {
    HostFixture fx;
    std::mt19937 rng{20240307};
    std::vector<uint8_t> answer;
    void SetUp() override {
        fx.device.recordEvents = false;
        fx.device.retryCount = 2;
        fx.device.channel = [this](auto, auto rx) {
            const size_t n = std::min(answer.size(), rx.size());
            std::copy_n(answer.begin(), n, rx.begin());
            return static_cast<int32_t>(n);
        };
    }
};

TEST_F(FuzzTest, LinkResultsStayWithinTheirMeaning) {
    auto p = std::make_unique<Protocol>();
    p->device = fx.handle();
    p->address = 1;
    p->attempts = 2;
    int ok = 0;
    for (int round = 0; round < kRounds; ++round) {
        const bool record = rng() % 2 == 0;
        const unsigned dataLength = rng() % 40;
        std::vector<uint8_t> good{1, static_cast<uint8_t>(record ? 0x41 : 0x03)};
        if (!record) good.push_back(static_cast<uint8_t>(dataLength));
        for (unsigned i = 0; i < dataLength; ++i) good.push_back(static_cast<uint8_t>(rng()));
        good.resize(good.size() + 2);
        answer = Mutate(RepairCrc(good), rng);
        p->tx[0] = 1;
        p->tx[1] = good[1];
        const int r = p->Exchange(6, dataLength, record);
        ASSERT_TRUE(r == ExchangeOk || r == ExchangeFailed || r == ExchangeErrorAnswer);
        if (r == ExchangeOk) {
            ++ok;
            ASSERT_TRUE(record || p->rxLength == static_cast<int32_t>(dataLength + 5));
            ASSERT_TRUE(CheckCrc16(p->rx.data(), static_cast<size_t>(p->rxLength)));
        }
    }
    EXPECT_GT(ok, kRounds / 10) << "the mutations must also let answers through";
}

TEST_F(FuzzTest, RegisterWalkAndArchiveDecoderTakeAnyAnswer) {
    auto& tag = fx.device.AddSubdevice("values", "Current").AddTag("v");
    auto p = std::make_unique<Protocol>();
    p->device = fx.handle();
    p->address = 1;
    p->attempts = 1;
    const int32_t types[] = {DataFloat, DataWord, DataScaledInt16, DataUInt32, DataIntPlusFloat, DataScaledUInt16};
    for (int32_t reg = 0; reg < 12; ++reg) {
        ValueItem item;
        item.function = FunctionHolding;
        item.Address = reg;
        item.DataType = types[reg % 6];
        item.RegStatus = (reg * 7) % 12;
        item.statusFunction = FunctionHolding;
        item.tag = &tag;
        p->valueItems.push_back(item);
    }
    Archive archive;
    archive.type = ArchiveTypeDay;
    for (int32_t pos = 0; pos < 40; pos += 3) archive.values.push_back({nullptr, pos, types[pos % 6], 2.0f, 0, 0, 0});
    for (int round = 0; round < kRounds; ++round) {
        const int32_t start = static_cast<int32_t>(rng() % 12);
        const int32_t count = 1 + static_cast<int32_t>(rng() % 12);
        std::vector<uint8_t> good{1, FunctionHolding, static_cast<uint8_t>(2 * count)};
        for (int32_t i = 0; i < 2 * count + 2; ++i) good.push_back(static_cast<uint8_t>(rng()));
        answer = Mutate(RepairCrc(good), rng);
        p->ReadBlock(RequestBlock{FunctionHolding, start, count, 0});
        p->errorFlag = 0;

        // The record decoder sees exactly the bytes received, so ASan catches any read past them.
        archive.LengthByteAnswer = static_cast<int32_t>(rng() % 48);
        std::vector<uint8_t> received(rng() % 64);
        for (auto& b : received) b = static_cast<uint8_t>(rng());
        const auto before = archive.values;
        Protocol::DecodeArchiveRecord(archive, received.data(), received.size(), CalendarTime(24, 3, 7, 1, 0, 0));
        if (received.size() < 7 + 4 + 2 + 2) {
            for (size_t i = 0; i < before.size(); ++i) ASSERT_EQ(archive.values[i].intValue, before[i].intValue);
        }
    }
    size_t received = 0;
    for (const ValueItem& item : p->valueItems) received += item.valueReceived;
    EXPECT_GT(received, 0u);
}

}  // namespace
