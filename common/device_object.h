// The VKT-5 and VKT-9 drivers register a block holding one pointer, their
// per-device object. These helpers own that convention.
#ifndef TRV_COMMON_DEVICE_OBJECT_H
#define TRV_COMMON_DEVICE_OBJECT_H

#include "host/host_api.h"

struct DeviceObjectBlock {
    void* object;
};
static_assert(sizeof(void*) != 4 || sizeof(DeviceObjectBlock) == 4, "the 32-bit host expects a 4-byte block");

// Takes the block from HostAlloc, stores object in it and registers it.
// False (nothing registered) when the host gives no memory.
bool RegisterDeviceObject(DeviceHandle device, void* object);
// The registered object, or null (no block, or closed).
void* GetDeviceObject(DeviceHandle device);
// Returns the object and leaves a null pointer in the block.
void* TakeDeviceObject(DeviceHandle device);

#endif
