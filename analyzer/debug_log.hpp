#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

namespace quillon {

inline constexpr std::string_view debug_log_file_name = "Quillon_debug.log";

// The debug log: while it is on, every frame's line is appended to
// "Quillon_debug.log", as Windows-1252 text ending in CR LF.
class DebugLog {
  public:
    DebugLog() = default;
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;
    ~DebugLog() { close(); }

    void set_directory(std::filesystem::path directory) { directory_ = std::move(directory); }

    // On: the file is opened for appending; off: it is closed.
    void set_on(bool on);
    bool on() const { return on_; }

    // Writes the line while the log is on. A file that cannot be made is tried
    // again with the next line; nothing is reported.
    void write(std::string_view line);

  private:
    void close();

    std::filesystem::path directory_ = ".";
    bool on_ = false;
    std::FILE* file_ = nullptr;
};

}  // namespace quillon
