// Session start and its steps, properties in both formats, divisors,
// archive bounds and positions, the meter's date and clock, archive settings.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;
namespace pt = boost::posix_time;

namespace {

class Vkt7SessionTest : public ::testing::Test {
protected:
    Vkt7SessionTest() {
        meter.clock().Set(At(2024, 3, 7, 12, 0, 0));
        ServeSimulator(t.port, meter);
    }

    ArchivePos Pos(int d, int m, int y, int h) {
        return ArchivePos{static_cast<uint8_t>(d), static_cast<uint8_t>(m), static_cast<uint8_t>(y),
                          static_cast<uint8_t>(h)};
    }

    ScopedTz tz{kFixedTz};
    sim::Vkt7Simulator meter;
    TestDriver t;
};

std::string PosText(const ArchivePos& p) {
    return std::to_string(p.day) + "." + std::to_string(p.month) + "." + std::to_string(p.year) + " " +
           std::to_string(p.hour);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST_F(Vkt7SessionTest, StartExchangesInTheOrderOfThePart) {
    meter.SetServerVersion(2);
    EXPECT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_TRUE(t->SessionOpen);
    EXPECT_EQ(Describe(t.port.Requests()),
              (std::vector<std::string>{"W 3FFF [CC] 80 00 00 00", "R 3FFE 179", "R 3FF9 21", "W 3FFD 06 00",
                                        "W 3FFF (96 bytes)", "R 3FFE 101", "R 3FF6 17"}));
    EXPECT_EQ(t.port.DrainCount(), 0u);
    // The property request: sixteen records, 70 before 69, lengths 7 then 1.
    const auto request = Decode(t.port.Requests()[4]);
    EXPECT_EQ(request->byteCount, 96);
    EXPECT_EQ(ToHex(request->data),
              "2C 00 00 40 07 00 2D 00 00 40 07 00 2E 00 00 40 07 00 2F 00 00 40 07 00 "
              "30 00 00 40 07 00 35 00 00 40 07 00 37 00 00 40 07 00 38 00 00 40 07 00 "
              "39 00 00 40 01 00 3B 00 00 40 01 00 3C 00 00 40 01 00 3D 00 00 40 01 00 "
              "42 00 00 40 01 00 46 00 00 40 01 00 45 00 00 40 01 00 4C 00 00 40 01 00");
    EXPECT_EQ(t->ServerVersion, 2);
    EXPECT_EQ(t->softwareMajor, 2);
    EXPECT_EQ(t->softwareMinor, 3);
    EXPECT_EQ(t->ReportDay, 25);
    EXPECT_EQ(t.port.logs, (std::vector<std::string>{"Server version defined as 2\n", "Software version defined as 2.3\n",
                                                     "Month archive adjusted to 25.1.24 23:00\n"}));
}

TEST_F(Vkt7SessionTest, PositionsFromTheBoundsAndTheDepths) {
    // The hour archive starts 45 days back (2024-01-22 12:00); the depths are 20, 20, 5.
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(PosText(t->Now), "7.3.24 12");
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 16");   // 20 hours before Now
    EXPECT_EQ(PosText(t->DayPos), "16.2.24 23");   // 20 days before Now, hour 23
    EXPECT_EQ(PosText(t->MonthPos), "25.1.24 23"); // gap 2 <= 5: the start's month
}

TEST_F(Vkt7SessionTest, AStartWithinTheDepthsIsKept) {
    meter.SetArchiveSpan(10, 365, 36);  // the hour archive begins at 02:00 today
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(PosText(t->HourPos), "7.3.24 2");
    EXPECT_EQ(PosText(t->DayPos), "7.3.24 23");
    EXPECT_EQ(PosText(t->MonthPos), "25.3.24 23");
}

TEST_F(Vkt7SessionTest, MonthLimitDepthFiveFromAStartTwoYearsBack) {
    // Now month 3 of year 24, hour-archive start month 1 of year 22: gap 26 > 5.
    meter.SetArchiveSpan(static_cast<int32_t>((At(2024, 3, 7, 12) - At(2022, 1, 1, 0)).hours()), 1000, 36);
    meter.SetReportDay(30);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(PosText(t->MonthPos), "30.10.23 23");
    EXPECT_TRUE(Contains(t.port.logs, "Month archive adjusted to 30.10.23 23:00\n"));
    // A day-archive start older than DepthDay days: exactly DepthDay days before Now.
    EXPECT_EQ(PosText(t->DayPos), "16.2.24 23");
}

TEST_F(Vkt7SessionTest, DepthsFromSetArchiveParams) {
    t->VKT7_SetArchiveParams(30, 3, 1, 7);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 6");
    EXPECT_EQ(PosText(t->DayPos), "4.3.24 23");
    EXPECT_EQ(PosText(t->MonthPos), "25.2.24 23");  // gap 2 > 1: one month before Now
}

TEST_F(Vkt7SessionTest, NoArchivesSetsEveryPositionFromNow) {
    meter.SetNoArchives(true);
    meter.SetSoftwareAnswerCount(2);  // no report day in the answer: 30 stays
    const ArchivePos now = t->Now;    // the computer's date and hour at construction
    EXPECT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_TRUE(t->SessionOpen);
    EXPECT_EQ(PosText(t->HourPos), PosText(now));
    EXPECT_EQ(PosText(t->DayPos), PosText(Pos(now.day, now.month, now.year, 23)));
    EXPECT_EQ(PosText(t->MonthPos), PosText(Pos(30, now.month, now.year, 23)));
    const std::string line = "No archives! Month archive set to 30." + std::to_string(now.month) + "." +
                             std::to_string(now.year) + " 23:00\n";
    EXPECT_TRUE(Contains(t.port.logs, line)) << line;
}

TEST_F(Vkt7SessionTest, SoftwareVersionWithByteCountOneLeavesTheReportDay) {
    meter.SetSoftwareAnswerCount(1);
    meter.SetSoftwareVersion(4, 1);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(t->softwareMajor, 4);
    EXPECT_EQ(t->softwareMinor, 1);
    EXPECT_EQ(t->ReportDay, 30);
}

TEST_F(Vkt7SessionTest, SoftwareVersionAnswersWithoutDataFailAtTheLink) {
    // Byte 2 below 1 (taken as signed) is either 0, a five-byte frame that is too
    // small, or 0x80 and more, a frame longer than the 21 bytes expected: the link
    // refuses both before the version check sees them.
    for (uint8_t count : {uint8_t{0}, uint8_t{0x80}}) {
        TestDriver d(1, 1);
        d->ServerVersion = 0;
        d.port.ignoreCapacity = true;
        d.port.Answer(ReadAnswer(1, Bytes(count, 0x23)));
        EXPECT_EQ(d->VKT7_StartSession(), count == 0 ? -1 : -4) << int(count);
        EXPECT_EQ(d.port.Requests().size(), 1u);
        EXPECT_FALSE(d->SessionOpen);
    }
}

TEST(Vkt7SessionAnswers, TooShortForTheFieldsReadFromThemFailsWithoutTouchingThem) {
    // The receive buffer still holds the longer answers before; none of it is taken.
    TestDriver d(1, 1);
    Bytes server(174, 0);
    server[61] = 1;  // frame bytes 64 (version) and 65 (flag 0)
    d.port.Answer(ReadAnswer(1, server));
    ASSERT_EQ(d->VKT7_ReadServerVersion(), 0);
    d->ServerVersion = 2;
    d.port.Answer(ReadAnswer(1, Bytes(10, 0)));
    EXPECT_EQ(d->VKT7_ReadServerVersion(), -4);
    EXPECT_EQ(d->ServerVersion, 2);
    d.port.Answer(WriteAnswer(1, 0x3FF9));  // passes the link; byte 2 (0x3F) names byte 64
    EXPECT_EQ(d->VKT7_ReadSoftwareVersion(), -4);
    EXPECT_EQ(d->ReportDay, 30);

    d->SessionOpen = true;
    d.port.Answer(ReadAnswer(1, Hex("01 01 18 00 08 03 18 05 01 01 18 00")));
    d.port.Answer(ReadAnswer(1, Hex("08 03 18 05 22 38 04 00")));
    ASSERT_EQ(d->VKT7_ReadDeviceTime(true), 0);
    d.port.Answer(ReadAnswer(1, Hex("01 02 03 04")));
    d.port.Answer(ReadAnswer(1, Hex("01 02")));
    EXPECT_EQ(d->VKT7_ReadDeviceTime(true), -4);
    EXPECT_EQ(PosText(d->Now), "8.3.24 5");
    EXPECT_EQ(ToHex(Bytes(d->meterClock, d->meterClock + 6)), "08 03 18 05 22 38");
    EXPECT_EQ(d.port.logs, (std::vector<std::string>{
                               "Server version defined as 1\n",
                               "Driver_VKT7. Server version answer of 15 bytes is too short\n",
                               "Driver_VKT7. Software version answer of 8 bytes is too short\n",
                               "Driver_VKT7. Archive bounds answer of 9 bytes is too short\n",
                               "Driver_VKT7. Clock answer of 7 bytes is too short\n",
                           }));
}

TEST_F(Vkt7SessionTest, ServerVersionFlagTwoFailsTheSession) {
    meter.SetServerFlag(2);
    EXPECT_EQ(t->VKT7_StartSession(), -4);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{"Error while getting server version answer is 0x2 instead of 0 or 1\n"});
    EXPECT_EQ(Describe(t.port.Requests()), (std::vector<std::string>{"W 3FFF [CC] 80 00 00 00", "R 3FFE 179"}));
    EXPECT_FALSE(t->SessionOpen);
    EXPECT_EQ(t->ServerVersion, 2);
}

TEST_F(Vkt7SessionTest, AFailedSessionOpenWriteEndsTheStartAtOnce) {
    meter.faults().silence = true;
    EXPECT_EQ(t->VKT7_StartSession(), -1);
    EXPECT_EQ(Describe(t.port.Requests()),
              (std::vector<std::string>{"W 3FFF [CC] 80 00 00 00", "W 3FFF [CC] 80 00 00 00", "W 3FFF [CC] 80 00 00 00"}));
    EXPECT_FALSE(t->SessionOpen);
}

TEST_F(Vkt7SessionTest, ServerVersionIsLearnedOnce) {
    meter.SetServerVersion(0);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(t->ServerVersion, 0);
    t.port.records.clear();
    t->ResetSession();
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    // 0x3FFD is not written again: type 6 is still selected.
    EXPECT_EQ(Describe(t.port.Requests()),
              (std::vector<std::string>{"R 3FF9 21", "W 3FFF (96 bytes)", "R 3FFE 101", "R 3FF6 17"}));
}

TEST_F(Vkt7SessionTest, AServerVersionAboveOneRunsTheOpenWriteAgain) {
    meter.SetServerVersion(3);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    t.port.records.clear();
    t->ResetSession();
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(Describe(t.port.Requests()).front(), "W 3FFF [CC] 80 00 00 00");
}

TEST_F(Vkt7SessionTest, ServerVersionZeroPropertiesAreExactly101Bytes) {
    meter.SetServerVersion(0);
    meter.SetDecimalPlaces(57, 1);
    meter.SetDecimalPlaces(59, 2);
    meter.SetDecimalPlaces(60, 4);
    meter.SetDecimalPlaces(61, 3);
    meter.SetDecimalPlaces(66, 5);
    meter.SetDecimalPlaces(70, 6);
    meter.SetDecimalPlaces(69, 7);
    meter.SetDecimalPlaces(76, 0);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    const auto properties = t.port.Requests()[5];
    EXPECT_EQ(properties.capacity, 101);
    EXPECT_EQ(properties.result, 101);  // 96 data bytes: eight 9-byte texts, eight 3-byte places
    const std::pair<int, uint32_t> expected[] = {{0, 10},      {36, 10},      {3, 100},    {5, 100},
                                                 {6, 10000},   {11, 10000},   {9, 1000},   {32, 1000},
                                                 {12, 100000}, {13, 100000},  {28, 1000000}, {33, 1000000},
                                                 {25, 10000000}, {27, 10000000}, {34, 1}, {35, 1},
                                                 {17, 1},      {19, 1},       {37, 1}};
    for (const auto& [element, divisor] : expected) EXPECT_EQ(t->elements[element].divisor, divisor) << element;
}

TEST_F(Vkt7SessionTest, ServerVersionOnePropertiesAreLengthPrefixed) {
    meter.SetServerVersion(1);
    meter.SetDecimalPlaces(57, 1);
    meter.SetDecimalPlaces(76, 2);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(t->ServerVersion, 1);
    const auto properties = t.port.Requests()[5];
    EXPECT_EQ(Decode(properties)->reg, 0x3FFE);
    EXPECT_EQ(properties.capacity, 265);  // expected length 0
    EXPECT_NE(properties.result, 101);
    EXPECT_EQ(t->elements[0].divisor, 10u);
    EXPECT_EQ(t->elements[3].divisor, 1000u);
    EXPECT_EQ(t->elements[34].divisor, 100u);  // the last entry, after the variable texts
}

TEST_F(Vkt7SessionTest, DecimalPlacesBeyondNineKeepTheDivisor) {
    meter.SetDecimalPlaces(59, 12);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(t->elements[3].divisor, 1u);
    EXPECT_TRUE(Contains(t.port.logs, "Driver_VKT7. Property 59 gives 12 decimal places: divisor kept\n"));
}

TEST_F(Vkt7SessionTest, SetDivisorAppliesOneRow) {
    t->VKT7_SetDivisor(57, 3);
    for (int e : {0, 1, 2, 14, 15, 16, 22, 23, 24, 36}) EXPECT_EQ(t->elements[e].divisor, 1000u) << e;
    for (int e : {3, 37, 38, 19}) EXPECT_EQ(t->elements[e].divisor, 1u) << e;
    t->VKT7_SetDivisor(58, 4);  // no row
    t->VKT7_SetDivisor(44, 4);
    for (int e = 0; e < kElementCount; ++e)
        EXPECT_EQ(t->elements[e].divisor, (e == 0 || e == 1 || e == 2 || e == 14 || e == 15 || e == 16 || e == 22 ||
                                           e == 23 || e == 24 || e == 36)
                                              ? 1000u
                                              : 1u);
}

TEST_F(Vkt7SessionTest, AFailedPropertiesStepStillReadsAndAppliesTheBounds) {
    meter.SetException(0x3FFD, 2, 0x10);
    EXPECT_EQ(t->VKT7_StartSession(), 2);
    EXPECT_EQ(Describe(t.port.Requests()).back(), "R 3FF6 17");
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 16");
    EXPECT_FALSE(t->SessionOpen);
}

TEST_F(Vkt7SessionTest, AFailedBoundsReadLeavesThePositionsAndTheSessionClosed) {
    meter.SetException(0x3FF6, 2, 0x03);
    EXPECT_EQ(t->VKT7_StartSession(), 0);  // the properties' result
    EXPECT_EQ(PosText(t->HourPos), "0.0.0 0");
    EXPECT_FALSE(t->SessionOpen);
}

TEST_F(Vkt7SessionTest, ReadDeviceTimeStartsTheSessionThenReadsDateAndClock) {
    meter.clock().Set(At(2024, 3, 7, 12, 34, 56));
    EXPECT_EQ(t->VKT7_ReadDeviceTime(true), 0);
    const auto requests = Describe(t.port.Requests());
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[requests.size() - 2], "R 3FF6 17");
    EXPECT_EQ(requests.back(), "R 3FFB 13");
    EXPECT_EQ(ToHex(Bytes(t->meterClock, t->meterClock + 6)), "07 03 18 0C 22 38");
    t.port.records.clear();
    meter.clock().Set(At(2024, 3, 8, 1, 0, 0));
    EXPECT_EQ(t->VKT7_ReadDeviceTime(false), 0);
    EXPECT_EQ(Describe(t.port.Requests()), std::vector<std::string>{"R 3FF6 17"});
    EXPECT_EQ(PosText(t->Now), "8.3.24 1");
}

TEST_F(Vkt7SessionTest, ReadDeviceTimeReturnsTheStartResultWhenTheSessionStaysClosed) {
    meter.SetServerFlag(5);
    EXPECT_EQ(t->VKT7_ReadDeviceTime(true), -4);
    EXPECT_EQ(Describe(t.port.Requests()).back(), "R 3FFE 179");
}

TEST_F(Vkt7SessionTest, ClockIsReadEvenWhenTheDateReadFails) {
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    t.port.records.clear();
    meter.SetException(0x3FF6, 4, 0x03, 1);
    EXPECT_EQ(t->VKT7_ReadDeviceTime(true), 0);
    EXPECT_EQ(Describe(t.port.Requests()), (std::vector<std::string>{"R 3FF6 17", "R 3FFB 13"}));
}

TEST_F(Vkt7SessionTest, SetArchiveParamsStoresAndLogs) {
    t->VKT7_SetArchiveParams(48, 31, 12, 10);
    EXPECT_EQ(t->DepthHour, 48);
    EXPECT_EQ(t->DepthDay, 31);
    EXPECT_EQ(t->DepthMonth, 12);
    EXPECT_EQ(t->CountRecord, 10);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{
                               "Driver_VKT7: New archive params: Depth (Hour, Day, Month) = 48,31,12, record count = 10\n"});
    EXPECT_TRUE(t->lock.try_lock());  // released
    t->lock.unlock();
}

TEST_F(Vkt7SessionTest, InitialSessionFields) {
    TestDriver d;
    EXPECT_FALSE(d->SessionOpen);
    EXPECT_EQ(d->ServerVersion, 2);
    EXPECT_EQ(d->ReportDay, 30);
    EXPECT_EQ(d->DepthHour, 20);
    EXPECT_EQ(d->DepthDay, 20);
    EXPECT_EQ(d->DepthMonth, 5);
    EXPECT_EQ(d->CountRecord, 5);
    EXPECT_EQ(d->timeout, 1000);
    EXPECT_EQ(d->maxAnswerLength, 265);
    // Now is the computer's local date and hour.
    const ArchivePos now = SecondsPosition(static_cast<int64_t>(std::time(nullptr)));
    EXPECT_EQ(d->Now.year, now.year);
    EXPECT_EQ(d->Now.month, now.month);
}
