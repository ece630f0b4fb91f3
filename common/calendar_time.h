// A date-time in the meter's local time (no time zone), with the calendar steps
// that archive reading needs.
#ifndef TRV_COMMON_CALENDAR_TIME_H
#define TRV_COMMON_CALENDAR_TIME_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// Codes as the meters and the configuration use them; other values can reach
// the calendar steps and are handled there.
enum ArchiveInterval : int32_t {
    ArchiveHour = 0,
    ArchiveDay = 1,
    ArchiveMonth = 2,
    ArchiveHalfHour = 3,
};

struct CalendarTime {
    boost::posix_time::ptime point;  // not_a_date_time in the default record
    int32_t epochSeconds = 0;        // seconds from 1970-01-01 00:00 to point, both local
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    uint8_t valid = 0;

    CalendarTime() = default;
    // yy is the year minus 2000. Unusable input leaves the default, not valid.
    CalendarTime(int32_t yy, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second);

    // "2024.03.07 05:04:03"; writes at most size bytes including the NUL.
    void FormatTime(char* out, size_t size) const;
    std::string FormatTime() const;

    void TruncateToInterval(ArchiveInterval kind);
    void StepIntervals(int n, ArchiveInterval kind);
    void AddMinutes(int n);

    // Recomputes the derived fields from point.
    void Refresh();

private:
    // Moves point by d; a result the date library cannot hold leaves the default.
    template <class Duration>
    void Move(const Duration& d);
};

#endif
