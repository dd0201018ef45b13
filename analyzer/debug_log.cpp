#include "analyzer/debug_log.hpp"

#include <string>

#include "base/code_page.hpp"

namespace quillon {

void DebugLog::set_on(bool on) {
    on_ = on;
    if (on && file_ == nullptr) {
        file_ = std::fopen((directory_ / debug_log_file_name).c_str(), "ab");
    } else if (!on) {
        close();
    }
}

void DebugLog::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void DebugLog::write(std::string_view line) {
    if (!on_) return;
    if (file_ == nullptr) set_on(true);
    if (file_ == nullptr) return;
    const std::string bytes = utf8_to_cp1252(line) + "\r\n";
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
}

}  // namespace quillon
