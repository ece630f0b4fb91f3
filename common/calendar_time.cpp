#include "common/calendar_time.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/text_appender.h"

namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {
const pt::ptime kEpoch(gd::date(1970, 1, 1));
}

CalendarTime::CalendarTime(int32_t yy, int32_t month_, int32_t day_, int32_t hour_, int32_t minute_,
                           int32_t second_) {
    if (hour_ >= 24) hour_ = 0;
    if (yy < 0 || yy > 100 || month_ < 1 || month_ > 12 || day_ < 1 || day_ > 31 || hour_ < 0 || hour_ > 23) return;
    try {
        point = pt::ptime(gd::date(static_cast<unsigned short>(2000 + yy), static_cast<unsigned short>(month_),
                                   static_cast<unsigned short>(day_))) +
                pt::hours(hour_) + pt::minutes(minute_) + pt::seconds(second_);
    } catch (const std::exception&) {
        // 31 April, 30 February: the date library refuses the day.
        *this = CalendarTime();
        return;
    }
    Refresh();
    if (point.is_special()) {
        *this = CalendarTime();
        return;
    }
    valid = 1;
}

void CalendarTime::Refresh() {
    if (point.is_special()) {
        epochSeconds = year = month = day = hour = minute = second = 0;
        return;
    }
    const gd::date d = point.date();
    const pt::time_duration tod = point.time_of_day();
    year = d.year();
    month = d.month();
    day = d.day();
    hour = static_cast<int32_t>(tod.hours());
    minute = static_cast<int32_t>(tod.minutes());
    second = static_cast<int32_t>(tod.seconds());
    epochSeconds = static_cast<int32_t>((point - kEpoch).total_seconds());
}

void CalendarTime::FormatTime(char* out, size_t size) const {
    if (out == nullptr || size == 0) return;
    // Written once or twice per poll cycle: no printf engine.
    TextAppender(out, size).Int(year).Char('.').Int(month, 2).Char('.').Int(day, 2).Char(' ').Int(hour, 2).Char(':')
        .Int(minute, 2).Char(':').Int(second, 2);
}

std::string CalendarTime::FormatTime() const {
    char text[64];
    FormatTime(text, sizeof text);
    return text;
}

template <class Duration>
void CalendarTime::Move(const Duration& d) {
    if (point.is_special()) return;
    try {
        point = point + d;
        // Breaking down a point beyond the calendar's years throws as well.
        if (!point.is_special()) {
            Refresh();
            return;
        }
    } catch (const std::exception&) {
    }
    *this = CalendarTime();
}

void CalendarTime::TruncateToInterval(ArchiveInterval kind) {
    if (point.is_special()) return;
    Refresh();
    int32_t y = year, mo = month, d = day, h = hour, mi = minute;
    switch (kind) {
        case ArchiveHalfHour: mi = mi < 30 ? 0 : 30; break;
        case ArchiveHour: mi = 0; break;
        case ArchiveDay: mi = 0; h = 0; break;
        case ArchiveMonth: mi = 0; h = 0; d = 1; break;
        default: break;
    }
    point = pt::ptime(gd::date(static_cast<unsigned short>(y), static_cast<unsigned short>(mo),
                               static_cast<unsigned short>(d)),
                      pt::hours(h) + pt::minutes(mi));
    Refresh();
}

namespace {
// The date library's calendar spans the years 1400 to 9999: no step longer than
// this many days can land inside it, from any point inside it.
constexpr int64_t kCalendarDays = 8600LL * 366;
// Month steps reach the date library as a short; longer ones go in whole years.
constexpr int64_t kMonthChunk = 2700LL * 12;
}  // namespace

void CalendarTime::StepIntervals(int n, ArchiveInterval kind) {
    const int64_t steps = n;
    int64_t perDay = 0;
    switch (kind) {
        case ArchiveHalfHour: perDay = 48; break;
        case ArchiveHour: perDay = 24; break;
        case ArchiveDay: perDay = 1; break;
        default: break;
    }
    if (perDay == 0) {
        // Months: a calendar of 8600 years holds fewer than 103200 of them.
        if (steps > 8600 * 12 || steps < -8600 * 12) {
            *this = CalendarTime();
            return;
        }
        int64_t left = steps;
        while (left != 0 && !point.is_special()) {
            // Whole years first, so that the day of month moves as in one step.
            const int64_t chunk = left > kMonthChunk ? kMonthChunk : left < -kMonthChunk ? -kMonthChunk : left;
            Move(gd::months(static_cast<int>(chunk)));
            left -= chunk;
        }
        return;
    }
    // Counts beyond the calendar would overflow the library's microsecond ticks.
    if (steps > kCalendarDays * perDay || steps < -kCalendarDays * perDay) {
        *this = CalendarTime();
        return;
    }
    switch (kind) {
        case ArchiveHalfHour: Move(pt::minutes(steps * 30)); break;
        case ArchiveHour: Move(pt::hours(steps)); break;
        default: Move(gd::days(steps)); break;
    }
}

void CalendarTime::AddMinutes(int n) { Move(pt::minutes(n)); }
