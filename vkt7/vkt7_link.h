// VKT-7 link layer: result codes, function codes, service registers and the
// port through which the link reaches the channel and the log: the host's
// (ExchangeWithDevice, DriverLog) in the plugin, a fake in the tests. The link's
// operations are members of VKT7 (vkt7_values.h).
#ifndef TRV_VKT7_LINK_H
#define TRV_VKT7_LINK_H

#include <cstdint>

#include "host/host_api.h"

namespace vkt7 {

// Size of the send and of the receive buffer (device block).
inline constexpr int32_t kBufferSize = 265;

// Result codes of the VKT-7 operations; positive = meter's exception code.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNoAnswer = -1;
inline constexpr int32_t kWrongAnswer = -3;  // address, function, echo
inline constexpr int32_t kBadAnswer = -4;    // CRC, length
inline constexpr int32_t kNothingToRead = 100;

inline constexpr uint8_t kFunctionRead = 0x03;
inline constexpr uint8_t kFunctionWrite = 0x10;
inline constexpr uint8_t kReadException = 0x83;
inline constexpr uint8_t kWriteException = 0x90;

// Service registers.
inline constexpr int32_t kRegBounds = 0x3FF6;
inline constexpr int32_t kRegSoftware = 0x3FF9;
inline constexpr int32_t kRegClock = 0x3FFB;  // read: clock; write: record date
inline constexpr int32_t kRegActiveList = 0x3FFC;
inline constexpr int32_t kRegArchiveType = 0x3FFD;
inline constexpr int32_t kRegData = 0x3FFE;
inline constexpr int32_t kRegList = 0x3FFF;

}  // namespace vkt7

// What the link needs from outside: one exchange (send txLength bytes, receive
// at most rxCapacity; bytes received, 0 for silence, negative for a failure) and
// one log line.
struct Vkt7Port {
    void* context = nullptr;
    int32_t (*exchange)(void* context, const uint8_t* tx, int32_t txLength, uint8_t* rx, int32_t rxCapacity) = nullptr;
    void (*log)(void* context, const char* text) = nullptr;
};

// The host's port for a device: ExchangeWithDevice and DriverLog.
Vkt7Port Vkt7HostPort(DeviceHandle device);

#endif
