// The VKT-9 link on bytes alone: register and record requests with any expected
// length, each answered by the next chunk of the input.
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "hostemu/host_emulator.h"
#include "vkt9/vkt9_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    hostemu::Host host;
    hostemu::Device& d = host.AddDevice("meter", "VKT9New");
    d.recordEvents = false;
    d.channel = [&in](std::span<const uint8_t>, std::span<uint8_t> rx) { return in.Answer(rx); };
    auto p = std::make_unique<DriverVKT9::Protocol>();
    p->device = d.handle();
    p->attempts = static_cast<uint32_t>(in.Count(4));
    static const unsigned kData[] = {0, 2, 8, 16, 24, 29, 100, 65530, 65531, 70000, 0xFFFFFFFF};
    for (int op = 0; op < 8 && !in.empty(); ++op) {
        const unsigned txLength = static_cast<unsigned>(in.Count(64));
        for (unsigned i = 0; i < txLength && i < p->tx.size(); ++i) p->tx[i] = in.Byte();
        const uint8_t flags = in.Byte();
        p->Exchange(txLength, kData[flags % 11], (flags & 0x80) != 0);
        d.log.clear();
    }
    return 0;
}
