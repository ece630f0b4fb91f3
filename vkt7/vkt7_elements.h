// VKT-7 element table: sizes, archive types, flags and value types of the 83
// numbered elements, and the element record. The table and the request lists are
// members of VKT7 (vkt7_values.h); the element list is built in the send buffer.
#ifndef TRV_VKT7_ELEMENTS_H
#define TRV_VKT7_ELEMENTS_H

#include <cstdint>

#include "vkt7/vkt7_link.h"

namespace vkt7 {

inline constexpr int32_t kElementCount = 83;
inline constexpr int32_t kArchiveTypeCount = 7;  // types 0..6 have flags and lists
inline constexpr int32_t kListRecordSize = 6;
// The byte-count field is one byte and the send buffer holds 265 bytes: at most
// 42 six-byte records go into one element list.
inline constexpr int32_t kMaxListRecords = 42;
// Largest value the decoders take: they copy a value into a four-byte word.
inline constexpr int32_t kMaxValueSize = 4;

// Archive types: the byte written to register 0x3FFD.
inline constexpr uint8_t kTypeHour = 0;
inline constexpr uint8_t kTypeDay = 1;
inline constexpr uint8_t kTypeMonth = 2;
inline constexpr uint8_t kTypeCurrent = 4;
inline constexpr uint8_t kTypeTotals = 5;
inline constexpr uint8_t kTypeProperties = 6;
inline constexpr uint8_t kTypeNone = 7;

// Bits of VKT7Element::flags[type].
inline constexpr uint8_t kFlagWanted = 0x01;
inline constexpr uint8_t kFlagPresent = 0x02;

// Element value types.
inline constexpr uint8_t kValueNumber = 0;
inline constexpr uint8_t kValueBool = 1;
inline constexpr uint8_t kValueInteger = 2;
inline constexpr uint8_t kValueUnsigned = 3;

}  // namespace vkt7

struct VKT7Element {
    uint8_t quality;   // OPC quality of the last value
    uint8_t type;      // 0 scaled number, 1 boolean, 2 and 3 integer
    uint8_t value[8];  // type 0: double; type 1: first byte; types 2, 3: uint32 in the first four bytes
    uint32_t divisor;  // 10^decimal places, from the session's properties
    uint8_t size;      // bytes of the value in the data answer, from the active element list
    uint8_t flags[vkt7::kArchiveTypeCount];  // per archive type: wanted, present
};

#endif
