#pragma once

#include "base/files.hpp"

namespace quillon {

// The real file system. Files are made with the process's umask, which the
// programs set to keep what they write to their own account and group.
class PosixFiles : public Files {
  public:
    FileRead read_whole(const std::string& path) override;
    bool write_whole(const std::string& path, std::string_view bytes) override;
    bool append(const std::string& path, std::string_view bytes) override;
    bool exists(const std::string& path) override;
};

}  // namespace quillon
