// VKT-5 link layer: Modbus RTU frames over the host's channel, with the
// meter's answer checks and retries.
#ifndef TRV_VKT5_LINK_H
#define TRV_VKT5_LINK_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/host_api.h"

namespace DriverVKT5 {

enum ExchangeResult : int32_t {
    ExchangeOk = 0,       // a valid answer is in rx
    ExchangeFailed = 1,   // no valid answer; the link's failed flag is set
    ExchangeRefused = 2,  // the meter sent a Modbus error answer
};

enum FunctionCode : uint8_t {
    FunctionReadHolding = 0x03,
    FunctionReadArchive = 0x04,
    FunctionWriteMultiple = 0x10,
    FunctionErrorFlag = 0x80,
};

// Address, function code, count byte and two CRC bytes around the data.
constexpr uint32_t kAnswerOverhead = 5;

// Writes the CRC of buffer[0..length) at buffer[length], buffer[length+1].
void AppendCrc(uint8_t* buffer, size_t length);

class Link {
public:
    static constexpr size_t kTxSize = 64;
    static constexpr size_t kRxSize = 1024;

    Link(DeviceHandle device, uint32_t attempts) : attempts_(attempts), device_(device) {}

    // Checks the CRC of a received frame of length bytes, logging what is wrong.
    bool CheckCrc(const uint8_t* buffer, int32_t length) const;

    // Sends tx[0..txLength) plus CRC and receives the answer into rx.
    // skipCountCheck accepts an answer whose third byte is not the data count.
    ExchangeResult Exchange(uint32_t txLength, int32_t expectedDataLength, bool skipCountCheck);

    bool IsFailed() const { return failed_ != 0; }
    DeviceHandle device() const { return device_; }
    uint32_t attempts() const { return attempts_; }

    std::array<uint8_t, kTxSize> tx{};
    std::array<uint8_t, kRxSize> rx{};

private:
    uint32_t attempts_;
    DeviceHandle device_;
    uint8_t failed_ = 0;

    ExchangeResult Fail();
};

}  // namespace DriverVKT5

#endif
