// The VKT-5 driver's operations, as the plugin frame calls them.
#ifndef TRV_VKT5_DRIVER_H
#define TRV_VKT5_DRIVER_H

#include "plugin/driver_ops.h"

const DriverOps* Vkt5Driver();

#endif
