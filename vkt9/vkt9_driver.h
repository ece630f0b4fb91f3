// The VKT-9 driver's operations, as the plugin frame calls them.
#ifndef TRV_VKT9_DRIVER_H
#define TRV_VKT9_DRIVER_H

#include "plugin/driver_ops.h"

// Null until the driver is built in.
const DriverOps* Vkt9Driver();

#endif
