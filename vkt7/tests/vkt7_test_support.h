// Helpers of the VKT-7 tests: hex frames, a scripted fake channel, a driver over test buffers, a fixed TZ.
#ifndef TRV_VKT7_TESTS_SUPPORT_H
#define TRV_VKT7_TESTS_SUPPORT_H

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <sstream>
#include <variant>

#include "common/crc16.h"
#include "common/tests/scoped_tz.h"
#include "sim/vkt7/vkt7_simulator.h"
#include "vkt7/vkt7_values.h"

namespace vkt7test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline Bytes Hex(const std::string& text) {  // "FF FF 01 03" -> bytes
    Bytes out;
    std::istringstream in(text);
    for (std::string b; in >> b;) out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
    return out;
}

inline std::string ToHex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (uint8_t v : bytes) std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", v), out += b;
    return out;
}

// Appends the CRC-16/MODBUS, low byte first; RepairCrc recomputes it over a frame a test broke elsewhere.
inline Bytes WithCrc(Bytes body, size_t from = 0) {  // the CRC of the bytes from `from` on
    const uint16_t crc = Crc16Modbus(body.data() + from, body.size() - from);
    body.insert(body.end(), {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)});
    return body;
}
inline Bytes RepairCrc(Bytes frame) { return WithCrc(Bytes(frame.begin(), frame.end() - 2)); }

inline Bytes ReadAnswer(uint8_t address, const Bytes& data) {
    Bytes body{address, 0x03, static_cast<uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    return WithCrc(body);
}
inline Bytes WriteAnswer(uint8_t address, uint16_t reg) {
    return WithCrc({address, 0x10, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF), 0, 0});
}
inline Bytes ExceptionAnswer(uint8_t address, uint8_t function, uint8_t code) {
    return WithCrc({address, function, code, 0x00});
}

struct ExchangeRecord {  // an empty tx is a drain
    Bytes tx;
    int32_t capacity, result;
};

// "R 3FF9 21" (register, receive maximum), "W 3FFD 06 00", "W 3FFF [CC] 80 00 00 00" (byte-count
// field when it differs from the data length), "W 3FFF (96 bytes)"; drains left out.
inline Lines Describe(const std::vector<ExchangeRecord>& records) {
    Lines out;
    for (const auto& r : records) {
        if (r.tx.size() < 10) continue;
        std::string line = (r.tx[3] == 0x03 ? "R " : "W ") + ToHex({r.tx[4]}) + ToHex({r.tx[5]});
        if (r.tx[3] == 0x03) {
            out.push_back(line + " " + std::to_string(r.capacity));
            continue;
        }
        const Bytes data(r.tx.begin() + 9, r.tx.end() - 2);
        if (r.tx[8] != data.size()) line += " [" + ToHex({r.tx[8]}) + "]";
        if (data.size() > 4) line += " (" + std::to_string(data.size()) + " bytes)";
        else if (!data.empty()) line += " " + ToHex(data);
        out.push_back(line);
    }
    return out;
}

inline long Count(const Lines& lines, const std::string& line) { return std::count(lines.begin(), lines.end(), line); }

// A scripted channel: each request takes the next scripted answer whole (a negative number is a channel
// failure), each drain the next drain answer; an empty script is silence. A responder answers instead.
struct FakePort {
    using Reply = std::variant<Bytes, int32_t>;
    std::deque<Reply> script, drains;
    std::function<int32_t(std::span<const uint8_t>, std::span<uint8_t>)> responder;
    std::vector<ExchangeRecord> records;
    Lines logs;

    void Answer(Bytes bytes) { script.push_back(std::move(bytes)); }
    Lines Sent() const { return Describe(records); }
    void Serve(sim::Vkt7Simulator& meter) {
        responder = [&meter](std::span<const uint8_t> tx, std::span<uint8_t> rx) { return meter.Exchange(tx, rx); };
    }
    Vkt7Port port() {
        return Vkt7Port{this, [](void* c, const uint8_t* tx, int32_t n, uint8_t* rx, int32_t cap) {
                            return static_cast<FakePort*>(c)->Exchange(Bytes(tx, tx + n), rx, cap);
                        },
                        [](void* c, const char* text) { static_cast<FakePort*>(c)->logs.emplace_back(text); }};
    }
    int32_t Exchange(Bytes tx, uint8_t* rx, int32_t cap) {
        auto& queue = tx.empty() ? drains : script;
        int32_t n = 0;
        if (responder) {
            n = responder(tx, std::span<uint8_t>(rx, static_cast<size_t>(cap)));
        } else if (!queue.empty()) {
            const Reply reply = queue.front();
            queue.pop_front();
            const Bytes* b = std::get_if<Bytes>(&reply);
            n = b ? static_cast<int32_t>(b->size()) : std::get<int32_t>(reply);
            if (b) std::memcpy(rx, b->data(), std::min<size_t>(b->size(), 265));  // past cap, as a careless host may
        }
        records.push_back(ExchangeRecord{std::move(tx), cap, n});
        return n;
    }
};

struct TestDriver {  // a driver object over its own buffers and a fake port
    explicit TestDriver(uint8_t address = 1, int32_t attempts = 3)
        : driver(std::make_unique<VKT7>(1000, 265, send, receive, attempts, nullptr, port.port())) {
        driver->address = address;
    }
    VKT7* operator->() { return driver.get(); }
    uint8_t send[265] = {}, receive[265] = {};
    FakePort port;
    std::unique_ptr<VKT7> driver;
};

// Every test binary of the driver runs in Moscow time, UTC+3 all year: record times map to UTC unambiguously.
inline const ScopedTz kMoscow{"MSK-3"};

inline boost::posix_time::ptime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    using namespace boost::posix_time;
    return ptime(boost::gregorian::date(static_cast<unsigned short>(y), static_cast<unsigned short>(mo),
                                        static_cast<unsigned short>(d)), hours(h) + minutes(mi) + seconds(s));
}
inline uint64_t UtcTicks(boost::posix_time::ptime utc) {  // FILETIME ticks
    return static_cast<uint64_t>((utc - At(1601, 1, 1)).total_microseconds()) * 10;
}

inline ArchivePos Pos(int d, int m, int y, int h) {
    auto b = [](int v) { return static_cast<uint8_t>(v); };
    return ArchivePos{b(d), b(m), b(y), b(h)};
}
inline std::string PosText(const ArchivePos& p) {
    return std::to_string(p.day) + "." + std::to_string(p.month) + "." + std::to_string(p.year) + " " +
           std::to_string(p.hour);
}

}  // namespace vkt7test

#endif
