#include "tools/line_channel.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <type_traits>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>

#include "tools/asio_wait.h"

namespace tools {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

// Exchange logic shared by every stream; Stream is a socket or a serial port.
template <class Stream>
class StreamChannel : public LineChannel {
public:
    StreamChannel(asio::io_context& io, LineTiming timing, LineHooks hooks)
        : io_(io), stream_(io), timer_(io), timing_(timing), hooks_(std::move(hooks)) {}

    int32_t Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx) override {
        // Converters hang up idle connections: a line found dropped before any
        // answer byte came is opened again and the request sent once more.
        const bool reused = stream_.is_open();
        const int32_t result = Attempt(tx, rx);
        if (result != kLineDown || !reused || lastAnswered_) return result;
        return Attempt(tx, rx);
    }

    void Close() override {
        boost::system::error_code ignored;
        if (stream_.is_open()) stream_.close(ignored);
    }

protected:
    int32_t Attempt(std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        lastAnswered_ = false;
        if (Interrupted()) return kInterrupted;
        if (!stream_.is_open()) {
            std::string error;
            if (!Open(error)) {
                Note(error);
                return kLineDown;
            }
            ++connects_;
        }
        if (!tx.empty()) {
            DropWaiting();
            const OpResult w =
                Run([&](auto handler) { asio::async_write(stream_, asio::buffer(tx.data(), tx.size()), handler); },
                    Clock::now() + timing_.timeout);
            if (w.interrupted) return kInterrupted;
            if (w.timedOut || w.ec) return Dropped(w.timedOut ? "sending timed out" : w.ec.message());
            ++written_;
            if (hooks_.written) hooks_.written(tx);
        }
        size_t got = 0;
        const Clock::time_point answerDeadline = Clock::now() + timing_.timeout;
        while (got < rx.size()) {
            const OpResult r = Run(
                [&](auto handler) { stream_.async_read_some(asio::buffer(rx.data() + got, rx.size() - got), handler); },
                got == 0 ? answerDeadline : Clock::now() + timing_.gap);
            got += r.bytes;
            lastAnswered_ = got > 0;
            if (r.interrupted) return kInterrupted;
            if (r.timedOut) break;
            if (r.ec) {
                const int32_t down = Dropped(r.ec == asio::error::eof ? "closed by the other end" : r.ec.message());
                return got > 0 ? static_cast<int32_t>(got) : down;
            }
        }
        return static_cast<int32_t>(got);
    }

    virtual bool Open(std::string& error) = 0;

    // A padded answer's tail or one that came after its time-out would be
    // taken for the next answer and shift every exchange after it.
    void DropWaiting() {
        int waiting = 0;
        if (::ioctl(stream_.native_handle(), FIONREAD, &waiting) != 0 || waiting <= 0) return;
        if constexpr (std::is_same_v<Stream, asio::serial_port>) {
            ::tcflush(stream_.native_handle(), TCIFLUSH);
        } else {
            std::vector<uint8_t> stale(static_cast<size_t>(waiting));
            boost::system::error_code ignored;
            asio::read(stream_, asio::buffer(stale), ignored);
        }
        Note(fmt::format("dropped {} stale bytes before the request", waiting));
    }

    template <class Start>
    OpResult Run(Start start, Clock::time_point deadline) {
        return RunWithDeadline(
            io_, timer_, start, [this] { CancelStream(); }, deadline, hooks_.interrupted);
    }

    void CancelStream() {
        boost::system::error_code ignored;
        if (stream_.is_open()) stream_.cancel(ignored);
    }

    bool Interrupted() const { return hooks_.interrupted && hooks_.interrupted(); }
    void Note(const std::string& text) const {
        if (hooks_.note) hooks_.note(text);
    }

    int32_t Dropped(const std::string& why) {
        Note(fmt::format("line dropped: {}", why));
        ++drops_;
        Close();
        return kLineDown;
    }

    asio::io_context& io_;
    Stream stream_;
    asio::steady_timer timer_;
    LineTiming timing_;
    LineHooks hooks_;
    bool lastAnswered_ = false;
};

class TcpChannel : public StreamChannel<asio::ip::tcp::socket> {
public:
    TcpChannel(asio::io_context& io, const ChannelConfig& config, LineTiming timing, LineHooks hooks)
        : StreamChannel(io, timing, std::move(hooks)), host_(config.host), port_(config.port) {}

protected:
    bool Open(std::string& error) override {
        boost::system::error_code ec;
        asio::ip::tcp::resolver resolver(io_);
        const auto endpoints = resolver.resolve(host_, std::to_string(port_), ec);
        if (ec) {
            error = fmt::format("cannot resolve {}: {}", host_, ec.message());
            return false;
        }
        const OpResult c = Run(
            [&](auto handler) {
                asio::async_connect(stream_, endpoints,
                                    [handler](const boost::system::error_code& e,
                                              const asio::ip::tcp::endpoint&) mutable { handler(e, 0); });
            },
            Clock::now() + timing_.timeout);
        if (c.interrupted || c.timedOut || c.ec) {
            error = fmt::format("cannot connect to {}:{}: {}", host_, port_,
                                c.interrupted ? "interrupted"
                                : c.timedOut  ? "timed out"
                                              : c.ec.message());
            Close();
            return false;
        }
        stream_.set_option(asio::ip::tcp::no_delay(true), ec);
        Note(fmt::format("connected to {}:{}", host_, port_));
        return true;
    }

private:
    std::string host_;
    uint16_t port_;
};

class SerialChannel : public StreamChannel<asio::serial_port> {
public:
    SerialChannel(asio::io_context& io, const ChannelConfig& config, LineTiming timing, LineHooks hooks)
        : StreamChannel(io, timing, std::move(hooks)), path_(config.path), settings_(config.serial) {}

protected:
    bool Open(std::string& error) override {
        using sp = asio::serial_port_base;
        boost::system::error_code ec;
        stream_.open(path_, ec);
        const auto set = [&](const auto& option) {
            if (!ec) stream_.set_option(option, ec);
        };
        set(sp::baud_rate(settings_.baud));
        set(sp::character_size(settings_.dataBits));
        set(sp::parity(settings_.parity == Parity::None   ? sp::parity::none
                       : settings_.parity == Parity::Even ? sp::parity::even
                                                          : sp::parity::odd));
        set(sp::stop_bits(settings_.stop == StopBits::One   ? sp::stop_bits::one
                          : settings_.stop == StopBits::Two ? sp::stop_bits::two
                                                            : sp::stop_bits::onepointfive));
        set(sp::flow_control(sp::flow_control::none));
        if (ec) {
            error = fmt::format("cannot open {} at {}: {}", path_, Describe(settings_), ec.message());
            Close();
            return false;
        }
        ::tcflush(stream_.native_handle(), TCIFLUSH);  // whatever a previous session left
        // Some ports (USB adapters, pseudo-terminals) quietly keep part of the old settings.
        const std::string wanted = Describe(settings_);
        const std::string actual = ReadBackSerialSettings(stream_.native_handle());
        Note(actual == wanted ? fmt::format("opened {} at {}", path_, wanted)
                              : fmt::format("opened {} at {}; the port reports {}", path_, wanted, actual));
        return true;
    }

private:
    std::string path_;
    SerialSettings settings_;
};

}  // namespace

std::unique_ptr<LineChannel> MakeLineChannel(asio::io_context& io, const ChannelConfig& config, LineTiming timing,
                                             LineHooks hooks) {
    switch (config.kind) {
        case ChannelConfig::Kind::Tcp: return std::make_unique<TcpChannel>(io, config, timing, std::move(hooks));
        case ChannelConfig::Kind::Serial: return std::make_unique<SerialChannel>(io, config, timing, std::move(hooks));
        case ChannelConfig::Kind::Sim: break;
    }
    throw ConfigError(fmt::format("channel \"{}\" is not a line", config.text));
}

std::string ReadBackSerialSettings(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return {};
    static const std::pair<speed_t, unsigned> kSpeeds[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    unsigned baud = 0;
    for (const auto& [code, rate] : kSpeeds)
        if (cfgetospeed(&t) == code) baud = rate;
    SerialSettings s;
    s.baud = baud;
    switch (t.c_cflag & CSIZE) {
        case CS5: s.dataBits = 5; break;
        case CS6: s.dataBits = 6; break;
        case CS7: s.dataBits = 7; break;
        default: s.dataBits = 8; break;
    }
    s.parity = (t.c_cflag & PARENB) == 0 ? Parity::None : (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
    s.stop = (t.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
    return Describe(s);
}

}  // namespace tools
