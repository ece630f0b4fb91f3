#include "sim/vkt5/vkt5_simulator.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"

namespace sim {

namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

constexpr uint8_t kFnRead = 0x03;
constexpr uint8_t kFnReadArchive = 0x04;
constexpr uint8_t kFnWrite = 0x10;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kTotal = 0x80;
constexpr uint8_t kRegChannels = 0x0A;
constexpr uint8_t kRegClock = 0x0B;
constexpr uint8_t kRegVersion = 0x0E;
constexpr uint8_t kErrorIllegalValue = 3;
constexpr size_t kReadRequestLength = 8;
constexpr size_t kRecordTimeRequestLength = 17;
constexpr size_t kReportBlock = 12;
constexpr size_t kEntryLength = 7;
constexpr size_t kHeatSystems = 9;

void PutFloat(std::vector<uint8_t>& out, size_t at, float value) {
    const auto bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (24 - 8 * i));
}

// Floats at every 4-byte step from base, then a counting tail.
std::vector<uint8_t> Pattern(size_t length, float base) {
    std::vector<uint8_t> data(length);
    size_t at = 0;
    for (; at + 4 <= length; at += 4) PutFloat(data, at, base + 1.5f * static_cast<float>(at / 4));
    for (; at < length; ++at) data[at] = static_cast<uint8_t>(at);
    return data;
}

float ArrayBase(bool total, uint8_t array, uint8_t heat) {
    return (total ? 10000.0f : 0.0f) + 1000.0f * static_cast<float>(heat % 10) + 100.0f * static_cast<float>(array % 10) +
           0.25f;
}

uint16_t Word(std::span<const uint8_t> frame, size_t at) {
    return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

// Request parameters P1, P2 the meter expects for an array and heat system.
std::pair<uint8_t, uint8_t> ArrayParams(bool total, uint8_t array, uint8_t heat) {
    const auto perHeat = static_cast<uint8_t>(heat * 28);
    if (total) {
        if (array == 0) return {perHeat, 0};
        if (array == 1) return {6, 128};
        return {0, 0};
    }
    switch (array) {
        case 0: return {perHeat, 0};
        case 1: return {6, 48};
        case 3: return {0, 6};
        case 4: return {heat, 11};
        case 5: return {0, 80};
        case 7: return {0, 6};
        default: return {0, 0};
    }
}

// Exactly N comma-separated numbers that fit T; out is left alone otherwise.
template <class T, size_t N>
bool ParseList(std::string_view text, std::array<T, N>& out) {
    const auto parts = Split(text, ',');
    if (parts.size() != N) return false;
    std::array<T, N> values{};
    for (size_t i = 0; i < N; ++i) {
        int64_t n = 0;
        if (!ParseInt(parts[i], n) || n < 0 || n > std::numeric_limits<T>::max()) return false;
        values[i] = static_cast<T>(n);
    }
    out = values;
    return true;
}

}  // namespace

Vkt5Simulator::Vkt5Simulator() = default;

int Vkt5Simulator::FirmwareClass() const {
    int version = firmware_ >> 4;
    int subversion = firmware_ & 0x0F;
    if (version == 0) {
        version = subversion;
        subversion = 0;
    }
    if (version < 6) return 2;
    return subversion == 0 ? 0 : 1;
}

int Vkt5Simulator::ChannelCount(uint8_t heat) const {
    if (heat >= kHeatSystems) return 0;
    // Version 6.0 sends a table one byte short, so it shows one entry less.
    const size_t entries = (firmware_ == 0x06 || firmware_ == 0x60) ? kChannelEntries - 1 : kChannelEntries;
    return static_cast<int>(std::count(channelHeat_.begin(), channelHeat_.begin() + static_cast<std::ptrdiff_t>(entries), heat));
}

Vkt5Simulator::Layout Vkt5Simulator::ArrayLayout(bool total, uint8_t array) const {
    const bool subversionN = FirmwareClass() == 1;
    if (total) {
        if (array == 0) return {subversionN ? 40u : 32u, 8, false};
        if (array == 1) return {128, 0, false};
        return {0, 0, false};
    }
    switch (array) {
        case 0: return {subversionN ? 20u : 16u, 6, false};
        case 1: return {96, 0, false};
        case 3: return {24, 0, false};
        case 4: return {6, 9, true};
        case 5: return {160, 0, false};
        case 7: return {26, 0, false};
        default: return {0, 0, false};
    }
}

size_t Vkt5Simulator::DataLength(bool total, uint8_t array) const { return ArrayLayout(total, array).length; }

std::vector<uint8_t> Vkt5Simulator::CurrentData(bool total, uint8_t array, uint8_t heat) const {
    const size_t length = DataLength(total, array);
    auto it = current_.find({total, array, heat});
    if (it == current_.end()) return Pattern(length, ArrayBase(total, array, heat));
    std::vector<uint8_t> data = it->second;
    data.resize(length);
    return data;
}

void Vkt5Simulator::SetCurrentData(bool total, uint8_t array, uint8_t heat, std::vector<uint8_t> data) {
    current_[{total, array, heat}] = std::move(data);
}

std::vector<uint8_t> Vkt5Simulator::ArchiveData(bool total, uint8_t array, uint8_t heat, pt::ptime record) const {
    const size_t length = DataLength(total, array);
    auto it = archive_.find({total, array, heat, record});
    if (it == archive_.end()) {
        // Each record differs from its neighbours, repeating after 1000 hours.
        const auto hours = (record - pt::ptime(gd::date(2020, 1, 1))).hours();
        return Pattern(length, ArrayBase(total, array, heat) + 0.5f * static_cast<float>(((hours % 1000) + 1000) % 1000));
    }
    std::vector<uint8_t> data = it->second;
    data.resize(length);
    return data;
}

void Vkt5Simulator::SetArchiveData(bool total, uint8_t array, uint8_t heat, pt::ptime record,
                                   std::vector<uint8_t> data) {
    archive_[{total, array, heat, record}] = std::move(data);
}

bool Vkt5Simulator::Refused(Vkt5Request kind, int array, int heat, uint8_t& code) {
    for (auto& r : refusals_) {
        if (r.kind != kind || r.count == 0) continue;
        if ((r.array >= 0 && r.array != array) || (r.heat >= 0 && r.heat != heat)) continue;
        if (r.count > 0) --r.count;
        code = r.code;
        return true;
    }
    return false;
}

void Vkt5Simulator::Data(std::vector<uint8_t>& out, uint8_t function, std::span<const uint8_t> data) const {
    out.push_back(address_);
    out.push_back(wrongFunction_ ? static_cast<uint8_t>(function + 1) : function);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + 2);
    AppendCrc16(out.data(), out.size() - 2);
}

void Vkt5Simulator::Error(std::vector<uint8_t>& out, uint8_t function, uint8_t code) const {
    out = {address_, static_cast<uint8_t>(function | kErrorFlag), code, 0, 0};
    AppendCrc16(out.data(), 3);
}

void Vkt5Simulator::Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) {
    // A real meter stays silent on frames it cannot take as its own.
    if (request.size() < 4 || !CheckCrc16(request.data(), request.size()) || request[0] != address_) return;
    const uint8_t function = request[1];
    uint8_t code = 0;
    if (function == kFnWrite) return AnswerRecordTime(request, out);
    if (function != kFnRead && function != kFnReadArchive) return Error(out, function, kErrorIllegalFunction);
    if (request.size() != kReadRequestLength) return Error(out, function, kErrorIllegalValue);
    const uint8_t reg = request[2];
    if (function == kFnRead && reg == kRegVersion && request[5] == 0x01) {
        if (Refused(Vkt5Request::Version, -1, -1, code)) return Error(out, function, code);
        const uint8_t data[2] = {0x00, firmware_};
        return Data(out, function, data);
    }
    if (function == kFnRead && reg == kRegChannels && request[5] == 0x1C) {
        if (Refused(Vkt5Request::ChannelTable, -1, -1, code)) return Error(out, function, code);
        const size_t length = (firmware_ == 0x06 || firmware_ == 0x60) ? 59 : 60;
        std::vector<uint8_t> table(kChannelEntries * kEntryLength);
        for (size_t i = 0; i < kChannelEntries; ++i) {
            table[i * kEntryLength] = channelHeat_[i];
            for (size_t j = 1; j < kEntryLength; ++j) table[i * kEntryLength + j] = static_cast<uint8_t>(0x10 * i + j);
        }
        table.resize(length);
        if (length == 60) table[59] = reportType_;
        return Data(out, function, table);
    }
    if (function == kFnRead && reg == kRegClock) {
        if (Refused(Vkt5Request::Clock, -1, -1, code)) return Error(out, function, code);
        std::array<uint16_t, 5> words{};
        if (rawClock_) {
            words = *rawClock_;
        } else {
            const pt::ptime now = clock().Now();
            const auto tod = now.time_of_day();
            words = {static_cast<uint16_t>(now.date().year()), static_cast<uint16_t>(now.date().month()),
                     static_cast<uint16_t>(now.date().day()), static_cast<uint16_t>(tod.hours()),
                     static_cast<uint16_t>(tod.minutes())};
        }
        uint8_t data[10];
        for (size_t i = 0; i < 5; ++i) {
            data[2 * i] = static_cast<uint8_t>(words[i] >> 8);
            data[2 * i + 1] = static_cast<uint8_t>(words[i] & 0xFF);
        }
        return Data(out, function, data);
    }
    AnswerArray(request, function == kFnReadArchive, out);
}

void Vkt5Simulator::AnswerArray(std::span<const uint8_t> request, bool archive, std::vector<uint8_t>& out) {
    const uint8_t function = request[1];
    const bool total = (request[2] & kTotal) != 0;
    const auto array = static_cast<uint8_t>(request[2] & ~kTotal);
    uint8_t heat = 0;
    if (array == 0) heat = static_cast<uint8_t>(request[3] / 28);
    if (array == 4 && !total) heat = request[3];
    if (ArrayParams(total, array, heat) != std::pair<uint8_t, uint8_t>{request[3], request[5]} || request[4] != 0)
        return Error(out, function, kErrorIllegalAddress);
    const Vkt5Request kind = archive ? (total ? Vkt5Request::ArchiveTotal : Vkt5Request::ArchiveCurrent)
                                     : (total ? Vkt5Request::Total : Vkt5Request::Current);
    uint8_t code = 0;
    if (Refused(kind, array, heat, code)) return Error(out, function, code);
    if (archive && !selected_) return Error(out, function, kErrorIllegalAddress);

    const Layout layout = ArrayLayout(total, array);
    std::vector<uint8_t> data;
    if (layout.channelWords > 0) {
        const int k = std::max(1, ChannelCount(heat));
        for (int c = 0; c < k; ++c)
            for (int b = 0; b < layout.channelWords * 2; ++b) data.push_back(static_cast<uint8_t>(0xC0 + 16 * c + b));
    }
    const auto values = archive ? ArchiveData(total, array, heat, *selected_) : CurrentData(total, array, heat);
    data.insert(data.end(), values.begin(), values.end());
    if (archive && layout.reportBlock && FirmwareClass() == 1 && reportType_ == 2)
        data.insert(data.end(), kReportBlock, uint8_t{0xAA});
    Data(out, function, data);
}

void Vkt5Simulator::AnswerRecordTime(std::span<const uint8_t> request, std::vector<uint8_t>& out) {
    if (request.size() != kRecordTimeRequestLength || request[2] != kRegClock || request[5] != 4 || request[6] != 8)
        return Error(out, kFnWrite, kErrorIllegalAddress);
    pt::ptime record;
    try {
        record = pt::ptime(gd::date(Word(request, 7), Word(request, 9), Word(request, 11)), pt::hours(Word(request, 13)));
    } catch (const std::exception&) {
        return Error(out, kFnWrite, kErrorIllegalValue);
    }
    recordTimes_.push_back(record);
    uint8_t code = 0;
    if (Refused(Vkt5Request::RecordTime, -1, -1, code)) return Error(out, kFnWrite, code);
    const pt::ptime now = clock().Now();
    if (Word(request, 13) > 23 || record > now || record < now - archiveSpan_) {
        selected_.reset();
        return Error(out, kFnWrite, kErrorIllegalAddress);
    }
    selected_ = record;
    out.assign(request.begin(), request.begin() + 6);
    if (wrongFunction_) ++out[1];
    out.resize(8);
    AppendCrc16(out.data(), 6);
}

bool Vkt5Simulator::SetModelOption(std::string_view name, std::string_view value, std::string& error) {
    int64_t n = 0;
    auto bad = [&](const char* expected) {
        error = std::string(name) + ": expected " + expected + ", got \"" + std::string(value) + "\"";
        return false;
    };
    auto byte = [&](uint8_t& slot) {
        if (!ParseInt(value, n) || n < 0 || n > 255) return bad("a number 0 to 255");
        slot = static_cast<uint8_t>(n);
        return true;
    };
    if (name == "firmware") return byte(firmware_);
    if (name == "report-type") return byte(reportType_);
    if (name == "wrong-function") return ParseBool(value, wrongFunction_) || bad("true or false");
    if (name == "archive-span-hours") {
        if (!ParseInt(value, n) || n < 0 || n > 1000000) return bad("a number of hours");
        archiveSpan_ = pt::hours(n);
        return true;
    }
    if (name == "channels") return ParseList(value, channelHeat_) || bad("9 heat numbers separated by commas");
    if (name == "raw-clock") {
        if (value == "none") {
            rawClock_.reset();
            return true;
        }
        std::array<uint16_t, 5> words{};
        if (!ParseList(value, words)) return bad("year,month,day,hour,minute or none");
        rawClock_ = words;
        return true;
    }
    if (name == "refuse") {
        if (value == "none") {
            refusals_.clear();
            return true;
        }
        // kind[:array[:heat]]
        const auto parts = Split(value, ':');
        static const std::pair<std::string_view, Vkt5Request> kinds[] = {
            {"version", Vkt5Request::Version},         {"channels", Vkt5Request::ChannelTable},
            {"clock", Vkt5Request::Clock},             {"record-time", Vkt5Request::RecordTime},
            {"current", Vkt5Request::Current},         {"total", Vkt5Request::Total},
            {"archive", Vkt5Request::ArchiveCurrent},  {"archive-total", Vkt5Request::ArchiveTotal},
        };
        Vkt5Refusal refusal{Vkt5Request::Version};
        auto it = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto& k) { return k.first == parts[0]; });
        if (it == std::end(kinds) || parts.size() > 3)
            return bad("version, channels, clock, record-time, current[:array[:heat]], total[...], archive[...], "
                       "archive-total[...] or none");
        refusal.kind = it->second;
        if (parts.size() > 1) {
            if (!ParseInt(parts[1], n) || n < 0 || n > 127) return bad("an array number 0 to 127");
            refusal.array = static_cast<int>(n);
        }
        if (parts.size() > 2) {
            if (!ParseInt(parts[2], n) || n < 0 || n > 255) return bad("a heat number 0 to 255");
            refusal.heat = static_cast<int>(n);
        }
        refusals_.push_back(refusal);
        return true;
    }
    return MeterSimulator::SetModelOption(name, value, error);
}

std::vector<std::pair<std::string, std::string>> Vkt5Simulator::ModelOptions() const {
    return {
        {"firmware", "firmware version byte, e.g. 0x61 for 6.1, 0x06 for 6.0"},
        {"channels", "heat system of each of the 9 channel table entries, e.g. 0,0,0,1,1,2,9,9,9"},
        {"report-type", "report type in the channel table (1 or 2)"},
        {"raw-clock", "clock answer as raw words year,month,day,hour,minute, or none"},
        {"archive-span-hours", "how far back from the clock the archive keeps records"},
        {"refuse", "answer with a Modbus error: version, channels, clock, record-time, "
                   "current|total|archive|archive-total[:array[:heat]], or none to clear"},
        {"wrong-function", "answer with the wrong function code (true/false)"},
    };
}

std::vector<std::string> Vkt5Simulator::RegisterMap() const {
    std::vector<std::string> out;
    char line[200];
    std::snprintf(line, sizeof line, "firmware %u.%u, report type %u", firmware_ >> 4, firmware_ & 0x0F, reportType_);
    out.emplace_back(line);
    for (bool total : {false, true})
        for (uint8_t array = 0; array < 8; ++array) {
            if (DataLength(total, array) == 0) continue;
            // Arrays with per-channel blocks exist once per heat system.
            const uint8_t heats = ArrayLayout(total, array).channelWords != 0 ? 3 : 1;
            for (uint8_t heat = 0; heat < heats; ++heat) {
                const std::vector<uint8_t> data = CurrentData(total, array, heat);
                std::string hex;
                for (size_t i = 0; i < data.size() && i < 12; ++i) {
                    char byte[4];
                    std::snprintf(byte, sizeof byte, " %02X", data[i]);
                    hex += byte;
                }
                std::snprintf(line, sizeof line, "%-7s array %u heat %u: %zu bytes:%s%s", total ? "totals" : "current",
                              array, heat, data.size(), hex.c_str(), data.size() > 12 ? " ..." : "");
                out.emplace_back(line);
            }
        }
    return out;
}

}  // namespace sim
