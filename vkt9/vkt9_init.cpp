#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/device_object.h"
#include "common/driver_support.h"
#include "common/quality.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

namespace {

constexpr uint8_t kDefaultAddress = 255;

uint8_t ReadAddress(DeviceHandle device, ParamsHandle params) {
    // A host that hands back the default for a missing property gives the empty
    // text, which is not a number either.
    const char* text = HostParamGetString(params, "address", "");
    if (text == nullptr) return kDefaultAddress;
    unsigned value = 0;
    if (std::sscanf(text, "%u", &value) != 1) {
        DriverLog(device, "ERROR: address is not a number, 255 is used");
        return kDefaultAddress;
    }
    return static_cast<uint8_t>(value & 0xFF);
}

void BindControlTag(DeviceHandle device, TagHandle tag, TagHandle& slot, uint8_t value) {
    slot = tag;
    HostSetTagValueBool(tag, value, QualityGood, nullptr);
    HostCommitTags(device, &slot, 1);
}

void BindControlTags(Device& d) {
    const int32_t count = HostGetTagCount(d.device);
    for (int32_t j = 0; j < count; ++j) {
        TagHandle tag = HostGetTag(d.device, j);
        if (tag == nullptr) continue;
        const char* name = HostGetTagName(tag);
        if (name == nullptr) continue;
        if (std::strcmp(name, "Available") == 0) BindControlTag(d.device, tag, d.availableTag, 1);
        else if (std::strcmp(name, "Failure") == 0) BindControlTag(d.device, tag, d.failureTag, 0);
        else if (std::strcmp(name, "UnschedulerRequest") == 0) BindControlTag(d.device, tag, d.unschedulerTag, 0);
    }
}

void ReadArchiveSubdevice(Protocol& p, DeviceHandle node, ParamsHandle params) {
    Archive archive;
    const int32_t typeArchive = HostParamGetInt(params, "TypeArchive", NotConfigured);
    archive.LengthByteAnswer = HostParamGetInt(params, "LengthByteAnswer", NotConfigured);
    ConvertRegister(HostParamGetInt(params, "LastIndexRegister", NotConfigured), archive.function, archive.register_);
    if (typeArchive == NotConfigured || archive.LengthByteAnswer == NotConfigured ||
        archive.function == NotConfigured || archive.register_ == NotConfigured) {
        DriverLog(p.device, "Error reading archive subdevice");
        return;
    }
    if (archive.LengthByteAnswer < 0 || archive.LengthByteAnswer > MaxRecordLength) {
        DriverLog(p.device, "Error reading archive subdevice: LengthByteAnswer out of range");
        return;
    }
    if (p.archives.size() >= MaxArchives) {
        DriverLog(p.device, "Error reading archive subdevice: more than 20 archives");
        return;
    }
    archive.ordinal = static_cast<int32_t>(p.archives.size());
    archive.type = typeArchive == ArchiveTypeHour ? ArchiveTypeHour
                   : typeArchive == ArchiveTypeDay ? ArchiveTypeDay
                                                   : ArchiveTypeMonth;

    const int32_t tags = HostGetTagCount(node);
    for (int32_t k = 0; k < tags; ++k) {
        ArchiveValue value;
        value.tag = HostGetTag(node, k);
        ParamsHandle tagParams = HostGetTagParams(node, k);
        value.AddressByte = HostParamGetInt(tagParams, "AddressByte", NotConfigured);
        value.DataType = HostParamGetInt(tagParams, "DataType", NotConfigured);
        value.Koeff = static_cast<float>(HostParamGetFloat(tagParams, "Koeff", -1.0));
        if (value.AddressByte == NotConfigured || value.DataType == NotConfigured || value.Koeff == -1.0f) {
            DriverLog(p.device, "Error reading archive tag");
            continue;
        }
        if (RegisterCount(value.DataType) == 0) {
            DriverLog(p.device, "Error reading archive tag: unknown DataType");
            continue;
        }
        archive.values.push_back(value);
    }
    archive.values.shrink_to_fit();
    std::stable_sort(archive.values.begin(), archive.values.end(),
                     [](const ArchiveValue& a, const ArchiveValue& b) { return a.AddressByte < b.AddressByte; });
    p.archives.push_back(std::move(archive));
}

void ReadValueSubdevice(Protocol& p, DeviceHandle node, bool getQuality, std::vector<RequestItem>& requests) {
    const int32_t tags = HostGetTagCount(node);
    for (int32_t k = 0; k < tags; ++k) {
        ParamsHandle params = HostGetTagParams(node, k);
        ValueItem item;
        int32_t function = 0;
        ConvertRegister(HostParamGetInt(params, "Address", NotConfigured), function, item.Address);
        item.function = static_cast<uint8_t>(function);
        item.DataType = HostParamGetInt(params, "DataType", NotConfigured);
        item.Koeff = static_cast<float>(HostParamGetFloat(params, "Koeff", 1.0));
        int32_t regStatus = HostParamGetInt(params, "RegStatus", NotConfigured);
        if (!getQuality) regStatus = NotConfigured;
        int32_t statusFunction = 0;
        ConvertRegister(regStatus, statusFunction, item.RegStatus);
        item.statusFunction = static_cast<uint8_t>(statusFunction);
        item.StatusNorm = HostParamGetInt(params, "StatusNorm", NotConfigured);
        item.StatusContract = HostParamGetInt(params, "StatusContract", NotConfigured);
        const bool lastInRequest = HostParamGetBool(params, "LastInRequest", 0) != 0;
        (void)HostParamGetInt(params, "AddressSecond", NotConfigured);

        if (item.Address == NotConfigured || item.DataType == NotConfigured) continue;
        const int32_t count = RegisterCount(item.DataType);
        if (count == 0) {
            // Without a register count no walk through an answer could step over it.
            DriverLog(p.device, "Error reading tag: unknown DataType");
            continue;
        }
        requests.push_back(RequestItem{item.function, item.Address, count, static_cast<uint8_t>(lastInRequest)});
        if (item.RegStatus != NotConfigured) requests.push_back(RequestItem{item.statusFunction, item.RegStatus, 1, 0});
        item.tag = HostGetTag(node, k);
        p.valueItems.push_back(item);
        HostSetTagQuality(item.tag, QualityOutOfService);
    }
}

}  // namespace

Device* DeviceOf(DeviceHandle device) { return static_cast<Device*>(GetDeviceObject(device)); }

Device* Vkt9Init(DeviceHandle device) {
    // Every member has its initialiser: value-initialising would clear the
    // 64 KiB receive buffer a second time.
    Device* d = new (std::nothrow) Device;
    if (d != nullptr) {
        Protocol& p = d->protocol;
        d->device = device;
        p.device = device;
        p.lastIndex.fill(NotConfigured);

        d->notify = HostGetNotify(device);
        HostLog(device, "init, version 1.0");
        (void)HostGetDeviceInfo(device);

        ParamsHandle params = HostGetDeviceParams(device);
        p.address = ReadAddress(device, params);
        p.DepthHour = HostParamGetInt(params, "DepthHour", NotConfigured);
        p.DepthDay = HostParamGetInt(params, "DepthDay", NotConfigured);
        p.DepthMonth = HostParamGetInt(params, "DepthMonth", NotConfigured);
        p.CountRecord = HostParamGetInt(params, "CountRecord", NotConfigured);
        p.MaxGap = HostParamGetInt(params, "MaxGap", 0);
        const bool getQuality = HostParamGetBool(params, "GetQuality", 1) != 0;
        p.attempts = static_cast<uint32_t>(std::max(0, HostGetRetryCount(device)));

        std::vector<RequestItem> requests;
        const uint32_t subdevices = HostGetSubdeviceCount(device);
        for (uint32_t i = 0; i < subdevices; ++i) {
            DeviceHandle node = HostGetSubdevice(device, i);
            const char* typeText = HostGetDeviceType(node);
            ParamsHandle nodeParams = HostGetSubdeviceParams(node);
            BindControlTags(*d);
            if (typeText != nullptr && std::strstr(typeText, "Archive") != nullptr)
                ReadArchiveSubdevice(p, node, nodeParams);
            else
                ReadValueSubdevice(p, node, getQuality, requests);
        }

        auto valueKey = [](const ValueItem& v) { return int64_t{v.function} * 10000 + v.Address + 1; };
        std::stable_sort(p.valueItems.begin(), p.valueItems.end(),
                         [&](const ValueItem& a, const ValueItem& b) { return valueKey(a) < valueKey(b); });
        auto requestKey = [](const RequestItem& r) { return int64_t{r.function} * 100000 + r.register_ + 1; };
        std::stable_sort(requests.begin(), requests.end(),
                         [&](const RequestItem& a, const RequestItem& b) { return requestKey(a) < requestKey(b); });
        if (requests.empty())
            DriverLog(device, "No tags");
        else
            p.requestBlocks = BuildRequestBlocks(requests, p.MaxGap);
        // The device keeps these for its lifetime: no spare capacity.
        p.valueItems.shrink_to_fit();
        p.requestBlocks.shrink_to_fit();
        p.archives.shrink_to_fit();
        p.PlanDecoding();
    }
    if (!RegisterDeviceObject(device, d)) {
        // The host gave no block: nobody could reach the object later.
        delete d;
        return nullptr;
    }
    return d;
}

void Vkt9Close(DeviceHandle device) { delete static_cast<Device*>(TakeDeviceObject(device)); }

}  // namespace DriverVKT9
