#include "vkt7/vkt7_values.h"

#include <cstring>

using namespace vkt7;

namespace {

uint8_t InitialType(int32_t e) {
    if (e == 77 || e == 78 || e == 81 || e == 82) return kValueBool;
    if (e >= 44 && e <= 56) return kValueUnsigned;
    if (e >= 57 && e <= 75) return kValueInteger;
    return kValueNumber;
}

}  // namespace

void VKT7::InitTable() {
    for (int32_t e = 0; e < kElementCount; ++e) {
        VKT7Element& el = elements[e];
        std::memset(&el, 0, sizeof el);
        el.quality = 0x20;
        el.type = InitialType(e);
        el.divisor = 1;
    }
}

bool VKT7::IsWanted(int32_t element, int32_t type) const {
    return element >= 0 && element < kElementCount && type >= 0 && type < kArchiveTypeCount &&
           (elements[element].flags[type] & kFlagWanted) != 0;
}

bool VKT7::IsPresent(int32_t element, int32_t type) const {
    return element >= 0 && element < kElementCount && type >= 0 && type < kArchiveTypeCount &&
           (elements[element].flags[type] & kFlagPresent) != 0;
}

int32_t VKT7::VKT7_AddElement(uint8_t element, uint8_t type) {
    if (type >= kArchiveTypeCount || element >= kElementCount) return kBadAnswer;
    if (requestCount[type] >= kElementCount) {
        Logf("Driver_VKT7. Request list of archive type %d is full: element %d not added\n", type, element);
        return kBadAnswer;
    }
    elements[element].flags[type] |= kFlagWanted;
    wantedBits[type][element / 8] |= static_cast<uint8_t>(1u << (element % 8));
    requestList[type][requestCount[type]] = element;
    ++requestCount[type];
    return kOk;
}

int32_t VKT7::VKT7_SelectArchive(uint8_t type, bool& changed) {
    if (type >= kTypeNone) return kBadAnswer;
    if (type == SelectedArchive) return kOk;
    const uint8_t data[2] = {type, 0x00};
    const int32_t result = VKT7_Write(kRegArchiveType, 0, data, 2, 2);
    if (result == kOk) {
        changed = true;
        SelectedArchive = type;
    }
    return result;
}

// Four elements a step: the loop's own instructions were most of its cost.
void VKT7::ClearPresent(uint8_t type) {
    constexpr uint8_t kKeep = static_cast<uint8_t>(~kFlagPresent);
    int32_t e = 0;
    for (; e + 4 <= kElementCount; e += 4) {
        elements[e].flags[type] &= kKeep;
        elements[e + 1].flags[type] &= kKeep;
        elements[e + 2].flags[type] &= kKeep;
        elements[e + 3].flags[type] &= kKeep;
    }
    for (; e < kElementCount; ++e) elements[e].flags[type] &= kKeep;
}

int32_t VKT7::RefuseList(uint8_t type) {
    ClearPresent(type);
    ExpectedLength = 0;
    elementListLength = 0;
    SelectedArchive = kTypeNone;
    BreakFlag = 1;
    return kBadAnswer;
}

int32_t VKT7::VKT7_BuildElementList() {
    const uint8_t type = SelectedArchive;
    if (type >= kArchiveTypeCount) {
        Log("Driver_VKT7. Element list without a selected archive type\n");
        return kBadAnswer;
    }
    const int32_t result = VKT7_Read(kRegActiveList, 0, 0);
    if (result != kOk) return result;

    ClearPresent(type);

    // A successful read answer is byte 2 + 5 <= 260 bytes long (the link checks that),
    // so a last record cut short is read from the buffer as it stands, inside its 265 bytes.
    // The list's length and the answer's are kept in locals and stored at the end:
    // the stores into the element table would otherwise make them read anew.
    const uint8_t* rx = receiveBuffer;
    const int32_t end = lastAnswerLength - 2;  // the CRC follows
    uint8_t* list = WriteData();  // 42 records at most: inside the send buffer
    int32_t records = 0;
    int32_t listLength = 0;
    uint32_t expected = 0;
    for (int32_t pos = 3; pos < end; pos += kListRecordSize) {
        const uint8_t e = rx[pos];
        if (e >= kElementCount) {
            Logf("Driver_VKT7. Active element list names element %d, beyond the table: skipped\n", e);
            continue;
        }
        if ((elements[e].flags[type] & kFlagWanted) == 0) continue;
        const uint32_t size = static_cast<uint32_t>(rx[pos + 4]) | (static_cast<uint32_t>(rx[pos + 5]) << 8);
        if (size > static_cast<uint32_t>(kMaxValueSize)) {
            Logf("Driver_VKT7. Element %d has a value of %u bytes, more than %d: list refused\n", e, size,
                 kMaxValueSize);
            return RefuseList(type);
        }
        if (records == kMaxListRecords) {
            Logf("Driver_VKT7. More than %d wanted elements in the active list: list refused\n", kMaxListRecords);
            return RefuseList(type);
        }
        std::memcpy(list + listLength, rx + pos, kListRecordSize);
        listLength += kListRecordSize;
        ++records;
        elements[e].flags[type] |= kFlagPresent;
        elements[e].size = rx[pos + 4];
        expected += size + 2;
    }
    elementListLength = listLength;
    ExpectedLength = expected > 0 ? expected + 5 : 0;
    return VKT7_Write(kRegList, 0, list, elementListLength, elementListLength);
}
