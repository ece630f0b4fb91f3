#include <gtest/gtest.h>

#include <ctime>
#include <tuple>

#include "common/platform.h"
#include "common/tests/scoped_tz.h"

using platform::SystemTime;

namespace {

SystemTime Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SystemTime st{};
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(mo);
    st.wDay = static_cast<uint16_t>(d);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(mi);
    st.wSecond = static_cast<uint16_t>(s);
    st.wMilliseconds = static_cast<uint16_t>(ms);
    return st;
}

}  // namespace

TEST(PlatformTime, SystemTimeToFileTimeRejectsImpossibleDates) {
    FILETIME ft{};
    for (const SystemTime& bad : {Make(2024, 4, 31), Make(2023, 2, 29), Make(2024, 2, 30), Make(2024, 13, 1),
                                  Make(2024, 0, 1), Make(2024, 1, 0), Make(2024, 1, 1, 24), Make(2024, 1, 1, 0, 60),
                                  Make(2024, 1, 1, 0, 0, 60), Make(2024, 1, 1, 0, 0, 0, 1000), Make(1600, 12, 31)})
        EXPECT_FALSE(platform::SystemTimeToFileTime(bad, ft));
    EXPECT_TRUE(platform::SystemTimeToFileTime(Make(2024, 2, 29), ft));
    EXPECT_TRUE(platform::SystemTimeToFileTime(Make(2000, 2, 29), ft));
    EXPECT_FALSE(platform::SystemTimeToFileTime(Make(1900, 2, 29), ft));
}

TEST(PlatformTime, FileTimeRoundTripsAndKnownInstants) {
    FILETIME ft{};
    ASSERT_TRUE(platform::SystemTimeToFileTime(Make(1970, 1, 1), ft));
    EXPECT_EQ(platform::FileTimeTicks(ft), platform::kUnixEpochTicks);
    ASSERT_TRUE(platform::SystemTimeToFileTime(Make(1601, 1, 1), ft));
    EXPECT_EQ(platform::FileTimeTicks(ft), 0u);

    const SystemTime original = Make(2024, 12, 31, 23, 59, 58, 999);
    ASSERT_TRUE(platform::SystemTimeToFileTime(original, ft));
    SystemTime back{};
    ASSERT_TRUE(platform::FileTimeToSystemTime(ft, back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 12);
    EXPECT_EQ(back.wDay, 31);
    EXPECT_EQ(back.wHour, 23);
    EXPECT_EQ(back.wMinute, 59);
    EXPECT_EQ(back.wSecond, 58);
    EXPECT_EQ(back.wMilliseconds, 999);
    EXPECT_EQ(back.wDayOfWeek, 2);  // a Tuesday

    EXPECT_FALSE(platform::FileTimeToSystemTime(platform::MakeFileTime(0x8000000000000000ull), back));
}

// Runs on the Windows build too, where the zone is the machine's (UTC+3 there as well).
TEST(PlatformTime, LocalConversionsAtUtcPlus3) {
    ScopedTz tz("<+03>-3");  // no summer time
    struct Case {
        SystemTime local;
        SystemTime utc;
        int64_t epochSeconds;
    };
    for (const Case& c : {Case{Make(2024, 7, 1, 12), Make(2024, 7, 1, 9), 1719824400},
                          Case{Make(2024, 1, 1, 1, 30), Make(2023, 12, 31, 22, 30), 1704061800},
                          Case{Make(2024, 3, 1, 0), Make(2024, 2, 29, 21), 1709240400}}) {
        SCOPED_TRACE(c.epochSeconds);
        // Archive stamps: local FILETIME to UTC with the present offset.
        FILETIME local{}, utc{};
        ASSERT_TRUE(platform::SystemTimeToFileTime(c.local, local));
        ASSERT_TRUE(platform::LocalFileTimeToFileTime(local, utc));
        SystemTime st{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(utc, st));
        EXPECT_EQ(std::tuple(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute),
                  std::tuple(c.utc.wYear, c.utc.wMonth, c.utc.wDay, c.utc.wHour, c.utc.wMinute));
        // The runtime's local calendar, both ways.
        std::tm tm{};
        tm.tm_year = c.local.wYear - 1900, tm.tm_mon = c.local.wMonth - 1, tm.tm_mday = c.local.wDay;
        tm.tm_hour = c.local.wHour, tm.tm_min = c.local.wMinute, tm.tm_isdst = -1;
        EXPECT_EQ(platform::LocalCalendarToSeconds(tm), c.epochSeconds);
        std::tm back{};
        ASSERT_TRUE(platform::SecondsToLocalCalendar(c.epochSeconds, back));
        EXPECT_EQ(std::tuple(back.tm_year + 1900, back.tm_mon + 1, back.tm_mday, back.tm_hour, back.tm_min),
                  std::tuple(int{c.local.wYear}, int{c.local.wMonth}, int{c.local.wDay}, int{c.local.wHour},
                             int{c.local.wMinute}));
    }
}

TEST(PlatformTime, NoUtcFileTimeBefore1601) {
    ScopedTz tz("<+03>-3");
    FILETIME utc{};
    EXPECT_FALSE(platform::LocalFileTimeToFileTime(platform::MakeFileTime(0), utc));
}
