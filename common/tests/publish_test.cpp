#include <gtest/gtest.h>

#include "common/platform.h"
#include "common/publish.h"
#include "common/tests/scoped_tz.h"
#include "hostemu/host_emulator.h"

using namespace hostemu;

namespace {

constexpr uint64_t kHour = 3600 * platform::kTicksPerSecond;

// FILETIME ticks of a UTC wall-clock time.
uint64_t UtcTicks(int year, int month, int day, int hour) {
    platform::SystemTime st{};
    st.wYear = static_cast<uint16_t>(year);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(day);
    st.wHour = static_cast<uint16_t>(hour);
    FILETIME ft{};
    EXPECT_TRUE(platform::SystemTimeToFileTime(st, ft));
    return platform::FileTimeTicks(ft);
}

class Publishing : public ::testing::Test {
protected:
    Host host;
    Device& device = host.AddDevice("d", "VKT5");
    Tag& tag = device.AddTag("t");
};

}  // namespace

TEST_F(Publishing, CurrentValuesCarryNoStampAndNullTagsPublishNothing) {
    PublishDouble(&tag, 1.5, 192);
    EXPECT_EQ(tag.value.kind, ValueKind::Double);
    EXPECT_EQ(tag.value.number, 1.5);
    EXPECT_FALSE(tag.time.has_value());
    PublishInt(&tag, -7, 0);
    EXPECT_EQ(tag.value.kind, ValueKind::Int);
    EXPECT_EQ(tag.value.number, -7);
    EXPECT_EQ(tag.quality, 0u);
    PublishBool(&tag, 1, 16);
    EXPECT_EQ(tag.value.kind, ValueKind::Bool);
    EXPECT_EQ(tag.quality, 16u);
    EXPECT_EQ(device.EventsOf(EventKind::Publish).size(), 3u);

    PublishDouble(nullptr, 1, 192);
    PublishInt(nullptr, 1, 192);
    PublishBool(nullptr, 1, 192);
    PublishTimeText(nullptr, CalendarTime(24, 1, 1, 0, 0, 0));
    EXPECT_EQ(device.EventsOf(EventKind::Publish).size(), 3u);

    SetQuality(&tag, 64);
    ASSERT_EQ(device.EventsOf(EventKind::SetQuality).size(), 1u);
    EXPECT_EQ(tag.quality, 64u);
}

TEST_F(Publishing, TimeTextIsGoodAndOnlyForValidTimes) {
    PublishTimeText(&tag, CalendarTime());
    EXPECT_TRUE(device.EventsOf(EventKind::Publish).empty());
    PublishTimeText(&tag, CalendarTime(24, 3, 7, 5, 4, 3));
    ASSERT_EQ(device.EventsOf(EventKind::Publish).size(), 1u);
    EXPECT_EQ(tag.value.kind, ValueKind::Text);
    EXPECT_EQ(tag.value.text, "2024.03.07 05:04:03");
    EXPECT_EQ(tag.quality, 192u);
    EXPECT_FALSE(tag.time.has_value());
}

TEST_F(Publishing, RecordTimeIsTheWholeHourInUtcWithTodaysOffset) {
    ScopedTz tz("MSK-3");  // UTC+3, no daylight saving
    FILETIME stamp{};
    ASSERT_TRUE(MakeRecordTime(CalendarTime(24, 3, 7, 5, 30, 45), stamp));
    EXPECT_EQ(platform::FileTimeTicks(stamp), UtcTicks(2024, 3, 7, 2));

    FILETIME midnight{};
    ASSERT_TRUE(MakeRecordTime(CalendarTime(24, 1, 1, 0, 0, 0), midnight));
    EXPECT_EQ(platform::FileTimeTicks(midnight), UtcTicks(2023, 12, 31, 21));

    EXPECT_FALSE(MakeRecordTime(CalendarTime(), stamp));
}

TEST_F(Publishing, RecordTimeIgnoresTheOffsetInForceAtTheRecordsDate) {
    ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int64_t offsetHours = local.tm_gmtoff / 3600;
    // One date in summer time, one in winter time: both shifted by today's offset.
    for (int month : {1, 7}) {
        FILETIME stamp{};
        ASSERT_TRUE(MakeRecordTime(CalendarTime(24, month, 15, 12, 0, 0), stamp));
        EXPECT_EQ(platform::FileTimeTicks(stamp), UtcTicks(2024, month, 15, 12) - offsetHours * kHour) << month;
    }
}

TEST_F(Publishing, ArchiveValuePublishesStampedThenCommitsThenNotifies) {
    ScopedTz tz("UTC0");
    PublishArchiveDouble(device.handle(), &tag, 2.25, CalendarTime(24, 3, 7, 5, 30, 0), 192);
    ASSERT_EQ(device.events.size(), 3u);
    EXPECT_EQ(device.events[0].kind, EventKind::Publish);
    EXPECT_EQ(device.events[0].value.number, 2.25);
    EXPECT_EQ(device.events[0].time, UtcTicks(2024, 3, 7, 5));
    EXPECT_EQ(device.events[1].kind, EventKind::Commit);
    ASSERT_EQ(device.events[1].tags.size(), 1u);
    EXPECT_EQ(device.events[1].tags[0], &tag);
    EXPECT_EQ(device.events[2].kind, EventKind::Notify);
    EXPECT_EQ(device.events[2].tag, &tag);

    device.ClearEvents();
    device.notifyEnabled = false;
    PublishArchiveInt(device.handle(), &tag, 17, CalendarTime(24, 3, 7, 6, 0, 0), 16);
    ASSERT_EQ(device.events.size(), 2u);
    EXPECT_EQ(tag.value.kind, ValueKind::Int);
    EXPECT_EQ(tag.quality, 16u);
    EXPECT_EQ(device.events[1].kind, EventKind::Commit);
}

TEST_F(Publishing, ArchiveValueWithUnusableTimeLogsAndPublishesNothing) {
    device.breakFlag = true;  // the line is written to the host log even then
    PublishArchiveInt(device.handle(), &tag, 5, CalendarTime(), 192);
    PublishArchiveDouble(device.handle(), &tag, 5, CalendarTime(24, 2, 30, 0, 0, 0), 192);
    EXPECT_EQ(device.LogLines(), (std::vector<std::string>{"Error record time", "Error record time"}));
    EXPECT_TRUE(device.EventsOf(EventKind::Publish).empty());
    EXPECT_TRUE(device.EventsOf(EventKind::Commit).empty());
    EXPECT_TRUE(device.EventsOf(EventKind::Notify).empty());

    device.ClearEvents();
    PublishArchiveInt(nullptr, &tag, 5, CalendarTime(), 192);
    PublishArchiveDouble(device.handle(), nullptr, 5, CalendarTime(), 192);
    EXPECT_TRUE(device.events.empty());
}
