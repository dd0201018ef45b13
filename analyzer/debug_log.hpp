#pragma once

#include <string>
#include <string_view>

#include "base/files.hpp"

namespace quillon {

inline constexpr std::string_view debug_log_file_name = "Quillon_debug.log";

// The debug log: while it is on, every frame's line is appended to
// "Quillon_debug.log", as Windows-1252 text ending in CR LF.
class DebugLog {
  public:
    explicit DebugLog(Files& files) : files_(files) {}

    void set_directory(const std::string& directory) { directory_ = directory; }

    // On: the file is made when missing; off: nothing more is written.
    void set_on(bool on);
    bool on() const { return on_; }

    // Writes the line while the log is on. A file that cannot be written is
    // tried again with the next line; nothing is reported.
    void write(std::string_view line);

  private:
    std::string path() const;

    Files& files_;
    std::string directory_ = ".";
    bool on_ = false;
};

}  // namespace quillon
