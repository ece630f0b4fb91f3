#include "vkt7/vkt7_values.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/crc16.h"
#include "common/driver_support.h"

using namespace vkt7;

namespace {

int32_t HostExchange(void* context, const uint8_t* tx, int32_t txLength, uint8_t* rx, int32_t rxCapacity) {
    return ExchangeWithDevice(static_cast<DeviceHandle>(context), tx, txLength, rx, rxCapacity);
}

void HostLine(void* context, const char* text) { DriverLog(static_cast<DeviceHandle>(context), text); }

}  // namespace

Vkt7Port Vkt7HostPort(DeviceHandle device) {
    Vkt7Port port;
    port.context = device;
    port.exchange = &HostExchange;
    port.log = &HostLine;
    return port;
}

void VKT7::Log(const char* text) const {
    if (port_.log != nullptr) port_.log(port_.context, text);
}

void VKT7::Logf(const char* format, ...) const {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Log(line);
}

int32_t VKT7::Exchange(const uint8_t* tx, int32_t txLength, int32_t rxCapacity) {
    if (port_.exchange == nullptr) return kNoAnswer;
    return port_.exchange(port_.context, tx, txLength, receiveBuffer, rxCapacity);
}

void VKT7::VKT7_CRC16(const uint8_t* bytes, int32_t length, uint8_t crc[2]) {
    const uint16_t value = Crc16Modbus(bytes, length < 0 ? 0 : static_cast<size_t>(length));
    crc[0] = static_cast<uint8_t>(value & 0xFF);
    crc[1] = static_cast<uint8_t>(value >> 8);
}

bool VKT7::VKT7_CheckCRC(int32_t n) const {
    if (receiveBuffer == nullptr || n < 0 || n + 2 > kBufferSize) return false;
    uint8_t crc[2];
    VKT7_CRC16(receiveBuffer, n, crc);
    return receiveBuffer[n] == crc[0] && receiveBuffer[n + 1] == crc[1];
}

void VKT7::VKT7_Drain() {
    if (sendBuffer == nullptr || receiveBuffer == nullptr) return;
    (void)Exchange(sendBuffer + sendOffset, 0, maxAnswerLength);
}

int32_t VKT7::VKT7_Read(int32_t reg, int32_t count, int32_t expectedLength) {
    if (sendBuffer == nullptr || receiveBuffer == nullptr) {
        BreakFlag = 1;
        return kNoAnswer;
    }
    uint8_t* s = sendBuffer;
    const uint8_t request[6] = {address,
                                kFunctionRead,
                                static_cast<uint8_t>((reg >> 8) & 0xFF),
                                static_cast<uint8_t>(reg & 0xFF),
                                static_cast<uint8_t>((count >> 8) & 0xFF),
                                static_cast<uint8_t>(count & 0xFF)};
    // A repeated read (the records of one type) finds its request and CRC in place.
    if (!readRequestSent || std::memcmp(s + 2, request, sizeof request) != 0) {
        std::memcpy(s + 2, request, sizeof request);
        VKT7_CRC16(s + 2, 6, s + 8);
        readRequestSent = true;
    }
    int32_t result = VKT7_SendReceive(8, expectedLength);
    if (result != 0)
        Logf("Driver_VKT7.Read SendReceiveCOMCommand error %d\n", result);
    else
        result = VKT7_VerifyRead();
    if (result < 0) BreakFlag = 1;
    return result;
}

int32_t VKT7::VKT7_Write(int32_t reg, int32_t count, const uint8_t* data, int32_t dataLength,
                             int32_t byteCountField) {
    if (sendBuffer == nullptr || receiveBuffer == nullptr) {
        BreakFlag = 1;
        return kNoAnswer;
    }
    // Nine header bytes and two CRC bytes around the data must fit the send buffer.
    if (dataLength < 0 || dataLength > kBufferSize - 11 || (dataLength > 0 && data == nullptr)) {
        Logf("Driver_VKT7. VKT7_Write: %d data bytes do not fit the send buffer\n", dataLength);
        BreakFlag = 1;
        return kBadAnswer;
    }
    uint8_t* s = sendBuffer;
    readRequestSent = false;
    s[2] = address;
    s[3] = kFunctionWrite;
    s[4] = static_cast<uint8_t>((reg >> 8) & 0xFF);
    s[5] = static_cast<uint8_t>(reg & 0xFF);
    s[6] = static_cast<uint8_t>((count >> 8) & 0xFF);
    s[7] = static_cast<uint8_t>(count & 0xFF);
    s[8] = static_cast<uint8_t>(byteCountField & 0xFF);
    if (dataLength > 0 && data != s + 9) std::memmove(s + 9, data, static_cast<size_t>(dataLength));
    VKT7_CRC16(s + 2, dataLength + 7, s + 9 + dataLength);
    int32_t result = VKT7_SendReceive(9 + dataLength, 8);
    if (result != 0)
        Logf("Driver_VKT7.Write SendReceiveCOMCommand error %d\n", result);
    else if (reg != kRegList)
        result = VKT7_VerifyWrite();
    // Register 0x3FFF: an exception answer counts as success.
    if (result < 0) BreakFlag = 1;
    return result;
}

uint8_t* VKT7::WriteData() {
    readRequestSent = false;
    return sendBuffer + 9;
}

int32_t VKT7::VKT7_SendReceive(int32_t crcIndex, int32_t expectedLength) {
    int32_t result = kNoAnswer;
    if (sendBuffer == nullptr || receiveBuffer == nullptr) return result;
    const int32_t receiveMax = expectedLength > 0 ? expectedLength : maxAnswerLength;
    if (receiveMax > kBufferSize) {
        Logf("Driver_VKT7. VKT7_SendReceive: expected length %d exceeds the receive buffer\n", receiveMax);
        return kBadAnswer;
    }
    if (crcIndex < 2 || crcIndex + 2 > kBufferSize || sendOffset > static_cast<uint32_t>(crcIndex + 2)) {
        Logf("Driver_VKT7. VKT7_SendReceive: request of %d bytes does not fit the send buffer\n", crcIndex + 2);
        return kBadAnswer;
    }
    const int32_t sendLength = crcIndex + 2 - static_cast<int32_t>(sendOffset);
    const uint8_t* rx = receiveBuffer;
    const uint8_t* tx = sendBuffer;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        const int32_t n = Exchange(sendBuffer + sendOffset, sendLength, receiveMax);
        lastAnswerLength = n;
        result = kNoAnswer;
        if (n < 0) {
            Log("Driver_VKT7. VKT7_SendReceive: Answer is < 0\n");
            return n;
        }
        if (n < 6) {
            Log("Driver_VKT7. VKT7_SendReceive: Answer is too small\n");
            VKT7_Drain();
            continue;
        }
        if (rx[0] != address) {
            Log("Driver_VKT7. VKT7_SendReceive: wrong address\n");
            VKT7_Drain();
            result = kWrongAnswer;
            continue;
        }
        const uint8_t function = rx[1];
        // Read answers have a length check of their own. Any other answer longer than
        // the receive limit came from a channel that ignores it: the bytes beyond are
        // not ours to read.
        if (function != kFunctionRead && n > receiveMax) {
            Log("Driver_VKT7. VKT7_SendReceive: wrong length\n");
            VKT7_Drain();
            result = kBadAnswer;
            continue;
        }
        if (function == kReadException || function == kWriteException) {
            if (VKT7_CheckCRC(4)) return kOk;  // the caller's verify step reports the code
            Log("Driver_VKT7. VKT7_SendReceive: wrong checksum\n");
            VKT7_Drain();
            result = kBadAnswer;
            continue;
        }
        if (function == kFunctionRead) {
            // A CRC beyond the bytes received cannot match them.
            if (rx[2] + 5 > n || !VKT7_CheckCRC(rx[2] + 3)) {
                Log("Driver_VKT7. VKT7_SendReceive: wrong checksum\n");
                VKT7_Drain();
                result = kBadAnswer;
                continue;
            }
            if ((expectedLength > 0 && expectedLength < n) || n != rx[2] + 5) {
                Log("Driver_VKT7. VKT7_SendReceive: wrong length\n");
                VKT7_Drain();
                result = kBadAnswer;
                continue;
            }
            return kOk;
        }
        if (function == kFunctionWrite) {
            if (rx[2] != tx[4] || rx[3] != tx[5]) {
                result = kWrongAnswer;
                Log("Driver_VKT7. VKT7_SendReceive: wrong reg addr in answer\n");
                VKT7_Drain();
                continue;
            }
            if (rx[4] != tx[6] || rx[5] != tx[7]) {
                result = kWrongAnswer;
                Log("Driver_VKT7. VKT7_SendReceive: wrong reg count in answer\n");
                VKT7_Drain();
                continue;
            }
            if (n < 8 || !VKT7_CheckCRC(6)) {
                result = kBadAnswer;
                Log("Driver_VKT7. VKT7_SendReceive: wrong checksum\n");
                VKT7_Drain();
                continue;
            }
            return kOk;
        }
        result = kWrongAnswer;
        Log("Driver_VKT7. VKT7_SendReceive: wrong command\n");
        VKT7_Drain();
    }
    return result;
}

int32_t VKT7::VKT7_VerifyRead() {
    if (receiveBuffer[1] == kReadException) {
        Log("Driver_VKT7. VKT7_VerifyRead: command error in answer\n");
        return static_cast<int8_t>(receiveBuffer[2]);
    }
    return kOk;
}

int32_t VKT7::VKT7_VerifyWrite() {
    if (receiveBuffer[1] == kWriteException) {
        Log("Driver_VKT7. VKT7_VerifyWrite: command error in answer\n");
        return static_cast<int8_t>(receiveBuffer[2]);
    }
    return kOk;
}
