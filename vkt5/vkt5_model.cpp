#include "vkt5/vkt5_model.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/device_object.h"
#include "common/driver_support.h"
#include "common/quality.h"
#include "vkt5/vkt5_arrays.h"

namespace DriverVKT5 {

int32_t DecodingOf(int32_t dataType) {
    switch (dataType) {
        case DataTypeFloat: return DecodingFloat;
        case DataTypeDouble: return DecodingDouble;
        case DataTypeUInt16: return DecodingUInt16;
        case DataTypeUInt32: return DecodingUInt32;
        default: return DecodingNone;
    }
}

AreaZone::AreaZone(uint32_t total_, uint8_t array_, uint8_t heat_, bool archive_)
    : total(total_), array(array_), heat(heat_), archive(archive_ ? 1 : 0) {
    const ArrayEntry entry = LookupArray(total_ == 1, array_, heat_);
    param1 = entry.param1;
    param2 = entry.param2;
    length = entry.length;
    perChannel = entry.perChannel;
    channelUnit = entry.channelUnit;
    reportBlock = archive_ ? entry.reportBlock : 0;
}

void AreaZone::AddItem(TagHandle tag, int32_t address, int32_t dataType) {
    items.push_back(std::make_unique<Item>(tag, address, dataType));
}

void AreaArchiveZone::AddItem(TagHandle tag, int32_t address, int32_t dataType) {
    items.push_back(std::make_unique<ArchiveItem>(tag, address, dataType));
}

ArchiveGroup::ArchiveGroup(uint8_t typeArchive, int32_t depthHour, int32_t depthDay, uint8_t total_,
                           int32_t countRecord_)
    : kind(typeArchive == kTypeArchiveHour ? ArchiveHour : ArchiveDay),
      depth(typeArchive == kTypeArchiveHour ? depthHour : depthDay),
      total(total_),
      countRecord(countRecord_) {}

Meter::Meter(DeviceHandle device_, uint8_t address_, int32_t depthHour_, int32_t depthDay_, int32_t countRecord_,
             uint32_t attempts)
    : address(address_),
      depthHour(depthHour_),
      depthDay(depthDay_),
      link(device_, attempts),
      countRecord(countRecord_),
      device(device_) {}

void Meter::AddValueItem(TagHandle tag, uint8_t total, uint8_t array, uint8_t heat, int32_t address_,
                         int32_t dataType) {
    auto& zone = zones[ZoneKey{total, array, heat}];
    if (!zone) zone = std::make_unique<AreaZone>(total, array, heat);
    zone->AddItem(tag, address_, dataType);
}

void Meter::AddArchiveItem(TagHandle tag, uint8_t total, uint8_t typeArchive, uint8_t array, uint8_t heat,
                           int32_t address_, int32_t dataType) {
    auto group = archives.try_emplace(ArchiveKey{typeArchive, total}, typeArchive, depthHour, depthDay, total,
                                      countRecord).first;
    auto& zone = group->second.zones[ZoneKey{total, array, heat}];
    if (!zone) zone = std::make_unique<AreaArchiveZone>(total, array, heat);
    zone->AddItem(tag, address_, dataType);
}

void PublishControl(DeviceHandle device, TagHandle tag, uint8_t value) {
    if (tag == nullptr) return;
    HostSetTagValueBool(tag, value, QualityGood, nullptr);
    TagHandle tags[1] = {tag};
    HostCommitTags(device, tags, 1);
}

uint8_t ParseAddress(const char* text, bool& ok) {
    constexpr uint8_t kNoAddress = 255;
    ok = false;
    if (text == nullptr) return kNoAddress;
    // Taken as "%u" takes it: leading white space, an optional sign (a minus
    // wraps round), then the digits up to the first other character.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return kNoAddress;
    // Only the low 8 bits count, so wrapping round keeps the number of any length right.
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    ok = true;
    return static_cast<uint8_t>(negative ? 0u - value : value);
}

namespace {

void BindControlTags(Device& d) {
    const int32_t count = HostGetTagCount(d.device);
    for (int32_t j = 0; j < count; ++j) {
        TagHandle tag = HostGetTag(d.device, j);
        const char* name = HostGetTagName(tag);
        if (tag == nullptr || name == nullptr) continue;
        if (std::strcmp(name, "Available") == 0) {
            d.availableTag = tag;
            PublishControl(d.device, tag, 1);
        } else if (std::strcmp(name, "Failure") == 0) {
            d.failureTag = tag;
            PublishControl(d.device, tag, 0);
            d.meter.failureTag = tag;
        } else if (std::strcmp(name, "DateTime") == 0) {
            d.meter.clock.tag = tag;
        } else if (std::strcmp(name, "UnschedulerRequest") == 0) {
            d.unscheduledTag = tag;
            PublishControl(d.device, tag, 0);
        }
    }
}

struct TagAddress {
    int32_t address;
    int32_t dataType;
    uint8_t array;
    uint8_t heat;
};

TagAddress ReadTagAddress(DeviceHandle node, int32_t k) {
    ParamsHandle params = HostGetTagParams(node, k);
    return TagAddress{HostParamGetInt(params, "Address", -1), HostParamGetInt(params, "DataType", -1),
                      static_cast<uint8_t>(HostParamGetInt(params, "NumberArray", 0)),
                      static_cast<uint8_t>(HostParamGetInt(params, "NumberHeat", 0))};
}

void AddSubdevice(Device& d, DeviceHandle node) {
    const char* typeText = HostGetDeviceType(node);
    ParamsHandle nodeParams = HostGetSubdeviceParams(node);
    BindControlTags(d);
    const bool isArchive = typeText != nullptr && std::strstr(typeText, "Archive") != nullptr;
    const auto typeArchive = isArchive ? static_cast<uint8_t>(HostParamGetInt(nodeParams, "TypeArchive", -1)) : 0;
    const auto total = static_cast<uint8_t>(HostParamGetBool(nodeParams, "TypeTotal", 0) != 0 ? 1 : 0);
    const int32_t count = HostGetTagCount(node);
    for (int32_t k = 0; k < count; ++k) {
        TagHandle tag = HostGetTag(node, k);
        const TagAddress a = ReadTagAddress(node, k);
        if (isArchive)
            d.meter.AddArchiveItem(tag, total, typeArchive, a.array, a.heat, a.address, a.dataType);
        else
            d.meter.AddValueItem(tag, total, a.array, a.heat, a.address, a.dataType);
        HostSetTagQuality(tag, QualityOutOfService);
    }
}

}  // namespace

Device* Vkt5Init(DeviceHandle device) {
    HostLog(device, "init, version 1.0");
    HostGetDeviceInfo(device);
    ParamsHandle params = HostGetDeviceParams(device);
    const char* addressText = HostParamGetString(params, "address", "");
    bool addressOk = false;
    const uint8_t address = ParseAddress(addressText, addressOk);
    if (addressText != nullptr && !addressOk) DriverLog(device, "address is not an unsigned decimal number, 255 used");
    const int32_t depthHour = HostParamGetInt(params, "DepthHour", -1);
    const int32_t depthDay = HostParamGetInt(params, "DepthDay", -1);
    const int32_t countRecord = HostParamGetInt(params, "CountRecord", -1);
    // A negative count would wrap to billions of attempts on a silent line; the
    // VKT-9 driver takes it as none too.
    const auto attempts = static_cast<uint32_t>(std::max(0, HostGetRetryCount(device)));

    // Owned here until the host holds it, so that running out of memory half-way leaks nothing.
    std::unique_ptr<Device> d(new (std::nothrow) Device(device, address, depthHour, depthDay, countRecord, attempts));
    if (d) {
        HostSetDeviceFlag(device, 1);
        const uint32_t subdevices = HostGetSubdeviceCount(device);
        for (uint32_t i = 0; i < subdevices; ++i) AddSubdevice(*d, HostGetSubdevice(device, i));
    }
    return RegisterDeviceObject(device, d.get()) ? d.release() : nullptr;
}

void Vkt5ReadSubdevice(DeviceHandle, DeviceHandle) {}

void Vkt5Close(DeviceHandle device) { delete static_cast<Device*>(TakeDeviceObject(device)); }

}  // namespace DriverVKT5
