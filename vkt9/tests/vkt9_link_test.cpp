#include <gtest/gtest.h>

#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

struct LinkTest : ::testing::Test, HostFixture {
    ScriptedLine line;
    std::unique_ptr<Protocol> p = std::make_unique<Protocol>();
    void SetUp() override {
        device.channel = [this](auto tx, auto rx) { return line(tx, rx); };
        p->device = handle();
        p->address = 1;
    }
};

const Bytes kRead = Hex("01 03 08 00 01 00 02 00 03 00 04 0d 14");  // answer to 01 03 00 09 00 04

TEST_F(LinkTest, GoldenRequestsOfTheThreeKinds) {
    p->attempts = 3;
    line.answers = {kRead, Hex("01 03 06 00 63 00 64 00 05 64 a1"), {}};
    p->ReadBlock(RequestBlock{FunctionHolding, 9, 4, 0});
    Archive archive;
    archive.function = FunctionHolding;
    archive.register_ = 100;
    archive.LengthByteAnswer = 24;
    EXPECT_EQ(p->ReadArchiveIndex(archive), 5);
    EXPECT_EQ(archive.ringTop, 99);
    EXPECT_FALSE(p->ReadArchiveRecord(archive, 97));
    EXPECT_EQ(line.requests, (std::vector<Bytes>{Hex("01 03 00 09 00 04 94 0b"), Hex("01 03 00 64 00 03 44 14"),
                                                 Hex("01 41 00 38 61 00 01 99 af")}));
    EXPECT_EQ(Logs(), (Lines{"ERROR: no answer", "Error while reading the archive"}));
}

TEST_F(LinkTest, EveryOutcomeOfAnExchangeWithItsLines) {
    auto changed = [](size_t at, uint8_t byte) { Bytes b = kRead; b[at] = byte; return RepairCrc(b); };
    const Bytes badCrc = Hex("01 03 08 00 01 00 02 00 03 00 04 0d 15");
    const Bytes shortRecord = RepairCrc(Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00"));  // third byte not compared
    const Lines crc{"ERROR: CRC", "ERROR: wrong answer"};
    const std::string wrongHead = "ERROR: wrong answer (uncorrect Address, or Service Byte)";
    struct Case { uint32_t attempts; bool record; std::vector<Bytes> answers; int32_t lineResult; int result; size_t requests; Lines logs; };
    for (const Case& c : std::vector<Case>{
             {0, false, {kRead}, 0, ExchangeFailed, 0, {}},
             {3, false, {}, 0, ExchangeFailed, 1, {"ERROR: no answer"}},
             {3, false, {kRead}, -2, ExchangeFailed, 1, {"ERROR: no init sendandrecive"}},
             {7, false, {{1, 3}, badCrc, changed(0, 2), changed(1, 4), changed(2, 6), Hex("01 03 06 00 01 00 02 00 03 8c 48"), kRead}, 0,
              ExchangeOk, 7, {"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length", crc[0], crc[1], wrongHead, wrongHead,
                              "ERROR: wrong answer (uncorrect length data)", "ERROR: CRC", "ERROR: wrong answer length"}},
             {3, false, {badCrc, badCrc, badCrc}, 0, ExchangeFailed, 3, {crc[0], crc[1], crc[0], crc[1], crc[0], crc[1]}},
             {3, false, {Hex("01 83 02 c0 f1"), kRead}, 0, ExchangeErrorAnswer, 1, {"ERROR: Get Error code"}},
             {3, true, {RepairCrc(Hex("01 c1 02 00 00"))}, 0, ExchangeErrorAnswer, 1, {"ERROR: Get Error code"}},
             {3, true, {shortRecord}, 0, ExchangeOk, 1, {"WARNING: incomplete answer"}},
             {3, true, {Hex("01 41 ff 38 61 00 01 18 03 05 0a 00 00")}, 0, ExchangeFailed, 2,
              {"ERROR: CRC", "WARNING: incomplete answer", crc[0], crc[1], "ERROR: no answer"}}}) {
        SCOPED_TRACE(testing::Message() << "case with " << c.requests << " requests, result " << c.result);
        device.ClearEvents();
        line = ScriptedLine{{c.answers.begin(), c.answers.end()}, {}};
        if (c.lineResult < 0) device.channel = [&c](auto, auto) { return c.lineResult; };
        const Bytes request = Hex(c.record ? "01 41 00 38 61 00 01" : "01 03 00 09 00 04");
        std::copy(request.begin(), request.end(), p->tx.begin());
        p->attempts = c.attempts;
        EXPECT_EQ(p->Exchange(static_cast<unsigned>(request.size()), c.record ? 29 : 8, c.record), c.result);
        EXPECT_EQ(Exchanges(), c.requests);
        if (c.result == ExchangeOk && c.record) {
            EXPECT_EQ(p->rxLength, 13);
        }
        EXPECT_EQ(Logs(), c.logs);
        SetUp();
    }
}

}  // namespace
