#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Why a file could not be read or written.
enum class FileProblem { none, missing, denied, other };

struct FileRead {
    std::optional<std::string> bytes;  // the whole file, when it could be read
    FileProblem problem = FileProblem::none;
    std::string reason;  // the system's words, such as "Permission denied"
};

// The file system as the gateway uses it: whole files read and written, lines
// appended to a log. Paths are as the command line and the settings give them.
class Files {
  public:
    virtual ~Files() = default;
    // A folder, or a path through a plain file, is a problem, not a missing file.
    [[nodiscard]] virtual FileRead read_whole(const std::string& path) = 0;
    // Replaces what the file held; false when it cannot be written whole.
    [[nodiscard]] virtual bool write_whole(const std::string& path, std::string_view bytes) = 0;
    // Adds to the end of the file, made when missing; false when it cannot be.
    [[nodiscard]] virtual bool append(const std::string& path, std::string_view bytes) = 0;
    [[nodiscard]] virtual bool exists(const std::string& path) = 0;
};

}  // namespace quillon
