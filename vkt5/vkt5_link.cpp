#include "vkt5/vkt5_link.h"

#include "common/crc16.h"
#include "common/driver_support.h"

namespace DriverVKT5 {

void AppendCrc(uint8_t* buffer, size_t length) { AppendCrc16(buffer, length); }

bool Link::CheckCrc(const uint8_t* buffer, int32_t length) const {
    if (length < 3) {
        DriverLog(device_, "ERROR: Short answer");
        DriverLog(device_, "ERROR: CRC");
        return false;
    }
    if (CheckCrc16(buffer, static_cast<size_t>(length))) return true;
    DriverLog(device_, "ERROR: CRC");
    return false;
}

ExchangeResult Link::Fail() {
    failed_ = 1;
    return ExchangeFailed;
}

ExchangeResult Link::Exchange(uint32_t txLength, int32_t expectedDataLength, bool skipCountCheck) {
    failed_ = 0;
    // The CRC must fit behind the request; a request that does not is never sent.
    if (txLength + 2 > tx.size() || expectedDataLength < 0) return Fail();
    AppendCrc(tx.data(), txLength);
    const int32_t answerLength = expectedDataLength + static_cast<int32_t>(kAnswerOverhead);
    // Never ask the channel for more than rx holds.
    const int32_t capacity = answerLength < static_cast<int32_t>(rx.size()) ? answerLength : static_cast<int32_t>(rx.size());
    for (uint32_t attempt = 0; attempt < attempts_; ++attempt) {
        if (IsBreakSet(device_)) break;
        const int32_t n = ExchangeWithDevice(device_, tx.data(), static_cast<int32_t>(txLength + 2), rx.data(), capacity);
        if (n < 0) {
            DriverLog(device_, "ERROR: no init sendandrecive");
            break;
        }
        if (n == 0) {
            DriverLog(device_, "ERROR: no answer");
            continue;
        }
        if (n != answerLength || n > capacity) {
            // A channel that claims more than it was given leaves nothing trustworthy in rx.
            if (n <= capacity && CheckCrc(rx.data(), n) && rx[1] == tx[1] + FunctionErrorFlag) {
                DriverLog(device_, "ERROR: Get Error code");
                return ExchangeRefused;
            }
            DriverLog(device_, "ERROR: wrong answer length");
            continue;
        }
        if (!CheckCrc(rx.data(), n)) {
            DriverLog(device_, "ERROR: wrong answer");
            continue;
        }
        if (rx[0] != tx[0] || rx[1] != tx[1]) {
            DriverLog(device_, "ERROR: wrong answer (uncorrect Address, or Service Byte)");
            continue;
        }
        if (skipCountCheck || rx[2] == expectedDataLength) return ExchangeOk;
        DriverLog(device_, "ERROR: wrong answer (uncorrect length data)");
    }
    return Fail();
}

}  // namespace DriverVKT5
