#include "core/control_events.hpp"

#include "analyzer/traffic_list_file.hpp"
#include "core/client_events.hpp"
#include "core/reporting.hpp"
#include "core/servers.hpp"

namespace quillon {

void on_control_event(Gateway& gw, const OperatorEvent& e, const PassTime& t) {
    switch (e.control) {
        case control::clear:
            gw.traffic.clear(gw.view);
            break;
        case control::save:
            save_traffic_list(gw.files, gw.data_directory.string(), t.date, gw.traffic.rows());
            gw.clock.pause_ms(10);
            break;
        case control::filter_toggle:
            gw.traffic.filter.on = e.checked;
            break;
        case control::invert_toggle:
            gw.traffic.filter.inverted = e.checked;
            break;
        case control::filter_text:
            gw.traffic.filter.text = e.text;
            break;
        case control::disconnect:
            disconnect_client(gw, e.client, t, e.requester);
            break;
        case control::disconnect_all:
            restart_server(gw, t, e.requester);
            break;
        case control::quit:
            if (gw.dialogs.ask_yes_no("Quit Quillon", "Do you want to close Quillon ?"))
                shutdown(gw);
            break;
        case control::help:
            gw.view.open_user_guide();
            break;
        case control::delay_check:
            gw.bus_bound.set_pacing_delay(e.checked ? pacing_delay_slow_ms : pacing_delay_fast_ms);
            gw.view.set_control_checked(control::delay_check, e.checked);
            break;
        case control::debug_check:
            gw.debug_log.set_on(e.checked);
            gw.view.set_control_checked(control::debug_check, e.checked);
            break;
        default:
            break;
    }
}

}  // namespace quillon
