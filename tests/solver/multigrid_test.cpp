#include "solver/multigrid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "platform/exception.h"
#include "solver/vector_ops.h"
#include "test_support.h"

namespace skv {
namespace {

void randomize(FloatGrid& g, unsigned seed, float amplitude = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

// The right-hand side the projection hands to multigrid: the negative divergence of a random
// velocity field, zero on the border.
void divergenceOfRandomFlow(FloatGrid& b, unsigned seed) {
    FloatGrid u(b.width(), b.height()), v(b.width(), b.height());
    randomize(u, seed);
    randomize(v, seed + 1);
    b.clear();
    for (uint32_t y = 1; y + 1 < b.height(); ++y)
        for (uint32_t x = 1; x + 1 < b.width(); ++x)
            b(x, y) = u(x - 1, y) - u(x, y) + v(x, y - 1) - v(x, y);
}

// max |b − A·x| over the interior with the uniform 5-point operator, in double.
double residualNorm(const FloatGrid& x, const FloatGrid& b) {
    double worst = 0.0;
    for (uint32_t j = 1; j + 1 < x.height(); ++j)
        for (uint32_t i = 1; i + 1 < x.width(); ++i) {
            const double ax =
                4.0 * x(i, j) - (double(x(i - 1, j)) + x(i + 1, j) + x(i, j - 1) + x(i, j + 1));
            worst = std::max(worst, std::fabs(b(i, j) - ax));
        }
    return worst;
}

class RecordingSink : public ProgressSink {
  public:
    explicit RecordingSink(int answersTrue) : answersTrue_(answersTrue) {}
    bool report(int done, int total) override {
        calls.push_back({done, total});
        return int(calls.size()) <= answersTrue_;
    }
    std::vector<std::pair<int, int>> calls;

  private:
    int answersTrue_;
};

TEST(MultigridTest, LevelsHalveTheInteriorDownToOneCell) {
    MultigridSolver mg;
    mg.resize(6 + 2, 5 + 2);
    ASSERT_EQ(mg.levelCount(), 3);
    const uint32_t sizes[3][2] = {{8, 7}, {5, 4}, {3, 3}};
    for (int l = 0; l < 3; ++l) {
        EXPECT_EQ(mg.levelWidth(l), sizes[l][0]) << l;
        EXPECT_EQ(mg.levelHeight(l), sizes[l][1]) << l;
    }
    // 6 columns: coarse nodes on fine nodes 2, 4, 6, the last one a fine cell from the wall;
    // 5 rows: nodes on 2 and 4, the last two fine cells from the wall. One level down, 3
    // columns put the single node on fine node 4 of 6, three cells from the wall.
    EXPECT_EQ(mg.lastSpacing(0), std::make_pair(1.0f, 1.0f));
    EXPECT_EQ(mg.lastSpacing(1), std::make_pair(1.0f, 2.0f));
    EXPECT_EQ(mg.lastSpacing(2), std::make_pair(3.0f, 2.0f));

    mg.resize(3, 3);
    EXPECT_EQ(mg.levelCount(), 1);
    mg.resize(1024 + 2, 1024 + 2);
    EXPECT_EQ(mg.levelCount(), 11);
    EXPECT_EQ(mg.levelWidth(10), 3u);
    mg.resize(1000 + 2, 1 + 2);
    EXPECT_EQ(mg.levelCount(), 10);
    EXPECT_EQ(mg.levelHeight(9), 3u);
}

struct Size {
    uint32_t n, m;  // interior
};

TEST(MultigridTest, ReachesTheToleranceWithinTenCyclesForAnySize) {
    const Size sizes[] = {{1, 1},    {1, 2},    {2, 1},   {2, 2},   {3, 3},     {1, 9},
                          {9, 1},    {3, 17},   {5, 9},   {16, 16}, {17, 33},   {64, 63},
                          {100, 37}, {37, 100}, {1, 300}, {300, 2}, {255, 256}, {513, 129}};
    for (const Size s : sizes) {
        MultigridSolver mg;
        mg.resize(s.n + 2, s.m + 2);
        FloatGrid b(s.n + 2, s.m + 2), x(s.n + 2, s.m + 2);
        divergenceOfRandomFlow(b, s.n * 1000 + s.m);
        int iterations = 0;
        const float err = mg.solve(x, b, iterations, 10, 0.01f, nullptr);
        EXPECT_LE(err, 0.01f) << s.n << "x" << s.m;
        EXPECT_GE(iterations, 1) << s.n << "x" << s.m;
        EXPECT_LE(iterations, 10) << s.n << "x" << s.m;
        EXPECT_LE(residualNorm(x, b), 0.01 + 1e-5) << s.n << "x" << s.m;
    }
}

TEST(MultigridTest, EveryCycleCutsTheResidualManyTimes) {
    // A V(2,2) cycle with a consistent coarse-grid correction reduces the residual of this
    // problem about 50 to 100 times; a broken transfer near the far walls (where odd sizes put
    // the non-uniform spacing) still converges, but several times more slowly.
    const Size sizes[] = {{63, 47}, {100, 37}, {17, 33}, {255, 256}, {3, 1000}, {513, 129}};
    for (const Size s : sizes) {
        MultigridSolver mg;
        mg.resize(s.n + 2, s.m + 2);
        FloatGrid b(s.n + 2, s.m + 2), x(s.n + 2, s.m + 2);
        divergenceOfRandomFlow(b, s.n + s.m);
        float previous = infinityNorm(b);
        for (int cycles = 1; cycles <= 3; ++cycles) {
            int iterations = 0;
            const float err = mg.solve(x, b, iterations, cycles, 0.0f, nullptr);
            ASSERT_EQ(iterations, cycles);
            EXPECT_LT(err, previous / 25.0f) << s.n << "x" << s.m << " cycle " << cycles;
            previous = err;
        }
    }
}

TEST(MultigridTest, ReachesTheToleranceAtFullSize) {
    MultigridSolver mg;
    mg.resize(1026, 1026);
    FloatGrid b(1026, 1026), x(1026, 1026);
    divergenceOfRandomFlow(b, 77);
    int iterations = 0;
    const float err = mg.solve(x, b, iterations, 10, 0.01f, nullptr);
    EXPECT_LE(err, 0.01f);
    EXPECT_LE(iterations, 10);
    EXPECT_LE(residualNorm(x, b), 0.01 + 1e-5);
}

TEST(MultigridTest, RecoversAManufacturedSolution) {
    for (const Size s : {Size{63, 47}, Size{40, 40}, Size{31, 2}}) {
        const uint32_t w = s.n + 2, h = s.m + 2;
        // A smooth pressure with non-zero walls (held in the border), its right-hand side by the
        // operator itself.
        FloatGrid exact(w, h), b(w, h), x(w, h);
        for (uint32_t j = 0; j < h; ++j)
            for (uint32_t i = 0; i < w; ++i)
                exact(i, j) = float(std::sin(0.11 * i) * std::cos(0.07 * j) + 0.3);
        for (uint32_t j = 1; j + 1 < h; ++j)
            for (uint32_t i = 1; i + 1 < w; ++i)
                b(i, j) = float(4.0 * exact(i, j) - (double(exact(i - 1, j)) + exact(i + 1, j) +
                                                     exact(i, j - 1) + exact(i, j + 1)));
        for (uint32_t i = 0; i < w; ++i)
            x(i, 0) = exact(i, 0), x(i, h - 1) = exact(i, h - 1);
        for (uint32_t j = 0; j < h; ++j)
            x(0, j) = exact(0, j), x(w - 1, j) = exact(w - 1, j);

        MultigridSolver mg;
        mg.resize(w, h);
        int iterations = 0;
        const float err = mg.solve(x, b, iterations, 10, 1e-6f, nullptr);
        EXPECT_LE(err, 2e-6f) << s.n << "x" << s.m;
        double worst = 0.0;
        for (uint32_t j = 0; j < h; ++j)
            for (uint32_t i = 0; i < w; ++i)
                worst = std::max(worst, std::fabs(double(x(i, j)) - exact(i, j)));
        EXPECT_LT(worst, 1e-3) << s.n << "x" << s.m;
    }
}

TEST(MultigridTest, AlreadyConvergedRunsNoCycleAndZeroesThePressure) {
    MultigridSolver mg;
    mg.resize(20, 30);
    FloatGrid b(20, 30), x(20, 30);
    randomize(b, 3, 0.004f);
    randomize(x, 4);
    int iterations = 5;
    const float err = mg.solve(x, b, iterations, 10, 0.005f, nullptr);
    EXPECT_EQ(err, infinityNorm(b));
    EXPECT_EQ(iterations, 0);
    for (uint64_t i = 0; i < x.count(); ++i)
        ASSERT_EQ(x[i], 0.0f) << i;
}

TEST(MultigridTest, SingleCellIsSolvedByOneSweep) {
    MultigridSolver mg;
    mg.resize(3, 3);
    FloatGrid b(3, 3), x(3, 3);
    x.fill(0.5f);  // wall values
    b(1, 1) = 1.0f;
    int iterations = 0;
    const float err = mg.solve(x, b, iterations, 10, 0.01f, nullptr);
    EXPECT_EQ(iterations, 1);
    EXPECT_EQ(x(1, 1), 0.75f);  // (1 + 4·0.5) / 4
    EXPECT_EQ(err, 0.0f);
    EXPECT_EQ(x(0, 1), 0.5f);
}

TEST(MultigridTest, ThirdRiseOfTheResidualThrows) {
    // Asked for an exact solution, multigrid converges to the rounding floor of single
    // precision, where the residual norm wanders up and down; the third rise ends the solve.
    MultigridSolver mg;
    mg.resize(34, 34);
    FloatGrid b(34, 34), x(34, 34);
    divergenceOfRandomFlow(b, 5);
    test::freshLog();
    int iterations = 0;
    EXPECT_THROW(mg.solve(x, b, iterations, 1000, 0.0f, nullptr), SolverDivergenceException);
    const int cycles = iterations;
    EXPECT_GT(cycles, 3);
    EXPECT_LT(cycles, 1000);
    EXPECT_TRUE(test::logHasLine("MG: bad convergence, aborting"));
    int rises = 0;
    for (const std::string& line : test::logLines())
        if (line.find("] MG #") != std::string::npos) ++rises;
    EXPECT_EQ(rises, 3);

    // The same solve allowed exactly those cycles sees only two rises and returns.
    test::freshLog();
    iterations = 0;
    EXPECT_NO_THROW(mg.solve(x, b, iterations, cycles, 0.0f, nullptr));
    EXPECT_EQ(iterations, cycles);
    EXPECT_FALSE(test::logHasLine("MG: bad convergence, aborting"));
    rises = 0;
    for (const std::string& line : test::logLines())
        if (line.find("] MG #") != std::string::npos) ++rises;
    EXPECT_EQ(rises, 2);
}

TEST(MultigridTest, SinkAnsweringFalseStopsTheSolve) {
    MultigridSolver mg;
    mg.resize(66, 66);
    FloatGrid b(66, 66), x(66, 66);
    divergenceOfRandomFlow(b, 8);

    // A sink that always continues sees the cycle count against the expected count.
    RecordingSink patient(1 << 30);
    int iterations = 7;
    float err = mg.solve(x, b, iterations, 10, 1e-4f, &patient);
    EXPECT_LE(err, 1e-4f);
    ASSERT_FALSE(patient.calls.empty());
    EXPECT_EQ(patient.calls.front(), std::make_pair(0, 7));
    for (const auto& [done, total] : patient.calls) {
        EXPECT_LE(done, iterations);
        EXPECT_EQ(total, std::max(done + 1, 7));
    }

    // Stopping inside the second cycle: the first one counts, the second does not.
    test::freshLog();
    const int perCycle = int(patient.calls.size()) / (iterations);
    RecordingSink impatient(perCycle + 1);
    randomize(x, 2);
    iterations = 0;
    err = mg.solve(x, b, iterations, 10, 1e-4f, &impatient);
    EXPECT_EQ(iterations, 1);
    EXPECT_TRUE(test::logHasLine("Solver aborted!"));
    EXPECT_GT(err, 1e-4f);
    EXPECT_TRUE(std::isfinite(err));
}

TEST(MultigridTest, RefusesGridsOfAnotherSize) {
    MultigridSolver mg;
    FloatGrid b(10, 10), x(10, 10), other(10, 12);
    int iterations = 0;
    EXPECT_THROW(mg.solve(x, b, iterations, 10, 0.01f, nullptr), Exception);  // never sized
    mg.resize(10, 10);
    x.fill(2.0f);
    EXPECT_THROW(mg.solve(other, b, iterations, 10, 0.01f, nullptr), Exception);
    EXPECT_THROW(mg.solve(x, other, iterations, 10, 0.01f, nullptr), Exception);
    for (uint64_t i = 0; i < x.count(); ++i)
        ASSERT_EQ(x[i], 2.0f);
}

}  // namespace
}  // namespace skv
