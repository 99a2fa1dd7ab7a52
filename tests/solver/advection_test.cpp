#include "solver/advection.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

#include "engine/reference_scenes.h"
#include "grid_test_support.h"

namespace skv {
namespace {

using test::randomize;
using test::randomMask;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const int kSizes[][2] = {{3, 3}, {4, 4}, {5, 6}, {9, 7}, {37, 23}, {150, 121}};

double interiorSum(const FloatGrid& g) {
    double sum = 0;
    for (uint32_t y = 1; y + 1 < g.height(); ++y)
        for (uint32_t x = 1; x + 1 < g.width(); ++x)
            sum += g(x, y);
    return sum;
}

TEST(AdvectionTest, ScalarFieldsStayInTheirRanges) {
    const uint32_t W = 34, H = 27;
    const float heat = 800.0f, big = std::numeric_limits<float>::max();
    struct Range {
        ScalarRule rule;
        float lo, hi, bound;
    } const ranges[] = {{ScalarRule::fuel(), 0.0f, 3.0f, big},
                        {ScalarRule::density(0.05f), 0.0f, 1.5f, 1.5f},
                        {ScalarRule::textureCoordinate(), 0.0f, 1.0f, 1.0f},
                        {ScalarRule::temperature(100.0f, heat, 0.3f), -273.0f, heat, heat}};
    std::mt19937 rng(2);
    for (const Range& r : ranges)
        for (int variant = 0; variant < 4; ++variant) {
            const bool solid = variant & 1, withSource = variant & 2;
            FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H), s(W, H);
            randomMask(q, rng(), 0.3f);  // sharp spikes make QUICK over- and undershoot
            for (uint64_t i = 0; i < q.count(); ++i)
                q[i] = r.lo + q[i] * (r.hi - r.lo);
            randomMask(m, rng(), 0.15f);
            randomize(s, rng(), -2.0f, 2.0f);
            float dtPrev = 0.0f;
            for (int step = 0; step < 30; ++step) {
                const float dt = step % 3 == 0 ? 0.3f : 0.2f;
                randomize(u, rng(), -2.0f, 2.0f);
                randomize(v, rng(), -2.0f, 2.0f);
                advectScalar(q, out, prev, u, v, solid ? &m : nullptr, withSource ? &s : nullptr,
                             r.rule, 1.0f, dt, dtPrev);
                for (uint32_t y = 1; y + 1 < H; ++y)
                    for (uint32_t x = 1; x + 1 < W; ++x) {
                        ASSERT_GE(out(x, y), r.lo) << "range " << r.lo << " step " << step;
                        ASSERT_LE(out(x, y), r.bound) << "range " << r.lo << " step " << step;
                    }
                swap(q, out);
                dtPrev = dt;
            }
        }
}

// A linear field in uniform velocity with a uniform source has the rate
// −rdx·(u·∂q/∂x + v·∂q/∂y) + s wherever both faces of a cell are QUICK faces (QUICK is exact for
// it); the step is forward Euler without a previous step and Adams–Bashforth with the ratio of
// the steps otherwise.
TEST(AdvectionTest, TimeIntegrationIsEulerFirstThenVariableStepAdamsBashforth) {
    const uint32_t W = 12, H = 10;
    const float a = 0.5f, b = 0.0625f, c = -0.03125f, dt = 0.3f, rdx = 0.5f;
    unsigned seed = 3;
    for (float u0 : {0.75f, -0.5f, 0.0f})
        for (float v0 : {-0.25f, 1.0f})
            for (float dtPrev : {0.0f, 0.2f, 0.45f})
                for (float source : {0.0f, 0.75f}) {
                    FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), s(W, H), old(W, H);
                    for (uint32_t i = 0; i < q.count(); ++i)
                        q[i] = a + b * float(i % W) + c * float(i / W);
                    u.fill(u0);
                    v.fill(v0);
                    s.fill(source);
                    randomize(prev, ++seed, -5.0f, 5.0f);
                    old.copyFrom(prev);
                    advectScalar(q, out, prev, u, v, nullptr, source != 0.0f ? &s : nullptr,
                                 ScalarRule::clamped(ScalarExtra::None, -FLT_MAX, FLT_MAX), rdx, dt,
                                 dtPrev);
                    const double rate = -rdx * (u0 * b + v0 * c) + source;
                    for (uint32_t y = 2; y + 2 < H; ++y)
                        for (uint32_t x = 2; x + 2 < W; ++x) {
                            const double expected =
                                dtPrev > 0 ? q(x, y) + dt / dtPrev *
                                                           ((dtPrev + 0.5 * dt) * rate -
                                                            0.5 * dt * old(x, y))
                                           : q(x, y) + dt * rate;
                            ASSERT_NEAR(out(x, y), expected, 2e-6) << x << "," << y;
                            ASSERT_NEAR(prev(x, y), rate, 1e-6) << x << "," << y;
                        }
                }
}

// A divergence-free velocity from a stream function that vanishes on the walls (and on every
// obstacle cell's corners), so no face through which the scalar could leave carries flow.
void closedBoxFlow(FloatGrid& u, FloatGrid& v, const FloatGrid* obstacle) {
    const uint32_t W = u.width(), H = u.height();
    const auto psi = [&](int x, int y) -> double {  // at the corner (x + ½, y + ½)
        if (x <= 0 || y <= 0 || x >= int(W) - 2 || y >= int(H) - 2) return 0.0;
        if (obstacle)
            for (int dy = 0; dy <= 1; ++dy)
                for (int dx = 0; dx <= 1; ++dx)
                    if ((*obstacle)(x + dx, y + dy) != 0.0f) return 0.0;
        const double sx = std::sin(M_PI * x / (W - 2)), sy = std::sin(M_PI * y / (H - 2));
        return 9.0 * sx * sx * sy * std::sin(3.0 * M_PI * x / (W - 2));
    };
    u.clear();
    v.clear();
    for (int y = 0; y <= int(H) - 2; ++y)
        for (int x = 0; x <= int(W) - 2; ++x) {
            if (y >= 1) u(x, y) = float(psi(x, y) - psi(x, y - 1));
            if (x >= 1) v(x, y) = float(psi(x - 1, y) - psi(x, y));
        }
}

TEST(AdvectionTest, FluxFormConservesTheTotalInAClosedBox) {
    const uint32_t W = 46, H = 38;
    for (bool solid : {false, true}) {
        FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H), initial(W, H);
        if (solid) paintDisc(m, 14.0f, 17.0f, 4.0f, 1.0f);
        closedBoxFlow(u, v, solid ? &m : nullptr);
        randomize(q, 5, 0.3f, 0.9f);
        q.setBorder(0.0f);  // as the solver keeps it; no flow crosses the walls
        const double total = interiorSum(q);
        initial.copyFrom(q);
        float dtPrev = 0.0f;
        for (int step = 0; step < 40; ++step) {
            const float dt = step % 2 ? 0.05f : 0.04f;
            advectScalar(q, out, prev, u, v, solid ? &m : nullptr, nullptr,
                         ScalarRule::density(0.0f), 1.0f, dt, dtPrev);
            swap(q, out);
            q.setBorder(0.0f);
            dtPrev = dt;
        }
        EXPECT_NEAR(interiorSum(q), total, 1e-6 * total) << (solid ? "with obstacle" : "open box");
        double change = 0;  // the flow did move the scalar
        for (uint32_t i = 0; i < q.count(); ++i)
            change += std::abs(q[i] - initial[i]);
        EXPECT_GT(change, 0.01 * total);
    }
}

// Uniform flow carrying a component that grows linearly across it: the carried rate is
// −rdx·carrier·slope where no stencil node is substituted, the other one 0; with no slope the
// flow is steady everywhere, at every size.
TEST(AdvectionTest, UniformFlowIsSteadyAndTransportsALinearProfile) {
    const float rdx = 0.5f;
    for (const auto& size : kSizes)
        for (float slope : {0.0f, 0.125f})
            for (float carrier : {0.75f, -1.5f})
                for (int variant = 0; variant < 4; ++variant) {
                    const bool alongX = variant & 1, solid = variant & 2;
                    const uint32_t W = size[0], H = size[1];
                    FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H);
                    for (uint32_t y = 0; y < H; ++y)
                        for (uint32_t x = 0; x < W; ++x) {
                            (alongX ? u : v)(x, y) = carrier;
                            (alongX ? v : u)(x, y) = 0.5f + slope * (alongX ? x : y);
                        }
                    dudt.fill(kNaN);
                    dvdt.fill(kNaN);
                    advectVelocity(u, v, dudt, dvdt, solid ? &m : nullptr, rdx);
                    const FloatGrid& carried = alongX ? dvdt : dudt;
                    const FloatGrid& other = alongX ? dudt : dvdt;
                    const uint32_t edge = slope == 0.0f ? 1 : 2;
                    for (uint32_t y = edge; y + edge + (edge - 1) < H; ++y)
                        for (uint32_t x = edge; x + edge + (edge - 1) < W; ++x) {
                            ASSERT_NEAR(carried(x, y), -rdx * carrier * slope, 1e-6f)
                                << W << "x" << H << " at " << x << "," << y;
                            ASSERT_EQ(other(x, y), 0.0f)
                                << W << "x" << H << " at " << x << "," << y;
                        }
                }
}

// Whole-cell motion moves the colour exactly; any motion keeps it within the input range.
TEST(AdvectionTest, ColourMovesByWholeCellsExactlyAndStaysWithinTheInputRange) {
    unsigned seed = 14;
    for (const auto& size : kSizes)
        for (bool wholeCells : {true, false}) {
            const uint32_t W = size[0], H = size[1];
            FloatGrid c(W, H), out(W, H), u(W, H), v(W, H), xd(W, H), yd(W, H);
            randomize(c, ++seed, 0.2f, 0.7f);
            randomize(u, ++seed, wholeCells ? 2.0f : -3.0f, wholeCells ? 2.0f : 3.0f);
            randomize(v, ++seed, wholeCells ? 2.0f : -3.0f, wholeCells ? 2.0f : 3.0f);
            computeDeparturePoints(u, v, xd, yd, 0.5f, 1.0f);  // dt·2 = one cell right and down
            advectColor(c, out, xd, yd);
            for (uint32_t y = 1; y + 1 < H; ++y)
                for (uint32_t x = 1; x + 1 < W; ++x) {
                    if (wholeCells) {
                        ASSERT_EQ(out(x, y), c(x - 1, y - 1)) << x << "," << y;
                    }
                    ASSERT_GE(out(x, y), 0.2f - 1e-6f);
                    ASSERT_LE(out(x, y), 0.7f + 1e-6f);
                }
        }
}

}  // namespace
}  // namespace skv
