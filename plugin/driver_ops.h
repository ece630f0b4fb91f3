// The seam between the plugin frame and the drivers: each driver hands the
// frame one table of its operations.
#ifndef TRV_PLUGIN_DRIVER_OPS_H
#define TRV_PLUGIN_DRIVER_OPS_H

#include "host/host_api.h"

enum class DriverScheduling {
    // The frame asks HostIsReadDue for the device and for each subdevice (VKT-5, VKT-9).
    DeviceAndSubdevices,
    // The frame marks listed tags without a record uncertain, then runs the read (VKT-7).
    WholeDevice,
};

struct DriverOps {
    DriverScheduling scheduling;
    void (*init)(DeviceHandle device);
    void (*read)(DeviceHandle device);
    void (*readSubdevice)(DeviceHandle device, DeviceHandle node);  // may be null
    void (*write)(DeviceHandle device);
    void (*close)(DeviceHandle device);
};

// One table per model family; a null entry is a driver that is not built in.
struct DriverTable {
    const DriverOps* vkt9;
    const DriverOps* vkt5;
    const DriverOps* vkt7;
};

#endif
