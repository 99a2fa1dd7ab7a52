// Properties of whole simulations on the fast solver.
#include "solver/fast_solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/reference_scenes.h"
#include "engine/simulation.h"
#include "grid_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

bool allFinite(const FloatGrid& g) {
    for (uint64_t i = 0; i < g.count(); ++i)
        if (!std::isfinite(g[i])) return false;
    return true;
}

// A plume mirror-symmetric about the centre column stays so. The padded width is odd, so the
// mirror image of a red cell is red and the red-black sweeps visit the two halves alike; the
// open domain uses SOR (multigrid's last-column treatment lies on one side only). What is left
// is rounding: mirrored sums add the same terms in another order.
// The whole sub-step in a closed box without sources, heat or forces: a swirl carries a smooth
// blob of smoke, the velocity stays divergence-free after every projection, and the smoke's
// total stays within a percent over 100 sub-steps (QUICK's small undershoots are clamped at 0;
// a scheme that does not conserve gains or loses far more).
TEST(FastSolverTest, AClosedBoxConservesDensityAndStaysDivergenceFree) {
    constexpr uint32_t n = 48;
    FastSolver solver;
    ASSERT_TRUE(solver.resize(n, n));
    SimulationParameters p = effectDefaultParameters();
    p.domainOpenness = p.densityDissipation = p.cooling = p.heatDiffusion = 0.0;
    p.gravity = p.buoyancy = 0.0;
    p.pressureTolerance = 1e-4;
    solver.parameters() = p;
    FloatGrid& u = solver.velocityUForTesting();
    FloatGrid& v = solver.velocityVForTesting();
    const float c = n / 2.0f + 1;
    for (uint32_t y = 1; y <= n; ++y)
        for (uint32_t x = 1; x <= n; ++x) {
            const float dx = float(x) - c, dy = float(y) - c, r = std::hypot(dx, dy);
            const float s = r < n * 0.35f ? 0.6f * (1 - r / (n * 0.35f)) : 0.0f;
            u(x, y) = -dy * s;
            v(x, y) = dx * s;
            const float bx = float(x) - (c + 6);
            solver.densityForTesting()(x, y) = 0.6f * std::exp(-(bx * bx + dy * dy) / 72.0f);
        }
    const auto total = [](const FloatGrid& g) {
        double sum = 0;
        for (uint64_t i = 0; i < g.count(); ++i)
            sum += g[i];
        return sum;
    };
    SolverInputs in;
    FloatGrid zero(n + 2, n + 2, 1, true);
    in.density = &zero;  // a differential source of rate 0: transported, nothing added
    solver.setInputs(in);
    const double before = total(solver.density());
    double dt = 0.2;
    for (int step = 0; step < 100; ++step) {
        solver.step(dt, false, nullptr);
        dt = std::min(0.2, solver.computeMaxTimeStep(dt, nullptr));
        const FloatGrid &U = solver.velocityU(), &V = solver.velocityV();
        float worst = 0;
        for (uint32_t y = 2; y + 2 < U.height(); ++y)
            for (uint32_t x = 2; x + 2 < U.width(); ++x)
                worst = std::max(worst, std::fabs(U(x, y) - U(x - 1, y) + V(x, y) - V(x, y - 1)));
        ASSERT_LT(worst, 1e-3f) << "sub-step " << step;
    }
    EXPECT_NEAR(total(solver.density()), before, before * 1e-2);
    EXPECT_TRUE(allFinite(solver.density()));
}

TEST(FastSolverTest, ASymmetricPlumeStaysSymmetricFor50Frames) {
    constexpr uint32_t w = 63, h = 64;  // padded width 65: odd
    Simulation sim;
    sim.parameters() = effectDefaultParameters();
    sim.parameters().pressureTolerance = 1e-5;
    sim.resize(w, h, true);
    const float c = (w + 1) / 2.0f;  // centre column of the padded grid
    paintDisc(sim.inputs().density, c, h - 6.0f, 5, 1.0f);
    paintDisc(sim.inputs().temperature, c, h - 6.0f, 5, 300.0f);
    paintDisc(sim.inputs().temperatureWeight, c, h - 6.0f, 5, 1.0f);
    sim.sources().density = sim.sources().temperature = true;
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    for (int f = 0; f < 50; ++f)
        sim.update(nullptr);
    const FloatGrid& d = *sim.solver()->output(kOutputDensity);
    const FloatGrid& u = *sim.solver()->output(kOutputVelocityU);
    float worstDensity = 0, worstU = 0, peak = 0;
    for (uint32_t y = 1; y <= h; ++y)
        for (uint32_t x = 1; x <= w; ++x) {
            peak = std::max(peak, d(x, y));
            worstDensity = std::max(worstDensity, std::fabs(d(x, y) - d(w + 1 - x, y)));
            // u(x) sits between x and x + 1; its mirror is −u between w − x and w + 1 − x.
            if (x < w) worstU = std::max(worstU, std::fabs(u(x, y) + u(w - x, y)));
        }
    ASSERT_GT(peak, 0.1f) << "the plume exists";
    EXPECT_LT(worstDensity, 1e-3f * peak);
    EXPECT_LT(worstU, 1e-3f);
}

// Every reference scene runs for a while with every field finite, and its frames, evicted
// from a small memory budget to the cache folder, come back finite.
class ReferenceSceneTest : public ::testing::TestWithParam<ReferenceScene> {};

TEST_P(ReferenceSceneTest, StaysFiniteAndEveryFrameIsStored) {
    constexpr uint32_t n = 64;
    constexpr int frames = 60;
    test::TempDir cache;  // outlives the store that writes into it
    Simulation sim;
    sim.parameters() = effectDefaultParameters();
    sim.frameStore().setMemoryBudget(uint64_t(1) << 20);
    sim.resize(n, n, true);
    paintReferenceScene(sim, GetParam());
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    ASSERT_TRUE(sim.frameStore().openCacheDirectory(cache.path(), false, true));
    const int slots[] = {kOutputVelocityU, kOutputVelocityV, kOutputDensity, kOutputTemperature,
                         kOutputFuel,      kOutputRed,       kOutputAlpha,   kOutputTextureU};
    for (int f = 0; f < frames; ++f) {
        sim.update(nullptr);
        for (int slot : slots) {
            const FloatGrid* g = sim.solver()->output(slot);
            ASSERT_TRUE(g && allFinite(*g)) << "frame " << f << " slot " << slot;
        }
    }
    EXPECT_GT(test::maxDifference(*sim.solver()->output(kOutputVelocityV), FloatGrid(n + 2, n + 2)),
              0.0f)
        << "nothing moved";
    EXPECT_EQ(sim.frameCounter(), frames);
    for (int f : {0, 17, frames - 1}) {
        CacheFrameGuard frame(&sim.frameStore(), f, true);
        ASSERT_NE(frame.frame(), nullptr) << f;
        EXPECT_EQ(frame.times().frameIndex(), f);
        for (uint32_t type : {2u, 5u, 6u})  // density and velocity
            ASSERT_TRUE(frame.grid(type) && allFinite(*frame.grid(type))) << f << ": " << type;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, ReferenceSceneTest,
                         ::testing::Values(ReferenceScene::OpenPlume, ReferenceScene::ClosedPlume,
                                           ReferenceScene::Fire, ReferenceScene::Box,
                                           ReferenceScene::MovingBox, ReferenceScene::OxidizedFire,
                                           ReferenceScene::PaintedPlume),
                         [](const auto& scene) {
                             return "Scene" + std::to_string(int(scene.param));
                         });

}  // namespace
}  // namespace skv
