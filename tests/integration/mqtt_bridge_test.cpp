// The gateway on a real mosquitto broker: what its subscribers see, what they
// may send, and what happens when the broker refuses it or goes away.

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "gateway_fixture.hpp"
#include "mqtt_broker.hpp"
#include "mqtt_subscriber.hpp"

namespace quillon::integration {
namespace {

class MqttBridge : public GatewayTest {
  protected:
    // The test's settings with these lines added.
    void write_mqtt_settings(const std::string& lines) {
        write_settings(bus_->slave_path());
        std::ofstream(dir_.path() / "Quillon.ini", std::ios::app) << lines;
    }
    std::string broker_line(const MqttBroker& broker, const std::string& scheme = "mqtt",
                            const std::string& host = "127.0.0.1") const {
        return "MqttBroker = " + scheme + "://" + host + ":" + std::to_string(broker.port()) +
               "\r\nMqttTopic = test/gw\r\n";
    }
    std::size_t rows_saying(const std::string& text) const { return saying(rows(), text); }
    bool row_says(const std::string& text) {
        return wait_rows([&text](const std::vector<ShownRow>& shown) {
            return std::any_of(shown.begin(), shown.end(), [&text](const ShownRow& r) {
                return r.source.find(text) != std::string::npos;
            });
        });
    }
    static std::size_t saying(const std::vector<ShownRow>& shown, const std::string& text) {
        return static_cast<std::size_t>(std::count_if(
            shown.begin(), shown.end(),
            [&text](const ShownRow& r) { return r.source.find(text) != std::string::npos; }));
    }
    // The retained message a newcomer gets on the topic, once there is one:
    // a subscriber there before it was published gets it as news instead.
    std::optional<MqttMessage> retained(const MqttBroker& broker, const std::string& topic,
                                        const std::string& payload) {
        const auto deadline = SteadyClock::now() + patience;
        while (SteadyClock::now() < deadline) {
            MqttSubscriber late(broker.port());
            if (!late.connect() || !late.subscribe(topic)) return std::nullopt;
            auto found = late.wait_for(
                [&](const MqttMessage& m) { return m.retained && m.payload == payload; }, 300ms);
            if (found) return found;
        }
        return std::nullopt;
    }
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(MqttBridge, FramesGoOutInOrderWithTheirFieldsBesideTheRetainedStatusAndDiscovery) {
    MqttBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors();
    MqttSubscriber sub(broker.port());
    ASSERT_TRUE(sub.connect() && sub.subscribe("test/gw/frame"));
    write_mqtt_settings(broker_line(broker) + "MqttDiscovery = on\r\n");
    start_gateway();
    ASSERT_TRUE(retained(broker, "test/gw/status", "online"))
        << gateway_->errors() << broker.errors();
    EXPECT_TRUE(row_says("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) + " connected"));

    auto client = connect_client();
    ASSERT_TRUE(client);
    const Bytes from_client = make_frame(0xFB, 0x05, {0x02, 0x01});
    ASSERT_TRUE(client->send(from_client));
    ASSERT_TRUE(sub.wait_count("test/gw/frame", 1, patience));
    Bytes from_bus = make_frame(0xF8, 0x02, {0x00, 0x20, 0x00, 0x00});
    Bytes bad = make_frame(0xFB, 0x07, {0xE6});
    bad[bad.size() - 2] ^= 0x01;
    write_bus(from_bus);
    write_bus(bad);
    ASSERT_TRUE(sub.wait_count("test/gw/frame", 3, patience)) << gateway_->output();
    const std::vector<MqttMessage> frames = sub.messages("test/gw/frame");
    ASSERT_EQ(frames.size(), 3u);
    const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d[+-]\d\d:\d\d",)");
    for (const MqttMessage& m : frames) {
        EXPECT_TRUE(std::regex_search(m.payload, time)) << m.payload;
        EXPECT_FALSE(m.retained);
    }
    const std::string& c = frames[0].payload;
    EXPECT_TRUE(has(c, "\"hex\":\"" + hex_text(from_client) + "\"")) << c;
    EXPECT_TRUE(
        has(c, "\"from\":\"client 127.0.0.1:" + std::to_string(client->local_port()) + "\""))
        << c;
    EXPECT_TRUE(has(c, R"("status":"good","text":"(RelOn)")) << c;
    EXPECT_TRUE(has(c, R"("address":5,"priority":251,"rtr":false,"command":2})")) << c;
    const std::string& b = frames[1].payload;
    EXPECT_TRUE(has(b, R"("from":"bus","status":"good","text":"(Push: Btn N°6 Pressed)")) << b;
    EXPECT_TRUE(has(b, R"("address":2,"priority":248,"rtr":false,"command":0})")) << b;
    EXPECT_TRUE(has(frames[2].payload, R"("status":"bad checksum")")) << frames[2].payload;

    // Home Assistant finds one device with its four parts, and their states.
    MqttSubscriber ha(broker.port());
    ASSERT_TRUE(ha.connect() && ha.subscribe("homeassistant/#") &&
                ha.subscribe("test/gw/health/#"));
    ASSERT_TRUE(ha.wait_count("test/gw/health/clients", 1, patience));
    const std::vector<MqttMessage> configs = ha.messages();
    for (const std::string topic : {"homeassistant/binary_sensor/test_gw/serial_link/config",
                                    "homeassistant/sensor/test_gw/bus_rx_rate/config",
                                    "homeassistant/sensor/test_gw/bus_tx_rate/config",
                                    "homeassistant/sensor/test_gw/clients/config"}) {
        const auto found = std::find_if(configs.begin(), configs.end(),
                                        [&](const MqttMessage& m) { return m.topic == topic; });
        ASSERT_NE(found, configs.end()) << topic;
        EXPECT_TRUE(found->retained);
        EXPECT_TRUE(has(found->payload, R"("name":"Quillon )")) << found->payload;
        EXPECT_TRUE(has(found->payload, R"("availability_topic":"test/gw/status")"));
    }
    EXPECT_EQ(ha.wait_for("test/gw/health/serial_link", patience)->payload, "ON");
    EXPECT_TRUE(ha.wait_for(
        [](const MqttMessage& m) {
            return m.topic == "test/gw/health/clients" && m.payload == "1";
        },
        patience));

    // Killed, the gateway leaves its last will.
    gateway_->send_signal(SIGKILL);
    EXPECT_TRUE(retained(broker, "test/gw/status", "offline"));
}

TEST_F(MqttBridge, AGoodFrameFromTheSendTopicReachesTheBusAndTheClientsAndBadOnesNothing) {
    MqttBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors();
    MqttSubscriber sub(broker.port());
    ASSERT_TRUE(sub.connect() && sub.subscribe("test/gw/frame"));
    write_mqtt_settings(broker_line(broker) + "MqttSend = on\r\n");
    start_gateway();
    ASSERT_TRUE(retained(broker, "test/gw/status", "online"))
        << gateway_->errors() << broker.errors();
    auto client = connect_client();
    ASSERT_TRUE(client);

    const Bytes relay_on = make_frame(0xFB, 0x01, {0x02, 0x01});
    ASSERT_TRUE(sub.publish("test/gw/send", "0f fb 01 02 02 01 f0 04"));
    ASSERT_TRUE(bus_->wait_frames(1, patience)) << gateway_->errors();
    EXPECT_EQ(bus_->received(), relay_on);
    ASSERT_TRUE(client->wait_bytes(relay_on.size(), patience));
    EXPECT_EQ(client->received(), relay_on);
    EXPECT_TRUE(row_says("(RelOn N°1 (%00000001)) from MQTT"));
    ASSERT_TRUE(sub.wait_count("test/gw/frame", 1, patience));
    EXPECT_TRUE(has(sub.messages("test/gw/frame")[0].payload, R"("from":"mqtt")"));

    std::string long_one;
    for (int k = 0; k < 65; ++k)
        long_one += "00 ";
    for (const std::string& payload : {std::string("zz"), std::string("0F FB 01 02 02 01 F1 04"),
                                       std::string("0F FB 01 03 02 01 F0 04"), long_one})
        ASSERT_TRUE(sub.publish("test/gw/send", payload));
    ASSERT_TRUE(sub.publish("test/gw/send", "0FFB01020201F004"));
    ASSERT_TRUE(bus_->wait_frames(2, patience));
    ASSERT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        return saying(shown, "MQTT send refused") == 4;
    })) << gateway_->output();
    EXPECT_EQ(find_frames(bus_->received()).size(), 2u);
    EXPECT_EQ(rows_saying("MQTT send refused (not hex)"), 1u);
    EXPECT_EQ(rows_saying("MQTT send refused (bad checksum)"), 1u);
    EXPECT_EQ(rows_saying("MQTT send refused (bad length)"), 1u);
    EXPECT_EQ(rows_saying("MQTT send refused (over 64 bytes)"), 1u);
}

TEST_F(MqttBridge, OverTlsTheBrokerIsTrustedOnlyWithItsAuthorityAndAWrongPasswordIsRefused) {
    MqttBroker broker({.user = "gateway", .password = "right", .tls = true});
    ASSERT_TRUE(broker.start()) << broker.errors();
    const std::string account = "MqttUser = gateway\r\n";
    write_mqtt_settings(broker_line(broker, "mqtts", "localhost") + account +
                        "MqttPassword = right\r\n");
    start_gateway();
    EXPECT_TRUE(row_says("refused: certificate not trusted")) << gateway_->errors();

    gateway_.reset();
    const std::string ca = "MqttCA = " + broker.ca_file().string() + "\r\n";
    write_mqtt_settings(broker_line(broker, "mqtts", "localhost") + ca + account +
                        "MqttPassword = wrong\r\n");
    start_gateway();
    EXPECT_TRUE(row_says("refused: Connection Refused: not authorised")) << gateway_->errors();

    gateway_.reset();
    write_mqtt_settings(broker_line(broker, "mqtts", "localhost") + ca + account +
                        "MqttPassword = right\r\n");
    start_gateway();
    EXPECT_TRUE(row_says(" connected")) << gateway_->errors();
    MqttSubscriber sub(broker.port(),
                       {.user = "gateway", .password = "right", .ca_file = broker.ca_file()});
    ASSERT_TRUE(sub.connect() && sub.subscribe("test/gw/status"));
    EXPECT_TRUE(sub.wait_for([](const MqttMessage& m) { return m.payload == "online"; }, patience));
}

TEST_F(MqttBridge, WhileTheBrokerIsAwayTheBusLosesNothingAndTheNewestThousandWait) {
    MqttBroker broker({.keep_sessions = true});
    ASSERT_TRUE(broker.start()) << broker.errors();
    const std::uint16_t web_port = pick_free_port_pair();
    write_mqtt_settings(broker_line(broker) + "WebPort = " + std::to_string(web_port) + "\r\n");
    auto sub =
        std::make_unique<MqttSubscriber>(broker.port(), MqttClientOptions{.client_id = "watcher"});
    ASSERT_TRUE(sub->connect() && sub->subscribe("test/gw/frame"));
    start_gateway();
    ASSERT_TRUE(row_says(" connected")) << gateway_->errors();
    auto client = connect_client();
    ASSERT_TRUE(client);

    sub.reset();
    broker.stop();
    ASSERT_TRUE(row_says("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) + " lost: "));
    // 1,100 frames while it is away, every one different.
    constexpr int sent = 1100;
    Bytes stream;
    for (int k = 0; k < sent; ++k) {
        const Bytes f = make_frame(
            0xFB, 0x09,
            {0xE6, static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k & 0xFF)});
        stream.insert(stream.end(), f.begin(), f.end());
    }
    write_bus(stream);
    ASSERT_TRUE(client->wait_bytes(stream.size(), patience));
    EXPECT_EQ(client->received(), stream);

    ASSERT_TRUE(broker.start()) << broker.errors();
    sub =
        std::make_unique<MqttSubscriber>(broker.port(), MqttClientOptions{.client_id = "watcher"});
    ASSERT_TRUE(sub->connect());
    EXPECT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        return saying(shown, " connected") == 2;
    })) << gateway_->errors();
    // The newest thousand, in order: the first hundred were dropped and counted.
    ASSERT_TRUE(sub->wait_count("test/gw/frame", 1000, 20s));
    const std::vector<MqttMessage> frames = sub->messages("test/gw/frame");
    ASSERT_EQ(frames.size(), 1000u);
    for (std::size_t k = 0; k < 1000; ++k) {
        const Bytes f = make_frame(0xFB, 0x09,
                                   {0xE6, static_cast<std::uint8_t>((k + 100) >> 8),
                                    static_cast<std::uint8_t>((k + 100) & 0xFF)});
        ASSERT_TRUE(has(frames[k].payload, "\"hex\":\"" + hex_text(f) + "\"")) << k;
    }
    auto web = TcpClient::connect_to(web_port, patience);
    ASSERT_TRUE(web);
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(web->send(Bytes(get.begin(), get.end())));
    ASSERT_TRUE(web->wait_closed(patience));
    const std::string metrics(web->received().begin(), web->received().end());
    EXPECT_TRUE(has(metrics, "\nquillon_mqtt_dropped_total 100\n")) << metrics;
}

}  // namespace
}  // namespace quillon::integration
