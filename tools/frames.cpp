#include "tools/frames.h"

#include <fmt/format.h>

#include "common/crc16.h"

namespace tools {

namespace {

using Bytes = std::span<const uint8_t>;

bool IsVkt9(std::string_view model) { return model == "VKT9New" || model == "VKT9Old"; }
// Every model text the plugin does not give to VKT-5 or VKT-9 is a VKT-7.
bool IsVkt7(std::string_view model) { return model != "VKT5" && !IsVkt9(model); }

AnswerVerdict Bad(std::string text) { return {AnswerKind::Malformed, 0, std::move(text)}; }

AnswerVerdict Refused(uint8_t code) {
    const std::string_view name = ExceptionName(code);
    return {AnswerKind::Exception, code, fmt::format("exception {:02X}{}{}", code, name.empty() ? "" : " ", name)};
}

unsigned Word(Bytes b, size_t at) { return static_cast<unsigned>(b[at] << 8 | b[at + 1]); }

// VKT-5 and VKT-9: Modbus RTU, with VKT-9's record read 0x41 (no count byte).
AnswerVerdict JudgeModbus(Bytes tx, Bytes rx) {
    if (tx.size() < 2) return Bad("answer to no request");
    if (rx.size() < 4) return Bad(fmt::format("too short, {} bytes", rx.size()));
    if (!CheckCrc16(rx.data(), rx.size())) return Bad("bad CRC");
    if (rx[0] != tx[0]) return Bad(fmt::format("wrong address {}", rx[0]));
    if (rx[1] == (tx[1] | 0x80) && rx.size() == 5) return Refused(rx[2]);
    if (rx[1] != tx[1]) return Bad(fmt::format("wrong function {:02X}", rx[1]));
    switch (tx[1]) {
        case 0x03:
        case 0x04:
            if (static_cast<size_t>(rx[2]) + 5 != rx.size()) return Bad("wrong length");
            return {AnswerKind::Good, 0, fmt::format("data, {} bytes", rx[2])};
        case 0x10:
            if (rx.size() != 8) return Bad("wrong length");
            return {AnswerKind::Good, 0, "write confirmed"};
        default: return {AnswerKind::Good, 0, fmt::format("record, {} bytes", rx.size() - 4)};
    }
}

// VKT-7: requests carry the two-byte preamble, answers do not.
AnswerVerdict JudgeVkt7(Bytes tx, Bytes rx) {
    if (tx.size() < 8) return Bad("answer to no request");
    if (rx.size() < 6) return Bad(fmt::format("too short, {} bytes", rx.size()));
    if (rx[0] != tx[2]) return Bad(fmt::format("wrong address {}", rx[0]));
    if (rx[1] == 0x83 || rx[1] == 0x90) {
        if (rx.size() != 6 || !CheckCrc16(rx.data(), 6)) return Bad("bad CRC");
        return Refused(rx[2]);
    }
    if (rx[1] != tx[3]) return Bad(fmt::format("wrong function {:02X}", rx[1]));
    if (rx[1] == 0x03) {
        const size_t length = static_cast<size_t>(rx[2]) + 5;
        if (length > rx.size() || !CheckCrc16(rx.data(), length)) return Bad("bad CRC");
        if (length != rx.size()) return Bad("wrong length");
        return {AnswerKind::Good, 0, fmt::format("data, {} bytes", rx[2])};
    }
    if (rx.size() != 8 || !CheckCrc16(rx.data(), 8)) return Bad("bad CRC");
    if (Word(rx, 2) != Word(tx, 4) || Word(rx, 4) != Word(tx, 6)) return Bad("confirms another register");
    return {AnswerKind::Good, 0, "write confirmed"};
}

std::string DescribeVkt7(Bytes tx) {
    if (tx.size() < 10 || tx[0] != 0xFF || tx[1] != 0xFF) return "VKT-7 frame?";
    const unsigned reg = Word(tx, 4);
    if (tx[3] == 0x03) return fmt::format("VKT-7 read 0x{:04X}", reg);
    if (tx[3] == 0x10) return fmt::format("VKT-7 write 0x{:04X}, {} bytes", reg, tx.size() - 11);
    return fmt::format("VKT-7 function {:02X}", tx[3]);
}

std::string DescribeVkt5(Bytes tx) {
    if (tx.size() < 8) return "VKT-5 frame?";
    const uint8_t array = tx[2];
    if (tx[1] == 0x03 && tx[2] == 0x0E) return "VKT-5 read firmware version";
    if (tx[1] == 0x03 && tx[2] == 0x0A) return "VKT-5 read channel table";
    if (tx[1] == 0x03 && tx[2] == 0x0B) return "VKT-5 read clock";
    if (tx[1] == 0x03 || tx[1] == 0x04)
        return fmt::format("VKT-5 read {} {} array {} ({:02X} {:02X})", tx[1] == 0x04 ? "archive" : "current",
                           (array & 0x80) != 0 ? "totals" : "values", array & 0x7F, tx[3], tx[5]);
    if (tx[1] == 0x10 && tx.size() >= 17)
        return fmt::format("VKT-5 select record {:04}-{:02}-{:02} {:02}:00", Word(tx, 7), Word(tx, 9), Word(tx, 11),
                           Word(tx, 13));
    return fmt::format("VKT-5 function {:02X}", tx[1]);
}

std::string DescribeVkt9(Bytes tx) {
    if (tx.size() < 8) return "VKT-9 frame?";
    const unsigned start = Word(tx, 2), count = Word(tx, 4);
    if (tx[1] == 0x03 || tx[1] == 0x04) {
        const unsigned base = tx[1] == 0x03 ? 40001 : 30001;
        return fmt::format("read {} {}..{}", tx[1] == 0x03 ? "holding" : "input", base + start,
                           base + start + (count == 0 ? 0 : count - 1));
    }
    if (tx[1] == 0x41 && tx.size() >= 9) {
        static const char* const kKinds[] = {"hour", "day", "month"};
        return fmt::format("read {} archive record {}", tx[2] < 3 ? kKinds[tx[2]] : "?", tx[4] | tx[5] << 8);
    }
    return fmt::format("function {:02X}", tx[1]);
}

}  // namespace

std::string_view ExceptionName(uint8_t code) {
    switch (code) {
        case 1: return "illegal function";
        case 2: return "illegal data address";
        case 3: return "illegal data value";
        case 4: return "server device failure";
        case 5: return "acknowledge";
        case 6: return "server device busy";
        default: return {};
    }
}

AnswerVerdict JudgeAnswer(std::string_view model, Bytes request, Bytes answer, int32_t result) {
    if (result < 0) return {AnswerKind::LineDown, 0, fmt::format("line failure ({})", result)};
    if (result == 0) return {AnswerKind::Silence, 0, "no answer"};
    const Bytes rx = answer.first(std::min(answer.size(), static_cast<size_t>(result)));
    return IsVkt7(model) ? JudgeVkt7(request, rx) : JudgeModbus(request, rx);
}

std::string DescribeRequest(std::string_view model, Bytes request) {
    if (IsVkt7(model)) return DescribeVkt7(request);
    return IsVkt9(model) ? DescribeVkt9(request) : DescribeVkt5(request);
}

}  // namespace tools
