#include "solver/projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/exception.h"
#include "solver/multigrid.h"

namespace skv {
namespace {

constexpr uint32_t kW = 50, kH = 42;  // padded

void randomize(FloatGrid& g, unsigned seed, float amplitude = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

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
        e.clear();
        std::mt19937 rng(seed + 2);
        for (int k = 0; k < 60; ++k)
            e(1 + rng() % (kW - 2), 1 + rng() % (kH - 2)) = 0.5f;
        mask.clear();
        if (obstacles == Obstacles::None) return;
        for (uint32_t y = 10; y < 18; ++y)
            for (uint32_t x = 12; x < 20; ++x)
                mask(x, y) = 1.0f;
        for (uint32_t y = 24; y < 33; ++y)
            for (uint32_t x = 28; x < 37; ++x)
                if (x == 28 || x == 36 || y == 24 || y == 32) mask(x, y) = 1.0f;
        randomize(mu, seed + 3, 0.5f);
        randomize(mv, seed + 4, 0.5f);
    }

    void project(Obstacles obstacles) {
        const bool with = obstacles != Obstacles::None;
        const bool moving = obstacles == Obstacles::Moving;
        skv::project(&multigrid, with ? &mask : nullptr, moving ? &mu : nullptr,
                     moving ? &mv : nullptr, u, v, e, t, d, p, false, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, params, iterations,
                     pressureTime, nullptr);
    }

    bool solid(uint32_t x, uint32_t y) const { return mask(x, y) != 0.0f; }

    // u(i, j) − u(i−1, j) + v(i, j) − v(i, j−1)
    double divergence(uint32_t x, uint32_t y) const {
        return double(u(x, y)) - u(x - 1, y) + double(v(x, y)) - v(x, y - 1);
    }
};

TEST(ProjectionTest, DivergenceEqualsTheScaledSourceForEveryDomainAndObstacle) {
    // For σ = 0 the divergence of a fluid cell becomes dx·e; an open or half-open domain leaks
    // σ·p of it (the pressure equation carries σ on its diagonal). Cells whose faces the wall
    // and obstacle conditions rewrite after the solve are not bound by it: those along the left
    // and bottom walls and those next to a solid.
    for (double openness : {0.0, 1.0, 2.0}) {
        for (Obstacles obstacles : {Obstacles::None, Obstacles::Static, Obstacles::Moving}) {
            Fields f;
            f.params.domainOpenness = openness;
            f.params.cellSize = 0.75;
            f.randomFlow(unsigned(openness * 10) + int(obstacles), obstacles);
            f.project(obstacles);
            const double tolerance = f.params.pressureTolerance;
            int checked = 0;
            for (uint32_t y = 2; y + 1 < kH; ++y)
                for (uint32_t x = 2; x + 1 < kW; ++x) {
                    if (f.solid(x, y) || f.solid(x + 1, y) || f.solid(x - 1, y) ||
                        f.solid(x, y + 1) || f.solid(x, y - 1))
                        continue;
                    const double expected = f.params.cellSize * f.e(x, y) - openness * f.p(x, y);
                    // Rounding of the velocity update grows with the pressure's magnitude.
                    const double slack = 1e-5 * (1.0 + std::fabs(f.p(x, y)));
                    ASSERT_NEAR(f.divergence(x, y), expected, tolerance + slack)
                        << "openness " << openness << ", obstacles " << int(obstacles) << ", cell "
                        << x << "," << y;
                    ++checked;
                }
            EXPECT_GT(checked, int((kW - 3) * (kH - 3)) * 3 / 4);
            EXPECT_EQ(f.params.pressureSolverUsed, openness == 0.0 ? 4u : 1u);
        }
    }
}

TEST(ProjectionTest, ObstacleFacesTakeTheObstacleVelocity) {
    for (Obstacles obstacles : {Obstacles::Static, Obstacles::Moving}) {
        Fields f;
        f.params.domainOpenness = 2.0;
        f.randomFlow(3, obstacles);
        f.project(obstacles);
        const bool moving = obstacles == Obstacles::Moving;
        int faces = 0;
        for (uint32_t y = 1; y + 1 < kH; ++y)
            for (uint32_t x = 1; x + 1 < kW; ++x) {
                const bool here = f.solid(x, y), right = f.solid(x + 1, y), up = f.solid(x, y + 1);
                if (here && !right) {  // solid next to fluid on its right
                    EXPECT_EQ(f.u(x, y), moving ? f.mu(x, y) : 0.0f) << x << "," << y;
                    ++faces;
                }
                if (!here && right) {  // fluid next to solid on its right
                    EXPECT_EQ(f.u(x, y), moving ? f.mu(x + 1, y) : 0.0f) << x << "," << y;
                    ++faces;
                }
                if (here && !up) {
                    EXPECT_EQ(f.v(x, y), moving ? f.mv(x, y) : 0.0f) << x << "," << y;
                    ++faces;
                }
                if (!here && up) {
                    EXPECT_EQ(f.v(x, y), moving ? f.mv(x, y + 1) : 0.0f) << x << "," << y;
                    ++faces;
                }
            }
        EXPECT_GT(faces, 40);
    }
}

TEST(ProjectionTest, SolidCellsCopyFacesOfFluidAsBeforeThePass) {
    // (2, 2) is solid with solid cells to its right and below and fluid above, so its u comes
    // from the cell above — whose own u the pass sets to 0 (solid on its right). Rows may run
    // in any order, so the solid cell reads that face as it was before the pass.
    FloatGrid u(6, 6), v(6, 6), mask(6, 6);
    randomize(u, 1);
    randomize(v, 2);
    mask(2, 2) = mask(3, 2) = mask(2, 1) = mask(3, 3) = 1.0f;
    FloatGrid before(6, 6);
    before.copyFrom(u);
    applyObstacleVelocity(mask, nullptr, nullptr, u, v);
    EXPECT_EQ(u(2, 2), before(2, 3));
    EXPECT_NE(u(2, 2), 0.0f);
    EXPECT_EQ(u(2, 3), 0.0f);  // fluid with a solid right neighbour
    EXPECT_EQ(v(2, 2), 0.0f);  // solid with fluid above
    EXPECT_EQ(u(3, 2), 0.0f);  // solid with fluid on its right
}

TEST(ProjectionTest, WallsLetFluidOutButNotIn) {
    for (float direction : {1.0f, -1.0f}) {
        Fields f;
        f.params.domainOpenness = 0.0;
        f.u.fill(direction);
        f.v.fill(direction);
        f.e.clear();
        f.project(Obstacles::None);
        for (uint32_t y = 1; y + 1 < kH; ++y) {
            // Flow to the right enters through the left wall and leaves through the right one.
            if (direction > 0) {
                EXPECT_EQ(f.u(0, y), 0.0f) << y;
                EXPECT_EQ(f.u(kW - 1, y), f.u(kW - 2, y)) << y;
            } else {
                EXPECT_EQ(f.u(0, y), f.u(1, y)) << y;
                EXPECT_EQ(f.u(kW - 1, y), 0.0f) << y;
            }
            EXPECT_LE(f.u(0, y), 0.0f);
            EXPECT_GE(f.u(kW - 1, y), 0.0f);
        }
        for (uint32_t x = 1; x + 1 < kW; ++x) {
            if (direction > 0) {
                EXPECT_EQ(f.v(x, 0), 0.0f) << x;
                EXPECT_EQ(f.v(x, kH - 1), f.v(x, kH - 2)) << x;
            } else {
                EXPECT_EQ(f.v(x, 0), f.v(x, 1)) << x;
                EXPECT_EQ(f.v(x, kH - 1), 0.0f) << x;
            }
        }
        for (const FloatGrid* g : {&f.u, &f.v}) {
            EXPECT_EQ((*g)(0, 0), 0.0f);
            EXPECT_EQ((*g)(kW - 1, 0), 0.0f);
            EXPECT_EQ((*g)(0, kH - 1), 0.0f);
            EXPECT_EQ((*g)(kW - 1, kH - 1), 0.0f);
        }
    }
}

TEST(ProjectionTest, SolverFollowsTheDomainType) {
    struct Case {
        double openness;
        bool multigrid;
        uint32_t solver;
    };
    for (const Case c :
         {Case{0.0, true, 4}, Case{0.0, false, 1}, Case{1.0, true, 1}, Case{2.0, true, 1}}) {
        Fields f;
        f.params.domainOpenness = c.openness;
        f.params.pressureIterations = 8;  // never limits multigrid
        f.params.pressureTolerance = 1e-5;
        f.randomFlow(9, Obstacles::None);
        skv::project(c.multigrid ? &f.multigrid : nullptr, nullptr, nullptr, nullptr, f.u, f.v, f.e,
                     f.t, f.d, f.p, false, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, f.params, f.iterations, f.pressureTime, nullptr);
        EXPECT_EQ(f.params.pressureSolverUsed, c.solver) << c.openness;
        if (c.solver == 4) {
            EXPECT_GT(f.iterations, 0);
            EXPECT_LE(f.iterations, kProjectionMultigridCycles);
        } else {
            EXPECT_EQ(f.iterations, 8);  // the sweep limit with an unreachable tolerance
        }
        EXPECT_GT(f.pressureTime, 0.0);
    }
}

TEST(ProjectionTest, ConvergedInputStillCorrectsTheVelocity) {
    // A divergence within the tolerance: SOR does no sweep, leaves p = (1.4/6)·d, and the
    // velocity is corrected with that pressure.
    Fields f;
    f.params.domainOpenness = 2.0;
    randomize(f.u, 4, 0.001f);
    f.v.clear();
    f.e.clear();
    FloatGrid u0(kW, kH);
    u0.copyFrom(f.u);
    f.project(Obstacles::None);
    EXPECT_EQ(f.iterations, 0);
    const float factor = 1.4f / 6.0f;
    int moved = 0;
    for (uint32_t y = 2; y + 2 < kH; ++y)
        for (uint32_t x = 2; x + 2 < kW; ++x) {
            ASSERT_EQ(f.p(x, y), factor * f.d(x, y));
            ASSERT_EQ(f.u(x, y), u0(x, y) - (f.p(x + 1, y) - f.p(x, y))) << x << "," << y;
            if (f.u(x, y) != u0(x, y)) ++moved;
        }
    EXPECT_GT(moved, 100);
}

TEST(ProjectionTest, NonFiniteSolveIsAFloatingPointError) {
    for (double openness : {0.0, 2.0}) {
        for (float bad :
             {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
            Fields f;
            f.params.domainOpenness = openness;
            f.randomFlow(5, Obstacles::None);
            f.e(20, 20) = bad;
            try {
                f.project(Obstacles::None);
                FAIL() << "no exception for " << bad << " with openness " << openness;
            } catch (const SolverDivergenceException&) {
                FAIL() << "a floating point error is not a divergence";
            } catch (const Exception& e) {
                EXPECT_EQ(e.message(), "Floating point error during linear solving");
            }
            EXPECT_GT(f.pressureTime, 0.0);
        }
    }
    // An infinite error without any NaN: SOR allowed no sweep returns the norm of d.
    Fields f;
    f.params.domainOpenness = 2.0;
    f.params.pressureIterations = 0;
    f.randomFlow(5, Obstacles::None);
    f.e(20, 20) = std::numeric_limits<float>::infinity();
    try {
        f.project(Obstacles::None);
        FAIL() << "no exception for an infinite error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Floating point error during linear solving");
    }
    EXPECT_EQ(f.iterations, 0);
}

TEST(ProjectionTest, RefusesTheDevicePathWithoutDeviceGridsAndMismatchedGrids) {
    Fields f;
    f.randomFlow(6, Obstacles::None);
    FloatGrid u0(kW, kH);
    u0.copyFrom(f.u);
    try {
        skv::project(&f.multigrid, nullptr, nullptr, nullptr, f.u, f.v, f.e, f.t, f.d, f.p, true,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, f.params, f.iterations, f.pressureTime, nullptr);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Projection on the device without its grids");
    }
    FloatGrid small(kW - 1, kH);
    EXPECT_THROW(
        skv::project(&f.multigrid, nullptr, nullptr, nullptr, f.u, f.v, small, f.t, f.d, f.p, false,
                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, f.params, f.iterations, f.pressureTime, nullptr),
        Exception);
    for (uint64_t i = 0; i < u0.count(); ++i)
        ASSERT_EQ(f.u[i], u0[i]);
}

}  // namespace
}  // namespace skv
