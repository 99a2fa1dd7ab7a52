#include "render/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "grid/float_grid.h"
#include "render/float_image.h"
#include "render_test_support.h"

namespace skv {
namespace {

FloatImage randomImage(uint32_t w, uint32_t h, unsigned seed) {
    FloatImage image(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < w * 4; ++i)
            image.row(y)[i] = dist(rng);
    return image;
}

// Target sample i as weights over the source samples, plainly in double precision: growing
// interpolates corner to corner; shrinking averages the footprint [i·s, (i + 1)·s) by coverage.
std::vector<double> weights(uint32_t source, uint32_t target, uint32_t i) {
    std::vector<double> w(source, 0.0);
    if (target > source) {
        const double p = source == 1 ? 0.0 : double(i) * (source - 1) / (target - 1);
        const uint32_t j = std::min(uint32_t(p), source - 1);
        const double f = p - j;
        w[j] += 1.0 - f;
        if (f > 0.0) w[j + 1] += f;
        return w;
    }
    const double s = double(source) / target, lo = i * s, hi = (i + 1) * s;
    for (uint32_t j = 0; j < source; ++j)
        w[j] = std::max(0.0, std::min(j + 1.0, hi) - std::max(double(j), lo)) / s;
    return w;
}

// Both axes, one after the other: target pixel (x, y), channel c at [(y·dw + x)·4 + c].
std::vector<double> reference(const FloatImage& src, uint32_t dw, uint32_t dh) {
    const uint32_t sw = src.width(), sh = src.height();
    std::vector<double> rows(size_t(dw) * sh * 4, 0.0), out(size_t(dw) * dh * 4, 0.0);
    for (uint32_t x = 0; x < dw; ++x) {
        const auto w = weights(sw, dw, x);
        for (uint32_t y = 0; y < sh; ++y)
            for (uint32_t i = 0; i < sw; ++i)
                for (int c = 0; c < 4; ++c)
                    rows[(y * dw + x) * 4 + c] += w[i] * src.pixel(i, y)[c];
    }
    for (uint32_t y = 0; y < dh; ++y) {
        const auto w = weights(sh, dh, y);
        for (uint32_t j = 0; j < sh; ++j)
            for (uint32_t i = 0; i < dw * 4; ++i)
                out[y * dw * 4 + i] += w[j] * rows[j * dw * 4 + i];
    }
    return out;
}

TEST(Resample, MatchesThePlainFilterForEveryMixOfGrowingAndShrinking) {
    struct Case {
        uint32_t sw, sh, dw, dh;
    };
    const Case cases[] = {
        {13, 7, 13, 7}, {2, 2, 5, 4}, {3, 7, 10, 7},  {16, 9, 37, 23}, {5, 5, 5, 6},
        {8, 8, 4, 4},   {7, 5, 3, 2}, {10, 10, 4, 3}, {100, 1, 7, 1},  {5, 5, 1, 1},
        {9, 9, 9, 4},   {8, 2, 3, 5}, {2, 9, 6, 2},   {1, 1, 5, 3},    {1, 1, 1, 1},
        {1, 6, 3, 2},   {5, 1, 1, 1}, {1, 4, 1, 9},   {7, 1, 1, 4},    {190, 110, 71, 33},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh);
        const FloatImage src = randomImage(k.sw, k.sh, k.sw * 31 + k.dh);
        FloatImage dst(k.dw, k.dh);
        resample(src, dst);
        const std::vector<double> expected = reference(src, k.dw, k.dh);
        for (uint32_t y = 0; y < k.dh; ++y)
            for (uint32_t x = 0; x < k.dw; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_NEAR(dst.pixel(x, y)[c], expected[(y * k.dw + x) * 4 + c], 2e-6)
                        << "at " << x << ", " << y << " ch " << c;
    }
}

}  // namespace
}  // namespace skv
