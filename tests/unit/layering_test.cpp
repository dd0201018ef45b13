// The folder order as a fact of the build: every include of the sources goes
// to its own folder or one listed before it, and the domain names no header
// that reaches the operating system or Qt.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {
namespace {

namespace fs = std::filesystem;

// base/ to core/ are the domain; the adapters may include the ports they
// implement, the programs anything.
constexpr std::array<std::string_view, 8> folder_order = {"base",     "ui",   "bus",      "clients",
                                                          "analyzer", "core", "platform", "app"};
constexpr std::size_t first_outside_domain = 6;

// Headers that call the operating system or bring Qt in.
constexpr std::array<std::string_view, 8> system_headers = {
    "<fstream>", "<sys/", "<unistd.h>", "<fcntl.h>", "<dirent.h>", "<cerrno>", "<errno.h>", "<Q"};

std::size_t rank_of(std::string_view path) {
    const std::string_view top = path.substr(0, path.find('/'));
    return static_cast<std::size_t>(std::find(folder_order.begin(), folder_order.end(), top) -
                                    folder_order.begin());
}

TEST(Layering, EveryIncludeFollowsTheFolderOrderAndTheDomainCallsNoSystem) {
    const fs::path root = QUILLON_SOURCE_DIR;
    std::vector<std::string> wrong;
    std::size_t files = 0;
    for (std::string_view folder : folder_order) {
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".hpp") continue;
            ++files;
            const std::string file = fs::relative(entry.path(), root).generic_string();
            const std::size_t rank = rank_of(file);
            std::ifstream in(entry.path());
            std::string line;
            for (int number = 1; std::getline(in, line); ++number) {
                if (!line.starts_with("#include ")) continue;
                const std::string included = line.substr(9);
                const std::string where = file + ":" + std::to_string(number) + " " + included;
                if (included.starts_with('"')) {
                    const std::string path = included.substr(1, included.find('"', 1) - 1);
                    if (rank_of(path) < folder_order.size() && rank_of(path) > rank)
                        wrong.push_back(where + " (a later folder)");
                } else if (rank < first_outside_domain) {
                    for (std::string_view header : system_headers) {
                        if (included.starts_with(header))
                            wrong.push_back(where + " (the domain makes no system calls)");
                    }
                }
            }
        }
    }
    EXPECT_GT(files, 100u) << "the sources were not found under " << root;
    EXPECT_EQ(wrong, std::vector<std::string>{});
}

}  // namespace
}  // namespace quillon
