// What the host side can tell of the meters' frames without the plugin: each
// model's framing, to judge an answer against its request and to describe a
// frame in one line for traces. The one place in tools/ that knows the framing.
#ifndef TRV_TOOLS_FRAMES_H
#define TRV_TOOLS_FRAMES_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tools {

enum class AnswerKind {
    Good,       // framing, address, function and length as the request calls for
    Silence,    // no byte before the time-out
    Malformed,  // bad CRC, wrong length, address or function
    Exception,  // the meter refused the request with an exception code
    LineDown,   // the line failed during the exchange
};

struct AnswerVerdict {
    AnswerKind kind = AnswerKind::Silence;
    uint8_t code = 0;  // the exception code, for Exception
    std::string text;  // one line: "data, 26 bytes", "exception 02 illegal data address", "bad CRC"
};

// result is the channel's: bytes received (answer holds them), 0 or negative.
AnswerVerdict JudgeAnswer(std::string_view model, std::span<const uint8_t> request, std::span<const uint8_t> answer,
                          int32_t result);

// One line for a request frame: "read holding 40001..40013", "VKT-7 read 0x3FFE".
std::string DescribeRequest(std::string_view model, std::span<const uint8_t> request);

// The usual Modbus name of an exception code ("illegal data address"); empty when it has none.
std::string_view ExceptionName(uint8_t code);

}  // namespace tools

#endif
