// VKT-7 through the plugin's entry points: configuration, cycles and answers from the input.
#include "fuzz/fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::RunSession(fuzz::Model::Vkt7, in, [&in](std::span<const uint8_t>, std::span<uint8_t> rx) { return in.Answer(rx); });
    return 0;
}
