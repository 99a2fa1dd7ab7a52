// Replays a fuzz target's committed seed corpus, every truncation of every seed and every bit
// flip in their first bytes. The target's own checks abort on a broken property; under
// sanitizers any memory error does too.
#include <gtest/gtest.h>

#include <algorithm>

#include "fuzz_support.h"
#include "test_support.h"

#ifndef SKV_FUZZ_CORPUS
#error "SKV_FUZZ_CORPUS names the seed corpus folder of the target"
#endif

namespace skv {
namespace {

void run(const std::string& bytes) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(FuzzReplay, EverySeedItsTruncationsAndItsEarlyBitFlipsRunClean) {
    Directory folder;
    std::vector<std::string> names;
    ASSERT_TRUE(folder.set(SKV_FUZZ_CORPUS)) << SKV_FUZZ_CORPUS;
    folder.list(names);
    ASSERT_GE(names.size(), 3u) << SKV_FUZZ_CORPUS;
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string seed = test::readFile(folder.path() + "/" + name);
        ASSERT_FALSE(seed.empty()) << name;
        for (size_t size = 0; size <= seed.size(); ++size)
            run(seed.substr(0, size));
        for (size_t byte = 0; byte < std::min<size_t>(seed.size(), 64); ++byte)
            for (int bit = 0; bit < 8; ++bit) {
                std::string mutated = seed;
                mutated[byte] = char(uint8_t(mutated[byte]) ^ (1u << bit));
                run(mutated);
            }
    }
}

}  // namespace
}  // namespace skv
