// Numbers in answer bytes: registers are big-endian, archive records little-endian.
#ifndef TRV_VKT9_BYTES_H
#define TRV_VKT9_BYTES_H

#include <bit>
#include <cstdint>

#include "vkt9/vkt9_model.h"

namespace DriverVKT9 {

inline uint16_t Big16(const uint8_t* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }
inline uint32_t Big32(const uint8_t* b) {
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}
inline uint16_t Little16(const uint8_t* b) { return static_cast<uint16_t>(b[1] << 8 | b[0]); }
inline uint32_t Little32(const uint8_t* b) {
    return uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0];
}

// Rounds to single precision. The x87 unit of the 32-bit build keeps floats in
// wider registers, and only a store through a volatile reliably drops the excess.
inline float Single(float x) {
    volatile float stored = x;
    return stored;
}

// The decoded forms of one value; which one a type fills is the caller's business.
struct DecodedValue {
    float floatValue = 0;
    int32_t intValue = 0;
    double doubleValue = 0;
};

// Decodes one value of a known data type from b, in the byte order Read16/Read32 give.
template <uint16_t (*Read16)(const uint8_t*), uint32_t (*Read32)(const uint8_t*)>
void DecodeValue(int32_t dataType, float koeff, const uint8_t* b, DecodedValue& out) {
    switch (dataType) {
        case DataFloat: out.floatValue = std::bit_cast<float>(Read32(b)); break;
        case DataWord: out.intValue = static_cast<int16_t>(Read16(b)); break;
        case DataScaledInt16: out.floatValue = static_cast<float>(static_cast<int16_t>(Read16(b))) / koeff; break;
        case DataUInt32: out.intValue = static_cast<int32_t>(Read32(b)); break;
        case DataIntPlusFloat: {
            const float whole = Single(static_cast<float>(static_cast<int32_t>(Read32(b))));
            const float fraction = std::bit_cast<float>(Read32(b + 4));
            out.doubleValue = Single(whole + fraction);  // the meter's own precision
            break;
        }
        case DataScaledUInt16: out.floatValue = static_cast<float>(Read16(b)) / koeff; break;
        default: break;
    }
}

}  // namespace DriverVKT9

#endif
