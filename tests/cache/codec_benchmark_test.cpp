// Codec throughput, for `skyvane bench` and for reading by eye: not a timed test, so it is
// disabled. Run it with --gtest_also_run_disabled_tests --gtest_filter='*CodecThroughput*'.
#include "cache/codec_benchmark.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

namespace skv {
namespace {

TEST(CodecBenchmark, DISABLED_CodecThroughput) {
    test::TempDir dir;
    const auto results = benchmarkCodecs(dir.path(), 7);
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) {
        std::printf("codec %u: write %.0f MB/s, read %.0f MB/s, file %.2f MB (of 16.78 MB)\n",
                    r.codec, r.writeMBps, r.readMBps, double(r.fileBytes) / 1e6);
        EXPECT_GT(r.writeMBps, 0);
        EXPECT_GT(r.readMBps, 0);
        EXPECT_GT(r.fileBytes, 0u);
    }
}

}  // namespace
}  // namespace skv
