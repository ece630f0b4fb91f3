// vktpoll and vktsim as separate processes, over loopback TCP and a
// pseudo-terminal pair, as a field engineer would run them.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tools/config.h"
#include "tools/tests/child_process.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::JsonField;
using namespace std::chrono_literals;

// Meter-local times become UTC with the machine's offset: three hours ahead
// here, so that a stamp left in local time shows.
const std::vector<std::string> kZone = {"TZ=UTC-3"};

struct ModelCase {
    const char* model;
    const char* device;  // the device's YAML after name and channel, indented by four
    const char* currentNode;
    std::map<std::string, std::string> current;  // tag -> value, all good
    const char* archiveTag;
    int firstHour;  // the UTC hour of the first of the six archive records of two cycles
};

void PrintTo(const ModelCase& m, std::ostream* os) { *os << m.model; }

std::vector<ModelCase> Models() {
    std::vector<ModelCase> models;
#ifdef TRV_HAVE_SIM_VKT7
    models.push_back({"VKT7", R"(    model: VKT7
    properties: {addr: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure, DateTime]
    groups: {"1": [{name: t1, properties: {addr: 0}}, {name: t2, properties: {addr: 1}}],
             "3": [{name: t1_hour, properties: {addr: 0}}]}
)", "1", {{"t1", "72.01"}, {"t2", "49.76"}}, "t1_hour", 4});
#endif
#ifdef TRV_HAVE_SIM_VKT5
    models.push_back({"VKT5", R"(    model: VKT5
    properties: {address: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure, DateTime]
    subdevices:
      - {name: current, type: Current, tags: [
          {name: t1, properties: {NumberArray: 1, NumberHeat: 0, Address: 0, DataType: 0}},
          {name: t2, properties: {NumberArray: 1, NumberHeat: 0, Address: 4, DataType: 0}}]}
      - {name: hour, type: Archive, properties: {TypeArchive: 1},
         tags: [{name: t1_hour, properties: {NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}]}
)", "current", {{"t1", "100.25"}, {"t2", "101.75"}}, "t1_hour", 3});
#endif
#ifdef TRV_HAVE_SIM_VKT9
    models.push_back({"VKT9New", R"(    model: VKT9New
    properties: {address: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure]
    subdevices:
      - {name: current, type: Current, tags: [
          {name: T_supply, properties: {Address: 40001, DataType: 0, RegStatus: 40006, StatusNorm: 0}},
          {name: G, properties: {Address: 30001, DataType: 0, RegStatus: 30004, StatusNorm: 0}}]}
      - {name: hour, type: Archive, properties: {TypeArchive: 0, LengthByteAnswer: 24, LastIndexRegister: 40101},
         tags: [{name: Q_hour, properties: {AddressByte: 4, DataType: 0, Koeff: 1}}]}
)", "current", {{"T_supply", "71.5"}, {"G", "12.5"}}, "Q_hour", 4});
#endif
    return models;
}

// A directory for the test's files, removed at its end.
struct Workspace {
    fs::path dir = [] {
        char name[] = "/tmp/trv-tools-XXXXXX";
        return fs::path(::mkdtemp(name));
    }();
    ~Workspace() { fs::remove_all(dir); }
    std::string Path(const std::string& file) const { return (dir / file).string(); }
    std::string Write(const std::string& file, const std::string& text) const {
        std::ofstream(Path(file)) << text;
        return Path(file);
    }
};

std::string DeviceYaml(const std::string& name, const std::string& channel, const ModelCase& m,
                       const std::string& extra = "") {
    return fmt::format("  - name: {}\n    channel: \"{}\"\n    period: 0\n    gap: 30\n{}{}", name, channel, extra,
                       m.device);
}

std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Starts vktsim and returns its TCP port, 0 when it did not come up.
uint16_t StartSim(ChildProcess& sim) {
    const auto line = sim.WaitFor("listening on 127.0.0.1:");
    return line ? static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1))) : 0;
}

// The publications of one device polled for two cycles: the simulator's
// values, good, and the archive records with their UTC stamps.
void ExpectMeterData(const ChildProcess& poll, const ModelCase& m) {
    for (const auto& [tag, value] : m.current) {
        const auto lines =
            poll.LinesWith(fmt::format("\"device\":\"meter\",\"node\":\"{}\",\"tag\":\"{}\",", m.currentNode, tag));
        ASSERT_FALSE(lines.empty()) << tag;
        EXPECT_EQ(JsonField(lines.back(), "value"), value) << tag;
        EXPECT_EQ(JsonField(lines.back(), "quality"), "192") << tag;
        EXPECT_EQ(JsonField(lines.back(), "archive"), "false") << tag;
    }
    std::vector<std::string> stamps;
    for (const auto& line : poll.LinesWith(fmt::format("\"tag\":\"{}\",", m.archiveTag))) {
        if (JsonField(line, "archive") != "true") continue;
        EXPECT_EQ(JsonField(line, "quality"), "192") << line;
        stamps.push_back(JsonField(line, "time"));
    }
    ASSERT_EQ(stamps.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(stamps[i], fmt::format("2024-03-07T{:02}:00:00Z", m.firstHour + i));
}

class ToolsEndToEnd : public ::testing::TestWithParam<ModelCase> {};

// The simulator also hangs up once, after its fourth answer, as converters do
// with idle connections; the poller connects again and the plugin never notices.
TEST_P(ToolsEndToEnd, PollsVktsimOverTcpAndSurvivesADrop) {
    const ModelCase& m = GetParam();
    ChildProcess sim({TRV_VKTSIM, "--model", m.model, "--tcp", "127.0.0.1:0", "--clock", "2024-03-07 12:00:00",
                      "--drop-after", "4", "--address", "7"});
    const uint16_t port = StartSim(sim);
    ASSERT_NE(port, 0) << sim.ErrorText();
    Workspace ws;
    // The device's YAML names address 1 in the model's own property; 7 replaces it.
    std::string device = DeviceYaml("meter", fmt::format("tcp://127.0.0.1:{}", port), m);
    device.replace(device.find(": 1,") + 2, 1, "7");
    ChildProcess poll({TRV_VKTPOLL, ws.Write("meter.yaml", "devices:\n" + device), "--json", "--cycles", "2", "--csv",
                       ws.Path("meter.csv")}, kZone);
    EXPECT_EQ(poll.Wait(), 0) << poll.ErrorText();
    ExpectMeterData(poll, m);
    const std::string csv = Read(ws.Path("meter.csv")), last = fmt::format("2024-03-07T{:02}:00:00Z", m.firstHour + 5);
    EXPECT_TRUE(csv.starts_with("device,node,tag,value,quality,quality_name,time_utc,archive\n")) << csv;
    const std::regex record(fmt::format(",{},[^,\n]*,192,good,{},1\n", m.archiveTag, last));
    EXPECT_EQ(std::distance(std::sregex_iterator(csv.begin(), csv.end(), record), std::sregex_iterator()), 1) << csv;
    const auto summary = poll.LinesWith("\"event\":\"summary\"");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(JsonField(summary[0], "failures"), "0");
    EXPECT_EQ(JsonField(summary[0], "sent"), JsonField(summary[0], "answers"));
    EXPECT_EQ(JsonField(summary[0], "drops"), "1");
    EXPECT_EQ(JsonField(summary[0], "connects"), "2");
    EXPECT_EQ(poll.LinesWith("line dropped").size(), 1u);
}

// A client write of 0 to "Available" before the second read is taken up and
// leaves the meter alone from then on: no frame goes out after it.
TEST_P(ToolsEndToEnd, WritingAvailableZeroStopsThePolling) {
    Workspace ws;
    ChildProcess poll({TRV_VKTPOLL, ws.Write("meter.yaml", "devices:\n" + DeviceYaml("meter", "sim", GetParam())),
                       "--json", "--trace", "--cycles", "3", "--write", "meter.Available=0@2"}, kZone);
    EXPECT_EQ(poll.Wait(), 0) << poll.ErrorText();
    size_t before = 0, after = 0;  // frames sent before and after the write is published
    bool written = false;
    for (const auto& line : poll.LinesWith()) {
        written = written || line.find("\"tag\":\"Available\",\"value\":false,\"quality\":192") != std::string::npos;
        (written ? after : before) += line.find("\"dir\":\"tx\"") != std::string::npos;
    }
    ASSERT_TRUE(written) << "the plugin did not take up the write";
    EXPECT_GT(before, 0u);
    EXPECT_EQ(after, 0u);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ToolsEndToEnd);
INSTANTIATE_TEST_SUITE_P(Models, ToolsEndToEnd, ::testing::ValuesIn(Models()),
                         [](const auto& info) { return std::string(info.param.model); });

#if defined(TRV_HAVE_SIM_VKT7) || defined(TRV_HAVE_SIM_VKT5) || defined(TRV_HAVE_SIM_VKT9)

// socat joins two pseudo-terminals: vktsim serves one, vktpoll polls the other.
TEST(ToolsEndToEndLine, SerialOverAPseudoTerminalPair) {
    const ModelCase m = Models().front();
    Workspace ws;
    const std::string a = ws.Path("meter-side"), b = ws.Path("poller-side");
    ChildProcess socat({TRV_SOCAT, "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
    for (int i = 0; i < 500 && !(fs::exists(a) && fs::exists(b)); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(a) && fs::exists(b)) << socat.ErrorText();
    ChildProcess sim({TRV_VKTSIM, "--model", m.model, "--serial", a, "--baud", "19200", "--parity", "even", "--clock",
                      "2024-03-07 12:00:00"});
    ASSERT_TRUE(sim.WaitFor("serving on")) << sim.ErrorText();
    ChildProcess poll({TRV_VKTPOLL, ws.Write("meter.yaml", "devices:\n" + DeviceYaml("meter", "serial://" + b +
                       "?baud=19200&parity=even&stop=2", m)), "--json", "--cycles", "2"}, kZone);
    EXPECT_EQ(poll.Wait(), 0) << poll.ErrorText();
    ExpectMeterData(poll, m);
    // What was asked for, and what the kernel then held: a pseudo-terminal keeps
    // the rate and stop bits but never parity.
    EXPECT_EQ(poll.LinesWith("opened " + b + " at 19200 8E2; the port reports 19200 8N2").size(), 1u);
}

// Ctrl-C while an exchange waits on a silent meter: every device is closed and
// the process is gone within a second, far short of the answer time-out.
TEST(ToolsEndToEndLine, CtrlCClosesEveryDeviceAndExits) {
    const ModelCase m = Models().front();
    ChildProcess sim({TRV_VKTSIM, "--model", m.model, "--tcp", "127.0.0.1:0", "--silence", "true"});
    const uint16_t port = StartSim(sim);
    ASSERT_NE(port, 0) << sim.ErrorText();
    Workspace ws;
    const std::string config = ws.Write("meters.yaml", "devices:\n" + DeviceYaml("local", "sim", m) +
        DeviceYaml("silent", fmt::format("tcp://127.0.0.1:{}", port), m, "    timeout: 30000\n"));
    ChildProcess poll({TRV_VKTPOLL, config, "--json", "--trace"}, kZone);
    ASSERT_TRUE(poll.WaitFor("\"event\":\"trace\",\"device\":\"silent\",\"dir\":\"tx\"")) << poll.ErrorText();
    poll.Signal(SIGINT);
    EXPECT_EQ(poll.Wait(1s), 130) << poll.ErrorText();
    EXPECT_EQ(poll.LinesWith("\"device\":\"local\",\"text\":\"closed\"").size(), 1u);
    EXPECT_EQ(poll.LinesWith("\"device\":\"silent\",\"text\":\"closed\"").size(), 1u);
    EXPECT_EQ(poll.LinesWith("\"event\":\"summary\"").size(), 2u);
}

#endif

#ifdef TRV_HAVE_SIM_VKT9

// One padded, late, spoilt or refused answer from vktsim costs that exchange
// alone: the counters per outcome are what the simulator was told to do, and
// the line is good again afterwards.
TEST(ToolsEndToEndLine, OneBadAnswerCostsOneExchange) {
    struct Run {
        const char* name;
        std::vector<std::string> knobs;
        bool pty;
        int timeoutMs, periodMs, cycles;
        std::map<std::string, std::string> counts;  // summary fields
        std::string shown;                          // a line of the output holds it
        const char* device = nullptr;               // the model case's device when null
    };
    // One request a cycle, so that the late answer is in before the next one goes.
    const char* const oneRequest = R"(    model: VKT9New
    properties: {address: 1}
    tags: [Available, Failure]
    subdevices:
      - {name: current, type: Current, tags: [{name: T_supply, properties: {Address: 40001, DataType: 0}}]}
)";
    const std::vector<Run> runs = {
        {"padded", {"--extra-bytes", "2", "--fault-count", "1"}, false, 1000, 0, 2,
         {{"silence", "0"}, {"malformed", "0"}}, "\"what\":\"read holding 40001..40002\""},
        {"padded on a pty", {"--extra-bytes", "2", "--fault-count", "1"}, true, 1000, 0, 2,
         {{"silence", "0"}, {"malformed", "0"}}, "dropped 2 stale bytes before the request"},
        // Late beyond the time-out, in well before the next cycle's request.
        {"late", {"--late", "700", "--fault-count", "1"}, false, 250, 1500, 3, {{"silence", "1"}, {"malformed", "0"}},
         "no request this cycle: backing off after a failed cycle", oneRequest},
        {"spoilt", {"--corrupt-crc", "true", "--fault-count", "1"}, false, 1000, 0, 1,
         {{"silence", "0"}, {"malformed", "1"}}, "\"what\":\"bad CRC\""},
        {"refused", {"--error-register", "40006"}, false, 1000, 0, 2,
         {{"malformed", "0"}, {"exceptions", "2"}, {"exception_codes", "{\"04\":2"}},
         "\"what\":\"exception 04 server device failure\""},
    };
    const ModelCase m = Models().back();
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        Workspace ws;
        std::vector<std::string> simArgs = {TRV_VKTSIM, "--model", m.model, "--clock", "2024-03-07 12:00:00"};
        if (run.pty)
            simArgs.insert(simArgs.end(), {"--pty", "--pty-link", ws.Path("meter-tty")});
        else
            simArgs.insert(simArgs.end(), {"--tcp", "127.0.0.1:0"});
        simArgs.insert(simArgs.end(), run.knobs.begin(), run.knobs.end());
        ChildProcess sim(simArgs);
        std::string channel = "serial://" + ws.Path("meter-tty");
        if (!run.pty) {
            const uint16_t port = StartSim(sim);
            ASSERT_NE(port, 0) << sim.ErrorText();
            channel = fmt::format("tcp://127.0.0.1:{}", port);
        } else {
            ASSERT_TRUE(sim.WaitFor("serving on")) << sim.ErrorText();
        }
        const std::string yaml = fmt::format("devices:\n  - name: meter\n    channel: \"{}\"\n    period: {}\n    gap: 30\n"
                                             "    timeout: {}\n{}", channel, run.periodMs, run.timeoutMs,
                                             run.device != nullptr ? run.device : m.device);
        ChildProcess poll({TRV_VKTPOLL, ws.Write("meter.yaml", yaml), "--json", "--trace", "--cycles",
                           std::to_string(run.cycles)}, kZone);
        EXPECT_EQ(poll.Wait(), 0) << poll.ErrorText();
        const auto summary = poll.LinesWith("\"event\":\"summary\"");
        ASSERT_EQ(summary.size(), 1u);
        for (const auto& [field, value] : run.counts)
            EXPECT_TRUE(JsonField(summary[0], field).starts_with(value)) << summary[0];
        const auto count = [&](const char* field) { return std::stoul(JsonField(summary[0], field)); };
        EXPECT_EQ(count("sent"), count("good") + count("silence") + count("malformed") + count("exceptions"))
            << summary[0];
        EXPECT_EQ(count("not_sent") + count("line_failures"), 0u) << summary[0];
        EXPECT_EQ(JsonField(summary[0], "failed"), "false");
        EXPECT_FALSE(poll.LinesWith(run.shown).empty()) << run.shown;
        // Trace times carry milliseconds, as the text trace does.
        const auto traces = poll.LinesWith("\"event\":\"trace\"");
        ASSERT_FALSE(traces.empty());
        EXPECT_TRUE(std::regex_match(JsonField(traces[0], "time"), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
            << traces[0];
    }
}

// Knob flags repeat; --map shows what the meter then serves.
TEST(ToolsEndToEndSim, ListsWhatItServesWithRepeatedKnobs) {
    ChildProcess sim({TRV_VKTSIM, "--model", "VKT9New", "--register", "40020=1", "--register", "40021=2", "--map"});
    EXPECT_EQ(sim.Wait(), 0) << sim.ErrorText();
    EXPECT_EQ(sim.LinesWith("40020  holding  0x0001").size(), 1u);
    EXPECT_EQ(sim.LinesWith("40021  holding  0x0002").size(), 1u);
    EXPECT_EQ(sim.LinesWith("hour archive: index registers 40101..40103").size(), 1u);
}

#endif

// "vktpoll read": one meter, no file, the values and the frames.
TEST(ToolsEndToEndRead, ReadsWithoutAFile) {
    struct Read {
        const char* model;
        std::vector<std::string> what;
        int status;
        std::string shown;
    };
    const std::vector<Read> reads = {
        {"VKT9New", {"40001:13"}, 0, "  meter  read/40005 = 12345  [good]"},
        {"VKT9New", {"--type", "float", "30001:2"}, 0, "  meter  read/30001 = 12.5  [good]"},
        {"VKT5", {"1:0"}, 0, "  meter  read/a1h0@4 = 101.75  [good]"},
        {"VKT7", {"0:2"}, 0, "  meter  1/e1 = 49.76  [good]"},
        {"VKT9New", {"50001"}, 2, ""},
        {"VKT7", {"80:5"}, 2, ""},
    };
    const auto models = Models();
    for (const Read& r : reads) {
        if (std::none_of(models.begin(), models.end(), [&](const ModelCase& m) { return m.model == std::string(r.model); }))
            continue;
        std::vector<std::string> args = {TRV_VKTPOLL, "read", "--model", r.model, "--channel", "sim", "--address", "1"};
        args.insert(args.end(), r.what.begin(), r.what.end());
        ChildProcess poll(args, kZone);
        EXPECT_EQ(poll.Wait(), r.status) << r.model << poll.ErrorText();
        if (r.status != 0) continue;
        EXPECT_EQ(poll.LinesWith(r.shown).size(), 1u) << r.shown;
        EXPECT_FALSE(poll.LinesWith("  meter  >> ").empty());
    }
}

// The README's main job: no arguments, every simulated model, good data, an end.
TEST(ToolsEndToEndDemo, RunsEveryBuiltInModelAndStops) {
    ChildProcess demo({TRV_VKTPOLL}, kZone);
    EXPECT_EQ(demo.Wait(), 0) << demo.ErrorText();
    const auto summaries = demo.LinesWith(" frames sent: ");
    EXPECT_EQ(summaries.size(), Models().size());
    for (const auto& line : summaries) {
        EXPECT_NE(line.find(": 6 cycles,"), std::string::npos) << line;
        EXPECT_NE(line.find(" 0 silent, 0 malformed, 0 exceptions"), std::string::npos) << line;
    }
    // Control tags that keep their value are shown once, not after every value.
    EXPECT_EQ(demo.LinesWith("  Failure = false  [good]").size(), Models().size());
    EXPECT_FALSE(demo.LinesWith("[good]  archive").empty());
    EXPECT_TRUE(demo.LinesWith("[bad").size() <= demo.LinesWith("out of service]").size());
}

// vktpoll init writes a starter file for the model, loadable as it is and
// never over another file. (The demonstration polls the same device blocks.)
TEST(ToolsEndToEndConfig, InitWritesAStarterFile) {
    Workspace ws;
    for (const char* family : {"VKT7", "VKT5", "VKT9"}) {
        const std::string path = ws.Path(std::string(family) + ".yaml");
        ASSERT_EQ(ChildProcess({TRV_VKTPOLL, "init", "--model", family, "-o", path}).Wait(), 0) << family;
        EXPECT_EQ(ChildProcess({TRV_VKTPOLL, "init", "--model", family, "-o", path}).Wait(), 2) << "overwrote " << path;
        const PollConfig config = LoadConfigText(Read(path), path);
        ASSERT_EQ(config.devices.size(), 1u) << family;
        EXPECT_TRUE(config.devices[0].model.starts_with(family)) << family;
        EXPECT_EQ(config.devices[0].channel.kind, ChannelConfig::Kind::Serial) << family;
    }
}

// A bad file or write stops the run before the plugin is asked anything, with
// status 2; a device that ends in failure gives status 1.
TEST(ToolsEndToEndConfig, BadRunsExitWithTheirStatus) {
    Workspace ws;
    const std::string good = "devices:\n  - {name: m, model: VKT7, channel: \"tcp://127.0.0.1:9\"}\n";
    const std::vector<std::tuple<std::string, std::string, int, std::string>> runs = {
        {"devices:\n  - name: m\n    channel: sim\n", "", 2, "bad.yaml:2:5: missing \"model\""},
        {"devices:\n  - {name: m, model: VKT7, channel: \"rs485:/dev/ttyS1\"}\n", "", 2,
         "bad.yaml:2:37: channel \"rs485:/dev/ttyS1\""},
        {good, "m.NoSuchTag=1", 2, "device \"m\" has no tag \"NoSuchTag\""},
        {good, "x.Available=1", 2, "--write: no device named \"x\""},
    };
    for (const auto& [yaml, write, status, message] : runs) {
        std::vector<std::string> args = {TRV_VKTPOLL, ws.Write("bad.yaml", yaml), "--lines"};
        if (!write.empty()) args.insert(args.end(), {"--write", write});
        ChildProcess poll(args);
        EXPECT_EQ(poll.Wait(), status) << yaml << write;
        EXPECT_TRUE(poll.LinesWith().empty()) << yaml << write;
        EXPECT_NE(poll.ErrorText().find(message), std::string::npos) << poll.ErrorText();
    }
    ChildProcess missing({TRV_VKTPOLL, ws.Path("absent.yaml")});
    EXPECT_EQ(missing.Wait(), 2);
    EXPECT_NE(missing.ErrorText().find("absent.yaml: cannot open the file"), std::string::npos);
    // Frames that never reached the line are neither traced nor counted as sent.
    ChildProcess refused({TRV_VKTPOLL, ws.Write("good.yaml", good), "--json", "--trace", "--cycles", "1"});
    EXPECT_EQ(refused.Wait(), 1) << refused.ErrorText();
    EXPECT_TRUE(refused.LinesWith("\"dir\":\"tx\"").empty());
    const auto summary = refused.LinesWith("\"event\":\"summary\"");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(JsonField(summary[0], "sent"), "0");
    EXPECT_NE(JsonField(summary[0], "not_sent"), "0");
}

}  // namespace
}  // namespace tools
