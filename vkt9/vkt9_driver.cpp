#include "vkt9/vkt9_driver.h"

#include "vkt9/vkt9_device.h"

namespace {
void Init(DeviceHandle device) { DriverVKT9::Vkt9Init(device); }
}  // namespace

const DriverOps* Vkt9Driver() {
    static const DriverOps ops{DriverScheduling::DeviceAndSubdevices, Init, DriverVKT9::Vkt9Read,
                               DriverVKT9::Vkt9ReadSubdevice, DriverVKT9::Vkt9Write, DriverVKT9::Vkt9Close};
    return &ops;
}
