// Operations of the host's plugin-services library (trvplugin.dll on Windows).
// The plugin calls them; the host (or our emulator) defines them.
#ifndef TRV_HOST_API_H
#define TRV_HOST_API_H

#include <stdint.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define HOST_CALL __cdecl
#define HOST_API
#else
#define HOST_CALL
// Hosts built with hidden visibility still have to export these to the plugin.
#define HOST_API __attribute__((visibility("default")))
typedef struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
} FILETIME;
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* DeviceHandle;  // any node: device, subdevice, tag group
typedef void* TagHandle;
typedef void* ParamsHandle;  // a node's or a tag's property set
typedef uint32_t Quality;    // OPC DA quality word

typedef int32_t(HOST_CALL* HostExchangeFn)(DeviceHandle device, const uint8_t* tx, int32_t txLength,
                                           uint8_t* rx, int32_t rxCapacity);
typedef void(HOST_CALL* HostNotifyFn)(DeviceHandle device, TagHandle tag);

// configuration
HOST_API const char* HOST_CALL HostGetDeviceType(DeviceHandle node);
HOST_API ParamsHandle HOST_CALL HostGetDeviceParams(DeviceHandle device);
HOST_API ParamsHandle HOST_CALL HostGetSubdeviceParams(DeviceHandle node);
HOST_API ParamsHandle HOST_CALL HostGetTagParams(DeviceHandle node, int32_t index);
HOST_API int32_t HOST_CALL HostParamGetInt(ParamsHandle params, const char* name, int32_t def);
HOST_API int32_t HOST_CALL HostParamGetBool(ParamsHandle params, const char* name, int32_t def);
HOST_API double HOST_CALL HostParamGetFloat(ParamsHandle params, const char* name, double def);
HOST_API const char* HOST_CALL HostParamGetString(ParamsHandle params, const char* name, const char* def);
HOST_API int32_t HOST_CALL HostGetRetryCount(DeviceHandle device);
HOST_API void* HOST_CALL HostGetDeviceInfo(DeviceHandle device);
HOST_API int32_t HOST_CALL HostGetTagCount(DeviceHandle node);
HOST_API TagHandle HOST_CALL HostGetTag(DeviceHandle node, int32_t index);
HOST_API int32_t HOST_CALL HostGetTagTotal(DeviceHandle device);
HOST_API const char* HOST_CALL HostGetTagName(TagHandle tag);
HOST_API uint32_t HOST_CALL HostGetSubdeviceCount(DeviceHandle device);
HOST_API DeviceHandle HOST_CALL HostGetSubdevice(DeviceHandle device, uint32_t index);
HOST_API DeviceHandle HOST_CALL HostFindGroup(DeviceHandle device, const char* name);
HOST_API int32_t HOST_CALL HostGetGroupTagCount(DeviceHandle group);
HOST_API TagHandle HOST_CALL HostGetGroupTag(DeviceHandle group, int32_t index);

// plugin data
HOST_API void* HOST_CALL HostAlloc(DeviceHandle node, uint32_t size);
HOST_API void HOST_CALL HostFree(DeviceHandle device, void* block);
HOST_API void HOST_CALL HostSetDeviceData(DeviceHandle device, void* data);
HOST_API void* HOST_CALL HostGetDeviceData(DeviceHandle device);
HOST_API void HOST_CALL HostSetTagData(TagHandle tag, void* data);
HOST_API void* HOST_CALL HostGetTagData(TagHandle tag);

// life cycle
HOST_API int32_t HOST_CALL HostCreate(void* argument);
HOST_API void HOST_CALL HostBeginInit(DeviceHandle device);
HOST_API void HOST_CALL HostEndInit(DeviceHandle device);
HOST_API void HOST_CALL HostSetDeviceFlag(DeviceHandle device, int32_t flag);

// requests
HOST_API int32_t HOST_CALL HostIsReadDue(DeviceHandle node);
HOST_API int32_t HOST_CALL HostGetReadCount(DeviceHandle device);
HOST_API TagHandle HOST_CALL HostGetReadTag(DeviceHandle device, int32_t index);
HOST_API int32_t HOST_CALL HostGetWriteCount(DeviceHandle device);
HOST_API TagHandle HOST_CALL HostGetWriteTag(DeviceHandle device, int32_t index);
HOST_API int32_t HOST_CALL HostGetWriteValueBool(TagHandle tag);
HOST_API void HOST_CALL HostCompleteWrite(TagHandle tag);
HOST_API void HOST_CALL HostRequestPoll(DeviceHandle device, int32_t flags);

// publishing: time is null for current values, else a UTC FILETIME
HOST_API void HOST_CALL HostSetTagValueBool(TagHandle tag, uint8_t value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueDouble(TagHandle tag, double value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueFloat(TagHandle tag, float value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueInt(TagHandle tag, int32_t value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueText(TagHandle tag, const char* value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueUInt(TagHandle tag, uint32_t value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagValueWord(TagHandle tag, uint16_t value, Quality q, const FILETIME* time);
HOST_API void HOST_CALL HostSetTagQuality(TagHandle tag, Quality q);
HOST_API void HOST_CALL HostCommitTags(DeviceHandle device, TagHandle* tags, int32_t count);
HOST_API HostNotifyFn HOST_CALL HostGetNotify(DeviceHandle device);
HOST_API void HOST_CALL HostStoreHistory(DeviceHandle device, TagHandle tag);

// channel and log
HOST_API HostExchangeFn HOST_CALL HostGetExchange(DeviceHandle device);
HOST_API int32_t HOST_CALL HostIsBreakSet(DeviceHandle device);
HOST_API void HOST_CALL HostLog(DeviceHandle node, const char* text);

#ifdef __cplusplus
}
#endif

#endif
