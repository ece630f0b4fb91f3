// What the exported entry points do, for a given table of drivers.
#ifndef TRV_PLUGIN_FRAME_H
#define TRV_PLUGIN_FRAME_H

#include <cstdint>

#include "host/host_api.h"
#include "plugin/driver_ops.h"

// Exact, case-sensitive model texts; anything else (null or empty too) is a VKT-7.
const DriverOps* SelectDriver(const DriverTable& drivers, const char* modelText);

int32_t FrameInit(const DriverTable& drivers, DeviceHandle device);
int32_t FrameRead(const DriverTable& drivers, DeviceHandle device);
int32_t FrameWrite(const DriverTable& drivers, DeviceHandle device);
int32_t FrameClose(const DriverTable& drivers, DeviceHandle device);

// The same, guarded: no exception leaves them (one that escapes a driver is
// logged to the device and the call returns 0). The entry points call these.
int32_t GuardedInit(const DriverTable& drivers, DeviceHandle device) noexcept;
int32_t GuardedRead(const DriverTable& drivers, DeviceHandle device) noexcept;
int32_t GuardedWrite(const DriverTable& drivers, DeviceHandle device) noexcept;
int32_t GuardedClose(const DriverTable& drivers, DeviceHandle device) noexcept;

// The drivers built into this plugin.
const DriverTable& BuiltInDrivers();

#endif
