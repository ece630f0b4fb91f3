#include "sim/meter_simulator.h"

#include <algorithm>
#include <charconv>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"

namespace sim {

namespace pt = boost::posix_time;

MeterClock::MeterClock(pt::ptime start) : start_(start), since_(std::chrono::steady_clock::now()) {}

pt::ptime MeterClock::Now() const {
    if (!running_) return start_;
    const auto elapsed = std::chrono::steady_clock::now() - since_;
    return start_ + pt::microseconds(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void MeterClock::Set(pt::ptime t) {
    start_ = t;
    since_ = std::chrono::steady_clock::now();
}

void MeterClock::Advance(pt::time_duration d) { Set(Now() + d); }

void MeterClock::SetRunning(bool running) {
    Set(Now());
    running_ = running;
}

int32_t MeterSimulator::Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx) {
    if (faults_.channelResult < 0) return faults_.channelResult;
    if (!tx.empty()) {
        ++requests_;
        late_ = false;
        answer_.clear();
        Answer(tx, answer_);
        const bool faulty = faults_.faultCount != 0;
        if (faulty && faults_.faultCount > 0) --faults_.faultCount;
        if (faulty && !answer_.empty()) {
            if (faults_.silence) answer_.clear();
            if (faults_.wrongAddress && answer_.size() > AddressOffset()) {
                ++answer_[AddressOffset()];
                RepairCrc16(answer_);
            }
            if (faults_.corruptCrc && !answer_.empty()) answer_.back() ^= 0xFF;
            const size_t cut = std::min<size_t>(answer_.size(), static_cast<size_t>(std::max(0, faults_.truncateBy)));
            answer_.resize(answer_.size() - cut);
            answer_.insert(answer_.end(), static_cast<size_t>(std::max(0, faults_.extraBytes)), uint8_t{0x55});
            late_ = faults_.lateMs > 0 && !answer_.empty();
        }
        pending_.insert(pending_.end(), answer_.begin(), answer_.end());
        if (late_) return 0;
    }
    const size_t n = std::min(rx.size(), pending_.size());
    std::copy_n(pending_.begin(), n, rx.begin());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
}

bool ParseInt(std::string_view text, int64_t& value) {
    int base = 10;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    value = negative ? -v : v;
    return true;
}

pt::ptime ParseClock(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), 'T', ' ');
    try {
        const pt::ptime t = pt::time_from_string(s);
        return t;
    } catch (const std::exception&) {
        return pt::ptime();
    }
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return parts;
}

bool ParseBool(std::string_view text, bool& value) {
    if (text == "1" || text == "true" || text == "yes" || text == "on") return value = true, true;
    if (text == "0" || text == "false" || text == "no" || text == "off") return value = false, true;
    return false;
}

bool MeterSimulator::SetOption(std::string_view name, std::string_view value, std::string& error) {
    int64_t n = 0;
    bool b = false;
    auto needInt = [&](int32_t& slot) {
        if (!ParseInt(value, n) || n < INT32_MIN || n > INT32_MAX) {
            error = std::string(name) + ": expected an integer, got \"" + std::string(value) + "\"";
            return false;
        }
        slot = static_cast<int32_t>(n);
        return true;
    };
    auto needBool = [&](bool& slot) {
        if (!ParseBool(value, b)) {
            error = std::string(name) + ": expected true or false, got \"" + std::string(value) + "\"";
            return false;
        }
        slot = b;
        return true;
    };
    if (name == "silence") return needBool(faults_.silence);
    if (name == "channel-result") return needInt(faults_.channelResult);
    if (name == "truncate") return needInt(faults_.truncateBy);
    if (name == "extra-bytes") return needInt(faults_.extraBytes);
    if (name == "corrupt-crc") return needBool(faults_.corruptCrc);
    if (name == "wrong-address") return needBool(faults_.wrongAddress);
    if (name == "fault-count") return needInt(faults_.faultCount);
    if (name == "late") return needInt(faults_.lateMs);
    if (name == "address") {
        if (!ParseInt(value, n) || n < 0 || n > 255) {
            error = "address: expected a number 0 to 255, got \"" + std::string(value) + "\"";
            return false;
        }
        address_ = static_cast<uint8_t>(n);
        return true;
    }
    if (name == "clock") {
        const pt::ptime t = ParseClock(value);
        if (t.is_special()) {
            error = "clock: expected \"YYYY-MM-DD hh:mm:ss\", got \"" + std::string(value) + "\"";
            return false;
        }
        clock_.Set(t);
        return true;
    }
    if (name == "clock-running") {
        bool running = false;
        if (!needBool(running)) return false;
        clock_.SetRunning(running);
        return true;
    }
    return SetModelOption(name, value, error);
}

bool MeterSimulator::SetModelOption(std::string_view name, std::string_view, std::string& error) {
    error = "unknown simulator option \"" + std::string(name) + "\"";
    return false;
}

std::vector<std::pair<std::string, std::string>> MeterSimulator::Options() const {
    std::vector<std::pair<std::string, std::string>> all = {
        {"silence", "answer nothing (true/false)"},
        {"channel-result", "a negative number makes the line itself fail with it"},
        {"truncate", "drop this many bytes from the end of each answer"},
        {"extra-bytes", "append this many bytes to each answer"},
        {"corrupt-crc", "spoil the CRC of each answer (true/false)"},
        {"wrong-address", "answer from the next address (true/false)"},
        {"late", "answer this many ms late, after the exchange gave up (on a real line: held back)"},
        {"fault-count", "number of answers the line faults apply to; -1 for all"},
        {"address", "the meter's address, 0 to 255 (1)"},
        {"clock", "the meter's clock, \"YYYY-MM-DD hh:mm:ss\" local time"},
        {"clock-running", "whether the clock runs (true/false)"},
    };
    auto model = ModelOptions();
    all.insert(all.end(), model.begin(), model.end());
    return all;
}

}  // namespace sim
