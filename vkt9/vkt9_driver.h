// The VKT-9 driver's operations, as the plugin frame calls them.
#ifndef TRV_VKT9_DRIVER_H
#define TRV_VKT9_DRIVER_H

#include "plugin/driver_ops.h"

const DriverOps* Vkt9Driver();

#endif
