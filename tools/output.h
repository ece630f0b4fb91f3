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

// One device's run, as the host side saw it. Every request written to the line
// is judged by the model's framing (tools/frames.h) and counted once:
// sent == good + silence + malformed + exceptions + lineFailures.
struct DeviceSummary {
    std::string device;
    int cycles = 0;            // reads of the device
    uint64_t sent = 0;         // requests written to the line (a resend after a reconnect counts once)
    uint64_t good = 0;         // answers the framing accepts
    uint64_t silence = 0;      // no byte before the time-out
    uint64_t malformed = 0;    // bad CRC, wrong length, address or function
    uint64_t exceptions = 0;   // refusals, by code in exceptionCodes
    uint64_t lineFailures = 0; // the line failed after the request was written
    uint64_t notSent = 0;      // requests that never reached the line (port not open)
    std::map<uint8_t, uint64_t> exceptionCodes;
    uint64_t connects = 0;     // real lines only
    uint64_t drops = 0;
    bool line = false;         // a real line: connects and drops mean something
    bool failed = false;       // its "Failure" tag set, or its last request unanswered

    uint64_t answers() const { return good + malformed + exceptions; }
    // Requests without a usable answer (refusals are answers, counted apart).
    uint64_t failures() const { return silence + malformed + lineFailures + notSent; }
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void Publish(const Publication& p) = 0;
    virtual void Log(const std::string& device, const std::string& node, const std::string& text) = 0;
    // The poller's own remarks on a device (connections, closing).
    virtual void Note(const std::string& device, const std::string& text) = 0;
    virtual void Trace(const std::string& /*device*/, bool /*sent*/, std::span<const uint8_t> /*bytes*/,
                       uint64_t /*time*/) {}
    // A frame written or received, with what it is in one line ("read holding
    // 40001..40013"); sinks that show it override this one.
    virtual void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
                       const std::string& /*what*/) {
        Trace(device, sent, bytes, time);
    }
    virtual void Progress(const ArchiveProgress& p) = 0;
    virtual void CycleDone(const std::string& device, int cycle) = 0;
    // The device's counters so far, after each of its cycles.
    virtual void Status(const DeviceSummary& /*device*/) {}
    virtual void Summary(const std::vector<DeviceSummary>& devices) = 0;
};

// Sends every call to each sink in turn.
class FanOut : public Sink {
public:
    void Add(std::unique_ptr<Sink> sink) { sinks_.push_back(std::move(sink)); }
    using Sink::Trace;
    void Publish(const Publication& p) override;
    void Log(const std::string& device, const std::string& node, const std::string& text) override;
    void Note(const std::string& device, const std::string& text) override;
    void Trace(const std::string& device, bool sent, std::span<const uint8_t> bytes, uint64_t time,
               const std::string& what) override;
    void Progress(const ArchiveProgress& p) override;
    void CycleDone(const std::string& device, int cycle) override;
    void Status(const DeviceSummary& device) override;
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
std::string IsoUtcMillis(uint64_t ticks);  // 2024-03-07T11:00:00.123Z
std::string SummaryText(const DeviceSummary& s);
std::string LocalTime(uint64_t ticks);  // 2024-03-07 14:00:00, the machine's zone
std::string JsonEscape(const std::string& text);
std::string Hex(std::span<const uint8_t> bytes);
uint64_t NowTicks();

}  // namespace tools

#endif
