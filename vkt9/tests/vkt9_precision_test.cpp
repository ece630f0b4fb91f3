// Built for the x87 unit, which computes floats in wider registers, as the
// 32-bit plugin does: the decoding must still round the way the meter does.
#include <gtest/gtest.h>

#include <array>

#include "vkt9/vkt9_bytes.h"

using namespace DriverVKT9;

namespace {

// Bytes as they arrive at run time, so that the compiler cannot fold the sum.
std::array<uint8_t, 8> Received(std::array<uint8_t, 8> bytes) {
    volatile uint8_t line[8];
    for (size_t i = 0; i < bytes.size(); ++i) line[i] = bytes[i];
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = line[i];
    return bytes;
}

TEST(Vkt9Precision, IntegerPlusFloatIsSummedInSinglePrecision) {
    // 16777217 has no float of its own, and 0.5 is lost when added to 16777216 in single precision.
    const auto registers = Received({0x01, 0x00, 0x00, 0x01, 0x3f, 0x00, 0x00, 0x00});
    const auto record = Received({0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3f});
    DecodedValue fromRegisters, fromRecord;
    DecodeValue<Big16, Big32>(DataIntPlusFloat, 1, registers.data(), fromRegisters);
    DecodeValue<Little16, Little32>(DataIntPlusFloat, 1, record.data(), fromRecord);
    EXPECT_EQ(fromRegisters.doubleValue, 16777216.0);
    EXPECT_EQ(fromRecord.doubleValue, 16777216.0);
}

}  // namespace
