// Frames, every check of VKT7_SendReceive with its line and result, retries,
// drain, exceptions, BreakFlag and the buffer limits.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;

const std::string kSR = "Driver_VKT7. VKT7_SendReceive: ";
const std::string kTooSmall = kSR + "Answer is too small\n", kWrongAddress = kSR + "wrong address\n",
                  kChecksum = kSR + "wrong checksum\n", kLength = kSR + "wrong length\n",
                  kRegAddr = kSR + "wrong reg addr in answer\n", kRegCount = kSR + "wrong reg count in answer\n",
                  kCommand = kSR + "wrong command\n", kNegative = kSR + "Answer is < 0\n",
                  kVerifyRead = "Driver_VKT7. VKT7_VerifyRead: command error in answer\n",
                  kVerifyWrite = "Driver_VKT7. VKT7_VerifyWrite: command error in answer\n";

static std::string R(int code) { return "Driver_VKT7.Read SendReceiveCOMCommand error " + std::to_string(code) + "\n"; }
static std::string W(int code) { return R(code).replace(12, 4, "Write"); }

// The answer to a read of 0x3FF9 at address 1: software version 2.3, report day 25.
static Bytes Software() { return ReadAnswer(1, Hex("23 00 00 00 00 00 00 00 00 00 00 00 00 00 19 00")); }

static Bytes Changed(Bytes frame, size_t index, uint8_t value, bool repair = true) {
    frame[index] = value;
    return repair ? RepairCrc(frame) : frame;
}

static Bytes Cut(Bytes frame, size_t by) { return Bytes(frame.begin(), frame.end() - static_cast<long>(by)); }


TEST(Vkt7Link, GoldenFrames) {
    TestDriver t;
    t.port.Answer(Software());
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    const uint8_t open[4] = {0x80, 0, 0, 0};
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, open, 4, 0xCC), 0);
    ASSERT_EQ(t.port.records.size(), 2u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 03 3F F9 00 00 99 EF");
    EXPECT_EQ(t.port.records[0].capacity, 21);
    EXPECT_EQ(ToHex(t.port.records[1].tx), "FF FF 01 10 3F FF 00 00 CC 80 00 00 00 60 A8");
    EXPECT_EQ(t.port.records[1].capacity, 8);
    EXPECT_TRUE(t.port.logs.empty());
    EXPECT_FALSE(t->VKT7_CheckCRC(264));  // its CRC would lie past the buffer
}

// A read request repeated as it stands reuses the CRC already in the send buffer;
// any other request, a write in between or another address sends its own.
TEST(Vkt7Link, RepeatedReadsSendTheirOwnFrames) {
    TestDriver t;
    auto read = [&t](uint8_t address, int32_t reg, int32_t count) {
        t->address = address;
        t.port.Answer(ReadAnswer(address, Hex("23 00 00 00 00 00 00 00 00 00 00 00 00 00 19 00")));
        EXPECT_EQ(t->VKT7_Read(reg, count, 21), 0);
    };
    auto request = [](uint8_t address, int32_t reg, int32_t count) {
        return WithCrc({0xFF, 0xFF, address, 0x03, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
                        static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)},
                       2);
    };
    read(1, 0x3FF9, 0);
    read(1, 0x3FF9, 0);
    read(1, 0x3FFE, 0);
    read(1, 0x3FFE, 1);
    read(1, 0x3FF9, 0);
    t.port.Answer(WriteAnswer(1, 0x3FFD));
    const uint8_t type[2] = {0x04, 0x00};
    EXPECT_EQ(t->VKT7_Write(0x3FFD, 0, type, 2, 2), 0);
    read(1, 0x3FF9, 0);
    read(2, 0x3FF9, 0);
    const Bytes expected[] = {request(1, 0x3FF9, 0), request(1, 0x3FF9, 0), request(1, 0x3FFE, 0),
                              request(1, 0x3FFE, 1), request(1, 0x3FF9, 0),
                              WithCrc(Hex("FF FF 01 10 3F FD 00 00 02 04 00"), 2), request(1, 0x3FF9, 0),
                              request(2, 0x3FF9, 0)};
    ASSERT_EQ(t.port.records.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(ToHex(t.port.records[i].tx), ToHex(expected[i])) << i;
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 03 3F F9 00 00 99 EF");
    EXPECT_TRUE(t.port.logs.empty());
}

TEST(Vkt7Link, NullBuffersLogTheConstructorLineAndNeverExchange) {
    FakePort port;
    VKT7 driver(1000, 265, nullptr, nullptr, 3, nullptr, port.port());
    EXPECT_EQ(driver.VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_EQ(port.logs, Lines{"VKT7 Ctor: Send or Receive buffer allocation error!\n"});
    EXPECT_TRUE(port.records.empty());
}

// One attempt per case. The receive buffer holds the whole good answer before
// the exchange, so a short answer cannot borrow CRC bytes left over from it.
TEST(Vkt7Link, EachCheckWithItsResultAndLines) {
    enum Op { kRead, kRead0, kWrite, kOpen };
    struct Case {
        Op op;
        FakePort::Reply reply;
        int32_t result;
        Lines logs;
        long drains;
    };
    const Bytes ok = Software(), confirm = WriteAnswer(1, 0x3FFD);
    const Case cases[] = {
        {kRead, Hex("01 03 00 00 00"), -1, {kTooSmall, R(-1)}, 1},
        {kRead, Changed(ok, 0, 2), -3, {kWrongAddress, R(-3)}, 1},
        {kRead, Changed(ok, 20, ok[20] ^ 1, false), -4, {kChecksum, R(-4)}, 1},
        {kRead, Cut(ok, 2), -4, {kChecksum, R(-4)}, 1},
        {kRead, ReadAnswer(1, Bytes(20, 0)), -4, {kLength, R(-4)}, 1},  // 25 bytes, 21 expected
        {kRead, [] { Bytes b = ReadAnswer(1, Hex("01 02")); b.push_back(0); return b; }(), -4, {kLength, R(-4)}, 1},
        {kRead, ReadAnswer(1, Hex("01 02 03")), 0, {}, 0},  // shorter than expected but whole
        {kRead0, ReadAnswer(1, Bytes(250, 0x11)), 0, {}, 0},
        {kRead, Changed(ok, 1, 0x04), -3, {kCommand, R(-3)}, 1},
        {kRead, ExceptionAnswer(1, 0x83, 3), 3, {kVerifyRead}, 0},
        {kRead, ExceptionAnswer(1, 0x83, 0x85), -123, {kVerifyRead}, 0},  // a signed byte
        {kRead, Changed(ExceptionAnswer(1, 0x83, 3), 3, 1, false), -4, {kChecksum, R(-4)}, 1},
        {kRead, [] { Bytes b = ExceptionAnswer(1, 0x90, 2); b.resize(30); return b; }(), -4, {kLength, R(-4)}, 1},
        {kRead, int32_t{-2}, -2, {kNegative, R(-2)}, 0},
        {kWrite, Changed(confirm, 3, 0xFC), -3, {kRegAddr, W(-3)}, 1},
        {kWrite, Changed(confirm, 5, 0x01), -3, {kRegCount, W(-3)}, 1},
        {kWrite, Changed(confirm, 6, confirm[6] ^ 0x10, false), -4, {kChecksum, W(-4)}, 1},
        {kWrite, Cut(confirm, 1), -4, {kChecksum, W(-4)}, 1},
        {kWrite, ExceptionAnswer(1, 0x90, 3), 3, {kVerifyWrite}, 0},
        {kWrite, int32_t{-7}, -7, {kNegative, W(-7)}, 0},
        {kOpen, ExceptionAnswer(1, 0x90, 2), 0, {}, 0},  // an exception from 0x3FFF is success
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::holds_alternative<Bytes>(c.reply) ? ToHex(std::get<Bytes>(c.reply)) : "failure");
        TestDriver t(1, 1);
        t.port.script.push_back(c.reply);
        const Bytes& stale = c.op <= kRead0 ? ok : confirm;
        std::memcpy(t.receive, stale.data(), stale.size());
        const uint8_t data[4] = {0x80, 0, 0, 0};
        const int32_t result = c.op == kRead    ? t->VKT7_Read(0x3FF9, 0, 21)
                               : c.op == kRead0 ? t->VKT7_Read(0x3FFC, 0, 0)
                               : c.op == kWrite ? t->VKT7_Write(0x3FFD, 0, data, 2, 2)
                                                : t->VKT7_Write(0x3FFF, 0, data, 4, 0xCC);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(t.port.logs, c.logs);
        EXPECT_EQ(std::ranges::count_if(t.port.records, [](auto& r) { return r.tx.empty(); }), c.drains);
        EXPECT_EQ(t->BreakFlag, result < 0 ? 1 : 0);
        EXPECT_EQ(t->lastAnswerLength, t.port.records[0].result);  // a drain does not change it
        EXPECT_EQ(t->address, 1);
        EXPECT_EQ(t->attempts, 1);
    }
}

TEST(Vkt7Link, EveryFailedAttemptDrainsAndTheLastAttemptDecides) {
    TestDriver t(1, 3);
    t.port.Answer(Changed(Software(), 0, 9));
    t.port.Answer(Hex("01 03"));
    t.port.Answer(Software());
    t.port.drains.push_back(Hex("55 55 55"));  // whatever a drain gets is ignored
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    EXPECT_EQ(t.port.logs, (Lines{kWrongAddress, kTooSmall}));
    ASSERT_EQ(t.port.records.size(), 5u);  // attempt, drain, attempt, drain, attempt
    EXPECT_TRUE(t.port.records[1].tx.empty());
    EXPECT_EQ(t.port.records[1].capacity, 265);
    EXPECT_EQ(t.port.records[4].tx, t.port.records[0].tx);
    EXPECT_EQ(t->BreakFlag, 0);

    t.port.Answer(Changed(Software(), 0, 9));
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -1);  // then silence: too small twice
    EXPECT_EQ(t.port.logs, (Lines{kWrongAddress, kTooSmall, kWrongAddress, kTooSmall, kTooSmall, R(-1)}));
    EXPECT_EQ(t->BreakFlag, 1);

    t.port.records.clear();
    t.port.script.push_back(int32_t{-2});
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -2);
    EXPECT_EQ(t.port.records.size(), 1u);  // no drain, no further attempt
}

TEST(Vkt7Link, RequestsBeyondTheBuffersFailWithoutExchange) {
    TestDriver t;
    EXPECT_EQ(t->VKT7_Read(0x3FFE, 0, 266), -4);
    EXPECT_EQ(t->BreakFlag, 1);
    Bytes data(255, 0);
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data.data(), 255, 255), -4);
    EXPECT_TRUE(t.port.records.empty());
    EXPECT_EQ(t.port.logs, (Lines{kSR + "expected length 266 exceeds the receive buffer\n", R(-4),
                                  "Driver_VKT7. VKT7_Write: 255 data bytes do not fit the send buffer\n"}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data.data(), 254, 254), 0);  // 11 + 254 = 265 bytes fit
    EXPECT_EQ(t.port.records.back().tx.size(), 265u);
}
