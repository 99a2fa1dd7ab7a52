#include "render/resample.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "grid/float_grid.h"
#include "render/float_image.h"
#include "render_test_support.h"

namespace skv {
namespace {

using test::maxDifference;

FloatImage randomImage(uint32_t w, uint32_t h, unsigned seed) {
    FloatImage image(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < w * 4; ++i)
            image.row(y)[i] = dist(rng);
    return image;
}

std::array<double, 4> channelMeans(const FloatImage& image) {
    std::array<double, 4> sum = {};
    for (uint32_t y = 0; y < image.height(); ++y)
        for (uint32_t x = 0; x < image.width(); ++x)
            for (int c = 0; c < 4; ++c)
                sum[size_t(c)] += image.pixel(x, y)[c];
    for (double& s : sum)
        s /= double(image.width()) * image.height();
    return sum;
}

// A function linear in x and y per channel, which linear interpolation reproduces exactly.
float linear(int c, double x, double y) {
    return float(0.1 * c + 0.03 * x - 0.02 * y);
}

TEST(FloatImage, ResizeKeepsStorageForTheSameSizeAndNeverShrinksIt) {
    FloatImage image(8, 4);
    image.pixel(3, 2)[1] = 7.0f;
    const float* storage = image.data();
    image.resize(8, 4);
    EXPECT_EQ(image.data(), storage);
    EXPECT_EQ(image.pixel(3, 2)[1], 7.0f);
    image.resize(4, 4);
    EXPECT_EQ(image.data(), storage);
    EXPECT_EQ(image.pitch(), 16u);
    image.resize(8, 4);
    EXPECT_EQ(image.data(), storage);
    image.clear();
    EXPECT_EQ(image.pixel(3, 2)[1], 0.0f);
}

TEST(FloatImage, RefusesAbsurdSizes) {
    FloatImage image;
    EXPECT_THROW(image.resize(1u << 20, 1u << 20), std::bad_alloc);
    EXPECT_TRUE(image.empty());
}

TEST(Resample, EqualSizesCopy) {
    const FloatImage src = randomImage(13, 7, 1);
    FloatImage dst(13, 7);
    resample(src, dst);
    EXPECT_EQ(maxDifference(src, dst), 0.0f);

    // Single channel with row pitches wider than the rows.
    std::vector<float> one(5 * 9, -1.0f), two(5 * 11, -2.0f);
    for (size_t i = 0; i < one.size(); ++i)
        one[i] = float(i);
    resample(one.data(), 4, 5, 9, two.data(), 4, 5, 11, 1);
    for (size_t y = 0; y < 5; ++y) {
        for (size_t x = 0; x < 4; ++x)
            EXPECT_EQ(two[y * 11 + x], one[y * 9 + x]);
        for (size_t x = 4; x < 11; ++x)
            EXPECT_EQ(two[y * 11 + x], -2.0f) << "outside the row";
    }
}

TEST(Resample, EnlargingMapsCornersToCornersAndReproducesLinearFields) {
    struct Case {
        uint32_t sw, sh, dw, dh;
    };
    for (const Case& k :
         {Case{2, 2, 5, 4}, Case{3, 7, 10, 7}, Case{16, 9, 37, 23}, Case{5, 5, 5, 6}}) {
        SCOPED_TRACE(testing::Message() << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh);
        FloatImage src(k.sw, k.sh), dst(k.dw, k.dh);
        for (uint32_t y = 0; y < k.sh; ++y)
            for (uint32_t x = 0; x < k.sw; ++x)
                for (int c = 0; c < 4; ++c)
                    src.pixel(x, y)[c] = linear(c, x, y);
        resample(src, dst);
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(dst.pixel(0, 0)[c], src.pixel(0, 0)[c]);
            EXPECT_EQ(dst.pixel(k.dw - 1, 0)[c], src.pixel(k.sw - 1, 0)[c]);
            EXPECT_EQ(dst.pixel(0, k.dh - 1)[c], src.pixel(0, k.sh - 1)[c]);
            EXPECT_EQ(dst.pixel(k.dw - 1, k.dh - 1)[c], src.pixel(k.sw - 1, k.sh - 1)[c]);
        }
        const double fx = double(k.sw - 1) / (k.dw - 1), fy = double(k.sh - 1) / (k.dh - 1);
        for (uint32_t y = 0; y < k.dh; ++y)
            for (uint32_t x = 0; x < k.dw; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_NEAR(dst.pixel(x, y)[c], linear(c, x * fx, y * fy), 1e-5)
                        << "at " << x << ", " << y;
    }
}

TEST(Resample, ShrinkingKeepsTheMeanForWholeAndFractionalRatios) {
    struct Case {
        uint32_t sw, sh, dw, dh;
    };
    for (const Case& k :
         {Case{8, 8, 4, 4}, Case{7, 5, 3, 2}, Case{10, 10, 4, 3}, Case{100, 1, 7, 1},
          Case{5, 5, 1, 1}, Case{1920, 1080, 701, 333}, Case{9, 9, 9, 4}}) {
        SCOPED_TRACE(testing::Message() << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh);
        const FloatImage src = randomImage(k.sw, k.sh, k.sw * 31 + k.dh);
        FloatImage dst(k.dw, k.dh);
        resample(src, dst);
        const auto before = channelMeans(src), after = channelMeans(dst);
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(after[size_t(c)], before[size_t(c)], 2e-6);
    }
}

TEST(Resample, ShrinkingAveragesEachFootprintWithCoverageWeights) {
    // 4 → 2: whole 2 × 2 blocks.
    FloatImage src(4, 4), dst(2, 2);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            for (int c = 0; c < 4; ++c)
                src.pixel(x, y)[c] = float(x + 4 * y + c);
    resample(src, dst);
    EXPECT_FLOAT_EQ(dst.pixel(0, 0)[0], (0 + 1 + 4 + 5) / 4.0f);
    EXPECT_FLOAT_EQ(dst.pixel(1, 1)[2], (10 + 11 + 14 + 15) / 4.0f + 2.0f);

    // 3 → 2 in one row: footprints [0, 1.5) and [1.5, 3): the middle pixel counts half in each.
    std::vector<float> row = {1.0f, 2.0f, 4.0f}, out(2, -1.0f);
    resample(row.data(), 3, 1, 3, out.data(), 2, 1, 2, 1);
    EXPECT_FLOAT_EQ(out[0], (1.0f + 0.5f * 2.0f) / 1.5f);
    EXPECT_FLOAT_EQ(out[1], (0.5f * 2.0f + 4.0f) / 1.5f);
}

TEST(Resample, MixedDirectionsAverageOneAxisAndInterpolateTheOther) {
    // Shrink x (8 → 3), enlarge y (2 → 5).
    const uint32_t sw = 8, sh = 2, dw = 3, dh = 5;
    FloatImage src(sw, sh), dst(dw, dh);
    for (uint32_t y = 0; y < sh; ++y)
        for (uint32_t x = 0; x < sw; ++x) {
            float* p = src.pixel(x, y);
            p[0] = float(x * x);      // varies along the shrinking axis only
            p[1] = float(3 * y + 1);  // varies along the growing axis only
            p[2] = 0.25f;             // constant
            p[3] = float(x) + float(y);
        }
    resample(src, dst);
    for (uint32_t y = 0; y < dh; ++y)
        for (uint32_t x = 0; x < dw; ++x) {
            const float* p = dst.pixel(x, y);
            // Red: the coverage-weighted average of x² over [x·8/3, (x + 1)·8/3).
            const double lo = x * 8.0 / 3.0, hi = (x + 1) * 8.0 / 3.0;
            double sum = 0.0;
            for (uint32_t i = 0; i < sw; ++i)
                sum += std::max(0.0, std::min(i + 1.0, hi) - std::max(double(i), lo)) * i * i;
            EXPECT_NEAR(p[0], sum / (hi - lo), 1e-4);
            // Green: linear interpolation from 1 (top) to 4 (bottom).
            EXPECT_NEAR(p[1], 1.0 + 3.0 * y / (dh - 1), 1e-5);
            EXPECT_FLOAT_EQ(p[2], 0.25f);
        }

    // The other way round: enlarge x (2 → 6), shrink y (9 → 2); a constant stays constant and
    // nothing leaves the source's range.
    const FloatImage noise = randomImage(2, 9, 5);
    FloatImage wide(6, 2);
    resample(noise, wide);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            for (int c = 0; c < 4; ++c) {
                EXPECT_GE(wide.pixel(x, y)[c], 0.0f);
                EXPECT_LE(wide.pixel(x, y)[c], 1.0f);
            }
}

TEST(Resample, OnePixelSizesNeedNoDivisionByZero) {
    struct Case {
        uint32_t sw, sh, dw, dh;
    };
    for (const Case& k : {Case{1, 1, 5, 3}, Case{1, 1, 1, 1}, Case{1, 6, 3, 2}, Case{5, 1, 1, 1},
                          Case{1, 4, 1, 9}, Case{7, 1, 1, 4}}) {
        SCOPED_TRACE(testing::Message() << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh);
        FloatImage src(k.sw, k.sh), dst(k.dw, k.dh);
        for (uint32_t y = 0; y < k.sh; ++y)
            for (uint32_t x = 0; x < k.sw; ++x)
                for (int c = 0; c < 4; ++c)
                    src.pixel(x, y)[c] = 0.5f;
        resample(src, dst);
        for (uint32_t y = 0; y < k.dh; ++y)
            for (uint32_t x = 0; x < k.dw; ++x)
                for (int c = 0; c < 4; ++c)
                    EXPECT_FLOAT_EQ(dst.pixel(x, y)[c], 0.5f);
    }
}

TEST(Resample, EmptySourceGivesZeros) {
    FloatImage empty, dst(3, 2);
    for (uint32_t y = 0; y < 2; ++y)
        std::fill_n(dst.row(y), 12, 9.0f);
    resample(empty, dst);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t i = 0; i < 12; ++i)
            EXPECT_EQ(dst.row(y)[i], 0.0f);
}

TEST(Resample, SingleChannelGridsMatchTheRgbaPath) {
    FloatGrid src(11, 6), dst(4, 9);
    FloatImage rgba(11, 6), rgbaOut(4, 9);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 11; ++x) {
            src(x, y) = dist(rng);
            for (int c = 0; c < 4; ++c)
                rgba.pixel(x, y)[c] = src(x, y);
        }
    resample(src, dst);
    resample(rgba, rgbaOut);
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(dst(x, y), rgbaOut.pixel(x, y)[c]);
}

TEST(Resample, ResultDoesNotDependOnTheThreadCount) {
    const FloatImage src = randomImage(97, 61, 11);
    for (auto [dw, dh] : {std::pair{250u, 130u}, std::pair{31u, 17u}, std::pair{40u, 200u}}) {
        FloatImage serial(dw, dh), parallel(dw, dh);
        const int threads = omp_get_max_threads();
        omp_set_num_threads(1);
        resample(src, serial);
        omp_set_num_threads(std::max(threads, 3));
        resample(src, parallel);
        omp_set_num_threads(threads);
        EXPECT_EQ(maxDifference(serial, parallel), 0.0f);
    }
}

}  // namespace
}  // namespace skv
