// Logging, the break flag and the channel, as every driver uses them.
#ifndef TRV_COMMON_DRIVER_SUPPORT_H
#define TRV_COMMON_DRIVER_SUPPORT_H

#include <cstdint>

#include "host/host_api.h"

// Writes one line to the node's log unless the node is null or the host asks to stop.
void DriverLog(DeviceHandle device, const char* text);
// False for a null device.
bool IsBreakSet(DeviceHandle device);
// Sends txLength bytes and receives at most rxCapacity; returns the byte count,
// 0 for silence, negative for a channel failure. -1 without sending when the
// device is null, the host asks to stop, or the device has no channel.
int32_t ExchangeWithDevice(DeviceHandle device, const uint8_t* tx, int32_t txLength, uint8_t* rx,
                           int32_t rxCapacity);

#endif
