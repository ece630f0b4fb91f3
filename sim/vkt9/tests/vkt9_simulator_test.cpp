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

Bytes Ask(sim::Vkt9Simulator& meter, const std::string& request) {
    const Bytes tx = Hex(request);
    Bytes rx(512);
    rx.resize(static_cast<size_t>(meter.Exchange(tx, rx)));
    return rx;
}

TEST(Vkt9Simulator, AnswersRegisterReadsLikeAModbusMeter) {
    sim::Vkt9Simulator meter;
    EXPECT_EQ(Ask(meter, "01 03 00 00 00 02 c4 0b"), Hex("01 03 04 42 8f 00 00 df a0"));  // 71.5 at 40001
    EXPECT_EQ(Ask(meter, "01 03 00 30 00 01 84 05"), Hex("01 83 02 c0 f1")) << "unmapped register";
    EXPECT_EQ(Ask(meter, "01 06 00 00 00 01 48 0a"), Hex("01 86 01 83 a0")) << "unknown function";
    EXPECT_TRUE(Ask(meter, "05 03 00 00 00 02 c5 8f").empty()) << "another meter's address";
    EXPECT_TRUE(Ask(meter, "01 03 00 00 00 02 c4 0c").empty()) << "a frame with a bad CRC";
    meter.SetErrorRegister(40002);
    EXPECT_EQ(Ask(meter, "01 03 00 00 00 02 c4 0b"), Hex("01 83 04 40 f3"));
    meter.SetErrorRegister(40002, false);
    meter.SetWrongFunction(true);
    EXPECT_EQ(Ask(meter, "01 03 00 00 00 02 c4 0b"), Hex("01 04 04 42 8f 00 00 de 17"));

    // Index registers of the hour ring: top, records held, current index.
    meter.SetWrongFunction(false);
    meter.SetRingTop(Kind::Hour, 99);
    meter.SetCurrentIndex(Kind::Hour, 7);
    meter.SetSpan(Kind::Hour, 50);
    EXPECT_EQ(Ask(meter, "01 03 00 64 00 03 44 14"), Hex("01 03 06 00 63 00 32 00 07 05 70"));
}

TEST(Vkt9Simulator, KnobsByName) {
    sim::Vkt9Simulator meter;
    std::string error;
    for (auto [name, value] : {std::pair{"address", "5"}, {"register", "40020=0x1234"}, {"float", "30010=2.5"},
                               {"error-register", "40001"}, {"ring-top", "day:9"}, {"current-index", "day:3"},
                               {"span", "day:4"}, {"record-length", "month:30"}, {"index-register", "hour:30101"},
                               {"error-record", "1:2"}, {"impossible-date", "month:1"}, {"wrong-function", "false"}})
        EXPECT_TRUE(meter.SetOption(name, value, error)) << name << ": " << error;
    EXPECT_EQ(meter.address(), 5);
    EXPECT_EQ(meter.RingTop(Kind::Day), 9);
    EXPECT_EQ(meter.CurrentIndex(Kind::Day), 3);
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
