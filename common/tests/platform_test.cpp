#include <gtest/gtest.h>

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

TEST(PlatformTime, LocalFileTimeUsesThePresentOffset) {
    ScopedTz tz("XXX-5:30");  // UTC+5:30
    FILETIME local{}, utc{};
    ASSERT_TRUE(platform::SystemTimeToFileTime(Make(2024, 7, 1, 12), local));
    ASSERT_TRUE(platform::LocalFileTimeToFileTime(local, utc));
    SystemTime st{};
    ASSERT_TRUE(platform::FileTimeToSystemTime(utc, st));
    EXPECT_EQ(st.wHour, 6);
    EXPECT_EQ(st.wMinute, 30);
    // Before 1601 in UTC: no such FILETIME.
    EXPECT_FALSE(platform::LocalFileTimeToFileTime(platform::MakeFileTime(0), utc));
}
