#include "platform/mqtt/mosquitto_link.hpp"

#include <mosquitto.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>

namespace quillon {
namespace {

constexpr int keepalive_s = 30;
constexpr std::int64_t first_wait_ms = 1000;
constexpr std::int64_t longest_wait_ms = 60000;
// Messages handed to the library and not yet written: beyond these the
// gateway keeps them (and drops the oldest), not the library.
constexpr int max_in_flight = 200;
constexpr std::size_t max_events = 1000;
constexpr int max_reads_per_service = 100;
constexpr std::int64_t resolve_poll_ms = 20;
constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();

constexpr std::int64_t connect_patience_ms = 10000;

std::int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool numeric_host(const std::string& host) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const bool numeric = ::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0;
    if (found != nullptr) ::freeaddrinfo(found);
    return numeric;
}

class MosquittoLink : public SocketBrokerLink {
  public:
    MosquittoLink() { mosquitto_lib_init(); }
    ~MosquittoLink() override {
        cancel_lookup();
        if (mosq_ != nullptr) mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
    MosquittoLink(const MosquittoLink&) = delete;
    MosquittoLink& operator=(const MosquittoLink&) = delete;

    std::string open(const BrokerOpening& opening) override;
    void service(std::int64_t now_ms) override;
    BrokerEvent poll() override;
    bool publish(const BrokerMessage& message) override;
    std::int64_t next_due_ms() const override;
    void close(const BrokerMessage& farewell) override;

    // Only while it is in use: a socket left behind is not watched.
    int socket_fd() const override {
        if (stage_ != Stage::connecting && stage_ != Stage::connected) return -1;
        return mosquitto_socket(const_cast<mosquitto*>(mosq_));
    }
    bool wants_write() const override {
        return socket_fd() >= 0 && mosquitto_want_write(const_cast<mosquitto*>(mosq_));
    }
    bool has_buffered_input() const override {
        if (socket_fd() < 0) return false;
        auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(const_cast<mosquitto*>(mosq_)));
        return ssl != nullptr && SSL_pending(ssl) > 0;
    }

  private:
    enum class Stage { idle, waiting, resolving, connecting, connected };

    static void on_connect(mosquitto*, void* self, int rc) {
        static_cast<MosquittoLink*>(self)->connected(rc);
    }
    static void on_disconnect(mosquitto*, void* self, int rc) {
        static_cast<MosquittoLink*>(self)->disconnected(rc);
    }
    static void on_publish(mosquitto*, void* self, int) {
        auto* link = static_cast<MosquittoLink*>(self);
        if (link->in_flight_ > 0) --link->in_flight_;
    }
    static void on_message(mosquitto*, void* self, const mosquitto_message* m) {
        auto* link = static_cast<MosquittoLink*>(self);
        BrokerEvent e;
        e.kind = BrokerEventKind::message;
        e.message.topic = m->topic != nullptr ? m->topic : "";
        e.message.payload.assign(static_cast<const char*>(m->payload),
                                 static_cast<std::size_t>(std::max(m->payloadlen, 0)));
        e.message.retain = m->retain;
        link->add(std::move(e));
    }

    void connected(int rc);
    void disconnected(int rc);
    // A read or write failed: when the library closed the socket (it says
    // nothing of it while a connection is still being made), the try is over.
    void ended(int rc) {
        if (mosquitto_socket(mosq_) < 0) disconnected(rc);
    }
    static void on_log(mosquitto*, void* self, int level, const char* text) {
        if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr)
            static_cast<MosquittoLink*>(self)->last_error_ = text;
    }
    void add(BrokerEvent e);
    void say(BrokerEventKind kind, std::string reason) {
        BrokerEvent e;
        e.kind = kind;
        e.reason = std::move(reason);
        add(std::move(e));
    }
    void start_try(std::int64_t now_ms);
    void connect_now(std::int64_t now_ms);
    void try_failed(std::int64_t now_ms, const std::string& reason);
    void cancel_lookup();
    std::string tls_reason() const;

    mosquitto* mosq_ = nullptr;
    BrokerOpening opening_;
    Stage stage_ = Stage::idle;
    std::int64_t next_try_ms_ = 0;
    std::int64_t wait_ms_ = first_wait_ms;
    std::int64_t now_ms_ = 0;  // the loop's clock, as the latest service saw it
    std::int64_t try_started_ms_ = 0;
    bool ever_said_lost_ = false;  // the broker's absence is said once, not at every try
    bool refused_ = false;         // this try was refused, said already
    int in_flight_ = 0;
    std::deque<BrokerEvent> events_;
    std::string last_error_;  // the library's latest error line (OpenSSL's, for TLS)
    gaicb lookup_{};
    gaicb* lookups_[1] = {&lookup_};
    bool looking_up_ = false;
};

std::string MosquittoLink::open(const BrokerOpening& opening) {
    opening_ = opening;
    mosq_ = mosquitto_new(opening.client_id.c_str(), true, this);
    if (mosq_ == nullptr)
        return "the MQTT library can't start: " + std::string(std::strerror(errno));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // A frame goes out when it comes, not when the broker's last ack does.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_log_callback_set(mosq_, on_log);
    const BrokerMessage& will = opening.will;
    int rc = mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                will.payload.data(), 1, will.retain);
    if (rc == MOSQ_ERR_SUCCESS && !opening.user.empty())
        rc = mosquitto_username_pw_set(
            mosq_, opening.user.c_str(),
            opening.password.empty() ? nullptr : opening.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && opening.address.tls) {
        if (opening.ca_file.empty()) {
            rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            rc = mosquitto_tls_set(mosq_, opening.ca_file.c_str(), nullptr, nullptr, nullptr,
                                   nullptr);
            if (rc == MOSQ_ERR_INVAL) return "MqttCA " + opening.ca_file + " can't be read";
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) return mosquitto_strerror(rc);
    stage_ = Stage::waiting;
    next_try_ms_ = 0;  // at once
    return {};
}

void MosquittoLink::add(BrokerEvent e) {
    // The loop takes them every pass; a flood beyond that loses the oldest.
    if (events_.size() == max_events) events_.pop_front();
    events_.push_back(std::move(e));
}

BrokerEvent MosquittoLink::poll() {
    if (events_.empty()) return {};
    BrokerEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

void MosquittoLink::connected(int rc) {
    if (rc != 0) {
        refused_ = true;
        say(BrokerEventKind::refused, mosquitto_connack_string(rc));
        try_failed(now_ms_, {});
        return;
    }
    stage_ = Stage::connected;
    wait_ms_ = first_wait_ms;
    ever_said_lost_ = false;
    in_flight_ = 0;
    for (const std::string& topic : opening_.subscriptions)
        mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 0);
    say(BrokerEventKind::connected, {});
}

std::string MosquittoLink::tls_reason() const {
    // What OpenSSL said, as the library logged it: "OpenSSL Error[0]: error:…:reason".
    const std::size_t last_colon = last_error_.rfind(':');
    const std::string said =
        last_colon == std::string::npos ? last_error_ : last_error_.substr(last_colon + 1);
    if (said.find("certificate verify failed") != std::string::npos)
        return "certificate not trusted (" + said + ")";
    return said.empty() ? std::string() : "TLS: " + said;
}

void MosquittoLink::disconnected(int rc) {
    // After a refusal or a give-up the try has ended already.
    if (stage_ != Stage::connecting && stage_ != Stage::connected) return;
    const bool was_connected = stage_ == Stage::connected;
    std::string reason;
    if (rc == MOSQ_ERR_TLS) reason = tls_reason();
    last_error_.clear();
    if (reason.empty()) reason = rc == 0 ? "disconnected" : mosquitto_strerror(rc);
    try_failed(now_ms_, reason);
    if (was_connected) {
        ever_said_lost_ = true;
        say(BrokerEventKind::lost, reason);
    }
}

void MosquittoLink::try_failed(std::int64_t now_ms, const std::string& reason) {
    const bool was_connected = stage_ == Stage::connected;
    if (stage_ == Stage::idle) return;
    stage_ = Stage::waiting;
    next_try_ms_ = now_ms + wait_ms_;
    wait_ms_ = std::min(wait_ms_ * 2, longest_wait_ms);
    if (was_connected) return;  // said by the caller
    // A refusal was said as the broker gave it; a broker not there is said once.
    if (refused_) {
        refused_ = false;
    } else if (reason.rfind("certificate not trusted", 0) == 0) {
        say(BrokerEventKind::refused, reason);
    } else if (!ever_said_lost_) {
        ever_said_lost_ = true;
        say(BrokerEventKind::lost, reason);
    }
}

void MosquittoLink::cancel_lookup() {
    if (!looking_up_) return;
    ::gai_cancel(&lookup_);
    // A lookup already under way is waited for: its result points into this object.
    while (::gai_error(&lookup_) == EAI_INPROGRESS) {
        const timespec brief{0, 10'000'000};
        const gaicb* const pending[1] = {&lookup_};
        ::gai_suspend(pending, 1, &brief);
    }
    if (lookup_.ar_result != nullptr) ::freeaddrinfo(lookup_.ar_result);
    lookup_ = {};
    looking_up_ = false;
}

void MosquittoLink::start_try(std::int64_t now_ms) {
    // The system's resolver may wait seconds for a name server; a name is
    // looked up in the background first, and connected to once it answered.
    if (numeric_host(opening_.address.host)) return connect_now(now_ms);
    lookup_ = {};
    lookup_.ar_name = opening_.address.host.c_str();
    sigevent none{};
    none.sigev_notify = SIGEV_NONE;
    if (::getaddrinfo_a(GAI_NOWAIT, lookups_, 1, &none) != 0) return connect_now(now_ms);
    looking_up_ = true;
    stage_ = Stage::resolving;
}

void MosquittoLink::connect_now(std::int64_t now_ms) {
    stage_ = Stage::connecting;
    try_started_ms_ = now_ms;
    const int rc = mosquitto_connect_async(mosq_, opening_.address.host.c_str(),
                                           opening_.address.port, keepalive_s);
    if (rc == MOSQ_ERR_SUCCESS) return;
    std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (rc == MOSQ_ERR_EAI) reason = "the host name can't be resolved";
    if (rc == MOSQ_ERR_TLS) {
        const std::string tls = tls_reason();
        if (!tls.empty()) reason = tls;
    }
    try_failed(now_ms, reason);
}

void MosquittoLink::service(std::int64_t now_ms) {
    // The library's own reconnection timing is not used: the back-off is kept here.
    now_ms_ = now_ms;
    if (stage_ == Stage::connecting && now_ms - try_started_ms_ > connect_patience_ms) {
        try_failed(now_ms, "no answer in " + std::to_string(connect_patience_ms / 1000) + " s");
        return;
    }
    if (stage_ == Stage::waiting && now_ms >= next_try_ms_) start_try(now_ms);
    if (stage_ == Stage::resolving) {
        const int status = ::gai_error(&lookup_);
        if (status == EAI_INPROGRESS) return;
        if (lookup_.ar_result != nullptr) ::freeaddrinfo(lookup_.ar_result);
        lookup_ = {};
        looking_up_ = false;
        if (status != 0) {
            try_failed(now_ms, std::string("the host name can't be resolved (") +
                                   ::gai_strerror(status) + ")");
            return;
        }
        connect_now(now_ms);
    }
    if (stage_ != Stage::connecting && stage_ != Stage::connected) return;
    // A write that failed inside the library may have closed the socket unsaid.
    if (socket_fd() < 0) return disconnected(MOSQ_ERR_CONN_LOST);
    // Only what is there: the socket never blocks.
    for (int k = 0; k < max_reads_per_service && socket_fd() >= 0; ++k) {
        pollfd p{socket_fd(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 && !has_buffered_input()) break;
        const int rc = mosquitto_loop_read(mosq_, 1);
        if (rc != MOSQ_ERR_SUCCESS) return ended(rc);
    }
    if (socket_fd() >= 0 && mosquitto_want_write(mosq_)) {
        const int rc = mosquitto_loop_write(mosq_, 1);
        if (rc != MOSQ_ERR_SUCCESS) return ended(rc);
    }
    if (socket_fd() >= 0) mosquitto_loop_misc(mosq_);
}

bool MosquittoLink::publish(const BrokerMessage& message) {
    if (stage_ != Stage::connected || in_flight_ >= max_in_flight) return false;
    const int rc = mosquitto_publish(mosq_, nullptr, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), 0, message.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        ++in_flight_;
        return true;
    }
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
        disconnected(rc);
        return false;
    }
    // A payload the broker would never take is not kept to block the others.
    return true;
}

std::int64_t MosquittoLink::next_due_ms() const {
    switch (stage_) {
        case Stage::idle:
            break;
        case Stage::waiting:
            return next_try_ms_;
        case Stage::resolving:
            return now_ms_ + resolve_poll_ms;
        case Stage::connecting:
        case Stage::connected:
            // The keep-alive's ping and its check, and a connection's patience.
            return now_ms_ + 1000;
    }
    return never;
}

void MosquittoLink::close(const BrokerMessage& farewell) {
    cancel_lookup();
    if (stage_ == Stage::connected) {
        mosquitto_publish(mosq_, nullptr, farewell.topic.c_str(),
                          static_cast<int>(farewell.payload.size()), farewell.payload.data(), 1,
                          farewell.retain);
        mosquitto_disconnect(mosq_);
        // A moment for the last words to be written; no longer.
        const std::int64_t until = steady_ms() + 500;
        while (socket_fd() >= 0 && mosquitto_want_write(mosq_) && steady_ms() < until) {
            pollfd p{socket_fd(), POLLOUT, 50};
            ::poll(&p, 1, 50);
            if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
        }
    }
    stage_ = Stage::idle;
}

}  // namespace

std::unique_ptr<SocketBrokerLink> make_mosquitto_link() {
    return std::make_unique<MosquittoLink>();
}

}  // namespace quillon
