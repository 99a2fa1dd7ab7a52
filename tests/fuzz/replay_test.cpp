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

std::vector<std::string> seeds() {
    Directory folder;
    std::vector<std::string> names, contents;
    if (!folder.set(SKV_FUZZ_CORPUS)) return contents;
    folder.list(names);
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        contents.push_back(test::readFile(folder.path() + "/" + name));
    return contents;
}

void run(const std::string& bytes) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(FuzzReplay, TheSeedCorpusRunsClean) {
    const auto corpus = seeds();
    ASSERT_GE(corpus.size(), 3u) << SKV_FUZZ_CORPUS;
    for (const auto& seed : corpus)
        run(seed);
}

TEST(FuzzReplay, EveryTruncationOfEverySeedRunsClean) {
    const auto corpus = seeds();
    ASSERT_FALSE(corpus.empty());
    size_t inputs = 0;
    for (const auto& seed : corpus)
        for (size_t size = 0; size < seed.size(); ++size, ++inputs)
            run(seed.substr(0, size));
    EXPECT_GT(inputs, 0u);
}

TEST(FuzzReplay, EveryBitFlipInTheFirst64BytesRunsClean) {
    size_t inputs = 0;
    for (const auto& seed : seeds())
        for (size_t byte = 0; byte < std::min<size_t>(seed.size(), 64); ++byte)
            for (int bit = 0; bit < 8; ++bit, ++inputs) {
                std::string mutated = seed;
                mutated[byte] = char(uint8_t(mutated[byte]) ^ (1u << bit));
                run(mutated);
            }
    EXPECT_GT(inputs, 0u);
}

}  // namespace
}  // namespace skv
