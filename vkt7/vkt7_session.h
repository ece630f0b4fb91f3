// VKT-7 session: session open, server and software versions, the
// decimal-places properties, archive bounds and positions, the meter's date
// and clock, and the archive settings.
#ifndef TRV_VKT7_SESSION_H
#define TRV_VKT7_SESSION_H

#include <cstdint>
#include <mutex>

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

class Vkt7Session : public Vkt7ElementTable {
public:
    Vkt7Session(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer,
                int32_t attempts, DeviceHandle device, Vkt7Port port);

    int32_t VKT7_StartSession();
    int32_t VKT7_ReadServerVersion();
    int32_t VKT7_ReadSoftwareVersion();
    int32_t VKT7_ReadProperties();
    void VKT7_SetDivisor(uint8_t propertyElement, uint8_t decimalPlaces);
    int32_t VKT7_ReadDeviceTime(bool withClock);
    void VKT7_SetArchiveParams(int32_t depthHour, int32_t depthDay, int32_t depthMonth, int32_t countRecord);
    // The cycle closes the session when the meter stops answering.
    void ResetSession() { SessionOpen = false; }

    uint8_t meterClock[6] = {};  // day, month, year - 2000, hour, minute, second
    uint8_t ServerVersion = 2;
    uint8_t softwareMajor = 0;
    uint8_t softwareMinor = 0;
    int32_t DepthHour = 20;
    int32_t DepthDay = 20;
    int32_t DepthMonth = 5;
    int32_t CountRecord = 5;
    ArchivePos Now{};
    ArchivePos HourPos{};
    ArchivePos DayPos{};
    ArchivePos MonthPos{};
    uint8_t ReportDay = 30;
    bool SessionOpen = false;
    std::mutex lock;  // guards the four archive settings while they are stored

protected:
    ~Vkt7Session() = default;

private:
    void ApplyBounds();
    void LogPosition(const char* format, const ArchivePos& p) const;
};

#endif
