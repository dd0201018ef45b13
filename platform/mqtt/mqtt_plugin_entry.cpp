// The MQTT link's plugin: its one entry makes the link.
#include "platform/mqtt/mosquitto_link.hpp"

extern "C" __attribute__((visibility("default"))) quillon::SocketBrokerLink*
quillon_make_mqtt_link() {
    return quillon::make_mosquitto_link().release();
}
