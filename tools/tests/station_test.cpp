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
