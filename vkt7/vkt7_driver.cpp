#include "vkt7/vkt7_driver.h"

#include "vkt7/vkt7_cycle.h"

namespace {

void Init(DeviceHandle device) { (void)Vkt7Init(device); }
void Read(DeviceHandle device) { (void)Vkt7ReadCycle(device); }
void Write(DeviceHandle device) { (void)Vkt7Write(device); }
void Close(DeviceHandle device) { Vkt7Close(device); }

// VKT-7 reads the whole device on every READ; it has no subdevices.
const DriverOps kVkt7Ops{DriverScheduling::WholeDevice, &Init, &Read, nullptr, &Write, &Close};

}  // namespace

const DriverOps* Vkt7Driver() { return &kVkt7Ops; }
