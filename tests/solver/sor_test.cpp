#include "solver/sor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/exception.h"
#include "solver/vector_ops.h"

namespace skv {
namespace {

void randomize(FloatGrid& g, unsigned seed, float amplitude = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

bool sameBits(const FloatGrid& a, const FloatGrid& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           std::memcmp(a.data(), b.data(), a.byteSize()) == 0;
}

// max |d − A·p| over the interior, in double: an oracle independent of the solver's kernels.
double residualNorm(const FloatGrid& p, const FloatGrid& d, double sigma) {
    double worst = 0.0;
    for (uint32_t y = 1; y + 1 < p.height(); ++y)
        for (uint32_t x = 1; x + 1 < p.width(); ++x) {
            const double ap = (4.0 + sigma) * p(x, y) -
                              (double(p(x - 1, y)) + p(x + 1, y) + p(x, y - 1) + p(x, y + 1));
            worst = std::max(worst, std::fabs(d(x, y) - ap));
        }
    return worst;
}

// The sweep counts a solve can stop at: 4, 8, 12, 16, then every 5.
bool isBatchBoundary(uint32_t sweeps) {
    return sweeps <= 16 ? sweeps % 4 == 0 : (sweeps - 16) % 5 == 0;
}

struct Size {
    uint32_t w, h;  // padded
};
// Odd and even, square and not, narrower than one vector block (16 interior cells) and wider
// with and without leftover columns.
const Size kSizes[] = {{3, 3},   {4, 4},   {5, 7},    {17, 17},  {18, 18},  {19, 33},
                       {34, 20}, {35, 35}, {50, 130}, {130, 50}, {257, 256}};

TEST(SorTest, BlockedSweepsEqualThePlainOrderBitForBit) {
    for (const Size s : kSizes) {
        for (int count : {1, 2, 4, 5, 7}) {
            for (float sigma : {0.0f, 1.0f, 2.0f}) {
                FloatGrid plain(s.w, s.h), blocked(s.w, s.h), d(s.w, s.h), scratch(s.w, s.h);
                randomize(plain, s.w + 3 * s.h);
                blocked.copyFrom(plain);
                randomize(d, 11);
                sorSweepsPlain(plain, d, count, 1.7f, sigma);
                sorSweeps(blocked, d, scratch, count, 1.7f, sigma);
                ASSERT_TRUE(sameBits(plain, blocked))
                    << s.w << "x" << s.h << ", " << count << " sweeps, sigma " << sigma;
            }
        }
    }
}

TEST(SorTest, BlockedSweepsEqualThePlainOrderAtFullSize) {
    FloatGrid plain(1026, 1026), blocked(1026, 1026), d(1026, 1026), scratch(1026, 1026);
    randomize(plain, 1);
    blocked.copyFrom(plain);
    randomize(d, 2);
    sorSweepsPlain(plain, d, 5, 1.93f, 2.0f);
    sorSweeps(blocked, d, scratch, 5, 1.93f, 2.0f);
    EXPECT_TRUE(sameBits(plain, blocked));
}

TEST(SorTest, SolveEqualsThePlainScheduleBitForBit) {
    for (const Size s : kSizes) {
        for (float tolerance : {0.01f, 0.0f}) {
            FloatGrid d(s.w, s.h), p(s.w, s.h), q(s.w, s.h), t(s.w, s.h), u(s.w, s.h);
            randomize(d, s.w * s.h);
            fillBorder(d, 0.0f);
            uint32_t sweeps = 0, plainSweeps = 0;
            const float err =
                solveSOR(120, sweeps, tolerance, p, d, t, false, nullptr, nullptr, nullptr, 1.0f);
            const float plainErr = solveSORPlain(120, plainSweeps, tolerance, q, d, u, 1.0f);
            ASSERT_EQ(sweeps, plainSweeps) << s.w << "x" << s.h;
            ASSERT_EQ(std::memcmp(&err, &plainErr, sizeof err), 0) << s.w << "x" << s.h;
            ASSERT_TRUE(sameBits(p, q)) << s.w << "x" << s.h;
            ASSERT_TRUE(sameBits(t, u)) << s.w << "x" << s.h;
        }
    }
}

TEST(SorTest, SolveReachesTheToleranceAndLeavesTheResidualInT) {
    for (float sigma : {1.0f, 2.0f}) {
        FloatGrid d(66, 41), p(66, 41), t(66, 41), check(66, 41);
        randomize(d, 4, 2.0f);
        fillBorder(d, 0.0f);
        uint32_t sweeps = 0;
        const float err =
            solveSOR(1000, sweeps, 0.001f, p, d, t, false, nullptr, nullptr, nullptr, sigma);
        EXPECT_LE(err, 0.001f);
        EXPECT_GT(sweeps, 0u);
        EXPECT_TRUE(isBatchBoundary(sweeps)) << sweeps;
        // The oracle allows for the rounding of the float residual.
        EXPECT_LE(residualNorm(p, d, sigma), 0.001 + 1e-5);
        // t is the residual of the returned pressure, border 0, and err is its norm.
        EXPECT_EQ(pressureResidualPlain(p, d, check, sigma), err);
        EXPECT_TRUE(sameBits(t, check));
    }
}

TEST(SorTest, SweepCountsFollowTheBatchSchedule) {
    FloatGrid d(40, 30), p(40, 30), t(40, 30);
    randomize(d, 9);
    fillBorder(d, 0.0f);
    // Limits and the sweep count a solve that never converges stops at: batches of 4 up to
    // 16, then of 5, so 16 + 5n, and the limit is checked before each batch.
    const std::pair<uint32_t, uint32_t> cases[] = {
        {1, 4},   {4, 4},     {5, 8},      {16, 16},     {17, 21},    {21, 21},
        {22, 26}, {100, 101}, {999, 1001}, {1000, 1001}, {1001, 1001}};
    for (const auto& [limit, expected] : cases) {
        uint32_t sweeps = 0;
        solveSOR(limit, sweeps, 0.0f, p, d, t, false, nullptr, nullptr, nullptr, 2.0f);
        EXPECT_EQ(sweeps, expected) << "limit " << limit;
    }
}

TEST(SorTest, AlreadyConvergedDoesNoSweepAndKeepsTheInitialGuess) {
    for (float sigma : {0.0f, 1.0f, 2.0f}) {
        FloatGrid d(20, 17), p(20, 17), t(20, 17);
        randomize(d, 6, 0.004f);
        randomize(p, 7);
        t.fill(42.0f);
        const float norm = infinityNorm(d);
        uint32_t sweeps = 99;
        const float err =
            solveSOR(1000, sweeps, 0.005f, p, d, t, false, nullptr, nullptr, nullptr, sigma);
        EXPECT_EQ(sweeps, 0u);
        EXPECT_EQ(err, norm);
        const float factor = 1.4f / (4.0f + sigma);
        for (uint64_t i = 0; i < p.count(); ++i)
            ASSERT_EQ(p[i], factor * d[i]) << i;
        for (uint64_t i = 0; i < t.count(); ++i)
            ASSERT_EQ(t[i], 42.0f) << i;
    }
}

TEST(SorTest, OpenDomainRelaxesWithOmegaOverSix) {
    // A single interior cell: one sweep is one update of it, with σ = 2.
    FloatGrid p(3, 3), d(3, 3);
    p.fill(0.5f);
    p(1, 1) = 0.25f;
    d(1, 1) = 1.0f;
    const float omega = 1.4f;
    sorSweepsPlain(p, d, 1, omega, 2.0f);
    const float expected =
        (1.0f - omega) * 0.25f + (omega / 6.0f) * (0.5f + 0.5f + 0.5f + 0.5f + 1.0f);
    EXPECT_EQ(p(1, 1), expected);
    EXPECT_NEAR(p(1, 1), -0.1 + 1.4 / 6.0 * 3.0, 1e-6);
    // Border untouched.
    EXPECT_EQ(p(0, 1), 0.5f);
    EXPECT_EQ(p(2, 2), 0.5f);
}

TEST(SorTest, BlownUpFieldsEndWithANonFiniteErrorAtOnce) {
    FloatGrid d(30, 30), p(30, 30), t(30, 30);
    randomize(d, 8);
    fillBorder(d, 0.0f);
    d(12, 9) = std::numeric_limits<float>::quiet_NaN();
    uint32_t sweeps = 0;
    float err = solveSOR(1000, sweeps, 0.01f, p, d, t, false, nullptr, nullptr, nullptr, 2.0f);
    EXPECT_TRUE(std::isnan(err));
    EXPECT_EQ(sweeps, 0u);

    d(12, 9) = std::numeric_limits<float>::infinity();
    err = solveSOR(1000, sweeps, 0.01f, p, d, t, false, nullptr, nullptr, nullptr, 2.0f);
    EXPECT_FALSE(std::isfinite(err));
    EXPECT_EQ(sweeps, 4u);  // the first batch already sees NaN and stops
}

TEST(SorTest, RefusesTheDevicePathWithoutDeviceGridsAndMismatchedGrids) {
    FloatGrid d(10, 10), p(10, 10), t(10, 10), other(10, 11);
    randomize(d, 1);
    p.fill(3.0f);
    uint32_t sweeps = 0;
    try {
        solveSOR(100, sweeps, 0.01f, p, d, t, true, nullptr, nullptr, nullptr, 2.0f);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "SOR solve on the device without device grids");
    }
    EXPECT_THROW(solveSOR(100, sweeps, 0.01f, p, other, t, false, nullptr, nullptr, nullptr, 2.0f),
                 Exception);
    EXPECT_THROW(solveSOR(100, sweeps, 0.01f, p, d, other, false, nullptr, nullptr, nullptr, 2.0f),
                 Exception);
    for (uint64_t i = 0; i < p.count(); ++i)
        ASSERT_EQ(p[i], 3.0f);
}

}  // namespace
}  // namespace skv
