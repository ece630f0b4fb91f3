// Real lines for the host's channel function: a TCP connection (serial-to-
// Ethernet converters carry the raw frames) or a serial port, both through
// Boost.Asio on one io_context that the caller runs nowhere else.
#ifndef TRV_TOOLS_LINE_CHANNEL_H
#define TRV_TOOLS_LINE_CHANNEL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include <boost/asio/io_context.hpp>

#include "tools/config.h"

namespace tools {

struct LineTiming {
    std::chrono::milliseconds timeout{1000};  // wait for the first byte of an answer
    std::chrono::milliseconds gap{50};        // silence after a byte that ends the answer
};

struct LineHooks {
    // Polled while waiting: true makes the exchange give up at once.
    std::function<bool()> interrupted;
    // Connection events worth a line in the device's log.
    std::function<void(const std::string&)> note;
    // A request frame went out whole, as soon as it did.
    std::function<void(std::span<const uint8_t>)> written;
};

// Results besides byte counts.
constexpr int32_t kLineDown = -1;     // not connected, dropped, or the port failed
constexpr int32_t kInterrupted = -2;  // the hooks asked to stop

class LineChannel {
public:
    virtual ~LineChannel() = default;

    // The host's channel function: drops whatever is waiting from an earlier
    // answer and sends tx (neither when tx is empty: the rest of an answer is
    // wanted), then reads until rx is full, or a gap follows the last byte, or
    // no byte came within the time-out (0). A line that is down is opened again first.
    virtual int32_t Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx) = 0;
    virtual void Close() = 0;

    uint64_t connects() const { return connects_; }
    uint64_t drops() const { return drops_; }
    // Request frames written whole to the line.
    uint64_t written() const { return written_; }

protected:
    uint64_t connects_ = 0;
    uint64_t drops_ = 0;
    uint64_t written_ = 0;
};

// ChannelConfig of kind Tcp or Serial; throws ConfigError for a Sim one.
std::unique_ptr<LineChannel> MakeLineChannel(boost::asio::io_context& io, const ChannelConfig& config,
                                             LineTiming timing, LineHooks hooks);

// Reads a serial port's settings back from the kernel ("19200 8E1"), to show
// what the driver really applied; empty when they cannot be read.
std::string ReadBackSerialSettings(int fd);

}  // namespace tools

#endif
