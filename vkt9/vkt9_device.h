// The per-device object of the VKT-9 driver and its entry operations.
#ifndef TRV_VKT9_DEVICE_H
#define TRV_VKT9_DEVICE_H

#include <cstdint>

#include "host/host_api.h"
#include "vkt9/vkt9_protocol.h"

namespace DriverVKT9 {

struct Device {
    Protocol protocol;
    HostNotifyFn notify = nullptr;
    char text[256] = {};
    TagHandle availableTag = nullptr;
    TagHandle failureTag = nullptr;
    uint8_t available = 1;
    uint8_t unscheduled = 0;
    TagHandle unschedulerTag = nullptr;
    DeviceHandle device = nullptr;
};

// The registered object of a device, or null.
Device* DeviceOf(DeviceHandle device);

Device* Vkt9Init(DeviceHandle device);
void Vkt9Read(DeviceHandle device);
void Vkt9ReadSubdevice(DeviceHandle device, DeviceHandle node);
void Vkt9Write(DeviceHandle device);
void Vkt9Close(DeviceHandle device);

}  // namespace DriverVKT9

#endif
