// The seven entry points the host calls, undecorated and cdecl.
#ifndef TRV_PLUGIN_ENTRY_POINTS_H
#define TRV_PLUGIN_ENTRY_POINTS_H

#include "host/host_api.h"

#if defined(_WIN32)
#define PLUGIN_API
#else
#define PLUGIN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_CREATE(void* argument);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_INIT(DeviceHandle device);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_RUN(void);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_READ(DeviceHandle device);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_SLAVEPROCESSING(DeviceHandle device);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_WRITE(DeviceHandle device);
PLUGIN_API int32_t HOST_CALL KORVA_PLUGIN_CLOSE(DeviceHandle device);

#ifdef __cplusplus
}
#endif

#endif
