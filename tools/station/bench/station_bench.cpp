// Publications per second from the plugin to a local mosquitto through the
// durable queue, and the process's CPU per publication; the queue's own cost.
#include <time.h>

#include <filesystem>
#include <fstream>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "tools/poller.h"
#include "tools/station/mqtt_link.h"
#include "tools/station/station.h"
#include "tools/tests/broker.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

fs::path TempDir() {
    char name[] = "/tmp/trv-bench-XXXXXX";
    return fs::path(::mkdtemp(name));
}

// Counts what the plugin publishes.
class Counter : public tools::Sink {
public:
    uint64_t count = 0;
    void Publish(const tools::Publication&) override { ++count; }
    void Log(const std::string&, const std::string&, const std::string&) override {}
    void Note(const std::string&, const std::string&) override {}
    void Trace(const std::string&, bool, std::span<const uint8_t>, uint64_t) override {}
    void Progress(const tools::ArchiveProgress&) override {}
    void CycleDone(const std::string&, int) override {}
    void Summary(const std::vector<tools::DeviceSummary>&) override {}
};

const char* const kDevices = R"(devices:
  - {name: m7, model: VKT7, channel: sim, period: 0, sim: {clock: "2024-03-07 12:00:00"},
     properties: {addr: 1, DepthHour: 200, CountRecord: 20}, tags: [Available, Failure],
     groups: {"1": [{name: t1, properties: {addr: 0}}, {name: t2, properties: {addr: 1}}],
              "3": [{name: t1_hour, properties: {addr: 0}}, {name: t2_hour, properties: {addr: 1}}]}}
  - {name: m9, model: VKT9New, channel: sim, period: 0, sim: {clock: "2024-03-07 12:00:00"},
     properties: {address: 1, DepthHour: 200, CountRecord: 20}, tags: [Available, Failure],
     subdevices: [{name: current, type: Current, tags: [{name: T, properties: {Address: 40001, DataType: 0}}]},
                  {name: hour, type: Archive, properties: {TypeArchive: 0, LengthByteAnswer: 24, LastIndexRegister: 40101},
                   tags: [{name: Q, properties: {AddressByte: 4, DataType: 0, Koeff: 1}}]}]}
)";

void BM_PluginToBroker(benchmark::State& state) {
    const fs::path dir = TempDir();
    tools::testing::Broker broker(dir);
    hostemu::LoadedPlugin plugin(TRV_PLUGIN_PATH);
    if (!plugin.ok()) return state.SkipWithError("cannot load the plugin");
    std::FILE* devnull = std::fopen("/dev/null", "w");
    station::Logger log(devnull, false);
    tools::PollConfig config = tools::LoadConfigText(kDevices, "bench");
    tools::MqttConfig mqtt;
    mqtt.host = "127.0.0.1";
    mqtt.port = broker.port();
    mqtt.clientId = "bench";
    mqtt.username = tools::testing::Broker::kUser;
    mqtt.passwordFile = "set";
    uint64_t published = 0;
    double cpu = 0;
    for (auto _ : state) {
        fs::remove(dir / "queue.db");
        station::DurableQueue queue((dir / "queue.db").string(), 1000000);
        tools::FanOut sink;
        auto counter = std::make_unique<Counter>();
        Counter& counted = *counter;
        sink.Add(std::make_unique<station::StationSink>("bench", queue, log));
        sink.Add(std::move(counter));
        station::MqttLink link(mqtt, tools::testing::Broker::kPassword, queue, log, [](auto&, auto&) {});
        tools::PollOptions options;
        options.cycles = static_cast<int>(state.range(0));
        const double cpu0 = ProcessCpuSeconds();
        link.Start();
        tools::Poller poller(config, plugin.entry(), sink, options);
        poller.Run();
        while (queue.size() > 0) std::this_thread::sleep_for(1ms);
        link.Stop(10s);
        cpu += ProcessCpuSeconds() - cpu0;
        published += counted.count;
    }
    state.counters["publications/s"] = benchmark::Counter(static_cast<double>(published), benchmark::Counter::kIsRate);
    state.counters["cpu_us/publication"] = cpu * 1e6 / static_cast<double>(published);
    std::fclose(devnull);
    broker.Stop();
    fs::remove_all(dir);
}
BENCHMARK(BM_PluginToBroker)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// One entry on disk, committed and synced: the floor under every publication.
void BM_QueuePush(benchmark::State& state) {
    const fs::path dir = TempDir();
    station::DurableQueue queue((dir / "queue.db").string(), 1000000);
    const std::string payload = R"({"value":52993.5,"quality":192,"q":"good","ts":"2024-03-07T09:00:00Z","archive":true})";
    for (auto _ : state) {
        queue.Push({0, "heat/bh1/m9/hour/Q", payload, false, true});
    }
    state.SetItemsProcessed(state.iterations());
    fs::remove_all(dir);
}
BENCHMARK(BM_QueuePush)->Unit(benchmark::kMicrosecond);

}  // namespace
