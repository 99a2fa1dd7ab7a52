#include "kernels/sampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A W × H grid stored with a row pitch larger than W, the padding NaN: a sampler that reads
// outside a row returns NaN.
struct PitchedGrid {
    int W, H, p;
    std::vector<float> v;
    PitchedGrid(int w, int h) : W(w), H(h), p(w + 3), v(size_t(p) * h, kNaN) {}
    float& at(int x, int y) { return v[size_t(y) * p + x]; }
    float at(int x, int y) const { return v[size_t(y) * p + x]; }
    const float* data() const { return v.data(); }
};

PitchedGrid randomGrid(int W, int H, std::mt19937& rng) {
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::bernoulli_distribution spike(0.1);
    PitchedGrid g(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            g.at(x, y) = spike(rng) ? 10.0f * value(rng) : value(rng);
    return g;
}

const int kSizes[][2] = {{2, 2}, {3, 3}, {4, 4}, {3, 8}, {5, 9}, {17, 12}, {40, 33}};

TEST(SamplingTest, CatmullRomWeightsAreAPartitionOfUnityThatReproducesLines) {
    for (int k = 0; k <= 20; ++k) {
        const float t = float(k) / 20.0f;
        float w[4];
        catmullRomWeights(t, w);
        EXPECT_NEAR(w[0] + w[1] + w[2] + w[3], 1.0f, 1e-6f) << t;
        EXPECT_NEAR(-w[0] + w[2] + 2.0f * w[3], t, 1e-6f) << t;  // nodes at -1, 0, 1, 2
    }
    float w[4];
    catmullRomWeights(0.0f, w);
    EXPECT_EQ(w[1], 1.0f);
    EXPECT_EQ(w[0] + w[2] + w[3], 0.0f);
    catmullRomWeights(1.0f, w);
    EXPECT_EQ(w[2], 1.0f);
    EXPECT_EQ(w[0] + w[1] + w[3], 0.0f);
}

TEST(SamplingTest, CatmullRomNeverLeavesTheRangeOfItsFourNearestSamples) {
    std::mt19937 rng(7);
    for (const auto& size : kSizes) {
        const int W = size[0], H = size[1];
        const PitchedGrid g = randomGrid(W, H, rng);
        std::uniform_real_distribution<float> px(-0.5f, float(W) - 0.5f),
            py(-0.5f, float(H) - 0.5f);
        for (int n = 0; n < 3000; ++n) {
            const float x = px(rng), y = py(rng);
            const float v = sampleCatmullRom(g.data(), g.p, W, H, x, y);
            const float cx = std::clamp(x, 0.0f, float(W - 1)),
                        cy = std::clamp(y, 0.0f, float(H - 1));
            const int i = std::min(int(cx), W - 2), j = std::min(int(cy), H - 2);
            const float corners[] = {g.at(i, j), g.at(i + 1, j), g.at(i, j + 1),
                                     g.at(i + 1, j + 1)};
            const float lo = *std::min_element(corners, corners + 4);
            const float hi = *std::max_element(corners, corners + 4);
            const bool bicubic = W >= 4 && H >= 4 && x >= 1 && y >= 1 && x <= W - 2 && y <= H - 2;
            // The bilinear fallback is a convex combination up to the rounding of its lerps.
            const float slack = bicubic ? 0.0f : 1e-6f * (std::abs(lo) + std::abs(hi));
            ASSERT_GE(v, lo - slack) << W << "x" << H << " at " << x << ", " << y;
            ASSERT_LE(v, hi + slack) << W << "x" << H << " at " << x << ", " << y;
        }
    }
}

TEST(SamplingTest, BothSamplersReturnNodeValuesExactly) {
    std::mt19937 rng(11);
    for (const auto& size : kSizes) {
        const int W = size[0], H = size[1];
        const PitchedGrid g = randomGrid(W, H, rng);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const float b = sampleBilinear(g.data(), g.p, W, H, float(x), float(y));
                const float c = sampleCatmullRom(g.data(), g.p, W, H, float(x), float(y));
                if (x < W - 1 && y < H - 1) {
                    EXPECT_EQ(b, g.at(x, y));
                    EXPECT_EQ(c, g.at(x, y));
                } else {
                    // On the last column or row the lerp runs with fraction 1 from the
                    // previous node: exact up to its rounding.
                    EXPECT_NEAR(b, g.at(x, y), 1e-5f);
                    EXPECT_NEAR(c, g.at(x, y), 1e-5f);
                }
            }
    }
}

TEST(SamplingTest, BothSamplersReproduceLinearFields) {
    std::mt19937 rng(3);
    for (const auto& size : kSizes) {
        const int W = size[0], H = size[1];
        PitchedGrid g(W, H);
        const auto f = [](float x, float y) { return 0.5f + 0.25f * x - 0.125f * y; };
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                g.at(x, y) = f(float(x), float(y));
        std::uniform_real_distribution<float> px(0.0f, float(W - 1)), py(0.0f, float(H - 1));
        for (int n = 0; n < 500; ++n) {
            const float x = px(rng), y = py(rng);
            EXPECT_NEAR(sampleBilinear(g.data(), g.p, W, H, x, y), f(x, y), 1e-5f);
            EXPECT_NEAR(sampleCatmullRom(g.data(), g.p, W, H, x, y), f(x, y), 1e-5f);
        }
    }
}

TEST(SamplingTest, PointsOutsideTheGridTakeTheNearestBorderValue) {
    std::mt19937 rng(5);
    const int W = 9, H = 6;
    const PitchedGrid g = randomGrid(W, H, rng);
    EXPECT_EQ(sampleBilinear(g.data(), g.p, W, H, -3.0f, -0.5f), g.at(0, 0));
    EXPECT_EQ(sampleCatmullRom(g.data(), g.p, W, H, 4.0f, -7.0f), g.at(4, 0));
    // On the far side the lerp reaches the last node with fraction 1: exact but for rounding.
    EXPECT_FLOAT_EQ(sampleBilinear(g.data(), g.p, W, H, W + 4.0f, H + 0.25f), g.at(W - 1, H - 1));
    EXPECT_FLOAT_EQ(sampleCatmullRom(g.data(), g.p, W, H, W - 1.0f, 2.0f), g.at(W - 1, 2));
    // A position computed from a broken velocity still samples inside the grid.
    EXPECT_EQ(sampleBilinear(g.data(), g.p, W, H, kNaN, kNaN), g.at(0, 0));
    EXPECT_EQ(sampleCatmullRom(g.data(), g.p, W, H, 3.0f, kNaN), g.at(3, 0));
}

TEST(SamplingTest, PickChoosesBitExactly) {
    const float negativeZero = -0.0f;
    const float values[] = {1.5f, negativeZero, kNaN, -std::numeric_limits<float>::infinity()};
    for (float a : values)
        for (float b : values) {
            const float t = pick(true, a, b), f = pick(false, a, b);
            EXPECT_EQ(std::memcmp(&t, &a, sizeof t), 0);
            EXPECT_EQ(std::memcmp(&f, &b, sizeof f), 0);
        }
}

}  // namespace
}  // namespace skv
