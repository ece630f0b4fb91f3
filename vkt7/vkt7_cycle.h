// VKT-7 configuration and polling cycle: the device block and tag
// records, initialisation from the host's properties, the read cycle over the
// groups "1" to "5", client writes to "Available", and close.
#ifndef TRV_VKT7_CYCLE_H
#define TRV_VKT7_CYCLE_H

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "vkt7/vkt7_values.h"

#pragma pack(push, 1)
// One per device, from HostAlloc(device, sizeof): fields without gaps.
struct Vkt7DeviceBlock {
    uint8_t sendBuffer[vkt7::kBufferSize];
    uint8_t receiveBuffer[vkt7::kBufferSize];
    VKT7* driver;  // null after close
    TagHandle availableTag;
    TagHandle failureTag;
    TagHandle dateTimeTag;
    uint8_t ScanEnabled;
};

// One per tag, from HostAlloc(owner node, 5).
struct Vkt7TagRecord {
    uint8_t archiveType;  // 4, 5, 0, 1, 2 for groups "1" to "5"; 7 for the device's own tags
    int32_t addr;         // the tag's "addr" property, low byte first
};
#pragma pack(pop)

// 530 + 4 pointers + 1 (clarifications.md, point 1): 547 bytes on the 32-bit host.
static_assert(sizeof(Vkt7DeviceBlock) == 2 * vkt7::kBufferSize + 4 * sizeof(void*) + 1, "Vkt7DeviceBlock layout");
static_assert(offsetof(Vkt7DeviceBlock, driver) == 530, "Vkt7DeviceBlock: driver after the buffers");
static_assert(offsetof(Vkt7DeviceBlock, ScanEnabled) == 530 + 4 * sizeof(void*), "Vkt7DeviceBlock: ScanEnabled last");
#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(Vkt7DeviceBlock) == 547, "the 32-bit host allocates 547 bytes for the VKT-7 device block");
#endif
static_assert(sizeof(Vkt7TagRecord) == 5, "the VKT-7 tag record is 5 bytes");
static_assert(offsetof(Vkt7TagRecord, addr) == 1, "Vkt7TagRecord: addr right after the type byte");

int32_t Vkt7Init(DeviceHandle device);
// True when every group was read without a link failure.
bool Vkt7ReadCycle(DeviceHandle device);
int32_t Vkt7Write(DeviceHandle device);
void Vkt7Close(DeviceHandle device);

// Seconds since 1970 to a FILETIME.
FILETIME Vkt7FileTime(int64_t seconds);

#endif
