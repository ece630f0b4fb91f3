// CRC-16/MODBUS: reflected polynomial 0xA001, start 0xFFFF, no final XOR.
// On the wire the low byte goes first.
#ifndef TRV_COMMON_CRC16_H
#define TRV_COMMON_CRC16_H

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint16_t Crc16Modbus(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

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
