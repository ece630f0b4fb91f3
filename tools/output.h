// What vktpoll shows: a live table on a terminal, otherwise one line per
// publication, or JSON lines; a CSV file beside any of them.
#ifndef TRV_TOOLS_OUTPUT_H
#define TRV_TOOLS_OUTPUT_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hostemu/host_emulator.h"

namespace tools {

struct Publication {
    std::string device;
    std::string node;  // group or subdevice name; empty for the device's own tags
    std::string tag;
    hostemu::Value value;  // kind None: only the quality changed
    Quality quality = 0;
    uint64_t time = 0;     // FILETIME ticks, UTC
    bool archive = false;  // stamped by the plugin (else the host's own time)
};

struct ArchiveProgress {
    std::string device;
    std::string archive;  // group or subdevice name
    uint64_t records = 0;
    uint64_t newest = 0;  // FILETIME ticks, UTC
};

struct DeviceSummary {
    std::string device;
    uint64_t sent = 0;
    uint64_t answers = 0;
    uint64_t failures = 0;
    uint64_t connects = 0;
    uint64_t drops = 0;
    int cycles = 0;
    bool line = false;  // a real line: connects and drops mean something
    bool failed = false;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void Publish(const Publication& p) = 0;
    virtual void Log(const std::string& device, const std::string& node, const std::string& text) = 0;
    // The poller's own remarks on a device (connections, closing).
    virtual void Note(const std::string& device, const std::string& text) = 0;
    virtual void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time) = 0;
    virtual void Progress(const ArchiveProgress& p) = 0;
    virtual void CycleDone(const std::string& device, int cycle) = 0;
    virtual void Summary(const std::vector<DeviceSummary>& devices) = 0;
};

// Sends every call to each sink in turn.
class FanOut : public Sink {
public:
    void Add(std::unique_ptr<Sink> sink) { sinks_.push_back(std::move(sink)); }
    void Publish(const Publication& p) override;
    void Log(const std::string& device, const std::string& node, const std::string& text) override;
    void Note(const std::string& device, const std::string& text) override;
    void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time) override;
    void Progress(const ArchiveProgress& p) override;
    void CycleDone(const std::string& device, int cycle) override;
    void Summary(const std::vector<DeviceSummary>& devices) override;

private:
    std::vector<std::unique_ptr<Sink>> sinks_;
};

enum class OutputMode { Table, Lines, Json };

// The sink of a mode, writing to out (which it does not own).
std::unique_ptr<Sink> MakeSink(OutputMode mode, std::FILE* out);
// Publications only, one CSV row each.
std::unique_ptr<Sink> MakeCsvSink(std::FILE* out);

// Text forms shared by the sinks and the tests.
std::string ValueText(const hostemu::Value& v);
std::string IsoUtc(uint64_t ticks);     // 2024-03-07T11:00:00Z
std::string LocalTime(uint64_t ticks);  // 2024-03-07 14:00:00, the machine's zone
std::string JsonEscape(const std::string& text);
std::string Hex(std::span<const uint8_t> bytes);
uint64_t NowTicks();

}  // namespace tools

#endif
