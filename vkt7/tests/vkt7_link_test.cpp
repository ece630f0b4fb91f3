// Frames, CRC, every check of VKT7_SendReceive with its line and result,
// drain, attempts, VKT7_VerifyRead/VKT7_VerifyWrite and BreakFlag.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;

namespace {

const char* const kTooSmall = "Driver_VKT7. VKT7_SendReceive: Answer is too small\n";
const char* const kWrongAddress = "Driver_VKT7. VKT7_SendReceive: wrong address\n";
const char* const kWrongChecksum = "Driver_VKT7. VKT7_SendReceive: wrong checksum\n";
const char* const kWrongLength = "Driver_VKT7. VKT7_SendReceive: wrong length\n";
const char* const kWrongRegAddr = "Driver_VKT7. VKT7_SendReceive: wrong reg addr in answer\n";
const char* const kWrongRegCount = "Driver_VKT7. VKT7_SendReceive: wrong reg count in answer\n";
const char* const kWrongCommand = "Driver_VKT7. VKT7_SendReceive: wrong command\n";
const char* const kNegative = "Driver_VKT7. VKT7_SendReceive: Answer is < 0\n";
const char* const kVerifyRead = "Driver_VKT7. VKT7_VerifyRead: command error in answer\n";
const char* const kVerifyWrite = "Driver_VKT7. VKT7_VerifyWrite: command error in answer\n";

std::string ReadError(int code) { return "Driver_VKT7.Read SendReceiveCOMCommand error " + std::to_string(code) + "\n"; }
std::string WriteError(int code) { return "Driver_VKT7.Write SendReceiveCOMCommand error " + std::to_string(code) + "\n"; }

// A good answer to a read of 0x3FF9 at address 1 (software version 2.3, report day 25).
Bytes GoodSoftwareAnswer() { return ReadAnswer(1, Hex("23 00 00 00 00 00 00 00 00 00 00 00 00 00 19 00")); }

}  // namespace

// ---- golden frames ----

TEST(Vkt7LinkFrames, ReadOf3FF9AtAddress1) {
    TestDriver t(1);
    t.port.Answer(GoodSoftwareAnswer());
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    ASSERT_EQ(t.port.records.size(), 1u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 03 3F F9 00 00 99 EF");
    EXPECT_EQ(t.port.records[0].capacity, 21);
    EXPECT_TRUE(t.port.logs.empty());
    EXPECT_EQ(t->lastAnswerLength, 21);
}

TEST(Vkt7LinkFrames, SessionOpenWriteAtAddress1) {
    TestDriver t(1);
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    const uint8_t data[4] = {0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data, 4, 0xCC), 0);
    ASSERT_EQ(t.port.records.size(), 1u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 10 3F FF 00 00 CC 80 00 00 00 60 A8");
    EXPECT_EQ(t.port.records[0].capacity, 8);  // a write's answer is always 8 bytes
}

TEST(Vkt7LinkFrames, CrcIsModbusLowByteFirst) {
    uint8_t crc[2];
    const Bytes body = Hex("01 03 3F F9 00 00");
    VKT7::VKT7_CRC16(body.data(), static_cast<int32_t>(body.size()), crc);
    EXPECT_EQ(crc[0], 0x99);
    EXPECT_EQ(crc[1], 0xEF);
    const Bytes open = Hex("01 10 3F FF 00 00 CC 80 00 00 00");
    VKT7::VKT7_CRC16(open.data(), static_cast<int32_t>(open.size()), crc);
    EXPECT_EQ(crc[0], 0x60);
    EXPECT_EQ(crc[1], 0xA8);
}

TEST(Vkt7LinkFrames, CheckCrcLooksAtTheTwoBytesAfterTheFirstN) {
    TestDriver t(1);
    const Bytes answer = WriteAnswer(1, 0x3FFD);
    std::memcpy(t.receive, answer.data(), answer.size());
    EXPECT_TRUE(t->VKT7_CheckCRC(6));
    EXPECT_FALSE(t->VKT7_CheckCRC(5));
    EXPECT_FALSE(t->VKT7_CheckCRC(-1));
    EXPECT_FALSE(t->VKT7_CheckCRC(264));  // would read past the buffer
}

TEST(Vkt7LinkFrames, PreambleIsSetAtConstructionAndNeverRewritten) {
    TestDriver t(7);
    EXPECT_EQ(t.send[0], 0xFF);
    EXPECT_EQ(t.send[1], 0xFF);
    t.port.Answer(WriteAnswer(7, 0x3FFD));
    const uint8_t data[2] = {4, 0};
    EXPECT_EQ(t->VKT7_Write(0x3FFD, 0, data, 2, 2), 0);
    EXPECT_EQ(ToHex(t.port.records[0].tx), ToHex(RepairCrc(Hex("FF FF 07 10 3F FD 00 00 02 04 00 00 00"), 2)));
    EXPECT_EQ(t.send[0], 0xFF);
    EXPECT_EQ(t.send[1], 0xFF);
}

TEST(Vkt7LinkFrames, RegisterAndCountHighBytesByArithmeticShift) {
    TestDriver t(1);
    t.port.Answer(ReadAnswer(1, Hex("00")));
    t->VKT7_Read(0x1234, 0x0102, 0);
    EXPECT_EQ(ToHex(t.port.records[0].tx), ToHex(RepairCrc(Hex("FF FF 01 03 12 34 01 02 00 00"), 2)));
}

TEST(Vkt7LinkFrames, NullBuffersLogTheConstructorLineAndNeverExchange) {
    FakePort port;
    VKT7 driver(1000, 265, nullptr, nullptr, 3, nullptr, port.port());
    ASSERT_EQ(port.logs.size(), 1u);
    EXPECT_EQ(port.logs[0], "VKT7 Ctor: Send or Receive buffer allocation error!\n");
    EXPECT_EQ(driver.VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_TRUE(port.records.empty());
}

// ---- answers that pass ----

TEST(Vkt7LinkChecks, ExpectedLengthZeroAllowsUpTo265BytesCheckedAgainstByte2) {
    TestDriver t(1);
    const Bytes answer = ReadAnswer(1, Bytes(250, 0x11));
    t.port.Answer(answer);
    EXPECT_EQ(t->VKT7_Read(0x3FFC, 0, 0), 0);
    EXPECT_EQ(t.port.records[0].capacity, 265);
    EXPECT_EQ(t->lastAnswerLength, 255);
}

TEST(Vkt7LinkChecks, ShorterThanExpectedButConsistentPasses) {
    TestDriver t(1);
    t.port.Answer(ReadAnswer(1, Hex("01 02 03")));
    EXPECT_EQ(t->VKT7_Read(0x3FFE, 0, 101), 0);
    EXPECT_TRUE(t.port.logs.empty());
}

// ---- exception answers ----

TEST(Vkt7LinkChecks, ReadExceptionReturnsItsCodeAndLeavesBreakFlagClear) {
    TestDriver t(1);
    t.port.Answer(ExceptionAnswer(1, 0x83, 3));
    EXPECT_EQ(t->VKT7_Read(0x3FF6, 0, 17), 3);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{kVerifyRead});
    EXPECT_EQ(t->BreakFlag, 0);
    EXPECT_EQ(t.port.records.size(), 1u);  // no drain, no further attempt
}

TEST(Vkt7LinkChecks, ExceptionCodeIsTakenAsASignedByte) {
    TestDriver t(1);
    t.port.Answer(ExceptionAnswer(1, 0x83, 0x85));
    EXPECT_EQ(t->VKT7_Read(0x3FF6, 0, 17), -123);
    EXPECT_EQ(t->BreakFlag, 1);  // a negative result
}

TEST(Vkt7LinkChecks, WriteTo3FFFAnsweredWithAnExceptionIsSuccess) {
    TestDriver t(1);
    t.port.Answer(ExceptionAnswer(1, 0x90, 2));
    const uint8_t data[4] = {0x80, 0, 0, 0};
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data, 4, 0xCC), 0);
    EXPECT_TRUE(t.port.logs.empty());
}

TEST(Vkt7LinkChecks, WriteExceptionToOtherRegistersReturnsTheCode) {
    TestDriver t(1);
    t.port.Answer(ExceptionAnswer(1, 0x90, 3));
    const uint8_t data[4] = {1, 2, 24, 5};
    EXPECT_EQ(t->VKT7_Write(0x3FFB, 0, data, 4, 4), 3);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{kVerifyWrite});
    EXPECT_EQ(t->BreakFlag, 0);
}

// ---- every failing check alone: the other bytes stay right (CRC repaired) ----

TEST(Vkt7LinkChecks, TooSmallDrainsAndTriesAgain) {
    TestDriver t(1, 3);
    t.port.Answer(Hex("01 03 00 00 00"));  // five bytes
    t.port.Answer(GoodSoftwareAnswer());
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{kTooSmall});
    ASSERT_EQ(t.port.records.size(), 3u);  // attempt, drain, attempt
    EXPECT_TRUE(t.port.records[1].tx.empty());
    EXPECT_EQ(t.port.records[1].capacity, 265);
    EXPECT_EQ(t.port.records[2].tx, t.port.records[0].tx);
}

TEST(Vkt7LinkChecks, SilenceOnEveryAttemptGivesMinusOne) {
    TestDriver t(1, 3);
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_EQ(t.port.Requests().size(), 3u);
    EXPECT_EQ(t.port.DrainCount(), 3u);
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{kTooSmall, kTooSmall, kTooSmall, ReadError(-1)}));
    EXPECT_EQ(t->BreakFlag, 1);
}

TEST(Vkt7LinkChecks, EachFailedCheckHasItsLineAndResultAndDrains) {
    struct Case {
        Bytes answer;
        bool write;  // a write to 0x3FFD, else a read of 0x3FF9 (21 bytes expected)
        int32_t result;
        const char* line;
    };
    auto changed = [](Bytes frame, size_t index, uint8_t value) {
        frame[index] = value;
        return RepairCrc(frame);  // only the one check fails
    };
    Bytes badCrc = GoodSoftwareAnswer();
    badCrc.back() ^= 0xFF;
    Bytes longer = ReadAnswer(1, Hex("01 02"));
    longer.push_back(0x00);  // the CRC over byte 2 + 3 bytes is right; one byte follows
    Bytes badException = ExceptionAnswer(1, 0x83, 3);
    badException[4] ^= 0x01;
    Bytes badConfirmation = WriteAnswer(1, 0x3FFD);
    badConfirmation[6] ^= 0x10;
    const Case cases[] = {
        {changed(GoodSoftwareAnswer(), 0, 2), false, -3, kWrongAddress},
        {badCrc, false, -4, kWrongChecksum},
        {badException, false, -4, kWrongChecksum},
        {longer, false, -4, kWrongLength},
        {ReadAnswer(1, Bytes(20, 0)), false, -4, kWrongLength},  // 25 bytes, 21 expected
        {changed(GoodSoftwareAnswer(), 1, 0x04), false, -3, kWrongCommand},
        {changed(WriteAnswer(1, 0x3FFD), 3, 0xFC), true, -3, kWrongRegAddr},
        {changed(WriteAnswer(1, 0x3FFD), 5, 0x01), true, -3, kWrongRegCount},
        {badConfirmation, true, -4, kWrongChecksum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(c.answer));
        TestDriver t(1, 1);
        t.port.ignoreCapacity = true;  // our host never delivers more than asked; another host might
        t.port.Answer(c.answer);
        const uint8_t data[2] = {4, 0};
        const int32_t result = c.write ? t->VKT7_Write(0x3FFD, 0, data, 2, 2) : t->VKT7_Read(0x3FF9, 0, 21);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(t.port.logs, (std::vector<std::string>{c.line, c.write ? WriteError(c.result) : ReadError(c.result)}));
        EXPECT_EQ(t.port.DrainCount(), 1u);
        EXPECT_EQ(t->BreakFlag, 1);
    }
}

TEST(Vkt7LinkChecks, OnlyTheBytesReceivedAreChecked) {
    TestDriver t(1, 1);
    const uint8_t data[2] = {4, 0};
    // The receive buffer still holds a whole confirmation and a whole read answer:
    // the CRC bytes left over from them must not complete a shorter answer.
    const Bytes confirmation = WriteAnswer(1, 0x3FFD);
    t.port.Answer(confirmation);
    ASSERT_EQ(t->VKT7_Write(0x3FFD, 0, data, 2, 2), 0);
    t.port.Answer(Bytes(confirmation.begin(), confirmation.end() - 1));
    EXPECT_EQ(t->VKT7_Write(0x3FFD, 0, data, 2, 2), -4);

    const Bytes answer = GoodSoftwareAnswer();
    t.port.Answer(answer);
    ASSERT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    t.port.Answer(Bytes(answer.begin(), answer.end() - 2));
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -4);

    // An exception frame longer than the receive limit, from a host that ignores it.
    t.port.ignoreCapacity = true;
    Bytes longException = ExceptionAnswer(1, 0x90, 2);
    longException.resize(30, 0x00);
    t.port.Answer(longException);
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -4);
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{kWrongChecksum, WriteError(-4), kWrongChecksum, ReadError(-4),
                                                     kWrongLength, ReadError(-4)}));
}

TEST(Vkt7LinkChecks, AWriteConfirmationToAReadPassesTheLinkChecks) {
    // The link checks each answer by its own function byte; an echo of the request passes.
    TestDriver t(1, 1);
    t.port.Answer(WithCrc({1, 0x10, 0x3F, 0xF9, 0, 0}));
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
}

TEST(Vkt7LinkChecks, TheLastAttemptDecidesTheResult) {
    TestDriver t(1, 2);
    Bytes wrongAddress = GoodSoftwareAnswer();
    wrongAddress[0] = 9;
    t.port.Answer(RepairCrc(wrongAddress));
    t.port.Answer(Hex("01 03"));  // too small: -1
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{kWrongAddress, kTooSmall, ReadError(-1)}));
}

TEST(Vkt7LinkChecks, ABadAttemptThenAGoodOne) {
    TestDriver t(1, 3);
    Bytes bad = GoodSoftwareAnswer();
    bad[5] ^= 0x01;  // CRC now wrong
    t.port.Answer(bad);
    t.port.Answer(GoodSoftwareAnswer());
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{kWrongChecksum});
    EXPECT_EQ(t->BreakFlag, 0);
}

TEST(Vkt7LinkChecks, DrainResultIsIgnored) {
    TestDriver t(1, 2);
    t.port.Answer(Hex("01"));
    t.port.drains.push_back(Hex("55 55 55"));
    t.port.Answer(GoodSoftwareAnswer());
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), 0);
    EXPECT_EQ(t->lastAnswerLength, 21);
}

TEST(Vkt7LinkChecks, NegativeExchangeEndsTheRequestAtOnce) {
    TestDriver t(1, 5);
    t.port.Fail(-2);
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -2);
    EXPECT_EQ(t.port.records.size(), 1u);  // no drain, no second attempt
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{kNegative, ReadError(-2)}));
    EXPECT_EQ(t->BreakFlag, 1);
    EXPECT_EQ(t->lastAnswerLength, -2);
}

TEST(Vkt7LinkChecks, NegativeExchangeOnAWrite) {
    TestDriver t(1, 5);
    t.port.Fail(-7);
    const uint8_t data[2] = {4, 0};
    EXPECT_EQ(t->VKT7_Write(0x3FFD, 0, data, 2, 2), -7);
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{kNegative, WriteError(-7)}));
}

TEST(Vkt7LinkChecks, NoFailureChangesAddressBuffersOrAttempts) {
    TestDriver t(5, 2);
    EXPECT_EQ(t->VKT7_Read(0x3FF9, 0, 21), -1);
    EXPECT_EQ(t->address, 5);
    EXPECT_EQ(t->attempts, 2);
    EXPECT_EQ(t->sendBuffer, t.send);
    EXPECT_EQ(t->receiveBuffer, t.receive);
}

// ---- implementer's decisions: nothing outside the buffers ----

TEST(Vkt7LinkLimits, ExpectedLengthAboveTheReceiveBufferFailsWithoutExchange) {
    TestDriver t(1);
    EXPECT_EQ(t->VKT7_Read(0x3FFE, 0, 266), -4);
    EXPECT_TRUE(t.port.records.empty());
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{
                               "Driver_VKT7. VKT7_SendReceive: expected length 266 exceeds the receive buffer\n",
                               ReadError(-4)}));
    EXPECT_EQ(t->BreakFlag, 1);
}

TEST(Vkt7LinkLimits, WriteOfMoreDataThanTheSendBufferHoldsFails) {
    TestDriver t(1);
    Bytes data(255, 0);
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data.data(), 255, 255), -4);
    EXPECT_TRUE(t.port.records.empty());
    EXPECT_EQ(t.port.logs,
              std::vector<std::string>{"Driver_VKT7. VKT7_Write: 255 data bytes do not fit the send buffer\n"});
    EXPECT_EQ(t->BreakFlag, 1);
    // 254 bytes fit exactly: 11 + 254 = 265.
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_Write(0x3FFF, 0, data.data(), 254, 254), 0);
    EXPECT_EQ(t.port.records.back().tx.size(), 265u);
}
