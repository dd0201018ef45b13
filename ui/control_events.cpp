#include "ui/control_events.hpp"

#include "analyzer/debug_log.hpp"
#include "analyzer/traffic_list_file.hpp"
#include "clients/client_table.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"

namespace quillon {

void on_control_event(Gateway& gw, int control_number) {
    switch (control_number) {
        case control::clear:
            gw.traffic_rows.clear();
            gw.view.traffic_clear();
            break;
        case control::save:
            save_traffic_list(gw);
            break;
        case control::disconnect:
            disconnect_selected(gw);
            break;
        case control::disconnect_all:
            restart_server(gw);
            break;
        case control::quit:
            if (gw.view.ask_yes_no("Quit Quillon", "Do you want to close Quillon ?")) shutdown(gw);
            break;
        case control::help:
            gw.view.open_user_guide();
            break;
        case control::delay_check:
            gw.state.pacing_delay_ms = gw.view.delay_ticked() ? 50 : 5;
            break;
        case control::debug_check:
            set_debug_logging(gw, gw.view.debug_ticked());
            break;
        default:
            // The filter controls are read when rows are shown.
            break;
    }
}

}  // namespace quillon
