// The configuration model of a VKT-9 device: value items, the read requests
// merged from them, and the archives.
#ifndef TRV_VKT9_MODEL_H
#define TRV_VKT9_MODEL_H

#include <array>
#include <cstdint>
#include <vector>

#include "common/calendar_time.h"
#include "host/host_api.h"

namespace DriverVKT9 {

// Decoding rules of a value, shared by registers (big-endian) and archive
// records (little-endian). 5 has no rule on this meter.
enum DataType : int32_t {
    DataFloat = 0,        // 32-bit IEEE float
    DataWord = 1,         // 16-bit word
    DataScaledInt16 = 2,  // signed 16-bit / Koeff
    DataUInt32 = 3,       // unsigned 32-bit
    DataIntPlusFloat = 4, // signed 32-bit + float, summed
    DataScaledUInt16 = 6, // unsigned 16-bit / Koeff
};

// Registers one value of the type takes; 0 for a type without a rule.
int32_t RegisterCount(int32_t dataType);
// Bytes one value of the type takes in an archive record; 0 without a rule.
inline int32_t RecordBytes(int32_t dataType) { return 2 * RegisterCount(dataType); }

// Function codes of the meter.
constexpr uint8_t FunctionHolding = 0x03;
constexpr uint8_t FunctionInput = 0x04;
constexpr uint8_t FunctionRecord = 0x41;
constexpr uint8_t ErrorAnswerFlag = 0x80;

constexpr int32_t NotConfigured = -1;
constexpr int32_t MaxArchives = 20;
// Longest register read whose answer fits the receive buffer.
constexpr int32_t MaxBlockRegisters = (65535 - 5) / 2;
// Longest record whose answer fits the receive buffer.
constexpr int32_t MaxRecordLength = 65535 - 9;

enum ArchiveType : int32_t {
    ArchiveTypeHour = 0,
    ArchiveTypeDay = 1,
    ArchiveTypeMonth = 2,
};

// A register in Modbus notation (3xxxx input, 4xxxx holding) to a function code
// and a zero-based register; anything else leaves both as they are.
void ConvertRegister(int32_t configured, int32_t& function, int32_t& reg);

// Function codes are 0, 3 or 4, a status is one register and the integer plus
// float sum is single precision: narrow fields keep an item at 56 bytes on
// 64-bit builds.
struct ValueItem {
    uint8_t function = 0;
    int32_t Address = NotConfigured;
    int32_t DataType = NotConfigured;
    float Koeff = 1.0f;
    uint8_t statusFunction = 0;
    int32_t RegStatus = NotConfigured;
    int32_t StatusNorm = NotConfigured;
    uint8_t valueReceived = 0;
    uint8_t statusReceived = 0;
    uint16_t status = 0;
    int32_t StatusContract = NotConfigured;
    float floatValue = 0;
    int32_t intValue = 0;
    float doubleValue = 0;  // published as a double
    TagHandle tag = nullptr;
};

// A six-byte request as last sent, its CRC included; all zero before the first.
using RequestFrame = std::array<uint8_t, 8>;

struct RequestItem {
    uint32_t function = 0;
    int32_t register_ = 0;
    int32_t count = 0;
    uint8_t LastInRequest = 0;
};

struct RequestBlock {
    uint32_t function = 0;
    int32_t start = 0;
    int32_t count = 0;
    int32_t gap = 0;
};

// Merges sorted request items into read requests. A block never shrinks when an
// item inside it joins, and never grows past MaxBlockRegisters.
std::vector<RequestBlock> BuildRequestBlocks(const std::vector<RequestItem>& items, int32_t maxGap);

struct ArchiveValue {
    TagHandle tag = nullptr;
    int32_t AddressByte = NotConfigured;
    int32_t DataType = NotConfigured;
    float Koeff = -1.0f;
    float floatValue = 0;
    double doubleValue = 0;
    int32_t intValue = 0;
};

struct Archive {
    int32_t ordinal = 0;
    int32_t ringTop = NotConfigured;
    int32_t second = 0;
    int32_t type = ArchiveTypeHour;
    int32_t LengthByteAnswer = 0;
    int32_t function = NotConfigured;
    int32_t register_ = NotConfigured;
    // Set when a record was decoded since the last reset: only then has the
    // reset anything to clear beside the index fields.
    uint8_t recordDecoded = 0;
    RequestFrame indexRequest{};
    CalendarTime recordTime;
    std::vector<ArchiveValue> values;

    // Forgets what the previous read learned, keeps the configuration.
    void ResetReadState();
};

}  // namespace DriverVKT9

#endif
