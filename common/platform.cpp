#include "common/platform.h"

#include <ctime>
#include <new>

#if !defined(_WIN32)
#include <mutex>
#endif

namespace platform {

#if defined(_WIN32)

static_assert(sizeof(SystemTime) == sizeof(SYSTEMTIME), "SystemTime mirrors SYSTEMTIME");

bool SystemTimeToFileTime(const SystemTime& in, FILETIME& out) {
    return ::SystemTimeToFileTime(reinterpret_cast<const SYSTEMTIME*>(&in), &out) != 0;
}

bool LocalFileTimeToFileTime(const FILETIME& local, FILETIME& utc) {
    return ::LocalFileTimeToFileTime(&local, &utc) != 0;
}

bool FileTimeToSystemTime(const FILETIME& in, SystemTime& out) {
    return ::FileTimeToSystemTime(&in, reinterpret_cast<SYSTEMTIME*>(&out)) != 0;
}

int64_t LocalCalendarToSeconds(std::tm& local) {
    return static_cast<int64_t>(_mktime64(&local));
}

bool SecondsToLocalCalendar(int64_t seconds, std::tm& local) {
    const __time64_t t = seconds;
    return _localtime64_s(&local, &t) == 0;
}

int64_t CurrentSeconds() {
    return static_cast<int64_t>(_time64(nullptr));
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock) && alignof(CRITICAL_SECTION) <= 8);

Lock::Lock() { ::InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
Lock::~Lock() { ::DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::lock() { ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::unlock() { ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

#else

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

// Proleptic Gregorian day count relative to 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

}  // namespace

bool SystemTimeToFileTime(const SystemTime& in, FILETIME& out) {
    if (in.wYear < 1601 || in.wYear > 30827 || in.wMonth < 1 || in.wMonth > 12 || in.wDay < 1 ||
        in.wDay > DaysInMonth(in.wYear, in.wMonth) || in.wHour > 23 || in.wMinute > 59 || in.wSecond > 59 ||
        in.wMilliseconds > 999)
        return false;
    const int64_t days = DaysFromCivil(in.wYear, in.wMonth, in.wDay) + kDays1601To1970;
    const int64_t seconds = days * kSecondsPerDay + in.wHour * 3600 + in.wMinute * 60 + in.wSecond;
    out = MakeFileTime(static_cast<uint64_t>(seconds) * kTicksPerSecond + in.wMilliseconds * 10000ull);
    return true;
}

bool LocalFileTimeToFileTime(const FILETIME& local, FILETIME& utc) {
    const time_t now = time(nullptr);
    std::tm tmNow{};
    if (localtime_r(&now, &tmNow) == nullptr) return false;
    const int64_t offsetTicks = static_cast<int64_t>(tmNow.tm_gmtoff) * static_cast<int64_t>(kTicksPerSecond);
    const int64_t ticks = static_cast<int64_t>(FileTimeTicks(local)) - offsetTicks;
    if (ticks < 0) return false;
    utc = MakeFileTime(static_cast<uint64_t>(ticks));
    return true;
}

bool FileTimeToSystemTime(const FILETIME& in, SystemTime& out) {
    const uint64_t ticks = FileTimeTicks(in);
    if (ticks > 0x7FFFFFFFFFFFFFFFull) return false;
    const int64_t totalSeconds = static_cast<int64_t>(ticks / kTicksPerSecond);
    const int64_t days = totalSeconds / kSecondsPerDay;
    const int64_t secondOfDay = totalSeconds % kSecondsPerDay;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days - kDays1601To1970, y, m, d);
    if (y > 30827) return false;
    out.wYear = static_cast<uint16_t>(y);
    out.wMonth = static_cast<uint16_t>(m);
    out.wDay = static_cast<uint16_t>(d);
    out.wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    out.wHour = static_cast<uint16_t>(secondOfDay / 3600);
    out.wMinute = static_cast<uint16_t>(secondOfDay / 60 % 60);
    out.wSecond = static_cast<uint16_t>(secondOfDay % 60);
    out.wMilliseconds = static_cast<uint16_t>(ticks % kTicksPerSecond / 10000);
    return true;
}

int64_t LocalCalendarToSeconds(std::tm& local) {
    return static_cast<int64_t>(mktime(&local));
}

bool SecondsToLocalCalendar(int64_t seconds, std::tm& local) {
    const time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, &local) != nullptr;
}

int64_t CurrentSeconds() {
    return static_cast<int64_t>(time(nullptr));
}

static_assert(sizeof(std::mutex) <= sizeof(Lock) && alignof(std::mutex) <= 8);

Lock::Lock() { new (storage_) std::mutex; }
Lock::~Lock() { std::launder(reinterpret_cast<std::mutex*>(storage_))->~mutex(); }
void Lock::lock() { std::launder(reinterpret_cast<std::mutex*>(storage_))->lock(); }
void Lock::unlock() { std::launder(reinterpret_cast<std::mutex*>(storage_))->unlock(); }

#endif

}  // namespace platform
