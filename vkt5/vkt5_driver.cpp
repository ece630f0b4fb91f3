#include "vkt5/vkt5_driver.h"

#include "vkt5/vkt5_model.h"

namespace {

void Init(DeviceHandle device) { DriverVKT5::Vkt5Init(device); }

const DriverOps kVkt5Ops{DriverScheduling::DeviceAndSubdevices, Init,
                         DriverVKT5::Vkt5Read,                 DriverVKT5::Vkt5ReadSubdevice,
                         DriverVKT5::Vkt5Write,                DriverVKT5::Vkt5Close};

}  // namespace

const DriverOps* Vkt5Driver() { return &kVkt5Ops; }
