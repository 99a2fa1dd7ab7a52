#include "kernels/sampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A W × H grid stored with a row pitch larger than W, the padding NaN: a sampler that reads
// outside a row returns NaN. Values are random with spikes, or the linear field f.
struct PitchedGrid {
    int W, H, p;
    std::vector<float> v;
    PitchedGrid(int w, int h, unsigned seed, bool linear)
        : W(w), H(h), p(w + 3), v(size_t(p) * h, kNaN) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                at(x, y) = linear ? f(x, y) : value(rng) * (rng() % 10 == 0 ? 10.0f : 1.0f);
    }
    static float f(float x, float y) { return 0.5f + 0.25f * x - 0.125f * y; }
    float& at(int x, int y) { return v[size_t(y) * p + x]; }
    float bilinear(float x, float y) const { return sampleBilinear(v.data(), p, W, H, x, y); }
    float cubic(float x, float y) const { return sampleCatmullRom(v.data(), p, W, H, x, y); }
};

// Random points (a margin outside the grid included) stay within the range of their four
// nearest samples; linear fields are reproduced.
TEST(SamplingTest, SamplesStayWithinTheirFourNearestNodesAndReproduceLinearFields) {
    const int sizes[][2] = {{2, 2}, {3, 3}, {4, 4}, {3, 8}, {5, 9}, {17, 12}, {40, 33}};
    std::mt19937 rng(7);
    for (const auto& size : sizes) {
        const int W = size[0], H = size[1];
        PitchedGrid g(W, H, W * 100 + H, false), line(W, H, 0, true);
        std::uniform_real_distribution<float> px(-0.5f, W - 0.5f), py(-0.5f, H - 0.5f);
        for (int n = 0; n < 2000; ++n) {
            const float x = px(rng), y = py(rng);
            const float cx = std::clamp(x, 0.0f, W - 1.0f), cy = std::clamp(y, 0.0f, H - 1.0f);
            const int i = std::min(int(cx), W - 2), j = std::min(int(cy), H - 2);
            const float corners[] = {g.at(i, j), g.at(i + 1, j), g.at(i, j + 1),
                                     g.at(i + 1, j + 1)};
            const float lo = *std::min_element(corners, corners + 4);
            const float hi = *std::max_element(corners, corners + 4);
            // The bilinear form (also the cubic's fallback at the edges) is a convex combination
            // up to the rounding of its lerps; the bicubic one is clamped.
            const float slack = 1e-6f * (std::abs(lo) + std::abs(hi));
            const bool bicubic = W >= 4 && H >= 4 && x >= 1 && y >= 1 && x <= W - 2 && y <= H - 2;
            SCOPED_TRACE(testing::Message() << W << "x" << H << " at " << x << ", " << y);
            ASSERT_GE(g.bilinear(x, y), lo - slack);
            ASSERT_LE(g.bilinear(x, y), hi + slack);
            ASSERT_GE(g.cubic(x, y), lo - (bicubic ? 0.0f : slack));
            ASSERT_LE(g.cubic(x, y), hi + (bicubic ? 0.0f : slack));
            ASSERT_NEAR(line.bilinear(cx, cy), PitchedGrid::f(cx, cy), 1e-5f);
            ASSERT_NEAR(line.cubic(cx, cy), PitchedGrid::f(cx, cy), 1e-5f);
        }
    }
}

TEST(SamplingTest, NodesBordersAndBrokenPositionsSampleTheRightNode) {
    const int W = 9, H = 6;
    PitchedGrid g(W, H, 5, false);
    struct Case {
        float x, y;
        int i, j;    // the node the sample must return
        bool exact;  // on the far side the lerp reaches the node with fraction 1: rounding
    };
    const Case cases[] = {{3, 2, 3, 2, true},          {0, 0, 0, 0, true},
                          {-3, -0.5f, 0, 0, true},     {4, -7, 4, 0, true},
                          {W - 1, 2, W - 1, 2, false}, {W + 4.0f, H + 0.25f, W - 1, H - 1, false},
                          {kNaN, kNaN, 0, 0, true},    {3, kNaN, 3, 0, true}};
    for (const Case& c : cases)
        for (float s : {g.bilinear(c.x, c.y), g.cubic(c.x, c.y)}) {
            if (c.exact) {
                EXPECT_EQ(s, g.at(c.i, c.j)) << c.x << ", " << c.y;
            } else {
                EXPECT_FLOAT_EQ(s, g.at(c.i, c.j)) << c.x << ", " << c.y;
            }
        }
}

}  // namespace
}  // namespace skv
