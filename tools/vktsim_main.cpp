// vktsim: one simulated meter on a real channel (a TCP port, a serial port or a
// pseudo-terminal it makes), answering like the meter would.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/asio_wait.h"
#include "tools/config.h"
#include "tools/output.h"
#include "tools/sim_factory.h"

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace tools;

namespace {

constexpr size_t kMaxRequest = 4096;

struct ServeOptions {
    std::chrono::milliseconds gap{10};  // silence that ends a request
    uint64_t dropAfter = 0;             // close the connection once after this many requests
    bool trace = false;
};

class Server {
public:
    Server(asio::io_context& io, sim::MeterSimulator& meter, ServeOptions options)
        : io_(io), timer_(io), signals_(io, SIGINT, SIGTERM), meter_(meter), options_(options) {
        signals_.async_wait([this](const boost::system::error_code& ec, int) {
            if (!ec) stop_ = true;
        });
    }

    bool stopped() const { return stop_; }
    uint64_t answered() const { return answered_; }

    enum class Outcome { Stopped, PeerGone, Dropped, Failed };

    // Serves requests until the other end goes, the drop fault fires, the
    // stream fails or a signal comes.
    template <class Stream>
    Outcome Serve(Stream& stream) {
        const std::function<bool()> interrupted = [this] { return stop_; };
        const auto cancel = [&stream] {
            boost::system::error_code ignored;
            stream.cancel(ignored);
        };
        std::vector<uint8_t> request;
        uint8_t buffer[512];
        while (!stop_) {
            request.clear();
            // A request is whatever arrives until a gap; the first byte may take forever.
            for (;;) {
                const auto deadline = Clock::now() + (request.empty() ? std::chrono::hours(24) : options_.gap);
                const OpResult r = RunWithDeadline(
                    io_, timer_, [&](auto handler) { stream.async_read_some(asio::buffer(buffer), handler); }, cancel,
                    deadline, interrupted);
                request.insert(request.end(), buffer, buffer + r.bytes);
                if (r.interrupted) return Outcome::Stopped;
                if (r.ec == asio::error::eof) return Outcome::PeerGone;
                if (r.ec) return Outcome::Failed;
                // A line that never falls silent is cut into requests of kMaxRequest bytes.
                if ((r.timedOut && !request.empty()) || request.size() >= kMaxRequest) break;
            }
            std::vector<uint8_t> answer;
            int32_t n = meter_.Exchange(request, buffer);
            // A late answer waits in the meter's queue: collect it, then hold it back.
            const bool late = meter_.lastAnswerLate();
            if (late) n = meter_.Exchange({}, buffer);
            while (n > 0) {
                answer.insert(answer.end(), buffer, buffer + n);
                n = meter_.Exchange({}, buffer);
            }
            if (late) std::this_thread::sleep_for(std::chrono::milliseconds(meter_.faults().lateMs));
            if (options_.trace) {
                std::fprintf(stderr, "vktsim: >> %s\n", Hex(request).c_str());
                std::fprintf(stderr, "vktsim: << %s\n", answer.empty() ? "(nothing)" : Hex(answer).c_str());
            }
            if (!answer.empty()) {
                const OpResult w = RunWithDeadline(
                    io_, timer_, [&](auto handler) { asio::async_write(stream, asio::buffer(answer), handler); },
                    cancel, Clock::now() + std::chrono::seconds(5), interrupted);
                if (w.interrupted) return Outcome::Stopped;
                if (w.ec || w.timedOut) return Outcome::Failed;
            }
            ++answered_;
            if (options_.dropAfter != 0 && answered_ == options_.dropAfter) {
                std::fprintf(stderr, "vktsim: dropping the connection after %llu requests\n",
                             static_cast<unsigned long long>(answered_));
                return Outcome::Dropped;
            }
        }
        return Outcome::Stopped;
    }

    int ServeTcp(const std::string& host, uint16_t port) {
        asio::ip::tcp::acceptor acceptor(io_);
        boost::system::error_code ec;
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(host, ec), port);
        if (ec) return Fail(fmt::format("bad address \"{}\": {}", host, ec.message()));
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(1, ec);
        if (ec) return Fail(fmt::format("cannot listen on {}:{}: {}", host, port, ec.message()));
        std::printf("vktsim: listening on %s:%u\n", host.c_str(), acceptor.local_endpoint().port());
        std::fflush(stdout);
        while (!stop_) {
            asio::ip::tcp::socket socket(io_);
            const OpResult a = RunWithDeadline(
                io_, timer_,
                [&](auto handler) { acceptor.async_accept(socket, [handler](auto e) mutable { handler(e, 0); }); },
                [&] { acceptor.cancel(ec); }, Clock::now() + std::chrono::hours(24), [this] { return stop_; });
            if (a.interrupted || a.timedOut) continue;
            if (a.ec) return Fail("accept failed: " + a.ec.message());
            socket.set_option(asio::ip::tcp::no_delay(true), ec);
            std::fprintf(stderr, "vktsim: connection from %s\n",
                         socket.remote_endpoint(ec).address().to_string().c_str());
            Serve(socket);
            socket.close(ec);
        }
        return 0;
    }

    int ServeSerial(const std::string& path, const SerialSettings& s) {
        using sp = asio::serial_port_base;
        asio::serial_port port(io_);
        boost::system::error_code ec;
        port.open(path, ec);
        if (!ec) port.set_option(sp::baud_rate(s.baud), ec);
        if (!ec) port.set_option(sp::character_size(s.dataBits), ec);
        if (!ec)
            port.set_option(sp::parity(s.parity == Parity::None   ? sp::parity::none
                                       : s.parity == Parity::Even ? sp::parity::even
                                                                  : sp::parity::odd),
                            ec);
        if (!ec) port.set_option(sp::stop_bits(s.stop == StopBits::Two ? sp::stop_bits::two : sp::stop_bits::one), ec);
        if (ec) return Fail(fmt::format("cannot open {} at {}: {}", path, Describe(s), ec.message()));
        std::printf("vktsim: serving on %s, %s\n", path.c_str(), Describe(s).c_str());
        std::fflush(stdout);
        Outcome outcome = Outcome::Dropped;
        while (outcome == Outcome::Dropped) outcome = Serve(port);
        return outcome == Outcome::Failed ? Fail("the serial port failed") : 0;
    }

    int ServePty(const std::string& link) {
        int master = -1, slave = -1;
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (::openpty(&master, &slave, name, &raw, nullptr) != 0) return Fail("cannot make a pseudo-terminal");
        // Our own slave descriptor stays open, so clients may come and go.
        asio::posix::stream_descriptor stream(io_, master);
        std::error_code ec;
        if (!link.empty()) {
            // A stable name for configurations; only a link of our own is replaced.
            if (std::filesystem::is_symlink(link, ec)) std::filesystem::remove(link, ec);
            std::filesystem::create_symlink(name, link, ec);
            if (ec) {
                ::close(slave);
                return Fail(fmt::format("cannot link {} to {}: {}", link, name, ec.message()));
            }
        }
        std::printf("vktsim: serving on %s%s\n", name, link.empty() ? "" : fmt::format(" (linked as {})", link).c_str());
        std::fflush(stdout);
        Outcome outcome = Outcome::Dropped;
        while (outcome == Outcome::Dropped) outcome = Serve(stream);
        ::close(slave);
        if (!link.empty()) std::filesystem::remove(link, ec);
        return outcome == Outcome::Failed ? Fail("the pseudo-terminal failed") : 0;
    }

private:
    static int Fail(const std::string& text) {
        std::fprintf(stderr, "vktsim: %s\n", text.c_str());
        return 1;
    }

    asio::io_context& io_;
    asio::steady_timer timer_;
    asio::signal_set signals_;
    sim::MeterSimulator& meter_;
    ServeOptions options_;
    bool stop_ = false;
    uint64_t answered_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string models;
    for (const auto& m : SimulatedModels()) models += (models.empty() ? "" : ", ") + m;
    CLI::App app{
        "vktsim: a simulated VKT meter on a TCP port, a serial port or a pseudo-terminal.\n"
        "Models in this build: " +
        (models.empty() ? std::string("none") : models)};
    std::string model, tcp = "127.0.0.1:4001", serial, parity = "none", stop = "1", clock;
    std::string ptyLink;
    bool pty = false, clockRunning = false, listOptions = false, listRegisters = false;
    unsigned baud = 9600, data = 8;
    int gapMs = 10;
    ServeOptions options;
    std::vector<std::string> settings;
    app.add_option("--model", model, "model text: VKT7, VKT5, VKT9New or VKT9Old")->required();
    app.add_option("--tcp", tcp, "serve on [HOST:]PORT, loopback unless a host is given; port 0 picks one")
        ->capture_default_str();
    app.add_option("--serial", serial, "serve on this serial port instead");
    app.add_flag("--pty", pty, "serve on a new pseudo-terminal instead, and print its path");
    app.add_option("--pty-link", ptyLink, "with --pty: also name it by this symbolic link (removed at the end)");
    app.add_option("--baud", baud, "serial: baud rate")->capture_default_str();
    app.add_option("--parity", parity, "serial: none, even or odd")->capture_default_str();
    app.add_option("--stop", stop, "serial: stop bits, 1 or 2")->capture_default_str();
    app.add_option("--data", data, "serial: data bits")->capture_default_str();
    app.add_option("--set", settings, "a simulator knob, NAME=VALUE (see --list-options)");
    std::string address;
    app.add_option("--address", address, "the meter's address");
    app.add_option("--clock", clock, "the meter's clock, \"YYYY-MM-DD hh:mm:ss\"");
    app.add_flag("--clock-running", clockRunning, "let the meter's clock run");
    app.add_option("--drop-after", options.dropAfter, "close the connection once after this many requests");
    app.add_option("--gap", gapMs, "ms of silence that ends a request")->capture_default_str();
    app.add_flag("--trace", options.trace, "hex dump of every request and answer on stderr");
    app.add_flag("--list-options", listOptions, "list the simulator's knobs and exit");
    app.add_flag("--list-registers,--map", listRegisters,
                 "list what the simulated meter serves and the values it holds (after the knobs), and exit");

    // Every knob of the model is a flag of its own: the model is needed first.
    std::unique_ptr<sim::MeterSimulator> meter;
    for (int i = 1; i < argc && !meter; ++i) {
        const std::string arg = argv[i];
        if (arg == "--model" && i + 1 < argc) meter = MakeSimulator(argv[i + 1]);
        if (arg.starts_with("--model=")) meter = MakeSimulator(arg.substr(8));
    }
    // Repeatable, in the order given: --register 40020=1 --register 40021=2.
    std::map<std::string, std::vector<std::string>> knobs;
    if (meter)
        for (const auto& [name, description] : meter->Options())
            if (app.get_option_no_throw("--" + name) == nullptr)
                app.add_option("--" + name, knobs[name], description)
                    ->group("Simulator knobs")
                    ->expected(1)
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    options.gap = std::chrono::milliseconds(std::max(1, gapMs));
    for (const auto& [name, values] : knobs)
        for (const auto& value : values) settings.push_back(name + "=" + value);

    if (!meter) {
        std::fprintf(stderr, "vktsim: no simulator of model \"%s\" (this build has: %s)\n", model.c_str(),
                     models.empty() ? "none" : models.c_str());
        return 2;
    }
    if (listOptions) {
        for (const auto& [name, description] : meter->Options())
            std::printf("%-20s %s\n", name.c_str(), description.c_str());
        return 0;
    }
    if (!clock.empty()) settings.insert(settings.begin(), "clock=" + clock);
    if (!address.empty()) settings.insert(settings.begin(), "address=" + address);
    if (clockRunning) settings.push_back("clock-running=true");
    for (const auto& s : settings) {
        const size_t eq = s.find('=');
        std::string error = "expected NAME=VALUE";
        if (eq == std::string::npos || !meter->SetOption(s.substr(0, eq), s.substr(eq + 1), error)) {
            std::fprintf(stderr, "vktsim: %s: %s\n", s.c_str(), error.c_str());
            return 2;
        }
    }

    if (listRegisters) {
        for (const auto& line : meter->RegisterMap()) std::printf("%s\n", line.c_str());
        return 0;
    }
    if (!ptyLink.empty() && !pty) {
        std::fprintf(stderr, "vktsim: --pty-link needs --pty\n");
        return 2;
    }

    asio::io_context io;
    Server server(io, *meter, options);
    int status = 0;
    if (pty) {
        status = server.ServePty(ptyLink);
    } else if (!serial.empty()) {
        SerialSettings s;
        try {
            s = ParseChannel(
                    fmt::format("serial://{}?baud={}&parity={}&stop={}&data={}", serial, baud, parity, stop, data))
                    .serial;
        } catch (const ConfigError& e) {
            std::fprintf(stderr, "vktsim: %s\n", e.what());
            return 2;
        }
        status = server.ServeSerial(serial, s);
    } else {
        const size_t colon = tcp.rfind(':');
        const std::string host = colon == std::string::npos ? "127.0.0.1" : tcp.substr(0, colon);
        const std::string portText = colon == std::string::npos ? tcp : tcp.substr(colon + 1);
        char* end = nullptr;
        const unsigned long port = std::strtoul(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || port > 65535) {
            std::fprintf(stderr, "vktsim: --tcp %s: expected [HOST:]PORT\n", tcp.c_str());
            return 2;
        }
        status = server.ServeTcp(host, static_cast<uint16_t>(port));
    }
    std::fprintf(stderr, "vktsim: %llu requests answered\n", static_cast<unsigned long long>(server.answered()));
    return status;
}
