#include "tools/poller.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <set>

#include <boost/asio/steady_timer.hpp>
#include <fmt/format.h>

#include "tools/frames.h"
#include "tools/line_channel.h"
#include "tools/sim_factory.h"

namespace tools {

using Clock = std::chrono::steady_clock;
using hostemu::Device;
using hostemu::Event;
using hostemu::EventKind;

WriteRequest ParseWrite(std::string_view text) {
    const auto fail = [&](const char* what) -> WriteRequest {
        throw ConfigError(
            fmt::format("--write \"{}\": expected device.Tag=value or device.Tag=value@cycle; {}", text, what));
    };
    WriteRequest w;
    const size_t dot = text.find('.');
    const size_t eq = text.find('=');
    if (dot == std::string_view::npos || eq == std::string_view::npos || dot > eq)
        return fail("no device.Tag before '='");
    w.device = std::string(text.substr(0, dot));
    w.tag = std::string(text.substr(dot + 1, eq - dot - 1));
    if (w.device.empty() || w.tag.empty()) return fail("the device or the tag is empty");
    std::string_view value = text.substr(eq + 1);
    const size_t at = value.find('@');
    if (at != std::string_view::npos) {
        const std::string_view cycle = value.substr(at + 1);
        auto [end, ec] = std::from_chars(cycle.data(), cycle.data() + cycle.size(), w.atCycle);
        if (ec != std::errc() || end != cycle.data() + cycle.size() || w.atCycle < 1)
            return fail("the cycle is not 1 or more");
        value = value.substr(0, at);
    }
    if (value == "true") value = "1";
    if (value == "false") value = "0";
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), w.value);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size())
        return fail("the value is not an integer");
    return w;
}

struct Poller::DeviceRun {
    DeviceConfig config;
    Device* device = nullptr;
    std::unique_ptr<sim::MeterSimulator> simulator;
    std::unique_ptr<LineChannel> line;
    Clock::time_point next;
    std::vector<Clock::time_point> subNext;
    int cycles = 0;
    DeviceSummary stats;
    int32_t lastResult = 1;
    std::string idleReason;  // why the last cycle sent nothing, to say it once
    uint64_t copiesWritten = 0;  // of the present request (a reconnect sends it again)
    std::vector<std::pair<WriteRequest, hostemu::Tag*>> writes;
    std::vector<std::pair<hostemu::Tag*, int32_t>> clientWrites;  // from QueueClientWrite, for the next read

    struct Archive {
        std::set<uint64_t> stamps;
        uint64_t newest = 0;
        bool changed = false;
    };
    std::map<std::string, Archive> archives;
};

namespace {

hostemu::Properties ToProperties(const PropertyList& list) {
    hostemu::Properties p;
    for (const auto& [name, value] : list) p.Set(name, value);
    return p;
}

void AddTags(hostemu::Node& node, const std::vector<TagConfig>& tags) {
    for (const TagConfig& t : tags) node.AddTag(t.name, ToProperties(t.properties));
}

// VKT-7 archive groups, VKT-5 and VKT-9 archive subdevices.
bool IsArchiveNode(const Device& device, const hostemu::Node& node) {
    if (node.kind == hostemu::NodeKind::Subdevice) return node.type.find("Archive") != std::string::npos;
    const bool vkt7 = device.type != "VKT5" && device.type != "VKT9New" && device.type != "VKT9Old";
    return node.kind == hostemu::NodeKind::Group && vkt7 && (node.name == "3" || node.name == "4" || node.name == "5");
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

Poller::Poller(const PollConfig& config, hostemu::PluginEntryPoints plugin, Sink& sink, PollOptions options)
    : host_(plugin), sink_(sink), options_(std::move(options)) {
    for (const DeviceConfig& dc : config.devices) {
        auto run = std::make_unique<DeviceRun>();
        DeviceRun* r = run.get();
        r->config = dc;
        r->stats.device = dc.name;
        Device& d = host_.AddDevice(dc.name, dc.model);
        r->device = &d;
        d.recordEvents = false;  // the observer sees everything; a long run must not grow
        d.retryCount = dc.retry;
        d.properties = ToProperties(dc.properties);
        AddTags(d, dc.tags);
        for (const GroupConfig& g : dc.groups) AddTags(d.AddGroup(g.name), g.tags);
        for (const SubdeviceConfig& s : dc.subdevices) {
            hostemu::Node& node = d.AddSubdevice(s.name, s.type);
            node.properties = ToProperties(s.properties);
            AddTags(node, s.tags);
        }
        d.readList = d.AllTags();  // a host whose clients watch every tag

        if (dc.channel.kind == ChannelConfig::Kind::Sim) {
            r->simulator = MakeSimulator(dc.model);
            if (!r->simulator) {
                std::string have;
                for (const auto& m : SimulatedModels()) have += (have.empty() ? "" : ", ") + m;
                throw ConfigError(
                    fmt::format("{}: device \"{}\": this build has no simulator of model \"{}\" (it has: {})",
                                config.source, dc.name, dc.model, have.empty() ? "none" : have));
            }
            for (const SimOption& o : dc.sim) {
                std::string error;
                if (!r->simulator->SetOption(o.name, o.value, error))
                    throw ConfigError(fmt::format("{}: device \"{}\": sim: {}", config.source, dc.name, error));
            }
        } else {
            LineTiming timing{std::chrono::milliseconds(dc.timeoutMs), std::chrono::milliseconds(dc.gapMs)};
            LineHooks hooks{[this] { return stopping_; },
                            [this, r](const std::string& text) { sink_.Note(r->config.name, text); },
                            [this, r](std::span<const uint8_t> tx) { Written(*r, tx); }};
            r->line = MakeLineChannel(io_, dc.channel, timing, std::move(hooks));
        }
        d.channel = [this, r](std::span<const uint8_t> tx, std::span<uint8_t> rx) { return Exchange(*r, tx, rx); };
        runs_.push_back(std::move(run));
    }

    for (const WriteRequest& w : options_.writes) {
        auto it = std::find_if(runs_.begin(), runs_.end(), [&](const auto& r) { return r->config.name == w.device; });
        if (it == runs_.end()) throw ConfigError(fmt::format("--write: no device named \"{}\"", w.device));
        hostemu::Tag* tag = (*it)->device->FindTag(w.tag);
        for (hostemu::Tag* t : (*it)->device->AllTags())
            if (tag == nullptr && t->name == w.tag) tag = t;
        if (tag == nullptr) throw ConfigError(fmt::format("--write: device \"{}\" has no tag \"{}\"", w.device, w.tag));
        (*it)->writes.emplace_back(w, tag);
    }

    host_.observer = [this](const Device& device, const Event& e) { OnEvent(device, e); };
}

Poller::~Poller() { host_.observer = nullptr; }

bool Poller::QueueClientWrite(const std::string& device, const std::string& tag, int32_t value, std::string& why) {
    auto it = std::find_if(runs_.begin(), runs_.end(), [&](const auto& r) { return r->config.name == device; });
    if (it == runs_.end()) return why = fmt::format("no device named \"{}\"", device), false;
    Device& d = *(*it)->device;
    hostemu::Tag* target = d.FindTag(tag);
    if (target == nullptr) return why = fmt::format("device \"{}\" has no tag \"{}\"", device, tag), false;
    // Not queued with the host yet: this may run inside the device's READ.
    (*it)->clientWrites.emplace_back(target, value);
    return true;
}

void Poller::Stop() {
    stopping_ = true;
    for (auto& r : runs_) r->device->breakFlag = true;
}

void Poller::DispatchSignals() {
    if (!signals_) return;
    if (io_.stopped()) io_.restart();
    io_.poll();
}

bool Poller::Finished(const DeviceRun& run) const { return options_.cycles && run.cycles >= *options_.cycles; }

namespace {

// The in-process meter keeps what did not fit, as a line would; a request drops it.
void DropPending(sim::MeterSimulator& meter) {
    uint8_t stale[256];
    while (meter.Exchange({}, stale) > 0) {
    }
}

void Count(DeviceSummary& s, const AnswerVerdict& v) {
    switch (v.kind) {
        case AnswerKind::Good: ++s.good; break;
        case AnswerKind::Silence: ++s.silence; break;
        case AnswerKind::Malformed: ++s.malformed; break;
        case AnswerKind::Exception:
            ++s.exceptions;
            ++s.exceptionCodes[v.code];
            break;
        case AnswerKind::LineDown: ++s.lineFailures; break;
    }
}

}  // namespace

// Traced when it goes out, so that a frame waiting for its answer shows.
void Poller::Written(DeviceRun& run, std::span<const uint8_t> tx) {
    ++run.copiesWritten;
    if (options_.trace) sink_.Trace(run.config.name, true, tx, NowTicks(), DescribeRequest(run.config.model, tx));
}

int32_t Poller::Exchange(DeviceRun& run, std::span<const uint8_t> tx, std::span<uint8_t> rx) {
    DispatchSignals();
    if (stopping_) return kInterrupted;
    const std::string& name = run.config.name;
    run.copiesWritten = 0;
    int32_t result = 0;
    if (run.simulator) {
        if (!tx.empty()) DropPending(*run.simulator);
        // A failing simulated line takes nothing.
        if (!tx.empty() && run.simulator->faults().channelResult >= 0) Written(run, tx);
        result = run.simulator->Exchange(tx, rx);
    } else {
        result = run.line->Exchange(tx, rx);
    }
    if (result == kInterrupted && stopping_) return result;
    run.lastResult = result;
    const auto answer = rx.first(result > 0 ? std::min(static_cast<size_t>(result), rx.size()) : 0);
    if (tx.empty()) {
        if (options_.trace && !answer.empty()) sink_.Trace(name, false, answer, NowTicks(), "the rest of an answer");
        return result;
    }
    if (run.copiesWritten == 0) {
        ++run.stats.notSent;
        if (options_.trace) sink_.Note(name, fmt::format("request not sent: line failure ({})", result));
        return result;
    }
    // A request sent again on a new connection is still one request.
    ++run.stats.sent;
    const AnswerVerdict verdict = JudgeAnswer(run.config.model, tx, answer, result);
    Count(run.stats, verdict);
    if (options_.trace) {
        if (!answer.empty())
            sink_.Trace(name, false, answer, NowTicks(), verdict.text);
        else
            sink_.Note(name, verdict.text);
    }
    return result;
}

void Poller::OnEvent(const Device& device, const Event& e) {
    auto it = std::find_if(runs_.begin(), runs_.end(), [&](const auto& r) { return r->device == &device; });
    if (it == runs_.end()) return;
    DeviceRun& run = **it;
    switch (e.kind) {
        case EventKind::Publish:
        case EventKind::SetQuality: {
            if (e.tag == nullptr) return;
            Publication p;
            p.device = device.name;
            p.node = e.tag->owner == &device || e.tag->owner == nullptr ? std::string() : e.tag->owner->name;
            p.tag = e.tag->name;
            if (e.kind == EventKind::Publish) p.value = e.value;
            p.quality = e.quality;
            // VKT-7 stamps current values too: an archive is told by where the tag lives.
            const bool stamped = e.kind == EventKind::Publish && e.time.has_value();
            p.archive = stamped && e.tag->owner != nullptr && IsArchiveNode(device, *e.tag->owner);
            p.time = stamped ? *e.time : NowTicks();
            if (p.archive) {
                static const std::map<std::string, std::string> kVkt7Groups = {
                    {"3", "3 (hour)"}, {"4", "4 (day)"}, {"5", "5 (month)"}};
                const auto group = kVkt7Groups.find(p.node);
                const bool vkt7Group = e.tag->owner->kind == hostemu::NodeKind::Group && group != kVkt7Groups.end();
                auto& archive = run.archives[vkt7Group ? group->second : p.node];
                if (archive.stamps.insert(p.time).second) archive.changed = true;
                archive.newest = std::max(archive.newest, p.time);
            }
            sink_.Publish(p);
            break;
        }
        case EventKind::Log:
            sink_.Log(device.name, e.node == nullptr || e.node == &device ? std::string() : e.node->name,
                      Trimmed(e.text));
            break;
        case EventKind::RequestPoll: run.next = Clock::now(); break;
        case EventKind::HostError: sink_.Note(device.name, "host error: " + e.text); break;
        default: break;
    }
}

void Poller::ReadDevice(DeviceRun& run, Clock::time_point now) {
    Device& d = *run.device;
    const bool deviceDue = now >= run.next;
    bool anyDue = deviceDue;
    for (size_t i = 0; i < d.subdevices.size(); ++i) {
        d.subdevices[i]->readDue = now >= run.subNext[i];
        anyDue = anyDue || d.subdevices[i]->readDue;
    }
    d.readDue = deviceDue;
    if (!anyDue) return;

    if (deviceDue)
        for (auto& [w, tag] : run.writes)
            if (w.atCycle == run.cycles + 1) {
                d.QueueWrite(*tag, w.value);
                sink_.Note(d.name, fmt::format("client writes {} to {}", w.value, tag->name));
            }
    for (const auto& [tag, value] : run.clientWrites) {
        d.QueueWrite(*tag, value);
        sink_.Note(d.name, fmt::format("client writes {} to {}", value, tag->name));
    }
    run.clientWrites.clear();
    if (std::any_of(d.writes.begin(), d.writes.end(), [](const auto& w) { return !w.completed; })) host_.Write(d);
    if (stopping_) return;
    const uint64_t requestsBefore = run.stats.sent + run.stats.notSent;
    host_.Read(d);
    if (deviceDue && !stopping_) ExplainIdleCycle(run, run.stats.sent + run.stats.notSent != requestsBefore);

    const auto period = [](int ms) { return std::chrono::milliseconds(ms); };
    if (deviceDue) run.next = now + period(run.config.periodMs);
    for (size_t i = 0; i < d.subdevices.size(); ++i)
        if (d.subdevices[i]->readDue)
            run.subNext[i] = now + period(run.config.subdevices[i].periodMs.value_or(run.config.periodMs));
    if (!deviceDue) return;
    ++run.cycles;
    for (auto& [name, archive] : run.archives) {
        if (!archive.changed) continue;
        archive.changed = false;
        sink_.Progress({d.name, name, archive.stamps.size(), archive.newest});
    }
    // The emulator keeps every log line per node; the sink has had them.
    d.log.clear();
    for (auto& sub : d.subdevices) sub->log.clear();
    for (auto& group : d.groups) group->log.clear();
    sink_.CycleDone(d.name, run.cycles);
    sink_.Status(SummaryOf(run));
}

// A cycle that sent nothing says why, once until the device reads again.
void Poller::ExplainIdleCycle(DeviceRun& run, bool sentSomething) {
    const auto isSet = [&](const char* name) {
        const hostemu::Tag* tag = run.device->FindTag(name);
        return tag != nullptr && tag->value.kind != hostemu::ValueKind::None && tag->value.number != 0;
    };
    const auto isClear = [&](const char* name) {
        const hostemu::Tag* tag = run.device->FindTag(name);
        return tag != nullptr && tag->value.kind != hostemu::ValueKind::None && tag->value.number == 0;
    };
    std::string reason;
    if (!sentSomething)
        reason = isClear("Available") ? "polling is off (Available is 0)"
                 : isSet("Failure")   ? "backing off after a failed cycle (Failure is set)"
                                      : "the plugin had nothing to ask";
    if (reason != run.idleReason && !reason.empty()) sink_.Note(run.device->name, "no request this cycle: " + reason);
    run.idleReason = reason;
}

void Poller::WaitUntil(Clock::time_point when) {
    if (when <= Clock::now() || stopping_) return;
    boost::asio::steady_timer timer(io_, when);
    bool fired = false;
    bool cancelled = false;
    timer.async_wait([&](const boost::system::error_code&) { fired = true; });
    while (!fired) {
        if (stopping_ && !cancelled) {
            cancelled = true;
            timer.cancel();
        }
        if (io_.stopped()) io_.restart();
        io_.run_one();
    }
}

int Poller::Run() {
    if (options_.handleSignals) {
        // Signals come through the io_context that every wait runs on, so the
        // break needs no flag outside this object and reaches a waiting exchange.
        signals_ = std::make_unique<boost::asio::signal_set>(io_, SIGINT, SIGTERM);
        signals_->async_wait([this](const boost::system::error_code& ec, int) {
            if (!ec) Stop();
        });
    }
    host_.Create();
    for (auto& r : runs_) host_.Init(*r->device);
    const Clock::time_point start = Clock::now();
    for (auto& r : runs_) {
        r->next = start;
        r->subNext.assign(r->device->subdevices.size(), start);
    }
    while (!stopping_) {
        DispatchSignals();
        bool active = false;
        for (auto& r : runs_) {
            if (stopping_ || Finished(*r)) continue;
            active = true;
            ReadDevice(*r, Clock::now());
        }
        if (!active || stopping_) break;
        if (std::all_of(runs_.begin(), runs_.end(), [&](const auto& r) { return Finished(*r); })) break;
        Clock::time_point wake = Clock::time_point::max();
        for (auto& r : runs_) {
            if (Finished(*r)) continue;
            wake = std::min(wake, r->next);
            for (const auto& t : r->subNext) wake = std::min(wake, t);
        }
        WaitUntil(wake);
    }
    for (auto& r : runs_) {
        host_.Close(*r->device);
        if (r->line) r->line->Close();
        sink_.Note(r->config.name, "closed");
    }
    const auto summaries = Summaries();
    sink_.Summary(summaries);
    signals_.reset();
    if (stopping_) return kExitInterrupted;
    return std::any_of(summaries.begin(), summaries.end(), [](const auto& s) { return s.failed; }) ? kExitDeviceFailed
                                                                                                   : kExitOk;
}

std::vector<DeviceSummary> Poller::Summaries() const {
    std::vector<DeviceSummary> out;
    for (const auto& r : runs_) out.push_back(SummaryOf(*r));
    return out;
}

DeviceSummary Poller::SummaryOf(const DeviceRun& run) const {
    DeviceSummary s = run.stats;
    s.cycles = run.cycles;
    s.line = run.line != nullptr;
    if (run.line) {
        s.connects = run.line->connects();
        s.drops = run.line->drops();
    }
    // Failed: the plugin's own verdict (VKT-5 and VKT-9 publish it as a number), or a line silent at the end.
    const hostemu::Tag* failure = run.device->FindTag("Failure");
    const bool failureSet =
        failure != nullptr && failure->value.kind != hostemu::ValueKind::None && failure->value.number != 0;
    s.failed = failureSet || (s.sent + s.notSent > 0 && run.lastResult <= 0 && run.lastResult != kInterrupted);
    return s;
}

}  // namespace tools
