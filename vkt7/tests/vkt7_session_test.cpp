// Session start and its steps, properties in both formats, divisors, archive
// bounds and positions, answers too short for their fields, archive settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;

class Vkt7Session : public ::testing::Test {
protected:
    Vkt7Session() {
        meter.clock().Set(At(2024, 3, 7, 12));  // the hour archive starts 45 days back
        t.port.Serve(meter);
    }
    bool Logged(const std::string& line) const { return Count(t.port.logs, line) > 0; }
    Lines Positions() { return {PosText(t->HourPos), PosText(t->DayPos), PosText(t->MonthPos)}; }

    sim::Vkt7Simulator meter;
    TestDriver t;
};


TEST_F(Vkt7Session, StartRequestsThePropertiesAndSetsThePositionsFromTheDepths) {
    meter.SetServerVersion(2);
    EXPECT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_TRUE(t->SessionOpen);
    // The property request (the order of the start is checked with the first cycle): sixteen
    // records, 70 before 69, lengths 7 then 1.
    EXPECT_EQ(ToHex(Bytes(t.port.records[4].tx.begin() + 8, t.port.records[4].tx.end() - 2)),
              "60 2C 00 00 40 07 00 2D 00 00 40 07 00 2E 00 00 40 07 00 2F 00 00 40 07 00 "
              "30 00 00 40 07 00 35 00 00 40 07 00 37 00 00 40 07 00 38 00 00 40 07 00 "
              "39 00 00 40 01 00 3B 00 00 40 01 00 3C 00 00 40 01 00 3D 00 00 40 01 00 "
              "42 00 00 40 01 00 46 00 00 40 01 00 45 00 00 40 01 00 4C 00 00 40 01 00");
    EXPECT_EQ(t.port.logs, (Lines{"Server version defined as 2\n", "Software version defined as 2.3\n",
                                  "Month archive adjusted to 25.1.24 23:00\n"}));
    // 20 hours and 20 days before Now; gap 2 <= DepthMonth 5: the start's month.
    EXPECT_EQ(PosText(t->Now), "7.3.24 12");
    EXPECT_EQ(Positions(), (Lines{"6.3.24 16", "16.2.24 23", "25.1.24 23"}));
}

TEST_F(Vkt7Session, DepthsAtTheEndsOfIntGiveDefinedPositions) {
    // The deepest depth keeps the archive's own start; the most negative one moves the month
    // past Now by 2^31 + 2 months, wrapped in the stored year byte (24 + 178956970 is 194).
    const struct { int32_t depth; Lines positions; } cases[] = {
        {INT32_MAX, {"22.1.24 12", "22.1.24 23", "25.1.24 23"}},
        {INT32_MIN, {"", "", "25.11.194 23"}},
    };
    for (const auto& c : cases) {
        t->VKT7_SetArchiveParams(c.depth, c.depth, c.depth, 5);
        t->ResetSession();
        ASSERT_EQ(t->VKT7_StartSession(), 0) << c.depth;
        const Lines positions = Positions();
        for (size_t i = 0; i < 3; ++i) {
            if (!c.positions[i].empty()) {
                EXPECT_EQ(positions[i], c.positions[i]) << c.depth;
            }
        }
    }
}

TEST_F(Vkt7Session, EachStartSetsThePositionsAfreshAndAsksAgainForAServerVersionAboveOne) {
    meter.SetServerVersion(3);          // 0 and 1 are learned once: see the end-to-end recovery
    meter.SetArchiveSpan(10, 365, 36);  // the hour archive begins at 02:00 today
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(Positions(), (Lines{"7.3.24 2", "7.3.24 23", "25.3.24 23"}));  // within the depths: kept
    // Now month 3 of year 24, start month 1 of year 22: gap 26 > 5 gives month 10 of year 23.
    meter.SetArchiveSpan(static_cast<int32_t>((At(2024, 3, 7, 12) - At(2022, 1, 1)).hours()), 1000, 36);
    meter.SetReportDay(30);
    t.port.records.clear();
    t->ResetSession();
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(t.port.Sent().front(), "W 3FFF [CC] 80 00 00 00");
    EXPECT_EQ(PosText(t->MonthPos), "30.10.23 23");
    EXPECT_TRUE(Logged("Month archive adjusted to 30.10.23 23:00\n"));
}

TEST_F(Vkt7Session, NoArchivesSetsEveryPositionFromNow) {
    meter.SetNoArchives(true);
    meter.SetSoftwareAnswerCount(1);  // version only: ReportDay stays 30
    meter.SetSoftwareVersion(4, 1);
    const ArchivePos now = t->Now;  // the computer's date and hour at construction
    EXPECT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_TRUE(t->SessionOpen);
    EXPECT_TRUE(Logged("Software version defined as 4.1\n"));
    EXPECT_EQ(Positions(), (Lines{PosText(now), PosText(Pos(now.day, now.month, now.year, 23)),
                                  PosText(Pos(30, now.month, now.year, 23))}));
    EXPECT_TRUE(Logged("No archives! Month archive set to 30." + std::to_string(now.month) + "." +
                       std::to_string(now.year) + " 23:00\n"));
}

TEST_F(Vkt7Session, FailuresOfTheStartSteps) {
    meter.SetServerFlag(2);
    EXPECT_EQ(t->VKT7_StartSession(), -4);
    EXPECT_EQ(t.port.logs, Lines{"Error while getting server version answer is 0x2 instead of 0 or 1\n"});
    EXPECT_EQ(t.port.Sent(), (Lines{"W 3FFF [CC] 80 00 00 00", "R 3FFE 179"}));
    EXPECT_EQ(t->VKT7_ReadDeviceTime(true), -4);  // the session stays closed: no date read
    EXPECT_EQ(t.port.Sent().back(), "R 3FFE 179");
    meter.SetServerFlag(0);
    // A failed open write ends the start at once.
    t.port.records.clear();
    meter.faults().silence = true;
    EXPECT_EQ(t->VKT7_StartSession(), -1);
    EXPECT_EQ(t.port.Sent(), Lines(3, "W 3FFF [CC] 80 00 00 00"));
    meter.faults().silence = false;
    // A failed properties step still reads and applies the bounds; the session stays closed.
    meter.SetException(0x3FFD, 2, 0x10);
    EXPECT_EQ(t->VKT7_StartSession(), 2);
    EXPECT_EQ(t.port.Sent().back(), "R 3FF6 17");
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 16");
    EXPECT_FALSE(t->SessionOpen);
    meter.SetException(0x3FFD, 0, 0x10);
    // A failed bounds read leaves the positions and the session closed; the properties' result is returned.
    t->HourPos = ArchivePos{};
    meter.SetException(0x3FF6, 2, 0x03);
    EXPECT_EQ(t->VKT7_StartSession(), 0);
    EXPECT_EQ(PosText(t->HourPos), "0.0.0 0");
    EXPECT_FALSE(t->SessionOpen);
}

TEST_F(Vkt7Session, PropertiesSetTheDivisorRowsInBothFormats) {
    const std::vector<std::pair<int, std::vector<int>>> rows = {
        {57, {0, 1, 2, 14, 15, 16, 22, 23, 24, 36}}, {59, {3, 4, 5}}, {60, {6, 7, 8, 11}}, {61, {9, 10, 31, 32}},
        {66, {12, 13}}, {69, {25, 26, 27}}, {70, {28, 29, 30, 33}}, {76, {34, 35}}};
    for (uint8_t version : {0, 1}) {
        SCOPED_TRACE(version);
        TestDriver d;
        d.port.Serve(meter);
        meter.SetServerVersion(version);
        std::vector<uint32_t> divisors(kElementCount, 1);
        uint8_t places = 1;
        for (const auto& [property, elements] : rows) {
            meter.SetDecimalPlaces(static_cast<uint8_t>(property), places);
            for (int e : elements) divisors[e] = static_cast<uint32_t>(std::pow(10, places));
            ++places;
        }
        ASSERT_EQ(d->VKT7_StartSession(), 0);
        const auto properties = d.port.records[5];
        EXPECT_EQ(properties.capacity, version == 1 ? 265 : 101);
        if (version == 0) {
            EXPECT_EQ(properties.result, 101);  // eight 9-byte texts, eight 3-byte places
        }
        d->VKT7_SetDivisor(58, 4);   // no row
        d->VKT7_SetDivisor(59, 12);  // 10^12 does not fit
        EXPECT_EQ(d.port.logs.back(), "Driver_VKT7. Property 59 gives 12 decimal places: divisor kept\n");
        for (int e = 0; e < kElementCount; ++e) EXPECT_EQ(d->elements[e].divisor, divisors[e]) << e;
    }
}

TEST(Vkt7SessionAnswers, ShortAnswersAreTakenFromTheBufferAsItStands) {
    // Bytes a short answer did not bring hold what the longer answers before left there, or its CRC.
    TestDriver d(1, 1);
    Bytes server(174, 0);
    server[61] = 1;  // frame bytes 64 (version) and 65 (flag 0)
    d.port.Answer(ReadAnswer(1, server));
    ASSERT_EQ(d->VKT7_ReadServerVersion(), 0);
    d->ServerVersion = 2;
    d.port.Answer(ReadAnswer(1, Bytes(10, 0)));
    EXPECT_EQ(d->VKT7_ReadServerVersion(), 0);
    EXPECT_EQ(d->ServerVersion, 1);
    d.port.Answer(WriteAnswer(1, 0x3FF9));  // passes the link; byte 2 (0x3F) names byte 64
    EXPECT_EQ(d->VKT7_ReadSoftwareVersion(), 0);
    EXPECT_EQ(d->ReportDay, 1);
    d->SessionOpen = true;
    d.port.Answer(ReadAnswer(1, Hex("01 01 18 00 08 03 18 05 01 01 18 00")));
    d.port.Answer(ReadAnswer(1, Hex("08 03 18 05 22 38 04 00")));
    ASSERT_EQ(d->VKT7_ReadDeviceTime(true), 0);
    const Bytes bounds = ReadAnswer(1, Hex("01 02 03 04")), clock = ReadAnswer(1, Hex("01 02"));
    d.port.Answer(bounds);
    d.port.Answer(clock);
    EXPECT_EQ(d->VKT7_ReadDeviceTime(true), 0);
    EXPECT_EQ(PosText(d->Now), PosText(Pos(bounds[7], bounds[8], 0x04, 0x00)));  // its CRC, then the old clock answer
    EXPECT_EQ(ToHex(Bytes(d->meterClock, d->meterClock + 6)), ToHex({0x01, 0x02, clock[5], clock[6], bounds[7], bounds[8]}));
    EXPECT_EQ(d.port.logs, (Lines{"Server version defined as 1\n", "Server version defined as 1\n",
                                  "Software version defined as 15.9\n"}));
}
