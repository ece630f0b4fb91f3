#include "common/control_writes.h"
#include "common/device_object.h"
#include "vkt5/vkt5_model.h"

namespace DriverVKT5 {

void Device::Write(DeviceHandle handle) {
    if (handle != device) return;
    ServeControlWrites(device, available, unscheduledPending);
}

void Vkt5Write(DeviceHandle device) {
    if (auto* d = static_cast<Device*>(GetDeviceObject(device))) d->Write(device);
}

}  // namespace DriverVKT5
