// The VKT-7 link on bytes alone: reads and writes of the service registers, each
// answered by the next chunk of the input, through the link's own port.
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "vkt7/vkt7_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t send[265] = {}, receive[265] = {};
    Vkt7Port port{&in,
                  [](void* c, const uint8_t*, int32_t, uint8_t* rx, int32_t capacity) {
                      return static_cast<fuzz::Input*>(c)->Answer(std::span<uint8_t>(rx, static_cast<size_t>(capacity)));
                  },
                  [](void*, const char*) {}};
    const int32_t attempts = 1 + in.Count(3);
    auto driver = std::make_unique<VKT7>(1000, 265, send, receive, attempts, nullptr, port);
    driver->address = in.Byte();
    static const int32_t kExpected[] = {0, 17, 13, 21, 179, 101, 8, 265, 300, -1};
    for (int op = 0; op < 8 && !in.empty(); ++op) {
        const uint8_t what = in.Byte();
        const int32_t reg = 0x3FF0 + (in.Byte() & 0x0F);
        if ((what & 1) == 0) {
            driver->VKT7_Read(reg, 0, kExpected[in.Byte() % 10]);
        } else {
            uint8_t bytes[16];
            const int32_t n = in.Count(17);
            for (int32_t i = 0; i < n; ++i) bytes[i] = in.Byte();
            driver->VKT7_Write(reg, 0, bytes, n, (what & 2) != 0 ? 0xCC : n);
        }
    }
    return 0;
}
