// The host's side of polling: builds the host emulator's tree from a
// configuration, drives the plugin through its entry points as the host would
// (READ when due, WRITE when a client write is pending, CLOSE at the end) and
// reports what happens to a Sink.
#ifndef TRV_TOOLS_POLLER_H
#define TRV_TOOLS_POLLER_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "hostemu/host_emulator.h"
#include "tools/config.h"
#include "tools/output.h"

namespace tools {

// "--write meter1.Available=0" or "meter1.Available=1@3" (before the device's third read).
struct WriteRequest {
    std::string device;
    std::string tag;
    int32_t value = 0;
    int atCycle = 1;
};
WriteRequest ParseWrite(std::string_view text);  // throws ConfigError

struct PollOptions {
    std::optional<int> cycles;  // none: until interrupted
    std::vector<WriteRequest> writes;
    bool trace = false;
    bool handleSignals = false;  // SIGINT and SIGTERM raise the break flag
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitDeviceFailed = 1;
constexpr int kExitBadConfig = 2;
constexpr int kExitInterrupted = 130;

class Poller {
public:
    // Builds the tree and the channels; throws ConfigError for anything the
    // file alone could not show (a write to an unknown tag, a model without a
    // simulator). Nothing is sent before Run.
    Poller(const PollConfig& config, hostemu::PluginEntryPoints plugin, Sink& sink, PollOptions options);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    int Run();
    // Raises the break flag of every device; Run then closes them and returns.
    void Stop();

    // A client write for the device's next read, as --write gives one; false
    // (with why) for an unknown device or tag. Call on the thread that runs Run.
    bool QueueClientWrite(const std::string& device, const std::string& tag, int32_t value, std::string& why);
    // Where other threads post work for the polling thread (run during its waits).
    boost::asio::io_context& io() { return io_; }

    const hostemu::Host& host() const { return host_; }
    std::vector<DeviceSummary> Summaries() const;

private:
    struct DeviceRun;

    int32_t Exchange(DeviceRun& run, std::span<const uint8_t> tx, std::span<uint8_t> rx);
    void Written(DeviceRun& run, std::span<const uint8_t> tx);
    void OnEvent(const hostemu::Device& device, const hostemu::Event& e);
    void ReadDevice(DeviceRun& run, std::chrono::steady_clock::time_point now);
    void ExplainIdleCycle(DeviceRun& run, bool sentSomething);
    DeviceSummary SummaryOf(const DeviceRun& run) const;
    void WaitUntil(std::chrono::steady_clock::time_point when);
    void DispatchSignals();
    bool Finished(const DeviceRun& run) const;

    boost::asio::io_context io_;
    std::unique_ptr<boost::asio::signal_set> signals_;
    hostemu::Host host_;
    Sink& sink_;
    PollOptions options_;
    std::vector<std::unique_ptr<DeviceRun>> runs_;
    bool stopping_ = false;
};

}  // namespace tools

#endif
