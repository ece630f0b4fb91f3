// The meter's arrays: request parameters and answer layout per array, the zone
// request, and the decodings of answer bytes.
#ifndef TRV_VKT5_ARRAYS_H
#define TRV_VKT5_ARRAYS_H

#include <array>
#include <cstdint>

#include "vkt5/vkt5_link.h"
#include "vkt5/vkt5_model.h"

namespace DriverVKT5 {

struct ArrayEntry {
    uint8_t param1;
    uint8_t param2;
    std::array<uint8_t, 2> length;  // data bytes for firmware class 0 and 1
    uint8_t perChannel;
    uint8_t channelUnit;
    uint8_t reportBlock;  // archive zones only
};

constexpr uint8_t kTotalFlag = 0x80;
// Bytes of the report block that report type 2 adds to an archive answer.
constexpr int32_t kReportBlockLength = 12;

ArrayEntry LookupArray(bool total, uint8_t array, uint8_t heat);

// Writes the zone's request into link.tx and exchanges it; 1 without sending
// when the firmware is not supported. dataOffset is where the zone's data
// starts in rx, dataLength the count byte expected.
ExchangeResult BuildZoneRequest(const AreaZone& zone, Link& link, const MeterSettings& settings, uint8_t address,
                                int32_t& dataOffset, int32_t& dataLength);

struct DecodedValue {
    bool integer = false;
    int32_t intValue = 0;
    double doubleValue = 0;
};

// Decodes data[address...] when the whole value lies within the available bytes
// and the decoding is known; false otherwise.
bool DecodeValue(const uint8_t* data, int32_t available, int32_t address, int32_t decoding, DecodedValue& out);

}  // namespace DriverVKT5

#endif
