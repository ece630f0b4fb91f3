#include "common/driver_support.h"
#include "common/quality.h"
#include "vkt9/vkt9_bytes.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

namespace {
constexpr size_t kRegisterDataStart = 3;  // address, function, count byte
constexpr unsigned kReadRequestLength = 6;
}  // namespace

void Protocol::ReadBlock(const RequestBlock& block) {
    tx[0] = address;
    tx[1] = static_cast<uint8_t>(block.function);
    tx[2] = static_cast<uint8_t>(block.start >> 8);
    tx[3] = static_cast<uint8_t>(block.start);
    tx[4] = static_cast<uint8_t>(block.count >> 8);
    tx[5] = static_cast<uint8_t>(block.count);
    const unsigned dataLength = 2u * static_cast<unsigned>(block.count);
    const int r = Exchange(kReadRequestLength, dataLength, false);
    if (r == ExchangeErrorAnswer) {
        DriverLog(device, "Get Error code");
        return;
    }
    if (r != ExchangeOk) {
        errorFlag = 1;
        DriverLog(device, "Error limit exceeded");
        return;
    }
    // A good answer is exactly dataLength bytes of registers after the header.
    const size_t end = kRegisterDataStart + dataLength;
    // 64-bit: a register configured near the top of the range must not overflow.
    int64_t reg = block.start;
    size_t position = kRegisterDataStart;
    while (position < end) {
        int step = 0;
        for (ValueItem& item : valueItems) {
            const bool value = item.function == block.function && item.Address == reg;
            const bool status =
                item.RegStatus != NotConfigured && item.statusFunction == block.function && item.RegStatus == reg;
            if (!value && !status) continue;
            const int n = DecodeRegister(item, position, reg, end - position);
            if (step == 0) step = n;
        }
        if (step == 0) step = 1;
        reg += step;
        position += 2 * static_cast<size_t>(step);
    }
}

int Protocol::DecodeRegister(ValueItem& item, size_t position, int64_t reg, size_t available) {
    const uint8_t* b = rx.data() + position;
    // The register number alone decides: a status register that shares its number
    // with the item's value register in the other register space reads as the value.
    if (reg == item.Address) {
        const int32_t count = RegisterCount(item.DataType);
        // A value cut off by the end of the block is not received from it.
        if (count == 0 || 2 * static_cast<size_t>(count) > available) return 1;
        DecodedValue v;
        DecodeValue<Big16, Big32>(item.DataType, item.Koeff, b, v);
        item.floatValue = v.floatValue;
        item.intValue = v.intValue;
        item.doubleValue = v.doubleValue;
        item.valueReceived = 1;
        return count;
    }
    if (available < 2) return 1;
    item.status = Big16(b);
    item.statusReceived = 1;
    return 1;
}

void Protocol::PublishValue(ValueItem& item) {
    const bool hasStatus = item.RegStatus != NotConfigured;
    if (item.valueReceived && (!hasStatus || item.statusReceived)) {
        item.valueReceived = 0;
        item.statusReceived = 0;
        if (!hasStatus || item.status == item.StatusNorm || item.status == item.StatusContract) {
            switch (item.DataType) {
                case DataFloat:
                case DataScaledInt16:
                case DataScaledUInt16: HostSetTagValueFloat(item.tag, item.floatValue, QualityGood, nullptr); break;
                case DataWord:
                    HostSetTagValueWord(item.tag, static_cast<uint16_t>(item.intValue), QualityGood, nullptr);
                    break;
                case DataUInt32:
                    HostSetTagValueUInt(item.tag, static_cast<uint32_t>(item.intValue), QualityGood, nullptr);
                    break;
                case DataIntPlusFloat: HostSetTagValueDouble(item.tag, item.doubleValue, QualityGood, nullptr); break;
                default: break;
            }
        } else {
            HostSetTagQuality(item.tag, QualitySensorFailure);
        }
        return;
    }
    HostSetTagQuality(item.tag, QualityBad);
    if (!item.valueReceived) DriverLog(device, "ERROR: value not received");
    if (hasStatus && !item.statusReceived) DriverLog(device, "ERROR: status not received");
}

void Protocol::MarkBad(const ValueItem& item) { HostSetTagQuality(item.tag, QualityBad); }

void Protocol::ReadValues(TagHandle failureTag) {
    if (errorFlag) {
        for (const ValueItem& item : valueItems) MarkBad(item);
        errorFlag = 0;
        return;
    }
    DriverLog(device, "read start");
    if (!requestBlocks.empty()) {
        for (const RequestBlock& block : requestBlocks) ReadBlock(block);
        for (ValueItem& item : valueItems) {
            if (errorFlag)
                MarkBad(item);
            else
                PublishValue(item);
            if (failureTag != nullptr) {
                HostSetTagValueBool(failureTag, errorFlag, QualityGood, nullptr);
                HostCommitTags(device, &failureTag, 1);
            }
        }
    }
    DriverLog(device, "read done");
}

void Vkt9Read(DeviceHandle device) {
    Device* d = DeviceOf(device);
    if (d == nullptr || d->device != device || !d->available) return;
    d->protocol.ReadValues(d->failureTag);
}

}  // namespace DriverVKT9
