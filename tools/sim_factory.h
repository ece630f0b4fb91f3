// Model text -> simulated meter. A model whose simulator is not part of this
// build gives null.
#ifndef TRV_TOOLS_SIM_FACTORY_H
#define TRV_TOOLS_SIM_FACTORY_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/meter_simulator.h"

namespace tools {

std::unique_ptr<sim::MeterSimulator> MakeSimulator(std::string_view model);
// Model texts MakeSimulator knows, in a stable order.
std::vector<std::string> SimulatedModels();

}  // namespace tools

#endif
