// The VKT-5 link on bytes alone: requests of any length and expected answers,
// each answered by the next chunk of the input.
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "hostemu/host_emulator.h"
#include "vkt5/vkt5_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    hostemu::Host host;
    hostemu::Device& d = host.AddDevice("meter", "VKT5");
    d.recordEvents = false;
    d.channel = [&in](std::span<const uint8_t>, std::span<uint8_t> rx) { return in.Answer(rx); };
    DriverVKT5::Link link(d.handle(), in.Count(4));
    static const int32_t kExpected[] = {0, 2, 4, 8, 16, 32, 100, 255, 1019, 1020, 2000, -1};
    for (int op = 0; op < 8 && !in.empty(); ++op) {
        const uint32_t txLength = static_cast<uint32_t>(in.Count(64));
        for (uint32_t i = 0; i < txLength && i < link.tx.size(); ++i) link.tx[i] = in.Byte();
        const uint8_t flags = in.Byte();
        link.Exchange(txLength, kExpected[flags % 12], (flags & 0x80) != 0);
        d.log.clear();
    }
    return 0;
}
