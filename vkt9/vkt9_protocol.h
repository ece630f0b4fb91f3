// The protocol state of one VKT-9 device: the link (frames, CRC, exchange with
// retries), the configuration built at initialisation, and the read state.
#ifndef TRV_VKT9_PROTOCOL_H
#define TRV_VKT9_PROTOCOL_H

#include <array>
#include <cstdint>
#include <vector>

#include "host/host_api.h"
#include "vkt9/vkt9_model.h"

namespace DriverVKT9 {

// Results of Exchange.
enum ExchangeResult : int {
    ExchangeOk = 0,
    ExchangeFailed = 1,
    ExchangeErrorAnswer = 2,
};

class Protocol {
public:
    // Link fields.
    std::array<uint8_t, 64> tx{};
    uint8_t address = 255;
    std::array<uint8_t, 65535> rx{};
    int32_t rxLength = 0;  // bytes of the last answer in rx

    std::array<int32_t, MaxArchives> lastIndex{};
    int32_t currentIndex = NotConfigured;
    int32_t DepthHour = NotConfigured;
    int32_t DepthDay = NotConfigured;
    int32_t DepthMonth = NotConfigured;
    int32_t MaxGap = 0;
    char logText[256] = {};
    uint32_t attempts = 0;
    std::vector<ValueItem> valueItems;
    // What a good answer to each of requestBlocks gives, in decoding order: an
    // item's byte offset in valueItems, its two low bits telling whether the item
    // takes the register as its status and whether an earlier entry read that
    // register already. Block k's part starts at planStart[k]. Built by PlanDecoding.
    std::vector<uint32_t> decodePlan;
    std::vector<uint32_t> planStart;
    // The request last sent for each of requestBlocks; sized by PlanDecoding.
    std::vector<RequestFrame> blockRequests;
    size_t plannedItems = 0;  // valueItems.size() when the plan was built
    std::vector<RequestBlock> requestBlocks;
    std::vector<Archive> archives;
    uint8_t errorFlag = 0;
    int32_t CountRecord = NotConfigured;
    DeviceHandle device = nullptr;

    // Link layer.
    static void AppendCrc(uint8_t* buffer, size_t length);
    // Logs why a frame is refused.
    bool CheckCrc(const uint8_t* buffer, size_t length) const;
    // Sends tx[0..txLength) plus CRC, checks the answer in rx. A six-byte request
    // repeated every cycle may bring its frame as last sent: when tx holds the same
    // request, its CRC is taken from there rather than summed again.
    int Exchange(unsigned txLength, unsigned dataLength, bool noCountByte, RequestFrame* lastSent = nullptr);

    // Current values.
    // Plans the decoding of requestBlocks; a block read without a plan for the
    // present items is planned when it is read.
    void PlanDecoding();
    void ReadBlock(const RequestBlock& block);
    // Decodes what starts at rx[position] for the register; registers consumed.
    // available: answer data bytes from position on.
    int DecodeRegister(ValueItem& item, size_t position, int64_t reg, size_t available);
    void PublishValue(ValueItem& item);
    static void MarkBad(const ValueItem& item);
    // The current-value cycle without the device checks of Vkt9Read.
    void ReadValues(TagHandle failureTag);

    // Archives.
    bool NextArchiveRecord(Archive& archive, bool first);
    int32_t ReadArchiveIndex(Archive& archive);
    bool ReadArchiveRecord(Archive& archive, int32_t index);
    static int32_t StepIndex(int32_t index, int64_t offset, const Archive& archive);
    // size: bytes of the buffer rx; values reaching past it are left as they were.
    static void DecodeArchiveRecord(Archive& archive, const uint8_t* rx, size_t size, const CalendarTime& time);

private:
    int32_t DepthOf(const Archive& archive) const;
};

}  // namespace DriverVKT9

#endif
