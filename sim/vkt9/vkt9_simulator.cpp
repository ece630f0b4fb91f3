#include "sim/vkt9/vkt9_simulator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"

namespace sim {

namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

constexpr uint8_t kHolding = 0x03;
constexpr uint8_t kInput = 0x04;
constexpr uint8_t kRecord = 0x41;
constexpr uint8_t kErrorFlag = 0x80;
constexpr size_t kReadRequestSize = 8;
constexpr size_t kRecordRequestSize = 9;
constexpr uint16_t kMaxRegistersPerRead = 125;
const pt::ptime kEra(gd::date(2000, 1, 1));

std::optional<uint32_t> KeyOf(int32_t modbus) {
    if (modbus >= 30001 && modbus <= 39999) return uint32_t{kInput} << 16 | static_cast<uint32_t>(modbus - 30001);
    if (modbus >= 40001 && modbus <= 49999) return uint32_t{kHolding} << 16 | static_cast<uint32_t>(modbus - 40001);
    return std::nullopt;
}

void PutLittle(std::vector<uint8_t>& out, size_t at, uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes && at + i < out.size(); ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

bool ParseKind(std::string_view text, Vkt9Simulator::ArchiveKind& kind) {
    if (text == "0" || text == "hour") return kind = Vkt9Simulator::Hour, true;
    if (text == "1" || text == "day") return kind = Vkt9Simulator::Day, true;
    if (text == "2" || text == "month") return kind = Vkt9Simulator::Month, true;
    return false;
}

// "KIND:NUMBER" or "NUMBER=VALUE": splits at sep.
bool Split(std::string_view text, char sep, std::string_view& left, std::string_view& right) {
    const size_t at = text.find(sep);
    if (at == std::string_view::npos) return false;
    left = text.substr(0, at);
    right = text.substr(at + 1);
    return true;
}

}  // namespace

Vkt9Simulator::Vkt9Simulator() {
    // Heat system 1 on holding registers, flow meters on input registers.
    SetFloat(40001, 71.5f);          // supply temperature
    SetFloat(40003, 44.25f);         // return temperature
    SetRegister(40005, 12345);       // pressure, hundredths
    SetStatus(40006, 0);             // status of heat system 1
    SetUInt32(40007, 1234567);       // heat total
    SetIntPlusFloat(40009, 98765, 0.5f);  // mass total
    SetRegister(40013, 3);           // operating mode
    SetFloat(30001, 12.5f);          // flow
    SetRegister(30003, 6000);        // volume flow, hundredths
    SetStatus(30004, 0);             // status of the flow meters

    const uint16_t tops[kArchiveKinds] = {1439, 364, 35};
    const int32_t indexRegisters[kArchiveKinds] = {40101, 40111, 40121};
    for (size_t k = 0; k < kArchiveKinds; ++k) {
        rings_[k].top = tops[k];
        rings_[k].span = tops[k] + 1;
        rings_[k].indexKey = *KeyOf(indexRegisters[k]);
    }
}

bool Vkt9Simulator::SetRegister(int32_t modbus, uint16_t value) {
    const auto key = KeyOf(modbus);
    if (!key) return false;
    registers_[*key] = value;
    return true;
}

bool Vkt9Simulator::SetUInt32(int32_t modbus, uint32_t value) {
    return SetRegister(modbus, static_cast<uint16_t>(value >> 16)) &&
           SetRegister(modbus + 1, static_cast<uint16_t>(value & 0xFFFF));
}

bool Vkt9Simulator::SetFloat(int32_t modbus, float value) { return SetUInt32(modbus, std::bit_cast<uint32_t>(value)); }

bool Vkt9Simulator::SetIntPlusFloat(int32_t modbus, int32_t whole, float fraction) {
    return SetUInt32(modbus, static_cast<uint32_t>(whole)) && SetFloat(modbus + 2, fraction);
}

bool Vkt9Simulator::RemoveRegister(int32_t modbus) {
    const auto key = KeyOf(modbus);
    return key && registers_.erase(*key) > 0;
}

bool Vkt9Simulator::SetErrorRegister(int32_t modbus, bool on) {
    const auto key = KeyOf(modbus);
    if (!key) return false;
    if (on)
        errorRegisters_.insert(*key);
    else
        errorRegisters_.erase(*key);
    return true;
}

bool Vkt9Simulator::SetIndexRegister(ArchiveKind kind, int32_t modbus) {
    const auto key = KeyOf(modbus);
    if (!key) return false;
    ring(kind).indexKey = *key;
    return true;
}

int64_t Vkt9Simulator::IntervalNumber(ArchiveKind kind) const {
    const pt::ptime now = clock().Now();
    switch (kind) {
        case Hour: return (now - kEra).hours();
        case Day: return (now.date() - kEra.date()).days();
        default: return (int64_t{now.date().year()} - 2000) * 12 + now.date().month() - 1;
    }
}

void Vkt9Simulator::SetRingTop(ArchiveKind kind, uint16_t top) {
    Ring& r = ring(kind);
    const uint16_t current = CurrentIndex(kind);
    r.top = top;
    r.span = std::min<int32_t>(r.span, top + 1);
    SetCurrentIndex(kind, std::min(current, top));
}

uint16_t Vkt9Simulator::CurrentIndex(ArchiveKind kind) const {
    const Ring& r = ring(kind);
    const int64_t size = int64_t{r.top} + 1;
    return static_cast<uint16_t>((((IntervalNumber(kind) + r.offset) % size) + size) % size);
}

void Vkt9Simulator::SetCurrentIndex(ArchiveKind kind, uint16_t index) {
    Ring& r = ring(kind);
    r.offset = int64_t{index} - IntervalNumber(kind);
}

std::optional<Vkt9Record> Vkt9Simulator::Record(ArchiveKind kind, uint16_t index) const {
    const Ring& r = ring(kind);
    if (index > r.top) return std::nullopt;
    if (auto it = r.records.find(index); it != r.records.end()) return it->second;
    const int64_t size = int64_t{r.top} + 1;
    const int64_t back = (((int64_t{CurrentIndex(kind)} - 1 - index) % size) + size) % size;
    if (back >= r.span) return std::nullopt;
    const int64_t n = IntervalNumber(kind) - 1 - back;  // the record's interval
    pt::ptime start = kEra;
    if (kind == Hour) start += pt::hours(n);
    if (kind == Day) start += gd::days(n);
    if (kind == Month) start = pt::ptime(kEra.date() + gd::months(static_cast<int>(n)));
    Vkt9Record rec;
    rec.year = static_cast<uint8_t>(start.date().year() - 2000);
    rec.month = static_cast<uint8_t>(start.date().month());
    rec.day = static_cast<uint8_t>(start.date().day());
    rec.hour = static_cast<uint8_t>(start.time_of_day().hours());
    rec.heat = static_cast<float>(n) * 0.25f;
    rec.volume = static_cast<uint32_t>(n * 10 + kind);
    rec.temperature = static_cast<int16_t>(n % 4000 - 1000);
    rec.pressure = static_cast<uint16_t>(600 + n % 50);
    rec.massWhole = static_cast<int32_t>(n * 3);
    rec.massFraction = 0.25f * static_cast<float>(n % 4);
    return rec;
}

void Vkt9Simulator::SetRecord(ArchiveKind kind, uint16_t index, const Vkt9Record& record) {
    ring(kind).records[index] = record;
}

void Vkt9Simulator::SetErrorRecord(ArchiveKind kind, uint16_t index, bool on) {
    if (on)
        ring(kind).errors.insert(index);
    else
        ring(kind).errors.erase(index);
}

void Vkt9Simulator::SetImpossibleDate(ArchiveKind kind, uint16_t index, bool on) {
    if (on)
        ring(kind).impossible.insert(index);
    else
        ring(kind).impossible.erase(index);
}

void Vkt9Simulator::ErrorAnswer(uint8_t function, uint8_t code, std::vector<uint8_t>& out) const {
    out = {address_, static_cast<uint8_t>(function | kErrorFlag), code};
    AppendCrc16(out);
}

std::optional<uint16_t> Vkt9Simulator::RegisterValue(uint32_t key) const {
    for (size_t k = 0; k < kArchiveKinds; ++k) {
        const Ring& r = rings_[k];
        if (key < r.indexKey || key > r.indexKey + 2) continue;
        switch (key - r.indexKey) {
            case 0: return r.top;
            case 1: return static_cast<uint16_t>(std::min<int32_t>(r.span, r.top + 1));
            default: return CurrentIndex(static_cast<ArchiveKind>(k));
        }
    }
    if (auto it = registers_.find(key); it != registers_.end()) return it->second;
    return std::nullopt;
}

void Vkt9Simulator::AnswerRegisters(std::span<const uint8_t> request, std::vector<uint8_t>& out) const {
    const uint8_t function = request[1];
    if (request.size() != kReadRequestSize) return ErrorAnswer(function, IllegalValue, out);
    const uint32_t start = uint32_t{request[2]} << 8 | request[3];
    const uint32_t count = uint32_t{request[4]} << 8 | request[5];
    if (count == 0 || count > kMaxRegistersPerRead) return ErrorAnswer(function, IllegalValue, out);
    out = {address_, function, static_cast<uint8_t>(2 * count)};
    for (uint32_t reg = start; reg < start + count; ++reg) {
        const uint32_t key = uint32_t{function} << 16 | reg;
        if (errorRegisters_.count(key)) return ErrorAnswer(function, DeviceFailure, out);
        const auto value = RegisterValue(key);
        if (!value) return ErrorAnswer(function, IllegalAddress, out);
        out.push_back(static_cast<uint8_t>(*value >> 8));
        out.push_back(static_cast<uint8_t>(*value & 0xFF));
    }
    AppendCrc16(out);
}

void Vkt9Simulator::AnswerRecord(std::span<const uint8_t> request, std::vector<uint8_t>& out) const {
    if (request.size() != kRecordRequestSize) return ErrorAnswer(kRecord, IllegalValue, out);
    const uint8_t type = request[2];
    const uint16_t index = static_cast<uint16_t>(request[4] | request[5] << 8);
    if (type >= kArchiveKinds) return ErrorAnswer(kRecord, IllegalAddress, out);
    const auto kind = static_cast<ArchiveKind>(type);
    const Ring& r = ring(kind);
    if (r.errors.count(index)) return ErrorAnswer(kRecord, DeviceFailure, out);
    const auto record = Record(kind, index);
    if (!record) return ErrorAnswer(kRecord, IllegalAddress, out);

    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int32_t>(r.recordLength, Vkt9RecordLayout::Length)));
    const bool impossible = r.impossible.count(index) > 0;
    bytes[0] = record->year;
    bytes[1] = impossible ? 4 : record->month;
    bytes[2] = impossible ? 31 : record->day;
    bytes[3] = record->hour;
    PutLittle(bytes, Vkt9RecordLayout::Heat, std::bit_cast<uint32_t>(record->heat), 4);
    PutLittle(bytes, Vkt9RecordLayout::Volume, record->volume, 4);
    PutLittle(bytes, Vkt9RecordLayout::Temperature, static_cast<uint16_t>(record->temperature), 2);
    PutLittle(bytes, Vkt9RecordLayout::Pressure, record->pressure, 2);
    PutLittle(bytes, Vkt9RecordLayout::Mass, static_cast<uint32_t>(record->massWhole), 4);
    PutLittle(bytes, Vkt9RecordLayout::Mass + 4, std::bit_cast<uint32_t>(record->massFraction), 4);
    bytes.resize(static_cast<size_t>(std::max(0, r.recordLength)));

    // The request's type, subfunction, index and count come back before the record.
    out.assign(request.begin(), request.begin() + 7);
    out[0] = address_;
    out.insert(out.end(), bytes.begin(), bytes.end());
    AppendCrc16(out);
}

void Vkt9Simulator::Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) {
    // A frame the meter cannot read, or one for another meter, gets no answer.
    if (request.size() < 4 || !CheckCrc16(request.data(), request.size()) || request[0] != address_) return;
    switch (request[1]) {
        case kHolding:
        case kInput: AnswerRegisters(request, out); break;
        case kRecord: AnswerRecord(request, out); break;
        default: ErrorAnswer(request[1], IllegalFunction, out); break;
    }
    if (wrongFunction_ && out.size() > 1) {
        ++out[1];
        RepairCrc16(out);
    }
}

bool Vkt9Simulator::SetModelOption(std::string_view name, std::string_view value, std::string& error) {
    auto fail = [&](const char* expected) {
        error = std::string(name) + ": expected " + expected + ", got \"" + std::string(value) + "\"";
        return false;
    };
    int64_t n = 0;
    if (name == "wrong-function") {
        if (value != "true" && value != "false" && value != "1" && value != "0") return fail("true or false");
        wrongFunction_ = value == "true" || value == "1";
        return true;
    }
    std::string_view left, right;
    if (name == "register" || name == "float") {
        int64_t reg = 0;
        if (!Split(value, '=', left, right) || !ParseInt(left, reg) || !KeyOf(static_cast<int32_t>(reg)))
            return fail("REGISTER=VALUE with a 3xxxx or 4xxxx register");
        if (name == "float") {
            char* end = nullptr;
            const std::string text(right);
            const float f = std::strtof(text.c_str(), &end);
            if (text.empty() || *end != '\0') return fail("REGISTER=NUMBER");
            return SetFloat(static_cast<int32_t>(reg), f);
        }
        if (!ParseInt(right, n) || n < 0 || n > 0xFFFF) return fail("REGISTER=WORD");
        return SetRegister(static_cast<int32_t>(reg), static_cast<uint16_t>(n));
    }
    if (name == "error-register") {
        if (!ParseInt(value, n) || !SetErrorRegister(static_cast<int32_t>(n))) return fail("a 3xxxx or 4xxxx register");
        return true;
    }
    const bool perArchive = name == "error-record" || name == "impossible-date" || name == "ring-top" ||
                            name == "current-index" || name == "span" || name == "record-length" ||
                            name == "index-register";
    if (!perArchive) return MeterSimulator::SetModelOption(name, value, error);
    ArchiveKind kind = Hour;
    if (!Split(value, ':', left, right) || !ParseKind(left, kind) || !ParseInt(right, n) || n < 0 || n > 0xFFFF)
        return fail("ARCHIVE:NUMBER with ARCHIVE hour, day or month (0, 1, 2)");
    const auto number = static_cast<uint16_t>(n);
    if (name == "error-record") SetErrorRecord(kind, number);
    if (name == "impossible-date") SetImpossibleDate(kind, number);
    if (name == "ring-top") SetRingTop(kind, number);
    if (name == "current-index") {
        if (number > RingTop(kind)) return fail("an index inside the ring");
        SetCurrentIndex(kind, number);
    }
    if (name == "span") SetSpan(kind, number);
    if (name == "record-length") SetRecordLength(kind, number);
    if (name == "index-register" && !SetIndexRegister(kind, number)) return fail("ARCHIVE:REGISTER, 3xxxx or 4xxxx");
    return true;
}

std::vector<std::pair<std::string, std::string>> Vkt9Simulator::ModelOptions() const {
    return {
        {"register", "REGISTER=WORD, e.g. 40006=1 (3xxxx input, 4xxxx holding)"},
        {"float", "REGISTER=NUMBER, a float over two registers"},
        {"error-register", "reads touching this register get an error answer"},
        {"wrong-function", "answer with the next function code (true/false)"},
        {"ring-top", "ARCHIVE:N, the highest index of the ring (ARCHIVE hour, day, month)"},
        {"current-index", "ARCHIVE:N, the slot written next"},
        {"span", "ARCHIVE:N, complete records before the current index"},
        {"record-length", "ARCHIVE:N, bytes of a record (24 holds every value)"},
        {"index-register", "ARCHIVE:REGISTER, the first of the three index registers"},
        {"error-record", "ARCHIVE:INDEX, requests for this record get an error answer"},
        {"impossible-date", "ARCHIVE:INDEX, this record is dated 31 April"},
    };
}

std::vector<std::string> Vkt9Simulator::RegisterMap() const {
    std::vector<std::string> out;
    char line[200];
    const auto modbus = [](uint32_t key) {
        return ((key >> 16) == kHolding ? 40001 : 30001) + static_cast<int>(key & 0xFFFF);
    };
    std::set<uint32_t> keys(errorRegisters_);
    for (const auto& [key, value] : registers_) keys.insert(key);
    for (uint32_t key : keys) {
        const auto value = RegisterValue(key);
        const char* kind = (key >> 16) == kHolding ? "holding" : "input";
        if (value)
            std::snprintf(line, sizeof line, "%d  %-7s  0x%04X  %5u%s", modbus(key), kind, *value, *value,
                          errorRegisters_.count(key) != 0 ? "  (reads get an error answer)" : "");
        else
            std::snprintf(line, sizeof line, "%d  %-7s  (reads get an error answer)", modbus(key), kind);
        out.emplace_back(line);
    }
    static const char* const kNames[kArchiveKinds] = {"hour", "day", "month"};
    for (size_t k = 0; k < kArchiveKinds; ++k) {
        const Ring& r = rings_[k];
        std::snprintf(line, sizeof line,
                      "%s archive: index registers %d..%d, slots 0..%u, current index %u, %d records before it, "
                      "%d-byte records (function 0x41 type %zu)",
                      kNames[k], modbus(r.indexKey), modbus(r.indexKey) + 2, r.top,
                      CurrentIndex(static_cast<ArchiveKind>(k)), r.span, r.recordLength, k);
        out.emplace_back(line);
    }
    return out;
}

}  // namespace sim
