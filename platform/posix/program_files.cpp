#include "platform/posix/program_files.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quillon {

std::string program_directory() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

void run_instead(const std::string& path, char** argv) {
    ::execv(path.c_str(), argv);
}

}  // namespace quillon
