#include <cstring>

#include "common/device_object.h"
#include "common/quality.h"
#include "vkt5/vkt5_model.h"

namespace DriverVKT5 {

void Device::Write(DeviceHandle handle) {
    if (handle != device) return;
    const int32_t count = HostGetWriteCount(device);
    for (int32_t i = 0; i < count; ++i) {
        TagHandle tag = HostGetWriteTag(device, i);
        if (tag == nullptr) continue;
        const char* name = HostGetTagName(tag);
        if (name == nullptr) continue;
        if (std::strcmp(name, "Available") == 0) {
            available = HostGetWriteValueBool(tag) != 0 ? 1 : 0;
            HostCompleteWrite(tag);
            HostSetTagValueBool(tag, available, QualityGood, nullptr);
        } else if (std::strcmp(name, "UnschedulerRequest") == 0) {
            if (HostGetWriteValueBool(tag) == 1) {
                unscheduledPending = 1;
                HostRequestPoll(device, 0);
            }
            HostCompleteWrite(tag);
        }
    }
}

void Vkt5Write(DeviceHandle device) {
    if (auto* d = static_cast<Device*>(GetDeviceObject(device))) d->Write(device);
}

}  // namespace DriverVKT5
