// The source folders are layers: a file may include headers of its own folder and of the
// layers below it, never of a layer above it or of a sibling on the same level.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;

// Lower numbers are lower layers; folders of one level (gpu, cache) do not see each other.
const std::map<std::string, int> kLayers = {
    {"platform", 0}, {"grid", 1},   {"kernels", 2}, {"gpu", 3}, {"cache", 3},
    {"solver", 4},   {"engine", 5}, {"render", 6},  {"ui", 7},  {"host", 8},
};

TEST(LayersTest, NoFolderIncludesAHeaderOfAHigherOrSiblingLayer) {
    const fs::path src = fs::path(SKV_SOURCE_DIR) / "src";
    const std::regex include(R"(^\s*#\s*include\s*"([a-z_]+)/[^"]+")");
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        const std::string ext = entry.path().extension();
        if (!entry.is_regular_file() ||
            (ext != ".h" && ext != ".cpp" && ext != ".cu" && ext != ".cuh"))
            continue;
        const std::string folder = fs::relative(entry.path(), src).begin()->string();
        ASSERT_TRUE(kLayers.count(folder)) << "src/" << folder << " is not a known layer";
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const std::string target = m[1];
            ASSERT_TRUE(kLayers.count(target)) << entry.path() << ":" << n << " includes " << line;
            const bool allowed = target == folder || kLayers.at(target) < kLayers.at(folder);
            EXPECT_TRUE(allowed) << fs::relative(entry.path(), src) << ":" << n << " (" << folder
                                 << ") includes a header of " << target << ": " << line;
        }
    }
    EXPECT_GT(files, 100);
}

}  // namespace
