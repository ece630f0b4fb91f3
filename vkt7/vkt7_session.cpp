#include "vkt7/vkt7_values.h"

#include <ctime>

#include "common/platform.h"

using namespace vkt7;

namespace vkt7 {

int64_t PositionSeconds(const ArchivePos& p, int32_t hour) {
    std::tm t{};
    t.tm_year = 100 + p.year;  // 2000 + year, counted from 1900
    t.tm_mon = p.month - 1;
    t.tm_mday = p.day;
    t.tm_hour = hour;
    t.tm_min = 0;
    t.tm_sec = 0;
    t.tm_isdst = -1;
    return platform::LocalCalendarToSeconds(t);
}

ArchivePos SecondsPosition(int64_t seconds) {
    std::tm t{};
    ArchivePos p{};
    if (!platform::SecondsToLocalCalendar(seconds, t)) return p;
    p.day = static_cast<uint8_t>(t.tm_mday);
    p.month = static_cast<uint8_t>(t.tm_mon + 1);
    p.year = static_cast<uint8_t>(t.tm_year - 100);
    p.hour = static_cast<uint8_t>(t.tm_hour);
    return p;
}

}  // namespace vkt7

namespace {

// Value elements whose divisor each decimal-places property sets.
struct DivisorRow {
    uint8_t property;
    uint8_t count;
    uint8_t elements[10];
};

constexpr DivisorRow kDivisorRows[] = {
    {57, 10, {0, 1, 2, 14, 15, 16, 22, 23, 24, 36}},
    {59, 3, {3, 4, 5}},
    {60, 4, {6, 7, 8, 11}},
    {61, 4, {9, 10, 31, 32}},
    {66, 2, {12, 13}},
    {69, 3, {25, 26, 27}},
    {70, 4, {28, 29, 30, 33}},
    {76, 2, {34, 35}},
};

ArchivePos FromAnswer(const uint8_t* bytes) { return ArchivePos{bytes[0], bytes[1], bytes[2], bytes[3]}; }

}  // namespace

void VKT7::LogPosition(const char* format, const ArchivePos& p) const {
    Logf(format, static_cast<unsigned>(p.day), static_cast<unsigned>(p.month), static_cast<unsigned>(p.year),
         static_cast<unsigned>(p.hour));
}

int32_t VKT7::VKT7_StartSession() {
    int32_t result = kOk;
    if (ServerVersion > 1) {
        static const uint8_t kOpen[4] = {0x80, 0x00, 0x00, 0x00};
        result = VKT7_Write(kRegList, 0, kOpen, 4, 0xCC);
        if (result == kOk) result = VKT7_ReadServerVersion();
    }
    if (result != kOk) return result;
    result = VKT7_ReadSoftwareVersion();
    if (result != kOk) return result;
    result = VKT7_ReadProperties();

    // Short answers are taken as the receive buffer holds them; every index used
    // here and below lies inside its 265 bytes.
    int32_t bounds = VKT7_Read(kRegBounds, 0, 17);
    if (bounds == kOk) {
        ApplyBounds();
    } else if (bounds == 3) {
        // The meter holds no archives.
        HourPos = Now;
        DayPos = Now;
        DayPos.hour = 23;
        MonthPos = DayPos;
        MonthPos.day = ReportDay;
        MonthPos.hour = 23;
        bounds = kOk;
        LogPosition("No archives! Month archive set to %u.%u.%u %u:00\n", MonthPos);
    }
    if (result == kOk && bounds == kOk) SessionOpen = true;
    return result;
}

void VKT7::ApplyBounds() {
    const uint8_t* rx = receiveBuffer;
    HourPos = FromAnswer(rx + 3);
    Now = FromAnswer(rx + 7);
    DayPos = HourPos;
    DayPos.hour = 23;
    MonthPos = DayPos;

    // Month limit: at most DepthMonth months before Now.
    int64_t gap = (Now.month + 12 * Now.year) - (MonthPos.month + 12 * MonthPos.year);
    if (gap > DepthMonth) {
        gap -= DepthMonth;  // 64-bit: any configured depth
        MonthPos.year = static_cast<uint8_t>(MonthPos.year + gap / 12);
        gap %= 12;
        MonthPos.month = static_cast<uint8_t>(MonthPos.month + gap);
        if (MonthPos.month > 12) {
            MonthPos.month = static_cast<uint8_t>(MonthPos.month - 12);
            MonthPos.year = static_cast<uint8_t>(MonthPos.year + 1);
        }
    }
    MonthPos.day = ReportDay;
    MonthPos.hour = 23;
    LogPosition("Month archive adjusted to %u.%u.%u %u:00\n", MonthPos);

    // Day limit: at most DepthDay days before Now (same local hour basis).
    const int64_t tNow = PositionSeconds(Now, Now.hour);
    const int64_t tDay = PositionSeconds(DayPos, 23);
    const int64_t daySpan = static_cast<int64_t>(DepthDay) * 86400;
    if (tNow - tDay > daySpan) {
        const ArchivePos p = SecondsPosition(tNow - daySpan);
        DayPos.day = p.day;
        DayPos.month = p.month;
        DayPos.year = p.year;
    }

    // Hour limit: at most DepthHour hours before Now.
    const int64_t tHour = PositionSeconds(HourPos, HourPos.hour);
    const int64_t hourSpan = static_cast<int64_t>(DepthHour) * 3600;
    if (tNow - tHour > hourSpan) HourPos = SecondsPosition(tNow - hourSpan);
}

int32_t VKT7::VKT7_ReadServerVersion() {
    const int32_t result = VKT7_Read(kRegData, 0, 179);
    if (result != kOk) return result;
    const uint8_t flag = receiveBuffer[65];
    if (flag != 0 && flag != 1) {
        Logf("Error while getting server version answer is 0x%X instead of 0 or 1\n", static_cast<unsigned>(flag));
        return kBadAnswer;
    }
    ServerVersion = receiveBuffer[64];
    Logf("Server version defined as %d\n", ServerVersion);
    return kOk;
}

int32_t VKT7::VKT7_ReadSoftwareVersion() {
    const int32_t result = VKT7_Read(kRegSoftware, 0, 21);
    if (result != kOk) return result;
    const int32_t count = static_cast<int8_t>(receiveBuffer[2]);
    if (count < 1) {
        Log("Error while getting software version: answer is too small\n");
        return kBadAnswer;
    }
    softwareMajor = static_cast<uint8_t>(receiveBuffer[3] >> 4);
    softwareMinor = static_cast<uint8_t>(receiveBuffer[3] & 0x0F);
    Logf("Software version defined as %d.%d\n", softwareMajor, softwareMinor);
    if (count > 2) ReportDay = receiveBuffer[count + 1];
    return kOk;
}

int32_t VKT7::VKT7_ReadProperties() {
    bool changed = false;
    int32_t result = VKT7_SelectArchive(kTypeProperties, changed);
    if (result != kOk) return result;

    uint8_t request[kPropertyCount * kListRecordSize];
    for (int32_t i = 0; i < kPropertyCount; ++i) {
        uint8_t* r = request + i * kListRecordSize;
        r[0] = kPropertyElements[i];
        r[1] = 0x00;
        r[2] = 0x00;
        r[3] = 0x40;
        r[4] = kPropertyElements[i] < kFirstDecimalProperty ? 7 : 1;
        r[5] = 0x00;
    }
    result = VKT7_Write(kRegList, 0, request, sizeof request, sizeof request);
    if (result != kOk) return result;
    result = VKT7_Read(kRegData, 0, ServerVersion == 1 ? 0 : 101);
    if (result != kOk) return result;

    // Every index below stays under the answer's length (at most 260 bytes).
    const uint8_t* rx = receiveBuffer;
    const int32_t n = lastAnswerLength;
    int32_t pos = 3;
    int32_t entry = 0;
    do {
        const uint8_t e = kPropertyElements[entry];
        if (e < kFirstDecimalProperty) {
            if (ServerVersion == 1)
                pos += (static_cast<int32_t>(rx[pos]) | (static_cast<int32_t>(rx[pos + 1]) << 8)) + 4;
            else
                pos += 9;
        } else {
            VKT7_SetDivisor(e, rx[pos]);
            pos += 3;
        }
        ++entry;
    } while (pos < n - 2 && entry < kPropertyCount);
    return kOk;
}

void VKT7::VKT7_SetDivisor(uint8_t propertyElement, uint8_t decimalPlaces) {
    for (const DivisorRow& row : kDivisorRows) {
        if (row.property != propertyElement) continue;
        if (decimalPlaces > kMaxDecimalPlaces) {
            Logf("Driver_VKT7. Property %d gives %d decimal places: divisor kept\n", propertyElement, decimalPlaces);
            return;
        }
        uint32_t divisor = 1;
        for (uint8_t i = 0; i < decimalPlaces; ++i) divisor *= 10;
        for (uint8_t i = 0; i < row.count; ++i) elements[row.elements[i]].divisor = divisor;
        return;
    }
}

int32_t VKT7::VKT7_ReadDeviceTime(bool withClock) {
    if (!SessionOpen) {
        const int32_t result = VKT7_StartSession();
        if (!SessionOpen) return result;
    }
    int32_t result = VKT7_Read(kRegBounds, 0, 17);
    if (result == kOk) Now = FromAnswer(receiveBuffer + 7);
    if (!withClock) return result;
    result = VKT7_Read(kRegClock, 0, 13);
    if (result == kOk)
        for (int32_t i = 0; i < 6; ++i) meterClock[i] = receiveBuffer[3 + i];
    return result;
}

void VKT7::VKT7_SetArchiveParams(int32_t depthHour, int32_t depthDay, int32_t depthMonth,
                                        int32_t countRecord) {
    {
        std::lock_guard<platform::Lock> guard(lock);
        DepthHour = depthHour;
        DepthDay = depthDay;
        DepthMonth = depthMonth;
        CountRecord = countRecord;
    }
    Logf("Driver_VKT7: New archive params: Depth (Hour, Day, Month) = %d,%d,%d, record count = %d\n", depthHour,
         depthDay, depthMonth, countRecord);
}
