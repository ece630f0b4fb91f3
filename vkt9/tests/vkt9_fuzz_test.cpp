// Arbitrary and mutated answers through the link, the block walk and the record
// decoder; the sanitizer build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <random>

#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

constexpr int kRounds = 4000;
const int32_t kTypes[] = {DataFloat, DataWord, DataScaledInt16, DataUInt32, DataIntPlusFloat, DataScaledUInt16};

struct FuzzTest : ::testing::Test, HostFixture {
    std::mt19937 rng{20240307};
    std::vector<uint8_t> answer;
    std::unique_ptr<Protocol> p = std::make_unique<Protocol>();
    void SetUp() override {
        device.recordEvents = false;
        device.channel = [this](auto, auto rx) {
            const size_t n = std::min(answer.size(), rx.size());
            std::copy_n(answer.begin(), n, rx.begin());
            return static_cast<int32_t>(n);
        };
        p->device = handle();
        p->address = 1;
        p->attempts = 2;
    }
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); }
    // A good frame with bytes changed, cut or added, mostly with its CRC repaired
    // so that the damage reaches past the checks.
    std::vector<uint8_t> Mutate(std::vector<uint8_t> frame) {
        frame = RepairCrc(frame);
        for (size_t edits = Pick(3); edits > 0 && !frame.empty(); --edits) {
            const size_t at = Pick(frame.size() - 1);
            switch (Pick(2)) {
                case 0: frame[at] = static_cast<uint8_t>(rng()); break;
                case 1: frame.resize(at); break;
                default: frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
            }
        }
        return Pick(4) != 0 && frame.size() >= 3 ? RepairCrc(frame) : frame;
    }
    std::vector<uint8_t> Frame(std::vector<uint8_t> head, size_t randomBytes) {
        while (randomBytes-- > 0) head.push_back(static_cast<uint8_t>(rng()));
        head.resize(head.size() + 2);
        return head;
    }
};

TEST_F(FuzzTest, LinkAcceptsOnlySoundAnswers) {
    int ok = 0;
    for (int round = 0; round < kRounds; ++round) {
        const bool record = rng() % 2 == 0;
        const unsigned dataLength = rng() % 40;
        p->tx[0] = 1;
        p->tx[1] = record ? FunctionRecord : FunctionHolding;
        answer = Mutate(record ? Frame({1, FunctionRecord}, dataLength)
                               : Frame({1, FunctionHolding, static_cast<uint8_t>(dataLength)}, dataLength));
        if (p->Exchange(6, dataLength, record) != ExchangeOk) continue;
        ++ok;
        ASSERT_TRUE(record || p->rxLength == static_cast<int32_t>(dataLength + 5));
        ASSERT_TRUE(CheckCrc16(p->rx.data(), static_cast<size_t>(p->rxLength)));
    }
    EXPECT_GT(ok, kRounds / 10) << "the mutations must also let answers through";
}

TEST_F(FuzzTest, RegisterWalkAndRecordDecoderTakeAnyAnswer) {
    auto& tag = device.AddSubdevice("values", "Current").AddTag("v");
    for (int32_t reg = 0; reg < 12; ++reg)
        p->valueItems.push_back({FunctionHolding, reg, kTypes[reg % 6], 1, FunctionHolding, (reg * 7) % 12, 0, 0, 0, 0, 0, 0, 0, 0, &tag});
    Archive archive;
    for (int32_t pos = 0; pos < 40; pos += 3) archive.values.push_back({nullptr, pos, kTypes[pos % 6], 2.0f, 0, 0, 0});
    for (int round = 0; round < kRounds; ++round) {
        const auto count = static_cast<int32_t>(1 + rng() % 12);
        answer = Mutate(Frame({1, FunctionHolding, static_cast<uint8_t>(2 * count)}, 2 * static_cast<size_t>(count)));
        p->ReadBlock(RequestBlock{FunctionHolding, static_cast<int32_t>(rng() % 12), count, 0});

        // The decoder sees exactly the bytes received, so ASan catches any read past them.
        archive.LengthByteAnswer = static_cast<int32_t>(rng() % 48);
        std::vector<uint8_t> received = Frame({}, Pick(62));
        const auto before = archive.values;
        Protocol::DecodeArchiveRecord(archive, received.data(), received.size(), CalendarTime(24, 3, 7, 1, 0, 0));
        for (size_t i = 0; received.size() < 7 + 4 + 2 && i < before.size(); ++i)
            ASSERT_EQ(archive.values[i].intValue, before[i].intValue) << "nothing decoded from a record without values";
    }
    size_t received = 0;
    for (const ValueItem& item : p->valueItems) received += item.valueReceived;
    EXPECT_GT(received, 0u);
}

}  // namespace
