// A scripted meter for channel tests, on its own thread: on loopback TCP or on
// the master side of a pseudo-terminal. The first byte of a request picks the
// behaviour (see Script). Every wait is bounded.
#ifndef TRV_TOOLS_TESTS_FAKE_METER_H
#define TRV_TOOLS_TESTS_FAKE_METER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tools::testing {

enum Script : uint8_t {
    kFive = 0x01,            // five bytes A0..A4 at once
    kTen = 0x02,             // ten bytes B0..B9 at once
    kTwoWrites = 0x03,       // C0 C1 C2, then C3 C4 right after
    kPause = 0x04,           // D0 D1 D2, then D3 D4 once the test calls Go()
    kSilent = 0x05,          // nothing
    kHangUp = 0x06,          // closes the connection
    kInterrupt = 0x07,       // raises SIGINT in this process, answers nothing
    kFiveThenHangUp = 0x08,  // five bytes, then closes the connection
};

class FakeMeter {
public:
    // TCP on 127.0.0.1, an ephemeral port.
    FakeMeter() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        Start();
    }

    // A pseudo-terminal; the channel opens path().
    explicit FakeMeter(bool /*pty*/) {
        int slave = -1;
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        ::openpty(&master_, &slave, name, &raw, nullptr);
        slave_ = slave;
        path_ = name;
        Start();
    }

    ~FakeMeter() {
        stop_ = true;
        const char byte = 0;
        [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
        thread_.join();
        for (int fd : {listener_, master_, slave_, wake_[0], wake_[1], go_[0], go_[1]})
            if (fd >= 0) ::close(fd);
    }

    uint16_t port() const { return port_; }
    const std::string& path() const { return path_; }
    int slaveFd() const { return slave_; }
    int accepted() const { return accepted_; }
    int requests() const { return requests_; }
    void Go() {
        const char byte = 1;
        [[maybe_unused]] auto n = ::write(go_[1], &byte, 1);
    }

private:
    void Start() {
        [[maybe_unused]] int a = ::pipe(wake_);
        [[maybe_unused]] int b = ::pipe(go_);
        thread_ = std::thread([this] { Loop(); });
    }

    // Waits for fd to be readable, at most 10 s; false when stopping or on time-out.
    bool Wait(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        return ::poll(fds, 2, 10000) > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0 && !stop_;
    }

    // Serves every connection at once, as the poller may hold several. Ten
    // seconds without any traffic end the meter.
    void Loop() {
        std::vector<int> lines;
        if (master_ >= 0) lines.push_back(master_);
        while (!stop_) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
            if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
            for (int fd : lines) fds.push_back({fd, POLLIN, 0});
            const int ready = ::poll(fds.data(), fds.size(), 10000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || fds[0].revents != 0) break;
            size_t i = 1;
            if (listener_ >= 0 && (fds[i++].revents & POLLIN) != 0) {
                lines.push_back(::accept(listener_, nullptr, nullptr));
                ++accepted_;
            }
            for (; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP)) == 0 || Answer(fds[i].fd)) continue;
                if (fds[i].fd != master_) ::close(fds[i].fd);
                std::erase(lines, fds[i].fd);
            }
        }
        for (int fd : lines)
            if (fd != master_) ::close(fd);
    }

    void Send(int fd, std::vector<uint8_t> bytes) { [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size()); }

    // False when the connection is over.
    bool Answer(int fd) {
        uint8_t request[256];
        const ssize_t n = ::read(fd, request, sizeof request);
        if (n <= 0) return false;
        ++requests_;
        switch (request[0]) {
            case kFive: Send(fd, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4}); break;
            case kTen: Send(fd, {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9}); break;
            case kTwoWrites:
                Send(fd, {0xC0, 0xC1, 0xC2});
                Send(fd, {0xC3, 0xC4});
                break;
            case kPause:
                Send(fd, {0xD0, 0xD1, 0xD2});
                if (Wait(go_[0])) {
                    char byte;
                    [[maybe_unused]] auto r = ::read(go_[0], &byte, 1);
                    Send(fd, {0xD3, 0xD4});
                }
                break;
            case kHangUp: return false;
            case kFiveThenHangUp: Send(fd, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4}); return false;
            case kInterrupt: ::kill(::getpid(), SIGINT); break;
            default: break;
        }
        return true;
    }

    int listener_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    int go_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace tools::testing

#endif
