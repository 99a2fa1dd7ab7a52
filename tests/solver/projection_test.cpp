#include "solver/projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "engine/reference_scenes.h"
#include "grid_test_support.h"
#include "platform/exception.h"
#include "solver/multigrid.h"

namespace skv {
namespace {

using test::randomize;
constexpr uint32_t kW = 50, kH = 42;  // padded

enum class Obstacles { None, Static, Moving };

// The grids of one projection, as the fast solver holds them.
struct Fields {
    FloatGrid u{kW, kH}, v{kW, kH}, e{kW, kH}, t{kW, kH}, d{kW, kH}, p{kW, kH};
    FloatGrid mask{kW, kH}, mu{kW, kH}, mv{kW, kH};
    SimulationParameters params;
    MultigridSolver multigrid;
    int iterations = 0;
    double pressureTime = 0.0;

    Fields() { multigrid.resize(kW, kH); }

    // Random flow, a divergence source on some cells, and optionally two obstacles: a block
    // and a ring (fluid inside solid).
    void randomFlow(unsigned seed, Obstacles obstacles) {
        randomize(u, seed);
        randomize(v, seed + 1);
        std::mt19937 rng(seed + 2);
        for (int k = 0; k < 60; ++k)
            e(1 + rng() % (kW - 2), 1 + rng() % (kH - 2)) = 0.5f;
        if (obstacles == Obstacles::None) return;
        paintDisc(mask, 15.5f, 13.5f, 4.0f, 1.0f);
        paintDisc(mask, 32.0f, 28.0f, 4.5f, 1.0f);
        paintDisc(mask, 32.0f, 28.0f, 3.4f, 0.0f);
        randomize(mu, seed + 3, -0.5f, 0.5f);
        randomize(mv, seed + 4, -0.5f, 0.5f);
    }

    // Every projection of these tests goes through here.
    void project(Obstacles obstacles = Obstacles::None, bool withMultigrid = true,
                 const FloatGrid* source = nullptr) {
        const bool with = obstacles != Obstacles::None;
        const bool moving = obstacles == Obstacles::Moving;
        skv::project(ProjectionGrids<FloatGrid>{.u = u,
                                                .v = v,
                                                .e = source ? *source : e,
                                                .d = d,
                                                .p = p,
                                                .t = t,
                                                .obstacle = with ? &mask : nullptr,
                                                .obstacleU = moving ? &mu : nullptr,
                                                .obstacleV = moving ? &mv : nullptr},
                     ProjectionRun{.params = params,
                                   .iterations = iterations,
                                   .seconds = pressureTime,
                                   .multigrid = withMultigrid ? &multigrid : nullptr});
    }

    bool solid(uint32_t x, uint32_t y) const { return mask(x, y) != 0.0f; }
};

// For σ = 0 the divergence of a fluid cell becomes dx·e; an open or half-open domain leaks σ·p
// of it (the pressure equation carries σ on its diagonal). Cells whose faces the wall and
// obstacle conditions rewrite after the solve are not bound by it: those along the left and
// bottom walls and those next to a solid, whose faces take the obstacle's velocity instead.
TEST(ProjectionTest, DivergenceEqualsTheScaledSourceAndObstacleFacesMoveWithTheObstacle) {
    for (double openness : {0.0, 1.0, 2.0}) {
        for (Obstacles obstacles : {Obstacles::None, Obstacles::Static, Obstacles::Moving}) {
            SCOPED_TRACE(testing::Message()
                         << "openness " << openness << ", obstacles " << int(obstacles));
            Fields f;
            f.params.domainOpenness = openness;
            f.params.cellSize = 0.75;
            f.randomFlow(unsigned(openness * 10) + int(obstacles), obstacles);
            f.project(obstacles);
            EXPECT_EQ(f.params.pressureSolverUsed, openness == 0.0 ? 4u : 1u);
            EXPECT_LE(f.iterations, openness == 0.0 ? kProjectionMultigridCycles : 1000);
            EXPECT_GT(f.pressureTime, 0.0);
            const bool moving = obstacles == Obstacles::Moving;
            int checked = 0, faces = 0;
            for (uint32_t y = 1; y + 1 < kH; ++y)
                for (uint32_t x = 1; x + 1 < kW; ++x) {
                    const bool here = f.solid(x, y), right = f.solid(x + 1, y);
                    const bool up = f.solid(x, y + 1);
                    if (here != right) {  // the solid side's velocity
                        ASSERT_EQ(f.u(x, y), moving ? f.mu(here ? x : x + 1, y) : 0.0f);
                        ++faces;
                    }
                    if (here != up) {
                        ASSERT_EQ(f.v(x, y), moving ? f.mv(x, here ? y : y + 1) : 0.0f);
                        ++faces;
                    }
                    if (x < 2 || y < 2 || here || right || up || f.solid(x - 1, y) ||
                        f.solid(x, y - 1))
                        continue;
                    const double div =
                        double(f.u(x, y)) - f.u(x - 1, y) + double(f.v(x, y)) - f.v(x, y - 1);
                    const double expected = f.params.cellSize * f.e(x, y) - openness * f.p(x, y);
                    // Rounding of the velocity update grows with the pressure's magnitude.
                    const double slack = 1e-5 * (1.0 + std::fabs(f.p(x, y)));
                    ASSERT_NEAR(div, expected, f.params.pressureTolerance + slack)
                        << "cell " << x << "," << y;
                    ++checked;
                }
            EXPECT_GT(checked, int((kW - 3) * (kH - 3)) * 3 / 4);
            EXPECT_TRUE(obstacles == Obstacles::None || faces > 40) << faces;
        }
    }
}

TEST(ProjectionTest, WallsLetFluidOutButNotIn) {
    for (float direction : {1.0f, -1.0f}) {
        Fields f;
        f.params.domainOpenness = 0.0;
        f.u.fill(direction);
        f.v.fill(direction);
        f.project();
        const bool right = direction > 0;
        for (uint32_t y = 1; y + 1 < kH; ++y) {
            EXPECT_EQ(f.u(0, y), right ? 0.0f : f.u(1, y)) << y;
            EXPECT_EQ(f.u(kW - 1, y), right ? f.u(kW - 2, y) : 0.0f) << y;
        }
        for (uint32_t x = 1; x + 1 < kW; ++x) {
            EXPECT_EQ(f.v(x, 0), right ? 0.0f : f.v(x, 1)) << x;
            EXPECT_EQ(f.v(x, kH - 1), right ? f.v(x, kH - 2) : 0.0f) << x;
        }
        for (const FloatGrid* g : {&f.u, &f.v})
            for (uint32_t y : {0u, kH - 1})
                for (uint32_t x : {0u, kW - 1})
                    EXPECT_EQ((*g)(x, y), 0.0f) << "corner " << x << "," << y;
    }
}

TEST(ProjectionTest, ClosedDomainWithoutMultigridUsesSorUpToItsSweepLimit) {
    Fields f;
    f.params.domainOpenness = 0.0;
    f.params.pressureIterations = 8;
    f.params.pressureTolerance = 1e-5;
    f.randomFlow(9, Obstacles::None);
    f.project(Obstacles::None, false);
    EXPECT_EQ(f.params.pressureSolverUsed, 1u);
    EXPECT_EQ(f.iterations, 8);
}

TEST(ProjectionTest, NonFiniteSolveIsAFloatingPointErrorNotADivergence) {
    for (double openness : {0.0, 2.0}) {
        Fields f;
        f.params.domainOpenness = openness;
        f.randomFlow(5, Obstacles::None);
        f.e(20, 20) = std::numeric_limits<float>::quiet_NaN();
        try {
            f.project();
            ADD_FAILURE() << "no exception with openness " << openness;
        } catch (const SolverDivergenceException&) {
            ADD_FAILURE() << "a floating point error is not a divergence";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), "Floating point error during linear solving");
        }
    }
}

TEST(ProjectionTest, RefusesMismatchedGrids) {
    Fields f;
    f.randomFlow(6, Obstacles::None);
    FloatGrid u0(kW, kH), small(kW - 1, kH);
    u0.copyFrom(f.u);
    EXPECT_THROW(f.project(Obstacles::None, true, &small), Exception);
    EXPECT_TRUE(test::sameBits(f.u, u0));
}

}  // namespace
}  // namespace skv
