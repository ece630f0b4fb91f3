// Helpers of the VKT-7 tests: hex frames, CRC repair, a scripted fake channel,
// the simulator as a channel, a driver object over test buffers, and a fixed TZ.
#ifndef TRV_VKT7_TESTS_SUPPORT_H
#define TRV_VKT7_TESTS_SUPPORT_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/crc16.h"
#include "sim/vkt7/vkt7_simulator.h"
#include "vkt7/vkt7_values.h"

namespace vkt7test {

using Bytes = std::vector<uint8_t>;

// "FF FF 01 03" -> bytes.
inline Bytes Hex(std::string_view text) {
    Bytes out;
    int nibble = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

inline std::string ToHex(std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Appends the CRC-16/MODBUS of the bytes (low byte first).
inline Bytes WithCrc(Bytes body) {
    const uint16_t crc = Crc16Modbus(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return body;
}

// Recomputes the last two bytes of a frame whose other bytes a test broke, so
// that a single check fails. A request frame's CRC leaves out the preamble.
inline Bytes RepairCrc(Bytes frame, size_t from = 0) {
    if (frame.size() < from + 2) return frame;
    frame.resize(frame.size() - 2);
    const uint16_t crc = Crc16Modbus(frame.data() + from, frame.size() - from);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A read answer: address, 0x03, N, data, CRC.
inline Bytes ReadAnswer(uint8_t address, const Bytes& data) {
    Bytes body{address, 0x03, static_cast<uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    return WithCrc(body);
}

// A write confirmation echoing register and count 0.
inline Bytes WriteAnswer(uint8_t address, uint16_t reg) {
    return WithCrc({address, 0x10, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF), 0, 0});
}

inline Bytes ExceptionAnswer(uint8_t address, uint8_t function, uint8_t code) {
    return WithCrc({address, function, code, 0x00});
}

// One exchange as the driver made it.
struct ExchangeRecord {
    Bytes tx;          // empty for a drain
    int32_t capacity;  // receive maximum
    int32_t result;
};

// A request the driver sent, decoded: function, register, data (writes).
struct Request {
    uint8_t function = 0;
    uint16_t reg = 0;
    uint8_t byteCount = 0;
    Bytes data;
    int32_t capacity = 0;
};

inline std::optional<Request> Decode(const ExchangeRecord& r) {
    if (r.tx.size() < 10) return std::nullopt;
    Request q;
    q.function = r.tx[3];
    q.reg = static_cast<uint16_t>((r.tx[4] << 8) | r.tx[5]);
    q.capacity = r.capacity;
    if (q.function == 0x10 && r.tx.size() >= 11) {
        q.byteCount = r.tx[8];
        q.data.assign(r.tx.begin() + 9, r.tx.end() - 2);
    }
    return q;
}

// "R 3FF9 21", "W 3FFD 06 00" ...: a compact view of the requests, drains left out.
inline std::vector<std::string> Describe(const std::vector<ExchangeRecord>& records) {
    std::vector<std::string> out;
    char head[32];
    for (const auto& r : records) {
        auto q = Decode(r);
        if (!q) continue;
        if (q->function == 0x03) {
            std::snprintf(head, sizeof head, "R %04X %d", q->reg, q->capacity);
            out.emplace_back(head);
        } else {
            std::snprintf(head, sizeof head, "W %04X", q->reg);
            std::string line = head;
            if (q->byteCount != q->data.size()) {
                std::snprintf(head, sizeof head, " [%02X]", q->byteCount);
                line += head;
            }
            if (!q->data.empty() && q->data.size() <= 4) line += " " + ToHex(q->data);
            if (q->data.size() > 4) line += " (" + std::to_string(q->data.size()) + " bytes)";
            out.push_back(line);
        }
    }
    return out;
}

// A scripted channel: each request (non-empty send) takes the next scripted
// answer; an exhausted script is silence. Drains take from a drain script,
// silence when it is empty. Log lines are kept.
class FakePort {
public:
    // A negative number is a channel failure; bytes are an answer.
    using Reply = std::variant<Bytes, int32_t>;

    void Answer(Bytes bytes) { script.push_back(std::move(bytes)); }
    void Fail(int32_t result) { script.push_back(result); }
    void Silence() { script.push_back(Bytes{}); }

    Vkt7Port port() {
        Vkt7Port p;
        p.context = this;
        p.exchange = &FakePort::Exchange;
        p.log = &FakePort::Log;
        return p;
    }

    std::deque<Reply> script;
    std::deque<Bytes> drains;
    // When set, answers are copied whole (up to the buffer) even past the
    // receive maximum, like a host that ignores the limit.
    bool ignoreCapacity = false;
    std::function<int32_t(std::span<const uint8_t>, std::span<uint8_t>)> responder;  // overrides the script
    std::vector<ExchangeRecord> records;
    std::vector<std::string> logs;

    std::vector<ExchangeRecord> Requests() const {
        std::vector<ExchangeRecord> out;
        for (const auto& r : records)
            if (!r.tx.empty()) out.push_back(r);
        return out;
    }
    size_t DrainCount() const { return records.size() - Requests().size(); }

private:
    static int32_t Exchange(void* context, const uint8_t* tx, int32_t txLength, uint8_t* rx, int32_t rxCapacity) {
        auto* self = static_cast<FakePort*>(context);
        ExchangeRecord rec{Bytes(tx, tx + txLength), rxCapacity, 0};
        int32_t n = 0;
        if (self->responder) {
            n = self->responder(std::span<const uint8_t>(tx, static_cast<size_t>(txLength)),
                                std::span<uint8_t>(rx, static_cast<size_t>(rxCapacity)));
        } else {
            std::optional<Reply> reply;
            if (txLength > 0 && !self->script.empty()) {
                reply = self->script.front();
                self->script.pop_front();
            } else if (txLength == 0 && !self->drains.empty()) {
                reply = self->drains.front();
                self->drains.pop_front();
            }
            if (reply && std::holds_alternative<int32_t>(*reply)) {
                n = std::get<int32_t>(*reply);
            } else if (reply) {
                const Bytes& bytes = std::get<Bytes>(*reply);
                const size_t limit = self->ignoreCapacity ? 265 : static_cast<size_t>(rxCapacity);
                n = static_cast<int32_t>(std::min(bytes.size(), limit));
                if (n > 0) std::memcpy(rx, bytes.data(), static_cast<size_t>(n));
                if (self->ignoreCapacity) n = static_cast<int32_t>(bytes.size());
            }
        }
        rec.result = n;
        self->records.push_back(std::move(rec));
        return n;
    }
    static void Log(void* context, const char* text) { static_cast<FakePort*>(context)->logs.emplace_back(text); }
};

// The simulator behind a FakePort.
inline void ServeSimulator(FakePort& port, sim::Vkt7Simulator& meter) {
    port.responder = [&meter](std::span<const uint8_t> tx, std::span<uint8_t> rx) { return meter.Exchange(tx, rx); };
}

// A driver object over its own buffers and a fake port.
struct TestDriver {
    explicit TestDriver(uint8_t address = 1, int32_t attempts = 3) {
        driver = std::make_unique<VKT7>(1000, 265, send, receive, attempts, nullptr, port.port());
        driver->address = address;
    }
    VKT7& operator*() { return *driver; }
    VKT7* operator->() { return driver.get(); }

    uint8_t send[265] = {};
    uint8_t receive[265] = {};
    FakePort port;
    std::unique_ptr<VKT7> driver;
};

// Sets TZ for the life of a test and restores the one before.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    std::optional<std::string> old_;
};

// Moscow time without daylight saving: UTC+3 all year.
inline constexpr const char* kFixedTz = "MSK-3";

inline boost::posix_time::ptime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return boost::posix_time::ptime(boost::gregorian::date(static_cast<unsigned short>(y),
                                                           static_cast<unsigned short>(mo),
                                                           static_cast<unsigned short>(d)),
                                    boost::posix_time::hours(h) + boost::posix_time::minutes(mi) +
                                        boost::posix_time::seconds(s));
}

// A meter-local time as the UTC FILETIME ticks the driver publishes, through the
// C runtime of this process (its TZ).
inline uint64_t LocalTicks(int y, int mo, int d, int h) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_isdst = -1;
    const int64_t seconds = static_cast<int64_t>(mktime(&t));
    return static_cast<uint64_t>(seconds * 10000000 + 116444736000000000LL);
}

inline uint64_t LocalTicks(boost::posix_time::ptime t) {
    const auto d = t.date();
    return LocalTicks(d.year(), d.month(), d.day(), static_cast<int>(t.time_of_day().hours()));
}

}  // namespace vkt7test

#endif
