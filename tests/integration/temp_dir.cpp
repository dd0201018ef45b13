#include "temp_dir.hpp"

#include <stdlib.h>

#include <string>
#include <system_error>

namespace quillon::integration {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-it-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace quillon::integration
