#include "fuzz/fuzz_input.h"

#include <algorithm>
#include <cstring>

#include "common/crc16.h"

namespace fuzz {

namespace {

// Values at the edges of the types that settings are read into, and texts the
// parsers must survive.
const char* const kEdges[] = {
    "0",          "-1",          "1",          "2",           "-2",         "255",        "256",
    "32767",      "32768",       "65526",      "65527",       "65535",      "65536",      "2147483647",
    "-2147483648", "-2147483647", "4294967295", "4294967296",  "-4294967295", "9999999999", "",
    "x",          "12x",         " 7",         "1e40",        "-1e40",      "nan",        "inf",
    "0.5",        "-0.0",        "1e-45",      "3.4028235e38", "true",       "false",
};
constexpr size_t kEdgeCount = sizeof kEdges / sizeof kEdges[0];

}  // namespace

uint8_t Input::Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

uint32_t Input::Raw32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
}

const char* Input::Setting(std::initializer_list<const char*> usual) {
    const size_t b = Byte();
    if (b == 255) return nullptr;
    if (b < usual.size()) return usual.begin()[b];
    const size_t edge = b - usual.size();
    if (edge < kEdgeCount) return kEdges[edge];
    number_ = std::to_string(static_cast<int32_t>(Raw32()));
    return number_.c_str();
}

int32_t Input::Answer(std::span<uint8_t> rx) {
    if (empty()) return 0;
    const uint8_t mode = Byte() & 3;
    size_t length = Byte();
    if (length == 255) length = Byte() | (static_cast<size_t>(Byte()) << 8);
    if (mode == 2) return 0;
    if (mode == 3) return -2;
    length = std::min({length, size_ - pos_, rx.size()});
    if (length > 0) std::memcpy(rx.data(), data_ + pos_, length);
    pos_ += length;
    if (mode == 1 && length > 2) {
        const uint16_t crc = Crc16Modbus(rx.data(), length - 2);
        rx[length - 2] = static_cast<uint8_t>(crc & 0xFF);
        rx[length - 1] = static_cast<uint8_t>(crc >> 8);
    }
    return static_cast<int32_t>(length);
}

void Input::AppendChunk(std::vector<uint8_t>& out, std::span<const uint8_t> answer) {
    out.push_back(0);
    const size_t n = std::min<size_t>(answer.size(), 0xFFFF);
    if (n < 255) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.insert(out.end(), {255, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)});
    }
    out.insert(out.end(), answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace fuzz
