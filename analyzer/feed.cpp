#include "analyzer/feed.hpp"

#include "core/code_page.hpp"
#include "core/gateway.hpp"

namespace quillon {

void send_to_analyzers(Gateway& gw, std::string_view line) {
    if (line.empty()) return;
    std::string bytes;  // converted once, only when someone listens
    for (const ClientRecord& c : gw.clients) {
        if (!c.is_analyzer() || !c.live()) continue;
        if (bytes.empty()) bytes = utf8_to_cp1252(line);
        gw.network.send(c.handle, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        bytes.size());
    }
}

}  // namespace quillon
