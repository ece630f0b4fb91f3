#include "plugin/entry_points.h"

#include "plugin/frame.h"

extern "C" {

int32_t HOST_CALL KORVA_PLUGIN_CREATE(void* argument) { return HostCreate(argument); }

int32_t HOST_CALL KORVA_PLUGIN_INIT(DeviceHandle device) { return GuardedInit(BuiltInDrivers(), device); }

int32_t HOST_CALL KORVA_PLUGIN_RUN(void) { return 0; }

int32_t HOST_CALL KORVA_PLUGIN_READ(DeviceHandle device) { return GuardedRead(BuiltInDrivers(), device); }

int32_t HOST_CALL KORVA_PLUGIN_SLAVEPROCESSING(DeviceHandle /*device*/) { return 0; }

int32_t HOST_CALL KORVA_PLUGIN_WRITE(DeviceHandle device) { return GuardedWrite(BuiltInDrivers(), device); }

int32_t HOST_CALL KORVA_PLUGIN_CLOSE(DeviceHandle device) { return GuardedClose(BuiltInDrivers(), device); }

}  // extern "C"
