#include <gtest/gtest.h>

#include <limits>

#include "common/calendar_time.h"

namespace {

CalendarTime At(int year, int month, int day, int hour, int minute, int second) {
    return CalendarTime(year - 2000, month, day, hour, minute, second);
}

}  // namespace

TEST(CalendarTimeBuilder, AcceptsRangeAndCarriesMinutesAndSeconds) {
    const CalendarTime midnight(24, 3, 7, 24, 0, 0);  // hour 24 is 00 of the same day
    EXPECT_TRUE(midnight.valid);
    EXPECT_EQ(midnight.FormatTime(), "2024.03.07 00:00:00");

    const CalendarTime carried(24, 2, 28, 23, 75, 0);
    EXPECT_TRUE(carried.valid);
    EXPECT_EQ(carried.FormatTime(), "2024.02.29 00:15:00");

    const CalendarTime seconds(24, 12, 31, 23, 59, 61);
    EXPECT_EQ(seconds.FormatTime(), "2025.01.01 00:00:01");

    const CalendarTime edge(100, 12, 31, 23, 0, 0);
    EXPECT_TRUE(edge.valid);
    EXPECT_EQ(edge.year, 2100);

    EXPECT_EQ(CalendarTime(0, 1, 1, 0, 0, 0).epochSeconds, 946684800);
}

TEST(CalendarTimeBuilder, RejectsOutOfRangeAndImpossibleDaysWithTheDefault) {
    const CalendarTime rejected[] = {
        CalendarTime(24, 3, 7, -1, 0, 0), CalendarTime(101, 1, 1, 0, 0, 0), CalendarTime(-1, 1, 1, 0, 0, 0),
        CalendarTime(24, 0, 1, 0, 0, 0),  CalendarTime(24, 13, 1, 0, 0, 0), CalendarTime(24, 1, 0, 0, 0, 0),
        CalendarTime(24, 1, 32, 0, 0, 0), CalendarTime(24, 4, 31, 0, 0, 0), CalendarTime(24, 2, 30, 0, 0, 0),
        CalendarTime(23, 2, 29, 0, 0, 0),
    };
    for (const auto& t : rejected) {
        EXPECT_FALSE(t.valid);
        EXPECT_TRUE(t.point.is_not_a_date_time());
        EXPECT_EQ(t.year, 0);
        EXPECT_EQ(t.epochSeconds, 0);
    }
    const CalendarTime defaulted;
    EXPECT_FALSE(defaulted.valid);
    EXPECT_TRUE(defaulted.point.is_not_a_date_time());
}

TEST(CalendarTimeFormat, YearUnpaddedOtherFieldsTwoDigits) {
    EXPECT_EQ(At(2024, 3, 7, 5, 4, 3).FormatTime(), "2024.03.07 05:04:03");
    char small[11];
    At(2024, 3, 7, 5, 4, 3).FormatTime(small, sizeof small);
    EXPECT_STREQ(small, "2024.03.07");  // cut, never overrun
}

TEST(CalendarTimeTruncate, EveryIntervalKind) {
    const CalendarTime t = At(2024, 3, 7, 5, 44, 10);
    auto truncated = [&](int kind) {
        CalendarTime c = t;
        c.TruncateToInterval(static_cast<ArchiveInterval>(kind));
        return c.FormatTime();
    };
    EXPECT_EQ(truncated(ArchiveHalfHour), "2024.03.07 05:30:00");
    EXPECT_EQ(truncated(ArchiveHour), "2024.03.07 05:00:00");
    EXPECT_EQ(truncated(ArchiveDay), "2024.03.07 00:00:00");
    EXPECT_EQ(truncated(ArchiveMonth), "2024.03.01 00:00:00");
    EXPECT_EQ(truncated(9), "2024.03.07 05:44:00");  // other codes drop the seconds only

    CalendarTime early = At(2024, 3, 7, 5, 12, 0);
    early.TruncateToInterval(ArchiveHalfHour);
    EXPECT_EQ(early.FormatTime(), "2024.03.07 05:00:00");
    EXPECT_EQ(early.epochSeconds, At(2024, 3, 7, 5, 0, 0).epochSeconds);

    CalendarTime invalid;
    invalid.TruncateToInterval(ArchiveDay);
    EXPECT_FALSE(invalid.valid);
}

TEST(CalendarTimeStep, IntervalsAcrossMonthAndYearEnds) {
    CalendarTime t = At(2024, 1, 31, 0, 0, 0);
    t.StepIntervals(1, ArchiveMonth);
    EXPECT_EQ(t.FormatTime(), "2024.02.29 00:00:00");
    t.StepIntervals(1, ArchiveMonth);  // last day of February stays on the last day
    EXPECT_EQ(t.FormatTime(), "2024.03.31 00:00:00");

    CalendarTime mid = At(2024, 1, 30, 0, 0, 0);
    mid.StepIntervals(1, ArchiveMonth);
    EXPECT_EQ(mid.FormatTime(), "2024.02.29 00:00:00");

    CalendarTime half = At(2024, 3, 7, 5, 30, 0);
    half.StepIntervals(-1, ArchiveHalfHour);
    EXPECT_EQ(half.FormatTime(), "2024.03.07 05:00:00");

    CalendarTime hour = At(2024, 12, 31, 23, 0, 0);
    hour.StepIntervals(1, ArchiveHour);
    EXPECT_EQ(hour.FormatTime(), "2025.01.01 00:00:00");
    hour.StepIntervals(-25, ArchiveHour);
    EXPECT_EQ(hour.FormatTime(), "2024.12.30 23:00:00");

    CalendarTime day = At(2024, 2, 28, 12, 0, 0);
    day.StepIntervals(2, ArchiveDay);
    EXPECT_EQ(day.FormatTime(), "2024.03.01 12:00:00");

    CalendarTime other = At(2024, 11, 15, 0, 0, 0);
    other.StepIntervals(3, static_cast<ArchiveInterval>(7));  // unknown codes step months
    EXPECT_EQ(other.FormatTime(), "2025.02.15 00:00:00");
    EXPECT_TRUE(other.valid);

    CalendarTime minutes = At(2024, 3, 7, 23, 50, 0);
    minutes.AddMinutes(15);
    EXPECT_EQ(minutes.FormatTime(), "2024.03.08 00:05:00");
    EXPECT_EQ(minutes.epochSeconds, At(2024, 3, 8, 0, 5, 0).epochSeconds);
}

TEST(CalendarTimeStep, AnyCountEitherLandsInTheCalendarOrLeavesTheDefault) {
    // Far steps that stay inside the date library's years, and every kind at the extremes of int.
    constexpr int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
    struct Case { int n; int kind; const char* result; };  // nullptr: not valid
    const Case cases[] = {
        {2000000, ArchiveDay, "7499.12.30 00:00:00"},       {-5000000, ArchiveHour, "1453.10.13 16:00:00"},
        {100000000, ArchiveHalfHour, "7728.02.26 08:00:00"}, {40000, ArchiveMonth, "5357.07.07 00:00:00"},
        {-7000, ArchiveMonth, "1440.11.07 00:00:00"},        {2000000000, ArchiveMonth, nullptr},
        {-2000000000, ArchiveHour, nullptr},                 {4000000, ArchiveDay, nullptr},
        {kMin, ArchiveHalfHour, nullptr}, {kMax, ArchiveHalfHour, nullptr}, {kMin, ArchiveHour, nullptr},
        {kMax, ArchiveHour, nullptr},     {kMin, ArchiveDay, nullptr},      {kMax, ArchiveDay, nullptr},
        {kMin, ArchiveMonth, nullptr},    {kMax, ArchiveMonth, nullptr},    {kMin, 7, nullptr},
        {kMax, 7, nullptr},               {kMin + 1, ArchiveDay, nullptr},  {-kMax, ArchiveMonth, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " of kind " << c.kind);
        CalendarTime t = At(2024, 3, 7, 0, 0, 0);
        t.StepIntervals(c.n, static_cast<ArchiveInterval>(c.kind));
        EXPECT_EQ(t.valid, c.result != nullptr);
        EXPECT_EQ(t.FormatTime(), c.result != nullptr ? c.result : CalendarTime().FormatTime());
    }
    for (int n : {kMin, kMax}) {
        CalendarTime t = At(2024, 3, 7, 0, 0, 0);
        t.AddMinutes(n);  // about 4083 years: 6107 is a date, -2059 is not
        EXPECT_EQ(t.valid, n == kMax) << n;
    }
    CalendarTime never;
    never.StepIntervals(1, ArchiveHour);
    never.AddMinutes(5);
    EXPECT_FALSE(never.valid);
    EXPECT_TRUE(never.point.is_not_a_date_time());
}
