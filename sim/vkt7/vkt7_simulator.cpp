#include "sim/vkt7/vkt7_simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"

namespace sim {

namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

constexpr uint16_t kRegBounds = 0x3FF6;
constexpr uint16_t kRegSoftware = 0x3FF9;
constexpr uint16_t kRegClock = 0x3FFB;
constexpr uint16_t kRegActiveList = 0x3FFC;
constexpr uint16_t kRegArchiveType = 0x3FFD;
constexpr uint16_t kRegData = 0x3FFE;
constexpr uint16_t kRegList = 0x3FFF;

const pt::ptime kEpoch2000(gd::date(2000, 1, 1));

// What an element measures; the layout of the meter's two thermal inputs
// (elements 0-21 and 22-43) follows the decimal-places rows.
enum class Quantity { None, Temperature, Volume, Mass, Pressure, Energy, Hours, Flow, Flag, Bool };

Quantity QuantityOf(uint8_t e) {
    if (e == 77 || e == 78) return Quantity::Flag;
    if (e == 81 || e == 82) return Quantity::Bool;
    if (e >= 44) return Quantity::None;
    switch (e % 22) {
        case 0: case 1: case 2: case 14: case 15: case 16: return Quantity::Temperature;
        case 3: case 4: case 5: return Quantity::Volume;
        case 6: case 7: case 8: case 11: return Quantity::Mass;
        case 9: case 10: return Quantity::Pressure;
        case 12: case 13: return Quantity::Energy;
        case 17: case 18: return Quantity::Hours;
        default: return Quantity::Flow;  // 19, 20, 21
    }
}

uint16_t NaturalSize(uint8_t e) {
    switch (QuantityOf(e)) {
        case Quantity::Temperature:
        case Quantity::Pressure: return 2;
        case Quantity::Flag:
        case Quantity::Bool: return 1;
        default: return 4;
    }
}

// The decimal-places property that scales an element (rows), or 0.
uint8_t PropertyOf(uint8_t e) {
    static const std::map<uint8_t, uint8_t> kRows = [] {
        std::map<uint8_t, uint8_t> m;
        auto row = [&](uint8_t property, std::initializer_list<uint8_t> elements) {
            for (uint8_t x : elements) m[x] = property;
        };
        row(57, {0, 1, 2, 14, 15, 16, 22, 23, 24, 36});
        row(59, {3, 4, 5});
        row(60, {6, 7, 8, 11});
        row(61, {9, 10, 31, 32});
        row(66, {12, 13});
        row(69, {25, 26, 27});
        row(70, {28, 29, 30, 33});
        row(76, {34, 35});
        return m;
    }();
    auto it = kRows.find(e);
    return it == kRows.end() ? 0 : it->second;
}

// Unit texts of the text properties (elements 44 to 56).
std::string UnitText(uint8_t e) {
    switch (e) {
        case 44: return "C";
        case 45: return "m3";
        case 46: return "t";
        case 47: return "kgf/cm2";
        case 48: return "Gcal";
        case 53: return "m3/h";
        case 55: return "h";
        case 56: return "C";
        default: return "-";
    }
}

// Deterministic spread in [0, 1) for an element of a type at an index.
double Spread(uint8_t type, uint8_t e, int64_t index) {
    uint64_t x = static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ull;
    x ^= (static_cast<uint64_t>(e) + 1) * 0xC2B2AE3D27D4EB4Full;
    x ^= (static_cast<uint64_t>(type) + 7) * 0x165667B19E3779F9ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<double>(x % 1000) / 1000.0;
}

int64_t Pow10(uint8_t n) {
    int64_t p = 1;
    for (uint8_t i = 0; i < n && i < 18; ++i) p *= 10;
    return p;
}

std::vector<uint8_t> LittleEndian(int64_t raw, uint16_t size) {
    std::vector<uint8_t> out(size, 0);
    for (uint16_t i = 0; i < size && i < 8; ++i) out[i] = static_cast<uint8_t>((static_cast<uint64_t>(raw) >> (8 * i)) & 0xFF);
    return out;
}

pt::ptime TruncateHour(pt::ptime t) {
    return pt::ptime(t.date(), pt::hours(t.time_of_day().hours()));
}

bool ParseByte(std::string_view text, uint8_t& out) {
    int64_t v = 0;
    if (!ParseInt(text, v) || v < 0 || v > 255) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

bool ParseDouble(std::string_view text, double& out) {
    const std::string s(text);
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != '-') digits += c;
    if (digits.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        int64_t v = 0;
        if (!ParseInt("0x" + digits.substr(i, 2), v)) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

}  // namespace

bool ParseVkt7Archive(std::string_view text, Vkt7Archive& out) {
    static const std::pair<const char*, Vkt7Archive> kNames[] = {
        {"hour", Vkt7Archive::Hour},       {"day", Vkt7Archive::Day},       {"month", Vkt7Archive::Month},
        {"current", Vkt7Archive::Current}, {"totals", Vkt7Archive::Totals}, {"properties", Vkt7Archive::Properties},
    };
    for (const auto& [name, type] : kNames)
        if (text == name) return out = type, true;
    int64_t v = 0;
    if (!ParseInt(text, v)) return false;
    if (v == 0 || v == 1 || v == 2 || v == 4 || v == 5 || v == 6) return out = static_cast<Vkt7Archive>(v), true;
    return false;
}

Vkt7Simulator::Vkt7Simulator() {
    decimals_ = {{57, 2}, {59, 3}, {60, 3}, {61, 2}, {66, 3}, {69, 3}, {70, 3}, {76, 3}};
    auto add = [&](Vkt7Archive type, std::initializer_list<int> inputKinds, std::initializer_list<uint8_t> extra) {
        for (int tv = 0; tv < 2; ++tv)
            for (int k : inputKinds) {
                const uint8_t e = static_cast<uint8_t>(tv * 22 + k);
                active_[static_cast<uint8_t>(type)][e] = NaturalSize(e);
            }
        for (uint8_t e : extra) active_[static_cast<uint8_t>(type)][e] = NaturalSize(e);
    };
    add(Vkt7Archive::Current, {0, 1, 2, 9, 10, 14, 15, 16, 19, 20, 21}, {77, 78, 81, 82});
    add(Vkt7Archive::Totals, {3, 4, 5, 6, 7, 8, 11, 12, 13, 17, 18}, {});
    for (Vkt7Archive type : {Vkt7Archive::Hour, Vkt7Archive::Day, Vkt7Archive::Month})
        add(type, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}, {77, 78});
    auto& props = active_[static_cast<uint8_t>(Vkt7Archive::Properties)];
    for (uint8_t e = 44; e <= 76; ++e) props[e] = e < 57 ? 7 : 1;
}

uint8_t Vkt7Simulator::DecimalPlaces(uint8_t property) const {
    auto it = decimals_.find(property);
    return it == decimals_.end() ? 0 : it->second;
}

uint8_t Vkt7Simulator::ElementDecimalPlaces(uint8_t element) const {
    const uint8_t property = PropertyOf(element);
    return property == 0 ? 0 : DecimalPlaces(property);
}

void Vkt7Simulator::SetArchiveSpan(int32_t hours, int32_t days, int32_t months) {
    spanHours_ = std::max(0, hours);
    spanDays_ = std::max(0, days);
    spanMonths_ = std::max(0, months);
}

pt::ptime Vkt7Simulator::HourArchiveStart() const {
    return TruncateHour(clock().Now() - pt::hours(spanHours_));
}

bool Vkt7Simulator::HasRecord(Vkt7Archive type, pt::ptime record) const {
    if (record.is_special()) return false;
    const pt::ptime now = clock().Now();
    switch (type) {
        case Vkt7Archive::Hour: {
            const pt::ptime r = TruncateHour(record);
            return !noArchives_ && r >= HourArchiveStart() && r < TruncateHour(now);
        }
        case Vkt7Archive::Day: {
            const gd::date d = record.date();
            return !noArchives_ && d >= (now - gd::days(spanDays_)).date() && d < now.date();
        }
        case Vkt7Archive::Month: {
            const gd::date d = record.date();
            const gd::date first(d.year(), d.month(), 1);
            const gd::date today = now.date();
            const gd::date start = gd::date(today.year(), today.month(), 1) - gd::months(spanMonths_);
            // Closed once its report day has passed: (year, month, report day) before today.
            const auto closes = std::make_tuple(static_cast<int>(d.year()), static_cast<int>(d.month()),
                                                static_cast<int>(reportDay_));
            const auto todayKey = std::make_tuple(static_cast<int>(today.year()), static_cast<int>(today.month()),
                                                  static_cast<int>(today.day()));
            return !noArchives_ && first >= start && closes < todayKey;
        }
        default: return true;
    }
}

std::vector<std::pair<uint8_t, uint16_t>> Vkt7Simulator::ActiveList(Vkt7Archive type) const {
    std::vector<std::pair<uint8_t, uint16_t>> out;
    auto it = active_.find(static_cast<uint8_t>(type));
    if (it != active_.end())
        for (const auto& [e, size] : it->second) out.emplace_back(e, size);
    return out;
}

void Vkt7Simulator::SetActive(Vkt7Archive type, uint8_t element, uint16_t size) {
    active_[static_cast<uint8_t>(type)][element] = size;
}

void Vkt7Simulator::SetInactive(Vkt7Archive type, uint8_t element) {
    active_[static_cast<uint8_t>(type)].erase(element);
}

uint16_t Vkt7Simulator::ActiveSize(Vkt7Archive type, uint8_t element) const {
    auto it = active_.find(static_cast<uint8_t>(type));
    if (it != active_.end()) {
        auto e = it->second.find(element);
        if (e != it->second.end()) return e->second;
    }
    return NaturalSize(element);
}

void Vkt7Simulator::SetValue(Vkt7Archive type, uint8_t element, double value) {
    values_[{static_cast<uint8_t>(type), element}] = value;
    rawValues_.erase({static_cast<uint8_t>(type), element});
}

void Vkt7Simulator::SetRecordValue(Vkt7Archive type, uint8_t element, pt::ptime record, double value) {
    pt::ptime key = record;
    if (type == Vkt7Archive::Hour) key = TruncateHour(record);
    if (type == Vkt7Archive::Day) key = pt::ptime(record.date());
    if (type == Vkt7Archive::Month) key = pt::ptime(gd::date(record.date().year(), record.date().month(), 1));
    recordValues_[{static_cast<uint8_t>(type), element, key}] = value;
}

void Vkt7Simulator::SetRawValue(Vkt7Archive type, uint8_t element, std::vector<uint8_t> bytes) {
    rawValues_[{static_cast<uint8_t>(type), element}] = std::move(bytes);
}

void Vkt7Simulator::ClearValues() {
    values_.clear();
    recordValues_.clear();
    rawValues_.clear();
}

void Vkt7Simulator::SetQuality(Vkt7Archive type, uint8_t element, uint8_t quality, uint8_t ns) {
    qualities_[{static_cast<uint8_t>(type), element}] = {quality, ns};
}

std::pair<uint8_t, uint8_t> Vkt7Simulator::QualityOf(Vkt7Archive type, uint8_t element) const {
    auto it = qualities_.find({static_cast<uint8_t>(type), element});
    return it == qualities_.end() ? std::make_pair(kQualityGood, uint8_t{0}) : it->second;
}

void Vkt7Simulator::SetException(uint16_t reg, uint8_t code, uint8_t function, int32_t count) {
    const auto key = std::make_pair(function, reg);
    if (code == 0)
        exceptions_.erase(key);
    else
        exceptions_[key] = Exception{code, count};
}

std::vector<uint8_t> Vkt7Simulator::Encode(uint8_t element, uint16_t size, double value) const {
    switch (QuantityOf(element)) {
        case Quantity::Flow: {
            const float single = static_cast<float>(value);
            std::vector<uint8_t> out(4);
            std::memcpy(out.data(), &single, 4);
            out.resize(size, 0);
            return out;
        }
        case Quantity::Flag: {
            std::vector<uint8_t> out(size, 0);
            if (size > 0) out[0] = value != 0 ? '*' : ' ';
            return out;
        }
        case Quantity::Bool: {
            std::vector<uint8_t> out(size, 0);
            if (size > 0) out[0] = value != 0 ? 1 : 0;
            return out;
        }
        default:
            return LittleEndian(std::llround(value * static_cast<double>(Pow10(ElementDecimalPlaces(element)))), size);
    }
}

std::vector<uint8_t> Vkt7Simulator::Generated(Vkt7Archive type, uint8_t e, pt::ptime record) const {
    const uint16_t size = ActiveSize(type, e);
    const pt::ptime now = clock().Now();
    int64_t index = 0;
    double scale = 1;  // archive increments: one hour, one day, one month
    int64_t hoursInRecord = 1;
    switch (type) {
        case Vkt7Archive::Hour: index = (TruncateHour(record) - kEpoch2000).hours(); break;
        case Vkt7Archive::Day:
            index = (record.date() - kEpoch2000.date()).days();
            scale = 24;
            hoursInRecord = 24;
            break;
        case Vkt7Archive::Month: {
            const gd::date d = record.date();
            index = (d.year() - 2000) * 12 + (d.month() - 1);
            hoursInRecord = 24 * gd::gregorian_calendar::end_of_month_day(d.year(), d.month());
            scale = static_cast<double>(hoursInRecord);
            break;
        }
        default: index = (now - kEpoch2000).total_seconds() / 60; break;  // current values and totals: the minute
    }
    const uint8_t t = static_cast<uint8_t>(type);
    const int tv = e < 22 ? 0 : 1;
    const int k = e % 22;
    auto spread = [&](uint8_t element) { return Spread(t, element, index); };
    auto temperature = [&](int kind) {
        const double s = spread(static_cast<uint8_t>(tv * 22 + kind));
        switch (kind) {
            case 0: return tv == 0 ? 70 + 10 * s : 55 + 5 * s;
            case 1: return tv == 0 ? 45 + 5 * s : 40 + 5 * s;
            case 2: return 5 + 5 * s;
            case 15: return 5 + 5 * s;
            default: return -10 + 20 * s;  // 16: outdoor air
        }
    };
    // Rounded as the meter holds them, so that derived values add up.
    auto rounded = [&](uint8_t element, double v) {
        const double p = static_cast<double>(Pow10(ElementDecimalPlaces(element)));
        return std::llround(v * p) / p;
    };
    const bool totals = type == Vkt7Archive::Totals;
    const double hoursRun = static_cast<double>(index) / 60.0;  // totals: hours since 2000
    auto volume = [&](int kind) {
        const double s = spread(static_cast<uint8_t>(tv * 22 + 3));
        const double v1 = totals ? (tv == 0 ? 12000 + 1.7 * hoursRun : 3000 + 0.5 * hoursRun)
                                 : scale * (tv == 0 ? 1.5 + s : 0.4 + 0.3 * s);
        if (kind == 3) return v1;
        if (kind == 4) return v1 * (tv == 0 ? 0.98 : 0.7);
        return totals ? 800 + 0.15 * hoursRun : scale * (0.1 + 0.2 * spread(static_cast<uint8_t>(tv * 22 + 5)));
    };
    auto mass = [&](int kind) {
        const uint8_t base = static_cast<uint8_t>(tv * 22);
        if (kind == 11) {
            return rounded(static_cast<uint8_t>(base + 6), volume(3) * 0.975) -
                   rounded(static_cast<uint8_t>(base + 7), volume(4) * 0.985);
        }
        const double factor = kind == 6 ? 0.975 : kind == 7 ? 0.985 : 0.999;
        return volume(kind - 3) * factor;
    };

    double value = 0;
    switch (QuantityOf(e)) {
        case Quantity::Temperature:
            if (k == 14) {
                value = rounded(static_cast<uint8_t>(tv * 22), temperature(0)) -
                        rounded(static_cast<uint8_t>(tv * 22 + 1), temperature(1));
            } else {
                value = temperature(k);
            }
            break;
        case Quantity::Volume: value = volume(k); break;
        case Quantity::Mass: value = mass(k); break;
        case Quantity::Pressure: value = (k == 9 ? 6 : 4) + spread(e); break;
        case Quantity::Energy: {
            if (totals) {
                value = (tv == 0 ? 5000 : 900) + (tv == 0 ? 0.04 : 0.01) * hoursRun;
            } else {
                const double dt = rounded(static_cast<uint8_t>(tv * 22), temperature(0)) -
                                  rounded(static_cast<uint8_t>(tv * 22 + 1), temperature(1));
                value = mass(6) * dt / 1000.0;
            }
            if (k == 13) value *= 0.1;
            break;
        }
        case Quantity::Hours:
            if (k == 17)
                value = totals ? 60000 + std::floor(hoursRun) : static_cast<double>(hoursInRecord);
            else
                value = totals ? 12 : 0;
            break;
        case Quantity::Flow: {
            const double s = spread(static_cast<uint8_t>(tv * 22 + 19));
            const double g1 = tv == 0 ? 1.5 + s : 0.4 + 0.3 * s;
            value = k == 19 ? g1 : k == 20 ? g1 * 0.98 : 0.1 + 0.2 * spread(e);
            break;
        }
        case Quantity::Flag: value = Spread(t, e, index) < 0.05 ? 1 : 0; break;
        case Quantity::Bool: value = Spread(t, e, index) < 0.5 ? 1 : 0; break;
        case Quantity::None: value = 0; break;
    }
    return Encode(e, size, value);
}

std::vector<uint8_t> Vkt7Simulator::RawValue(Vkt7Archive type, uint8_t element, pt::ptime record) const {
    const uint16_t size = ActiveSize(type, element);
    const Key key{static_cast<uint8_t>(type), element};
    if (auto raw = rawValues_.find(key); raw != rawValues_.end()) {
        std::vector<uint8_t> bytes = raw->second;
        bytes.resize(size, 0);
        return bytes;
    }
    const bool archive = type == Vkt7Archive::Hour || type == Vkt7Archive::Day || type == Vkt7Archive::Month;
    if (archive && !record.is_special()) {
        pt::ptime k = TruncateHour(record);
        if (type == Vkt7Archive::Day) k = pt::ptime(record.date());
        if (type == Vkt7Archive::Month) k = pt::ptime(gd::date(record.date().year(), record.date().month(), 1));
        auto it = recordValues_.find({key.first, element, k});
        if (it != recordValues_.end()) return Encode(element, size, it->second);
    }
    if (auto v = values_.find(key); v != values_.end()) return Encode(element, size, v->second);
    if (archive && record.is_special()) return std::vector<uint8_t>(size, 0);
    return Generated(type, element, record);
}

double Vkt7Simulator::ExpectedValue(Vkt7Archive type, uint8_t element, pt::ptime record) const {
    const std::vector<uint8_t> bytes = RawValue(type, element, record);
    uint8_t word[4] = {0, 0, 0, 0};
    std::memcpy(word, bytes.data(), std::min<size_t>(bytes.size(), 4));
    switch (QuantityOf(element)) {
        case Quantity::Flow: {
            float single = 0;
            std::memcpy(&single, word, 4);
            return static_cast<double>(single);
        }
        case Quantity::Flag: return (bytes.size() == 1 ? word[0] == '*' : word[0] != 0) ? 1 : 0;
        case Quantity::Bool: return word[0] != 0 ? 1 : 0;
        default: break;
    }
    const double divisor = static_cast<double>(Pow10(ElementDecimalPlaces(element)));
    if (bytes.size() <= 2) return static_cast<int16_t>(static_cast<uint16_t>(word[0] | (word[1] << 8))) / divisor;
    const uint32_t u = static_cast<uint32_t>(word[0]) | (static_cast<uint32_t>(word[1]) << 8) |
                       (static_cast<uint32_t>(word[2]) << 16) | (static_cast<uint32_t>(word[3]) << 24);
    return static_cast<int32_t>(u) / divisor;
}

std::optional<pt::ptime> Vkt7Simulator::RecordOfDate() const {
    if (!recordDate_) return std::nullopt;
    const auto& d = *recordDate_;
    try {
        const gd::date date(static_cast<unsigned short>(2000 + d[2]), d[1], d[0]);
        switch (static_cast<Vkt7Archive>(selected_)) {
            case Vkt7Archive::Hour:
                if (d[3] > 23) return std::nullopt;
                return pt::ptime(date, pt::hours(d[3]));
            case Vkt7Archive::Month: return pt::ptime(gd::date(date.year(), date.month(), 1));
            default: return pt::ptime(date);
        }
    } catch (const std::exception&) {
        // Month archive: the report day may lie past the month's end (30 February).
        if (static_cast<Vkt7Archive>(selected_) == Vkt7Archive::Month && d[1] >= 1 && d[1] <= 12)
            return pt::ptime(gd::date(static_cast<unsigned short>(2000 + d[2]), d[1], 1));
        return std::nullopt;
    }
}

bool Vkt7Simulator::TakeException(uint8_t function, uint16_t reg, uint8_t& code) {
    for (uint8_t f : {function, uint8_t{0}}) {
        auto it = exceptions_.find({f, reg});
        if (it == exceptions_.end() || it->second.count == 0) continue;
        code = it->second.code;
        if (it->second.count > 0 && --it->second.count == 0) exceptions_.erase(it);
        return true;
    }
    return false;
}

void Vkt7Simulator::Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) {
    // Preamble, address, function, register, count, CRC: ten bytes at least.
    if (request.size() < 10 || request[0] != 0xFF || request[1] != 0xFF) return;
    const std::span<const uint8_t> frame = request.subspan(2);
    if (!CheckCrc16(frame.data(), frame.size())) return;
    if (frame[0] != address_) return;  // another meter on the line
    const uint8_t function = frame[1];
    const uint16_t reg = static_cast<uint16_t>((frame[2] << 8) | frame[3]);

    auto finish = [&](std::vector<uint8_t> body) {
        AppendCrc16(body);
        out.insert(out.end(), body.begin(), body.end());
    };
    auto exceptionAnswer = [&](uint8_t code) { finish({address_, static_cast<uint8_t>(function | 0x80), code, 0x00}); };

    uint8_t code = 0;
    if (function == 0x03) {
        if (frame.size() != 8) return;
        if (TakeException(0x03, reg, code)) return exceptionAnswer(code);
        std::vector<uint8_t> data;
        uint8_t exception = 0;
        AnswerRead(reg, data, exception);
        if (exception != 0) return exceptionAnswer(exception);
        std::vector<uint8_t> body{address_, 0x03, static_cast<uint8_t>(data.size() & 0xFF)};
        body.insert(body.end(), data.begin(), data.end());
        return finish(std::move(body));
    }
    if (function == 0x10) {
        if (frame.size() < 9) return;
        if (TakeException(0x10, reg, code)) return exceptionAnswer(code);
        uint8_t exception = 0;
        AnswerWrite(reg, frame[6], frame.subspan(7, frame.size() - 9), exception);
        if (exception != 0) return exceptionAnswer(exception);
        return finish({address_, 0x10, frame[2], frame[3], frame[4], frame[5]});
    }
    exceptionAnswer(kIllegalFunction);
}

void Vkt7Simulator::AnswerRead(uint16_t reg, std::vector<uint8_t>& data, uint8_t& exception) {
    const pt::ptime now = clock().Now();
    const gd::date today = now.date();
    auto pos = [](pt::ptime t) {
        const gd::date d = t.date();
        return std::array<uint8_t, 4>{static_cast<uint8_t>(d.day()), static_cast<uint8_t>(d.month()),
                                      static_cast<uint8_t>(d.year() - 2000),
                                      static_cast<uint8_t>(t.time_of_day().hours())};
    };
    switch (reg) {
        case kRegData:
            if (serverInfoPending_) {
                // Server information: 174 bytes; bytes 64 and 65 of the frame carry the version.
                serverInfoPending_ = false;
                data.assign(174, 0);
                const char ident[] = "VKT-7 simulator";
                std::memcpy(data.data(), ident, sizeof ident - 1);
                data[61] = serverVersion_;
                data[62] = serverFlag_;
                return;
            }
            return DataAnswer(data, exception);
        case kRegSoftware: {
            const uint8_t count = softwareCount_;
            data.assign(count, 0);
            if (count >= 1) data[0] = software_;
            if (count > 2) data[count - 2] = reportDay_;  // frame byte count + 1
            return;
        }
        case kRegBounds: {
            if (noArchives_) {
                exception = kNoRecord;
                return;
            }
            const auto start = pos(HourArchiveStart());
            const auto current = pos(now);
            const auto dayStart = pos(pt::ptime((now - gd::days(spanDays_)).date()));
            data.insert(data.end(), start.begin(), start.end());
            data.insert(data.end(), current.begin(), current.end());
            data.insert(data.end(), dayStart.begin(), dayStart.end());
            return;
        }
        case kRegClock: {
            const pt::time_duration tod = now.time_of_day();
            data = {static_cast<uint8_t>(today.day()),
                    static_cast<uint8_t>(today.month()),
                    static_cast<uint8_t>(today.year() - 2000),
                    static_cast<uint8_t>(tod.hours()),
                    static_cast<uint8_t>(tod.minutes()),
                    static_cast<uint8_t>(tod.seconds()),
                    static_cast<uint8_t>(today.day_of_week().as_number()),
                    0x00};
            return;
        }
        case kRegActiveList:
            for (const auto& [e, size] : ActiveList(static_cast<Vkt7Archive>(selected_))) {
                const uint8_t record[6] = {e, 0x00, 0x00, 0x40, static_cast<uint8_t>(size & 0xFF),
                                           static_cast<uint8_t>(size >> 8)};
                data.insert(data.end(), record, record + 6);
            }
            return;
        default: exception = kIllegalRegister; return;
    }
}

void Vkt7Simulator::AnswerWrite(uint16_t reg, uint8_t byteCount, std::span<const uint8_t> data, uint8_t& exception) {
    switch (reg) {
        case kRegList:
            if (byteCount == 0xCC) {
                // Session open: the next data read answers the server information.
                sessionOpened_ = true;
                serverInfoPending_ = true;
                return;
            }
            serverInfoPending_ = false;
            list_.clear();
            for (size_t i = 0; i + 6 <= data.size(); i += 6) list_.push_back(data[i]);
            listDefined_ = true;
            return;
        case kRegArchiveType: {
            const uint8_t type = data.empty() ? 0xFF : data[0];
            if (type == 3 || type > 6) {
                exception = kIllegalRegister;
                return;
            }
            selected_ = type;
            listDefined_ = false;
            list_.clear();
            return;
        }
        case kRegClock:
            if (data.size() != 4) {
                exception = kIllegalRegister;
                return;
            }
            recordDate_ = std::array<uint8_t, 4>{data[0], data[1], data[2], data[3]};
            return;
        default: exception = kIllegalRegister; return;
    }
}

void Vkt7Simulator::DataAnswer(std::vector<uint8_t>& data, uint8_t& exception) {
    if (!listDefined_) {
        exception = kNoList;
        return;
    }
    const auto type = static_cast<Vkt7Archive>(selected_);
    if (type == Vkt7Archive::Properties) {
        // Entries in the order of the request; each value is followed by quality and NS.
        for (uint8_t e : list_) {
            if (e < 44 || e > 76) continue;
            const auto [q, ns] = QualityOf(type, e);
            if (e < 57) {
                std::string text = UnitText(e);
                if (serverVersion_ == 1) {
                    data.push_back(static_cast<uint8_t>(text.size() & 0xFF));
                    data.push_back(static_cast<uint8_t>(text.size() >> 8));
                } else {
                    text.resize(7, ' ');
                }
                data.insert(data.end(), text.begin(), text.end());
            } else {
                data.push_back(DecimalPlaces(e));
            }
            data.push_back(q);
            data.push_back(ns);
        }
        return;
    }
    pt::ptime record;
    const bool archive = type == Vkt7Archive::Hour || type == Vkt7Archive::Day || type == Vkt7Archive::Month;
    if (archive) {
        const auto r = RecordOfDate();
        if (!r || !HasRecord(type, *r)) {
            exception = kNoRecord;
            return;
        }
        record = *r;
    }
    // Values in ascending element number, each with its quality and NS bytes.
    const std::set<uint8_t> listed(list_.begin(), list_.end());
    const auto it = active_.find(selected_);
    for (uint8_t e : listed) {
        if (it == active_.end() || it->second.count(e) == 0) continue;
        const std::vector<uint8_t> bytes = RawValue(type, e, record);
        const auto [q, ns] = QualityOf(type, e);
        data.insert(data.end(), bytes.begin(), bytes.end());
        data.push_back(q);
        data.push_back(ns);
    }
}

bool Vkt7Simulator::SetModelOption(std::string_view name, std::string_view value, std::string& error) {
    auto fail = [&](const char* expected) {
        error = std::string(name) + ": expected " + expected + ", got \"" + std::string(value) + "\"";
        return false;
    };
    int64_t n = 0;
    uint8_t byte = 0;
    bool flag = false;
    if (name == "server-version") return ParseByte(value, byte) ? (serverVersion_ = byte, true) : fail("a number 0 to 255");
    if (name == "server-flag") return ParseByte(value, byte) ? (serverFlag_ = byte, true) : fail("a number 0 to 255");
    if (name == "software-version") {
        const auto parts = Split(value, '.');
        uint8_t major = 0, minor = 0;
        if (parts.size() == 2 && ParseByte(parts[0], major) && ParseByte(parts[1], minor) && major < 16 && minor < 16) {
            SetSoftwareVersion(major, minor);
            return true;
        }
        return fail("MAJOR.MINOR, each 0 to 15");
    }
    if (name == "software-bytes") {
        if (!ParseByte(value, byte) || byte > 127) return fail("a byte count 0 to 127");
        softwareCount_ = byte;
        return true;
    }
    if (name == "report-day") return ParseByte(value, byte) ? (reportDay_ = byte, true) : fail("a day 0 to 255");
    if (name == "hour-span" || name == "day-span" || name == "month-span") {
        if (!ParseInt(value, n) || n < 0 || n > 1000000) return fail("a count 0 to 1000000");
        (name == "hour-span" ? spanHours_ : name == "day-span" ? spanDays_ : spanMonths_) = static_cast<int32_t>(n);
        return true;
    }
    if (name == "no-archives") return ParseBool(value, flag) ? (noArchives_ = flag, true) : fail("true or false");
    if (name == "forget-list") {
        if (!ParseBool(value, flag)) return fail("true or false");
        if (flag) ForgetList();
        return true;
    }
    if (name == "clear-exceptions") {
        ClearExceptions();
        return true;
    }
    if (name == "exception") {
        // [read:|write:]REGISTER:CODE[:COUNT]
        auto parts = Split(value, ':');
        uint8_t function = 0;
        if (!parts.empty() && (parts[0] == "read" || parts[0] == "write")) {
            function = parts[0] == "read" ? 0x03 : 0x10;
            parts.erase(parts.begin());
        }
        int64_t reg = 0, count = -1;
        if ((parts.size() != 2 && parts.size() != 3) || !ParseInt(parts[0], reg) || reg < 0 || reg > 0xFFFF ||
            !ParseByte(parts[1], byte) || (parts.size() == 3 && (!ParseInt(parts[2], count) || count < -1)))
            return fail("[read:|write:]REGISTER:CODE[:COUNT], e.g. 0x3FF6:3");
        SetException(static_cast<uint16_t>(reg), byte, function, static_cast<int32_t>(count));
        return true;
    }
    if (name == "decimals") {
        const auto parts = Split(value, ':');
        uint8_t property = 0;
        if (parts.size() != 2 || !ParseByte(parts[0], property) || !ParseByte(parts[1], byte))
            return fail("PROPERTY:PLACES, e.g. 57:2");
        SetDecimalPlaces(property, byte);
        return true;
    }
    // TYPE:ELEMENT[:...] knobs.
    const auto parts = Split(value, ':');
    Vkt7Archive type{};
    uint8_t element = 0;
    const bool head = parts.size() >= 2 && ParseVkt7Archive(parts[0], type) && ParseByte(parts[1], element);
    if (name == "quality") {
        uint8_t q = 0, ns = QualityOf(type, element).second;
        if (!head || parts.size() < 3 || parts.size() > 4 || !ParseByte(parts[2], q) ||
            (parts.size() == 4 && !ParseByte(parts[3], ns)))
            return fail("TYPE:ELEMENT:QUALITY[:NS], e.g. current:0:0x0C");
        SetQuality(type, element, q, ns);
        return true;
    }
    if (name == "ns") {
        if (!head || parts.size() != 3 || !ParseByte(parts[2], byte)) return fail("TYPE:ELEMENT:NS, e.g. hour:3:0x05");
        SetQuality(type, element, QualityOf(type, element).first, byte);
        return true;
    }
    if (name == "value") {
        double v = 0;
        if (!head || parts.size() != 3 || !ParseDouble(parts[2], v)) return fail("TYPE:ELEMENT:VALUE, e.g. current:0:72.5");
        SetValue(type, element, v);
        return true;
    }
    if (name == "raw") {
        std::vector<uint8_t> bytes;
        if (!head || parts.size() != 3 || !ParseHex(parts[2], bytes)) return fail("TYPE:ELEMENT:HEX, e.g. current:0:FFFF");
        SetRawValue(type, element, std::move(bytes));
        return true;
    }
    if (name == "active") {
        if (!head || parts.size() != 3 || !ParseInt(parts[2], n) || n < 0 || n > 0xFFFF)
            return fail("TYPE:ELEMENT:SIZE, e.g. current:19:4");
        SetActive(type, element, static_cast<uint16_t>(n));
        return true;
    }
    if (name == "inactive") {
        if (!head || parts.size() != 2) return fail("TYPE:ELEMENT, e.g. totals:12");
        SetInactive(type, element);
        return true;
    }
    return MeterSimulator::SetModelOption(name, value, error);
}

std::vector<std::pair<std::string, std::string>> Vkt7Simulator::ModelOptions() const {
    return {
        {"server-version", "byte 64 of the server-version answer; 1 selects length-prefixed properties (0)"},
        {"server-flag", "byte 65 of the server-version answer; a sound meter sends 0 or 1 (0)"},
        {"software-version", "MAJOR.MINOR (2.3)"},
        {"software-bytes", "byte count of the software-version answer; 2 or less carry no report day (16)"},
        {"report-day", "day of month that closes a month record (25)"},
        {"hour-span", "hours the hour archive reaches back from the clock (1080)"},
        {"day-span", "days the day archive reaches back (365)"},
        {"month-span", "months the month archive reaches back (36)"},
        {"no-archives", "exception 3 to the archive bounds and every record (true/false)"},
        {"exception", "[read:|write:]REGISTER:CODE[:COUNT]: answer that register with an exception; code 0 removes"},
        {"clear-exceptions", "remove every exception"},
        {"quality", "TYPE:ELEMENT:QUALITY[:NS]: the quality (and NS) byte sent with an element"},
        {"ns", "TYPE:ELEMENT:NS: the abnormal-situation byte sent with an element"},
        {"value", "TYPE:ELEMENT:VALUE: an engineering value for every record of a type"},
        {"raw", "TYPE:ELEMENT:HEX: exact value bytes for every record of a type"},
        {"active", "TYPE:ELEMENT:SIZE: list an element as active with that value size"},
        {"inactive", "TYPE:ELEMENT: leave an element out of the active list"},
        {"decimals", "PROPERTY:PLACES: decimal places a property (57 to 76) reports"},
        {"forget-list", "forget the element list once: the next data read answers exception 5"},
    };
}

std::vector<std::string> Vkt7Simulator::RegisterMap() const {
    std::vector<std::string> out;
    char line[200];
    const std::pair<Vkt7Archive, const char*> kinds[] = {{Vkt7Archive::Current, "current"},
                                                         {Vkt7Archive::Totals, "totals"}};
    for (const auto& [type, name] : kinds)
        for (const auto& [element, size] : ActiveList(type)) {
            std::snprintf(line, sizeof line, "%-7s  element %2u  %u bytes  %g", name, element, size,
                          ExpectedValue(type, element));
            out.emplace_back(line);
        }
    std::snprintf(line, sizeof line, "archives: %d hours, %d days, %d months back from the clock%s", spanHours_,
                  spanDays_, spanMonths_, noArchives_ ? " (switched off)" : "");
    out.emplace_back(line);
    return out;
}

}  // namespace sim
