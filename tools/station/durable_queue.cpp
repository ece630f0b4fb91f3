#include "tools/station/durable_queue.h"

#include <sqlite3.h>

#include <stdexcept>

namespace station {

namespace {

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    bool ok() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string Column(sqlite3_stmt* s, int i) {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
    return p == nullptr ? std::string() : std::string(p, static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

}  // namespace

DurableQueue::DurableQueue(const std::string& path, int64_t maxEntries) : max_(maxEntries) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error(path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    // FULL: a commit reaches the disk before Push returns, so a reboot loses nothing either.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") ||
        !Exec("CREATE TABLE IF NOT EXISTS queue (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, "
              "payload BLOB NOT NULL, retain INTEGER NOT NULL, archive INTEGER NOT NULL)")) {
        const std::string why = error_;
        sqlite3_close(db_);
        throw std::runtime_error(path + ": " + why);
    }
    Statement count(db_, "SELECT COUNT(*) FROM queue");
    if (count.ok() && sqlite3_step(count.get()) == SQLITE_ROW) size_ = sqlite3_column_int64(count.get(), 0);
}

DurableQueue::~DurableQueue() { sqlite3_close(db_); }

bool DurableQueue::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error_ = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool DurableQueue::DropOldest(bool archive, std::string* dropped) {
    Statement pick(db_, "SELECT id, topic FROM queue WHERE archive = ? ORDER BY id LIMIT 1");
    sqlite3_bind_int(pick.get(), 1, archive ? 1 : 0);
    if (sqlite3_step(pick.get()) != SQLITE_ROW) return false;
    const int64_t id = sqlite3_column_int64(pick.get(), 0);
    if (dropped != nullptr) *dropped = Column(pick.get(), 1);
    Statement del(db_, "DELETE FROM queue WHERE id = ?");
    sqlite3_bind_int64(del.get(), 1, id);
    if (sqlite3_step(del.get()) != SQLITE_DONE) return false;
    --size_;
    ++(archive ? counters_.droppedArchive : counters_.droppedCurrent);
    return true;
}

PushResult DurableQueue::Push(QueueEntry entry, std::string* dropped) {
    std::lock_guard lock(mutex_);
    PushResult result = PushResult::Stored;
    if (!Exec("BEGIN IMMEDIATE")) return PushResult::Failed;
    if (size_ >= max_) {
        if (DropOldest(false, dropped)) {
            result = PushResult::StoredDroppedCurrent;
        } else if (!entry.archive) {
            // Only archive records are waiting: the new current value is the one to go.
            ++counters_.droppedCurrent;
            if (dropped != nullptr) *dropped = entry.topic;
            Exec("ROLLBACK");
            return PushResult::DroppedSelf;
        } else if (DropOldest(true, dropped)) {
            result = PushResult::StoredDroppedArchive;
        }
    }
    Statement insert(db_, "INSERT INTO queue (topic, payload, retain, archive) VALUES (?, ?, ?, ?)");
    sqlite3_bind_text(insert.get(), 1, entry.topic.data(), static_cast<int>(entry.topic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert.get(), 2, entry.payload.data(), static_cast<int>(entry.payload.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert.get(), 3, entry.retain ? 1 : 0);
    sqlite3_bind_int(insert.get(), 4, entry.archive ? 1 : 0);
    if (sqlite3_step(insert.get()) != SQLITE_DONE || !Exec("COMMIT")) {
        error_ = sqlite3_errmsg(db_);
        Exec("ROLLBACK");
        return PushResult::Failed;
    }
    ++size_;
    return result;
}

std::vector<QueueEntry> DurableQueue::After(int64_t after, int limit) {
    std::lock_guard lock(mutex_);
    std::vector<QueueEntry> out;
    Statement select(db_, "SELECT id, topic, payload, retain, archive FROM queue WHERE id > ? ORDER BY id LIMIT ?");
    sqlite3_bind_int64(select.get(), 1, after);
    sqlite3_bind_int(select.get(), 2, limit);
    while (sqlite3_step(select.get()) == SQLITE_ROW) {
        QueueEntry e;
        e.id = sqlite3_column_int64(select.get(), 0);
        e.topic = Column(select.get(), 1);
        e.payload = Column(select.get(), 2);
        e.retain = sqlite3_column_int(select.get(), 3) != 0;
        e.archive = sqlite3_column_int(select.get(), 4) != 0;
        out.push_back(std::move(e));
    }
    return out;
}

void DurableQueue::Remove(const std::vector<int64_t>& ids) {
    std::lock_guard lock(mutex_);
    if (ids.empty() || !Exec("BEGIN IMMEDIATE")) return;
    Statement del(db_, "DELETE FROM queue WHERE id = ?");
    for (const int64_t id : ids) {
        sqlite3_bind_int64(del.get(), 1, id);
        if (sqlite3_step(del.get()) == SQLITE_DONE && sqlite3_changes(db_) > 0) --size_;
        sqlite3_reset(del.get());
    }
    Exec("COMMIT");
}

int64_t DurableQueue::size() {
    std::lock_guard lock(mutex_);
    return size_;
}

QueueCounters DurableQueue::counters() {
    std::lock_guard lock(mutex_);
    return counters_;
}

}  // namespace station
