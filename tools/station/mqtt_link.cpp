#include "tools/station/mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace station {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kWindow = 100;  // entries sent and not yet acknowledged
constexpr auto kMaxBackoff = 60s;

std::string Reason(int rc) {
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    while (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

MqttLink::MqttLink(const tools::MqttConfig& config, std::string password, DurableQueue& queue, Logger& log,
                   CommandFn onCommand)
    : config_(config), password_(std::move(password)), queue_(queue), log_(log), onCommand_(std::move(onCommand)) {
    mosquitto_lib_init();  // counted by the library: one per link is fine
}

MqttLink::~MqttLink() {
    if (thread_.joinable()) Stop(0ms);
    mosquitto_lib_cleanup();
}

void MqttLink::Start() {
    nextAttempt_ = Clock::now();
    thread_ = std::thread([this] { Loop(); });
}

void MqttLink::Stop(std::chrono::milliseconds grace) {
    drainDeadline_ = Clock::now() + grace;
    stop_.store(true);
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// A removal lost to a crash costs a duplicate, never a reading: they can share one commit.
void MqttLink::Forget() {
    queue_.Remove(acked_);
    acked_.clear();
}

bool MqttLink::Drained() { return inflight_.empty() && queue_.After(cursor_, 1).empty(); }

void MqttLink::Loop() {
    while (true) {
        if (stop_.load()) {
            const bool canDeliver = state_ == State::Connected && Clock::now() < drainDeadline_;
            if (!canDeliver || Drained()) break;
        }
        if (state_ == State::Idle) {
            if (stop_.load()) break;
            std::unique_lock lock(wakeMutex_);
            if (wake_.wait_until(lock, nextAttempt_, [this] { return stop_.load(); })) continue;
            lock.unlock();
            Connect();
            continue;
        }
        const int rc = mosquitto_loop(mosq_, 50, 1);
        Forget();
        if (!refused_.empty()) {
            Drop(refused_);
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            Drop(fmt::format("connection to {}:{} lost: {}", config_.host, config_.port, Reason(rc)));
            continue;
        }
        if (state_ == State::Waiting && Clock::now() > connectDeadline_) {
            Drop(fmt::format("no answer from the broker at {}:{} to the connection request", config_.host,
                             config_.port));
            continue;
        }
        if (state_ == State::Connected) Pump();
    }
    if (mosq_ != nullptr) {
        if (state_ == State::Connected) {
            // A clean stop says so itself; the last will is for the other kind.
            mosquitto_publish(mosq_, nullptr, OnlineTopic().c_str(), 5, "false", 1, true);
            for (int i = 0; i < 20 && mosquitto_want_write(mosq_); ++i) mosquitto_loop(mosq_, 50, 1);
            mosquitto_disconnect(mosq_);
            mosquitto_loop(mosq_, 50, 1);
            Forget();
            log_(Level::Info, fmt::format("mqtt: disconnected; {} entries stay queued on disk", queue_.size()));
        }
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
}

void MqttLink::Connect() {
    refused_.clear();
    inflight_.clear();
    cursor_ = 0;
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) return Drop("cannot create the MQTT client: out of memory");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, &MqttLink::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttLink::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttLink::OnPublish);
    mosquitto_message_callback_set(mosq_, &MqttLink::OnMessage);
    mosquitto_log_callback_set(mosq_, &MqttLink::OnLibraryLog);
    libraryError_.clear();
    if (!config_.username.empty())
        mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                  config_.passwordFile.empty() ? nullptr : password_.c_str());
    mosquitto_will_set(mosq_, OnlineTopic().c_str(), 5, "false", 1, true);
    if (config_.tls) {
        const char* ca = config_.caFile.empty() ? nullptr : config_.caFile.c_str();
        const int rc = mosquitto_tls_set(mosq_, ca, ca == nullptr ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return Drop(fmt::format("TLS: cannot use the CA file {}: {}", config_.caFile, Reason(rc)));
    }
    const int rc = mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepaliveS);
    if (rc == MOSQ_ERR_TLS)
        return Drop(fmt::format("cannot connect to {}:{}: TLS failed ({}); check ca_file {} and the broker's "
                                "certificate", config_.host, config_.port,
                                libraryError_.empty() ? Reason(rc) : libraryError_,
                                config_.caFile.empty() ? "(the system's CAs)" : config_.caFile));
    if (rc != MOSQ_ERR_SUCCESS)
        return Drop(fmt::format("cannot connect to {}:{}{}: {}", config_.host, config_.port,
                                config_.tls ? " (TLS)" : "", Reason(rc)));
    state_ = State::Waiting;
    connectDeadline_ = Clock::now() + std::chrono::seconds(config_.keepaliveS);
}

void MqttLink::Drop(const std::string& why) {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    state_ = State::Idle;
    inflight_.clear();
    if (stop_.load()) return;
    log_(Level::Error, fmt::format("mqtt: {}; retrying in {} s", why, backoff_.count()));
    nextAttempt_ = Clock::now() + backoff_;
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kMaxBackoff);
}

void MqttLink::Pump() {
    while (static_cast<int>(inflight_.size()) < kWindow) {
        const auto entries = queue_.After(cursor_, kWindow - static_cast<int>(inflight_.size()));
        if (entries.empty()) return;
        for (const QueueEntry& e : entries) {
            int mid = 0;
            const int rc = mosquitto_publish(mosq_, &mid, e.topic.c_str(), static_cast<int>(e.payload.size()),
                                             e.payload.data(), config_.qos, e.retain);
            if (rc != MOSQ_ERR_SUCCESS) return;  // the loop sees the broken connection
            cursor_ = e.id;
            if (config_.qos == 0)
                acked_.push_back(e.id);  // no acknowledgement will come
            else
                inflight_[mid] = e.id;
        }
    }
}

void MqttLink::OnConnect(mosquitto* mosq, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    if (rc != 0) {
        std::string why = mosquitto_connack_string(rc);
        while (!why.empty() && why.back() == '.') why.pop_back();
        const bool credentials = rc == 4 || rc == 5;  // bad user name or password, not authorised
        link.refused_ = fmt::format("the broker at {}:{} refused the connection: {}{}", link.config_.host,
                                    link.config_.port, why,
                                    credentials ? " (check username and password_file)" : "");
        return;
    }
    link.state_ = State::Connected;
    link.backoff_ = 1s;
    mosquitto_subscribe(mosq, nullptr, link.CommandFilter().c_str(), 1);
    mosquitto_publish(mosq, nullptr, link.OnlineTopic().c_str(), 4, "true", 1, true);
    link.log_(Level::Notice, fmt::format("mqtt: connected to {}:{} as {}; {} entries queued", link.config_.host,
                                         link.config_.port, link.config_.clientId, link.queue_.size()));
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    if (rc != 0 && link.refused_.empty() && link.state_ == State::Waiting)
        link.refused_ = fmt::format("the broker at {}:{} closed the connection before accepting it",
                                    link.config_.host, link.config_.port);
}

void MqttLink::OnPublish(mosquitto*, void* self, int mid) {
    auto& link = *static_cast<MqttLink*>(self);
    const auto it = link.inflight_.find(mid);
    if (it == link.inflight_.end()) return;  // the online state
    link.acked_.push_back(it->second);
    link.inflight_.erase(it);
}

void MqttLink::OnLibraryLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr) static_cast<MqttLink*>(self)->libraryError_ = text;
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto& link = *static_cast<MqttLink*>(self);
    const std::string payload(static_cast<const char*>(m->payload), static_cast<size_t>(std::max(0, m->payloadlen)));
    link.onCommand_(m->topic, payload);
}

}  // namespace station
