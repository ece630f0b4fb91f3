// VKT-7 values and quality: the data read of one archive type, the
// quality table, decoding by type, the archive readers with their stepping, and
// the values by position or by element; and VKT7, the whole driver object.
#ifndef TRV_VKT7_VALUES_H
#define TRV_VKT7_VALUES_H

#include <cstdint>
#include <cstring>
#include <mutex>

#include "common/platform.h"
#include "vkt7/vkt7_session.h"

namespace vkt7 {

inline constexpr uint8_t kQualityGood = 0xC0;
inline constexpr uint8_t kQualitySensorCal = 0x50;
inline constexpr uint8_t kQualityWaiting = 0x20;
inline constexpr uint8_t kQualityCommFailure = 0x18;
inline constexpr uint8_t kQualitySensorFailure = 0x10;
inline constexpr uint8_t kQualityDeviceFailure = 0x0C;

// Day normalisation: a day past its month's end moves to day 1 of
// the next month (stored year: leap when divisible by 4).
void NormaliseDay(ArchivePos& p);
// Month normalisation: month 13 is January of the next year.
void NormaliseMonth(ArchivePos& p);

}  // namespace vkt7

// One value as the polling cycle publishes it.
struct Vkt7Value {
    uint8_t quality = 0;
    uint8_t type = 0;
    double number = 0;
    int32_t integer = 0;
};

// The driver object of one VKT-7 device: link, element table, session and
// values in one class with no base; its only virtual operation is its destructor.
class VKT7 {
public:
    // The buffers are the device block's, kBufferSize bytes each.
    VKT7(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer, int32_t attempts,
         DeviceHandle device);
    VKT7(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer, int32_t attempts,
         DeviceHandle device, Vkt7Port port);
    VKT7(const VKT7&) = delete;
    VKT7& operator=(const VKT7&) = delete;
    virtual ~VKT7();

    // ---- link ----
    // Function 3 read; expectedLength is the whole answer's length, 0 when not fixed.
    int32_t VKT7_Read(int32_t reg, int32_t count, int32_t expectedLength);
    // Function 16 write of dataLength bytes with the given byte-count field.
    int32_t VKT7_Write(int32_t reg, int32_t count, const uint8_t* data, int32_t dataLength, int32_t byteCountField);
    // Where the next write request's data goes in the send buffer: data built there is
    // sent without a copy. The read request held there is gone.
    uint8_t* WriteData();
    // Sends the prepared request whose CRC starts at crcIndex and checks the answer.
    int32_t VKT7_SendReceive(int32_t crcIndex, int32_t expectedLength);
    int32_t VKT7_VerifyRead();
    int32_t VKT7_VerifyWrite();
    // The two CRC bytes (low, high) of length bytes.
    static void VKT7_CRC16(const uint8_t* bytes, int32_t length, uint8_t crc[2]);
    // True when the two bytes after the first n of the receive buffer are their CRC.
    bool VKT7_CheckCRC(int32_t n) const;
    void VKT7_Drain();
    // One log line through the port (DriverLog in the plugin).
    void Log(const char* text) const;
    void Logf(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    // ---- element table ----
    // 0, or -4 for a type of 7 or more, an element of 83 or more, or a full list.
    int32_t VKT7_AddElement(uint8_t element, uint8_t type);
    int32_t VKT7_SelectArchive(uint8_t type, bool& changed);
    int32_t VKT7_BuildElementList();
    bool IsWanted(int32_t element, int32_t type) const;
    bool IsPresent(int32_t element, int32_t type) const;

    // ---- session ----
    int32_t VKT7_StartSession();
    int32_t VKT7_ReadServerVersion();
    int32_t VKT7_ReadSoftwareVersion();
    int32_t VKT7_ReadProperties();
    void VKT7_SetDivisor(uint8_t propertyElement, uint8_t decimalPlaces);
    int32_t VKT7_ReadDeviceTime(bool withClock);
    void VKT7_SetArchiveParams(int32_t depthHour, int32_t depthDay, int32_t depthMonth, int32_t countRecord);
    // The cycle closes the session when the meter stops answering.
    void ResetSession() { SessionOpen = false; }

    // ---- values ----
    int32_t VKT7_ReadValues(uint8_t type);
    int32_t VKT7_ReadCurrent() { return VKT7_ReadValues(vkt7::kTypeCurrent); }
    int32_t VKT7_ReadTotals() { return VKT7_ReadValues(vkt7::kTypeTotals); }
    // 0, 100 (nothing to read) or another result; the outs are the record asked for.
    int32_t VKT7_ReadHourArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    int32_t VKT7_ReadDayArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    int32_t VKT7_ReadMonthArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year);
    // The n-th entry of the selected type's request list; -3 when there is none.
    int32_t VKT7_GetValue(uint8_t n, uint8_t& quality, uint8_t& type, double& number, int32_t& integer) const;
    // The element a tag names (its "addr"): -3 when no type is selected or the
    // selected type does not want the element.
    int32_t VKT7_GetElementValue(uint8_t element, Vkt7Value& out) const;
    // The element a tag names when the given type (the selected one, read once per
    // record) wants it, else null: the polling cycle publishes straight from it.
    const VKT7Element* WantedElement(uint8_t element, uint8_t type) const;
    bool VKT7_IsBeforeNow(const ArchivePos& p) const;

    // Link fields, with the selected archive type and the expected answer length.
    int32_t timeout;
    int32_t maxAnswerLength;
    int32_t lastAnswerLength = 0;
    uint8_t* sendBuffer;
    uint8_t* receiveBuffer;
    int32_t attempts;
    uint8_t BreakFlag = 0;
    uint8_t address = 0;
    uint8_t SelectedArchive = vkt7::kTypeNone;
    // True while the send buffer holds a read request with its CRC, as last sent:
    // the same request again is sent without computing the CRC anew.
    bool readRequestSent = false;
    uint32_t sendOffset = 0;
    DeviceHandle device;
    uint32_t ExpectedLength = 0;

    // Element table, request lists and the length of the element list last built
    // (the wanted records of the active list, built where the write request sends them).
    VKT7Element elements[vkt7::kElementCount];
    uint8_t requestList[vkt7::kArchiveTypeCount][vkt7::kElementCount] = {};
    uint8_t requestCount[vkt7::kArchiveTypeCount] = {};
    // The wanted elements of each type as bits (element e: byte e / 8, bit e % 8), so
    // that decoding visits them alone, in element order.
    uint8_t wantedBits[vkt7::kArchiveTypeCount][(vkt7::kElementCount + 7) / 8] = {};
    int32_t elementListLength = 0;

    // Session fields.
    uint8_t meterClock[6] = {};  // day, month, year - 2000, hour, minute, second
    uint8_t ServerVersion = 2;
    uint8_t softwareMajor = 0;
    uint8_t softwareMinor = 0;
    int32_t DepthHour = 20;
    int32_t DepthDay = 20;
    int32_t DepthMonth = 5;
    int32_t CountRecord = 5;
    ArchivePos Now{};
    ArchivePos HourPos{};
    ArchivePos DayPos{};
    ArchivePos MonthPos{};
    uint8_t ReportDay = 30;
    bool SessionOpen = false;
    platform::Lock lock;  // guards the four archive settings while they are stored

private:
    void InitTable();
    int32_t Exchange(const uint8_t* tx, int32_t txLength, int32_t rxCapacity);
    // Forgets a list that was refused half-built, so that the next read selects
    // its type again and builds the list anew.
    int32_t RefuseList(uint8_t type);
    void ClearPresent(uint8_t type);
    void ApplyBounds();
    void LogPosition(const char* format, const ArchivePos& p) const;
    int32_t DecodeValues();
    void DecodeValue(int32_t element, uint8_t type, uint32_t size, uint32_t divisor, const uint8_t* bytes);
    void Fill(int32_t element, Vkt7Value& out) const;
    int32_t ReadArchive(ArchivePos& pos, uint8_t type, int32_t& hour, int32_t& day, int32_t& month, int32_t& year);

    Vkt7Port port_;
};

// Inline: called once per published tag.
inline void VKT7::Fill(int32_t e, Vkt7Value& out) const {
    const VKT7Element& el = elements[e];
    out.quality = el.quality;
    out.type = el.type;
    uint32_t u = 0;
    std::memcpy(&u, el.value, sizeof u);
    if (el.type == vkt7::kValueBool) {
        out.integer = el.value[0] != 0 ? 1 : 0;
        out.number = out.integer;
    } else {
        out.integer = static_cast<int32_t>(u);
        if (el.type == vkt7::kValueNumber)
            std::memcpy(&out.number, el.value, sizeof out.number);
        else
            out.number = static_cast<double>(u);
    }
}

inline const VKT7Element* VKT7::WantedElement(uint8_t element, uint8_t type) const {
    if (type >= vkt7::kTypeNone || element >= vkt7::kElementCount ||
        (elements[element].flags[type] & vkt7::kFlagWanted) == 0)
        return nullptr;
    return &elements[element];
}

inline int32_t VKT7::VKT7_GetElementValue(uint8_t element, Vkt7Value& out) const {
    if (WantedElement(element, SelectedArchive) == nullptr) return vkt7::kWrongAnswer;
    Fill(element, out);
    return vkt7::kOk;
}

#endif
