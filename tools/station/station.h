// vktpoll serve: the poller around the clock, every publication to an MQTT
// broker through the durable queue, client writes from the command topic.
#ifndef TRV_TOOLS_STATION_STATION_H
#define TRV_TOOLS_STATION_STATION_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/config.h"
#include "tools/output.h"
#include "tools/station/durable_queue.h"
#include "tools/station/log.h"

namespace station {

// The topic and payload contract.
std::string ValueTopic(const std::string& prefix, const tools::Publication& p);
std::string ValuePayload(const tools::Publication& p);
std::string StatusTopic(const std::string& prefix, const std::string& device);

// A client write taken from a command message, or why it is refused.
struct Command {
    std::string device;
    std::string tag;
    int32_t value = 0;
};
std::optional<Command> ParseCommand(const std::string& prefix, const std::string& topic, const std::string& payload,
                                    std::string& why);

// Everything the poller reports becomes queue entries and log lines.
class StationSink : public tools::Sink {
public:
    using SummariesFn = std::function<std::vector<tools::DeviceSummary>()>;
    StationSink(std::string prefix, DurableQueue& queue, Logger& log) :
        prefix_(std::move(prefix)), queue_(queue), log_(log) {}
    void SetSummaries(SummariesFn fn) { summaries_ = std::move(fn); }

    void Publish(const tools::Publication& p) override;
    void Log(const std::string& device, const std::string& node, const std::string& text) override;
    void Note(const std::string& device, const std::string& text) override;
    void Trace(const std::string&, bool, std::span<const uint8_t>, uint64_t) override {}
    void Progress(const tools::ArchiveProgress&) override {}
    void CycleDone(const std::string& device, int cycle) override;
    void Summary(const std::vector<tools::DeviceSummary>& devices) override;

private:
    void Enqueue(QueueEntry entry);
    void PublishStatus(const tools::DeviceSummary& s);

    std::string prefix_;
    DurableQueue& queue_;
    Logger& log_;
    SummariesFn summaries_;
};

struct ServeOptions {
    std::string configPath;
    std::string pluginPath;  // empty: the configuration's, else the default
    std::optional<int> cycles;
    bool json = false;  // every event also on stdout, as vktpoll --json prints it
};

// The exit status: 0 after a stop by signal or the configured cycles, 2 for a
// bad configuration, 1 when the station cannot start.
int Serve(const ServeOptions& options, const std::string& defaultPluginPath);

}  // namespace station

#endif
