// vktpoll: the plugin on the host emulator, polling meters from a YAML file.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "hostemu/host_emulator.h"
#include "tools/config.h"
#include "tools/output.h"
#include "tools/poller.h"
#include "tools/sim_factory.h"
#include "tools/starter.h"
#include "tools/station/station.h"

namespace fs = std::filesystem;
using namespace tools;

namespace {

constexpr const char* kPluginFile = "trvplugin-teplokom.so";

// Beside the executable, in the build root above tools/, or where the package puts it.
std::string DefaultPluginPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return kPluginFile;
    std::vector<fs::path> dirs{self.parent_path(), self.parent_path().parent_path()};
#ifdef TRV_PLUGIN_INSTALL_DIR
    dirs.push_back(self.parent_path() / TRV_PLUGIN_INSTALL_DIR);
#endif
    for (const fs::path& dir : dirs)
        if (fs::exists(dir / kPluginFile, ec)) return (dir / kPluginFile).string();
    return (self.parent_path() / kPluginFile).string();
}

int WriteStarter(const std::string& model, const std::string& output, bool force) {
    const std::string text = StarterFile(model);
    if (text.empty()) {
        std::fprintf(stderr, "vktpoll init: unknown model \"%s\"; expected VKT7, VKT5 or VKT9\n", model.c_str());
        return kExitBadConfig;
    }
    if (output == "-") {
        std::fputs(text.c_str(), stdout);
        return kExitOk;
    }
    if (fs::exists(output) && !force) {
        std::fprintf(stderr, "vktpoll init: %s exists; --force overwrites it\n", output.c_str());
        return kExitBadConfig;
    }
    std::ofstream out(output);
    out << text;
    if (!out) {
        std::fprintf(stderr, "vktpoll init: cannot write %s\n", output.c_str());
        return 1;
    }
    std::fprintf(stderr, "vktpoll: wrote %s; edit the channel and the tags, then run: vktpoll %s\n", output.c_str(),
                 output.c_str());
    return kExitOk;
}

// The demonstration runs whatever models this build can simulate.
PollConfig DemoPollConfig() {
    PollConfig config = LoadConfigText(DemoConfig(), "(built-in demo)");
    const auto models = SimulatedModels();
    std::erase_if(config.devices, [&](const DeviceConfig& d) {
        const bool missing = std::find(models.begin(), models.end(), d.model) == models.end();
        if (missing)
            std::fprintf(stderr, "vktpoll: demo: no simulator of %s in this build; %s left out\n", d.model.c_str(),
                         d.name.c_str());
        return missing;
    });
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "vktpoll: polls VKT-7, VKT-5 and VKT-9 heat meters through the plugin on the host emulator.\n"
        "Without a file (or with --demo) it polls one simulated meter of each model."};
    std::string configPath;
    std::string pluginPath;
    std::string csvPath;
    std::vector<std::string> writes;
    int cycles = 0;
    bool demo = false, json = false, trace = false, lines = false;
    app.add_option("config", configPath, "YAML configuration file (vktpoll init writes a starter)");
    app.add_flag("--demo", demo, "run the built-in demonstration");
    app.add_option("--plugin", pluginPath, "plugin library (default: trvplugin-teplokom.so beside vktpoll)");
    app.add_option("--cycles", cycles, "read every device this many times, then stop")
        ->check(CLI::Range(1, 1000000000));
    app.add_option("--write", writes, "client write before the first read, or before read N: device.Tag=value[@N]");
    app.add_flag("--json", json, "JSON lines instead of the table");
    app.add_flag("--lines", lines, "one line per publication even on a terminal");
    app.add_option("--csv", csvPath, "also write every publication to this CSV file");
    app.add_flag("--trace", trace, "hex dump of every frame sent and received");

    auto* init = app.add_subcommand("init", "write a commented starter configuration");
    std::string initModel, initOutput = "vktpoll.yaml";
    bool force = false;
    init->add_option("--model", initModel, "VKT7, VKT5 or VKT9")->required();
    init->add_option("-o,--output", initOutput, "file to write, - for the standard output")->capture_default_str();
    init->add_flag("--force", force, "overwrite an existing file");

    auto* readCmd = app.add_subcommand(
        "read", "read once from one meter without a file, printing the values and every frame, e.g.\n"
                "  vktpoll read --model VKT9New --channel serial:///dev/ttyUSB0?baud=9600 --address 1 40001:13");
    AdHocRead adHoc;
    readCmd->add_option("--model", adHoc.model, "VKT7, VKT5, VKT9New or VKT9Old")->required();
    readCmd->add_option("--channel", adHoc.channel, "tcp://HOST:PORT, serial:///dev/...?baud=..., or sim")
        ->required();
    readCmd->add_option("--address", adHoc.address, "the meter's address")->capture_default_str();
    readCmd
        ->add_option("what", adHoc.what,
                     "VKT-9: REGISTER[:COUNT] (30001.. input, 40001.. holding); VKT-5: ARRAY[:HEAT]; "
                     "VKT-7: ELEMENT[:COUNT]")
        ->required();
    readCmd->add_option("--type", adHoc.type, "VKT-9: word, int16, float, uint32; VKT-5: float, double, uint16, uint32");
    readCmd->add_flag("--totals", adHoc.totals, "VKT-5, VKT-7: totals instead of current values");
    readCmd->add_option("--timeout", adHoc.timeoutMs, "ms to wait for the first byte of an answer")
        ->capture_default_str();
    readCmd->add_option("--gap", adHoc.gapMs, "ms of silence that ends an answer")->capture_default_str();
    readCmd->add_option("--retry", adHoc.retry, "attempts per request")->capture_default_str();
    readCmd->add_option("--sim", adHoc.sim, "channel sim: a simulator knob, NAME=VALUE");
    bool readJson = false;
    readCmd->add_flag("--json", readJson, "JSON lines");
    auto* serve = app.add_subcommand("serve", "run as a station: poll until stopped, every reading to an MQTT broker");
    std::string serveConfig, servePlugin;
    int serveCycles = 0;
    bool serveJson = false;
    serve->add_option("config", serveConfig, "YAML configuration file with an mqtt section")->required();
    serve->add_option("--plugin", servePlugin, "plugin library (default: trvplugin-teplokom.so beside vktpoll)");
    serve->add_option("--cycles", serveCycles, "read every device this many times, then stop")
        ->check(CLI::Range(1, 1000000000));
    serve->add_flag("--json", serveJson, "also print every event on the standard output as JSON lines");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadConfig;
    }
    if (*init) return WriteStarter(initModel, initOutput, force);
    if (*serve)
        return station::Serve(
            {serveConfig, servePlugin, serveCycles > 0 ? std::optional<int>(serveCycles) : std::nullopt, serveJson},
            DefaultPluginPath());

    PollConfig config;
    PollOptions options;
    try {
        if (*readCmd) {
            const auto& models = KnownModels();
            if (std::find(models.begin(), models.end(), adHoc.model) == models.end())
                throw ConfigError(fmt::format("read: unknown model \"{}\": expected VKT7, VKT5, VKT9New or VKT9Old",
                                              adHoc.model));
            config = AdHocReadConfig(adHoc);
            trace = true;
            json = readJson;
        } else {
            config = (demo || configPath.empty()) ? DemoPollConfig() : LoadConfigFile(configPath);
        }
        for (const auto& w : writes) options.writes.push_back(ParseWrite(w));
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "vktpoll: %s\n", e.what());
        return kExitBadConfig;
    }
    if (config.devices.empty()) {
        std::fprintf(stderr, "vktpoll: nothing to poll\n");
        return kExitBadConfig;
    }
    options.cycles = cycles > 0 ? std::optional<int>(cycles) : config.cycles;
    options.trace = trace;
    options.handleSignals = true;

    if (pluginPath.empty()) pluginPath = !config.plugin.empty() ? config.plugin : DefaultPluginPath();
    hostemu::LoadedPlugin plugin(pluginPath);
    if (!plugin.ok()) {
        std::fprintf(stderr, "vktpoll: cannot load the plugin %s: %s\n", pluginPath.c_str(), plugin.error().c_str());
        return 1;
    }

    FanOut sink;
    const OutputMode mode = json                                           ? OutputMode::Json
                            : (lines || trace || !::isatty(STDOUT_FILENO)) ? OutputMode::Lines
                                                                           : OutputMode::Table;
    sink.Add(MakeSink(mode, stdout));
    std::FILE* csv = nullptr;
    if (!csvPath.empty()) {
        csv = std::fopen(csvPath.c_str(), "w");
        if (csv == nullptr) {
            std::fprintf(stderr, "vktpoll: cannot write %s\n", csvPath.c_str());
            return kExitBadConfig;
        }
        sink.Add(MakeCsvSink(csv));
    }

    int status = kExitOk;
    try {
        Poller poller(config, plugin.entry(), sink, options);
        status = poller.Run();
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "vktpoll: %s\n", e.what());
        status = kExitBadConfig;
    }
    if (csv != nullptr) std::fclose(csv);
    return status;
}
