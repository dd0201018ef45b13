#include "analyzer/debug_log.hpp"

#include "core/code_page.hpp"
#include "core/gateway.hpp"

namespace quillon {

void set_debug_logging(Gateway& gw, bool on) {
    if (on && gw.debug_log == nullptr) {
        const auto path = gw.working_directory / debug_log_file_name;
        gw.debug_log = std::fopen(path.c_str(), "ab");
    } else if (!on && gw.debug_log != nullptr) {
        std::fclose(gw.debug_log);
        gw.debug_log = nullptr;
    }
}

void write_debug_line(Gateway& gw, std::string_view line) {
    if (gw.debug_log == nullptr) set_debug_logging(gw, true);
    if (gw.debug_log == nullptr) return;  // the file cannot be made; nothing is reported
    const std::string bytes = utf8_to_cp1252(line) + "\r\n";
    std::fwrite(bytes.data(), 1, bytes.size(), gw.debug_log);
    std::fflush(gw.debug_log);
}

}  // namespace quillon
