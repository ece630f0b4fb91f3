#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"
#include "sim/meter_simulator.h"

namespace {

// Answers every request with address, the request's length and a CRC.
class EchoMeter : public sim::MeterSimulator {
public:
    std::vector<std::string> modelOptions;

protected:
    void Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) override {
        out.push_back(0x07);
        out.push_back(static_cast<uint8_t>(request.size()));
        const uint16_t crc = Crc16Modbus(out.data(), 2);
        out.push_back(static_cast<uint8_t>(crc & 0xFF));
        out.push_back(static_cast<uint8_t>(crc >> 8));
    }
    size_t AddressOffset() const override { return 0; }
    bool SetModelOption(std::string_view name, std::string_view value, std::string& error) override {
        if (name != "model-knob") return MeterSimulator::SetModelOption(name, value, error);
        modelOptions.emplace_back(value);
        return true;
    }
};

std::vector<uint8_t> Ask(sim::MeterSimulator& meter, size_t requestSize, size_t capacity) {
    std::vector<uint8_t> request(requestSize, 0x11);
    std::vector<uint8_t> rx(capacity);
    const int32_t n = meter.Exchange(request, rx);
    if (n < 0) return {0xEE, static_cast<uint8_t>(-n)};
    rx.resize(static_cast<size_t>(n));
    return rx;
}

}  // namespace

TEST(MeterSimulatorLine, AnswersQueueLikeALine) {
    EchoMeter meter;
    const auto whole = Ask(meter, 3, 16);
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_TRUE(CheckCrc16(whole.data(), whole.size()));
    EXPECT_EQ(whole[1], 3);

    // What does not fit stays on the line for the next read.
    EXPECT_EQ(Ask(meter, 5, 3).size(), 3u);
    const auto rest = Ask(meter, 0, 16);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(Ask(meter, 0, 16).size(), 0u);  // nothing more: silence
    EXPECT_EQ(meter.requests(), 2u);
}

TEST(MeterSimulatorLine, FaultsChangeTheAnswerAsConfigured) {
    EchoMeter meter;
    std::string error;
    ASSERT_TRUE(meter.SetOption("truncate", "1", error));
    EXPECT_EQ(Ask(meter, 3, 16).size(), 3u);
    ASSERT_TRUE(meter.SetOption("truncate", "0", error));
    ASSERT_TRUE(meter.SetOption("extra-bytes", "2", error));
    auto longer = Ask(meter, 3, 16);
    ASSERT_EQ(longer.size(), 6u);
    EXPECT_EQ(longer[5], 0x55);
    ASSERT_TRUE(meter.SetOption("extra-bytes", "0", error));

    ASSERT_TRUE(meter.SetOption("corrupt-crc", "true", error));
    auto corrupt = Ask(meter, 3, 16);
    EXPECT_FALSE(CheckCrc16(corrupt.data(), corrupt.size()));
    ASSERT_TRUE(meter.SetOption("corrupt-crc", "false", error));

    ASSERT_TRUE(meter.SetOption("wrong-address", "on", error));
    auto moved = Ask(meter, 3, 16);
    EXPECT_EQ(moved[0], 0x08);
    EXPECT_TRUE(CheckCrc16(moved.data(), moved.size()));  // a well-formed answer from someone else
    ASSERT_TRUE(meter.SetOption("wrong-address", "off", error));

    // Faults for the next answer only, then the meter recovers.
    ASSERT_TRUE(meter.SetOption("silence", "1", error));
    ASSERT_TRUE(meter.SetOption("fault-count", "1", error));
    EXPECT_TRUE(Ask(meter, 3, 16).empty());
    EXPECT_EQ(Ask(meter, 3, 16).size(), 4u);

    ASSERT_TRUE(meter.SetOption("channel-result", "-3", error));
    EXPECT_EQ(Ask(meter, 3, 16), (std::vector<uint8_t>{0xEE, 3}));
}

TEST(MeterSimulatorOptions, BadNamesAndValuesAreRefusedWithAMessage) {
    EchoMeter meter;
    std::string error;
    EXPECT_FALSE(meter.SetOption("silence", "maybe", error));
    EXPECT_NE(error.find("silence"), std::string::npos);
    EXPECT_FALSE(meter.SetOption("truncate", "3x", error));
    EXPECT_FALSE(meter.SetOption("truncate", "99999999999", error));
    EXPECT_FALSE(meter.SetOption("clock", "yesterday", error));
    EXPECT_FALSE(meter.SetOption("no-such-knob", "1", error));
    EXPECT_NE(error.find("no-such-knob"), std::string::npos);
    EXPECT_TRUE(meter.SetOption("model-knob", "x", error));
    EXPECT_EQ(meter.modelOptions, (std::vector<std::string>{"x"}));
    EXPECT_GE(meter.Options().size(), 9u);

    int64_t v = 0;
    EXPECT_TRUE(sim::ParseInt("0x3FF9", v));
    EXPECT_EQ(v, 0x3FF9);
    EXPECT_TRUE(sim::ParseInt("-12", v));
    EXPECT_EQ(v, -12);
    EXPECT_FALSE(sim::ParseInt("", v));
    EXPECT_FALSE(sim::ParseInt("0x", v));
}

TEST(MeterSimulatorClock, FixedUnlessSetRunning) {
    namespace pt = boost::posix_time;
    EchoMeter meter;
    std::string error;
    ASSERT_TRUE(meter.SetOption("clock", "2024-12-31T23:30:00", error));
    EXPECT_EQ(meter.clock().Now(), pt::time_from_string("2024-12-31 23:30:00"));
    meter.clock().Advance(pt::hours(1));
    EXPECT_EQ(meter.clock().Now(), pt::time_from_string("2025-01-01 00:30:00"));
    EXPECT_FALSE(meter.clock().running());
    ASSERT_TRUE(meter.SetOption("clock-running", "true", error));
    EXPECT_TRUE(meter.clock().running());
    EXPECT_GE(meter.clock().Now(), pt::time_from_string("2025-01-01 00:30:00"));
}
