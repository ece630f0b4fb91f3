#include "plugin/frame.h"

#include <cstring>
#include <exception>
#include <string>

#include "common/quality.h"

const DriverOps* SelectDriver(const DriverTable& drivers, const char* modelText) {
    if (modelText != nullptr) {
        if (std::strcmp(modelText, "VKT9Old") == 0 || std::strcmp(modelText, "VKT9New") == 0) return drivers.vkt9;
        if (std::strcmp(modelText, "VKT5") == 0) return drivers.vkt5;
    }
    return drivers.vkt7;
}

namespace {
const DriverOps* DriverOf(const DriverTable& drivers, DeviceHandle device) {
    return SelectDriver(drivers, HostGetDeviceType(device));
}
}  // namespace

int32_t FrameInit(const DriverTable& drivers, DeviceHandle device) {
    HostLog(device, "plugin :init");
    HostBeginInit(device);
    const DriverOps* ops = DriverOf(drivers, device);
    if (ops != nullptr && ops->init != nullptr) ops->init(device);
    HostEndInit(device);
    return 0;
}

int32_t FrameRead(const DriverTable& drivers, DeviceHandle device) {
    const DriverOps* ops = DriverOf(drivers, device);
    if (ops == nullptr) return 0;
    if (ops->scheduling == DriverScheduling::DeviceAndSubdevices) {
        if (HostIsReadDue(device) && ops->read != nullptr) ops->read(device);
        const uint32_t n = HostGetSubdeviceCount(device);
        for (uint32_t i = 0; i < n; ++i) {
            DeviceHandle node = HostGetSubdevice(device, i);
            if (HostIsReadDue(node) && ops->readSubdevice != nullptr) ops->readSubdevice(device, node);
        }
        return 0;
    }
    const int32_t n = HostGetReadCount(device);
    for (int32_t i = 0; i < n; ++i) {
        TagHandle tag = HostGetReadTag(device, i);
        if (HostGetTagData(tag) == nullptr) HostSetTagQuality(tag, QualityUncertain);
    }
    if (ops->read != nullptr) ops->read(device);
    return 0;
}

int32_t FrameWrite(const DriverTable& drivers, DeviceHandle device) {
    const DriverOps* ops = DriverOf(drivers, device);
    if (ops != nullptr && ops->write != nullptr) ops->write(device);
    return 0;
}

int32_t FrameClose(const DriverTable& drivers, DeviceHandle device) {
    const DriverOps* ops = DriverOf(drivers, device);
    if (ops != nullptr && ops->close != nullptr) ops->close(device);
    const int32_t n = HostGetTagTotal(device);
    for (int32_t i = 0; i < n; ++i) {
        void* record = HostGetTagData(HostGetTag(device, i));
        if (record != nullptr) HostFree(device, record);
    }
    return 0;
}

namespace {

// An exception must not unwind through the host's frames.
template <class Body>
int32_t Guarded(DeviceHandle device, Body body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            if (device != nullptr) HostLog(device, (std::string("plugin: unexpected error: ") + e.what()).c_str());
        } catch (...) {
        }
    } catch (...) {
        if (device != nullptr) HostLog(device, "plugin: unexpected error");
    }
    return 0;
}

}  // namespace

int32_t GuardedInit(const DriverTable& drivers, DeviceHandle device) noexcept {
    return Guarded(device, [&] { return FrameInit(drivers, device); });
}

int32_t GuardedRead(const DriverTable& drivers, DeviceHandle device) noexcept {
    return Guarded(device, [&] { return FrameRead(drivers, device); });
}

int32_t GuardedWrite(const DriverTable& drivers, DeviceHandle device) noexcept {
    return Guarded(device, [&] { return FrameWrite(drivers, device); });
}

int32_t GuardedClose(const DriverTable& drivers, DeviceHandle device) noexcept {
    return Guarded(device, [&] { return FrameClose(drivers, device); });
}
