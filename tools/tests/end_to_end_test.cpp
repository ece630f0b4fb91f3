// vktpoll and vktsim as separate processes, over loopback TCP and a
// pseudo-terminal pair, as a field engineer would run them.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <cstring>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tools/tests/child_process.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::JsonField;

// Meter-local times become UTC with the machine's offset: three hours ahead
// here, so that a stamp left in local time shows.
const std::vector<std::string> kZone = {"TZ=UTC-3"};

struct ModelCase {
    const char* model;
    const char* device;  // the device's YAML after name and channel, indented by four
    const char* currentNode;
    std::map<std::string, std::string> current;  // tag -> value, all good
    const char* archiveTag;
    std::vector<std::string> stamps;  // UTC stamps of the archive records of two cycles
};

void PrintTo(const ModelCase& m, std::ostream* os) { *os << m.model; }

std::vector<ModelCase> Models() {
    std::vector<ModelCase> models;
#ifdef TRV_HAVE_SIM_VKT7
    models.push_back({"VKT7",
                      R"(    model: VKT7
    properties: {addr: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure, DateTime]
    groups:
      "1": [{name: t1, properties: {addr: 0}}, {name: t2, properties: {addr: 1}}]
      "3": [{name: t1_hour, properties: {addr: 0}}]
)",
                      "1",
                      {{"t1", "72.01"}, {"t2", "49.76"}},
                      "t1_hour",
                      {"2024-03-07T04:00:00Z", "2024-03-07T05:00:00Z", "2024-03-07T06:00:00Z", "2024-03-07T07:00:00Z",
                       "2024-03-07T08:00:00Z", "2024-03-07T09:00:00Z"}});
#endif
#ifdef TRV_HAVE_SIM_VKT5
    models.push_back({"VKT5",
                      R"(    model: VKT5
    properties: {address: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure, DateTime]
    subdevices:
      - name: current
        type: Current
        tags:
          - {name: t1, properties: {NumberArray: 1, NumberHeat: 0, Address: 0, DataType: 0}}
          - {name: t2, properties: {NumberArray: 1, NumberHeat: 0, Address: 4, DataType: 0}}
      - name: hour
        type: Archive
        properties: {TypeArchive: 1}
        tags:
          - {name: t1_hour, properties: {NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}
)",
                      "current",
                      {{"t1", "100.25"}, {"t2", "101.75"}},
                      "t1_hour",
                      {"2024-03-07T03:00:00Z", "2024-03-07T04:00:00Z", "2024-03-07T05:00:00Z", "2024-03-07T06:00:00Z",
                       "2024-03-07T07:00:00Z", "2024-03-07T08:00:00Z"}});
#endif
#ifdef TRV_HAVE_SIM_VKT9
    models.push_back({"VKT9New",
                      R"(    model: VKT9New
    properties: {address: 1, DepthHour: 6, CountRecord: 3}
    tags: [Available, Failure]
    subdevices:
      - name: current
        type: Current
        tags:
          - {name: T_supply, properties: {Address: 40001, DataType: 0, RegStatus: 40006, StatusNorm: 0}}
          - {name: G, properties: {Address: 30001, DataType: 0, RegStatus: 30004, StatusNorm: 0}}
      - name: hour
        type: Archive
        properties: {TypeArchive: 0, LengthByteAnswer: 24, LastIndexRegister: 40101}
        tags:
          - {name: Q_hour, properties: {AddressByte: 4, DataType: 0, Koeff: 1}}
)",
                      "current",
                      {{"T_supply", "71.5"}, {"G", "12.5"}},
                      "Q_hour",
                      {"2024-03-07T04:00:00Z", "2024-03-07T05:00:00Z", "2024-03-07T06:00:00Z", "2024-03-07T07:00:00Z",
                       "2024-03-07T08:00:00Z", "2024-03-07T09:00:00Z"}});
#endif
    return models;
}

class Workspace {
public:
    Workspace() {
        char name[] = "/tmp/trv-tools-XXXXXX";
        dir_ = ::mkdtemp(name);
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Write(const std::string& file, const std::string& text) const {
        const std::string path = (dir_ / file).string();
        std::ofstream(path) << text;
        return path;
    }
    std::string Path(const std::string& file) const { return (dir_ / file).string(); }

private:
    fs::path dir_;
};

std::string DeviceYaml(const std::string& name, const std::string& channel, const ModelCase& m,
                       const std::string& extra = "") {
    return fmt::format("  - name: {}\n    channel: \"{}\"\n    period: 0\n    gap: 30\n{}{}", name, channel, extra,
                       m.device);
}

// Starts vktsim and returns its TCP port, 0 when it did not come up.
uint16_t StartSim(ChildProcess& sim) {
    const auto line = sim.ReadUntil("listening on 127.0.0.1:");
    if (!line) return 0;
    return static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
}

// Checks the publications of one device polled for two cycles.
void ExpectMeterData(const ChildProcess& poll, const std::string& device, const ModelCase& m) {
    for (const auto& [tag, value] : m.current) {
        const auto lines = poll.LinesWith(
            fmt::format("\"device\":\"{}\",\"node\":\"{}\",\"tag\":\"{}\",", device, m.currentNode, tag));
        ASSERT_FALSE(lines.empty()) << tag;
        EXPECT_EQ(JsonField(lines.back(), "value"), value) << tag;
        EXPECT_EQ(JsonField(lines.back(), "quality"), "192") << tag;
        EXPECT_EQ(JsonField(lines.back(), "archive"), "false") << tag;
    }
    std::vector<std::string> stamps;
    for (const auto& line : poll.LinesWith(fmt::format("\"device\":\"{}\",", device))) {
        if (JsonField(line, "tag") != m.archiveTag || JsonField(line, "archive") != "true") continue;
        EXPECT_EQ(JsonField(line, "quality"), "192") << line;
        stamps.push_back(JsonField(line, "time"));
    }
    EXPECT_EQ(stamps, m.stamps);
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
    for (const char* property : {"addr: 1", "address: 1"})
        if (const size_t at = device.find(property); at != std::string::npos)
            device.replace(at + strlen(property) - 1, 1, "7");
    const std::string config = ws.Write("meter.yaml", "devices:\n" + device);
    ChildProcess poll({TRV_VKTPOLL, config, "--json", "--cycles", "2", "--csv", ws.Path("meter.csv")}, kZone);
    EXPECT_EQ(poll.Finish(), 0) << poll.ErrorText();
    ExpectMeterData(poll, "meter", m);
    std::ifstream csv(ws.Path("meter.csv"));
    std::string header, row;
    std::getline(csv, header);
    EXPECT_EQ(header, "device,node,tag,value,quality,quality_name,time_utc,archive");
    size_t archived = 0;
    while (std::getline(csv, row))
        if (row.find(fmt::format(",{},", m.archiveTag)) != std::string::npos &&
            row.ends_with(",192,good," + m.stamps.back() + ",1"))
            ++archived;
    EXPECT_EQ(archived, 1u);
    const auto summary = poll.LinesWith("\"event\":\"summary\"");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(JsonField(summary[0], "failures"), "0");
    EXPECT_EQ(JsonField(summary[0], "sent"), JsonField(summary[0], "answers"));
    EXPECT_EQ(JsonField(summary[0], "drops"), "1");
    EXPECT_EQ(JsonField(summary[0], "connects"), "2");
    EXPECT_EQ(poll.LinesWith("line dropped").size(), 1u);
}

// A client write of 0 to "Available" before the second read leaves the meter
// alone from then on: three cycles send what one does.
TEST_P(ToolsEndToEnd, WritingAvailableZeroStopsThePolling) {
    const ModelCase& m = GetParam();
    Workspace ws;
    const std::string config = ws.Write("meter.yaml", "devices:\n" + DeviceYaml("meter", "sim", m));
    ChildProcess one({TRV_VKTPOLL, config, "--json", "--cycles", "1"}, kZone);
    ChildProcess three({TRV_VKTPOLL, config, "--json", "--cycles", "3", "--write", "meter.Available=0@2"}, kZone);
    EXPECT_EQ(one.Finish(), 0) << one.ErrorText();
    EXPECT_EQ(three.Finish(), 0) << three.ErrorText();
    const auto sent = [](const ChildProcess& p) {
        const auto summary = p.LinesWith("\"event\":\"summary\"");
        return summary.empty() ? std::string("none") : JsonField(summary[0], "sent");
    };
    EXPECT_NE(sent(one), "0");
    EXPECT_EQ(sent(three), sent(one));
    const auto published = three.LinesWith("\"tag\":\"Available\",\"value\":false,\"quality\":192");
    EXPECT_FALSE(published.empty()) << "the plugin did not take up the write";
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
    ChildProcess socat({TRV_SOCAT, "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}, {}, true);
    // Both links exist once socat starts moving data.
    ASSERT_TRUE(socat.ReadUntil("starting data transfer loop"));
    ASSERT_TRUE(fs::exists(a) && fs::exists(b));
    ChildProcess sim({TRV_VKTSIM, "--model", m.model, "--serial", a, "--baud", "19200", "--parity", "even", "--clock",
                      "2024-03-07 12:00:00"});
    ASSERT_TRUE(sim.ReadUntil("serving on")) << sim.ErrorText();
    const std::string config = ws.Write(
        "meter.yaml", "devices:\n" + DeviceYaml("meter", "serial://" + b + "?baud=19200&parity=even&stop=2", m));
    ChildProcess poll({TRV_VKTPOLL, config, "--json", "--cycles", "2"}, kZone);
    EXPECT_EQ(poll.Finish(), 0) << poll.ErrorText();
    ExpectMeterData(poll, "meter", m);
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
    const std::string config = ws.Write(
        "meters.yaml", "devices:\n" + DeviceYaml("local", "sim", m) +
                           DeviceYaml("silent", fmt::format("tcp://127.0.0.1:{}", port), m, "    timeout: 30000\n"));
    ChildProcess poll({TRV_VKTPOLL, config, "--json", "--trace"}, kZone);
    ASSERT_TRUE(poll.ReadUntil("\"event\":\"trace\",\"device\":\"silent\",\"dir\":\"tx\"")) << poll.ErrorText();
    poll.Signal(SIGINT);
    EXPECT_EQ(poll.Wait(std::chrono::seconds(1)), 130) << poll.ErrorText();
    poll.Finish(std::chrono::seconds(5));
    EXPECT_EQ(poll.LinesWith("\"device\":\"local\",\"text\":\"closed\"").size(), 1u);
    EXPECT_EQ(poll.LinesWith("\"device\":\"silent\",\"text\":\"closed\"").size(), 1u);
    EXPECT_EQ(poll.LinesWith("\"event\":\"summary\"").size(), 2u);
}

#endif

// The README's main job: no arguments, every simulated model, good data, an end.
TEST(ToolsEndToEndDemo, RunsEveryBuiltInModelAndStops) {
    ChildProcess demo({TRV_VKTPOLL}, kZone);
    EXPECT_EQ(demo.Finish(), 0) << demo.ErrorText();
    const auto summaries = demo.LinesWith(" frames sent, ");
    EXPECT_EQ(summaries.size(), Models().size());
    for (const auto& line : summaries) {
        EXPECT_NE(line.find(": 6 cycles,"), std::string::npos) << line;
        EXPECT_NE(line.find(" 0 failures"), std::string::npos) << line;
    }
    EXPECT_FALSE(demo.LinesWith("[good]  archive").empty());
    EXPECT_TRUE(demo.LinesWith("[bad").size() <= demo.LinesWith("out of service]").size());
}

// vktpoll init writes a file that, pointed at the simulator, reads every tag.
TEST(ToolsEndToEndConfig, StarterFilesPollTheSimulators) {
    Workspace ws;
    for (const ModelCase& m : Models()) {
        const std::string family = std::string(m.model).substr(0, 4);
        const std::string path = ws.Path(family + ".yaml");
        ChildProcess init({TRV_VKTPOLL, "init", "--model", family, "-o", path});
        ASSERT_EQ(init.Finish(), 0) << init.ErrorText();
        ChildProcess again({TRV_VKTPOLL, "init", "--model", family, "-o", path});
        EXPECT_EQ(again.Finish(), 2) << "overwrote " << path;
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t at = text.find("    channel: serial://");
        ASSERT_NE(at, std::string::npos) << family;
        text.replace(at, text.find('\n', at) - at, "    channel: sim");
        ChildProcess poll({TRV_VKTPOLL, ws.Write(family + "-sim.yaml", text), "--json", "--cycles", "1"}, kZone);
        EXPECT_EQ(poll.Finish(), 0) << family << poll.ErrorText();
        const auto summary = poll.LinesWith("\"event\":\"summary\"");
        ASSERT_EQ(summary.size(), 1u) << family;
        EXPECT_EQ(JsonField(summary[0], "failures"), "0") << family;
        size_t tags = 0;
        for (const auto& line : poll.LinesWith("\"event\":\"publish\"")) {
            if (JsonField(line, "value") == "null") continue;  // the initial "out of service"
            EXPECT_EQ(JsonField(line, "quality"), "192") << line;
            ++tags;
        }
        EXPECT_GT(tags, 5u) << family;
    }
}

// Every bad file stops the run before the plugin is asked anything.
TEST(ToolsEndToEndConfig, BadFilesExitWithStatusTwoAndPollNothing) {
    Workspace ws;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"devices:\n  - name: m\n    channel: sim\n", "bad.yaml:2:5: missing \"model\""},
        {"devices:\n  - {name: m, model: VKT7, channel: sim, retry: many}\n",
         "bad.yaml:2:49: \"retry\": expected an integer"},
        {"devices:\n  - {name: m, model: VKT9, channel: sim}\n", "bad.yaml:2:22: unknown model \"VKT9\""},
        {"devices:\n  - {name: m, model: VKT7, channel: \"rs485:/dev/ttyS1\"}\n",
         "bad.yaml:2:37: channel \"rs485:/dev/ttyS1\""},
        {"devices: {}\n", "bad.yaml:1:10: expected \"devices\" to be a list"},
    };
    for (const auto& [yaml, message] : files) {
        const std::string path = ws.Write("bad.yaml", yaml);
        ChildProcess poll({TRV_VKTPOLL, path, "--lines"});
        EXPECT_EQ(poll.Finish(), 2) << yaml;
        EXPECT_TRUE(poll.lines().empty()) << yaml;
        EXPECT_NE(poll.ErrorText().find(message), std::string::npos) << poll.ErrorText();
    }
    ChildProcess missing({TRV_VKTPOLL, ws.Path("absent.yaml")});
    EXPECT_EQ(missing.Finish(), 2);
    EXPECT_NE(missing.ErrorText().find("absent.yaml: cannot open the file"), std::string::npos);
    const std::string good =
        ws.Write("good.yaml", "devices:\n  - {name: m, model: VKT7, channel: \"tcp://127.0.0.1:9\"}\n");
    ChildProcess write({TRV_VKTPOLL, good, "--write", "m.NoSuchTag=1"});
    EXPECT_EQ(write.Finish(), 2);
    EXPECT_TRUE(write.lines().empty());
    EXPECT_NE(write.ErrorText().find("device \"m\" has no tag \"NoSuchTag\""), std::string::npos) << write.ErrorText();
}

}  // namespace
}  // namespace tools
