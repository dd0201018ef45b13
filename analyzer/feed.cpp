#include "analyzer/feed.hpp"

#include "base/code_page.hpp"

namespace quillon {

void send_to_analyzers(const ClientTable& table, Network& network, std::string_view line) {
    if (line.empty()) return;
    std::string bytes;  // converted once, only when someone listens
    for (const ClientRecord& c : table.records()) {
        if (!c.is_analyzer() || !c.live()) continue;
        if (bytes.empty()) bytes = utf8_to_cp1252(line);
        network.send(c.handle, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

}  // namespace quillon
