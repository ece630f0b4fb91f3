#include "plugin/entry_points.h"

#include <exception>
#include <string>

#include "plugin/frame.h"

namespace {

// No exception may reach the host: it would unwind through foreign frames.
template <class Body>
int32_t Guarded(DeviceHandle device, Body body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        if (device != nullptr) {
            try {
                std::string line = std::string("plugin: unexpected error: ") + e.what();
                HostLog(device, line.c_str());
            } catch (...) {
            }
        }
    } catch (...) {
        if (device != nullptr) HostLog(device, "plugin: unexpected error");
    }
    return 0;
}

}  // namespace

extern "C" {

int32_t HOST_CALL KORVA_PLUGIN_CREATE(void* argument) { return HostCreate(argument); }

int32_t HOST_CALL KORVA_PLUGIN_INIT(DeviceHandle device) {
    return Guarded(device, [&] { return FrameInit(BuiltInDrivers(), device); });
}

int32_t HOST_CALL KORVA_PLUGIN_RUN(void) { return 0; }

int32_t HOST_CALL KORVA_PLUGIN_READ(DeviceHandle device) {
    return Guarded(device, [&] { return FrameRead(BuiltInDrivers(), device); });
}

int32_t HOST_CALL KORVA_PLUGIN_SLAVEPROCESSING(DeviceHandle /*device*/) { return 0; }

int32_t HOST_CALL KORVA_PLUGIN_WRITE(DeviceHandle device) {
    return Guarded(device, [&] { return FrameWrite(BuiltInDrivers(), device); });
}

int32_t HOST_CALL KORVA_PLUGIN_CLOSE(DeviceHandle device) {
    return Guarded(device, [&] { return FrameClose(BuiltInDrivers(), device); });
}

}  // extern "C"
