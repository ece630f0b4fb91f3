#include <deque>

#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_link.h"

using namespace DriverVKT5;
using hostemu::EventKind;
using Lines = std::vector<std::string>;

namespace {

// A channel that plays back scripted answers; an empty answer is silence.
struct ScriptedLine {
    hostemu::Host host;
    hostemu::Device& dev = host.AddDevice("meter", "VKT5");
    std::deque<std::vector<uint8_t>> answers;
    int32_t channelResult = 0;  // negative: the channel fails

    ScriptedLine() {
        dev.channel = [this](std::span<const uint8_t>, std::span<uint8_t> rx) -> int32_t {
            if (channelResult < 0) return channelResult;
            if (answers.empty()) return 0;
            auto a = answers.front();
            answers.pop_front();
            const size_t n = std::min(a.size(), rx.size());
            std::copy_n(a.begin(), n, rx.begin());
            return static_cast<int32_t>(n);
        };
    }
    // Sends the request of hex text with the expected data length.
    ExchangeResult Send(Link& link, std::string_view request, int32_t expected, bool skipCount = false) {
        const auto bytes = Hex(request);
        std::copy(bytes.begin(), bytes.end(), link.tx.begin());
        return link.Exchange(static_cast<uint32_t>(bytes.size()), expected, skipCount);
    }
};

const char* kVersionAnswer = "01 03 02 00 61 79 AC";

}  // namespace

TEST(Vkt5Crc, MatchesModbusAndGoldenRequests) {
    std::vector<uint8_t> check(11);
    std::memcpy(check.data(), "123456789", 9);
    AppendCrc(check.data(), 9);
    EXPECT_EQ(check[9], 0x37);
    EXPECT_EQ(check[10], 0x4B);
    // Every request the driver sends, as it goes on the wire.
    for (const char* golden : {"01 03 0E 00 00 01 86 E2", "01 03 0A 00 00 1C 47 DB", "01 03 0B 00 00 00 47 EE",
                               "01 03 00 38 00 00 C4 07", "01 03 81 06 00 80 8C 57", "01 04 04 02 00 0B 11 3D",
                               "01 10 0B 00 00 04 08 07 DF 00 03 00 05 00 0E 16 1F"}) {
        auto frame = Hex(golden);
        const auto crcLow = frame[frame.size() - 2], crcHigh = frame.back();
        AppendCrc(frame.data(), frame.size() - 2);
        EXPECT_EQ(frame[frame.size() - 2], crcLow) << golden;
        EXPECT_EQ(frame.back(), crcHigh) << golden;
    }
}

TEST(Vkt5Link, ValidAnswersAndWhatIsSent) {
    ScriptedLine line;
    Link link(line.dev.handle(), 3);
    line.answers = {Hex(kVersionAnswer)};
    EXPECT_EQ(line.Send(link, "01 03 0E 00 00 01", 2), ExchangeOk);
    EXPECT_FALSE(link.IsFailed());
    ASSERT_EQ(line.dev.EventsOf(EventKind::Exchange).size(), 1u);
    EXPECT_EQ(ToHex(line.dev.EventsOf(EventKind::Exchange)[0]->tx), "01 03 0E 00 00 01 86 E2");
    EXPECT_EQ(link.rx[4], 0x61);
    // The record-time answer is taken on address, function and CRC; its third byte is no count.
    line.answers = {Hex("01 10 0B 00 00 04 C3 EE")};
    EXPECT_EQ(line.Send(link, "01 10 0B 00 00 04 08 07 DF 00 03 00 05 00 0E", 3, true), ExchangeOk);
    EXPECT_TRUE(line.dev.LogLines().empty());
}

TEST(Vkt5Link, EachFaultLogsAndRetries) {
    const auto good = Hex(kVersionAnswer);
    const auto badCrc = Hex("01 03 02 00 61 79 AD");
    auto wrongAddress = good;
    wrongAddress[0] = 2;
    auto wrongFunction = good;
    wrongFunction[1] = 4;
    auto wrongCount = good;
    wrongCount[2] = 3;
    auto shorter = good;
    shorter.erase(shorter.begin() + 4);
    struct Case {
        std::vector<uint8_t> first;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {{}, {"ERROR: no answer"}},
        {badCrc, {"ERROR: CRC", "ERROR: wrong answer"}},
        {Hex("01"), {"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length"}},
        {Hex("01 03"), {"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length"}},
        {RepairCrc(shorter), {"ERROR: wrong answer length"}},
        {Hex("01 03 02 00 79 AC"), {"ERROR: CRC", "ERROR: wrong answer length"}},
        // The channel gives no more than the expected length: the cut-off frame fails its CRC.
        {Hex("01 03 02 00 61 00 79 AC"), {"ERROR: CRC", "ERROR: wrong answer"}},
        {RepairCrc(wrongAddress), {"ERROR: wrong answer (uncorrect Address, or Service Byte)"}},
        {RepairCrc(wrongFunction), {"ERROR: wrong answer (uncorrect Address, or Service Byte)"}},
        {RepairCrc(wrongCount), {"ERROR: wrong answer (uncorrect length data)"}},
    };
    for (const auto& c : cases) {
        ScriptedLine line;
        Link link(line.dev.handle(), 2);
        line.answers = {c.first, good};
        EXPECT_EQ(line.Send(link, "01 03 0E 00 00 01", 2), ExchangeOk) << ToHex(c.first);
        EXPECT_EQ(line.dev.LogLines(), c.lines) << ToHex(c.first);
        // The same fault on every attempt: failure after the last one, no further line.
        ScriptedLine always;
        Link failing(always.dev.handle(), 2);
        always.answers = {c.first, c.first};
        EXPECT_EQ(always.Send(failing, "01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_TRUE(failing.IsFailed());
        EXPECT_EQ(always.dev.LogLines().size(), 2 * c.lines.size());
        EXPECT_EQ(link.counters().badAnswers, 1u);
        EXPECT_EQ(failing.counters().badAnswers, 2u);
        EXPECT_EQ(failing.counters().failures, 1u);
    }
}

TEST(Vkt5Link, ErrorAnswersChannelFailureBreakAndNoAttempts) {
    {  // An error answer ends the exchange at once; failed stays clear.
        ScriptedLine line;
        Link link(line.dev.handle(), 3);
        line.answers = {Hex("01 83 02 C0 F1"), Hex(kVersionAnswer)};
        EXPECT_EQ(line.Send(link, "01 03 0E 00 00 01", 2), ExchangeRefused);
        EXPECT_FALSE(link.IsFailed());
        EXPECT_EQ(line.dev.LogLines(), Lines{"ERROR: Get Error code"});
        EXPECT_EQ(link.counters().refusals, 1u);
        EXPECT_EQ(link.counters().badAnswers, 0u);
        EXPECT_EQ(line.dev.EventsOf(EventKind::Exchange).size(), 1u);
    }
    {  // Expecting no data, an error answer has the expected length and is not recognised.
        ScriptedLine line;
        Link link(line.dev.handle(), 2);
        line.answers = {Hex("01 83 02 C0 F1"), Hex("01 03 00 20 F0")};
        EXPECT_EQ(line.Send(link, "01 03 02 00 00 00", 0), ExchangeOk);
        EXPECT_EQ(line.dev.LogLines(), Lines{"ERROR: wrong answer (uncorrect Address, or Service Byte)"});
    }
    {  // A failing channel: one line, no further attempt.
        ScriptedLine line;
        Link link(line.dev.handle(), 3);
        line.channelResult = -2;
        EXPECT_EQ(line.Send(link, "01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_EQ(line.dev.LogLines(), Lines{"ERROR: no init sendandrecive"});
    }
    {  // The host's break request and a retry count of 0 send nothing and log nothing.
        ScriptedLine line;
        Link noAttempts(line.dev.handle(), 0);
        EXPECT_EQ(line.Send(noAttempts, "01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_TRUE(noAttempts.IsFailed());
        line.dev.breakFlag = true;
        Link broken(line.dev.handle(), 3);
        EXPECT_EQ(line.Send(broken, "01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_TRUE(line.dev.EventsOf(EventKind::Exchange).empty());
        EXPECT_TRUE(line.dev.LogLines().empty());
    }
}
