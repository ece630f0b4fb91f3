#include "tools/config.h"

#include <gtest/gtest.h>

#include "tools/poller.h"

namespace tools {
namespace {

struct BadFile {
    const char* label;
    const char* yaml;
    const char* expected;  // the whole place and a telling part of the message
};

void PrintTo(const BadFile& f, std::ostream* os) { *os << f.label; }

class ToolsBadConfig : public ::testing::TestWithParam<BadFile> {};

TEST_P(ToolsBadConfig, NamesFileLineAndWhatWasExpected) {
    try {
        LoadConfigText(GetParam().yaml, "meters.yaml");
        FAIL() << "loaded a bad file";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expected), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ToolsBadConfig,
    ::testing::Values(
        BadFile{"empty", "", "meters.yaml: the file is empty"},
        BadFile{"syntax", "devices: [\n  {name: a\n", "meters.yaml:3:1:"},
        BadFile{"no_devices", "cycles: 3\n", "meters.yaml:1:1: missing \"devices\""},
        BadFile{"devices_not_list", "devices: {a: 1}\n", "meters.yaml:1:10: expected \"devices\" to be a list"},
        BadFile{"device_not_map", "devices:\n  - meter1\n", "meters.yaml:2:5: expected a device"},
        BadFile{"missing_model", "devices:\n  - name: a\n    channel: sim\n", "meters.yaml:2:5: missing \"model\""},
        BadFile{"missing_channel", "devices:\n  - name: a\n    model: VKT7\n", "meters.yaml:2:5: missing \"channel\""},
        BadFile{"unknown_model", "devices:\n  - {name: a, model: VKT-7, channel: sim}\n",
                "meters.yaml:2:22: unknown model \"VKT-7\": expected one of VKT7, VKT5, VKT9New, VKT9Old"},
        BadFile{"unknown_channel", "devices:\n  - {name: a, model: VKT7, channel: udp://x:1}\n",
                "meters.yaml:2:37: channel \"udp://x:1\": unknown channel"},
        BadFile{"tcp_without_port", "devices:\n  - {name: a, model: VKT7, channel: \"tcp://host\"}\n",
                "meters.yaml:2:37: channel \"tcp://host\": expected tcp://host:port"},
        BadFile{"tcp_port_range", "devices:\n  - {name: a, model: VKT7, channel: \"tcp://h:70000\"}\n",
                "port number 1 to 65535"},
        BadFile{"serial_parity", "devices:\n  - {name: a, model: VKT7, channel: \"serial:///dev/ttyS0?parity=mark\"}\n",
                "meters.yaml:2:37: channel \"serial:///dev/ttyS0?parity=mark\": parity: expected none, even or odd"},
        BadFile{"serial_setting", "devices:\n  - {name: a, model: VKT7, channel: \"serial:///dev/ttyS0?speed=9600\"}\n",
                "unknown setting \"speed\""},
        BadFile{"period_text", "devices:\n  - {name: a, model: VKT7, channel: sim, period: often}\n",
                "meters.yaml:2:50: \"period\": expected an integer, got \"often\""},
        BadFile{"retry_range", "devices:\n  - {name: a, model: VKT7, channel: sim, retry: -1}\n",
                "\"retry\": expected 0 to 100, got -1"},
        BadFile{"unknown_key", "devices:\n  - {name: a, model: VKT7, channel: sim, peroid: 5}\n",
                "meters.yaml:2:42: unknown key \"peroid\""},
        BadFile{"same_name",
                "devices:\n  - {name: a, model: VKT7, channel: sim}\n  - {name: a, model: VKT5, channel: sim}\n",
                "meters.yaml:3:12: device name \"a\" is used twice"},
        BadFile{"dot_in_name", "devices:\n  - {name: a.b, model: VKT7, channel: sim}\n", "expected no '.'"},
        BadFile{"property_list",
                "devices:\n  - name: a\n    model: VKT7\n    channel: sim\n    properties: {addr: [1, 2]}\n",
                "meters.yaml:5:24: property \"addr\": expected a single value"},
        BadFile{"tag_twice", "devices:\n  - name: a\n    model: VKT7\n    channel: sim\n    tags: [Failure, Failure]\n",
                "meters.yaml:5:21: tag \"Failure\" appears twice in device a"},
        BadFile{"tag_without_name",
                "devices:\n  - name: a\n    model: VKT7\n    channel: sim\n    tags: [{properties: {addr: 1}}]\n",
                "meters.yaml:5:12: missing \"name\""},
        BadFile{"subdevice_without_type",
                "devices:\n  - name: a\n    model: VKT5\n    channel: sim\n    subdevices:\n      - name: z\n",
                "meters.yaml:6:9: missing \"type\""},
        BadFile{"sim_knob_value", "devices:\n  - name: a\n    model: VKT9New\n    channel: sim\n    sim: {silence: maybe}\n",
                "meters.yaml:5:11: sim: silence: expected true or false, got \"maybe\""},
        BadFile{"sim_knob_name", "devices:\n  - name: a\n    model: VKT5\n    channel: sim\n    sim: {silense: true}\n",
                "meters.yaml:5:11: sim: unknown simulator option \"silense\""},
        BadFile{"sim_knobs_on_tcp",
                "devices:\n  - name: a\n    model: VKT7\n    channel: tcp://h:1\n    sim: {silence: true}\n",
                "meters.yaml:5:10: \"sim\" knobs apply only to the channel \"sim\""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ToolsConfig, ReadsTheWholeTree) {
    const PollConfig c = LoadConfigText(R"(
cycles: 4
devices:
  - name: m5
    model: VKT5
    channel: "serial:///dev/ttyUSB1?baud=19200&parity=even&stop=2&data=7"
    retry: 2
    period: 250
    timeout: 700
    gap: 30
    properties: {address: 7, TypeTotal: true}
    tags: [Available, {name: Failure}]
    groups:
      "3":
        - {name: h, properties: {addr: 5}}
    subdevices:
      - name: arch
        type: HourArchive
        period: 60000
        properties: {TypeArchive: 1}
        tags:
          - {name: t1, properties: {Address: 4, DataType: 0}}
)",
                                        "x.yaml");
    ASSERT_EQ(c.devices.size(), 1u);
    EXPECT_EQ(c.cycles, 4);
    const DeviceConfig& d = c.devices[0];
    EXPECT_EQ(d.model, "VKT5");
    EXPECT_EQ(d.retry, 2);
    EXPECT_EQ(d.periodMs, 250);
    EXPECT_EQ(d.timeoutMs, 700);
    EXPECT_EQ(d.gapMs, 30);
    EXPECT_EQ(d.channel.kind, ChannelConfig::Kind::Serial);
    EXPECT_EQ(d.channel.path, "/dev/ttyUSB1");
    EXPECT_EQ(Describe(d.channel.serial), "19200 7E2");
    EXPECT_EQ(d.properties, (PropertyList{{"address", "7"}, {"TypeTotal", "true"}}));
    ASSERT_EQ(d.tags.size(), 2u);
    EXPECT_EQ(d.tags[1].name, "Failure");
    ASSERT_EQ(d.groups.size(), 1u);
    EXPECT_EQ(d.groups[0].name, "3");
    EXPECT_EQ(d.groups[0].tags[0].properties, (PropertyList{{"addr", "5"}}));
    ASSERT_EQ(d.subdevices.size(), 1u);
    EXPECT_EQ(d.subdevices[0].type, "HourArchive");
    EXPECT_EQ(d.subdevices[0].periodMs, 60000);
    EXPECT_EQ(d.subdevices[0].tags[0].properties, (PropertyList{{"Address", "4"}, {"DataType", "0"}}));
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

TEST(ToolsConfig, ChannelDefaults) {
    const ChannelConfig tcp = ParseChannel("tcp://10.0.0.5:4001");
    EXPECT_EQ(tcp.host, "10.0.0.5");
    EXPECT_EQ(tcp.port, 4001);
    EXPECT_EQ(Describe(ParseChannel("serial:///dev/ttyUSB0").serial), "9600 8N1");
    EXPECT_THROW(ParseChannel("SIM"), ConfigError);
}

TEST(ToolsConfig, CommandLineWrites) {
    const WriteRequest a = ParseWrite("meter1.Available=0");
    EXPECT_EQ(a.device, "meter1");
    EXPECT_EQ(a.tag, "Available");
    EXPECT_EQ(a.value, 0);
    EXPECT_EQ(a.atCycle, 1);
    const WriteRequest b = ParseWrite("m.UnschedulerRequest=true@3");
    EXPECT_EQ(b.value, 1);
    EXPECT_EQ(b.atCycle, 3);
    EXPECT_EQ(ParseWrite("m.Group.Tag=2").tag, "Group.Tag");
    for (const char* bad : {"meter1=1", ".Available=1", "m.Available", "m.Available=on", "m.Available=1@0", "m.A=1@x"})
        EXPECT_THROW(ParseWrite(bad), ConfigError) << bad;
}

}  // namespace
}  // namespace tools
