#include "tools/output.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include <fmt/format.h>

#include "common/platform.h"

namespace tools {

using hostemu::QualityName;
using hostemu::ValueKind;

// ---- text forms ----

std::string ValueText(const hostemu::Value& v) {
    switch (v.kind) {
        case ValueKind::None: return "-";
        case ValueKind::Bool: return v.number != 0 ? "true" : "false";
        case ValueKind::Text: return v.text;
        case ValueKind::Int:
        case ValueKind::UInt:
        case ValueKind::Word: return fmt::format("{}", static_cast<int64_t>(v.number));
        case ValueKind::Float: return fmt::format("{}", static_cast<float>(v.number));
        case ValueKind::Double: return fmt::format("{}", v.number);
    }
    return "?";
}

namespace {

bool BrokenDown(uint64_t ticks, bool local, std::tm& tm, int& millis) {
    if (ticks < platform::kUnixEpochTicks) return false;
    const uint64_t since = ticks - platform::kUnixEpochTicks;
    const std::time_t seconds = static_cast<std::time_t>(since / platform::kTicksPerSecond);
    millis = static_cast<int>(since % platform::kTicksPerSecond / 10000);
    return (local ? localtime_r(&seconds, &tm) : gmtime_r(&seconds, &tm)) != nullptr;
}

std::string Stamp(uint64_t ticks, bool local, const char* format) {
    std::tm tm{};
    int millis = 0;
    if (!BrokenDown(ticks, local, tm, millis)) return fmt::format("(ticks {})", ticks);
    char text[64];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

std::string Clock(uint64_t ticks) {
    std::tm tm{};
    int millis = 0;
    if (!BrokenDown(ticks, true, tm, millis)) return "--:--:--";
    return fmt::format("{:02}:{:02}:{:02}.{:03}", tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
}

std::string JsonValue(const hostemu::Value& v) {
    switch (v.kind) {
        case ValueKind::None: return "null";
        case ValueKind::Bool: return v.number != 0 ? "true" : "false";
        case ValueKind::Text: return "\"" + JsonEscape(v.text) + "\"";
        default: return std::isfinite(v.number) ? ValueText(v) : "null";
    }
}

std::string TagPath(const std::string& node, const std::string& tag) { return node.empty() ? tag : node + "/" + tag; }

void Line(std::FILE* out, const std::string& text) {
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

// ---- one line per event ----

class LinesSink : public Sink {
public:
    explicit LinesSink(std::FILE* out) : out_(out) {}
    using Sink::Trace;

    void Publish(const Publication& p) override {
        // The device's own tags (control tags) come after every value: shown on change only.
        if (p.node.empty() && !p.archive) {
            std::string& last = control_[p.device + '\x1f' + p.tag];
            std::string now = ValueText(p.value) + '\x1f' + std::to_string(p.quality);
            if (now == last) return;
            last = std::move(now);
        }
        Line(out_, fmt::format("{}  {}  {} = {}  [{}]{}", LocalTime(p.time), p.device, TagPath(p.node, p.tag),
                               ValueText(p.value), QualityName(p.quality), p.archive ? "  archive" : ""));
    }
    void Log(const std::string& device, const std::string& node, const std::string& text) override {
        Line(out_,
             fmt::format("{}  {}  log{}: {}", LocalTime(NowTicks()), device, node.empty() ? "" : " " + node, text));
    }
    void Note(const std::string& device, const std::string& text) override {
        Line(out_, fmt::format("{}  {}  -- {}", LocalTime(NowTicks()), device, text));
    }
    void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
               const std::string& what) override {
        Line(out_, fmt::format("{}  {}  {} {}  ({})", Clock(time), device, sent ? ">>" : "<<", Hex(bytes), what));
    }
    void Progress(const ArchiveProgress& p) override {
        Line(out_, fmt::format("{}  {}  archive {}: {} records, newest {}", LocalTime(NowTicks()), p.device, p.archive,
                               p.records, LocalTime(p.newest)));
    }
    void CycleDone(const std::string& device, int cycle) override {
        Line(out_, fmt::format("{}  {}  -- cycle {} done", LocalTime(NowTicks()), device, cycle));
    }
    void Summary(const std::vector<DeviceSummary>& devices) override {
        for (const auto& s : devices) Line(out_, SummaryText(s));
    }

private:
    std::FILE* out_;
    std::map<std::string, std::string> control_;
};

// ---- JSON lines ----

class JsonSink : public Sink {
public:
    explicit JsonSink(std::FILE* out) : out_(out) {}
    using Sink::Trace;

    void Publish(const Publication& p) override {
        Line(out_,
             fmt::format("{{\"event\":\"publish\",\"device\":\"{}\",\"node\":\"{}\",\"tag\":\"{}\",\"value\":{},"
                         "\"quality\":{},\"quality_name\":\"{}\",\"time\":\"{}\",\"archive\":{}}}",
                         JsonEscape(p.device), JsonEscape(p.node), JsonEscape(p.tag), JsonValue(p.value), p.quality,
                         JsonEscape(QualityName(p.quality)), IsoUtc(p.time), p.archive ? "true" : "false"));
    }
    void Log(const std::string& device, const std::string& node, const std::string& text) override {
        Line(out_, fmt::format("{{\"event\":\"log\",\"device\":\"{}\",\"node\":\"{}\",\"text\":\"{}\"}}",
                               JsonEscape(device), JsonEscape(node), JsonEscape(text)));
    }
    void Note(const std::string& device, const std::string& text) override {
        Line(out_, fmt::format("{{\"event\":\"note\",\"device\":\"{}\",\"text\":\"{}\"}}", JsonEscape(device),
                               JsonEscape(text)));
    }
    void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
               const std::string& what) override {
        Line(out_, fmt::format("{{\"event\":\"trace\",\"device\":\"{}\",\"dir\":\"{}\",\"bytes\":\"{}\",\"what\":\"{}\","
                               "\"time\":\"{}\"}}",
                               JsonEscape(device), sent ? "tx" : "rx", Hex(bytes), JsonEscape(what), IsoUtcMillis(time)));
    }
    void Progress(const ArchiveProgress& p) override {
        Line(out_,
             fmt::format(
                 "{{\"event\":\"progress\",\"device\":\"{}\",\"archive\":\"{}\",\"records\":{},\"newest\":\"{}\"}}",
                 JsonEscape(p.device), JsonEscape(p.archive), p.records, IsoUtc(p.newest)));
    }
    void CycleDone(const std::string& device, int cycle) override {
        Line(out_, fmt::format("{{\"event\":\"cycle\",\"device\":\"{}\",\"cycle\":{}}}", JsonEscape(device), cycle));
    }
    void Summary(const std::vector<DeviceSummary>& devices) override {
        for (const auto& s : devices)
        {
            std::string codes;
            for (const auto& [code, count] : s.exceptionCodes)
                codes += fmt::format("{}\"{:02X}\":{}", codes.empty() ? "" : ",", code, count);
            Line(out_, fmt::format("{{\"event\":\"summary\",\"device\":\"{}\",\"cycles\":{},\"sent\":{},\"answers\":{},"
                                   "\"failures\":{},\"good\":{},\"silence\":{},\"malformed\":{},\"exceptions\":{},"
                                   "\"exception_codes\":{{{}}},\"line_failures\":{},\"not_sent\":{},\"connects\":{},"
                                   "\"drops\":{},\"failed\":{}}}",
                                   JsonEscape(s.device), s.cycles, s.sent, s.answers(), s.failures(), s.good, s.silence,
                                   s.malformed, s.exceptions, codes, s.lineFailures, s.notSent, s.connects, s.drops,
                                   s.failed ? "true" : "false"));
        }
    }

private:
    std::FILE* out_;
};

// ---- CSV file ----

class CsvSink : public Sink {
public:
    explicit CsvSink(std::FILE* out) : out_(out) {
        Line(out_, "device,node,tag,value,quality,quality_name,time_utc,archive");
    }
    void Publish(const Publication& p) override {
        Line(out_, fmt::format("{},{},{},{},{},{},{},{}", Field(p.device), Field(p.node), Field(p.tag),
                               Field(ValueText(p.value)), p.quality, Field(QualityName(p.quality)), IsoUtc(p.time),
                               p.archive ? 1 : 0));
    }
    void Log(const std::string&, const std::string&, const std::string&) override {}
    void Note(const std::string&, const std::string&) override {}
    void Progress(const ArchiveProgress&) override {}
    void CycleDone(const std::string&, int) override {}
    void Summary(const std::vector<DeviceSummary>&) override {}

private:
    static std::string Field(const std::string& text) {
        if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
        std::string quoted = "\"";
        for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
    }
    std::FILE* out_;
};

// ---- live table ----

class TableSink : public Sink {
public:
    explicit TableSink(std::FILE* out) : out_(out) {}
    using Sink::Trace;

    void Publish(const Publication& p) override {
        const std::string key = p.device + '\x1f' + TagPath(p.node, p.tag);
        auto [it, added] = index_.try_emplace(key, rows_.size());
        if (added) rows_.push_back({p.device, TagPath(p.node, p.tag), {}, {}, {}});
        Row& row = rows_[it->second];
        if (p.value.kind != ValueKind::None) row.value = ValueText(p.value);
        row.quality = QualityName(p.quality);
        row.time = LocalTime(p.time) + (p.archive ? " (archive)" : "");
        MaybeDraw();
    }
    void Log(const std::string& device, const std::string& node, const std::string& text) override {
        Remember(fmt::format("{}  {}{}", device, node.empty() ? "" : node + ": ", text));
    }
    void Note(const std::string& device, const std::string& text) override { Remember(device + "  -- " + text); }
    void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
               const std::string& what) override {
        Remember(fmt::format("{} {} {} {}  ({})", Clock(time), device, sent ? ">>" : "<<", Hex(bytes), what));
    }
    void Progress(const ArchiveProgress& p) override {
        progress_[p.device + '\x1f' + p.archive] =
            fmt::format("{:<16} {:<14} {:>6} records, newest {}", p.device, p.archive, p.records, LocalTime(p.newest));
    }
    void CycleDone(const std::string&, int) override { Draw(); }
    void Status(const DeviceSummary& s) override { status_[s.device] = SummaryText(s); }
    void Summary(const std::vector<DeviceSummary>& devices) override {
        Draw();
        std::fputc('\n', out_);
        for (const auto& s : devices) Line(out_, SummaryText(s));
    }

private:
    struct Row {
        std::string device, tag, value, quality, time;
    };

    void Remember(std::string line) {
        recent_.push_back(std::move(line));
        if (recent_.size() > 8) recent_.erase(recent_.begin());
        MaybeDraw();
    }

    void MaybeDraw() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDraw_ >= std::chrono::milliseconds(200)) Draw();
    }

    void Draw() {
        lastDraw_ = std::chrono::steady_clock::now();
        size_t wd = 6, wt = 3, wv = 5, wq = 7;
        for (const Row& r : rows_) {
            wd = std::max(wd, r.device.size());
            wt = std::max(wt, r.tag.size());
            wv = std::max(wv, r.value.size());
            wq = std::max(wq, r.quality.size());
        }
        std::string screen = "\x1b[H\x1b[2J";
        screen += fmt::format("vktpoll  {}\n\n", LocalTime(NowTicks()));
        screen += fmt::format("{:<{}}  {:<{}}  {:>{}}  {:<{}}  {}\n", "DEVICE", wd, "TAG", wt, "VALUE", wv, "QUALITY",
                              wq, "TIME");
        // A device's rows together, each in the order it first appeared.
        std::map<std::string, size_t> deviceOrder;
        for (const Row& r : rows_) deviceOrder.try_emplace(r.device, deviceOrder.size());
        std::vector<const Row*> ordered;
        for (const Row& r : rows_) ordered.push_back(&r);
        std::stable_sort(ordered.begin(), ordered.end(),
                         [&](const Row* x, const Row* y) { return deviceOrder[x->device] < deviceOrder[y->device]; });
        for (const Row* r : ordered)
            screen += fmt::format("{:<{}}  {:<{}}  {:>{}}  {:<{}}  {}\n", r->device, wd, r->tag, wt, r->value, wv,
                                  r->quality, wq, r->time);
        if (!progress_.empty()) {
            screen += "\nArchives\n";
            for (const auto& [key, line] : progress_) screen += "  " + line + "\n";
        }
        if (!status_.empty()) {
            screen += "\nLines\n";
            for (const auto& [device, line] : status_) screen += "  " + line + "\n";
        }
        if (!recent_.empty()) {
            screen += "\nLog\n";
            for (const auto& line : recent_) screen += "  " + line + "\n";
        }
        std::fputs(screen.c_str(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    std::vector<Row> rows_;
    std::map<std::string, size_t> index_;
    std::map<std::string, std::string> progress_;
    std::map<std::string, std::string> status_;  // per device: cycles and answers by outcome
    std::vector<std::string> recent_;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace

std::string IsoUtc(uint64_t ticks) { return Stamp(ticks, false, "%Y-%m-%dT%H:%M:%SZ"); }

std::string IsoUtcMillis(uint64_t ticks) {
    std::tm tm{};
    int millis = 0;
    if (!BrokenDown(ticks, false, tm, millis)) return fmt::format("(ticks {})", ticks);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
}

std::string SummaryText(const DeviceSummary& s) {
    std::string text = fmt::format("{}: {} cycles, {} frames sent: {} good, {} silent, {} malformed, {} exceptions",
                                   s.device, s.cycles, s.sent, s.good, s.silence, s.malformed, s.exceptions);
    for (const auto& [code, count] : s.exceptionCodes) text += fmt::format(" ({}x {:02X})", count, code);
    if (s.lineFailures != 0) text += fmt::format(", {} line failures", s.lineFailures);
    if (s.notSent != 0) text += fmt::format(", {} never sent", s.notSent);
    if (s.line) text += fmt::format(", {} connects, {} drops", s.connects, s.drops);
    if (s.failed) text += "  FAILED";
    return text;
}
std::string LocalTime(uint64_t ticks) { return Stamp(ticks, true, "%Y-%m-%d %H:%M:%S"); }

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // Bytes above 0x7F are taken as Latin-1: the output stays valid JSON
                // whatever a meter or the plugin put in a text.
                if (c < 0x20 || c > 0x7E)
                    out += fmt::format("\\u{:04x}", c);
                else
                    out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out += ' ';
        out += fmt::format("{:02X}", bytes[i]);
    }
    return out;
}

uint64_t NowTicks() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return platform::kUnixEpochTicks +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count()) * 10;
}

void FanOut::Publish(const Publication& p) {
    for (auto& s : sinks_) s->Publish(p);
}
void FanOut::Log(const std::string& device, const std::string& node, const std::string& text) {
    for (auto& s : sinks_) s->Log(device, node, text);
}
void FanOut::Note(const std::string& device, const std::string& text) {
    for (auto& s : sinks_) s->Note(device, text);
}
void FanOut::Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
                   const std::string& what) {
    for (auto& s : sinks_) s->Trace(device, sent, bytes, time, what);
}
void FanOut::Progress(const ArchiveProgress& p) {
    for (auto& s : sinks_) s->Progress(p);
}
void FanOut::CycleDone(const std::string& device, int cycle) {
    for (auto& s : sinks_) s->CycleDone(device, cycle);
}
void FanOut::Status(const DeviceSummary& device) {
    for (auto& s : sinks_) s->Status(device);
}
void FanOut::Summary(const std::vector<DeviceSummary>& devices) {
    for (auto& s : sinks_) s->Summary(devices);
}

std::unique_ptr<Sink> MakeSink(OutputMode mode, std::FILE* out) {
    switch (mode) {
        case OutputMode::Table: return std::make_unique<TableSink>(out);
        case OutputMode::Lines: return std::make_unique<LinesSink>(out);
        case OutputMode::Json: return std::make_unique<JsonSink>(out);
    }
    return nullptr;
}

std::unique_ptr<Sink> MakeCsvSink(std::FILE* out) { return std::make_unique<CsvSink>(out); }

}  // namespace tools
