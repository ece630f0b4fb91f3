// The data read, the quality table with its lines, decoding by type,
// values by position and by element, archive readers with stepping and day
// normalisation.
#include <gtest/gtest.h>

#include <cmath>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;

namespace {

// A driver with an open session and a built list of the given elements (number,
// size) for one type, so that a read is one 0x3FFE exchange.
void Prepare(TestDriver& t, uint8_t type, std::initializer_list<std::pair<uint8_t, uint8_t>> elements,
             std::initializer_list<uint8_t> absent = {}) {
    t->SessionOpen = true;
    t->SelectedArchive = type;
    t->ExpectedLength = 0;
    for (const auto& [e, size] : elements) {
        t->VKT7_AddElement(e, type);
        t->elements[e].flags[type] |= kFlagPresent;
        t->elements[e].size = size;
        t->ExpectedLength += size + 2u;
    }
    for (uint8_t e : absent) t->VKT7_AddElement(e, type);
    if (t->ExpectedLength > 0) t->ExpectedLength += 5;
}

double Number(TestDriver& t, uint8_t e) {
    Vkt7Value v;
    EXPECT_EQ(t->VKT7_GetElementValue(e, v), 0);
    return v.number;
}

uint8_t ElementQuality(TestDriver& t, uint8_t e) { return t->elements[e].quality; }

std::string PosText(const ArchivePos& p) {
    return std::to_string(p.day) + "." + std::to_string(p.month) + "." + std::to_string(p.year) + " " +
           std::to_string(p.hour);
}

ArchivePos Pos(int d, int m, int y, int h) {
    return ArchivePos{static_cast<uint8_t>(d), static_cast<uint8_t>(m), static_cast<uint8_t>(y), static_cast<uint8_t>(h)};
}

}  // namespace

// ---- the quality table ----

struct QualityCase {
    uint8_t q;
    uint8_t ns;
    uint8_t quality;
    bool decoded;
    const char* line;  // with element 0
};

class Vkt7QualityTable : public ::testing::TestWithParam<QualityCase> {};

TEST_P(Vkt7QualityTable, MapsTheMetersBytes) {
    const QualityCase c = GetParam();
    TestDriver t;
    Prepare(t, kTypeCurrent, {{0, 2}});
    t->VKT7_SetDivisor(57, 2);
    t.port.Answer(ReadAnswer(1, {0x10, 0x27, 0xC0, 0x00}));  // 100.00, good
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    t.port.logs.clear();
    t.port.Answer(ReadAnswer(1, {0xE8, 0x03, c.q, c.ns}));  // 10.00
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(ElementQuality(t, 0), c.quality);
    EXPECT_EQ(Number(t, 0), c.decoded ? 10.0 : 100.0);
    if (c.line[0] == '\0')
        EXPECT_TRUE(t.port.logs.empty());
    else
        EXPECT_EQ(t.port.logs, std::vector<std::string>{c.line});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Vkt7QualityTable,
    ::testing::Values(
        QualityCase{0x0C, 0x00, 0x50, false,
                    "### Tag with addr 0(0x00) received SENSOR_CAL quality (DEVICE_FAILURE from VKT)\n"},
        QualityCase{0x0C, 0xFF, 0x50, false,
                    "### Tag with addr 0(0x00) received SENSOR_CAL quality (DEVICE_FAILURE from VKT)\n"},
        QualityCase{0x50, 0x00, 0xC0, true, ""},
        QualityCase{0x50, 0xFF, 0xC0, true, ""},
        QualityCase{0xC0, 0x00, 0xC0, true, ""},
        QualityCase{0x44, 0xFF, 0x44, true, ""},
        QualityCase{0x0C, 0x05, 0x50, false,
                    "### Tag with addr 0(0x00) has SENSOR_CAL quality + NS 0x05 (DEVICE_FAILURE from VKT)\n"},
        QualityCase{0xC0, 0x01, 0x10, true,
                    "### Tag with addr 0(0x00) has SENSOR_FAILURE quality + NS 0x01 (0xc0 from VKT)\n"},
        QualityCase{0x50, 0x80, 0x10, true,
                    "### Tag with addr 0(0x00) has SENSOR_FAILURE quality + NS 0x80 (0x50 from VKT)\n"}));

TEST(Vkt7Values, LinesShowTheElementInDecimalAndHex) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{26, 1}});
    t.port.Answer(ReadAnswer(1, {0x01, 0xC0, 0x07}));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(t.port.logs,
              std::vector<std::string>{"### Tag with addr 26(0x1a) has SENSOR_FAILURE quality + NS 0x07 (0xc0 from VKT)\n"});
}

TEST(Vkt7Values, ElementsTheMeterDidNotListGetCommFailure) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{0, 2}, {5, 4}}, {3});
    t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00, 0x02, 0x00, 0x00, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(ElementQuality(t, 3), 0x18);
    EXPECT_EQ(Number(t, 0), 1.0);
    EXPECT_EQ(Number(t, 5), 2.0);  // the position did not move past element 3
    EXPECT_EQ(t.port.logs, std::vector<std::string>{"### Tag with addr 3(0x03) has COMM_FAILURE quality (BAD DATA)\n"});
}

// ---- decoding by type ----

TEST(Vkt7Values, ScaledNumbersBySize) {
    // Sizes up to 2 are signed 16-bit, larger ones a zeroed four-byte word taken as signed.
    TestDriver t;
    Prepare(t, kTypeCurrent, {{0, 2}, {3, 4}, {12, 1}, {14, 3}});
    t->VKT7_SetDivisor(57, 2);  // 0 and 14
    t->VKT7_SetDivisor(59, 3);  // 3
    t.port.Answer(ReadAnswer(1, Hex("FF FF C0 00  FF FF FF FF C0 00  FF C0 00  FF FF FF C0 00")));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_DOUBLE_EQ(Number(t, 0), -0.01);
    EXPECT_DOUBLE_EQ(Number(t, 3), -0.001);
    EXPECT_DOUBLE_EQ(Number(t, 12), 255.0);  // one byte in a zeroed word: 0x00FF
    EXPECT_DOUBLE_EQ(Number(t, 14), 167772.15);
}

TEST(Vkt7Values, FlowElementsAreIeeeSingles) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{19, 4}, {43, 4}});
    const float a = 1.25f, b = -3.5f;
    Bytes data(4);
    std::memcpy(data.data(), &a, 4);
    data.push_back(0xC0);
    data.push_back(0x00);
    data.resize(10);
    std::memcpy(data.data() + 6, &b, 4);
    data.push_back(0xC0);
    data.push_back(0x00);
    t.port.Answer(ReadAnswer(1, data));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(Number(t, 19), 1.25);
    EXPECT_EQ(Number(t, 43), -3.5);
}

TEST(Vkt7Values, ElementSeventySevenIsOneOnlyForAnAsterisk) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{77, 1}, {78, 2}, {81, 1}});
    t.port.Answer(ReadAnswer(1, {'*', 0xC0, 0x00, ' ', 0x00, 0xC0, 0x00, 0x02, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    Vkt7Value v;
    ASSERT_EQ(t->VKT7_GetElementValue(77, v), 0);
    EXPECT_EQ(v.type, 1);
    EXPECT_EQ(v.integer, 1);
    ASSERT_EQ(t->VKT7_GetElementValue(78, v), 0);
    EXPECT_EQ(v.integer, 1);  // size 2: any byte but 0
    ASSERT_EQ(t->VKT7_GetElementValue(81, v), 0);
    EXPECT_EQ(v.integer, 1);
    t.port.Answer(ReadAnswer(1, {'-', 0xC0, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    ASSERT_EQ(t->VKT7_GetElementValue(77, v), 0);
    EXPECT_EQ(v.integer, 0);
    ASSERT_EQ(t->VKT7_GetElementValue(78, v), 0);
    EXPECT_EQ(v.integer, 0);
}

TEST(Vkt7Values, TypeThreeIsUnsignedAndTypeTwoIsNotDecoded) {
    TestDriver t;
    Prepare(t, kTypeProperties, {{44, 4}, {60, 1}});
    t.port.Answer(ReadAnswer(1, {0x01, 0x02, 0x03, 0x84, 0xC0, 0x00, 0x03, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadValues(kTypeProperties), 0);
    Vkt7Value v;
    ASSERT_EQ(t->VKT7_GetElementValue(44, v), 0);
    EXPECT_EQ(v.type, 3);
    EXPECT_EQ(static_cast<uint32_t>(v.integer), 0x84030201u);
    EXPECT_EQ(v.number, 2214789633.0);
    ASSERT_EQ(t->VKT7_GetElementValue(60, v), 0);
    EXPECT_EQ(v.type, 2);
    EXPECT_EQ(v.integer, 0);  // stays as it was
    EXPECT_EQ(v.quality, 0xC0);
}

// ---- values by position and by element ----

TEST(Vkt7Values, GetValueByPositionFollowsTheRequestList) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{5, 2}, {1, 2}});
    t.port.Answer(ReadAnswer(1, {0x0B, 0x00, 0xC0, 0x00, 0x37, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    uint8_t q = 0, type = 9;
    double number = 0;
    int32_t integer = 0;
    ASSERT_EQ(t->VKT7_GetValue(0, q, type, number, integer), 0);
    EXPECT_EQ(number, 55.0);  // entry 0 is element 5 (added first), decoded second
    ASSERT_EQ(t->VKT7_GetValue(1, q, type, number, integer), 0);
    EXPECT_EQ(number, 11.0);
    EXPECT_EQ(q, 0xC0);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(t->VKT7_GetValue(2, q, type, number, integer), -3);  // n equal to the count
}

TEST(Vkt7Values, GetValueWithoutASelectedType) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    uint8_t q = 0, type = 0;
    double number = 0;
    int32_t integer = 0;
    EXPECT_EQ(t->VKT7_GetValue(0, q, type, number, integer), -3);
    Vkt7Value v;
    EXPECT_EQ(t->VKT7_GetElementValue(0, v), -3);
}

TEST(Vkt7Values, GetElementValueOnlyForElementsTheSelectedTypeWants) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{0, 2}});
    Vkt7Value v;
    EXPECT_EQ(t->VKT7_GetElementValue(0, v), 0);
    EXPECT_EQ(v.quality, 0x20);  // waiting for initial data
    EXPECT_EQ(t->VKT7_GetElementValue(1, v), -3);
    EXPECT_EQ(t->VKT7_GetElementValue(232, v), -3);
}

// ---- failures of the data read ----

TEST(Vkt7Values, AnAnswerShorterThanTheListFailsWithoutReadingPastIt) {
    TestDriver t;
    Prepare(t, kTypeCurrent, {{0, 2}, {1, 2}});
    t->VKT7_SetDivisor(57, 2);
    t.port.Answer(ReadAnswer(1, {0x10, 0x27, 0xC0, 0x00}));  // element 1 is missing
    EXPECT_EQ(t->VKT7_ReadCurrent(), -4);
    EXPECT_EQ(t.port.logs, std::vector<std::string>{"Driver_VKT7. Values answer of 9 bytes ends before element 1\n"});
    EXPECT_EQ(Number(t, 0), 100.0);  // decoded before the end
    EXPECT_EQ(ElementQuality(t, 1), 0x20);
    EXPECT_EQ(t->BreakFlag, 1);
}

TEST(Vkt7Values, ExceptionFiveOnCurrentValuesIsReturnedUnchanged) {
    TestDriver t(1, 1);
    Prepare(t, kTypeCurrent, {{0, 2}});
    t.port.Answer(ExceptionAnswer(1, 0x83, 5));
    EXPECT_EQ(t->VKT7_ReadCurrent(), 5);
    EXPECT_EQ(Describe(t.port.Requests()), std::vector<std::string>{"R 3FFE 9"});
}

TEST(Vkt7Values, ExceptionFiveOnAnArchiveRebuildsTheListOnceAndReadsAgain) {
    ScopedTz tz(kFixedTz);
    sim::Vkt7Simulator meter;
    TestDriver t;
    ServeSimulator(t.port, meter);
    t->VKT7_AddElement(0, kTypeHour);
    ASSERT_EQ(t->VKT7_StartSession(), 0);
    int32_t h, d, m, y;
    ASSERT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
    t.port.records.clear();
    meter.ForgetList();
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
    EXPECT_EQ(Describe(t.port.Requests()),
              (std::vector<std::string>{"W 3FFB " + ToHex(Bytes{static_cast<uint8_t>(d), static_cast<uint8_t>(m),
                                                                static_cast<uint8_t>(y), static_cast<uint8_t>(h)}),
                                        "R 3FFE 9", "R 3FFC 265", "W 3FFF (6 bytes)", "R 3FFE 9"}));
    const auto record = At(2000 + y, m, d, h);
    EXPECT_EQ(Number(t, 0), meter.ExpectedValue(sim::Vkt7Archive::Hour, 0, record));
}

// ---- archive reading ----

TEST(Vkt7Archives, HourArchiveAtNowReadsNothing) {
    TestDriver t;
    t->Now = Pos(7, 3, 24, 12);
    t->HourPos = t->Now;
    int32_t h = 0, d = 0, m = 0, y = 0;
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 100);
    EXPECT_TRUE(t.port.records.empty());
    EXPECT_EQ(h, 12);
    EXPECT_EQ(d, 7);
    EXPECT_EQ(m, 3);
    EXPECT_EQ(y, 24);
}

TEST(Vkt7Archives, IsBeforeNowComparesYearMonthDayThenHour) {
    TestDriver t;
    t->Now = Pos(7, 3, 24, 12);
    EXPECT_TRUE(t->VKT7_IsBeforeNow(Pos(31, 12, 23, 23)));
    EXPECT_FALSE(t->VKT7_IsBeforeNow(Pos(1, 1, 25, 0)));
    EXPECT_TRUE(t->VKT7_IsBeforeNow(Pos(28, 2, 24, 23)));
    EXPECT_FALSE(t->VKT7_IsBeforeNow(Pos(1, 4, 24, 0)));
    EXPECT_TRUE(t->VKT7_IsBeforeNow(Pos(6, 3, 24, 23)));
    EXPECT_FALSE(t->VKT7_IsBeforeNow(Pos(8, 3, 24, 0)));
    EXPECT_TRUE(t->VKT7_IsBeforeNow(Pos(7, 3, 24, 11)));
    EXPECT_FALSE(t->VKT7_IsBeforeNow(Pos(7, 3, 24, 12)));
    EXPECT_FALSE(t->VKT7_IsBeforeNow(Pos(7, 3, 24, 23)));
}

TEST(Vkt7Archives, ExceptionThreeGivesNothingToReadAndStillSteps) {
    TestDriver t(1, 1);
    Prepare(t, kTypeHour, {{0, 2}});
    t->Now = Pos(7, 3, 24, 12);
    t->HourPos = Pos(6, 3, 24, 23);
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ExceptionAnswer(1, 0x83, 3));
    int32_t h = 0, d = 0, m = 0, y = 0;
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 100);
    EXPECT_EQ(PosText(t->HourPos), "7.3.24 0");
    EXPECT_EQ(h, 23);
    EXPECT_EQ(d, 6);
    EXPECT_EQ(Describe(t.port.Requests()), (std::vector<std::string>{"W 3FFB 06 03 18 17", "R 3FFE 9"}));
}

TEST(Vkt7Archives, OtherFailuresLeaveThePosition) {
    TestDriver t(1, 1);
    Prepare(t, kTypeHour, {{0, 2}});
    t->Now = Pos(7, 3, 24, 12);
    t->HourPos = Pos(6, 3, 24, 23);
    int32_t h = 0, d = 0, m = 0, y = 0;
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), -1);
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 23");
}

TEST(Vkt7Archives, RecordDatesOfTheThreeArchives) {
    TestDriver t(1, 1);
    t->Now = Pos(7, 3, 24, 12);
    t->HourPos = Pos(6, 3, 24, 5);
    t->DayPos = Pos(5, 3, 24, 7);    // the day record is asked with hour 23
    t->MonthPos = Pos(1, 1, 24, 0);  // the month record with ReportDay and hour 23
    t->ReportDay = 25;
    int32_t h = 0, d = 0, m = 0, y = 0;
    Prepare(t, kTypeHour, {{0, 2}});
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
    Prepare(t, kTypeDay, {{0, 2}});
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadDayArchive(h, d, m, y), 0);
    EXPECT_EQ(h, 7);
    Prepare(t, kTypeMonth, {{0, 2}});
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
    ASSERT_EQ(t->VKT7_ReadMonthArchive(h, d, m, y), 0);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(m, 1);
    EXPECT_EQ(Describe(t.port.Requests()),
              (std::vector<std::string>{"W 3FFB 06 03 18 05", "R 3FFE 9", "W 3FFB 05 03 18 17", "R 3FFE 9",
                                        "W 3FFB 19 01 18 17", "R 3FFE 9"}));
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 6");
    EXPECT_EQ(PosText(t->DayPos), "6.3.24 7");
    EXPECT_EQ(PosText(t->MonthPos), "1.2.24 0");
    EXPECT_EQ(t.port.logs.back(), "Month archive after check 1.2.24 0:00\n");
}

TEST(Vkt7Archives, HourSteppingAcrossDayMonthAndYearEnds) {
    TestDriver t;
    t->Now = Pos(1, 1, 25, 12);
    for (auto [from, to] : {std::pair{Pos(6, 3, 24, 23), "7.3.24 0"}, std::pair{Pos(31, 1, 24, 23), "1.2.24 0"},
                            std::pair{Pos(29, 2, 24, 23), "1.3.24 0"}, std::pair{Pos(28, 2, 23, 23), "1.3.23 0"},
                            std::pair{Pos(31, 12, 24, 23), "1.1.25 0"}, std::pair{Pos(31, 12, 24, 10), "31.12.24 11"}}) {
        Prepare(t, kTypeHour, {{0, 2}});
        t->HourPos = from;
        t.port.Answer(WriteAnswer(1, 0x3FFB));
        t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
        int32_t h, d, m, y;
        ASSERT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
        EXPECT_EQ(PosText(t->HourPos), to) << PosText(from);
    }
}

TEST(Vkt7Archives, DayNormalisation) {
    struct Case {
        ArchivePos from;
        const char* after;  // after day += 1
    };
    for (const Case& c : {Case{Pos(28, 2, 24, 23), "29.2.24 23"}, Case{Pos(28, 2, 23, 23), "1.3.23 23"},
                          Case{Pos(29, 2, 24, 23), "1.3.24 23"}, Case{Pos(30, 4, 24, 23), "1.5.24 23"},
                          Case{Pos(30, 6, 24, 23), "1.7.24 23"}, Case{Pos(30, 9, 24, 23), "1.10.24 23"},
                          Case{Pos(30, 11, 24, 23), "1.12.24 23"}, Case{Pos(30, 1, 24, 23), "31.1.24 23"},
                          Case{Pos(31, 1, 24, 23), "1.2.24 23"}, Case{Pos(31, 12, 23, 23), "1.1.24 23"},
                          Case{Pos(28, 2, 0, 23), "29.2.0 23"}}) {
        ArchivePos p = c.from;
        p.day = static_cast<uint8_t>(p.day + 1);
        NormaliseDay(p);
        EXPECT_EQ(PosText(p), c.after) << PosText(c.from);
    }
}

TEST(Vkt7Archives, DaySteppingThroughTheReader) {
    TestDriver t;
    t->Now = Pos(1, 3, 24, 12);
    Prepare(t, kTypeDay, {{0, 2}});
    t->DayPos = Pos(28, 2, 24, 23);
    for (const char* next : {"29.2.24 23", "1.3.24 23"}) {
        t.port.Answer(WriteAnswer(1, 0x3FFB));
        t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
        int32_t h, d, m, y;
        ASSERT_EQ(t->VKT7_ReadDayArchive(h, d, m, y), 0);
        EXPECT_EQ(PosText(t->DayPos), next);
    }
    int32_t h, d, m, y;
    EXPECT_EQ(t->VKT7_ReadDayArchive(h, d, m, y), 100);  // 1 March 23:00 is not before 12:00
}

TEST(Vkt7Archives, MonthSteppingAcrossTheYearEnd) {
    TestDriver t;
    t->Now = Pos(7, 3, 24, 12);
    t->ReportDay = 25;
    Prepare(t, kTypeMonth, {{0, 2}});
    t->MonthPos = Pos(25, 12, 23, 23);
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ExceptionAnswer(1, 0x83, 3));
    int32_t h, d, m, y;
    EXPECT_EQ(t->VKT7_ReadMonthArchive(h, d, m, y), 100);
    EXPECT_EQ(PosText(t->MonthPos), "25.1.24 23");
    EXPECT_EQ(t.port.logs.back(), "Month archive after check 25.1.24 23:00\n");
    EXPECT_EQ(m, 12);
    EXPECT_EQ(y, 23);
}

TEST(Vkt7Archives, ReadingStartsTheSessionWhenItIsClosed) {
    ScopedTz tz(kFixedTz);
    sim::Vkt7Simulator meter;
    meter.clock().Set(At(2024, 3, 7, 12));
    TestDriver t;
    ServeSimulator(t.port, meter);
    t->VKT7_AddElement(3, kTypeTotals);
    EXPECT_EQ(t->VKT7_ReadTotals(), 0);
    EXPECT_TRUE(t->SessionOpen);
    const auto requests = Describe(t.port.Requests());
    EXPECT_EQ(requests.front(), "W 3FFF [CC] 80 00 00 00");
    EXPECT_EQ(std::vector<std::string>(requests.end() - 4, requests.end()),
              (std::vector<std::string>{"W 3FFD 05 00", "R 3FFC 265", "W 3FFF (6 bytes)", "R 3FFE 11"}));
    EXPECT_EQ(Number(t, 3), meter.ExpectedValue(sim::Vkt7Archive::Totals, 3));
}
