// CRC-16/MODBUS: reflected polynomial 0xA001, start 0xFFFF, no final XOR.
// On the wire the low byte goes first.
#ifndef TRV_COMMON_CRC16_H
#define TRV_COMMON_CRC16_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace crc16_detail {

// One entry per low byte of the running CRC: eight shifts of the bitwise form at once.
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t crc = static_cast<uint16_t>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
        table[byte] = crc;
    }
    return table;
}

inline constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace crc16_detail

constexpr uint16_t Crc16Modbus(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ crc16_detail::kTable[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

namespace crc16_detail {
// The catalogue's check value of this CRC.
constexpr uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(Crc16Modbus(kCheckInput, sizeof kCheckInput) == 0x4B37);
}  // namespace crc16_detail

// Appends the CRC of data[0..length) at data[length], data[length+1]; the caller
// guarantees room for two more bytes. Returns the new length.
inline size_t AppendCrc16(uint8_t* data, size_t length) {
    const uint16_t crc = Crc16Modbus(data, length);
    data[length] = static_cast<uint8_t>(crc & 0xFF);
    data[length + 1] = static_cast<uint8_t>(crc >> 8);
    return length + 2;
}

// Appends the CRC of the whole frame.
inline void AppendCrc16(std::vector<uint8_t>& frame) {
    const uint16_t crc = Crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

// Rewrites the last two bytes as the CRC of the bytes before them.
inline void RepairCrc16(std::vector<uint8_t>& frame) {
    if (frame.size() < 2) return;
    frame.resize(frame.size() - 2);
    AppendCrc16(frame);
}

// True when the last two of length bytes are the CRC of the bytes before them.
inline bool CheckCrc16(const uint8_t* data, size_t length) {
    if (length < 2) return false;
    const uint16_t crc = Crc16Modbus(data, length - 2);
    return data[length - 2] == static_cast<uint8_t>(crc & 0xFF) && data[length - 1] == static_cast<uint8_t>(crc >> 8);
}

#endif
