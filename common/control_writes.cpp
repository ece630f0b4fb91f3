#include "common/control_writes.h"

#include <cstring>

#include "common/quality.h"

void ServeControlWrites(DeviceHandle device, uint8_t& available, uint8_t& unscheduled) {
    const int32_t count = HostGetWriteCount(device);
    for (int32_t i = 0; i < count; ++i) {
        TagHandle tag = HostGetWriteTag(device, i);
        if (tag == nullptr) continue;
        const char* name = HostGetTagName(tag);
        if (name == nullptr) continue;
        if (std::strcmp(name, "Available") == 0) {
            available = static_cast<uint8_t>(HostGetWriteValueBool(tag));  // echoed as the byte holds it
            HostCompleteWrite(tag);
            HostSetTagValueBool(tag, available, QualityGood, nullptr);
        } else if (std::strcmp(name, "UnschedulerRequest") == 0) {
            if (HostGetWriteValueBool(tag) == 1) {
                unscheduled = 1;
                HostRequestPoll(device, 0);
            }
            HostCompleteWrite(tag);
        }
    }
}
