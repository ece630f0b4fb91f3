// VKT-7 session: archive positions, the property request and the local
// calendar conversions of the positions. The session's operations are members of
// VKT7 (vkt7_values.h).
#ifndef TRV_VKT7_SESSION_H
#define TRV_VKT7_SESSION_H

#include <cstdint>

#include "vkt7/vkt7_elements.h"

// Day, month, year minus 2000, hour: their order on the wire too.
struct ArchivePos {
    uint8_t day;
    uint8_t month;
    uint8_t year;
    uint8_t hour;
};

namespace vkt7 {

// Elements of the property request, in the order sent (70 before 69), and the
// length each is requested with.
inline constexpr uint8_t kPropertyElements[16] = {44, 45, 46, 47, 48, 53, 55, 56, 57, 59, 60, 61, 66, 70, 69, 76};
inline constexpr int32_t kPropertyCount = 16;
inline constexpr uint8_t kFirstDecimalProperty = 57;
// Decimal places above this would not fit a 32-bit divisor.
inline constexpr uint8_t kMaxDecimalPlaces = 9;

// Meter-local calendar seconds of a position at the given hour (00:00 of that
// hour); fields out of range roll over.
int64_t PositionSeconds(const ArchivePos& p, int32_t hour);
// Day, month, year and hour of a local calendar time.
ArchivePos SecondsPosition(int64_t seconds);

}  // namespace vkt7

#endif
