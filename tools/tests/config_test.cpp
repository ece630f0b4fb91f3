#include "tools/config.h"

#include <gtest/gtest.h>

#include "tools/poller.h"

namespace tools {
namespace {

// Each bad file with the whole place and a telling part of its message.
TEST(ToolsConfig, BadFilesNameFileLineAndWhatWasExpected) {
    const std::string dev = "devices:\n  - {name: a, model: VKT7, channel: ";
    const std::string block = "devices:\n  - name: a\n    model: ";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"", "meters.yaml: the file is empty"},
        {"devices: [\n  {name: a\n", "meters.yaml:3:1:"},
        {"cycles: 3\n", "meters.yaml:1:1: missing \"devices\""},
        {"devices: {a: 1}\n", "meters.yaml:1:10: expected \"devices\" to be a list"},
        {"devices:\n  - meter1\n", "meters.yaml:2:5: expected a device"},
        {"devices:\n  - name: a\n    channel: sim\n", "meters.yaml:2:5: missing \"model\""},
        {"devices:\n  - name: a\n    model: VKT7\n", "meters.yaml:2:5: missing \"channel\""},
        {"devices:\n  - {name: a, model: VKT-7, channel: sim}\n",
         "meters.yaml:2:22: unknown model \"VKT-7\": expected one of VKT7, VKT5, VKT9New, VKT9Old"},
        {dev + "udp://x:1}\n", "meters.yaml:2:37: channel \"udp://x:1\": unknown channel"},
        {dev + "\"tcp://host\"}\n", "meters.yaml:2:37: channel \"tcp://host\": expected tcp://host:port"},
        {dev + "\"tcp://h:70000\"}\n", "port number 1 to 65535"},
        {dev + "\"serial:///dev/ttyS0?parity=mark\"}\n",
         "meters.yaml:2:37: channel \"serial:///dev/ttyS0?parity=mark\": parity: expected none, even or odd"},
        {dev + "\"serial:///dev/ttyS0?speed=9600\"}\n", "unknown setting \"speed\""},
        {dev + "sim, period: often}\n", "meters.yaml:2:50: \"period\": expected an integer, got \"often\""},
        {dev + "sim, retry: -1}\n", "\"retry\": expected 0 to 100, got -1"},
        {dev + "sim, peroid: 5}\n", "meters.yaml:2:42: unknown key \"peroid\""},
        {dev + "sim}\n  - {name: a, model: VKT5, channel: sim}\n", "meters.yaml:3:12: device name \"a\" is used twice"},
        {"devices:\n  - {name: a.b, model: VKT7, channel: sim}\n", "expected no '.'"},
        {block + "VKT7\n    channel: sim\n    properties: {addr: [1, 2]}\n",
         "meters.yaml:5:24: property \"addr\": expected a single value"},
        {block + "VKT7\n    channel: sim\n    tags: [Failure, Failure]\n",
         "meters.yaml:5:21: tag \"Failure\" appears twice in device a"},
        {block + "VKT7\n    channel: sim\n    tags: [{properties: {addr: 1}}]\n", "meters.yaml:5:12: missing \"name\""},
        {block + "VKT5\n    channel: sim\n    subdevices:\n      - name: z\n", "meters.yaml:6:9: missing \"type\""},
        {block + "VKT9New\n    channel: sim\n    sim: {silence: maybe}\n",
         "meters.yaml:5:11: sim: silence: expected true or false, got \"maybe\""},
        {block + "VKT5\n    channel: sim\n    sim: {silense: true}\n",
         "meters.yaml:5:11: sim: unknown simulator option \"silense\""},
        {block + "VKT7\n    channel: tcp://h:1\n    sim: {silence: true}\n",
         "meters.yaml:5:10: \"sim\" knobs apply only to the channel \"sim\""},
    };
    for (const auto& [yaml, expected] : files) {
        try {
            LoadConfigText(yaml, "meters.yaml");
            ADD_FAILURE() << "loaded " << yaml;
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

// What the end-to-end runs do not show: the numbers, data bits and defaults.
TEST(ToolsConfig, ReadsTheNumbersAndSerialSettings) {
    const PollConfig c = LoadConfigText(R"(
cycles: 4
devices:
  - {name: a, model: VKT5, retry: 2, period: 250, timeout: 700, gap: 30,
     channel: "serial:///dev/ttyUSB1?baud=19200&parity=even&stop=2&data=7"}
  - {name: b, model: VKT7, channel: "serial:///dev/ttyUSB0"}
)", "x.yaml");
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.cycles, 4);
    const DeviceConfig& d = c.devices[0];
    EXPECT_EQ(std::vector<int>({d.retry, d.periodMs, d.timeoutMs, d.gapMs}), std::vector<int>({2, 250, 700, 30}));
    EXPECT_EQ(d.channel.path, "/dev/ttyUSB1");
    EXPECT_EQ(Describe(d.channel.serial), "19200 7E2");
    EXPECT_EQ(Describe(c.devices[1].channel.serial), "9600 8N1");  // the defaults
}

// Whatever the file holds, the loader answers with a configuration or a
// ConfigError: no other exception, no crash.
TEST(ToolsConfig, AnyBytesGiveAConfigOrAClearError) {
    std::vector<std::string> files = {
        "devices: [*undefined]\n",
        "a: &x [*x]\ndevices: *x\n",
        "? [a, b]\n: c\ndevices: []\n",
        "devices:\n  - {name: m, model: VKT7, channel: sim, period: 99999999999999999999}\n",
        "devices:\n  - {name: m, model: VKT7, channel: sim, tags: [[Available]]}\n",
        "devices:\n  - {name: m, model: VKT7, channel: sim, groups: [1, 2]}\n",
        "devices:\n  - {name: m, model: VKT5, channel: sim, subdevices: [{name: s, type: {x: 1}}]}\n",
        "devices:\n  - {name: m, model: VKT7, channel: sim, sim: {clock: [1]}}\n",
        "devices:\n  - {name: m, model: VKT7, channel: \"serial:///dev/x?&&baud=&=\"}\n",
        "devices:\n\t- name: m\n",
        "%YAML 9.9\n---\ndevices: []\n",
        std::string(5000, '[') + std::string(5000, ']'),
        std::string("devices:\n  - name: \0\xff\xfe\n", 22),
    };
    uint32_t seed = 12345;
    for (int i = 0; i < 300; ++i) {
        std::string noise;
        for (int j = 0; j < 64; ++j) {
            seed = seed * 1103515245u + 12345u;
            noise += "devices:- {}[],:\n \"'&*!|>#%@`nameodlchsimtcp:/1"[(seed >> 16) % 44];
        }
        files.push_back(noise);
    }
    for (const std::string& text : files) {
        try {
            LoadConfigText(text, "f.yaml");
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("f.yaml", 0), 0u) << e.what();
        }
    }
}

TEST(ToolsConfig, CommandLineWrites) {
    const WriteRequest a = ParseWrite("meter1.Available=0");
    EXPECT_EQ(std::tuple(a.device, a.tag, a.value, a.atCycle), std::tuple("meter1", "Available", 0, 1));
    const WriteRequest b = ParseWrite("m.UnschedulerRequest=true@3");
    EXPECT_EQ(std::pair(b.value, b.atCycle), std::pair(1, 3));
    EXPECT_EQ(ParseWrite("m.Group.Tag=2").tag, "Group.Tag");
    for (const char* bad : {"meter1=1", ".Available=1", "m.Available", "m.Available=on", "m.Available=1@0", "m.A=1@x"})
        EXPECT_THROW(ParseWrite(bad), ConfigError) << bad;
    EXPECT_THROW(ParseChannel("SIM"), ConfigError);
}

}  // namespace
}  // namespace tools
