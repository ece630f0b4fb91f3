// Logging, the break flag and the channel, as every driver uses them.
#ifndef TRV_COMMON_DRIVER_SUPPORT_H
#define TRV_COMMON_DRIVER_SUPPORT_H

#include <cstdint>

#include "host/host_api.h"

// Defined here so that the drivers inline them into their cycles: each is little more
// than its host call.

// Writes one line to the node's log unless the node is null or the host asks to stop.
inline void DriverLog(DeviceHandle device, const char* text) {
    if (device == nullptr || HostIsBreakSet(device)) return;
    HostLog(device, text);
}
// False for a null device.
inline bool IsBreakSet(DeviceHandle device) { return device != nullptr && HostIsBreakSet(device) != 0; }
// Sends txLength bytes and receives at most rxCapacity; returns the byte count,
// 0 for silence, negative for a channel failure. -1 without sending when the
// device is null, the host asks to stop, or the device has no channel.
inline int32_t ExchangeWithDevice(DeviceHandle device, const uint8_t* tx, int32_t txLength, uint8_t* rx,
                                  int32_t rxCapacity) {
    if (device == nullptr || HostIsBreakSet(device)) return -1;
    const HostExchangeFn exchange = HostGetExchange(device);
    if (exchange == nullptr) return -1;
    return exchange(device, tx, txLength, rx, rxCapacity);
}

#endif
