#include "common/device_object.h"

bool RegisterDeviceObject(DeviceHandle device, void* object) {
    auto* block = static_cast<DeviceObjectBlock*>(HostAlloc(device, sizeof(DeviceObjectBlock)));
    if (block == nullptr) return false;
    block->object = object;
    HostSetDeviceData(device, block);
    return true;
}

void* GetDeviceObject(DeviceHandle device) {
    auto* block = static_cast<DeviceObjectBlock*>(HostGetDeviceData(device));
    return block == nullptr ? nullptr : block->object;
}

void* TakeDeviceObject(DeviceHandle device) {
    auto* block = static_cast<DeviceObjectBlock*>(HostGetDeviceData(device));
    if (block == nullptr) return nullptr;
    void* object = block->object;
    block->object = nullptr;
    return object;
}
