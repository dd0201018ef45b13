// The MQTT broker and client of the tests themselves, before any gateway
// test leans on them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "mqtt_broker.hpp"
#include "mqtt_subscriber.hpp"

namespace quillon::integration {
namespace {

using namespace std::chrono_literals;

TEST(MqttBroker, KeepsRetainedMessagesAndServesTheSamePortAgainAfterARestart) {
    MqttBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors();
    MqttSubscriber publisher(broker.port());
    ASSERT_TRUE(publisher.connect());
    ASSERT_TRUE(publisher.publish("quillon-test/status", "online", true));

    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.connect());
    ASSERT_TRUE(subscriber.subscribe("quillon-test/#"));
    const auto status = subscriber.wait_for("quillon-test/status", 5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->payload, "online");
    EXPECT_TRUE(status->retained);

    const std::uint16_t port = broker.port();
    broker.stop();
    EXPECT_FALSE(broker.running());
    ASSERT_TRUE(broker.start()) << broker.errors();
    EXPECT_EQ(broker.port(), port);
    MqttSubscriber newcomer(broker.port());
    EXPECT_TRUE(newcomer.connect());
    // The first subscriber came back by itself with its subscription.
    ASSERT_TRUE(subscriber.wait_connected(10s));
    ASSERT_TRUE(publisher.wait_connected(10s));
    ASSERT_TRUE(publisher.publish("quillon-test/frame", "after the restart"));
    const auto frame = subscriber.wait_for("quillon-test/frame", 5s);
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame->retained);
}

TEST(MqttBroker, OverTlsLetsInTheRightPasswordOnly) {
    MqttBroker broker({.user = "gateway", .password = "right", .tls = true});
    ASSERT_TRUE(broker.start()) << broker.errors();
    ASSERT_TRUE(std::filesystem::exists(broker.ca_file()));

    MqttSubscriber trusting(broker.port(),
                            {.user = "gateway", .password = "right", .ca_file = broker.ca_file()});
    EXPECT_TRUE(trusting.connect());

    MqttSubscriber wrong(broker.port(),
                         {.user = "gateway", .password = "wrong", .ca_file = broker.ca_file()});
    EXPECT_FALSE(wrong.connect());
    EXPECT_EQ(wrong.refusal(), 5);  // not authorised

    // Without TLS the listener answers nothing a client can use.
    MqttSubscriber plain(broker.port(), {.user = "gateway", .password = "right"});
    EXPECT_FALSE(plain.connect(1500ms));
}

}  // namespace
}  // namespace quillon::integration
