#include "tools/frames.h"

#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "common/crc16.h"

namespace tools {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    for (unsigned byte; in >> std::hex >> byte;) out.push_back(static_cast<uint8_t>(byte));
    return out;
}

Bytes WithCrc(const std::string& text) {
    Bytes frame = Hex(text);
    AppendCrc16(frame);
    return frame;
}

// Each model's answers as the host side judges them, against the request that asked.
TEST(ToolsFrames, JudgesAnswersByTheModelsFraming) {
    const Bytes vkt9Read = WithCrc("01 03 00 00 00 02"), vkt9Record = WithCrc("01 41 00 38 05 00 01");
    const Bytes vkt7Read = WithCrc("FF FF 01 03 3F FE 00 00"), vkt7Write = Hex("FF FF 01 10 3F FD 00 00 02 04 00 7F 82");
    Bytes spoilt = WithCrc("01 03 04 00 01 00 02");
    spoilt.back() ^= 1;
    struct Case {
        const char* model;
        Bytes request, answer;
        AnswerKind kind;
        uint8_t code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"VKT9New", vkt9Read, WithCrc("01 03 04 00 01 00 02"), AnswerKind::Good, 0, "data, 4 bytes"},
        {"VKT9New", vkt9Read, spoilt, AnswerKind::Malformed, 0, "bad CRC"},
        {"VKT9New", vkt9Read, WithCrc("01 03 04 00 01 00"), AnswerKind::Malformed, 0, "wrong length"},
        {"VKT9New", vkt9Read, WithCrc("02 03 04 00 01 00 02"), AnswerKind::Malformed, 0, "wrong address 2"},
        {"VKT9New", vkt9Read, WithCrc("01 04 04 00 01 00 02"), AnswerKind::Malformed, 0, "wrong function 04"},
        {"VKT9New", vkt9Read, WithCrc("01 83 02"), AnswerKind::Exception, 2, "exception 02 illegal data address"},
        {"VKT9Old", vkt9Record, WithCrc("01 41 18 03 05 0A"), AnswerKind::Good, 0, "record, 4 bytes"},
        {"VKT5", WithCrc("01 03 0E 00 00 01"), Hex("01 03"), AnswerKind::Malformed, 0, "too short, 2 bytes"},
        {"VKT5", WithCrc("01 04 01 06 00 30"), WithCrc("01 84 09"), AnswerKind::Exception, 9, "exception 09"},
        {"VKT7", vkt7Read, WithCrc("01 03 02 AA BB"), AnswerKind::Good, 0, "data, 2 bytes"},
        {"VKT7", vkt7Read, Hex("01 03 02 AA BB 00 00 55 55"), AnswerKind::Malformed, 0, "bad CRC"},
        {"VKT7", vkt7Read, [] { Bytes b = WithCrc("01 03 02 AA BB"); b.push_back(0x55); return b; }(),
         AnswerKind::Malformed, 0, "wrong length"},
        {"VKT7", vkt7Read, WithCrc("01 83 03 00"), AnswerKind::Exception, 3, "exception 03 illegal data value"},
        {"VKT7", vkt7Write, WithCrc("01 10 3F FD 00 00"), AnswerKind::Good, 0, "write confirmed"},
        {"VKT7", vkt7Write, WithCrc("01 10 3F FC 00 00"), AnswerKind::Malformed, 0, "confirms another register"},
    };
    for (const Case& c : cases) {
        const AnswerVerdict v = JudgeAnswer(c.model, c.request, c.answer, static_cast<int32_t>(c.answer.size()));
        EXPECT_EQ(v.kind, c.kind) << c.model << " " << c.text;
        EXPECT_EQ(v.code, c.code) << c.model << " " << c.text;
        EXPECT_EQ(v.text, c.text) << c.model;
    }
    EXPECT_EQ(JudgeAnswer("VKT5", vkt9Read, {}, 0).kind, AnswerKind::Silence);
    EXPECT_EQ(JudgeAnswer("VKT7", vkt7Read, {}, -1).kind, AnswerKind::LineDown);
}

TEST(ToolsFrames, DescribesRequestsInOneLine) {
    const std::vector<std::pair<Bytes, std::pair<const char*, std::string>>> cases = {
        {WithCrc("01 03 00 00 00 0D"), {"VKT9New", "read holding 40001..40013"}},
        {WithCrc("01 04 00 13 00 01"), {"VKT9Old", "read input 30020..30020"}},
        {WithCrc("01 41 01 38 2C 01 01"), {"VKT9New", "read day archive record 300"}},
        {WithCrc("01 83 00 00 00 01"), {"VKT9New", "function 83"}},
        {Hex("FF FF 01 03 3F F9 00 00 99 EF"), {"VKT7", "VKT-7 read 0x3FF9"}},
        {Hex("FF FF 01 10 3F FF 00 00 CC 80 00 00 00 60 A8"), {"VKT7", "VKT-7 write 0x3FFF, 4 bytes"}},
        {WithCrc("01 03 81 06 00 80"), {"VKT5", "VKT-5 read current totals array 1 (06 80)"}},
        {WithCrc("01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0B"), {"VKT5", "VKT-5 select record 2024-03-07 11:00"}},
    };
    for (const auto& [frame, expected] : cases) EXPECT_EQ(DescribeRequest(expected.first, frame), expected.second);
}

}  // namespace
}  // namespace tools
