#include <gtest/gtest.h>

#include "analyzer/frame_json.hpp"
#include "clients/broker.hpp"

namespace quillon {
namespace {

TEST(BrokerAddress, SchemesGiveTlsAndDefaultPortsAndAnythingElseIsNoBroker) {
    struct Case {
        const char* url;
        bool tls;
        const char* host;
        std::uint16_t port;
    };
    for (const Case& c : {Case{"mqtt://broker.lan", false, "broker.lan", 1883},
                          Case{"mqtts://broker.lan", true, "broker.lan", 8883},
                          Case{"mqtt://10.0.0.2:1884/", false, "10.0.0.2", 1884},
                          Case{"mqtts://[fd00::2]:8884", true, "fd00::2", 8884}}) {
        const std::optional<BrokerAddress> a = broker_address(c.url);
        ASSERT_TRUE(a) << c.url;
        EXPECT_EQ(a->tls, c.tls) << c.url;
        EXPECT_EQ(a->host, c.host) << c.url;
        EXPECT_EQ(a->port, c.port) << c.url;
    }
    EXPECT_EQ(broker_address("mqtts://[fd00::2]:8884")->text(), "[fd00::2]:8884");
    for (const char* bad :
         {"broker.lan", "http://broker.lan", "mqtt://", "mqtt://host:0", "mqtt://host:65536",
          "mqtt://host:18x3", "mqtt://user@host", "mqtt://[fd00::2", "mqtt://[::1]x"})
        EXPECT_FALSE(broker_address(bad)) << bad;
}

TEST(FrameJson, AFrameTooShortForAFieldGivesNullAndTheOffsetIsWrittenWithItsSign) {
    QueueEntry e;
    e.bytes = {0x0F, 0xFB};
    e.status = FrameStatus::bad_length;
    e.time = {0, 5};  // 1970-01-01 00:00:00.05
    const std::string json = frame_json(e, "client 10.0.0.9:5000", -(5 * 3600 + 30 * 60));
    EXPECT_TRUE(json.starts_with(R"({"time":"1970-01-01T00:00:00.05-05:30","hex":"0FFB",)"
                                 R"("from":"client 10.0.0.9:5000","status":"bad length",)"))
        << json;
    EXPECT_TRUE(json.ends_with(R"(,"address":null,"priority":251,"rtr":null,"command":null})"))
        << json;
}

}  // namespace
}  // namespace quillon
