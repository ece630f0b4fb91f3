#include <cstring>
#include <tuple>

#include "common/crc16.h"
#include "common/driver_support.h"
#include "vkt9/vkt9_protocol.h"

namespace DriverVKT9 {

namespace {
constexpr unsigned kCrcBytes = 2;
// Address, function, count byte, CRC.
constexpr unsigned kFrameOverhead = 5;
}  // namespace

void Protocol::AppendCrc(uint8_t* buffer, size_t length) { AppendCrc16(buffer, length); }

bool Protocol::CheckCrc(const uint8_t* buffer, size_t length) const {
    if (length < 3) {
        DriverLog(device, "ERROR: Short answer");
        DriverLog(device, "ERROR: CRC");
        return false;
    }
    if (CheckCrc16(buffer, length)) return true;
    DriverLog(device, "ERROR: CRC");
    return false;
}

int Protocol::Exchange(unsigned txLength, unsigned dataLength, bool noCountByte, RequestFrame* lastSent) {
    rxLength = 0;
    if (txLength + kCrcBytes > tx.size()) return ExchangeFailed;
    if (lastSent != nullptr && txLength + kCrcBytes == lastSent->size()) {
        constexpr size_t kRequest = std::tuple_size_v<RequestFrame> - kCrcBytes;
        RequestFrame& last = *lastSent;
        // A CRC of zero reads as "nothing sent yet": such a request is summed every time.
        if (std::memcmp(last.data(), tx.data(), kRequest) == 0 && (last[kRequest] | last[kRequest + 1]) != 0) {
            tx[kRequest] = last[kRequest];
            tx[kRequest + 1] = last[kRequest + 1];
        } else {
            AppendCrc(tx.data(), kRequest);
            std::memcpy(last.data(), tx.data(), last.size());
        }
    } else {
        AppendCrc(tx.data(), txLength);
    }
    const unsigned answerLength = dataLength + (noCountByte ? kFrameOverhead - 1 : kFrameOverhead);
    // Callers keep their requests within the buffer; a wrap or an overlong answer fails here.
    if (answerLength < dataLength || answerLength > rx.size()) return ExchangeFailed;

    for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
        if (IsBreakSet(device)) return ExchangeFailed;
        const int32_t n = ExchangeWithDevice(device, tx.data(), static_cast<int32_t>(txLength + kCrcBytes), rx.data(),
                                             static_cast<int32_t>(answerLength));
        if (n < 0) {
            DriverLog(device, "ERROR: no init sendandrecive");
            return ExchangeFailed;
        }
        if (n == 0) {
            DriverLog(device, "ERROR: no answer");
            return ExchangeFailed;
        }
        // A host that reports more than it may have written: nothing of it is examined.
        if (static_cast<unsigned>(n) > answerLength) {
            DriverLog(device, "ERROR: wrong answer length");
            continue;
        }
        const size_t received = static_cast<size_t>(n);
        rxLength = n;
        if (received != answerLength) {
            if (CheckCrc(rx.data(), received) && rx[1] == tx[1] + ErrorAnswerFlag) {
                DriverLog(device, "ERROR: Get Error code");
                return ExchangeErrorAnswer;
            }
            if (!noCountByte) {
                DriverLog(device, "ERROR: wrong answer length");
                continue;
            }
            DriverLog(device, "WARNING: incomplete answer");
        }
        if (!CheckCrc(rx.data(), received)) {
            DriverLog(device, "ERROR: wrong answer");
            continue;
        }
        if (rx[0] != tx[0] || rx[1] != tx[1]) {
            DriverLog(device, "ERROR: wrong answer (uncorrect Address, or Service Byte)");
            continue;
        }
        if (noCountByte || rx[2] == dataLength) return ExchangeOk;
        DriverLog(device, "ERROR: wrong answer (uncorrect length data)");
    }
    return ExchangeFailed;
}

}  // namespace DriverVKT9
