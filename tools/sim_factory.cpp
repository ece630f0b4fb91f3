#include "tools/sim_factory.h"

#ifdef TRV_HAVE_SIM_VKT7
#include "sim/vkt7/vkt7_simulator.h"
#endif
#ifdef TRV_HAVE_SIM_VKT5
#include "sim/vkt5/vkt5_simulator.h"
#endif
#ifdef TRV_HAVE_SIM_VKT9
#include "sim/vkt9/vkt9_simulator.h"
#endif

namespace tools {

namespace {

struct Entry {
    const char* model;
    std::unique_ptr<sim::MeterSimulator> (*make)();
};

// One line per simulated model.
const Entry kSimulators[] = {
#ifdef TRV_HAVE_SIM_VKT7
    {"VKT7", [] { return std::unique_ptr<sim::MeterSimulator>(new sim::Vkt7Simulator()); }},
#endif
#ifdef TRV_HAVE_SIM_VKT5
    {"VKT5", [] { return std::unique_ptr<sim::MeterSimulator>(new sim::Vkt5Simulator()); }},
#endif
#ifdef TRV_HAVE_SIM_VKT9
    {"VKT9New", [] { return std::unique_ptr<sim::MeterSimulator>(new sim::Vkt9Simulator()); }},
    {"VKT9Old", [] { return std::unique_ptr<sim::MeterSimulator>(new sim::Vkt9Simulator()); }},
#endif
    {nullptr, nullptr},
};

}  // namespace

std::unique_ptr<sim::MeterSimulator> MakeSimulator(std::string_view model) {
    for (const Entry& e : kSimulators)
        if (e.model != nullptr && model == e.model) return e.make();
    return nullptr;
}

std::vector<std::string> SimulatedModels() {
    std::vector<std::string> out;
    for (const Entry& e : kSimulators)
        if (e.model != nullptr) out.emplace_back(e.model);
    return out;
}

}  // namespace tools
