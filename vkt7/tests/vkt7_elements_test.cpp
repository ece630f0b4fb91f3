// The element table, request lists, archive selection and the element
// list, with the implementer's decisions for lists the table cannot hold.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;

namespace {

// An active-list answer of six-byte records (element, 00 00 40, size low, size high).
Bytes ActiveList(uint8_t address, std::initializer_list<std::pair<uint8_t, uint16_t>> records) {
    Bytes data;
    for (const auto& [e, size] : records) {
        const Bytes r{e, 0x00, 0x00, 0x40, static_cast<uint8_t>(size & 0xFF), static_cast<uint8_t>(size >> 8)};
        data.insert(data.end(), r.begin(), r.end());
    }
    return ReadAnswer(address, data);
}

// A driver whose current-values type is already selected.
void SelectCurrent(TestDriver& t) {
    t.port.Answer(WriteAnswer(1, 0x3FFD));
    bool changed = false;
    ASSERT_EQ(t->VKT7_SelectArchive(kTypeCurrent, changed), 0);
    ASSERT_TRUE(changed);
    t.port.records.clear();
}

}  // namespace

TEST(Vkt7Elements, InitialTable) {
    TestDriver t;
    for (int e = 0; e < kElementCount; ++e) {
        const VKT7Element& el = t->elements[e];
        EXPECT_EQ(el.quality, 0x20) << e;
        EXPECT_EQ(el.divisor, 1u) << e;
        EXPECT_EQ(el.size, 0) << e;
        const uint8_t type = (e == 77 || e == 78 || e == 81 || e == 82) ? 1
                             : (e >= 44 && e <= 56)                     ? 3
                             : (e >= 57 && e <= 75)                     ? 2
                                                                        : 0;
        EXPECT_EQ(el.type, type) << e;
        for (int k = 0; k < kArchiveTypeCount; ++k) EXPECT_EQ(el.flags[k], 0) << e;
    }
    EXPECT_EQ(t->SelectedArchive, kTypeNone);
    EXPECT_EQ(t->ExpectedLength, 0u);
}

TEST(Vkt7Elements, AddElementSetsTheWantedBitAndAppends) {
    TestDriver t;
    EXPECT_EQ(t->VKT7_AddElement(5, kTypeCurrent), 0);
    EXPECT_EQ(t->VKT7_AddElement(2, kTypeCurrent), 0);
    EXPECT_EQ(t->VKT7_AddElement(5, kTypeHour), 0);
    EXPECT_TRUE(t->IsWanted(5, kTypeCurrent));
    EXPECT_TRUE(t->IsWanted(2, kTypeCurrent));
    EXPECT_FALSE(t->IsWanted(2, kTypeHour));
    EXPECT_EQ(t->requestCount[kTypeCurrent], 2);
    EXPECT_EQ(t->requestList[kTypeCurrent][0], 5);
    EXPECT_EQ(t->requestList[kTypeCurrent][1], 2);
}

TEST(Vkt7Elements, AddElementOfTheDefaultAddressIsRejectedAndChangesNothing) {
    TestDriver t;
    EXPECT_EQ(t->VKT7_AddElement(static_cast<uint8_t>(1000 & 0xFF), kTypeCurrent), -4);  // 232
    EXPECT_EQ(t->VKT7_AddElement(83, kTypeCurrent), -4);
    EXPECT_EQ(t->VKT7_AddElement(0, 7), -4);
    EXPECT_EQ(t->requestCount[kTypeCurrent], 0);
    for (int e = 0; e < kElementCount; ++e) EXPECT_FALSE(t->IsWanted(e, kTypeCurrent));
    EXPECT_TRUE(t.port.logs.empty());
}

TEST(Vkt7Elements, MoreThan83AdditionsToOneListAreRefusedWithALine) {
    TestDriver t;
    for (int i = 0; i < 83; ++i) ASSERT_EQ(t->VKT7_AddElement(static_cast<uint8_t>(i % 10), kTypeDay), 0);
    EXPECT_EQ(t->VKT7_AddElement(3, kTypeDay), -4);
    EXPECT_EQ(t->requestCount[kTypeDay], 83);
    EXPECT_EQ(t.port.logs,
              std::vector<std::string>{"Driver_VKT7. Request list of archive type 1 is full: element 3 not added\n"});
}

TEST(Vkt7Elements, SelectingTheSelectedTypeSendsNothing) {
    TestDriver t;
    SelectCurrent(t);
    bool changed = false;
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeCurrent, changed), 0);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(t.port.records.empty());
}

TEST(Vkt7Elements, SelectionWritesTypeAndZero) {
    TestDriver t;
    t.port.Answer(WriteAnswer(1, 0x3FFD));
    bool changed = false;
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeProperties, changed), 0);
    EXPECT_TRUE(changed);
    EXPECT_EQ(t->SelectedArchive, kTypeProperties);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 10 3F FD 00 00 02 06 00 7E E2");
}

TEST(Vkt7Elements, FailedSelectionLeavesTheSelectedType) {
    TestDriver t(1, 1);
    SelectCurrent(t);
    bool changed = false;
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeHour, changed), -1);
    EXPECT_FALSE(changed);
    EXPECT_EQ(t->SelectedArchive, kTypeCurrent);
    EXPECT_EQ(t->VKT7_SelectArchive(7, changed), -4);
    EXPECT_EQ(t->VKT7_SelectArchive(200, changed), -4);
}

TEST(Vkt7Elements, BuildSendsBackOnlyTheWantedRecordsInTheMetersOrder) {
    TestDriver t;
    t->VKT7_AddElement(19, kTypeCurrent);
    t->VKT7_AddElement(0, kTypeCurrent);
    t->VKT7_AddElement(30, kTypeCurrent);  // not active
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{19, 4}, {1, 2}, {0, 2}, {77, 1}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    ASSERT_EQ(t.port.records.size(), 2u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 03 3F FC 00 00 89 EE");
    EXPECT_EQ(t.port.records[0].capacity, 265);  // expected length 0
    const auto q = Decode(t.port.records[1]);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->reg, 0x3FFF);
    EXPECT_EQ(q->byteCount, 12);
    EXPECT_EQ(ToHex(q->data), "13 00 00 40 04 00 00 00 00 40 02 00");  // 19 then 0, unchanged
    EXPECT_TRUE(t->IsPresent(19, kTypeCurrent));
    EXPECT_TRUE(t->IsPresent(0, kTypeCurrent));
    EXPECT_FALSE(t->IsPresent(1, kTypeCurrent));
    EXPECT_FALSE(t->IsPresent(30, kTypeCurrent));
    EXPECT_EQ(t->elements[19].size, 4);
    EXPECT_EQ(t->elements[0].size, 2);
    EXPECT_EQ(t->ExpectedLength, (4u + 2) + (2 + 2) + 5);
}

TEST(Vkt7Elements, NoWantedElementsWritesAnEmptyList) {
    TestDriver t;
    t->VKT7_AddElement(30, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{1, 2}, {2, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t->ExpectedLength, 0u);
    EXPECT_EQ(ToHex(t.port.records[1].tx), "FF FF 01 10 3F FF 00 00 00 2D 41");
}

TEST(Vkt7Elements, RebuildClearsThePresentBitsOfTheSelectedTypeOnly) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    t->VKT7_AddElement(0, kTypeTotals);
    t->elements[0].flags[kTypeTotals] |= kFlagPresent;
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{0, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    ASSERT_EQ(t->VKT7_BuildElementList(), 0);
    t.port.Answer(ActiveList(1, {{1, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    ASSERT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_FALSE(t->IsPresent(0, kTypeCurrent));
    EXPECT_TRUE(t->IsWanted(0, kTypeCurrent));
    EXPECT_TRUE(t->IsPresent(0, kTypeTotals));
}

TEST(Vkt7Elements, FailedActiveListReadLeavesTheTableAsItWas) {
    TestDriver t(1, 1);
    t->VKT7_AddElement(0, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{0, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    ASSERT_EQ(t->VKT7_BuildElementList(), 0);
    t.port.Answer(ExceptionAnswer(1, 0x83, 2));
    EXPECT_EQ(t->VKT7_BuildElementList(), 2);
    EXPECT_TRUE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(t->ExpectedLength, 9u);
    EXPECT_EQ(t->VKT7_BuildElementList(), -1);  // silence
    EXPECT_TRUE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(t->SelectedArchive, kTypeCurrent);
}

TEST(Vkt7Elements, ExactlyFortyTwoRecordsFitTheList) {
    TestDriver t;
    Bytes data;
    for (uint8_t e = 0; e < 42; ++e) {
        t->VKT7_AddElement(e, kTypeCurrent);
        const Bytes r{e, 0, 0, 0x40, 1, 0};
        data.insert(data.end(), r.begin(), r.end());
    }
    SelectCurrent(t);
    t.port.Answer(ReadAnswer(1, data));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t.port.records[1].tx.size(), 11u + 252u);
    EXPECT_EQ(t->ExpectedLength, 42u * 3 + 5);
}

// ---- the implementer's decisions: the list cannot be served ----

TEST(Vkt7ElementLimits, AnActiveListCannotCarryMoreThanFortyTwoRecords) {
    // The byte count is one byte: 43 records (258 bytes) cannot be framed, so the
    // link refuses such an answer before the table sees it. The list's own limit
    // of 42 records stays as a guard.
    TestDriver t(1, 1);
    Bytes data;
    for (uint8_t e = 0; e < 43; ++e) {
        t->VKT7_AddElement(e, kTypeCurrent);
        const Bytes r{e, 0, 0, 0x40, 1, 0};
        data.insert(data.end(), r.begin(), r.end());
    }
    SelectCurrent(t);
    t.port.Answer(ReadAnswer(1, data));  // byte count 258 & 0xFF = 2
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.Requests().size(), 1u);  // the list is not written
    for (int e = 0; e < 43; ++e) EXPECT_FALSE(t->IsPresent(e, kTypeCurrent));
    // 42 records and three bytes more: the broken last record refuses the list.
    data.resize(255);
    t.port.Answer(ReadAnswer(1, data));
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.logs.back(),
              "Driver_VKT7. Active element list ends in a broken record of 3 bytes: list refused\n");
    EXPECT_EQ(t->SelectedArchive, kTypeNone);  // the next read selects and builds again
    EXPECT_EQ(t->BreakFlag, 1);
}

TEST(Vkt7ElementLimits, AWantedValueAboveFourBytesRefusesTheList) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    t->VKT7_AddElement(1, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{0, 2}, {1, 8}}));
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.logs.back(), "Driver_VKT7. Element 1 has a value of 8 bytes, more than 4: list refused\n");
    EXPECT_FALSE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(t->SelectedArchive, kTypeNone);
}

TEST(Vkt7ElementLimits, AnUnwantedValueAboveFourBytesIsSteppedOver) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{0, 2}, {44, 7}, {1, 0x0107}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t->ExpectedLength, 9u);
}

TEST(Vkt7ElementLimits, ElementNumbersOf83OrMoreAreSkippedWithALine) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ActiveList(1, {{200, 4}, {0, 2}, {83, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t.port.logs,
              (std::vector<std::string>{"Driver_VKT7. Active element list names element 200, beyond the table: skipped\n",
                                        "Driver_VKT7. Active element list names element 83, beyond the table: skipped\n"}));
    EXPECT_TRUE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(Decode(t.port.records[1])->data.size(), 6u);
}

TEST(Vkt7ElementLimits, ABrokenLastRecordRefusesTheList) {
    TestDriver t;
    t->VKT7_AddElement(0, kTypeCurrent);
    SelectCurrent(t);
    t.port.Answer(ReadAnswer(1, Hex("00 00 00 40 02 00 01 00 00")));  // six bytes and three
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.logs.back(),
              "Driver_VKT7. Active element list ends in a broken record of 3 bytes: list refused\n");
    EXPECT_FALSE(t->IsPresent(0, kTypeCurrent));
}

TEST(Vkt7ElementLimits, BuildWithoutASelectedTypeSendsNothing) {
    TestDriver t;
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_TRUE(t.port.records.empty());
}
