// The element table, request lists, archive selection and the element list,
// with the decisions for lists the table or the buffers cannot hold.
#include <gtest/gtest.h>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using namespace vkt7;

// An active-list answer of six-byte records (element, 00 00 40, size low, size high).
static Bytes ActiveList(std::initializer_list<std::pair<uint8_t, uint16_t>> records) {
    Bytes data;
    for (const auto& [e, size] : records)
        data.insert(data.end(), {e, 0, 0, 0x40, static_cast<uint8_t>(size & 0xFF), static_cast<uint8_t>(size >> 8)});
    return ReadAnswer(1, data);
}

// Adds the elements, selects current values and forgets that exchange.
static void SelectCurrent(TestDriver& t, std::initializer_list<uint8_t> wanted) {
    for (uint8_t e : wanted) t->VKT7_AddElement(e, kTypeCurrent);
    t.port.Answer(WriteAnswer(1, 0x3FFD));
    bool changed = false;
    ASSERT_EQ(t->VKT7_SelectArchive(kTypeCurrent, changed), 0);
    t.port.records.clear();
}


TEST(Vkt7Elements, AddElementRefusesElementsAndTypesBeyondTheTable) {
    TestDriver t;
    EXPECT_EQ(t->VKT7_AddElement(5, kTypeCurrent), 0);
    // 232 is the low byte of the default addr 1000.
    for (const auto& [e, type] : {std::pair<uint8_t, uint8_t>{232, kTypeCurrent}, {83, kTypeCurrent}, {0, 7}})
        EXPECT_EQ(t->VKT7_AddElement(e, type), -4) << int(e);
    for (int e = 0; e < kElementCount; ++e) EXPECT_EQ(t->IsWanted(e, kTypeCurrent), e == 5) << e;
    EXPECT_EQ(t->requestCount[kTypeCurrent], 1);
    EXPECT_TRUE(t.port.logs.empty());
}

TEST(Vkt7Elements, SelectionWritesOnlyAChange) {
    TestDriver t(1, 1);
    bool changed = false;
    t.port.Answer(WriteAnswer(1, 0x3FFD));
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeProperties, changed), 0);
    EXPECT_TRUE(changed);
    changed = false;
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeProperties, changed), 0);  // already selected
    EXPECT_FALSE(changed);
    ASSERT_EQ(t.port.records.size(), 1u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 10 3F FD 00 00 02 06 00 7E E2");
    EXPECT_EQ(t->VKT7_SelectArchive(kTypeHour, changed), -1);  // silence
    EXPECT_FALSE(changed);
    EXPECT_EQ(t->SelectedArchive, kTypeProperties);
    EXPECT_EQ(t->VKT7_SelectArchive(7, changed), -4);
}

TEST(Vkt7Elements, BuildSendsBackTheWantedRecordsInTheMetersOrder) {
    TestDriver t;
    SelectCurrent(t, {19, 0, 30});  // 30 is not active
    t.port.Answer(ActiveList({{200, 4}, {19, 4}, {1, 2}, {0, 2}, {44, 7}, {83, 2}, {77, 1}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    ASSERT_EQ(t.port.records.size(), 2u);
    EXPECT_EQ(ToHex(t.port.records[0].tx), "FF FF 01 03 3F FC 00 00 89 EE");
    EXPECT_EQ(t.port.records[0].capacity, 265);
    // Unwanted records (even of more than four bytes) are stepped over, 19 and 0 go back unchanged.
    EXPECT_EQ(ToHex(Bytes(t.port.records[1].tx.begin() + 3, t.port.records[1].tx.end() - 2)),
              "10 3F FF 00 00 0C 13 00 00 40 04 00 00 00 00 40 02 00");
    for (int e = 0; e < kElementCount; ++e) EXPECT_EQ(t->IsPresent(e, kTypeCurrent), e == 19 || e == 0) << e;
    EXPECT_EQ(t->elements[19].size, 4);
    EXPECT_EQ(t->elements[0].size, 2);
    EXPECT_EQ(t->ExpectedLength, (4u + 2) + (2 + 2) + 5);
    EXPECT_EQ(t.port.logs, (Lines{"Driver_VKT7. Active element list names element 200, beyond the table: skipped\n",
                                  "Driver_VKT7. Active element list names element 83, beyond the table: skipped\n"}));
}

TEST(Vkt7Elements, RebuildAndFailedBuilds) {
    TestDriver t(1, 1);
    t->VKT7_AddElement(0, kTypeTotals);
    t->elements[0].flags[kTypeTotals] |= kFlagPresent;
    SelectCurrent(t, {0});
    t.port.Answer(ActiveList({{0, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    ASSERT_EQ(t->VKT7_BuildElementList(), 0);
    // A failed read of the active list leaves the table as it was.
    t.port.Answer(ExceptionAnswer(1, 0x83, 2));
    EXPECT_EQ(t->VKT7_BuildElementList(), 2);
    EXPECT_TRUE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(t->ExpectedLength, 9u);
    // Nothing wanted is active: an empty list; only the selected type's present bits are cleared.
    t.port.records.clear();
    t.port.Answer(ActiveList({{1, 2}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    ASSERT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(ToHex(t.port.records[1].tx), "FF FF 01 10 3F FF 00 00 00 2D 41");
    EXPECT_EQ(t->ExpectedLength, 0u);
    EXPECT_FALSE(t->IsPresent(0, kTypeCurrent));
    EXPECT_TRUE(t->IsWanted(0, kTypeCurrent));
    EXPECT_TRUE(t->IsPresent(0, kTypeTotals));
}

TEST(Vkt7Elements, ListsBeyondTheTableOrTheBuffersAreRefused) {
    TestDriver t(1, 1);
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);  // no type selected: nothing sent
    EXPECT_TRUE(t.port.records.empty());
    Bytes data;
    for (uint8_t e = 0; e < 43; ++e) data.insert(data.end(), {e, 0, 0, 0x40, 1, 0});
    SelectCurrent(t, {});
    for (uint8_t e = 0; e < 43; ++e) t->VKT7_AddElement(e, kTypeCurrent);
    // 42 records fit.
    t.port.Answer(ReadAnswer(1, Bytes(data.begin(), data.begin() + 252)));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t.port.records[1].tx.size(), 11u + 252);
    EXPECT_EQ(t->ExpectedLength, 42u * 3 + 5);
    // 43 records cannot be framed (the byte count is one byte): the link refuses them.
    t.port.records.clear();
    t.port.Answer(ReadAnswer(1, data));
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.Sent().size(), 1u);
    // A broken last record of an element not wanted is stepped over, as any unwanted record.
    t->SelectedArchive = kTypeCurrent;
    t->BreakFlag = 0;
    Bytes broken(data.begin(), data.begin() + 12);
    broken.insert(broken.end(), {60, 0, 0});
    t.port.Answer(ReadAnswer(1, broken));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    EXPECT_EQ(t.port.Sent().back(), "W 3FFF (12 bytes)");
    EXPECT_EQ(t->ExpectedLength, 2u * 3 + 5);
    // A wanted value of more than four bytes refuses the list.
    t.port.logs.clear();
    t.port.Answer(ActiveList({{0, 2}, {1, 8}}));
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    EXPECT_EQ(t.port.logs, Lines{"Driver_VKT7. Element 1 has a value of 8 bytes, more than 4: list refused\n"});
    EXPECT_FALSE(t->IsPresent(0, kTypeCurrent));
    EXPECT_EQ(t->SelectedArchive, kTypeNone);  // the next read selects and builds again
    EXPECT_EQ(t->BreakFlag, 1);
}

// The list is built where the write request sends it, over the CRC of the read
// before it: a refused list leaves the same read again its own whole frame.
TEST(Vkt7Elements, ARefusedListLeavesTheNextReadItsOwnFrame) {
    TestDriver t(1, 1);
    SelectCurrent(t, {0, 1});
    t.port.Answer(ActiveList({{0, 2}, {1, 8}}));
    EXPECT_EQ(t->VKT7_BuildElementList(), -4);
    t->SelectedArchive = kTypeCurrent;
    t->BreakFlag = 0;
    t.port.Answer(ActiveList({{0, 2}, {1, 4}}));
    t.port.Answer(WriteAnswer(1, 0x3FFF));
    EXPECT_EQ(t->VKT7_BuildElementList(), 0);
    ASSERT_EQ(t.port.records.size(), 3u);
    for (size_t i : {0u, 1u}) EXPECT_EQ(ToHex(t.port.records[i].tx), "FF FF 01 03 3F FC 00 00 89 EE") << i;
    const Bytes& write = t.port.records[2].tx;
    EXPECT_EQ(ToHex(write), ToHex(WithCrc(Hex("FF FF 01 10 3F FF 00 00 0C 00 00 00 40 02 00 01 00 00 40 04 00"), 2)));
}
