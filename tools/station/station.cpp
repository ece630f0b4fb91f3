#include "tools/station/station.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fmt/format.h>

#include "tools/poller.h"
#include "tools/station/mqtt_link.h"

namespace station {

using tools::Publication;
using hostemu::ValueKind;

namespace {

// Only the control tags a client may set; everything else the meters own.
const char* const kWritableTags[] = {"Available", "UnschedulerRequest"};
constexpr const char* kDeviceNode = "_";  // the topic level of a device's own tags

std::string JsonValue(const hostemu::Value& v) {
    switch (v.kind) {
        case ValueKind::None: return "null";
        case ValueKind::Text: return "\"" + tools::JsonEscape(v.text) + "\"";
        case ValueKind::Float:
        case ValueKind::Double:
            if (!std::isfinite(v.number)) return "null";
            break;
        default: break;
    }
    return tools::ValueText(v);
}

// The summary as vktpoll --json gives it, so that every counter it carries reaches the status topic.
std::string SummaryJson(const tools::DeviceSummary& s) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* memory = ::open_memstream(&text, &size);
    if (memory == nullptr) return "{}";
    tools::MakeSink(tools::OutputMode::Json, memory)->Summary({s});
    std::fclose(memory);
    std::string line(text, size);
    std::free(text);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line.empty() ? "{}" : line;
}

}  // namespace

std::string ValueTopic(const std::string& prefix, const Publication& p) {
    return fmt::format("{}/{}/{}/{}", prefix, p.device, p.node.empty() ? kDeviceNode : p.node, p.tag);
}

std::string ValuePayload(const Publication& p) {
    return fmt::format(R"({{"value":{},"quality":{},"q":"{}","ts":"{}","archive":{}}})", JsonValue(p.value),
                       p.quality, tools::JsonEscape(hostemu::QualityName(p.quality)), tools::IsoUtc(p.time),
                       p.archive ? "true" : "false");
}

std::string StatusTopic(const std::string& prefix, const std::string& device) {
    return prefix + "/" + device + "/status";
}

std::optional<Command> ParseCommand(const std::string& prefix, const std::string& topic, const std::string& payload,
                                    std::string& why) {
    const std::string head = prefix + "/";
    const size_t set = topic.find("/set/", head.size());
    if (!topic.starts_with(head) || set == std::string::npos) return why = "not a command topic", std::nullopt;
    Command c;
    c.device = topic.substr(head.size(), set - head.size());
    c.tag = topic.substr(set + 5);
    if (std::find(std::begin(kWritableTags), std::end(kWritableTags), c.tag) == std::end(kWritableTags))
        return why = fmt::format("tag \"{}\" cannot be written (only Available and UnschedulerRequest)", c.tag),
               std::nullopt;
    // The value as --write takes it: an integer, true or false, nothing else.
    if (payload.empty() || payload.size() > 16 || payload.find_first_of("@.=") != std::string::npos)
        return why = "expected an integer, true or false as the payload", std::nullopt;
    try {
        c.value = tools::ParseWrite(c.device + "." + c.tag + "=" + payload).value;
    } catch (const tools::ConfigError&) {
        return why = "expected an integer, true or false as the payload", std::nullopt;
    }
    return c;
}

void StationSink::Enqueue(QueueEntry entry) {
    std::string dropped;
    switch (queue_.Push(entry, &dropped)) {
        case PushResult::Stored: break;
        case PushResult::StoredDroppedCurrent:
        case PushResult::DroppedSelf:
            log_(Level::Warning, fmt::format("queue full ({} entries): current value {} dropped ({} so far)",
                                             queue_.size(), dropped, queue_.counters().droppedCurrent));
            break;
        case PushResult::StoredDroppedArchive:
            log_(Level::Error, fmt::format("queue full of archive records: archive record {} dropped ({} so far)",
                                           dropped, queue_.counters().droppedArchive));
            break;
        case PushResult::Failed:
            log_(Level::Error, fmt::format("queue: cannot store {}: {}", entry.topic, queue_.error()));
            break;
    }
}

void StationSink::Publish(const Publication& p) {
    // Current values are retained, so a new subscriber sees the latest at once.
    Enqueue({0, ValueTopic(prefix_, p), ValuePayload(p), !p.archive, p.archive});
}

void StationSink::Log(const std::string& device, const std::string& node, const std::string& text) {
    log_(Level::Info, fmt::format("{}{}{}: {}", device, node.empty() ? "" : "/", node, text));
}

void StationSink::Note(const std::string& device, const std::string& text) {
    log_(Level::Notice, fmt::format("{}: {}", device, text));
}

void StationSink::PublishStatus(const tools::DeviceSummary& s) {
    const QueueCounters c = queue_.counters();
    Enqueue({0, StatusTopic(prefix_, s.device),
             fmt::format(R"({{"ts":"{}","queued":{},"dropped_current":{},"dropped_archive":{},"counters":{}}})",
                         tools::IsoUtc(tools::NowTicks()), queue_.size(), c.droppedCurrent, c.droppedArchive,
                         SummaryJson(s)),
             true, false});
}

void StationSink::CycleDone(const std::string& device, int) {
    if (!summaries_) return;
    for (const auto& s : summaries_())
        if (s.device == device) PublishStatus(s);
}

void StationSink::Summary(const std::vector<tools::DeviceSummary>& devices) {
    for (const auto& s : devices) PublishStatus(s);
}

namespace {

std::string DefaultQueuePath() {
    const char* state = std::getenv("STATE_DIRECTORY");  // systemd's StateDirectory=
    if (state != nullptr && *state != '\0') {
        std::string dir(state);
        return dir.substr(0, dir.find(':')) + "/queue.db";
    }
    return "vktpoll-queue.db";
}

bool ReadPassword(const std::string& path, std::string& password) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

// Tells systemd the poller is alive, from the polling thread itself.
void ArmWatchdog(boost::asio::steady_timer& timer, std::chrono::microseconds every) {
    timer.expires_after(every);
    timer.async_wait([&timer, every](const boost::system::error_code& ec) {
        if (ec) return;
        sd_notify(0, "WATCHDOG=1");
        ArmWatchdog(timer, every);
    });
}

}  // namespace

int Serve(const ServeOptions& options, const std::string& defaultPluginPath) {
    // A broker that hangs up is a connection to reopen, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    Logger log(stderr, std::getenv("JOURNAL_STREAM") != nullptr);
    tools::PollConfig config;
    try {
        config = tools::LoadConfigFile(options.configPath);
    } catch (const tools::ConfigError& e) {
        log(Level::Error, e.what());
        return tools::kExitBadConfig;
    }
    if (!config.mqtt) {
        log(Level::Error, fmt::format("{}: missing \"mqtt\": the station needs a broker (url at least)",
                                      config.source));
        return tools::kExitBadConfig;
    }
    tools::MqttConfig mqtt = *config.mqtt;
    for (const auto& d : config.devices) {
        const auto clash = [&](const std::string& node) { return node == "set"; };
        if (std::any_of(d.groups.begin(), d.groups.end(), [&](const auto& g) { return clash(g.name); }) ||
            std::any_of(d.subdevices.begin(), d.subdevices.end(), [&](const auto& s) { return clash(s.name); })) {
            log(Level::Error, fmt::format("{}: device \"{}\": a group or subdevice named \"set\" would share the "
                                          "command topic; rename it", config.source, d.name));
            return tools::kExitBadConfig;
        }
    }
    std::string password;
    if (!mqtt.passwordFile.empty() && !ReadPassword(mqtt.passwordFile, password)) {
        log(Level::Error, fmt::format("mqtt: cannot read the password file {}", mqtt.passwordFile));
        return tools::kExitBadConfig;
    }
    if (mqtt.clientId.empty()) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        mqtt.clientId = std::string("vktpoll-") + host;
    }
    const std::string queuePath = mqtt.queuePath.empty() ? DefaultQueuePath() : mqtt.queuePath;
    std::unique_ptr<DurableQueue> queue;
    try {
        queue = std::make_unique<DurableQueue>(queuePath, mqtt.queueMax);
    } catch (const std::exception& e) {
        log(Level::Error, fmt::format("queue: cannot open {}", e.what()));
        return 1;
    }

    const std::string pluginPath = !options.pluginPath.empty() ? options.pluginPath
                                   : !config.plugin.empty()    ? config.plugin
                                                               : defaultPluginPath;
    hostemu::LoadedPlugin plugin(pluginPath);
    if (!plugin.ok()) {
        log(Level::Error, fmt::format("cannot load the plugin {}: {}", pluginPath, plugin.error()));
        return 1;
    }

    // The queue first: a line on stdout means the entry is already on disk.
    tools::FanOut sink;
    auto owned = std::make_unique<StationSink>(mqtt.prefix, *queue, log);
    StationSink& station = *owned;
    sink.Add(std::move(owned));
    if (options.json) sink.Add(tools::MakeSink(tools::OutputMode::Json, stdout));
    tools::PollOptions poll;
    poll.cycles = options.cycles ? options.cycles : config.cycles;
    poll.handleSignals = true;
    int status = tools::kExitOk;
    try {
        tools::Poller poller(config, plugin.entry(), sink, poll);
        station.SetSummaries([&poller] { return poller.Summaries(); });
        MqttLink link(mqtt, password, *queue, log, [&](const std::string& topic, const std::string& payload) {
            std::string why;
            const auto command = ParseCommand(mqtt.prefix, topic, payload, why);
            if (!command) {
                log(Level::Warning, fmt::format("command on {} refused: {}", topic, why));
                return;
            }
            boost::asio::post(poller.io(), [&poller, &log, topic, c = *command] {
                std::string why;
                if (!poller.QueueClientWrite(c.device, c.tag, c.value, why))
                    log(Level::Warning, fmt::format("command on {} refused: {}", topic, why));
            });
        });
        log(Level::Notice, fmt::format("station: {} devices, broker {}:{}, topics under {}/, queue {} ({} entries "
                                       "waiting)", config.devices.size(), mqtt.host, mqtt.port, mqtt.prefix,
                                       queuePath, queue->size()));
        link.Start();
        boost::asio::steady_timer watchdog(poller.io());
        uint64_t watchdogUsec = 0;
        if (sd_watchdog_enabled(0, &watchdogUsec) > 0)
            ArmWatchdog(watchdog, std::chrono::microseconds(watchdogUsec / 2));
        sd_notify(0, "READY=1");
        status = poller.Run();
        sd_notify(0, "STOPPING=1");
        watchdog.cancel();
        link.Stop(std::chrono::seconds(10));
    } catch (const tools::ConfigError& e) {
        log(Level::Error, e.what());
        return tools::kExitBadConfig;
    }
    log(Level::Notice, "station stopped");
    // A stop asked for is the service's normal end.
    return status == tools::kExitInterrupted ? tools::kExitOk : status;
}

}  // namespace station
