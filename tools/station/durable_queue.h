// Publications waiting for the broker's acknowledgement, on disk (SQLite in WAL
// mode) so that neither a kill -9 nor a reboot loses them. Entries leave in the
// order they came (so per device too); a bounded size, current values dropped
// before any archive record. Safe to use from several threads.
#ifndef TRV_TOOLS_STATION_DURABLE_QUEUE_H
#define TRV_TOOLS_STATION_DURABLE_QUEUE_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace station {

struct QueueEntry {
    int64_t id = 0;  // order of arrival; set by Push
    std::string topic;
    std::string payload;
    bool retain = false;
    bool archive = false;  // never dropped while a current value could go instead
};

enum class PushResult { Stored, StoredDroppedCurrent, DroppedSelf, StoredDroppedArchive, Failed };

struct QueueCounters {
    uint64_t droppedCurrent = 0;
    uint64_t droppedArchive = 0;
};

class DurableQueue {
public:
    // Opens or creates the file; throws std::runtime_error with SQLite's reason.
    DurableQueue(const std::string& path, int64_t maxEntries);
    ~DurableQueue();
    DurableQueue(const DurableQueue&) = delete;
    DurableQueue& operator=(const DurableQueue&) = delete;

    // dropped gets the topic of an entry removed to make room, if any.
    PushResult Push(QueueEntry entry, std::string* dropped = nullptr);
    // Up to limit entries after id `after`, oldest first.
    std::vector<QueueEntry> After(int64_t after, int limit);
    // The broker has them: one commit for all.
    void Remove(const std::vector<int64_t>& ids);

    int64_t size();
    QueueCounters counters();
    const std::string& error() const { return error_; }

private:
    bool Exec(const char* sql);
    bool DropOldest(bool archive, std::string* dropped);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    int64_t max_;
    int64_t size_ = 0;
    QueueCounters counters_;
    std::string error_;
};

}  // namespace station

#endif
