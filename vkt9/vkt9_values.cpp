#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

#include "common/driver_support.h"
#include "common/quality.h"
#include "vkt9/vkt9_bytes.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

namespace {
constexpr size_t kRegisterDataStart = 3;  // address, function, count byte
constexpr unsigned kReadRequestLength = 6;

// Walks one of the orders through the items of one function code.
class ItemCursor {
public:
    static constexpr int64_t kNone = INT64_MAX;

    ItemCursor(const std::vector<ValueItem>& items, const std::vector<uint32_t>& order, uint32_t function, bool status)
        : items_(items), at_(order.begin()), end_(order.end()), function_(function), status_(status) {}

    static std::tuple<uint32_t, int32_t, uint32_t> Key(const std::vector<ValueItem>& items, uint32_t i, bool status) {
        const ValueItem& item = items[i];
        return status ? std::tuple(uint32_t{item.statusFunction}, item.RegStatus, i)
                      : std::tuple(uint32_t{item.function}, item.Address, i);
    }

    // To the first item of the function whose register is at least reg.
    void Seek(int32_t reg) {
        at_ = std::lower_bound(at_, end_, std::tuple(function_, reg, uint32_t{0}),
                               [this](uint32_t i, const auto& key) { return Key(items_, i, status_) < key; });
        Load();
    }
    void SkipBelow(int64_t reg) {
        while (reg_ < reg) {
            ++at_;
            Load();
        }
    }
    // The register of the present item; kNone past the function's items.
    int64_t Register() const { return reg_; }
    uint32_t Item() const { return *at_; }
    uint32_t Take() {
        const uint32_t item = *at_++;
        Load();
        return item;
    }

private:
    void Load() {
        reg_ = kNone;
        if (at_ == end_) return;
        const ValueItem& item = items_[*at_];
        if ((status_ ? item.statusFunction : item.function) == function_) reg_ = status_ ? item.RegStatus : item.Address;
    }

    const std::vector<ValueItem>& items_;
    std::vector<uint32_t>::const_iterator at_, end_;
    uint32_t function_;
    bool status_;
    int64_t reg_ = kNone;
};

// A plan entry is an item's byte offset in the items, so that the walk needs no
// multiplication; the two low bits, zero in an offset, say how it takes the register.
constexpr uint32_t kStatusOp = 1;      // as its status
constexpr uint32_t kRepeatStatus = 2;  // as its status, read by an earlier entry of the register
constexpr uint32_t kOpBits = kStatusOp | kRepeatStatus;
static_assert(sizeof(ValueItem) % 4 == 0, "an item's offset leaves the two low bits free");
// Items past this count have no offset in a plan entry and are never decoded.
constexpr size_t kMaxPlannedItems = UINT32_MAX / sizeof(ValueItem);

// An item's value from its first register at b, with registers whole registers from b on
// in the answer: one switch gives both the registers it takes and its decoding. Only the
// field its type publishes is written. False when the block ends first or the type has no
// rule.
[[gnu::always_inline]] inline bool DecodeItemValue(ValueItem& item, const uint8_t* b, size_t registers) {
    // Floats and words, the common cases, ahead of the jump table.
    if (item.DataType == DataFloat) {
        if (registers < 2) return false;
        item.floatValue = std::bit_cast<float>(Big32(b));
        item.valueReceived = 1;
        return true;
    }
    if (item.DataType == DataWord) {
        if (registers < 1) return false;
        item.intValue = static_cast<int16_t>(Big16(b));
        item.valueReceived = 1;
        return true;
    }
    switch (item.DataType) {
        case DataScaledInt16:
            if (registers < 1) return false;
            item.floatValue = static_cast<float>(static_cast<int16_t>(Big16(b))) / item.Koeff;
            break;
        case DataUInt32:
            if (registers < 2) return false;
            item.intValue = static_cast<int32_t>(Big32(b));
            break;
        case DataIntPlusFloat: {
            if (registers < 4) return false;
            const float integral = Single(static_cast<float>(static_cast<int32_t>(Big32(b))));
            const float fraction = std::bit_cast<float>(Big32(b + 4));
            item.doubleValue = Single(integral + fraction);  // the meter's own precision
            break;
        }
        case DataScaledUInt16:
            if (registers < 1) return false;
            item.floatValue = static_cast<float>(Big16(b)) / item.Koeff;
            break;
        default: return false;
    }
    item.valueReceived = 1;
    return true;
}

// Registers one item takes from the register at position reg, as DecodeRegister counts them.
int StepOf(const ValueItem& item, int64_t reg, size_t available) {
    if (reg != item.Address) return 1;
    const int32_t count = RegisterCount(item.DataType);
    return count == 0 || 2 * static_cast<size_t>(count) > available ? 1 : count;
}

// Positions of the items ordered by function, value register and position, and
// those with a status register by function, status register and position.
void OrderItems(const std::vector<ValueItem>& items, std::vector<uint32_t>& valueOrder, std::vector<uint32_t>& statusOrder) {
    for (uint32_t i = 0; i < items.size() && i < kMaxPlannedItems; ++i) {
        valueOrder.push_back(i);
        if (items[i].RegStatus != NotConfigured) statusOrder.push_back(i);
    }
    auto by = [&items](bool status) {
        return [&items, status](uint32_t a, uint32_t b) {
            return ItemCursor::Key(items, a, status) < ItemCursor::Key(items, b, status);
        };
    };
    std::sort(valueOrder.begin(), valueOrder.end(), by(false));
    std::sort(statusOrder.begin(), statusOrder.end(), by(true));
}

// Appends what a good answer to the block gives, in the order it is decoded:
// walking the registers from the start, every item that takes a register as its
// value or status, in item order and each once, then on by as many registers as
// the first of them takes (one where none does).
void PlanBlock(const std::vector<ValueItem>& items, const std::vector<uint32_t>& valueOrder,
               const std::vector<uint32_t>& statusOrder, const RequestBlock& block, std::vector<uint32_t>& plan) {
    const int64_t registers = std::max(block.count, 0);
    ItemCursor values(items, valueOrder, block.function, false);
    ItemCursor statuses(items, statusOrder, block.function, true);
    values.Seek(block.start);
    statuses.Seek(block.start);
    // 64-bit: a register configured near the top of the range must not overflow.
    const int64_t end = int64_t{block.start} + registers;
    int64_t reg = block.start;
    while (reg < end) {
        values.SkipBelow(reg);
        statuses.SkipBelow(reg);
        reg = std::min(values.Register(), statuses.Register());
        if (reg >= end) break;
        int step = 0;
        uint32_t previous = UINT32_MAX;
        bool statusRead = false;
        for (;;) {
            const bool value = values.Register() == reg;
            const bool status = statuses.Register() == reg;
            if (!value && !status) break;
            const bool takeValue = value && (!status || values.Item() <= statuses.Item());
            const uint32_t item = takeValue ? values.Take() : statuses.Take();
            if (item == previous) continue;
            previous = item;
            // The register number alone decides, as in DecodeRegister: a status register with
            // the value's number in the other register space reads as the value.
            const bool asValue = takeValue || items[item].RegStatus == items[item].Address;
            const uint32_t offset = item * static_cast<uint32_t>(sizeof(ValueItem));
            if (asValue) {
                plan.push_back(offset);
            } else {
                plan.push_back(offset | (statusRead ? kRepeatStatus : kStatusOp));
                statusRead = true;
            }
            const int n = StepOf(items[item], reg, 2 * static_cast<size_t>(end - reg));
            if (step == 0) step = n;
        }
        reg += step;
    }
}

}  // namespace

void Protocol::ReadBlock(const RequestBlock& block) {
    tx[0] = address;
    tx[1] = static_cast<uint8_t>(block.function);
    tx[2] = static_cast<uint8_t>(block.start >> 8);
    tx[3] = static_cast<uint8_t>(block.start);
    tx[4] = static_cast<uint8_t>(block.count >> 8);
    tx[5] = static_cast<uint8_t>(block.count);
    const unsigned dataLength = 2u * static_cast<unsigned>(block.count);
    const RequestBlock* first = requestBlocks.data();
    const bool ours = !requestBlocks.empty() && std::less_equal<>()(first, &block) &&
                      std::less<>()(&block, first + requestBlocks.size());
    const auto k = ours ? static_cast<size_t>(&block - first) : 0;
    RequestFrame* const lastSent = ours && k < blockRequests.size() ? &blockRequests[k] : nullptr;
    const int r = Exchange(kReadRequestLength, dataLength, false, lastSent);
    if (r == ExchangeErrorAnswer) {
        DriverLog(device, "Get Error code");
        return;
    }
    if (r != ExchangeOk) {
        errorFlag = 1;
        DriverLog(device, "Error limit exceeded");
        return;
    }
    const uint32_t* op = nullptr;
    const uint32_t* opsEnd = nullptr;
    std::vector<uint32_t> ownPlan;
    if (ours && plannedItems == valueItems.size() && planStart.size() == requestBlocks.size() + 1) {
        op = decodePlan.data() + planStart[k];
        opsEnd = decodePlan.data() + planStart[k + 1];
    } else {
        // A block of someone else's making: planned for this read alone.
        std::vector<uint32_t> valueOrder, statusOrder;
        OrderItems(valueItems, valueOrder, statusOrder);
        PlanBlock(valueItems, valueOrder, statusOrder, block, ownPlan);
        op = ownPlan.data();
        opsEnd = op + ownPlan.size();
    }
    // Offsets are unsigned: a register below the block's start is far past its end.
    const uint64_t registers = dataLength / 2;
    const int64_t start = block.start;
    const uint8_t* const data = rx.data() + kRegisterDataStart;
    auto* const items = reinterpret_cast<unsigned char*>(valueItems.data());
    // The status the last reading entry took, for the entries repeating it.
    uint16_t status = 0;
    bool statusRead = false;
    for (; op != opsEnd; ++op) {
        const uint32_t code = *op;
        // The offset checks hold for a plan of the present items; an item changed since
        // is not read outside the answer.
        if ((code & kOpBits) == 0) {
            ValueItem& item = *reinterpret_cast<ValueItem*>(items + code);
            const uint64_t offset = static_cast<uint64_t>(int64_t{item.Address} - start);
            if (offset >= registers) continue;
            (void)DecodeItemValue(item, data + 2 * offset, registers - offset);
            continue;
        }
        if ((code & kStatusOp) != 0) {
            ValueItem& item = *reinterpret_cast<ValueItem*>(items + (code - kStatusOp));
            const uint64_t offset = static_cast<uint64_t>(int64_t{item.RegStatus} - start);
            statusRead = offset < registers;
            if (!statusRead) continue;
            status = Big16(data + 2 * offset);
            item.status = status;
            item.statusReceived = 1;
            // Usually the items sharing the register follow at once.
            while (op + 1 != opsEnd && (op[1] & kRepeatStatus) != 0) {
                ++op;
                ValueItem& next = *reinterpret_cast<ValueItem*>(items + (*op - kRepeatStatus));
                next.status = status;
                next.statusReceived = 1;
            }
            continue;
        }
        if (!statusRead) continue;
        ValueItem& item = *reinterpret_cast<ValueItem*>(items + (code - kRepeatStatus));
        item.status = status;
        item.statusReceived = 1;
    }
}

void Protocol::PlanDecoding() {
    std::vector<uint32_t> valueOrder, statusOrder;
    OrderItems(valueItems, valueOrder, statusOrder);
    decodePlan.clear();
    planStart.assign(1, 0);
    for (const RequestBlock& block : requestBlocks) {
        PlanBlock(valueItems, valueOrder, statusOrder, block, decodePlan);
        planStart.push_back(static_cast<uint32_t>(decodePlan.size()));
    }
    decodePlan.shrink_to_fit();
    planStart.shrink_to_fit();
    blockRequests.assign(requestBlocks.size(), RequestFrame{});
    blockRequests.shrink_to_fit();
    plannedItems = valueItems.size();
}

int Protocol::DecodeRegister(ValueItem& item, size_t position, int64_t reg, size_t available) {
    const uint8_t* b = rx.data() + position;
    // The register number alone decides: a status register that shares its number
    // with the item's value register in the other register space reads as the value.
    if (reg == item.Address) return DecodeItemValue(item, b, available / 2) ? RegisterCount(item.DataType) : 1;
    if (available < 2) return 1;
    item.status = Big16(b);
    item.statusReceived = 1;
    return 1;
}

namespace {

// PublishValue's body, inlined into the cycle's loop.
[[gnu::always_inline]] inline void PublishItem(ValueItem& item, DeviceHandle device) {
    const bool hasStatus = item.RegStatus != NotConfigured;
    if (item.valueReceived && (!hasStatus || item.statusReceived)) {
        item.valueReceived = 0;
        item.statusReceived = 0;
        if (!hasStatus || item.status == item.StatusNorm || item.status == item.StatusContract) {
            // Floats and words, the common cases, ahead of the jump table.
            if (item.DataType == DataFloat) {
                HostSetTagValueFloat(item.tag, item.floatValue, QualityGood, nullptr);
                return;
            }
            if (item.DataType == DataWord) {
                HostSetTagValueWord(item.tag, static_cast<uint16_t>(item.intValue), QualityGood, nullptr);
                return;
            }
            switch (item.DataType) {
                case DataFloat:
                case DataScaledInt16:
                case DataScaledUInt16: HostSetTagValueFloat(item.tag, item.floatValue, QualityGood, nullptr); break;
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

}  // namespace

void Protocol::PublishValue(ValueItem& item) { PublishItem(item, device); }

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
        // Only a block read sets the flag, and the items stay as INIT left them:
        // both are read once for the whole loop.
        const uint8_t failed = errorFlag;
        const DeviceHandle node = device;
        ValueItem* const first = valueItems.data();
        ValueItem* const last = first + valueItems.size();
        // Each item is followed by the Failure tag, when the device has one; the host
        // only reads the tag handle it is given.
        if (failed) {
            for (ValueItem* item = first; item != last; ++item) {
                MarkBad(*item);
                if (failureTag == nullptr) continue;
                HostSetTagValueBool(failureTag, failed, QualityGood, nullptr);
                HostCommitTags(node, &failureTag, 1);
            }
        } else if (failureTag == nullptr) {
            for (ValueItem* item = first; item != last; ++item) PublishItem(*item, node);
        } else {
            for (ValueItem* item = first; item != last; ++item) {
                PublishItem(*item, node);
                HostSetTagValueBool(failureTag, 0, QualityGood, nullptr);
                HostCommitTags(node, &failureTag, 1);
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
