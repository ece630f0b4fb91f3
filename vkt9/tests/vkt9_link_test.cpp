#include <gtest/gtest.h>

#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using DriverVKT9::Protocol;

namespace {

struct LinkTest : ::testing::Test {
    HostFixture fx;
    ScriptedLine line;
    std::unique_ptr<Protocol> p = std::make_unique<Protocol>();
    void SetUp() override {
        fx.device.channel = [this](auto tx, auto rx) { return line(tx, rx); };
        p->device = fx.handle();
        p->address = 1;
        p->attempts = 3;
    }
    // Writes a request into tx as the cycles do.
    void Request(const std::string& hex) {
        const auto bytes = Hex(hex);
        std::copy(bytes.begin(), bytes.end(), p->tx.begin());
    }
};

const char* kRead = "01 03 08 00 01 00 02 00 03 00 04 0d 14";  // answer to 01 03 00 09 00 04

TEST_F(LinkTest, GoldenRequestsOfTheThreeKinds) {
    line.answers = {Hex(kRead), Hex("01 03 06 00 63 00 64 00 05 64 a1"), {}};
    p->ReadBlock(DriverVKT9::RequestBlock{DriverVKT9::FunctionHolding, 9, 4, 0});
    DriverVKT9::Archive archive;
    archive.function = DriverVKT9::FunctionHolding;
    archive.register_ = 100;
    archive.LengthByteAnswer = 24;
    EXPECT_EQ(p->ReadArchiveIndex(archive), 5);
    EXPECT_EQ(archive.ringTop, 99);
    EXPECT_FALSE(p->ReadArchiveRecord(archive, 97));
    EXPECT_EQ(line.requests, (std::vector<std::vector<uint8_t>>{Hex("01 03 00 09 00 04 94 0b"), Hex("01 03 00 64 00 03 44 14"),
                                                                Hex("01 41 00 38 61 00 01 99 af")}));
    EXPECT_EQ(fx.Logs(), (Lines{"ERROR: no answer", "Error while reading the archive"}));
}

TEST_F(LinkTest, EndsAtOnceWithoutAttemptsOnSilenceAndOnAFailedLine) {
    p->attempts = 0;
    Request("01 03 00 09 00 04");
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeFailed);
    EXPECT_TRUE(line.requests.empty());

    p->attempts = 3;
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeFailed);
    EXPECT_EQ(line.requests.size(), 1u) << "silence is not retried";

    fx.device.channel = [](auto, auto) { return -2; };
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeFailed);
    EXPECT_EQ(fx.Logs(), (Lines{"ERROR: no answer", "ERROR: no init sendandrecive"}));
}

TEST_F(LinkTest, EachBrokenAnswerIsRetriedWithItsOwnLine) {
    auto good = Hex(kRead);
    const auto badCrc = Hex("01 03 08 00 01 00 02 00 03 00 04 0d 15");
    auto badAddress = good;
    badAddress[0] = 2;
    auto badFunction = good;
    badFunction[1] = 4;
    auto badCount = good;
    badCount[2] = 6;
    line.answers = {{0x01, 0x03}, badCrc, RepairCrc(badAddress), RepairCrc(badFunction), RepairCrc(badCount),
                    Hex("01 03 06 00 01 00 02 00 03 8c 48"), good};
    p->attempts = 7;
    Request("01 03 00 09 00 04");
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeOk);
    EXPECT_EQ(line.requests.size(), 7u);
    EXPECT_EQ(fx.Logs(), (Lines{"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length",  //
                                "ERROR: CRC", "ERROR: wrong answer",                               //
                                "ERROR: wrong answer (uncorrect Address, or Service Byte)",        //
                                "ERROR: wrong answer (uncorrect Address, or Service Byte)",        //
                                "ERROR: wrong answer (uncorrect length data)",                     //
                                "ERROR: CRC", "ERROR: wrong answer length"}));
    // Attempts run out without a further line.
    fx.device.ClearEvents();
    line.answers = {badCrc, badCrc, badCrc};
    p->attempts = 3;
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeFailed);
    EXPECT_EQ(fx.Logs().size(), 6u);
}

TEST_F(LinkTest, ErrorAnswersEndAnExchangeAndShortRecordsAreTakenWhenSound) {
    // An error answer to either kind; then a record whose third byte differs and that is shorter than expected.
    line.answers = {Hex("01 83 02 c0 f1"), RepairCrc(Hex("01 c1 02 00 00")), RepairCrc(Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00")),
                    Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00")};
    Request("01 03 00 09 00 04");
    EXPECT_EQ(p->Exchange(6, 8, false), DriverVKT9::ExchangeErrorAnswer);
    Request("01 41 00 38 61 00 01");
    EXPECT_EQ(p->Exchange(7, 29, true), DriverVKT9::ExchangeErrorAnswer);
    EXPECT_EQ(p->Exchange(7, 29, true), DriverVKT9::ExchangeOk);
    EXPECT_EQ(p->rxLength, 13);
    EXPECT_EQ(p->Exchange(7, 29, true), DriverVKT9::ExchangeFailed);
    EXPECT_EQ(fx.Logs(), (Lines{"ERROR: Get Error code", "ERROR: Get Error code", "WARNING: incomplete answer",  //
                                "ERROR: CRC", "WARNING: incomplete answer", "ERROR: CRC",  //
                                "ERROR: wrong answer", "ERROR: no answer"}));
}

}  // namespace
