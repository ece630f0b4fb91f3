// The station's durable queue and its reading of command messages.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "tools/station/durable_queue.h"
#include "tools/station/station.h"

namespace station {
namespace {

namespace fs = std::filesystem;

struct TempFile {
    fs::path path = [] {
        char name[] = "/tmp/trv-queue-XXXXXX";
        return fs::path(::mkdtemp(name)) / "queue.db";
    }();
    ~TempFile() { fs::remove_all(path.parent_path()); }
};

QueueEntry Entry(const std::string& topic, bool archive) { return {0, topic, "{}", !archive, archive}; }

std::string Topics(DurableQueue& q) {
    std::string out;
    for (const auto& e : q.After(0, 100)) out += e.topic + " ";
    return out;
}

TEST(DurableQueue, FullQueueDropsCurrentValuesFirstAndCountsEveryDrop) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, bool>> pushes;  // topic, archive; bound 3
        std::string left;
        uint64_t droppedCurrent, droppedArchive;
    };
    const Case cases[] = {
        {"oldest current value goes", {{"c1", false}, {"a1", true}, {"c2", false}, {"a2", true}}, "a1 c2 a2 ", 1, 0},
        {"an archive record pushes out current values",
         {{"c1", false}, {"c2", false}, {"a1", true}, {"a2", true}, {"a3", true}},
         "a1 a2 a3 ", 2, 0},
        {"a new current value goes when only archives wait",
         {{"a1", true}, {"a2", true}, {"a3", true}, {"c1", false}},
         "a1 a2 a3 ", 1, 0},
        {"the oldest archive record goes last of all",
         {{"a1", true}, {"a2", true}, {"a3", true}, {"a4", true}},
         "a2 a3 a4 ", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file;
        DurableQueue q(file.path.string(), 3);
        for (const auto& [topic, archive] : c.pushes) q.Push(Entry(topic, archive));
        EXPECT_EQ(Topics(q), c.left);
        EXPECT_EQ(q.size(), 3);
        EXPECT_EQ(q.counters().droppedCurrent, c.droppedCurrent);
        EXPECT_EQ(q.counters().droppedArchive, c.droppedArchive);
    }
}

TEST(DurableQueue, EntriesOutliveTheProcessInOrderUntilRemoved) {
    TempFile file;
    {
        DurableQueue q(file.path.string(), 100);
        for (const char* t : {"a", "b", "c", "d"}) q.Push(Entry(t, true));
        const auto first = q.After(0, 2);
        ASSERT_EQ(first.size(), 2u);
        q.Remove({first[0].id});
        EXPECT_EQ(Topics(q), "b c d ");
        EXPECT_EQ(q.After(first[1].id, 10).front().topic, "c");
    }
    DurableQueue reopened(file.path.string(), 100);
    EXPECT_EQ(reopened.size(), 3);
    EXPECT_EQ(Topics(reopened), "b c d ");
}

TEST(Command, OnlyControlTagsWithAnIntegerValueAreTaken) {
    struct Case {
        const char* topic;
        const char* payload;
        bool taken;
        int32_t value;
    };
    const Case cases[] = {
        {"heat/m1/set/Available", "0", true, 0},
        {"heat/m1/set/Available", "true", true, 1},
        {"heat/m1/set/UnschedulerRequest", "1", true, 1},
        {"heat/m1/set/Available", "", false, 0},
        {"heat/m1/set/Available", "abc", false, 0},
        {"heat/m1/set/Available", "1@3", false, 0},
        {"heat/m1/set/Available", "1.5", false, 0},
        {"heat/m1/set/Available", "{\"value\":1}", false, 0},
        {"heat/m1/set/Failure", "1", false, 0},
        {"heat/m1/set/t1", "1", false, 0},
        {"other/m1/set/Available", "1", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.topic) + " " + c.payload);
        std::string why;
        const auto command = ParseCommand("heat", c.topic, c.payload, why);
        ASSERT_EQ(command.has_value(), c.taken) << why;
        if (!command) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(command->device, "m1");
        EXPECT_EQ(command->value, c.value);
    }
}

TEST(MqttSection, CheckedLikeEveryOtherKey) {
    const std::string devices = "devices:\n  - {name: a, model: VKT7, channel: sim}\n";
    const std::pair<std::string, std::string> bad[] = {
        {"mqtt: broker\n", "s.yaml:1:7: expected \"mqtt\" to be a map"},
        {"mqtt: {prefix: x}\n", "s.yaml:1:7: missing \"url\""},
        {"mqtt: {url: http://h}\n", "s.yaml:1:13: \"url\": expected mqtt://host:port or mqtts://host:port"},
        {"mqtt: {url: mqtt://h:0}\n", "s.yaml:1:13: \"url\": expected a port number"},
        {"mqtt: {url: mqtt://:1883}\n", "s.yaml:1:13: \"url\": expected a host"},
        {"mqtt: {url: mqtt://h, qos: 3}\n", "s.yaml:1:28: \"qos\": expected 0 to 2, got 3"},
        {"mqtt: {url: mqtt://h, pasword_file: p}\n", "s.yaml:1:23: unknown key \"pasword_file\""},
        {"mqtt: {url: mqtt://h, password_file: p}\n", "s.yaml:1:38: \"password_file\" needs \"username\""},
        {"mqtt: {url: mqtt://h, ca_file: c.pem}\n", "s.yaml:1:32: \"ca_file\" needs an mqtts:// url"},
        {"mqtt: {url: mqtt://h, prefix: heat/#}\n", "s.yaml:1:31: \"prefix\": expected topic levels"},
        {"mqtt: {url: mqtt://h, queue_max: 5}\n", "\"queue_max\": expected 10 to"},
    };
    for (const auto& [yaml, expected] : bad) {
        try {
            tools::LoadConfigText(yaml + devices, "s.yaml");
            ADD_FAILURE() << "loaded " << yaml;
        } catch (const tools::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
    const auto m = tools::LoadConfigText("mqtt: {url: \"mqtts://broker.example.net\", username: u, password_file: p, "
                                         "ca_file: c.pem, prefix: heat/bh1, qos: 2}\n" + devices, "s.yaml").mqtt;
    ASSERT_TRUE(m.has_value());
    EXPECT_TRUE(m->tls);
    EXPECT_EQ(m->host, "broker.example.net");
    EXPECT_EQ(m->port, 8883);  // the TLS default
    EXPECT_EQ(m->qos, 2);
    EXPECT_EQ(m->prefix, "heat/bh1");
}

TEST(Contract, TopicAndPayloadOfValuesAndArchiveRecords) {
    tools::Publication archive{"m1", "hour", "Q", {hostemu::ValueKind::Double, 52993.5, {}}, 192,
                               133542756000000000ULL, true};
    EXPECT_EQ(ValueTopic("heat/bh1", archive), "heat/bh1/m1/hour/Q");
    EXPECT_EQ(ValuePayload(archive),
              R"({"value":52993.5,"quality":192,"q":"good","ts":"2024-03-07T09:00:00Z","archive":true})");
    tools::Publication own{"m1", "", "DateTime", {hostemu::ValueKind::Text, 0, "07.03.2024 \"x\""}, 0, 0, false};
    EXPECT_EQ(ValueTopic("heat", own), "heat/m1/_/DateTime");
    EXPECT_NE(ValuePayload(own).find(R"("value":"07.03.2024 \"x\"")"), std::string::npos);
    tools::Publication nan{"m1", "", "t", {hostemu::ValueKind::Double, std::nan(""), {}}, 16, 0, false};
    EXPECT_NE(ValuePayload(nan).find(R"("value":null)"), std::string::npos);
}

}  // namespace
}  // namespace station
