#include <string_view>

#include "common/quality.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

void Vkt9Write(DeviceHandle device) {
    Device* d = DeviceOf(device);
    if (d == nullptr || d->device != device) return;
    const int32_t count = HostGetWriteCount(device);
    for (int32_t i = 0; i < count; ++i) {
        TagHandle tag = HostGetWriteTag(device, i);
        if (tag == nullptr) continue;
        const char* name = HostGetTagName(tag);
        if (name == nullptr) continue;
        const std::string_view tagName(name);
        if (tagName == "Available") {
            d->available = HostGetWriteValueBool(tag) != 0 ? 1 : 0;
            HostCompleteWrite(tag);
            HostSetTagValueBool(tag, d->available, QualityGood, nullptr);
        } else if (tagName == "UnschedulerRequest") {
            // Only 1 asks for a read; any other value is acknowledged and ignored.
            if (HostGetWriteValueBool(tag) == 1) {
                d->unscheduled = 1;
                HostRequestPoll(device, 0);
            }
            HostCompleteWrite(tag);
        }
    }
}

}  // namespace DriverVKT9
