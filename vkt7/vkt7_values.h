// VKT-7 values and quality: the data read of one archive type, the
// quality table, decoding by type, the archive readers with their stepping, and
// the values by position or by element. VKT7 is the whole driver object:
// link, element table, session and values.
#ifndef TRV_VKT7_VALUES_H
#define TRV_VKT7_VALUES_H

#include <cstdint>

#include "vkt7/vkt7_session.h"

namespace vkt7 {

inline constexpr uint8_t kQualityGood = 0xC0;
inline constexpr uint8_t kQualitySensorCal = 0x50;
inline constexpr uint8_t kQualityWaiting = 0x20;
inline constexpr uint8_t kQualityCommFailure = 0x18;
inline constexpr uint8_t kQualitySensorFailure = 0x10;
inline constexpr uint8_t kQualityDeviceFailure = 0x0C;

// Day normalisation: a day past its month's end moves to day 1 of
// the next month (stored year: leap when divisible by 4).
void NormaliseDay(ArchivePos& p);
// Month normalisation: month 13 is January of the next year.
void NormaliseMonth(ArchivePos& p);

}  // namespace vkt7

// One value as the polling cycle publishes it.
struct Vkt7Value {
    uint8_t quality = 0;
    uint8_t type = 0;
    double number = 0;
    int32_t integer = 0;
};

class VKT7 final : public Vkt7Session {
public:
    VKT7(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer, int32_t attempts,
         DeviceHandle device);
    VKT7(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer, int32_t attempts,
         DeviceHandle device, Vkt7Port port);
    virtual ~VKT7();

    int32_t VKT7_ReadValues(uint8_t type);
    int32_t VKT7_ReadCurrent() { return VKT7_ReadValues(vkt7::kTypeCurrent); }
    int32_t VKT7_ReadTotals() { return VKT7_ReadValues(vkt7::kTypeTotals); }
    // 0, 100 (nothing to read) or another result; the outs are the record asked for.
    int32_t VKT7_ReadHourArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    int32_t VKT7_ReadDayArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    int32_t VKT7_ReadMonthArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    // The n-th entry of the selected type's request list; -3 when there is none.
    int32_t VKT7_GetValue(uint8_t n, uint8_t& quality, uint8_t& type, double& number, int32_t& integer) const;
    // The element a tag names (its "addr"): -3 when no type is selected or the
    // selected type does not want the element.
    int32_t VKT7_GetElementValue(uint8_t element, Vkt7Value& out) const;
    bool VKT7_IsBeforeNow(const ArchivePos& p) const;

private:
    int32_t DecodeValues();
    void DecodeValue(int32_t element, const uint8_t* bytes);
    void Fill(int32_t element, Vkt7Value& out) const;
    int32_t ReadArchive(ArchivePos& pos, uint8_t type, int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
};

#endif
