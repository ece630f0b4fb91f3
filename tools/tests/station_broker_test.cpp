// vktpoll serve against a real mosquitto started here: every reading arrives
// with the payload contract, through broker outages, a kill -9 and a full queue.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tools/tests/broker.h"
#include "tools/tests/child_process.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using namespace testing;

constexpr const char* kPrefix = "heat/bh1";

// Three simulated meters with fixed clocks; depth hours of hour archive,
// count records per cycle, so that archives catch up over several cycles.
std::string Devices(int depth, int count) {
    return fmt::format(R"(devices:
  - name: m7
    model: VKT7
    channel: sim
    period: 200
    sim: {{clock: "2024-03-07 12:00:00"}}
    properties: {{addr: 1, DepthHour: {0}, CountRecord: {1}}}
    tags: [Available, Failure, DateTime]
    groups: {{"1": [{{name: t1, properties: {{addr: 0}}}}], "3": [{{name: t1_hour, properties: {{addr: 0}}}}]}}
  - name: m5
    model: VKT5
    channel: sim
    period: 200
    sim: {{clock: "2024-03-07 12:00:00"}}
    properties: {{address: 1, DepthHour: {0}, CountRecord: {1}}}
    tags: [Available, Failure, DateTime]
    subdevices:
      - {{name: current, type: Current, tags: [{{name: t1, properties: {{NumberArray: 1, NumberHeat: 0, Address: 0, DataType: 0}}}}]}}
      - {{name: hour, type: Archive, properties: {{TypeArchive: 1}},
         tags: [{{name: t1_hour, properties: {{NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}}}]}}
  - name: m9
    model: VKT9New
    channel: sim
    period: 200
    sim: {{clock: "2024-03-07 12:00:00"}}
    properties: {{address: 1, DepthHour: {0}, CountRecord: {1}}}
    tags: [Available, Failure]
    subdevices:
      - {{name: current, type: Current, tags: [{{name: T_supply, properties: {{Address: 40001, DataType: 0}}}}]}}
      - {{name: hour, type: Archive, properties: {{TypeArchive: 0, LengthByteAnswer: 24, LastIndexRegister: 40101}},
         tags: [{{name: Q_hour, properties: {{AddressByte: 4, DataType: 0, Koeff: 1}}}}]}}
)",
                       depth, count);
}

struct Station : ::testing::Test {
    fs::path dir = [] {
        char name[] = "/tmp/trv-station-XXXXXX";
        return fs::path(::mkdtemp(name));
    }();
    ~Station() override { fs::remove_all(dir); }

    // The file with an mqtt section; mqttExtra replaces the credentials.
    std::string Write(uint16_t port, const std::string& devices, const std::string& mqttExtra = "",
                      int queueMax = 100000) {
        const std::string credentials =
            mqttExtra.empty() ? fmt::format("  username: {}\n  password_file: {}\n", Broker::kUser,
                                            (dir / "password").string())
                              : mqttExtra;
        std::ofstream(dir / "password") << Broker::kPassword << "\n";
        const fs::path path = dir / "station.yaml";
        std::ofstream(path) << fmt::format("mqtt:\n  url: mqtt://127.0.0.1:{}\n  client_id: st\n  prefix: {}\n"
                                           "  queue: {}\n  queue_max: {}\n{}",
                                           port, kPrefix, (dir / "queue.db").string(), queueMax, credentials)
                            << devices;
        return path.string();
    }
    std::unique_ptr<ChildProcess> Serve(const std::string& config, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{TRV_VKTPOLL, "serve", config, "--json"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(argv, std::vector<std::string>{"TZ=UTC"});
    }
};

// What the station printed as published, in the form the subscriber sees it.
struct Published {
    std::string topic;
    std::string ts;
    std::string value;
    bool archive;
    std::string key() const { return topic + "|" + ts + "|" + value; }
};

std::vector<Published> PublishedBy(const ChildProcess& p) {
    std::vector<Published> out;
    for (const auto& line : p.LinesWith("\"event\":\"publish\"")) {
        const std::string node = JsonField(line, "node");
        out.push_back({fmt::format("{}/{}/{}/{}", kPrefix, JsonField(line, "device"), node.empty() ? "_" : node,
                                   JsonField(line, "tag")),
                       JsonField(line, "time"), JsonField(line, "value"), JsonField(line, "archive") == "true"});
    }
    return out;
}

// The station's log (stderr) holds part: waits for it, bounded.
bool LogHas(const ChildProcess& p, const std::string& part, std::chrono::milliseconds limit = 60s) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(20ms)) {
        if (p.ErrorText().find(part) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
    }
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

std::string Key(const Message& m) {
    return m.topic + "|" + JsonField(m.payload, "ts") + "|" + JsonField(m.payload, "value");
}

// Per device, the archive records in the order they first arrived.
std::map<std::string, std::vector<std::string>> ArchiveOrder(const std::vector<std::string>& keys) {
    std::map<std::string, std::vector<std::string>> out;
    std::set<std::string> seen;
    for (const auto& k : keys) {
        if (!seen.insert(k).second) continue;
        const size_t device = k.find('/', std::string(kPrefix).size() + 1);
        out[k.substr(0, device)].push_back(k);
    }
    return out;
}

std::vector<std::string> ArchiveKeys(const std::vector<Published>& published) {
    std::vector<std::string> out;
    for (const auto& p : published)
        if (p.archive) out.push_back(p.key());
    return out;
}

std::vector<std::string> ArchiveKeys(const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages)
        if (JsonField(m.payload, "archive") == "true") out.push_back(Key(m));
    return out;
}

TEST_F(Station, EveryValueAndArchiveRecordOfEveryModelArrivesWithThePayloadContract) {
    Broker broker(dir);
    Subscriber sub(broker.port(), std::string(kPrefix) + "/#");
    ASSERT_TRUE(sub.WaitSubscribed());
    auto station = Serve(Write(broker.port(), Devices(6, 3)), {"--cycles", "3"});
    ASSERT_EQ(station->Wait(), 0) << station->ErrorText();
    const auto published = PublishedBy(*station);
    ASSERT_FALSE(published.empty());
    std::set<std::string> want;
    for (const auto& p : published) want.insert(p.key());
    ASSERT_TRUE(sub.Until([&] {
        std::set<std::string> got;
        for (const auto& m : sub.locked_messages()) got.insert(Key(m));
        return std::includes(got.begin(), got.end(), want.begin(), want.end());
    })) << station->ErrorText();

    const std::regex contract(R"(\{"value":[^,]+,"quality":\d+,"q":"[^"]+","ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",)"
                              R"("archive":(true|false)\})");
    std::map<std::string, int> archives;
    bool online = false, offline = false, status = false;
    for (const Message& m : sub.messages()) {
        online |= m.topic == std::string(kPrefix) + "/online" && m.payload == "true";
        offline |= m.topic == std::string(kPrefix) + "/online" && m.payload == "false";
        if (m.topic.ends_with("/status")) {
            status = true;
            EXPECT_NE(m.payload.find("\"answers\":"), std::string::npos) << m.payload;
            continue;
        }
        if (m.topic.ends_with("/online")) continue;
        EXPECT_TRUE(std::regex_match(m.payload, contract)) << m.topic << " " << m.payload;
        const bool archive = JsonField(m.payload, "archive") == "true";
        if (archive) ++archives[m.topic.substr(0, m.topic.find('/', std::string(kPrefix).size() + 1))];
    }
    EXPECT_TRUE(online && offline && status);
    EXPECT_EQ(archives.size(), 3u) << "an archive record of every model";

    // A newcomer gets the last current values, the status and the online state, never an archive record.
    Subscriber late(broker.port(), std::string(kPrefix) + "/#", "late");
    ASSERT_TRUE(late.Until([&] {
        const auto& got = late.locked_messages();
        return std::any_of(got.begin(), got.end(), [](const Message& m) { return m.topic.ends_with("/m9/current/T_supply"); }) &&
               std::any_of(got.begin(), got.end(), [](const Message& m) { return m.topic.ends_with("/m7/status"); });
    }));
    for (const Message& m : late.messages()) {
        EXPECT_TRUE(m.retained) << m.topic;
        EXPECT_NE(JsonField(m.payload, "archive"), "true") << m.topic;
    }
}

TEST_F(Station, EveryArchiveRecordArrivesInOrderThroughABrokerOutage) {
    Broker broker(dir);
    Subscriber sub(broker.port(), std::string(kPrefix) + "/#");
    ASSERT_TRUE(sub.WaitSubscribed());
    // One record per cycle: the archives catch up over twelve cycles.
    auto station = Serve(Write(broker.port(), Devices(12, 1)));
    ASSERT_TRUE(sub.Until([&] { return !ArchiveKeys(sub.locked_messages()).empty(); })) << station->ErrorText();
    broker.Stop();
    const size_t before = ArchiveKeys(PublishedBy(*station)).size();
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         ArchiveKeys(PublishedBy(*station)).size() < before + 6 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(ArchiveKeys(PublishedBy(*station)).size(), before + 6) << "records read while the broker was away";
    ASSERT_TRUE(LogHas(*station, "retrying in")) << "the outage was noticed";
    ASSERT_TRUE(broker.Start());
    // Until every device has read its whole archive and the subscriber has it all.
    ASSERT_TRUE(sub.Until([&] {
        const auto want = ArchiveOrder(ArchiveKeys(PublishedBy(*station)));
        const auto got = ArchiveOrder(ArchiveKeys(sub.locked_messages()));
        return want.size() == 3 && got == want &&
               std::all_of(want.begin(), want.end(), [](const auto& d) { return d.second.size() >= 12; });
    })) << station->ErrorText();
    station->Signal(SIGTERM);
    EXPECT_EQ(station->Wait(), 0);
}

TEST_F(Station, NothingPublishedBeforeAKillIsLost) {
    const uint16_t port = FreePort();  // no broker yet: everything waits in the queue
    const std::string config = Write(port, Devices(12, 2));
    auto first = Serve(config);
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         ArchiveKeys(PublishedBy(*first)).size() < 9 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    first->Signal(SIGKILL);
    first->Wait();
    const auto beforeKill = PublishedBy(*first);
    ASSERT_GE(ArchiveKeys(beforeKill).size(), 9u);

    Broker broker(dir);
    Subscriber sub(broker.port(), std::string(kPrefix) + "/#");
    ASSERT_TRUE(sub.WaitSubscribed());
    auto second = Serve(Write(broker.port(), Devices(12, 2)), {"--cycles", "1"});
    ASSERT_EQ(second->Wait(), 0) << second->ErrorText();
    std::set<std::string> want;
    for (const auto& p : beforeKill) want.insert(p.key());
    EXPECT_TRUE(sub.Until([&] {
        std::set<std::string> got;
        for (const auto& m : sub.locked_messages()) got.insert(Key(m));
        return std::includes(got.begin(), got.end(), want.begin(), want.end());
    })) << second->ErrorText();
}

TEST_F(Station, AFullQueueKeepsItsBoundAndDropsCurrentValuesFirst) {
    // No broker: everything stays in a queue of 30 entries.
    auto station = Serve(Write(FreePort(), Devices(12, 2), "", 30), {"--cycles", "4"});
    ASSERT_EQ(station->Wait(), 0) << station->ErrorText();
    const auto published = PublishedBy(*station);
    const size_t archives = ArchiveKeys(published).size();
    ASSERT_GE(archives, 12u);
    ASSERT_LE(archives, 30u) << "the case needs room for every archive record";
    ASSERT_GT(published.size(), 30u);

    const std::string log = station->ErrorText();
    EXPECT_NE(log.find("current value heat/bh1/"), std::string::npos) << log;
    EXPECT_EQ(log.find("archive record heat/bh1/"), std::string::npos) << log;
    // What is left on disk: the bound, every archive record among it.
    ChildProcess sqlite({TRV_SQLITE3, (dir / "queue.db").string(),
                         "SELECT COUNT(*), SUM(archive) FROM queue"});
    ASSERT_EQ(sqlite.Wait(), 0);
    EXPECT_EQ(sqlite.LinesWith(), std::vector<std::string>{fmt::format("30|{}", archives)});
}

TEST_F(Station, BadBrokerSettingsAreLoggedAndRetriedWithBackOff) {
    Broker broker(dir);
    std::ofstream(dir / "wrong") << "not-the-password\n";
    std::ofstream(dir / "bad-ca.pem") << "-----BEGIN CERTIFICATE-----\nnot a certificate\n-----END CERTIFICATE-----\n";
    struct Case {
        const char* name;
        uint16_t port;
        std::string mqtt;  // credentials and TLS lines
        const char* scheme;
        const char* line;
    };
    const Case cases[] = {
        {"wrong password", broker.port(),
         fmt::format("  username: {}\n  password_file: {}\n", Broker::kUser, (dir / "wrong").string()), "mqtt",
         "refused the connection: Connection Refused: not authorised"},
        {"unreachable port", FreePort(), "  username: x\n", "mqtt", "Connection refused"},
        {"bad CA file", broker.port(), fmt::format("  ca_file: {}\n", (dir / "bad-ca.pem").string()), "mqtts",
         "TLS failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string config = Write(c.port, Devices(1, 1), c.mqtt);
        if (std::string(c.scheme) == "mqtts") {
            std::ifstream in(config);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            text.replace(text.find("mqtt://"), 7, "mqtts://");
            std::ofstream(config) << text;
        }
        auto station = Serve(config);
        // The first attempt and the next one after a longer wait.
        const bool second = LogHas(*station, "retrying in 2 s");
        station->Signal(SIGTERM);
        EXPECT_EQ(station->Wait(), 0);
        const std::string log = station->ErrorText();
        ASSERT_TRUE(second) << log;
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_NE(log.find("retrying in 1 s"), std::string::npos) << log;
        EXPECT_EQ(log.find(Broker::kPassword), std::string::npos);
        EXPECT_EQ(log.find("not-the-password"), std::string::npos);
    }
}

TEST_F(Station, OnlyWellFormedCommandsReachThePlugin) {
    Broker broker(dir);
    Subscriber client(broker.port(), std::string(kPrefix) + "/m9/_/Available", "client");
    ASSERT_TRUE(client.WaitSubscribed());
    auto station = Serve(Write(broker.port(), Devices(1, 1)));
    ASSERT_TRUE(station->WaitFor("\"event\":\"cycle\""));
    ASSERT_TRUE(LogHas(*station, "mqtt: connected"));
    const std::string set = std::string(kPrefix) + "/m9/set/";
    const std::pair<std::string, std::string> bad[] = {
        {set + "Available", "abc"}, {set + "Available", "1@3"}, {set + "Failure", "1"},
        {std::string(kPrefix) + "/nodevice/set/Available", "0"}, {set + "Available", ""}};
    for (const auto& [topic, payload] : bad) client.Publish(topic, payload);
    client.Publish(set + "Available", "0");
    // The good one comes back as the published value.
    ASSERT_TRUE(client.Until([&] {
        const auto& got = client.locked_messages();
        return std::any_of(got.begin(), got.end(), [](const Message& m) {
            const std::string v = JsonField(m.payload, "value");
            return v == "0" || v == "false";
        });
    })) << station->ErrorText();
    station->Signal(SIGTERM);
    EXPECT_EQ(station->Wait(), 0);
    const std::string log = station->ErrorText();
    EXPECT_EQ(Occurrences(log, "refused:"), std::size(bad)) << log;
    EXPECT_EQ(Occurrences(log, "client writes"), 1u) << log;
    EXPECT_NE(log.find("client writes 0 to Available"), std::string::npos) << log;
}

}  // namespace
}  // namespace tools
