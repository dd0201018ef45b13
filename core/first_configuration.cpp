#include "core/first_configuration.hpp"

#include "core/gateway.hpp"
#include "core/settings.hpp"

namespace quillon {
namespace {

bool port_test(Gateway& gw, const std::string& port_text) {
    if (!gw.network.create_tcp_server(Server::port_test, settings_integer(port_text), 1)) {
        gw.dialogs.message_box("Ethernet Port error",
                               "This network port (" + port_text + ") isn't available !",
                               MessageIcon::error);
        return false;
    }
    gw.network.close_server(Server::port_test);
    return true;
}

bool serial_test(Gateway& gw, const std::string& name) {
    // "auto" names no port: the gateway looks for the module when it runs.
    if (!is_search_name(name) && !gw.serial.port_opens(name)) {
        gw.dialogs.message_box("Serial Port error",
                               "This Serial port (" + name + ") isn't available !",
                               MessageIcon::error);
        return false;
    }
    return true;
}

}  // namespace

FirstConfigurationAnswer::Action first_configuration(Gateway& gw) {
    for (;;) {
        const FirstConfigurationAnswer answer = gw.dialogs.ask_first_configuration();
        if (answer.action != FirstConfigurationAnswer::Action::ok) return answer.action;
        // Both tests run on every click, so the operator hears of both problems at once.
        const bool port_ok = port_test(gw, answer.port_text);
        const bool serial_ok = serial_test(gw, answer.serial_port_name);
        if (!port_ok || !serial_ok) continue;

        const std::string file =
            first_configuration_file(answer.port_text, answer.serial_port_name, answer.rs_module);
        const bool written = gw.files.write_whole(gw.setup.settings_file.string(), file);
        gw.dialogs.close_first_configuration();
        if (!written) {
            gw.dialogs.message_box("Settings Error",
                                   "Can't write the settings file " +
                                       gw.setup.settings_file.string() +
                                       ": the answers hold until Quillon ends",
                                   MessageIcon::error);
        }
        gw.settings = read_settings(file);
        return FirstConfigurationAnswer::Action::ok;
    }
}

}  // namespace quillon
