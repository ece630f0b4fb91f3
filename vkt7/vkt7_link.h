// VKT-7 link layer: request frames, CRC, the checks of an answer,
// attempts and drain. Bytes in, result out: the channel and the log are reached
// through a Vkt7Port, which is the host's (ExchangeWithDevice, DriverLog) in the
// plugin and a fake in the tests.
#ifndef TRV_VKT7_LINK_H
#define TRV_VKT7_LINK_H

#include <cstdint>

#include "host/host_api.h"

namespace vkt7 {

// Size of the send and of the receive buffer (device block).
inline constexpr int32_t kBufferSize = 265;

// Result codes of the VKT-7 operations; positive = meter's exception code.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNoAnswer = -1;
inline constexpr int32_t kWrongAnswer = -3;  // address, function, echo
inline constexpr int32_t kBadAnswer = -4;    // CRC, length
inline constexpr int32_t kNothingToRead = 100;

inline constexpr uint8_t kFunctionRead = 0x03;
inline constexpr uint8_t kFunctionWrite = 0x10;
inline constexpr uint8_t kReadException = 0x83;
inline constexpr uint8_t kWriteException = 0x90;

// Service registers.
inline constexpr int32_t kRegBounds = 0x3FF6;
inline constexpr int32_t kRegSoftware = 0x3FF9;
inline constexpr int32_t kRegClock = 0x3FFB;  // read: clock; write: record date
inline constexpr int32_t kRegActiveList = 0x3FFC;
inline constexpr int32_t kRegArchiveType = 0x3FFD;
inline constexpr int32_t kRegData = 0x3FFE;
inline constexpr int32_t kRegList = 0x3FFF;

}  // namespace vkt7

// What the link needs from outside: one exchange (send txLength bytes, receive
// at most rxCapacity; bytes received, 0 for silence, negative for a failure) and
// one log line.
struct Vkt7Port {
    void* context = nullptr;
    int32_t (*exchange)(void* context, const uint8_t* tx, int32_t txLength, uint8_t* rx, int32_t rxCapacity) = nullptr;
    void (*log)(void* context, const char* text) = nullptr;
};

// The host's port for a device: ExchangeWithDevice and DriverLog.
Vkt7Port Vkt7HostPort(DeviceHandle device);

class Vkt7Link {
public:
    // The buffers are the device block's, kBufferSize bytes each.
    Vkt7Link(int32_t timeout, int32_t maxAnswerLength, uint8_t* sendBuffer, uint8_t* receiveBuffer, int32_t attempts,
             DeviceHandle device, Vkt7Port port);
    Vkt7Link(const Vkt7Link&) = delete;
    Vkt7Link& operator=(const Vkt7Link&) = delete;

    // Function 3 read; expectedLength is the whole answer's length, 0 when not fixed.
    int32_t VKT7_Read(int32_t reg, int32_t count, int32_t expectedLength);
    // Function 16 write of dataLength bytes with the given byte-count field.
    int32_t VKT7_Write(int32_t reg, int32_t count, const uint8_t* data, int32_t dataLength, int32_t byteCountField);
    // Sends the prepared request whose CRC starts at crcIndex and checks the answer.
    int32_t VKT7_SendReceive(int32_t crcIndex, int32_t expectedLength);
    int32_t VKT7_VerifyRead();
    int32_t VKT7_VerifyWrite();
    // The two CRC bytes (low, high) of length bytes.
    static void VKT7_CRC16(const uint8_t* bytes, int32_t length, uint8_t crc[2]);
    // True when the two bytes after the first n of the receive buffer are their CRC.
    bool VKT7_CheckCRC(int32_t n) const;
    void VKT7_Drain();

    // True when byte `index` of the last answer lies before its CRC. Otherwise the
    // answer is too short for what the caller reads from it: a line, BreakFlag, and
    // the caller fails with -4.
    bool AnswerHolds(int32_t index, const char* what);

    // One log line through the port (DriverLog in the plugin).
    void Log(const char* text) const;
    void Logf(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    // Link fields, in the order.
    int32_t timeout;
    int32_t maxAnswerLength;
    int32_t lastAnswerLength = 0;
    uint8_t* sendBuffer;
    uint8_t* receiveBuffer;
    int32_t attempts;
    uint8_t BreakFlag = 0;
    uint8_t address = 0;
    uint32_t sendOffset = 0;
    DeviceHandle device;

protected:
    ~Vkt7Link() = default;

private:
    int32_t Exchange(const uint8_t* tx, int32_t txLength, int32_t rxCapacity);

    Vkt7Port port_;
};

#endif
