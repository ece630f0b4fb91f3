// The station's one connection to the broker: sends what the durable queue
// holds, oldest first, and removes each entry when the broker acknowledges it;
// on any failure a fresh connection after a back-off, and everything not yet
// acknowledged is sent again. Incoming command messages go to a callback.
// Runs on a thread of its own.
#ifndef TRV_TOOLS_STATION_MQTT_LINK_H
#define TRV_TOOLS_STATION_MQTT_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tools/config.h"
#include "tools/station/durable_queue.h"
#include "tools/station/log.h"

struct mosquitto;
struct mosquitto_message;

namespace station {

class MqttLink {
public:
    using CommandFn = std::function<void(const std::string& topic, const std::string& payload)>;

    // password: the contents of the password file (never logged).
    MqttLink(const tools::MqttConfig& config, std::string password, DurableQueue& queue, Logger& log,
             CommandFn onCommand);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    void Start();
    // Delivers what is queued while the broker is there (at most grace), says
    // the station is offline, disconnects. The rest stays on disk.
    void Stop(std::chrono::milliseconds grace);

    std::string OnlineTopic() const { return config_.prefix + "/online"; }
    std::string CommandFilter() const { return config_.prefix + "/+/set/+"; }

private:
    enum class State { Idle, Waiting, Connected };

    void Loop();
    void Connect();
    void Drop(const std::string& why);
    void Pump();
    bool Drained();
    void Forget();

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLibraryLog(mosquitto*, void* self, int level, const char* text);

    tools::MqttConfig config_;
    std::string password_;
    DurableQueue& queue_;
    Logger& log_;
    CommandFn onCommand_;

    // Only the link's thread touches these.
    mosquitto* mosq_ = nullptr;
    State state_ = State::Idle;
    std::chrono::steady_clock::time_point nextAttempt_;
    std::chrono::steady_clock::time_point connectDeadline_;
    std::chrono::seconds backoff_{1};
    int64_t cursor_ = 0;               // the newest entry sent on this connection
    std::map<int, int64_t> inflight_;  // message id -> queue entry
    std::vector<int64_t> acked_;       // removed from the queue together
    std::string refused_;              // the broker's CONNACK refusal, if any
    std::string libraryError_;         // the client library's last error line (OpenSSL's reason)

    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point drainDeadline_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace station

#endif
