#include "core/outlet_requests.hpp"

#include "analyzer/traffic_list_file.hpp"
#include "core/metrics.hpp"

namespace quillon {

void reply_to_request(Gateway& gw, const OperatorEvent& request) {
    // A request that comes after the outlet closed has no one left to read it.
    if (!gw.servers.outlet) return;
    OutletReply reply;
    switch (request.asked) {
        case Asked::figures:
            reply.body = metrics_text(gw, {gw.clock.started_unix_s(), request.browsers});
            break;
        case Asked::saved_list:
            reply.body = traffic_list_text(gw.traffic.rows());
            reply.file_name = traffic_list_file_name(gw.clock.local_date());
            break;
        case Asked::health:
            reply.body = health_problem(gw);
            break;
    }
    gw.setup.outlet->reply(request.requester, reply);
}

}  // namespace quillon
