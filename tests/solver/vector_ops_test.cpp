#include "solver/vector_ops.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/exception.h"

namespace skv {
namespace {

void randomize(FloatGrid& g, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

// Sizes that exercise the scalar tails (counts not a multiple of 4) and the parallel, chunked
// path (more than 2^15 elements).
struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{1, 1},   {3, 1},    {5, 3},     {7, 9},
                       {16, 16}, {130, 77}, {301, 203}, {1026, 515}};

TEST(VectorOpsTest, InfinityNormIsTheLargestMagnitude) {
    for (const Size s : kSizes) {
        FloatGrid g(s.w, s.h);
        randomize(g, s.w * 31 + s.h);
        float expected = 0.0f;
        for (uint64_t i = 0; i < g.count(); ++i)
            expected = std::max(expected, std::fabs(g[i]));
        EXPECT_EQ(infinityNorm(g), expected) << s.w << "x" << s.h;

        // The largest magnitude planted in the last element (a scalar tail for odd counts).
        g[g.count() - 1] = -9.5f;
        EXPECT_EQ(infinityNorm(g), 9.5f) << s.w << "x" << s.h;
    }
    FloatGrid zero(33, 3, 1, true);
    EXPECT_EQ(infinityNorm(zero), 0.0f);
    zero(17, 2) = -3.5f;
    EXPECT_EQ(infinityNorm(zero), 3.5f);
    EXPECT_EQ(infinityNorm(FloatGrid()), 0.0f);
}

TEST(VectorOpsTest, InfinityNormReportsNanAndInfinity) {
    for (const Size s : kSizes) {
        for (uint64_t at : {uint64_t(0), uint64_t(s.w) * s.h / 2, uint64_t(s.w) * s.h - 1}) {
            FloatGrid g(s.w, s.h);
            randomize(g, 5);
            g[at] = std::numeric_limits<float>::quiet_NaN();
            EXPECT_TRUE(std::isnan(infinityNorm(g))) << s.w << "x" << s.h << " at " << at;
            g[at] = -std::numeric_limits<float>::infinity();
            EXPECT_EQ(infinityNorm(g), std::numeric_limits<float>::infinity());
        }
    }
}

TEST(VectorOpsTest, SumOfSquaresMatchesLongDoubleAndIgnoresThreadCount) {
    for (const Size s : kSizes) {
        FloatGrid g(s.w, s.h);
        randomize(g, s.h * 7 + 1);
        long double exact = 0.0L;
        for (uint64_t i = 0; i < g.count(); ++i)
            exact += (long double)g[i] * g[i];
        const double sum = sumOfSquares(g);
        EXPECT_NEAR(sum, double(exact), 1e-12 * double(exact)) << s.w << "x" << s.h;

        const int threads = omp_get_max_threads();
        omp_set_num_threads(1);
        const double single = sumOfSquares(g);
        omp_set_num_threads(3);
        const double three = sumOfSquares(g);
        omp_set_num_threads(threads);
        EXPECT_EQ(std::memcmp(&single, &sum, sizeof sum), 0);
        EXPECT_EQ(std::memcmp(&three, &sum, sizeof sum), 0);
    }
}

TEST(VectorOpsTest, ScaleAndScaledAddEqualTheScalarExpressions) {
    for (const Size s : kSizes) {
        FloatGrid x(s.w, s.h), y(s.w, s.h), z(s.w, s.h), out(s.w, s.h);
        randomize(x, 1);
        randomize(y, 2);
        const float a = 0.2333f;

        scale(out, a, x);
        for (uint64_t i = 0; i < x.count(); ++i)
            ASSERT_EQ(out[i], a * x[i]) << i;

        scaledAdd(z, a, x, y);
        for (uint64_t i = 0; i < x.count(); ++i)
            ASSERT_EQ(z[i], a * x[i] + y[i]) << i;

        // In place, as the projection uses it: d = dx·e + d.
        out.copyFrom(y);
        scaledAdd(out, a, x, out);
        EXPECT_EQ(std::memcmp(out.data(), z.data(), z.byteSize()), 0);
        out.copyFrom(x);
        scale(out, a, out);
        for (uint64_t i = 0; i < x.count(); ++i)
            ASSERT_EQ(out[i], a * x[i]) << i;
    }
}

TEST(VectorOpsTest, FillBorderSetsTheOuterRingOnly) {
    for (const Size s : kSizes) {
        FloatGrid g(s.w, s.h);
        randomize(g, 3);
        FloatGrid before;
        before.copyFrom(g);
        fillBorder(g, 2.5f);
        for (uint32_t y = 0; y < s.h; ++y)
            for (uint32_t x = 0; x < s.w; ++x) {
                const bool border = x == 0 || y == 0 || x + 1 == s.w || y + 1 == s.h;
                ASSERT_EQ(g(x, y), border ? 2.5f : before(x, y)) << x << "," << y;
            }
    }
}

TEST(VectorOpsTest, MisalignedDataAndMismatchedGridsAreRefused) {
    std::vector<float> storage(64, 1.0f);
    float* base = storage.data();
    while (reinterpret_cast<uintptr_t>(base) % 16 != 0)
        ++base;
    float* odd = base + 1;
    EXPECT_THROW(infinityNorm(odd, 8), Exception);
    EXPECT_THROW(sumOfSquares(odd, 8), Exception);
    EXPECT_THROW(scale(odd, 2.0f, base, 8), Exception);
    EXPECT_THROW(scale(base, 2.0f, odd, 8), Exception);
    EXPECT_THROW(scaledAdd(base, 2.0f, base, odd, 8), Exception);
    // Nothing was written before the refusal.
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(base[i], 1.0f);
    EXPECT_EQ(infinityNorm(base, 8), 1.0f);

    FloatGrid a(4, 4), b(4, 5);
    EXPECT_THROW(scale(a, 1.0f, b), Exception);
    EXPECT_THROW(scaledAdd(a, 1.0f, a, b), Exception);
}

}  // namespace
}  // namespace skv
