// The VKT-7 driver's operations, as the plugin frame calls them.
#ifndef TRV_VKT7_DRIVER_H
#define TRV_VKT7_DRIVER_H

#include "plugin/driver_ops.h"

// The VKT-7 operations: Vkt7Init, Vkt7ReadCycle, Vkt7Write, Vkt7Close.
const DriverOps* Vkt7Driver();

#endif
