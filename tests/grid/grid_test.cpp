#include "grid/float_grid.h"
#include "grid/rational.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "grid_test_support.h"

namespace skv {
namespace {

TEST(FloatGridTest, GridsOfEverySizeAreAlignedAndCleared) {
    FloatGrid none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.width() + none.height() + none.depth() + none.count(), 0u);
    for (uint32_t w : {1u, 3u, 7u, 16u, 33u, 130u, 1000u})
        for (uint32_t h : {1u, 2u, 5u, 700u}) {
            FloatGrid g(w, h, 1, true);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(g.data()) % 16, 0u) << w << "x" << h;
            ASSERT_EQ(g.count(), uint64_t(w) * h);
            g.fill(1.5f);  // every element, on both sides of the parallel threshold
            for (uint64_t i = 0; i < g.count(); ++i)
                ASSERT_EQ(g[i], 1.5f) << w << "x" << h << " " << i;
            g.clear();
            for (uint64_t i = 0; i < g.count(); ++i)
                ASSERT_EQ(g[i], 0.0f) << w << "x" << h << " " << i;
        }
}

TEST(FloatGridTest, ResizeCopySwapAndRowMajorAccess) {
    FloatGrid g(4, 3), b, c(2, 2);
    g.fill(std::numeric_limits<float>::infinity());
    const float* before = g.data();
    g.resize(4, 3, 1, false);  // the same size keeps memory and contents unless cleared
    EXPECT_EQ(g.data(), before);
    EXPECT_TRUE(std::isinf(g[11]));
    g.resize(4, 3, 1, true);
    EXPECT_EQ(g[11], 0.0f);
    g.resize(300, 200, 2, false);
    test::randomize(g, 1);
    g(3, 2) = 7.0f;
    EXPECT_EQ(g.data()[2 * 300 + 3], 7.0f);
    b.copyFrom(g);
    EXPECT_TRUE(test::sameBits(g, b) && b.depth() == 2);
    c.fill(3.0f);
    const float* data = g.data();
    swap(g, c);  // exchanges the memory, not the values
    EXPECT_EQ(c.data(), data);
    EXPECT_TRUE(test::sameBits(c, b));
    EXPECT_EQ(g(1, 1), 3.0f);
    EXPECT_THROW(g.resize(1u << 30, 1u << 30, 1u << 8), std::bad_alloc);
    EXPECT_TRUE(g.empty());  // an absurd size leaves the grid empty
}

TEST(FloatGridTest, BordersAreSetOnTheOutermostRingAndCopiedWithZeroGradient) {
    FloatGrid g(6, 5, 1, true);
    g.setBorder(2.0f);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            EXPECT_EQ(g(x, y), x == 0 || y == 0 || x == 5 || y == 4 ? 2.0f : 0.0f) << x << "," << y;
    test::randomize(g, 2);
    g.copyBorder();
    // Each border cell takes its nearest interior cell; corners the diagonal one.
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            EXPECT_EQ(g(x, y), g(std::clamp(x, 1u, 4u), std::clamp(y, 1u, 3u))) << x << "," << y;
}

TEST(FloatGridTest, MaskedOperations) {
    FloatGrid g(3, 1), src(3, 1), mask(2, 1), negative(3, 1, 1, true);  // the mask is the shortest
    const auto values = [&] { return std::vector<float>(g.data(), g.data() + 3); };
    g.fill(1.0f);
    src.fill(5.0f);
    mask[0] = 0.6f;
    mask[1] = 0.4f;
    g.setMasked(src, mask, 0.5f);
    EXPECT_EQ(values(), (std::vector<float>{5, 1, 1}));
    negative[2] = -1.0f;
    g.zeroInMask(negative);
    EXPECT_EQ(values(), (std::vector<float>{5, 1, 0}));
    g.fill(-2.0f);
    g[1] = 4.0f;
    g.setMax(0.0f);
    EXPECT_EQ(values(), (std::vector<float>{0, 4, 0}));
}

// Sizes on both sides of the parallel threshold; results must match the plain formula bit for
// bit (no contraction into fused multiply-adds).
TEST(FloatGridTest, FusedUpdatesMatchTheScalarFormula) {
    for (uint32_t side : {7u, 515u}) {
        FloatGrid x(side, side), y(side, side), d(side, side), e(side, side);
        test::randomize(x, 2);
        test::randomize(y, 3);
        test::randomize(d, 4);
        e.copyFrom(d);
        const float a = 0.37f, b = -1.25f;
        d.axpbypz(a, x, b, y);
        for (uint64_t i = 0; i < d.count(); ++i)
            ASSERT_EQ(d[i], e[i] + (a * x[i] + b * y[i])) << "side " << side << " i " << i;
        e.copyFrom(d);
        d.axpy(a, x);
        for (uint64_t i = 0; i < d.count(); ++i)
            ASSERT_EQ(d[i], e[i] + a * x[i]) << "side " << side << " i " << i;
    }
}

TEST(RationalTest, ConstructionRoundsReducesAndKeepsTheSignInTheNumerator) {
    struct Case {
        double num, den;
        int64_t reducedNum, reducedDen;
    };
    const Case cases[] = {
        {2.4, 4.6, 2, 5}, {1001, 30030, 1, 30}, {3, -6, -1, 2}, {6e12, 4e12, 3, 2},
        {0, 0, 0, 0},     {0.2, 7, 0, 1},       {7, 0.2, 1, 0},
    };
    for (const auto& c : cases) {
        const Rational r(c.num, c.den);
        EXPECT_EQ(std::tuple(int64_t(r.num()), int64_t(r.den())),
                  std::tuple(c.reducedNum, c.reducedDen))
            << c.num << "/" << c.den;
    }
}

TEST(RationalTest, ArithmeticOrderAndTheFrameIndexOfACursor) {
    const Rational third(1, 3), sixth(1, 6);
    const Rational sum = third + sixth, product = third * Rational(3, 4);
    EXPECT_EQ(std::tuple(sum.num(), sum.den(), product.num(), product.den()),
              std::tuple(1, 2, 1, 4));
    EXPECT_TRUE(sixth < third && !(third < sixth) && !(third < third));
    EXPECT_TRUE(Rational(1, 5) < Rational(2, 5));  // equal denominators
    TimeCursor cursor{Rational(0, 1), Rational(1, 24)};
    for (int frame = 0; frame < 100; ++frame) {
        EXPECT_EQ(cursor.frameIndex(), frame);
        cursor.time = cursor.time + cursor.step;
    }
    EXPECT_EQ((TimeCursor{Rational(1001 * 7, 30000), Rational(1001, 30000)}.frameIndex()), 7);
    EXPECT_EQ((TimeCursor{Rational(5, 1), Rational(0, 1)}.frameIndex()), 0);  // no step
}

}  // namespace
}  // namespace skv
