// A scripted meter on loopback TCP, on its own thread, for channel tests. The
// first byte of a request picks the answer (see Script). Every wait is bounded.
#ifndef TRV_TOOLS_TESTS_FAKE_METER_H
#define TRV_TOOLS_TESTS_FAKE_METER_H

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace tools::testing {

enum Script : uint8_t {
    kFive = 1,        // A0..A4 at once
    kTen,             // B0..B9 at once
    kTwoWrites,       // C0 C1 C2, then C3 C4 right after
    kPause,           // D0 D1 D2, then D3 D4 once the test calls Go()
    kSilent,          // nothing
    kHangUp,          // closes the connection
};

// A loopback socket bound to an ephemeral port; its port.
inline uint16_t BindLoopback(int fd) {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return 0;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

class FakeMeter {
public:
    FakeMeter() : port_(BindLoopback(listener_)) {
        ::listen(listener_, 4);
        for (int* p : {wake_, go_}) [[maybe_unused]] int r = ::pipe(p);
        thread_ = std::thread([this] { Loop(); });
    }
    ~FakeMeter() {
        [[maybe_unused]] auto n = ::write(wake_[1], "x", 1);
        thread_.join();
        for (int fd : {listener_, wake_[0], wake_[1], go_[0], go_[1]}) ::close(fd);
    }
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }
    int requests() const { return requests_; }
    void Go() { [[maybe_unused]] auto n = ::write(go_[1], "x", 1); }

private:
    // Serves every connection at once (the poller may hold several) until the
    // destructor wakes it or ten seconds pass without traffic.
    void Loop() {
        std::vector<int> lines;
        for (;;) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (int fd : lines) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 10000) <= 0 || fds[0].revents != 0) break;
            if (fds[1].revents != 0) lines.push_back(::accept(listener_, nullptr, nullptr)), ++accepted_;
            for (size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0 && !Answer(fds[i].fd)) ::close(fds[i].fd), std::erase(lines, fds[i].fd);
        }
        for (int fd : lines) ::close(fd);
    }

    static void Send(int fd, std::vector<uint8_t> bytes) {
        [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size());
    }

    // False when the connection is over.
    bool Answer(int fd) {
        uint8_t request[256];
        if (::read(fd, request, sizeof request) <= 0) return false;
        ++requests_;
        switch (request[0]) {
            case kFive: Send(fd, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4}); break;
            case kTen: Send(fd, {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9}); break;
            case kTwoWrites: Send(fd, {0xC0, 0xC1, 0xC2}), Send(fd, {0xC3, 0xC4}); break;
            case kPause: {
                Send(fd, {0xD0, 0xD1, 0xD2});
                pollfd go{go_[0], POLLIN, 0};
                char byte;
                if (::poll(&go, 1, 10000) == 1 && ::read(go_[0], &byte, 1) == 1) Send(fd, {0xD3, 0xD4});
                break;
            }
            case kHangUp: return false;
            default: break;
        }
        return true;
    }

    int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port_;
    int wake_[2] = {-1, -1}, go_[2] = {-1, -1};
    std::atomic<int> accepted_{0}, requests_{0};
    std::thread thread_;
};

}  // namespace tools::testing

#endif
