#include "core/control_events.hpp"

#include "analyzer/traffic_list_file.hpp"
#include "core/client_events.hpp"
#include "core/reporting.hpp"
#include "core/servers.hpp"

namespace quillon {

void on_control_event(Gateway& gw, const OperatorEvent& e, const PassTime& t) {
    switch (e.control) {
        case Control::clear:
            gw.traffic.clear(gw.view);
            break;
        case Control::set_clock:
            gw.bus_clock.send_soon();
            break;
        case Control::save: {
            const std::string folder = gw.setup.data_directory.string();
            if (!save_traffic_list(gw.files, folder, t.date, gw.traffic.rows()))
                tell(gw, e.requester, "Save Error",
                     "Can't write the traffic list to " + folder + "/" +
                         traffic_list_file_name(t.date),
                     MessageIcon::error);
            gw.clock.pause_ms(10);
            break;
        }
        case Control::filter_toggle:
            gw.traffic.filter.on = e.checked;
            break;
        case Control::invert_toggle:
            gw.traffic.filter.inverted = e.checked;
            break;
        case Control::filter_text:
            gw.traffic.filter.text = e.text;
            break;
        case Control::disconnect:
            disconnect_client(gw, e.client, t, e.requester);
            break;
        case Control::disconnect_all:
            restart_server(gw, t, e.requester);
            break;
        case Control::quit:
            if (gw.dialogs.ask_yes_no("Quit Quillon", "Do you want to close Quillon ?"))
                shutdown(gw);
            break;
        case Control::help:
            gw.view.open_user_guide();
            break;
        case Control::delay_check:
            gw.bus_bound.set_pacing_delay(e.checked ? pacing_delay_slow_ms : pacing_delay_fast_ms);
            gw.view.set_control_checked(Control::delay_check, e.checked);
            break;
        case Control::debug_check:
            gw.debug_log.set_on(e.checked);
            gw.view.set_control_checked(Control::debug_check, e.checked);
            break;
        default:
            break;
    }
}

}  // namespace quillon
