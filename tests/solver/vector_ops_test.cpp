#include "solver/vector_ops.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "grid_test_support.h"

namespace skv {
namespace {

using test::randomize;
constexpr float kInf = std::numeric_limits<float>::infinity();

// Sizes that exercise the scalar tails (counts not a multiple of 4) and the parallel, chunked
// path (more than 2^15 elements).
const uint32_t kSizes[][2] = {{1, 1},   {3, 1},    {5, 3},     {7, 9},
                              {16, 16}, {130, 77}, {301, 203}, {1026, 515}};

// The norm and the sum of squares against plain loops, the norm with a NaN or infinity planted
// at either end or in the middle, the sum whatever the number of threads.
TEST(VectorOpsTest, ReductionsMatchPlainLoopsWhateverTheThreadCount) {
    const int threads = omp_get_max_threads();
    for (const auto& s : kSizes) {
        FloatGrid g(s[0], s[1]);
        randomize(g, s[0] * 31 + s[1], -4.0f, 4.0f);
        float norm = 0.0f;
        long double exact = 0.0L;
        for (uint64_t i = 0; i < g.count(); ++i) {
            norm = std::max(norm, std::fabs(g[i]));
            exact += (long double)g[i] * g[i];
        }
        EXPECT_EQ(infinityNorm(g), norm) << s[0] << "x" << s[1];
        const double sum = sumOfSquares(g);
        EXPECT_NEAR(sum, double(exact), 1e-12 * double(exact)) << s[0] << "x" << s[1];
        for (int team : {1, 3}) {
            omp_set_num_threads(team);
            const double again = sumOfSquares(g);
            EXPECT_EQ(std::memcmp(&again, &sum, sizeof sum), 0) << team << " threads";
        }
        omp_set_num_threads(threads);
        for (float planted : {-9.5f, std::nanf(""), -kInf})
            for (uint64_t at : {uint64_t(0), g.count() / 2, g.count() - 1}) {
                const float old = g[at];
                g[at] = planted;
                const float n = infinityNorm(g);
                g[at] = old;
                EXPECT_TRUE(std::isnan(planted) ? std::isnan(n) : n == std::fabs(planted))
                    << s[0] << "x" << s[1] << ": " << planted << " at " << at << " gives " << n;
            }
    }
    EXPECT_EQ(infinityNorm(FloatGrid()), 0.0f);
}

}  // namespace
}  // namespace skv
