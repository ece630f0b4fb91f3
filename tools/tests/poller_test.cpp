#include "tools/poller.h"

#include <cstdio>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "common/platform.h"
#include "host/host_api.h"
#include "tools/line_channel.h"
#include "tools/tests/fake_meter.h"

namespace tools {
namespace {

// A plugin that tells through its log what the host asked of it. It keeps
// nothing between calls: all it needs comes from the host.
namespace fake {

int32_t Create(void*) { return 0; }
int32_t Run() { return 0; }
int32_t Slave(DeviceHandle) { return 0; }

int32_t Init(DeviceHandle d) {
    HostLog(d, "init");
    return 0;
}

int32_t Read(DeviceHandle d) {
    std::string due = fmt::format("read {}", HostIsReadDue(d));
    for (uint32_t i = 0; i < HostGetSubdeviceCount(d); ++i)
        due += fmt::format(" {}", HostIsReadDue(HostGetSubdevice(d, i)));
    HostLog(d, due.c_str());
    const uint8_t tx[] = {static_cast<uint8_t>(HostParamGetInt(HostGetDeviceParams(d), "request", testing::kFive)), 0};
    uint8_t rx[32];
    const int32_t r = HostGetExchange(d)(d, tx, 2, rx, sizeof rx);
    HostLog(d, fmt::format("exchange {}\n", r).c_str());
    if (r <= 0) {
        if (TagHandle failure = HostGetTag(d, 1)) HostSetTagValueBool(failure, 1, 192, nullptr);
        return 0;
    }
    HostSetTagValueDouble(HostGetTag(d, 0), rx[0], 192, nullptr);
    // The same stamp on an archive tag and on a device tag, as VKT-7 stamps current values.
    const FILETIME stamp =
        platform::MakeFileTime(platform::kUnixEpochTicks + 1709812800ull * platform::kTicksPerSecond);
    const uint32_t subs = HostGetSubdeviceCount(d);
    TagHandle archived =
        subs > 0 ? HostGetTag(HostGetSubdevice(d, subs - 1), 0) : HostGetGroupTag(HostFindGroup(d, "3"), 0);
    HostSetTagValueDouble(archived, 2.5, 192, &stamp);
    HostSetTagValueDouble(HostGetTag(d, 2), 3.5, 192, &stamp);
    return 0;
}

int32_t Write(DeviceHandle d) {
    for (int32_t i = 0; i < HostGetWriteCount(d); ++i) {
        TagHandle tag = HostGetWriteTag(d, i);
        HostLog(d, fmt::format("write {}={}", HostGetTagName(tag), HostGetWriteValueBool(tag)).c_str());
        HostCompleteWrite(tag);
    }
    return 0;
}

int32_t Close(DeviceHandle d) {
    HostLog(d, "close");
    return 0;
}

hostemu::PluginEntryPoints Plugin() { return {Create, Init, Run, Read, Slave, Write, Close}; }

}  // namespace fake

// Collects the JSON lines in memory.
struct Captured {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* file = open_memstream(&data, &size);
    std::unique_ptr<Sink> sink = MakeSink(OutputMode::Json, file);
    ~Captured() {
        std::fclose(file);
        std::free(data);
    }
    std::vector<std::string> Lines(const std::string& part) {
        std::fflush(file);
        std::vector<std::string> out;
        std::string all(data, size);
        for (size_t at = 0, end; at < all.size(); at = end + 1) {
            end = all.find('\n', at);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(at, end - at);
            if (line.find(part) != std::string::npos) out.push_back(line);
        }
        return out;
    }
    std::vector<std::string> Log(const std::string& device) {
        std::vector<std::string> out;
        for (const auto& line : Lines("\"event\":\"log\",\"device\":\"" + device + "\"")) {
            const size_t at = line.find("\"text\":\"") + 8;
            out.push_back(line.substr(at, line.size() - at - 2));
        }
        return out;
    }
};

PollConfig Config(uint16_t port, const std::string& extra = "") {
    return LoadConfigText(fmt::format(R"(
devices:
  - name: a
    model: VKT5
    channel: tcp://127.0.0.1:{0}
    period: 0
    timeout: 60000
    gap: 100
    tags: [Value, Failure, Stamped, Available]
    subdevices:
      - {{name: fast, type: Current, period: 0}}
      - {{name: slow, type: Archive, period: 3600000, tags: [Archived]}}
  - name: b
    model: VKT7
    channel: tcp://127.0.0.1:{0}
    period: 0
    timeout: 60000
    gap: 100
    properties: {{request: {1}}}
    tags: [Value, Failure, Stamped]
    groups: {{"3": [Archived]}}
)",
                                      port, extra.empty() ? "1" : extra),
                          "test.yaml");
}

TEST(ToolsPoller, SchedulesReadsWritesAndCloseAsTheHost) {
    testing::FakeMeter meter;
    Captured out;
    PollOptions options;
    options.cycles = 3;
    options.writes = {ParseWrite("a.Available=0"), ParseWrite("a.Available=1@3")};
    Poller poller(Config(meter.port()), fake::Plugin(), *out.sink, options);
    EXPECT_EQ(poller.Run(), kExitOk);

    EXPECT_EQ(out.Log("a"),
              (std::vector<std::string>{"init", "write Available=0", "read 1 1 1", "exchange 5", "read 1 1 0",
                                        "exchange 5", "write Available=1", "read 1 1 0", "exchange 5", "close"}));
    EXPECT_EQ(out.Log("b"), (std::vector<std::string>{"init", "read 1", "exchange 5", "read 1", "exchange 5", "read 1",
                                                      "exchange 5", "close"}));
    // Current values carry the host's time, archive values their own stamp in UTC.
    const auto current = out.Lines("\"device\":\"a\",\"node\":\"\",\"tag\":\"Value\",\"value\":160,\"quality\":192");
    ASSERT_EQ(current.size(), 3u);
    EXPECT_NE(current[0].find("\"archive\":false"), std::string::npos);
    const auto archived = out.Lines(
        "\"tag\":\"Archived\",\"value\":2.5,\"quality\":192,\"quality_name\":\"good\","
        "\"time\":\"2024-03-07T12:00:00Z\",\"archive\":true");
    EXPECT_EQ(archived.size(), 6u);
    EXPECT_EQ(out.Lines("\"tag\":\"Stamped\",\"value\":3.5,\"quality\":192,\"quality_name\":\"good\","
                        "\"time\":\"2024-03-07T12:00:00Z\",\"archive\":false")
                  .size(),
              6u);
    // One record, shown once for each archive as it first appears.
    EXPECT_EQ(out.Lines("\"event\":\"progress\"").size(), 2u);
    EXPECT_EQ(out.Lines("\"archive\":\"slow\",\"records\":1,\"newest\":\"2024-03-07T12:00:00Z\"").size(), 1u);
    EXPECT_EQ(out.Lines("\"archive\":\"3 (hour)\",\"records\":1,\"newest\":\"2024-03-07T12:00:00Z\"").size(), 1u);

    const auto summaries = poller.Summaries();
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].cycles, 3);
    EXPECT_EQ(summaries[0].sent, 3u);
    EXPECT_EQ(summaries[0].answers, 3u);
    EXPECT_EQ(summaries[0].failures, 0u);
    EXPECT_EQ(summaries[0].connects, 1u);
    EXPECT_FALSE(summaries[1].failed);
    EXPECT_EQ(out.Lines("\"event\":\"summary\"").size(), 2u);
}

TEST(ToolsPoller, SilentMeterEndsInFailure) {
    testing::FakeMeter meter;
    Captured out;
    PollOptions options;
    options.cycles = 1;
    PollConfig config = Config(meter.port(), std::to_string(testing::kSilent));
    config.devices[1].timeoutMs = 200;
    Poller poller(config, fake::Plugin(), *out.sink, options);
    EXPECT_EQ(poller.Run(), kExitDeviceFailed);
    const auto summaries = poller.Summaries();
    EXPECT_FALSE(summaries[0].failed);
    EXPECT_TRUE(summaries[1].failed);
    EXPECT_EQ(summaries[1].failures, 1u);
    EXPECT_EQ(out.Log("b")[2], "exchange 0");
}

TEST(ToolsPoller, ConfigurationsTheFileCannotCheck) {
    testing::FakeMeter meter;
    Captured out;
    PollOptions options;
    options.writes = {ParseWrite("c.Available=0")};
    EXPECT_THROW(Poller(Config(meter.port()), fake::Plugin(), *out.sink, options), ConfigError);
    options.writes = {ParseWrite("b.Available=0")};  // b has no such tag
    EXPECT_THROW(Poller(Config(meter.port()), fake::Plugin(), *out.sink, options), ConfigError);
    EXPECT_EQ(meter.accepted(), 0);
}

// The meter raises SIGINT as the request arrives and never answers; without
// the break, the exchange would wait its whole minute and then report silence.
TEST(ToolsPoller, InterruptBreaksTheCycleAndClosesEveryDevice) {
    testing::FakeMeter meter;
    Captured out;
    PollOptions options;
    options.handleSignals = true;
    Poller poller(Config(meter.port(), std::to_string(testing::kInterrupt)), fake::Plugin(), *out.sink, options);
    EXPECT_EQ(poller.Run(), kExitInterrupted);
    const auto b = out.Log("b");
    ASSERT_GE(b.size(), 3u);
    EXPECT_EQ(b[2], fmt::format("exchange {}", kInterrupted));
    EXPECT_EQ(b.back(), "close");
    EXPECT_EQ(out.Log("a").back(), "close");
}

}  // namespace
}  // namespace tools
