// Register answers and the knobs by name; the rings and records are read through
// the driver's tests.
#include <gtest/gtest.h>

#include "sim/vkt9/vkt9_simulator.h"

using Kind = sim::Vkt9Simulator::ArchiveKind;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(Vkt9Simulator, AnswersRegisterReadsAndTakesItsKnobsByName) {
    sim::Vkt9Simulator meter;
    std::string error;
    auto ask = [&](const char* request, std::vector<std::pair<const char*, const char*>> knobs = {}) {
        for (auto [name, value] : knobs) EXPECT_TRUE(meter.SetOption(name, value, error)) << name << ": " << error;
        Bytes rx(512);
        rx.resize(static_cast<size_t>(meter.Exchange(Hex(request), rx)));
        return rx;
    };
    const char* read = "01 03 00 00 00 02 c4 0b";  // 71.5 at 40001
    EXPECT_EQ(ask(read), Hex("01 03 04 42 8f 00 00 df a0"));
    EXPECT_EQ(ask("01 03 00 30 00 01 84 05"), Hex("01 83 02 c0 f1")) << "unmapped register";
    EXPECT_EQ(ask("01 06 00 00 00 01 48 0a"), Hex("01 86 01 83 a0")) << "unknown function";
    EXPECT_TRUE(ask("01 03 00 00 00 02 c4 0c").empty()) << "a frame with a bad CRC";
    EXPECT_TRUE(ask(read, {{"address", "5"}}).empty()) << "another meter's address";
    EXPECT_EQ(ask("05 03 00 00 00 02 c5 8f", {{"error-register", "40002"}}), Hex("05 83 04 01 32"));
    meter.SetErrorRegister(40002, false);
    EXPECT_EQ(ask("05 03 00 00 00 02 c5 8f", {{"wrong-function", "true"}}), Hex("05 04 04 42 8f 00 00 9b d7"));
    // Index registers of the hour ring: top, records held, current index.
    EXPECT_EQ(ask("05 03 00 64 00 03 45 90", {{"wrong-function", "false"}, {"ring-top", "hour:99"}, {"current-index", "hour:7"}, {"span", "hour:50"}}),
              Hex("05 03 06 00 63 00 32 00 07 37 b0"));
    for (auto [name, value] : {std::pair{"register", "40020=0x1234"}, {"float", "30010=2.5"}, {"record-length", "month:30"},
                               {"index-register", "hour:30101"}, {"error-record", "1:2"}, {"impossible-date", "month:1"},
                               {"ring-top", "day:9"}, {"current-index", "day:3"}, {"span", "day:4"}})
        EXPECT_TRUE(meter.SetOption(name, value, error)) << name << ": " << error;
    EXPECT_EQ(std::pair(meter.RingTop(Kind::Day), meter.CurrentIndex(Kind::Day)), std::pair(uint16_t{9}, uint16_t{3}));
    EXPECT_TRUE(meter.Record(Kind::Day, 9).has_value());
    EXPECT_FALSE(meter.Record(Kind::Day, 8).has_value()) << "outside the span of 4";
    for (auto [name, value] : {std::pair{"address", "300"}, {"register", "50000=1"}, {"current-index", "day:10"},
                               {"span", "week:1"}, {"wrong-function", "maybe"}, {"no-such-knob", "1"}}) {
        error.clear();
        EXPECT_FALSE(meter.SetOption(name, value, error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    EXPECT_GE(meter.Options().size(), 12u + 9u);
}

}  // namespace
