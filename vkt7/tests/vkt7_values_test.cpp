// The data read, the quality table with its lines, decoding by type, values by
// position, archive readers with record dates, stepping and day normalisation.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;

// An open session and a built list of the given elements (number, size) for one
// type, so that a read is one 0x3FFE exchange (archives: 0x3FFB first).
static void Prepare(TestDriver& t, uint8_t type, std::initializer_list<std::pair<uint8_t, uint8_t>> elements,
             std::initializer_list<uint8_t> absent = {}) {
    t->SessionOpen = true;
    t->SelectedArchive = type;
    t->ExpectedLength = 5;
    for (const auto& [e, size] : elements) {
        t->VKT7_AddElement(e, type);
        t->elements[e].flags[type] |= kFlagPresent;
        t->elements[e].size = size;
        t->ExpectedLength += size + 2u;
    }
    for (uint8_t e : absent) t->VKT7_AddElement(e, type);
}

static Vkt7Value Value(TestDriver& t, uint8_t e) {
    Vkt7Value v;
    EXPECT_EQ(t->VKT7_GetElementValue(e, v), 0) << int(e);
    return v;
}


TEST(Vkt7Values, QualityTable) {
    struct Case {
        uint8_t q, ns, quality;
        bool decoded;
        std::string line;
    };
    const std::string tag = "### Tag with addr 26(0x1a) ";
    const std::string cal = tag + "received SENSOR_CAL quality (DEVICE_FAILURE from VKT)\n";
    const Case cases[] = {
        {0x0C, 0x00, 0x50, false, cal}, {0x0C, 0xFF, 0x50, false, cal}, {0x50, 0x00, 0xC0, true, ""},
        {0x50, 0xFF, 0xC0, true, ""}, {0x44, 0xFF, 0x44, true, ""},
        {0x0C, 0x05, 0x50, false, tag + "has SENSOR_CAL quality + NS 0x05 (DEVICE_FAILURE from VKT)\n"},
        {0xC0, 0x01, 0x10, true, tag + "has SENSOR_FAILURE quality + NS 0x01 (0xc0 from VKT)\n"},
        {0x50, 0x80, 0x10, true, tag + "has SENSOR_FAILURE quality + NS 0x80 (0x50 from VKT)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex({c.q, c.ns}));
        TestDriver t;
        Prepare(t, kTypeCurrent, {{26, 2}});
        t->VKT7_SetDivisor(69, 2);
        t.port.Answer(ReadAnswer(1, {0x10, 0x27, 0xC0, 0x00}));  // 100.00, good
        ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
        t.port.Answer(ReadAnswer(1, {0xE8, 0x03, c.q, c.ns}));  // 10.00
        ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
        EXPECT_EQ(Value(t, 26).quality, c.quality);
        EXPECT_EQ(Value(t, 26).number, c.decoded ? 10.0 : 100.0);  // a device failure keeps the last value
        EXPECT_EQ(t.port.logs, c.line.empty() ? Lines{} : Lines{c.line});
    }
}

TEST(Vkt7Values, DecodingByTypeAndSizeUpToTheEndOfTheAnswer) {
    TestDriver t;
    // Sizes up to 2 are signed 16-bit; 3 and 4 a zeroed four-byte word taken as signed;
    // 19 to 21 and 41 to 43 IEEE singles; 77 and 78 of one byte are true for '*' only;
    // type 3 is unsigned; type 2 is never decoded. Element 5, not listed by the meter, takes no bytes.
    Prepare(t, kTypeCurrent,
            {{0, 2}, {3, 4}, {12, 1}, {14, 3}, {19, 4}, {43, 4}, {44, 4}, {60, 1}, {77, 1}, {78, 2}, {81, 1}}, {5});
    t->VKT7_SetDivisor(57, 2);  // 0 and 14
    t->VKT7_SetDivisor(59, 3);  // 3
    t.port.Answer(ReadAnswer(1, Hex("FF FF C0 00  FF FF FF FF C0 00  FF C0 00  FF FF FF C0 00  00 00 A0 3F C0 00 "
                                    "00 00 60 C0 C0 00  01 02 03 84 C0 00  03 C0 00  2A C0 00  20 00 C0 00 "
                                    "02 C0 00")));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(t.port.logs, Lines{"### Tag with addr 5(0x05) has COMM_FAILURE quality (BAD DATA)\n"});
    EXPECT_EQ(Value(t, 5).quality, 0x18);
    auto numbers = [&t](std::initializer_list<uint8_t> elements) {
        std::vector<double> out;
        for (uint8_t e : elements) out.push_back(Value(t, e).number);
        return out;
    };
    EXPECT_EQ(numbers({0, 3, 12, 14, 19, 43, 44, 60, 77, 78, 81}),
              (std::vector<double>{-0.01, -0.001, 255, 167772.15, 1.25, -3.5, 2214789633.0, 0, 1, 1, 1}));
    EXPECT_EQ(static_cast<uint32_t>(Value(t, 44).integer), 0x84030201u);
    EXPECT_EQ(Value(t, 60).quality, 0xC0);
    Bytes zeros = Hex("00 00 C0 00  00 00 00 00 C0 00  00 C0 00  00 00 00 C0 00  00 00 00 00 C0 00  00 00 00 00 C0 00 "
                      "00 00 00 00 C0 00  00 C0 00  2D C0 00  00 00 C0 00  00 C0 00");
    t.port.Answer(ReadAnswer(1, zeros));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(numbers({77, 78, 81}), (std::vector<double>{0, 0, 0}));
    // An answer that ends before the list does is decoded from the buffer as it stands: element 3 takes the
    // CRC and the zeros of the answer before, with its quality bytes (C0 00).
    const Bytes early = ReadAnswer(1, Hex("10 27 C0 00"));
    t.port.logs.clear();
    t.port.Answer(early);
    EXPECT_EQ(t->VKT7_ReadCurrent(), 0);
    EXPECT_EQ(t.port.logs, Lines{"### Tag with addr 5(0x05) has COMM_FAILURE quality (BAD DATA)\n"});
    EXPECT_EQ(numbers({0, 3}), (std::vector<double>{100, (early[7] | early[8] << 8) / 1000.0}));
    EXPECT_EQ(Value(t, 3).quality, 0xC0);
    EXPECT_EQ(t->BreakFlag, 0);
}

TEST(Vkt7Values, GetValueByPositionInTheRequestList) {
    TestDriver t;
    uint8_t q = 0, type = 9;
    double number = 0;
    int32_t integer = 0;
    EXPECT_EQ(t->VKT7_GetValue(0, q, type, number, integer), -3);  // no type selected
    Prepare(t, kTypeCurrent, {{5, 2}, {1, 2}});
    t.port.Answer(ReadAnswer(1, Hex("0B 00 C0 00 37 00 50 00")));
    ASSERT_EQ(t->VKT7_ReadCurrent(), 0);
    ASSERT_EQ(t->VKT7_GetValue(0, q, type, number, integer), 0);
    EXPECT_EQ(number, 55.0);  // entry 0 is element 5, added first, decoded second
    EXPECT_EQ(q, 0xC0);
    ASSERT_EQ(t->VKT7_GetValue(1, q, type, number, integer), 0);
    EXPECT_EQ(number, 11.0);
    EXPECT_EQ(t->VKT7_GetValue(2, q, type, number, integer), -3);  // n equal to the count
}

TEST(Vkt7Values, ReadsStartTheSessionAndExceptionFiveRebuildsAnArchiveListOnce) {
    TestDriver c(1, 1);
    Prepare(c, kTypeCurrent, {{0, 2}});
    c.port.Answer(ExceptionAnswer(1, 0x83, 5));
    EXPECT_EQ(c->VKT7_ReadCurrent(), 5);  // current values and totals: returned unchanged
    EXPECT_EQ(c.port.Sent(), Lines{"R 3FFE 9"});

    sim::Vkt7Simulator meter;
    TestDriver t;
    t.port.Serve(meter);
    t->VKT7_AddElement(0, kTypeHour);
    int32_t h, d, m, y;
    ASSERT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
    EXPECT_TRUE(t->SessionOpen);
    EXPECT_EQ(t.port.Sent().front(), "W 3FFF [CC] 80 00 00 00");
    t.port.records.clear();
    meter.ForgetList();
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 0);
    const Bytes date{uint8_t(d), uint8_t(m), uint8_t(y), uint8_t(h)};
    EXPECT_EQ(t.port.Sent(),
              (Lines{"W 3FFB " + ToHex(date), "R 3FFE 9", "R 3FFC 265", "W 3FFF (6 bytes)", "R 3FFE 9"}));
    EXPECT_EQ(Value(t, 0).number, meter.ExpectedValue(sim::Vkt7Archive::Hour, 0, At(2000 + y, m, d, h)));
}

TEST(Vkt7Archives, NothingToReadAtNowAndAfterExceptionThree) {
    TestDriver t(1, 1);
    t->Now = Pos(7, 3, 24, 12);
    int32_t h = 0, d = 0, m = 0, y = 0;
    t->HourPos = t->Now;
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 100);
    EXPECT_TRUE(t.port.records.empty());
    EXPECT_EQ(PosText(Pos(d, m, y, h)), "7.3.24 12");
    Prepare(t, kTypeHour, {{0, 2}});
    t->HourPos = Pos(6, 3, 24, 23);
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), -1);  // silence: the position stays
    EXPECT_EQ(PosText(t->HourPos), "6.3.24 23");
    t.port.records.clear();
    t.port.Answer(WriteAnswer(1, 0x3FFB));
    t.port.Answer(ExceptionAnswer(1, 0x83, 3));
    EXPECT_EQ(t->VKT7_ReadHourArchive(h, d, m, y), 100);  // no record, but the position moves on
    EXPECT_EQ(PosText(t->HourPos), "7.3.24 0");
    EXPECT_EQ(PosText(Pos(d, m, y, h)), "6.3.24 23");
    EXPECT_EQ(t.port.Sent(), (Lines{"W 3FFB 06 03 18 17", "R 3FFE 9"}));
}

// Each reader writes its record date (day records with hour 23, month records with
// ReportDay and hour 23), gives out the position it read and steps it.
TEST(Vkt7Archives, RecordDatesAndSteppingAcrossDayMonthAndYearEnds) {
    struct Case {
        uint8_t type;
        ArchivePos from;
        const char *date, *to;
    };
    constexpr uint8_t H = kTypeHour, D = kTypeDay, M = kTypeMonth;
    const Case cases[] = {
        {H, {31, 12, 24, 10}, "1F 0C 18 0A", "31.12.24 11"}, {H, {6, 3, 24, 23}, "06 03 18 17", "7.3.24 0"},
        {H, {31, 1, 24, 23}, "1F 01 18 17", "1.2.24 0"}, {H, {29, 2, 24, 23}, "1D 02 18 17", "1.3.24 0"},
        {H, {28, 2, 23, 23}, "1C 02 17 17", "1.3.23 0"}, {H, {31, 12, 24, 23}, "1F 0C 18 17", "1.1.25 0"},
        {D, {5, 3, 24, 7}, "05 03 18 17", "6.3.24 7"}, {D, {28, 2, 24, 23}, "1C 02 18 17", "29.2.24 23"},
        {D, {28, 2, 23, 23}, "1C 02 17 17", "1.3.23 23"}, {D, {28, 2, 0, 23}, "1C 02 00 17", "29.2.0 23"},
        {D, {29, 2, 24, 23}, "1D 02 18 17", "1.3.24 23"}, {D, {30, 4, 24, 23}, "1E 04 18 17", "1.5.24 23"},
        {D, {30, 6, 24, 23}, "1E 06 18 17", "1.7.24 23"}, {D, {30, 9, 24, 23}, "1E 09 18 17", "1.10.24 23"},
        {D, {30, 11, 24, 23}, "1E 0B 18 17", "1.12.24 23"}, {D, {30, 1, 24, 23}, "1E 01 18 17", "31.1.24 23"},
        {D, {31, 1, 24, 23}, "1F 01 18 17", "1.2.24 23"}, {D, {31, 12, 23, 23}, "1F 0C 17 17", "1.1.24 23"},
        {M, {1, 1, 24, 0}, "19 01 18 17", "1.2.24 0"}, {M, {25, 12, 23, 23}, "19 0C 17 17", "25.1.24 23"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PosText(c.from));
        TestDriver t(1, 1);
        t->Now = Pos(1, 1, 99, 0);
        t->ReportDay = 25;
        Prepare(t, c.type, {{0, 2}});
        ArchivePos& pos = c.type == kTypeHour ? t->HourPos : c.type == kTypeDay ? t->DayPos : t->MonthPos;
        pos = c.from;
        t.port.Answer(WriteAnswer(1, 0x3FFB));
        t.port.Answer(ReadAnswer(1, {0x01, 0x00, 0xC0, 0x00}));
        int32_t h, d, m, y;
        EXPECT_EQ(c.type == kTypeHour ? t->VKT7_ReadHourArchive(h, d, m, y)
                  : c.type == kTypeDay ? t->VKT7_ReadDayArchive(h, d, m, y)
                                       : t->VKT7_ReadMonthArchive(h, d, m, y), 0);
        EXPECT_EQ(PosText(Pos(d, m, y, h)), PosText(c.from));
        EXPECT_EQ(t.port.Sent(), (Lines{std::string("W 3FFB ") + c.date, "R 3FFE 9"}));
        EXPECT_EQ(PosText(pos), c.to);
        EXPECT_EQ(t.port.logs, c.type == kTypeMonth ? Lines{"Month archive after check " + std::string(c.to) + ":00\n"}
                                                    : Lines{});
    }
}
