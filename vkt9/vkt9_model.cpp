#include "vkt9/vkt9_model.h"

#include <algorithm>

namespace DriverVKT9 {

int32_t RegisterCount(int32_t dataType) {
    switch (dataType) {
        case DataFloat: return 2;
        case DataWord: return 1;
        case DataScaledInt16: return 1;
        case DataUInt32: return 2;
        case DataIntPlusFloat: return 4;
        case DataScaledUInt16: return 1;
        default: return 0;
    }
}

void ConvertRegister(int32_t configured, int32_t& function, int32_t& reg) {
    reg = configured;
    if (configured >= 30000 && configured <= 39999) {
        function = FunctionInput;
        reg = configured - 30001;
    } else if (configured >= 40000 && configured <= 49999) {
        function = FunctionHolding;
        reg = configured - 40001;
    }
}

std::vector<RequestBlock> BuildRequestBlocks(const std::vector<RequestItem>& items, int32_t maxGap) {
    std::vector<RequestBlock> blocks;
    if (items.empty()) return blocks;
    auto open = [maxGap](const RequestItem& item) { return RequestBlock{item.function, item.register_, item.count, maxGap}; };
    RequestBlock block = open(items.front());
    bool closed = false;
    for (size_t i = 1; i < items.size(); ++i) {
        const RequestItem& item = items[i];
        if (closed) {
            block = open(item);
            closed = false;
            continue;
        }
        // 64-bit: registers and gaps come from the configuration unchecked.
        const int64_t reach = int64_t{block.start} + block.count + block.gap + 1;
        const int64_t wanted = std::max<int64_t>(block.count, int64_t{item.register_} - block.start + item.count);
        const bool joins = item.function == block.function && item.register_ > block.start &&
                           item.register_ <= reach && wanted <= MaxBlockRegisters;
        if (joins) {
            block.count = static_cast<int32_t>(wanted);
            if (item.LastInRequest) {
                blocks.push_back(block);
                closed = true;
            }
        } else {
            blocks.push_back(block);
            block = open(item);
        }
    }
    if (!closed) blocks.push_back(block);
    return blocks;
}

void Archive::ResetReadState() {
    ringTop = NotConfigured;
    second = 0;
    if (!recordDecoded) return;
    recordDecoded = 0;
    recordTime = CalendarTime();
    for (ArchiveValue& v : values) {
        v.floatValue = 0;
        v.doubleValue = 0;
        v.intValue = 0;
    }
}

}  // namespace DriverVKT9
