// Writes the seed inputs of the model targets: configurations drawn mostly from
// the usual values, with every exchange answered by the model's simulator.
//
//   make_fuzz_corpus DIR [SEEDS]   writes DIR/vkt7_fuzzer/seed-NN, ... (SEEDS per model)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_session.h"
#include "sim/vkt5/vkt5_simulator.h"
#include "sim/vkt7/vkt7_simulator.h"
#include "sim/vkt9/vkt9_simulator.h"

namespace {

std::unique_ptr<sim::MeterSimulator> Simulator(fuzz::Model model) {
    switch (model) {
        case fuzz::Model::Vkt7: return std::make_unique<sim::Vkt7Simulator>();
        case fuzz::Model::Vkt5: return std::make_unique<sim::Vkt5Simulator>();
        case fuzz::Model::Vkt9: return std::make_unique<sim::Vkt9Simulator>();
    }
    return nullptr;
}

// Runs a session on the simulator and returns the configuration bytes used with
// the simulator's answers as chunks.
std::vector<uint8_t> Record(fuzz::Model model, std::vector<uint8_t> config) {
    auto meter = Simulator(model);
    std::vector<uint8_t> answers;
    fuzz::Input in(config.data(), config.size());
    fuzz::RunSession(model, in, [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        const int32_t n = meter->Exchange(tx, rx);
        if (n < 0) {
            answers.insert(answers.end(), {3, 0});
            return -2;
        }
        fuzz::Input::AppendChunk(answers, rx.first(static_cast<size_t>(n)));
        return n;
    });
    config.resize(in.consumed());
    config.insert(config.end(), answers.begin(), answers.end());
    return config;
}

std::vector<uint8_t> Seed(fuzz::Model model, unsigned number) {
    std::mt19937 rng(number);
    // Seed 0 takes every first (usual) value; the others mostly usual ones.
    std::vector<uint8_t> config(512, 0);
    if (number > 0)
        for (uint8_t& b : config) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 256 : rng() % 4);
    return Record(model, config);
}

// VKT-5, one day archive zone, DepthDay -2147483647: the archive start once
// overflowed inside the date library.
std::vector<uint8_t> DepthDayAtIntMin() {
    // Retry, address, DepthHour, DepthDay, CountRecord, control tags, one zone "Archive"
    // (TypeTotal 0, TypeArchive 0) with one tag (array 1, heat 0, offset 0, float), one cycle.
    return Record(fuzz::Model::Vkt5, {0, 0, 0, 18, 0, 0, 3, 1, 0, 1, 5, 0, 0, 0, 0, 0, 0});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus DIR [SEEDS]\n");
        return 2;
    }
    const unsigned seeds = argc > 2 ? static_cast<unsigned>(std::stoul(argv[2])) : 12;
    const std::pair<fuzz::Model, const char*> targets[] = {
        {fuzz::Model::Vkt7, "vkt7_fuzzer"}, {fuzz::Model::Vkt5, "vkt5_fuzzer"}, {fuzz::Model::Vkt9, "vkt9_fuzzer"}};
    for (const auto& [model, name] : targets) {
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / name;
        std::filesystem::create_directories(dir);
        auto write = [&dir](const std::string& file, const std::vector<uint8_t>& bytes) {
            std::ofstream(dir / file, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        };
        for (unsigned i = 0; i < seeds; ++i) {
            char file[32];
            std::snprintf(file, sizeof file, "seed-%02u", i);
            write(file, Seed(model, i));
        }
        if (model == fuzz::Model::Vkt5) write("depth-day-int-min", DepthDayAtIntMin());
    }
    return 0;
}
