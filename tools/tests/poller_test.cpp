// The poller's scheduling, as the host does it, seen through a plugin that logs
// what it is asked; the end-to-end runs cover the rest with the real plugin.
#include "tools/poller.h"

#include <cstdio>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "common/platform.h"
#include "host/host_api.h"
#include "tools/tests/fake_meter.h"

namespace tools {
namespace {

namespace fake {

int32_t Nothing() { return 0; }
int32_t Init(DeviceHandle d) { return HostLog(d, "init"), 0; }
int32_t Close(DeviceHandle d) { return HostLog(d, "close"), 0; }

int32_t Read(DeviceHandle d) {
    std::string due = fmt::format("read {}", HostIsReadDue(d));
    for (uint32_t i = 0; i < HostGetSubdeviceCount(d); ++i)
        due += fmt::format(" {}", HostIsReadDue(HostGetSubdevice(d, i)));
    HostLog(d, due.c_str());
    const uint8_t tx[] = {testing::kFive, 0};
    uint8_t rx[32];
    const int32_t r = HostGetExchange(d)(d, tx, 2, rx, sizeof rx);
    HostLog(d, fmt::format("exchange {}", r).c_str());
    if (r <= 0) return 0;
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

hostemu::PluginEntryPoints Plugin() {
    return {[](void*) { return Nothing(); }, Init, Nothing, Read, [](DeviceHandle) { return Nothing(); }, Write, Close};
}

}  // namespace fake

// Device a has a subdevice due every cycle and one due once an hour, b an
// archive group. (A device ending in failure is in the end-to-end runs.)
TEST(ToolsPoller, SchedulesAsTheHost) {
    testing::FakeMeter meter;
    const PollConfig config = LoadConfigText(fmt::format(R"(
devices:
  - name: a
    model: VKT5
    channel: tcp://127.0.0.1:{0}
    period: 0
    gap: 100
    tags: [Value, Failure, Stamped, Available]
    subdevices:
      - {{name: fast, type: Current, period: 0}}
      - {{name: slow, type: Archive, period: 3600000, tags: [Archived]}}
  - {{name: b, model: VKT7, channel: "tcp://127.0.0.1:{0}", period: 0, gap: 100, tags: [Value, Failure, Stamped],
     groups: {{"3": [Archived]}}}}
)", meter.port()), "test.yaml");
    char* data = nullptr;
    size_t size = 0;
    std::FILE* file = open_memstream(&data, &size);
    PollOptions options;
    options.cycles = 3;
    options.writes = {ParseWrite("a.Available=0"), ParseWrite("a.Available=1@3")};
    {
        const auto sink = MakeSink(OutputMode::Json, file);
        Poller poller(config, fake::Plugin(), *sink, options);
        EXPECT_EQ(poller.Run(), kExitOk);
    }
    std::fclose(file);
    const std::string all(data, size);
    std::free(data);
    const auto lines = [&all](const std::string& part) {
        std::vector<std::string> out;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1))
            out.push_back(all.substr(all.rfind('\n', at) + 1, all.find('\n', at) - all.rfind('\n', at) - 1));
        return out;
    };
    const auto log = [&all](const std::string& device) {
        std::vector<std::string> out;
        const std::string key = "\"event\":\"log\",\"device\":\"" + device + "\",\"node\":\"\",\"text\":\"";
        for (size_t at = all.find(key); at != std::string::npos; at = all.find(key, at + 1))
            out.push_back(all.substr(at + key.size(), all.find('"', at + key.size()) - at - key.size()));
        return out;
    };
    // Writes before the read of their cycle; the slow subdevice due only at the first.
    EXPECT_EQ(log("a"), (std::vector<std::string>{"init", "write Available=0", "read 1 1 1", "exchange 5",
                                                  "read 1 1 0", "exchange 5", "write Available=1", "read 1 1 0",
                                                  "exchange 5", "close"}));
    EXPECT_EQ(log("b"), (std::vector<std::string>{"init", "read 1", "exchange 5", "read 1", "exchange 5", "read 1",
                                                  "exchange 5", "close"}));
    // Current values carry the host's time, archive values their own stamp in UTC.
    const auto current = lines("\"device\":\"a\",\"node\":\"\",\"tag\":\"Value\",\"value\":160,\"quality\":192");
    ASSERT_EQ(current.size(), 3u);
    EXPECT_TRUE(current[0].ends_with("\"archive\":false}")) << current[0];
    for (const auto& [tag, archive] :
         {std::pair{"\"Archived\",\"value\":2.5", "true"}, std::pair{"\"Stamped\",\"value\":3.5", "false"}}) {
        const std::string part = fmt::format("\"tag\":{},\"quality\":192,\"quality_name\":\"good\","
                                             "\"time\":\"2024-03-07T12:00:00Z\",\"archive\":{}}}", tag, archive);
        EXPECT_EQ(lines(part).size(), 6u) << part;
    }
    // One record, shown once for each archive as it first appears.
    EXPECT_EQ(lines("\"event\":\"progress\"").size(), 2u);
    EXPECT_EQ(lines("\"archive\":\"slow\",\"records\":1,\"newest\":\"2024-03-07T12:00:00Z\"").size(), 1u);
    EXPECT_EQ(lines("\"archive\":\"3 (hour)\",\"records\":1,\"newest\":\"2024-03-07T12:00:00Z\"").size(), 1u);
    EXPECT_EQ(lines("\"event\":\"summary\"").size(), 2u);
}

}  // namespace
}  // namespace tools
