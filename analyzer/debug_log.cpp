#include "analyzer/debug_log.hpp"

#include "base/code_page.hpp"

namespace quillon {

std::string DebugLog::path() const {
    return directory_ + "/" + std::string(debug_log_file_name);
}

void DebugLog::set_on(bool on) {
    on_ = on;
    if (on) (void)files_.append(path(), "");
}

void DebugLog::write(std::string_view line) {
    if (!on_) return;
    (void)files_.append(path(), utf8_to_cp1252(line) + "\r\n");
}

}  // namespace quillon
