// A real mosquitto for a test: a free loopback port, a password file,
// anonymous clients refused, persistence in the test's directory so that a
// restart keeps a subscriber's session. And a subscriber that keeps every message.
#ifndef TRV_TOOLS_TESTS_BROKER_H
#define TRV_TOOLS_TESTS_BROKER_H

#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/tests/child_process.h"

namespace tools::testing {

inline uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool Accepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class Broker {
public:
    static constexpr const char* kUser = "station";
    static constexpr const char* kPassword = "s3cret";

    explicit Broker(const std::filesystem::path& dir) : dir_(dir), port_(FreePort()) {
        ChildProcess passwd({TRV_MOSQUITTO_PASSWD, "-c", "-b", (dir / "passwd").string(), kUser, kPassword});
        passwd.Wait();
        std::ofstream(dir / "password") << kPassword << "\n";
        std::ofstream(dir / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                              << "allow_anonymous false\npassword_file " << (dir / "passwd").string()
                                              << "\npersistence true\npersistence_location " << dir.string()
                                              << "/\nmax_queued_messages 0\n"
                                              // as root it would switch to a user that cannot write here
                                              << (::getuid() == 0 ? "user root\n" : "");
        Start();
    }
    ~Broker() { Stop(); }

    // Waits until it accepts connections.
    bool Start() {
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{TRV_MOSQUITTO, "-c", (dir_ / "mosquitto.conf").string()});
        for (const auto deadline = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms))
            if (Accepts(port_)) return true;
        return false;
    }
    void Stop() {
        if (!process_) return;
        process_->Signal(SIGTERM);
        process_->Wait();
        process_.reset();
    }
    uint16_t port() const { return port_; }
    std::string password_file() const { return (dir_ / "password").string(); }

private:
    std::filesystem::path dir_;
    uint16_t port_;
    std::unique_ptr<ChildProcess> process_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribes once with a session that outlives broker restarts, so nothing
// published while it reconnects is lost.
class Subscriber {
public:
    Subscriber(uint16_t port, const std::string& filter, const std::string& name = "sub") : filter_(filter) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(("test-" + name + "-" + std::to_string(::getpid())).c_str(), false, this);
        mosquitto_username_pw_set(mosq_, Broker::kUser, Broker::kPassword);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            auto& s = *static_cast<Subscriber*>(self);
            if (rc == 0 && !s.subscribed_) mosquitto_subscribe(m, nullptr, s.filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto& s = *static_cast<Subscriber*>(self);
            std::lock_guard lock(s.mutex_);
            s.subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto& s = *static_cast<Subscriber*>(self);
            std::lock_guard lock(s.mutex_);
            s.messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload),
                                                         static_cast<size_t>(m->payloadlen)), m->retain});
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
    bool WaitSubscribed() {
        return Until([&] { return subscribed_; });
    }
    std::vector<Message> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // Polls pred under the lock until it holds or the limit passes.
    template <typename Pred>
    bool Until(Pred pred, std::chrono::milliseconds limit = 60s) {
        for (const auto deadline = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(20ms)) {
            {
                std::lock_guard lock(mutex_);
                if (pred()) return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
    }
    const std::vector<Message>& locked_messages() const { return messages_; }  // inside Until only

    void Publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }

private:
    std::string filter_;
    mosquitto* mosq_ = nullptr;
    std::mutex mutex_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

}  // namespace tools::testing

#endif
