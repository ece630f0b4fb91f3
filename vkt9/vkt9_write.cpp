#include "common/control_writes.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

void Vkt9Write(DeviceHandle device) {
    Device* d = DeviceOf(device);
    if (d == nullptr || d->device != device) return;
    ServeControlWrites(device, d->available, d->unscheduled);
}

}  // namespace DriverVKT9
