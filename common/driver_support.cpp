#include "common/driver_support.h"

void DriverLog(DeviceHandle device, const char* text) {
    if (device == nullptr || HostIsBreakSet(device)) return;
    HostLog(device, text);
}

bool IsBreakSet(DeviceHandle device) { return device != nullptr && HostIsBreakSet(device) != 0; }

int32_t ExchangeWithDevice(DeviceHandle device, const uint8_t* tx, int32_t txLength, uint8_t* rx,
                           int32_t rxCapacity) {
    if (device == nullptr || HostIsBreakSet(device)) return -1;
    const HostExchangeFn exchange = HostGetExchange(device);
    if (exchange == nullptr) return -1;
    return exchange(device, tx, txLength, rx, rxCapacity);
}
