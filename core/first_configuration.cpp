#include "core/first_configuration.hpp"

#include "core/gateway.hpp"
#include "core/settings.hpp"

namespace quillon {
namespace {

bool port_test(Gateway& gw, const std::string& port_text) {
    if (!gw.network.create_tcp_server(test_server, settings_integer(port_text), 1)) {
        gw.view.message_box("Ethernet Port error",
                            "This network port (" + port_text + ") isn't available !",
                            MessageIcon::error);
        return false;
    }
    gw.network.close_server(test_server);
    return true;
}

bool serial_test(Gateway& gw, const std::string& name) {
    gw.state.serial_handshake = 0;
    SerialLineSettings settings;
    settings.name = name;
    settings.baud = 115200;
    settings.parity = 0;
    settings.data_bits = 8;
    settings.stop_bits = 1.0f;
    settings.handshake = 0;
    if (!gw.serial.open(settings)) {
        gw.view.message_box("Serial Port error",
                            "This Serial port (" + name + ") isn't available !",
                            MessageIcon::error);
        return false;
    }
    gw.serial.close();
    gw.state.serial_port_name = name;
    return true;
}

}  // namespace

FirstConfigurationAnswer::Action first_configuration(Gateway& gw) {
    for (;;) {
        const FirstConfigurationAnswer answer = gw.view.wait_first_configuration();
        if (answer.action != FirstConfigurationAnswer::Action::ok) return answer.action;
        // Both tests run on every click, so the operator hears of both problems at once.
        const bool port_ok = port_test(gw, answer.port_text);
        const bool serial_ok = serial_test(gw, answer.serial_port_name);
        if (!port_ok || !serial_ok) continue;

        const std::string file =
            first_configuration_file(answer.port_text, answer.serial_port_name, answer.rs_module);
        write_settings_file((gw.working_directory / settings_file_name).string(), file);
        gw.view.close_first_configuration();
        read_settings(file, gw.state);
        return FirstConfigurationAnswer::Action::ok;
    }
}

}  // namespace quillon
