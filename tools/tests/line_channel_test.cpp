#include "tools/line_channel.h"

#include <gtest/gtest.h>

#include "tools/tests/fake_meter.h"

namespace tools {
namespace {

using testing::FakeMeter;

struct Probe {
    std::vector<std::string> notes;
    bool interrupt = false;
    LineHooks hooks() {
        return {[this] { return interrupt; }, [this](const std::string& t) { notes.push_back(t); }};
    }
    bool Noted(const std::string& part) const {
        for (const auto& n : notes)
            if (n.find(part) != std::string::npos) return true;
        return false;
    }
};

std::vector<uint8_t> Ask(LineChannel& line, uint8_t request, size_t capacity, int32_t& result) {
    std::vector<uint8_t> rx(capacity);
    const uint8_t tx[] = {request, 0x00};
    result = line.Exchange(request == 0 ? std::span<const uint8_t>() : std::span<const uint8_t>(tx), rx);
    rx.resize(result > 0 ? static_cast<size_t>(result) : 0);
    return rx;
}

// Generous gap: these tests must not depend on the machine's speed.
const LineTiming kTiming{std::chrono::milliseconds(300), std::chrono::milliseconds(150)};

TEST(ToolsLineChannel, TcpFramesAnswersByGapAndReceiveLimit) {
    boost::asio::io_context io;
    FakeMeter meter;
    Probe probe;
    ChannelConfig config = ParseChannel("tcp://127.0.0.1:" + std::to_string(meter.port()));
    auto line = MakeLineChannel(io, config, kTiming, probe.hooks());
    int32_t r = 0;

    // Unknown length: everything up to the gap.
    EXPECT_EQ(Ask(*line, testing::kFive, 64, r), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(r, 5);
    EXPECT_TRUE(probe.Noted("connected to 127.0.0.1"));

    // Known length: stops at the limit; the rest waits on the line.
    EXPECT_EQ(Ask(*line, testing::kTen, 4, r), (std::vector<uint8_t>{0xB0, 0xB1, 0xB2, 0xB3}));
    EXPECT_EQ(Ask(*line, 0, 64, r), (std::vector<uint8_t>{0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9}));

    // Two writes without a gap are one answer.
    EXPECT_EQ(Ask(*line, testing::kTwoWrites, 64, r), (std::vector<uint8_t>{0xC0, 0xC1, 0xC2, 0xC3, 0xC4}));

    // A gap ends the answer even though more comes later.
    EXPECT_EQ(Ask(*line, testing::kPause, 64, r), (std::vector<uint8_t>{0xD0, 0xD1, 0xD2}));
    meter.Go();
    EXPECT_EQ(Ask(*line, 0, 2, r), (std::vector<uint8_t>{0xD3, 0xD4}));

    // Silence.
    Ask(*line, testing::kSilent, 64, r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(line->connects(), 1u);
    EXPECT_EQ(line->drops(), 0u);
}

TEST(ToolsLineChannel, TcpSurvivesADroppedConnection) {
    boost::asio::io_context io;
    FakeMeter meter;
    Probe probe;
    auto line =
        MakeLineChannel(io, ParseChannel("tcp://127.0.0.1:" + std::to_string(meter.port())), kTiming, probe.hooks());
    int32_t r = 0;
    // Hung up while idle: the next request goes out again on a new connection.
    EXPECT_EQ(Ask(*line, testing::kFiveThenHangUp, 64, r).size(), 5u);
    EXPECT_EQ(Ask(*line, testing::kFive, 64, r).size(), 5u);
    EXPECT_EQ(line->drops(), 1u);
    EXPECT_EQ(line->connects(), 2u);
    EXPECT_TRUE(probe.Noted("line dropped"));

    // Hung up on the request itself, on the old connection and on the new one.
    Ask(*line, testing::kHangUp, 64, r);
    EXPECT_EQ(r, kLineDown);
    EXPECT_EQ(line->drops(), 3u);
    EXPECT_EQ(Ask(*line, testing::kFive, 64, r).size(), 5u);
    EXPECT_EQ(line->connects(), 4u);
    EXPECT_EQ(meter.accepted(), 4);

    // Asked to stop: nothing more is sent.
    const int before = meter.requests();
    probe.interrupt = true;
    Ask(*line, testing::kFive, 64, r);
    EXPECT_EQ(r, kInterrupted);
    probe.interrupt = false;
    EXPECT_EQ(Ask(*line, testing::kFive, 64, r).size(), 5u);
    EXPECT_EQ(meter.requests(), before + 1);
}

TEST(ToolsLineChannel, TcpRefusedIsALineFailure) {
    boost::asio::io_context io;
    // A port bound but not listening refuses connections, and no one else can take it.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
    const uint16_t port = ntohs(addr.sin_port);
    Probe probe;
    auto line = MakeLineChannel(io, ParseChannel("tcp://127.0.0.1:" + std::to_string(port)), kTiming, probe.hooks());
    int32_t r = 0;
    Ask(*line, testing::kFive, 64, r);
    EXPECT_EQ(r, kLineDown);
    EXPECT_TRUE(probe.Noted("cannot connect to 127.0.0.1"));
    EXPECT_EQ(line->connects(), 0u);
    ::close(holder);
}

TEST(ToolsLineChannel, SerialAppliesTheSettingsAndExchanges) {
    boost::asio::io_context io;
    FakeMeter meter(true);
    Probe probe;
    auto line = MakeLineChannel(io, ParseChannel("serial://" + meter.path() + "?baud=19200&parity=even&stop=2"),
                                kTiming, probe.hooks());
    int32_t r = 0;
    EXPECT_EQ(Ask(*line, testing::kFive, 64, r).size(), 5u);
    EXPECT_TRUE(probe.Noted("opened " + meter.path() + " at 19200 8E2")) << (probe.notes.empty() ? "" : probe.notes[0]);
    // The kernel holds what was applied, whoever asks. A pseudo-terminal always
    // reports 8 data bits without parity, so only the rate and stop bits show.
    EXPECT_EQ(ReadBackSerialSettings(meter.slaveFd()), "19200 8N2");
    EXPECT_EQ(Ask(*line, testing::kTen, 10, r).size(), 10u);

    auto missing = MakeLineChannel(io, ParseChannel("serial:///dev/no-such-port"), kTiming, probe.hooks());
    Ask(*missing, testing::kFive, 64, r);
    EXPECT_EQ(r, kLineDown);
    EXPECT_TRUE(probe.Noted("cannot open /dev/no-such-port"));
}

}  // namespace
}  // namespace tools
