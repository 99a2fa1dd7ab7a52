#include "grid/float_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace skv {
namespace {

// Fills a grid with reproducible values in [-1, 1].
void randomize(FloatGrid& g, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

TEST(FloatGridTest, DefaultGridIsEmpty) {
    FloatGrid g;
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(g.count(), 0u);
    EXPECT_EQ(g.width(), 0u);
    EXPECT_EQ(g.height(), 0u);
    EXPECT_EQ(g.depth(), 0u);
}

TEST(FloatGridTest, DataIsAlignedForEverySize) {
    for (uint32_t w : {1u, 3u, 7u, 16u, 33u, 130u})
        for (uint32_t h : {1u, 2u, 5u}) {
            FloatGrid g(w, h, 1, true);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(g.data()) % 16, 0u) << w << "x" << h;
            EXPECT_EQ(g.count(), uint64_t(w) * h);
            for (uint64_t i = 0; i < g.count(); ++i)
                ASSERT_EQ(g[i], 0.0f);
        }
}

TEST(FloatGridTest, ResizeToTheSameSizeKeepsContentsUnlessCleared) {
    FloatGrid g(4, 3);
    g.fill(std::numeric_limits<float>::infinity());
    const float* before = g.data();
    g.resize(4, 3, 1, false);
    EXPECT_EQ(g.data(), before);
    for (uint64_t i = 0; i < g.count(); ++i)
        EXPECT_TRUE(std::isinf(g[i]));
    g.resize(4, 3, 1, true);
    for (uint64_t i = 0; i < g.count(); ++i)
        EXPECT_EQ(g[i], 0.0f);
}

TEST(FloatGridTest, ResizeToAnotherSizeReallocates) {
    FloatGrid g(4, 3);
    g.resize(3, 4, 1, true);
    EXPECT_EQ(g.width(), 3u);
    EXPECT_EQ(g.height(), 4u);
    g.resize(3, 4, 2, false);
    EXPECT_EQ(g.count(), 24u);
    EXPECT_EQ(g.depth(), 2u);
}

TEST(FloatGridTest, AbsurdSizeThrowsAndLeavesTheGridEmpty) {
    FloatGrid g(8, 8);
    EXPECT_THROW(g.resize(1u << 30, 1u << 30, 1u << 8), std::bad_alloc);
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(g.count(), 0u);
}

TEST(FloatGridTest, ElementAccessIsRowMajor) {
    FloatGrid g(5, 4, 1, true);
    g(3, 2) = 7.0f;
    EXPECT_EQ(g.data()[2 * 5 + 3], 7.0f);
}

TEST(FloatGridTest, CopySwapAndFill) {
    FloatGrid a(300, 200), b;
    randomize(a, 1);
    b.copyFrom(a);
    ASSERT_EQ(b.width(), 300u);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.byteSize()), 0);

    FloatGrid c(2, 2);
    c.fill(3.0f);
    const float* aData = a.data();
    swap(a, c);
    EXPECT_EQ(c.data(), aData);
    EXPECT_EQ(a.width(), 2u);
    EXPECT_EQ(a(1, 1), 3.0f);
}

TEST(FloatGridTest, SetBorderTouchesOnlyTheOutermostRing) {
    FloatGrid g(6, 5, 1, true);
    g.setBorder(2.0f);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x) {
            const bool border = x == 0 || y == 0 || x == 5 || y == 4;
            EXPECT_EQ(g(x, y), border ? 2.0f : 0.0f) << x << "," << y;
        }
}

TEST(FloatGridTest, CopyBorderGivesZeroGradientWithCornersFromTheDiagonal) {
    FloatGrid g(5, 4, 1, true);
    for (uint32_t y = 1; y < 3; ++y)
        for (uint32_t x = 1; x < 4; ++x)
            g(x, y) = float(10 * y + x);
    g.copyBorder();
    for (uint32_t y = 1; y < 3; ++y) {
        EXPECT_EQ(g(0, y), g(1, y));
        EXPECT_EQ(g(4, y), g(3, y));
    }
    for (uint32_t x = 0; x < 5; ++x) {
        EXPECT_EQ(g(x, 0), g(x, 1));
        EXPECT_EQ(g(x, 3), g(x, 2));
    }
    EXPECT_EQ(g(0, 0), g(1, 1));
    EXPECT_EQ(g(4, 3), g(3, 2));
}

TEST(FloatGridTest, MaskedOperations) {
    FloatGrid g(3, 1), src(3, 1), mask(2, 1);  // the mask is the shortest
    g.fill(1.0f);
    src.fill(5.0f);
    mask[0] = 0.6f;
    mask[1] = 0.4f;
    g.setMasked(src, mask, 0.5f);
    EXPECT_EQ(g[0], 5.0f);
    EXPECT_EQ(g[1], 1.0f);
    EXPECT_EQ(g[2], 1.0f);  // beyond the mask's count: untouched

    FloatGrid m(3, 1, 1, true);
    m[2] = -1.0f;
    g.zeroInMask(m);
    EXPECT_EQ(g[0], 5.0f);
    EXPECT_EQ(g[2], 0.0f);

    g.fill(-2.0f);
    g[1] = 4.0f;
    g.setMax(0.0f);
    EXPECT_EQ(g[0], 0.0f);
    EXPECT_EQ(g[1], 4.0f);
}

// Sizes on both sides of the parallel threshold; results must match the plain formula bit for
// bit (no contraction into fused multiply-adds).
TEST(FloatGridTest, FusedUpdatesMatchTheScalarFormula) {
    for (uint32_t side : {7u, 515u}) {
        FloatGrid x(side, side), y(side, side), d(side, side), e(side, side);
        randomize(x, 2);
        randomize(y, 3);
        randomize(d, 4);
        e.copyFrom(d);
        const float a = 0.37f, b = -1.25f;
        d.axpbypz(a, x, b, y);
        for (uint64_t i = 0; i < d.count(); ++i) {
            const float expected = e[i] + (a * x[i] + b * y[i]);
            ASSERT_EQ(d[i], expected) << "side " << side << " i " << i;
        }
        e.copyFrom(d);
        d.axpy(a, x);
        for (uint64_t i = 0; i < d.count(); ++i)
            ASSERT_EQ(d[i], e[i] + a * x[i]);
    }
}

TEST(FloatGridTest, WholeGridOperationsOnLargeGridsTouchEveryElement) {
    FloatGrid g(1000, 700);
    g.fill(1.5f);
    for (uint64_t i = 0; i < g.count(); ++i)
        ASSERT_EQ(g[i], 1.5f);
    g.clear();
    for (uint64_t i = 0; i < g.count(); ++i)
        ASSERT_EQ(g[i], 0.0f);
}

}  // namespace
}  // namespace skv
