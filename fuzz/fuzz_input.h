// The fuzzer's bytes as a configuration followed by the meter's answers.
//
// Configuration bytes come first: each setting takes one byte that picks one of
// its usual values (byte 0 is the first, the one the simulators answer to) or,
// past them, one of the values at the edges of its type (some of these take four
// more bytes as a raw number). Then every exchange takes the next chunk:
//
//   mode byte: bits 0-1: 0 the bytes as they are, 1 the last two bytes made the
//              CRC-16/MODBUS of the others, 2 silence, 3 a failed channel (-2)
//   length byte (255: two more bytes, low first), then that many answer bytes.
//
// An exhausted input is silence. A reading past the end gives zeros.
#ifndef TRV_FUZZ_FUZZ_INPUT_H
#define TRV_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte();
    uint32_t Raw32();
    bool empty() const { return pos_ >= size_; }
    size_t consumed() const { return pos_; }

    // One of the usual texts, or past them an edge value as text; nullptr (the
    // setting left out) when the byte is 255.
    const char* Setting(std::initializer_list<const char*> usual);
    // A count below limit; byte 0 gives usual.
    int32_t Count(int32_t limit, int32_t usual = 0) { return (Byte() + usual) % limit; }

    // Answers one exchange from the next chunk; the answer's bytes are written
    // into rx (at most rx.size()). Returns the count, 0 for silence, -2 for a
    // failed channel.
    int32_t Answer(std::span<uint8_t> rx);

    // Encodes an answer as a chunk taken as it is (for seed inputs).
    static void AppendChunk(std::vector<uint8_t>& out, std::span<const uint8_t> answer);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::string number_;  // the text of the last raw number
};

}  // namespace fuzz

#endif
