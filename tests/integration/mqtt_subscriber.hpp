#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace quillon::integration {

struct MqttMessage {
    std::string topic{};
    std::string payload{};
    bool retained = false;
    std::chrono::steady_clock::time_point received;
};

struct MqttClientOptions {
    std::string user{};  // set: sent with the password
    std::string password{};
    std::filesystem::path ca_file{};  // set: TLS, the broker verified against this CA
    std::string client_id{};          // set: a session the broker keeps while the client is away
};

// An MQTT client of the tests on 127.0.0.1, on libmosquitto with a network
// thread of its own: it keeps every message it receives in order, for any
// thread to wait on. After a lost connection it connects again by itself
// (about once a second) and subscribes again to every filter it was given.
class MqttSubscriber {
  public:
    using Match = std::function<bool(const MqttMessage&)>;

    explicit MqttSubscriber(std::uint16_t port, MqttClientOptions options = {});
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Connects (once; the client connects again by itself) and waits for
    // wait_connected(). A refusal ends the trying; refusal() then gives the
    // broker's code.
    bool connect(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Waits until connected with every filter subscribed again.
    bool wait_connected(std::chrono::milliseconds patience);
    // The broker's CONNACK code of a refused connection (5: not authorised).
    std::optional<int> refusal() const;

    // Subscribes (at QoS 1) once connected, and waits until the broker confirmed it.
    bool subscribe(const std::string& filter,
                   std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Publishes at QoS 1 and waits until the broker took it.
    bool publish(const std::string& topic, const std::string& payload, bool retain = false,
                 std::chrono::milliseconds wait = std::chrono::seconds(5));

    // The first message kept, so far or still to come, that matches.
    std::optional<MqttMessage> wait_for(const Match& match, std::chrono::milliseconds patience);
    std::optional<MqttMessage> wait_for(const std::string& topic,
                                        std::chrono::milliseconds patience);
    // Waits until at least `count` messages came on the topic.
    bool wait_count(const std::string& topic, std::size_t count,
                    std::chrono::milliseconds patience);
    // Every message kept on the topic (all of them with none given), in order.
    std::vector<MqttMessage> messages(const std::string& topic = {}) const;

  private:
    static void on_connect(mosquitto*, void* self, int code);
    static void on_disconnect(mosquitto*, void* self, int code);
    static void on_subscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    // Waits until the broker acknowledged message `mid`.
    bool wait_acknowledged(int mid, std::chrono::milliseconds patience);

    std::uint16_t port_;
    MqttClientOptions options_;
    mosquitto* client_ = nullptr;
    bool loop_started_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    std::optional<int> refusal_;
    std::vector<std::string> filters_;
    std::set<int> acknowledged_;
    std::vector<int> resubscriptions_;  // of the latest connection
    std::vector<MqttMessage> messages_;
};

}  // namespace quillon::integration
