#include "tools/line_channel.h"

#include <gtest/gtest.h>

#include "tools/tests/fake_meter.h"

namespace tools {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

// A channel to the fake meter (or elsewhere), its notes and its break flag.
struct Line {
    explicit Line(const std::string& channel)
        : line(MakeLineChannel(io, ParseChannel(channel),
                               // Generous gap: these tests must not depend on the machine's speed.
                               {std::chrono::milliseconds(300), std::chrono::milliseconds(150)},
                               {[this] { return interrupt; }, [this](const std::string& t) { notes += t + "\n"; },
                                [this](std::span<const uint8_t>) { ++writes; }})) {}
    explicit Line(const FakeMeter& meter) : Line("tcp://127.0.0.1:" + std::to_string(meter.port())) {}

    // Sends the one-byte request (none for 0), receives at most capacity bytes.
    Bytes Ask(uint8_t request, size_t capacity = 64) {
        Bytes rx(capacity);
        const uint8_t tx[] = {request, 0x00};
        result = line->Exchange(request == 0 ? std::span<const uint8_t>() : std::span<const uint8_t>(tx), rx);
        rx.resize(result > 0 ? static_cast<size_t>(result) : 0);
        return rx;
    }

    boost::asio::io_context io;
    bool interrupt = false;
    std::string notes;
    std::unique_ptr<LineChannel> line;
    int32_t result = 0;
    int writes = 0;
};

TEST(ToolsLineChannel, FramesAnswersByGapAndReceiveLimit) {
    FakeMeter meter;
    Line l(meter);
    // Unknown length: everything up to the gap; two writes without a gap are one answer.
    EXPECT_EQ(l.Ask(kFive), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(l.result, 5);
    EXPECT_EQ(l.Ask(kTwoWrites), (Bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4}));
    // Known length: stops at the limit; the rest waits on the line.
    EXPECT_EQ(l.Ask(kTen, 4), (Bytes{0xB0, 0xB1, 0xB2, 0xB3}));
    EXPECT_EQ(l.Ask(0), (Bytes{0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9}));
    // A new request drops what an earlier answer left, instead of taking it for its own.
    EXPECT_EQ(l.Ask(kTen, 4), (Bytes{0xB0, 0xB1, 0xB2, 0xB3}));
    EXPECT_EQ(l.Ask(kFive), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_NE(l.notes.find("dropped 6 stale bytes"), std::string::npos) << l.notes;
    // A gap ends the answer even though more comes later.
    EXPECT_EQ(l.Ask(kPause), (Bytes{0xD0, 0xD1, 0xD2}));
    meter.Go();
    EXPECT_EQ(l.Ask(0, 2), (Bytes{0xD3, 0xD4}));
    // Silence: nothing by the time-out, and the connection stays.
    EXPECT_TRUE(l.Ask(kSilent).empty());
    EXPECT_EQ(l.result, 0);
    EXPECT_NE(l.notes.find("connected to 127.0.0.1"), std::string::npos);
    EXPECT_EQ(l.line->connects(), 1u);
    EXPECT_EQ(l.line->drops(), 0u);
}

TEST(ToolsLineChannel, TcpSurvivesADroppedConnection) {
    FakeMeter meter;
    Line l(meter);
    // Hung up on the request itself, on the old connection and on the new one
    // (a drop while idle is in the end-to-end runs).
    EXPECT_EQ(l.Ask(kFive).size(), 5u);
    l.Ask(kHangUp);
    EXPECT_EQ(l.result, kLineDown);
    EXPECT_EQ(l.line->drops(), 2u);
    EXPECT_NE(l.notes.find("line dropped"), std::string::npos);
    EXPECT_EQ(l.Ask(kFive).size(), 5u);
    EXPECT_EQ(l.line->connects(), 3u);
    EXPECT_EQ(meter.accepted(), 3);
    // Asked to stop: nothing more is sent.
    const int before = meter.requests();
    l.interrupt = true;
    l.Ask(kFive);
    EXPECT_EQ(l.result, kInterrupted);
    l.interrupt = false;
    EXPECT_EQ(l.Ask(kFive).size(), 5u);
    EXPECT_EQ(meter.requests(), before + 1);
}

// A port bound but not listening refuses; a serial port that is not there cannot open.
TEST(ToolsLineChannel, UnreachableLinesAreLineFailures) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    const std::string port = std::to_string(BindLoopback(holder));
    for (const auto& [channel, note] :
         {std::pair{"tcp://127.0.0.1:" + port, std::string("cannot connect to 127.0.0.1")},
          std::pair{std::string("serial:///dev/no-such-port"), std::string("cannot open /dev/no-such-port")}}) {
        Line l(channel);
        l.Ask(kFive);
        EXPECT_EQ(l.result, kLineDown) << channel;
        EXPECT_NE(l.notes.find(note), std::string::npos) << l.notes;
        EXPECT_EQ(l.line->connects(), 0u) << channel;
        EXPECT_EQ(l.writes, 0) << channel;
        EXPECT_EQ(l.line->written(), 0u) << channel;
    }
    ::close(holder);
}

}  // namespace
}  // namespace tools
