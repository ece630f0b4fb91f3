// Whole poll cycles of one realistic device per model, driven through the
// plugin's exported entry points on the host emulator. The meter's answers are
// recorded once from the project's simulators and replayed, so the answer side
// costs a copy. Beside each model, the CRC alone over the same wire bytes: the
// floor that the plugin's cost per byte is compared with.
//
// Counters: items_per_second = device-cycles per CPU-second, bytes_per_second =
// wire bytes (sent and received) per CPU-second, heap = bytes the device keeps
// as asked for (operator new and HostAlloc, the emulator's bookkeeping left out).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "hostemu/host_emulator.h"
#include "sim/vkt5/vkt5_simulator.h"
#include "sim/vkt7/vkt7_simulator.h"
#include "sim/vkt9/vkt9_simulator.h"

// ---- heap accounting ----
// Bytes as asked for, kept in a header before each block. operator new has no
// context to carry a counter: this one is process-wide.
namespace {
std::atomic<int64_t> liveHeapBytes{0};
constexpr size_t kHeader = alignof(std::max_align_t);

__attribute__((noinline)) void* Allocate(size_t n) {
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (p == nullptr) return nullptr;
    std::memcpy(p, &n, sizeof n);
    liveHeapBytes.fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
    return p + kHeader;
}

// Out of line: inlined into operator delete, free() looks mismatched to the compiler.
__attribute__((noinline)) void Release(void* block) {
    if (block == nullptr) return;
    unsigned char* p = static_cast<unsigned char*>(block) - kHeader;
    size_t n = 0;
    std::memcpy(&n, p, sizeof n);
    liveHeapBytes.fetch_sub(static_cast<int64_t>(n), std::memory_order_relaxed);
    std::free(p);
}
}  // namespace

void* operator new(size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

using hostemu::Device;
using hostemu::Host;
using Bytes = std::vector<uint8_t>;

struct Frame {
    Bytes tx, rx;
    int32_t result;
};
using Recording = std::vector<Frame>;

// Keeps what passes between the plugin and the meter.
hostemu::Channel Recorder(sim::MeterSimulator& meter, Recording& out) {
    return [&meter, &out](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        const int32_t n = meter.Exchange(tx, rx);
        out.push_back({Bytes(tx.begin(), tx.end()), Bytes(rx.begin(), rx.begin() + std::max(n, 0)), n});
        return n;
    };
}

// Answers as the recording did, in order, from the start again after the last;
// counts requests that differ from the recorded ones.
struct Replay {
    const Recording* frames;
    size_t next = 0;
    uint64_t mismatches = 0;

    int32_t operator()(std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        const Frame& f = (*frames)[next];
        next = next + 1 == frames->size() ? 0 : next + 1;
        if (tx.size() != f.tx.size() || !std::equal(tx.begin(), tx.end(), f.tx.begin())) ++mismatches;
        const size_t n = std::min(rx.size(), f.rx.size());
        std::memcpy(rx.data(), f.rx.data(), n);
        return f.result;
    }
};

bool Same(const Recording& a, const Recording& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Frame& x, const Frame& y) { return x.tx == y.tx && x.rx == y.rx && x.result == y.result; });
}

size_t WireBytes(const Recording& r) {
    size_t n = 0;
    for (const Frame& f : r) n += f.tx.size() + f.rx.size();
    return n;
}

// ---- the devices ----

struct Meter {
    std::unique_ptr<sim::MeterSimulator> simulator;
    std::function<void(Device&)> configure;
};

hostemu::Properties Props(std::initializer_list<std::pair<const std::string, std::string>> p) { return p; }

// Groups 1 and 2 with 20 tags each, the three archives with 10 tags each.
Meter Vkt7(bool catchUp) {
    auto meter = std::make_unique<sim::Vkt7Simulator>();
    meter->SetArchiveSpan(400, 400, 400);
    return {std::move(meter), [catchUp](Device& d) {
                d.properties.Set("addr", 1);
                if (catchUp) d.properties.Set("DepthHour", 200).Set("DepthDay", 200).Set("DepthMonth", 200);
                for (const char* name : {"Available", "Failure", "DateTime"}) d.AddTag(name);
                const std::vector<std::pair<const char*, std::vector<int>>> groups = {
                    {"1", {0, 1, 2, 9, 10, 14, 15, 16, 19, 20, 21, 22, 23, 24, 31, 32, 36, 37, 38, 41}},
                    {"2", {3, 4, 5, 6, 7, 8, 11, 12, 13, 17, 18, 25, 26, 27, 28, 29, 30, 33, 34, 35}},
                    {"3", {0, 1, 2, 3, 4, 5, 6, 7, 8, 77}},
                    {"4", {0, 1, 2, 3, 4, 5, 6, 7, 8, 77}},
                    {"5", {0, 1, 2, 3, 4, 5, 6, 7, 8, 77}}};
                for (const auto& [name, elements] : groups) {
                    auto& group = d.AddGroup(name);
                    for (int e : elements) group.AddTag("e" + std::to_string(e), Props({{"addr", std::to_string(e)}}));
                }
            }};
}

// A current zone with 10 tags, a totals zone with 5, hour and day archives with 5 each.
Meter Vkt5(bool catchUp) {
    return {std::make_unique<sim::Vkt5Simulator>(), [catchUp](Device& d) {
                d.properties = {{"address", "1"}, {"CountRecord", "5"}};
                if (catchUp) d.properties.Set("DepthHour", 200).Set("DepthDay", 200);
                for (const char* name : {"Available", "Failure", "DateTime", "UnschedulerRequest"}) d.AddTag(name);
                auto zone = [&](const char* type, bool total, const char* typeArchive, int tags, int dataType) {
                    auto& node = d.AddSubdevice(type, type);
                    if (total) node.properties.Set("TypeTotal", "1");
                    if (*typeArchive) node.properties.Set("TypeArchive", typeArchive);
                    const int size = dataType == 1 ? 8 : 4;
                    for (int i = 0; i < tags; ++i)
                        node.AddTag("v" + std::to_string(i), Props({{"NumberArray", "1"}, {"NumberHeat", "0"},
                                                                    {"Address", std::to_string(i * size)},
                                                                    {"DataType", std::to_string(dataType)}}));
                };
                zone("Current", false, "", 10, 0);
                zone("Totals", true, "", 5, 1);
                zone("HourArchive", false, "1", 5, 0);
                zone("DayArchive", true, "0", 5, 1);
            }};
}

// Value tags in heat systems of five: four floats sharing a status register and a
// word without one, ten registers per system, a request per ten systems; with
// archives, hour, day and month archives of five values each.
Meter Vkt9(int valueTags, bool archives, bool catchUp) {
    auto meter = std::make_unique<sim::Vkt9Simulator>();
    for (int t = 0; t < valueTags; ++t) {
        const int base = 40001 + (t / 5) * 10;
        if (t % 5 == 0) meter->SetStatus(base + 8, 0);
        if (t % 5 < 4) meter->SetFloat(base + (t % 5) * 2, 20.0f + static_cast<float>(t));
        else meter->SetRegister(base + 9, static_cast<uint16_t>(t));
    }
    return {std::move(meter), [=](Device& d) {
                d.properties = {{"address", "1"}, {"CountRecord", "5"}};
                const char* depth = catchUp ? "-1" : "3";
                for (const char* name : {"DepthHour", "DepthDay", "DepthMonth"}) d.properties.Set(name, depth);
                for (const char* name : {"Failure", "Available", "UnschedulerRequest"}) d.AddTag(name);
                auto& values = d.AddSubdevice("values", "Current");
                for (int t = 0; t < valueTags; ++t) {
                    const int base = 40001 + (t / 5) * 10;
                    auto& tag = values.AddTag("t" + std::to_string(t));
                    if (t % 5 < 4)
                        tag.properties = {{"Address", std::to_string(base + (t % 5) * 2)}, {"DataType", "0"},
                                          {"RegStatus", std::to_string(base + 8)}, {"StatusNorm", "0"}};
                    else
                        tag.properties = {{"Address", std::to_string(base + 9)}, {"DataType", "1"}};
                    if (t % 50 == 49) tag.properties.Set("LastInRequest", "1");
                }
                if (!archives) return;
                for (const char* type : {"0", "1", "2"}) {
                    auto& node = d.AddSubdevice("", std::string("Archive") + type);
                    node.properties = {{"TypeArchive", type}, {"LengthByteAnswer", "24"},
                                       {"LastIndexRegister", std::to_string(40101 + 10 * (*type - '0'))}};
                    for (auto [name, at, dataType] : {std::tuple{"heat", "4", "0"}, {"volume", "8", "3"},
                                                      {"temperature", "12", "2"}, {"pressure", "14", "6"},
                                                      {"mass", "16", "4"}})
                        node.AddTag(name, Props({{"AddressByte", at}, {"DataType", dataType}, {"Koeff", "100"}}));
                }
            }};
}

// ---- the runs ----

hostemu::LoadedPlugin& Plugin() {
    static hostemu::LoadedPlugin plugin(TRV_PLUGIN_PATH);
    return plugin;
}

// The bytes the emulator keeps beside each HostAlloc block (its map entry),
// measured rather than assumed, so that only the plugin's share is reported.
int64_t EmulatorBytesPerBlock() {
    Host host;
    Device& d = host.AddDevice("probe", "none");
    d.recordEvents = false;
    const int64_t before = liveHeapBytes.load();
    constexpr int kBlocks = 64;
    for (int i = 0; i < kBlocks; ++i) HostAlloc(d.handle(), 8);
    HostAlloc(d.handle(), 8);
    return (liveHeapBytes.load() - before) / (kBlocks + 1) - 8;
}

// One host cycle, out of line so that callgrind can count it alone:
// --toggle-collect='*TimedCycle*' with the host side toggled off again.
__attribute__((noinline)) int32_t TimedCycle(Host& host, Device& device) { return host.Read(device); }

__attribute__((noinline)) uint32_t CrcFloorPass(const Recording& cycle) {
    uint32_t sum = 0;
    for (const Frame& f : cycle) sum += Crc16Modbus(f.tx.data(), f.tx.size()) + Crc16Modbus(f.rx.data(), f.rx.size());
    return sum;
}

// Steady state: the archives have caught up with the meter's clock; every cycle
// sends the same requests and gets the same answers.
struct SteadyRun {
    Meter meter;
    Host host{Plugin().entry()};
    Device& device = host.AddDevice("meter", "");
    Recording cycle;
    std::string error;

    SteadyRun(const char* model, Meter m) : meter(std::move(m)) {
        device.type = model;
        device.recordEvents = false;
        meter.configure(device);
        sim::MeterSimulator& sim = *meter.simulator;
        device.channel = [&sim](auto tx, auto rx) { return sim.Exchange(tx, rx); };
        host.Create();
        host.Init(device);
        for (int i = 0; i < 12; ++i) host.Read(device);
        Recording again;
        device.channel = Recorder(sim, cycle);
        host.Read(device);
        device.channel = Recorder(sim, again);
        host.Read(device);
        if (cycle.empty() || !Same(cycle, again)) error = "no steady state after the warm-up";
    }
    ~SteadyRun() { host.Close(device); }
};

void ReportHeap(benchmark::State& state, int64_t heapBefore, const Device& device) {
    const int64_t kept = liveHeapBytes.load() - heapBefore -
                         static_cast<int64_t>(device.LiveAllocations()) * EmulatorBytesPerBlock();
    state.counters["heap"] = static_cast<double>(kept);
    state.counters["host_alloc"] = static_cast<double>(device.AllocatedBytes());
}

void Steady(benchmark::State& state, const char* model, Meter meter) {
    if (!Plugin().ok()) return state.SkipWithError(Plugin().error().c_str());
    SteadyRun run(model, std::move(meter));
    if (!run.error.empty()) return state.SkipWithError(run.error.c_str());
    Replay replay{&run.cycle};
    run.device.channel = std::ref(replay);
    for (auto _ : state) benchmark::DoNotOptimize(TimedCycle(run.host, run.device));
    if (replay.mismatches != 0) return state.SkipWithError("the plugin sent other requests than recorded");
    const size_t bytes = WireBytes(run.cycle);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["wire_bytes"] = static_cast<double>(bytes);
    state.counters["exchanges"] = static_cast<double>(run.cycle.size());
}

void CrcFloor(benchmark::State& state, const char* model, Meter meter) {
    if (!Plugin().ok()) return state.SkipWithError(Plugin().error().c_str());
    SteadyRun run(model, std::move(meter));
    if (!run.error.empty()) return state.SkipWithError(run.error.c_str());
    for (auto _ : state) benchmark::DoNotOptimize(CrcFloorPass(run.cycle));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * WireBytes(run.cycle)));
    state.counters["wire_bytes"] = static_cast<double>(WireBytes(run.cycle));
}

// Archive catch-up: a first device polls the simulator and records; a second,
// configured alike, replays the recording once through. The heap is the second's.
constexpr int kCatchUpCycles = 40;

void CatchUp(benchmark::State& state, const char* model, std::function<Meter()> make) {
    if (!Plugin().ok()) return state.SkipWithError(Plugin().error().c_str());
    Recording frames;
    size_t records = 0;
    {
        Meter meter = make();
        Host host(Plugin().entry());
        Device& d = host.AddDevice("recorder", model);
        d.recordEvents = false;
        host.observer = [&records](const Device&, const hostemu::Event& e) {
            records += e.kind == hostemu::EventKind::Publish && e.time.has_value();
        };
        meter.configure(d);
        d.channel = Recorder(*meter.simulator, frames);
        host.Create();
        host.Init(d);
        for (int i = 0; i < kCatchUpCycles; ++i) host.Read(d);
        host.Close(d);
    }
    Meter meter = make();
    Host host(Plugin().entry());
    Device& d = host.AddDevice("replay", model);
    d.recordEvents = false;
    meter.configure(d);
    Replay replay{&frames};
    d.channel = std::ref(replay);
    const int64_t heapBefore = liveHeapBytes.load();
    host.Create();
    host.Init(d);
    for (auto _ : state) benchmark::DoNotOptimize(TimedCycle(host, d));
    ReportHeap(state, heapBefore, d);
    host.Close(d);
    if (replay.mismatches != 0 || replay.next != 0) return state.SkipWithError("the plugin sent other requests than recorded");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(WireBytes(frames)));
    state.counters["wire_bytes"] = static_cast<double>(WireBytes(frames)) / kCatchUpCycles;
    state.counters["records"] = static_cast<double>(records) / kCatchUpCycles;
}

void Vkt7Steady(benchmark::State& s) { Steady(s, "VKT7", Vkt7(false)); }
void Vkt5Steady(benchmark::State& s) { Steady(s, "VKT5", Vkt5(false)); }
void Vkt9Steady(benchmark::State& s) { Steady(s, "VKT9New", Vkt9(30, true, false)); }
void Vkt9ValueTags(benchmark::State& s) { Steady(s, "VKT9New", Vkt9(static_cast<int>(s.range(0)), false, false)); }
void Vkt7Crc(benchmark::State& s) { CrcFloor(s, "VKT7", Vkt7(false)); }
void Vkt5Crc(benchmark::State& s) { CrcFloor(s, "VKT5", Vkt5(false)); }
void Vkt9Crc(benchmark::State& s) { CrcFloor(s, "VKT9New", Vkt9(30, true, false)); }
void Vkt9ValueTagsCrc(benchmark::State& s) { CrcFloor(s, "VKT9New", Vkt9(static_cast<int>(s.range(0)), false, false)); }
void Vkt7CatchUp(benchmark::State& s) { CatchUp(s, "VKT7", [] { return Vkt7(true); }); }
void Vkt5CatchUp(benchmark::State& s) { CatchUp(s, "VKT5", [] { return Vkt5(true); }); }
void Vkt9CatchUp(benchmark::State& s) { CatchUp(s, "VKT9New", [] { return Vkt9(30, true, true); }); }
void Vkt9ValueTagsHeap(benchmark::State& s) {
    CatchUp(s, "VKT9New", [&s] { return Vkt9(static_cast<int>(s.range(0)), false, false); });
}

BENCHMARK(Vkt7Steady);
BENCHMARK(Vkt7Crc);
BENCHMARK(Vkt5Steady);
BENCHMARK(Vkt5Crc);
BENCHMARK(Vkt9Steady);
BENCHMARK(Vkt9Crc);
BENCHMARK(Vkt9ValueTags)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(Vkt9ValueTagsCrc)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(Vkt7CatchUp)->Iterations(kCatchUpCycles);
BENCHMARK(Vkt5CatchUp)->Iterations(kCatchUpCycles);
BENCHMARK(Vkt9CatchUp)->Iterations(kCatchUpCycles);
BENCHMARK(Vkt9ValueTagsHeap)->Arg(10)->Arg(100)->Arg(1000)->Iterations(kCatchUpCycles);

}  // namespace
