#include "mqtt_subscriber.hpp"

#include <pthread.h>
#include <signal.h>

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

namespace quillon::integration {
namespace {

constexpr int keepalive_seconds = 10;

void init_library_once() {
    static std::once_flag done;
    std::call_once(done, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttSubscriber::MqttSubscriber(std::uint16_t port, MqttClientOptions options)
    : port_(port), options_(std::move(options)) {
    init_library_once();
    client_ = options_.client_id.empty() ? mosquitto_new(nullptr, true, this)
                                         : mosquitto_new(options_.client_id.c_str(), false, this);
    if (client_ == nullptr) return;
    mosquitto_connect_callback_set(client_, &MqttSubscriber::on_connect);
    mosquitto_disconnect_callback_set(client_, &MqttSubscriber::on_disconnect);
    mosquitto_subscribe_callback_set(client_, &MqttSubscriber::on_subscribe);
    mosquitto_publish_callback_set(client_, &MqttSubscriber::on_publish);
    mosquitto_message_callback_set(client_, &MqttSubscriber::on_message);
    if (!options_.user.empty())
        mosquitto_username_pw_set(client_, options_.user.c_str(), options_.password.c_str());
    if (!options_.ca_file.empty())
        mosquitto_tls_set(client_, options_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
}

MqttSubscriber::~MqttSubscriber() {
    if (client_ == nullptr) return;
    // Disconnecting first lets the network thread end by itself, even mid-wait
    // before another try.
    mosquitto_disconnect(client_);
    if (loop_started_) mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

bool MqttSubscriber::connect(std::chrono::milliseconds patience) {
    if (client_ == nullptr) return false;
    if (!loop_started_) {
        // The network thread inherits this mask: a broker gone mid-write must
        // not end the test program with SIGPIPE.
        sigset_t pipe_signal;
        sigset_t previous;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
        // A refused first try is tried again by the network thread.
        mosquitto_connect_async(client_, "127.0.0.1", port_, keepalive_seconds);
        loop_started_ = mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!loop_started_) return false;
    }
    return wait_connected(patience);
}

bool MqttSubscriber::wait_connected(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] {
        return connected_ && std::all_of(resubscriptions_.begin(), resubscriptions_.end(),
                                         [&](int mid) { return acknowledged_.contains(mid); });
    };
    return changed_.wait_for(lock, patience, [&] { return ready() || refusal_; }) && ready();
}

std::optional<int> MqttSubscriber::refusal() const {
    std::lock_guard lock(mutex_);
    return refusal_;
}

bool MqttSubscriber::subscribe(const std::string& filter, std::chrono::milliseconds patience) {
    {
        std::lock_guard lock(mutex_);
        filters_.push_back(filter);
    }
    int mid = 0;
    return mosquitto_subscribe(client_, &mid, filter.c_str(), 1) == MOSQ_ERR_SUCCESS &&
           wait_acknowledged(mid, patience);
}

bool MqttSubscriber::publish(const std::string& topic, const std::string& payload, bool retain,
                             std::chrono::milliseconds patience) {
    int mid = 0;
    return mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain) == MOSQ_ERR_SUCCESS &&
           wait_acknowledged(mid, patience);
}

bool MqttSubscriber::wait_acknowledged(int mid, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return acknowledged_.contains(mid); });
}

std::optional<MqttMessage> MqttSubscriber::wait_for(const Match& match,
                                                    std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    std::optional<MqttMessage> found;
    changed_.wait_for(lock, patience, [&] {
        const auto it = std::find_if(messages_.begin(), messages_.end(), match);
        if (it != messages_.end()) found = *it;
        return found.has_value();
    });
    return found;
}

std::optional<MqttMessage> MqttSubscriber::wait_for(const std::string& topic,
                                                    std::chrono::milliseconds patience) {
    return wait_for([&](const MqttMessage& m) { return m.topic == topic; }, patience);
}

bool MqttSubscriber::wait_count(const std::string& topic, std::size_t count,
                                std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] {
        return static_cast<std::size_t>(
                   std::count_if(messages_.begin(), messages_.end(),
                                 [&](const MqttMessage& m) { return m.topic == topic; })) >= count;
    });
}

std::vector<MqttMessage> MqttSubscriber::messages(const std::string& topic) const {
    std::lock_guard lock(mutex_);
    std::vector<MqttMessage> found;
    std::copy_if(messages_.begin(), messages_.end(), std::back_inserter(found),
                 [&](const MqttMessage& m) { return topic.empty() || m.topic == topic; });
    return found;
}

void MqttSubscriber::on_connect(mosquitto* client, void* self, int code) {
    auto* me = static_cast<MqttSubscriber*>(self);
    if (code != 0) {
        {
            std::lock_guard lock(me->mutex_);
            me->refusal_ = code;
            me->changed_.notify_all();
        }
        mosquitto_disconnect(client);  // a refusal is final
        return;
    }
    std::vector<std::string> filters;
    {
        std::lock_guard lock(me->mutex_);
        filters = me->filters_;
    }
    // A broker that started again lost them. Their acknowledgements come on
    // this thread, so none can come before the mids are kept.
    std::vector<int> mids;
    for (const std::string& filter : filters) {
        int mid = 0;
        if (mosquitto_subscribe(client, &mid, filter.c_str(), 1) == MOSQ_ERR_SUCCESS)
            mids.push_back(mid);
    }
    std::lock_guard lock(me->mutex_);
    me->connected_ = true;
    me->resubscriptions_ = std::move(mids);
    me->changed_.notify_all();
}

void MqttSubscriber::on_disconnect(mosquitto*, void* self, int) {
    auto* me = static_cast<MqttSubscriber*>(self);
    std::lock_guard lock(me->mutex_);
    me->connected_ = false;
    me->changed_.notify_all();
}

void MqttSubscriber::on_subscribe(mosquitto*, void* self, int mid, int, const int*) {
    on_publish(nullptr, self, mid);
}

void MqttSubscriber::on_publish(mosquitto*, void* self, int mid) {
    auto* me = static_cast<MqttSubscriber*>(self);
    std::lock_guard lock(me->mutex_);
    me->acknowledged_.insert(mid);
    me->changed_.notify_all();
}

void MqttSubscriber::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto* me = static_cast<MqttSubscriber*>(self);
    MqttMessage kept;
    kept.topic = message->topic;
    if (message->payloadlen > 0)
        kept.payload.assign(static_cast<const char*>(message->payload),
                            static_cast<std::size_t>(message->payloadlen));
    kept.retained = message->retain;
    kept.received = std::chrono::steady_clock::now();
    std::lock_guard lock(me->mutex_);
    me->messages_.push_back(std::move(kept));
    me->changed_.notify_all();
}

}  // namespace quillon::integration
