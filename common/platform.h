// Everything that differs between Windows and the portable build lives behind
// this header: the Windows time conversions, the C runtime's local calendar and
// the lock.
#ifndef TRV_COMMON_PLATFORM_H
#define TRV_COMMON_PLATFORM_H

#include <cstdint>
#include <ctime>

#include "host/host_api.h"

namespace platform {

// Same fields and order as the Windows SYSTEMTIME.
struct SystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// Fails on impossible dates (31 April, hour 24, ...), as Windows does.
bool SystemTimeToFileTime(const SystemTime& in, FILETIME& out);
// Applies the machine's present offset from UTC, whatever the date of the input.
bool LocalFileTimeToFileTime(const FILETIME& local, FILETIME& utc);
bool FileTimeToSystemTime(const FILETIME& in, SystemTime& out);

// The runtime library's local calendar: local broken-down time to seconds since
// 1970 (fields out of range roll over, as mktime does; -1 on failure), back
// again, and the present time.
int64_t LocalCalendarToSeconds(std::tm& local);
bool SecondsToLocalCalendar(int64_t seconds, std::tm& local);
int64_t CurrentSeconds();

// The one lock the drivers take: a critical section on Windows, where the C++
// runtime's mutex would pull in a threads library that Windows XP cannot load.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock();
    void unlock();

private:
    alignas(8) unsigned char storage_[48];
};

// FILETIME helpers shared by both builds.
constexpr uint64_t FileTimeTicks(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
constexpr FILETIME MakeFileTime(uint64_t ticks) {
    FILETIME ft{};
    ft.dwLowDateTime = static_cast<uint32_t>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
    return ft;
}
constexpr uint64_t kTicksPerSecond = 10000000ull;
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;

}  // namespace platform

#endif
