#include "vkt5/vkt5_arrays.h"

#include <bit>
#include <cstring>

namespace DriverVKT5 {

ArrayEntry LookupArray(bool total, uint8_t array, uint8_t heat) {
    const auto perHeat = static_cast<uint8_t>(heat * 28);
    if (total) {
        switch (array) {
            case 0: return {perHeat, 0, {32, 40}, 1, 8, 0};
            case 1: return {6, 128, {128, 128}, 0, 0, 0};
            default: return {0, 0, {0, 0}, 0, 0, 0};
        }
    }
    switch (array) {
        case 0: return {perHeat, 0, {16, 20}, 1, 6, 0};
        case 1: return {6, 48, {96, 96}, 0, 0, 0};
        case 3: return {0, 6, {24, 24}, 0, 0, 0};
        case 4: return {heat, 11, {6, 6}, 1, 9, 1};
        case 5: return {0, 80, {160, 160}, 0, 0, 0};
        case 7: return {0, 6, {26, 26}, 0, 0, 0};
        default: return {0, 0, {0, 0}, 0, 0, 0};
    }
}

ExchangeResult BuildZoneRequest(const AreaZone& zone, Link& link, const MeterSettings& settings, uint8_t address,
                                int32_t& dataOffset, int32_t& dataLength) {
    auto& tx = link.tx;
    tx[0] = address;
    tx[1] = zone.archive ? FunctionReadArchive : FunctionReadHolding;
    tx[2] = zone.total == 1 ? static_cast<uint8_t>(zone.array | kTotalFlag) : zone.array;
    tx[3] = zone.param1;
    tx[4] = 0x00;
    tx[5] = zone.param2;
    if (settings.firmwareClass > FirmwareSubversionN) return ExchangeFailed;
    dataLength = zone.length[settings.firmwareClass];
    dataOffset = 3;
    if (zone.perChannel) {
        int32_t k = zone.heat < kHeatSystems ? settings.channelCount[zone.heat] : 0;
        if (k == 0) k = 1;
        const int32_t blocks = k * zone.channelUnit * 2;
        dataLength += blocks;
        dataOffset += blocks;
        if (zone.reportBlock && settings.reportType2) dataLength += kReportBlockLength;
    }
    return link.Exchange(6, dataLength, false);
}

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

int32_t SizeOf(int32_t decoding) {
    switch (decoding) {
        case DecodingFloat: return 4;
        case DecodingDouble: return 8;
        case DecodingUInt16: return 2;
        case DecodingUInt32: return 4;
        default: return 0;
    }
}

}  // namespace

bool DecodeValue(const uint8_t* data, int32_t available, int32_t address, int32_t decoding, DecodedValue& out) {
    const int32_t size = SizeOf(decoding);
    if (size == 0 || address < 0 || available < size || address > available - size) return false;
    const uint8_t* p = data + address;
    switch (decoding) {
        case DecodingFloat:
            out.integer = false;
            out.doubleValue = std::bit_cast<float>(BigEndian32(p));
            return true;
        case DecodingDouble:
            out.integer = false;
            out.doubleValue =
                std::bit_cast<double>((static_cast<uint64_t>(BigEndian32(p)) << 32) | BigEndian32(p + 4));
            return true;
        case DecodingUInt16:
            out.integer = true;
            out.intValue = static_cast<int32_t>((p[0] << 8) | p[1]);
            return true;
        default:  // DecodingUInt32: the host takes it as a signed 32-bit integer
            out.integer = true;
            out.intValue = static_cast<int32_t>(BigEndian32(p));
            return true;
    }
}

}  // namespace DriverVKT5
