// The client writes that VKT-5 and VKT-9 devices serve alike.
#ifndef TRV_COMMON_CONTROL_WRITES_H
#define TRV_COMMON_CONTROL_WRITES_H

#include <cstdint>

#include "host/host_api.h"

// Walks the pending writes: "Available" stores the value's low byte in available,
// completes the write and publishes that byte back as good; "UnschedulerRequest" written
// as 1 sets unscheduled and asks the host for a read out of schedule; any other
// value is completed and ignored. Writes to other tags stay pending.
void ServeControlWrites(DeviceHandle device, uint8_t& available, uint8_t& unscheduled);

#endif
