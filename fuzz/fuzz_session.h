// A host made for fuzzing: one device of one model, configured from the input's
// leading bytes, taken through the plugin's entry points (INIT, a few READ cycles
// with client writes, CLOSE). It keeps no record that grows, and stops the process
// at the first misuse of a host operation.
#ifndef TRV_FUZZ_FUZZ_SESSION_H
#define TRV_FUZZ_FUZZ_SESSION_H

#include <cstdint>
#include <functional>
#include <span>

#include "fuzz/fuzz_input.h"

namespace fuzz {

enum class Model { Vkt7, Vkt5, Vkt9 };

// The meter's side of every exchange.
using Meter = std::function<int32_t(std::span<const uint8_t> tx, std::span<uint8_t> rx)>;

// Reads the whole configuration and cycle plan from config first, then runs the
// session with every exchange answered by meter.
void RunSession(Model model, Input& config, const Meter& meter);

}  // namespace fuzz

#endif
