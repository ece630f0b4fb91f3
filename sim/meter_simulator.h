// Base of the meter simulators: a meter on a byte stream. Each request frame
// that reaches it is answered into an output queue, which the line then reads;
// bytes that did not fit stay queued, as they would on a real line.
// No transport here: the host emulator, vktsim and the tests carry the bytes.
#ifndef TRV_SIM_METER_SIMULATOR_H
#define TRV_SIM_METER_SIMULATOR_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace sim {

// The meter's own clock, in its local time: fixed, or running from a start.
class MeterClock {
public:
    explicit MeterClock(boost::posix_time::ptime start = boost::posix_time::ptime(boost::gregorian::date(2024, 3, 7),
                                                                                    boost::posix_time::hours(12)));
    boost::posix_time::ptime Now() const;
    void Set(boost::posix_time::ptime t);
    void Advance(boost::posix_time::time_duration d);
    void SetRunning(bool running);
    bool running() const { return running_; }

private:
    boost::posix_time::ptime start_;
    bool running_ = false;
    std::chrono::steady_clock::time_point since_;
};

// Faults every model can show; the models add their own through SetOption.
struct LineFaults {
    bool silence = false;         // answer nothing
    int32_t channelResult = 0;    // when negative, the line itself fails with it
    int32_t truncateBy = 0;       // drop this many bytes from the end of each answer
    int32_t extraBytes = 0;       // append this many bytes (0x55) to each answer
    bool corruptCrc = false;      // flip the last byte of each answer
    bool wrongAddress = false;    // answer with the address plus one
    int32_t lateMs = 0;           // answer this late: after the exchange that asked gave up
    int32_t faultCount = -1;      // answers the faults above apply to; -1 for all
};

class MeterSimulator {
public:
    virtual ~MeterSimulator() = default;

    // The host's channel function: feed tx (none when empty), then read at most
    // rx.size() queued bytes. Returns the count, 0 for silence, negative for a
    // failed line.
    int32_t Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx);

    // Textual knobs for tools and configuration files. Generic ones: silence,
    // channel-result, truncate, extra-bytes, corrupt-crc, wrong-address,
    // fault-count, clock ("2024-03-07 12:00:00"), clock-running. Unknown names go
    // to the model. False with a message for an unknown name or a bad value.
    bool SetOption(std::string_view name, std::string_view value, std::string& error);
    // Name and one-line description of every knob, generic and model's.
    std::vector<std::pair<std::string, std::string>> Options() const;

    // The meter's own address on the line; it answers no other.
    void SetAddress(uint8_t address) { address_ = address; }
    uint8_t address() const { return address_; }

    MeterClock& clock() { return clock_; }
    const MeterClock& clock() const { return clock_; }
    LineFaults& faults() { return faults_; }

    // Requests answered, for field-tool summaries.
    uint64_t requests() const { return requests_; }
    // The last answer is late: it waits in the queue, and a transport holds it back lateMs.
    bool lastAnswerLate() const { return late_; }

    // What the meter serves and the values it holds, one line each, for tools.
    virtual std::vector<std::string> RegisterMap() const { return {}; }

protected:
    uint8_t address_ = 1;

    // Appends the answer to one request frame to out; nothing for no answer.
    virtual void Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) = 0;
    // Offset of the address byte in an answer frame, for the wrong-address fault.
    virtual size_t AddressOffset() const = 0;
    virtual bool SetModelOption(std::string_view name, std::string_view value, std::string& error);
    virtual std::vector<std::pair<std::string, std::string>> ModelOptions() const { return {}; }

private:
    MeterClock clock_;
    LineFaults faults_;
    std::deque<uint8_t> pending_;
    std::vector<uint8_t> answer_;
    uint64_t requests_ = 0;
    bool late_ = false;
};

// Parses "2024-03-07 12:00:00" (or with a 'T'); not_a_date_time when it cannot.
boost::posix_time::ptime ParseClock(std::string_view text);
// Splits at every sep; "a,,b" gives three parts, "" gives one empty part.
std::vector<std::string_view> Split(std::string_view text, char sep);
// Parses true/false, yes/no, on/off, 1/0; false when the text is none of them.
bool ParseBool(std::string_view text, bool& value);
// Parses a decimal or 0x-hex integer; false when the text is not one.
bool ParseInt(std::string_view text, int64_t& value);

}  // namespace sim

#endif
