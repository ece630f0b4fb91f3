#include <deque>

#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_link.h"

using namespace DriverVKT5;
using hostemu::EventKind;
using Lines = std::vector<std::string>;

namespace {

// Plays back scripted answers (empty: silence) on a link with the given attempts.
struct ScriptedLine {
    hostemu::Host host;
    hostemu::Device& dev = host.AddDevice("meter", "VKT5");
    std::deque<std::vector<uint8_t>> answers;
    int32_t channelResult = 0;
    Link link;

    explicit ScriptedLine(uint32_t attempts, std::deque<std::vector<uint8_t>> script = {})
        : answers(std::move(script)), link(dev.handle(), attempts) {
        dev.channel = [this](std::span<const uint8_t>, std::span<uint8_t> rx) -> int32_t {
            if (channelResult < 0 || answers.empty()) return channelResult;
            auto a = answers.front();
            answers.pop_front();
            const size_t n = std::min(a.size(), rx.size());  // the channel stops at the capacity asked
            std::copy_n(a.begin(), n, rx.begin());
            return static_cast<int32_t>(n);
        };
    }
    ExchangeResult Send(std::string_view request, int32_t expected, bool skipCount = false) {
        const auto bytes = Hex(request);
        std::copy(bytes.begin(), bytes.end(), link.tx.begin());
        return link.Exchange(static_cast<uint32_t>(bytes.size()), expected, skipCount);
    }
};

const auto kVersionAnswer = Hex("01 03 02 00 61 79 AC");

}  // namespace

TEST(Vkt5Link, CrcAndGoldenRequests) {
    std::vector<uint8_t> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0};
    AppendCrc(check.data(), 9);
    EXPECT_EQ(ToHex(check).substr(27), "37 4B");
    for (const char* golden : {"01 03 0E 00 00 01 86 E2", "01 03 0A 00 00 1C 47 DB", "01 03 0B 00 00 00 47 EE",
                               "01 03 00 38 00 00 C4 07", "01 03 81 06 00 80 8C 57", "01 04 04 02 00 0B 11 3D",
                               "01 10 0B 00 00 04 08 07 DF 00 03 00 05 00 0E 16 1F"}) {
        ScriptedLine line(1);
        line.Send(std::string_view(golden).substr(0, std::string_view(golden).size() - 6), 0);
        EXPECT_EQ(ToHex(line.dev.EventsOf(EventKind::Exchange).at(0)->tx), golden);
    }
    // The record-time answer is taken on address, function and CRC; its third byte is no count.
    ScriptedLine line(3, {kVersionAnswer, Hex("01 10 0B 00 00 04 C3 EE")});
    EXPECT_EQ(line.Send("01 03 0E 00 00 01", 2), ExchangeOk);
    EXPECT_EQ(line.link.rx[4], 0x61);
    EXPECT_EQ(line.Send("01 10 0B 00 00 04 08 07 DF 00 03 00 05 00 0E", 3, true), ExchangeOk);
    EXPECT_TRUE(line.dev.LogLines().empty());
}

TEST(Vkt5Link, EachFaultLogsAndRetries) {
    auto broken = [](size_t at, uint8_t value) {
        auto frame = kVersionAnswer;
        frame[at] = value;
        return RepairCrc(frame);
    };
    const Lines wrongId = {"ERROR: wrong answer (uncorrect Address, or Service Byte)"};
    const std::vector<std::pair<std::vector<uint8_t>, Lines>> cases = {
        {{}, {"ERROR: no answer"}},
        {Hex("01 03 02 00 61 79 AD"), {"ERROR: CRC", "ERROR: wrong answer"}},
        {Hex("01 03 02 00 61 00 79 AC"), {"ERROR: CRC", "ERROR: wrong answer"}},  // cut at the expected length
        {Hex("01"), {"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length"}},
        {Hex("01 03"), {"ERROR: Short answer", "ERROR: CRC", "ERROR: wrong answer length"}},
        {RepairCrc(Hex("01 03 02 61 00 00")), {"ERROR: wrong answer length"}},
        {Hex("01 03 02 00 79 AC"), {"ERROR: CRC", "ERROR: wrong answer length"}},
        {broken(0, 2), wrongId},
        {broken(1, 4), wrongId},
        {broken(2, 3), {"ERROR: wrong answer (uncorrect length data)"}},
    };
    for (const auto& [answer, lines] : cases) {
        ScriptedLine line(2, {answer, kVersionAnswer});
        EXPECT_EQ(line.Send("01 03 0E 00 00 01", 2), ExchangeOk) << ToHex(answer);
        EXPECT_EQ(line.dev.LogLines(), lines) << ToHex(answer);
        // The same fault on every attempt: failure after the last one, no line of its own.
        ScriptedLine always(2, {answer, answer});
        EXPECT_EQ(always.Send("01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_TRUE(always.link.IsFailed());
        EXPECT_EQ(always.dev.LogLines().size(), 2 * lines.size());
    }
}

TEST(Vkt5Link, ErrorAnswersChannelFailureBreakAndNoAttempts) {
    ScriptedLine refused(3, {Hex("01 83 02 C0 F1"), kVersionAnswer});
    EXPECT_EQ(refused.Send("01 03 0E 00 00 01", 2), ExchangeRefused);
    EXPECT_FALSE(refused.link.IsFailed());
    EXPECT_EQ(refused.dev.LogLines(), Lines{"ERROR: Get Error code"});
    EXPECT_EQ(refused.dev.EventsOf(EventKind::Exchange).size(), 1u);
    // Expecting no data, an error answer has the expected length and is not recognised.
    ScriptedLine empty(2, {Hex("01 83 02 C0 F1"), Hex("01 03 00 20 F0")});
    EXPECT_EQ(empty.Send("01 03 02 00 00 00", 0), ExchangeOk);
    EXPECT_EQ(empty.dev.LogLines(), Lines{"ERROR: wrong answer (uncorrect Address, or Service Byte)"});
    ScriptedLine failing(3);
    failing.channelResult = -2;
    EXPECT_EQ(failing.Send("01 03 0E 00 00 01", 2), ExchangeFailed);
    EXPECT_EQ(failing.dev.LogLines(), Lines{"ERROR: no init sendandrecive"});
    // No attempts, or the host's break request: nothing sent, nothing logged.
    for (bool breakFlag : {false, true}) {
        ScriptedLine line(breakFlag ? 3 : 0);
        line.dev.breakFlag = breakFlag;
        EXPECT_EQ(line.Send("01 03 0E 00 00 01", 2), ExchangeFailed);
        EXPECT_EQ(std::make_tuple(line.link.IsFailed() || breakFlag, line.dev.events.empty()), std::make_tuple(true, true));
    }
}
