#include "solver/advection.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/advection_cells.h"

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void fillRandom(FloatGrid& g, std::mt19937& rng, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = d(rng);
}

// Obstacle mask with about `share` of the cells solid (value 1).
void fillMask(FloatGrid& m, std::mt19937& rng, double share) {
    std::bernoulli_distribution solid(share);
    for (uint64_t i = 0; i < m.count(); ++i)
        m[i] = solid(rng) ? 1.0f : 0.0f;
}

bool interior(const FloatGrid& g, int x, int y) {
    return x >= 1 && y >= 1 && x <= int(g.width()) - 2 && y <= int(g.height()) - 2;
}

// The grid in rows of a pitch larger than its width, the padding NaN: a per-cell function
// that reads past the end of a row yields NaN.
struct Pitched {
    int p;
    std::vector<float> v;
    explicit Pitched(const FloatGrid& g) : p(int(g.width()) + 5), v(size_t(p) * g.height(), kNaN) {
        for (uint32_t y = 0; y < g.height(); ++y)
            for (uint32_t x = 0; x < g.width(); ++x)
                v[size_t(y) * p + x] = g(x, y);
    }
    const float* data() const { return v.data(); }
    float at(int x, int y) const { return v[size_t(y) * p + x]; }
};

// The smallest grids have no QUICK faces at all; the largest is split over threads.
const int kSizes[][2] = {{3, 3}, {4, 4}, {5, 6}, {9, 7}, {37, 23}, {150, 121}};

// --- QUICK face ----------------------------------------------------------------------------

TEST(AdvectionTest, QuickFaceInterpolatesFromTheUpwindSide) {
    struct Case {
        float f, am, a, b, bp;
    };
    const Case cases[] = {{0.7f, 0.3f, -1.2f, 2.5f, 9.0f},    {0.0f, 0.3f, -1.2f, 2.5f, 9.0f},
                          {-0.3f, 0.3f, -1.2f, 2.5f, 9.0f},   {-0.0f, 4.0f, 1.0f, -2.0f, 0.5f},
                          {-1e-20f, 4.0f, 1.0f, -2.0f, 0.5f}, {3.0f, 1.0f, 1.0f, 1.0f, 1.0f}};
    for (const Case& c : cases) {
        const double expected = c.f >= 0 ? -0.125 * c.am + 0.75 * c.a + 0.375 * c.b
                                         : -0.125 * c.bp + 0.75 * c.b + 0.375 * c.a;
        EXPECT_NEAR(quickFace(c.f, c.am, c.a, c.b, c.bp), expected, 1e-6) << c.f;
    }
    // Exact for quadratics on either side: s² at nodes -1, 0, 1, 2 is 0.25 at the face 0.5.
    EXPECT_EQ(quickFace(1.0f, 1.0f, 0.0f, 1.0f, 4.0f), 0.25f);
    EXPECT_EQ(quickFace(-1.0f, 1.0f, 0.0f, 1.0f, 4.0f), 0.25f);
}

// --- Scalars ---------------------------------------------------------------------------------

struct NamedRule {
    std::string name;
    ScalarRule rule;
};

std::vector<NamedRule> allRules(float dt) {
    return {{"fuel", ScalarRule::fuel()},
            {"density", ScalarRule::density(0.3f)},
            {"density without dissipation", ScalarRule::density(0.0f)},
            {"temperature", ScalarRule::temperature(500.0f, 1000.0f, dt)},
            {"temperature without cooling", ScalarRule::temperature(0.0f, 1000.0f, dt)},
            {"texture coordinate", ScalarRule::textureCoordinate()}};
}

TEST(AdvectionTest, UniformScalarInUniformVelocityStaysUniform) {
    std::mt19937 rng(1);
    const float dt = 0.4f;
    for (const auto& size : kSizes)
        for (const NamedRule& r : allRules(dt))
            for (bool solid : {false, true})
                for (float u0 : {0.8f, -1.3f}) {
                    const uint32_t W = size[0], H = size[1];
                    const float c = 0.625f;
                    FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H);
                    q.fill(c);
                    u.fill(u0);
                    v.fill(-0.5f * u0);
                    fillMask(m, rng, 0.2);
                    advectScalar(q, out, prev, u, v, solid ? &m : nullptr, nullptr, r.rule, 1.0f,
                                 dt, 0.0f);
                    // Only the field's own term changes a uniform field.
                    const float expected =
                        storeScalar(r.rule, c + dt * withExtraRate(r.rule, 0.0f, c));
                    for (uint32_t y = 1; y + 1 < H; ++y)
                        for (uint32_t x = 1; x + 1 < W; ++x) {
                            const bool moved = !solid || m(x, y) == 0.0f;
                            ASSERT_NEAR(out(x, y), moved ? expected : c, 1e-6f)
                                << r.name << " " << W << "x" << H << " at " << x << "," << y;
                        }
                }
}

TEST(AdvectionTest, ScalarFieldsStayInTheirRanges) {
    std::mt19937 rng(2);
    const uint32_t W = 34, H = 27;
    struct Range {
        std::string name;
        ScalarRule rule;
        float initLo, initHi, lo, hi;
    };
    const float heat = 800.0f;
    const Range ranges[] = {
        {"fuel", ScalarRule::fuel(), 0.0f, 3.0f, 0.0f, std::numeric_limits<float>::max()},
        {"density", ScalarRule::density(0.05f), 0.0f, 1.5f, 0.0f, 1.5f},
        {"texture coordinate", ScalarRule::textureCoordinate(), 0.0f, 1.0f, 0.0f, 1.0f},
        {"temperature", ScalarRule::temperature(100.0f, heat, 0.3f), -273.0f, heat, -273.0f, heat}};
    for (const Range& r : ranges)
        for (bool solid : {false, true})
            for (bool withSource : {false, true}) {
                FloatGrid q(W, H), out(W, H), prev(W, H, 1, true), u(W, H), v(W, H), m(W, H),
                    s(W, H);
                // Sharp spikes make QUICK over- and undershoot.
                std::bernoulli_distribution spike(0.3);
                for (uint64_t i = 0; i < q.count(); ++i)
                    q[i] = spike(rng) ? r.initHi : r.initLo;
                fillMask(m, rng, 0.15);
                fillRandom(s, rng, -2.0f, 2.0f);
                float dtPrev = 0.0f;
                for (int step = 0; step < 30; ++step) {
                    const float dt = step % 3 == 0 ? 0.3f : 0.2f;
                    fillRandom(u, rng, -2.0f, 2.0f);
                    fillRandom(v, rng, -2.0f, 2.0f);
                    advectScalar(q, out, prev, u, v, solid ? &m : nullptr,
                                 withSource ? &s : nullptr, r.rule, 1.0f, dt, dtPrev);
                    for (uint32_t y = 1; y + 1 < H; ++y)
                        for (uint32_t x = 1; x + 1 < W; ++x) {
                            ASSERT_GE(out(x, y), r.lo) << r.name << " step " << step;
                            ASSERT_LE(out(x, y), r.hi) << r.name << " step " << step;
                        }
                    swap(q, out);
                    dtPrev = dt;
                }
            }
}

// A linear field in uniform velocity has the rate −(u·∂q/∂x + v·∂q/∂y) wherever both faces of
// a cell are QUICK faces (QUICK is exact for it); the step is forward Euler without a previous
// step and Adams–Bashforth with the ratio of the steps otherwise.
TEST(AdvectionTest, TimeIntegrationIsEulerFirstThenVariableStepAdamsBashforth) {
    std::mt19937 rng(3);
    const uint32_t W = 12, H = 10;
    const float a = 0.5f, b = 0.0625f, c = -0.03125f;
    for (float u0 : {0.75f, -0.5f})
        for (float v0 : {-0.25f, 1.0f})
            for (float dtPrev : {0.0f, 0.2f, 0.45f}) {
                const float dt = 0.3f, rdx = 0.5f;
                FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H);
                for (uint32_t y = 0; y < H; ++y)
                    for (uint32_t x = 0; x < W; ++x)
                        q(x, y) = a + b * x + c * y;
                u.fill(u0);
                v.fill(v0);
                fillRandom(prev, rng, -5.0f, 5.0f);
                FloatGrid before;
                before.copyFrom(prev);
                advectScalar(q, out, prev, u, v, nullptr, nullptr,
                             ScalarRule::clamped(ScalarExtra::None, -FLT_MAX, FLT_MAX), rdx, dt,
                             dtPrev);
                const double rate = -rdx * (u0 * b + v0 * c);
                for (uint32_t y = 2; y + 2 < H; ++y)
                    for (uint32_t x = 2; x + 2 < W; ++x) {
                        const double old = before(x, y);
                        const double expected =
                            dtPrev > 0 ? q(x, y) + dt / dtPrev *
                                                       ((dtPrev + 0.5 * dt) * rate - 0.5 * dt * old)
                                       : q(x, y) + dt * rate;
                        EXPECT_NEAR(out(x, y), expected, 2e-6) << x << "," << y;
                        EXPECT_NEAR(prev(x, y), rate, 1e-6) << x << "," << y;
                    }
            }
}

// Without motion the rate is the source alone, in every interior cell.
TEST(AdvectionTest, DifferentialSourceIsIntegratedAsARate) {
    std::mt19937 rng(4);
    const uint32_t W = 7, H = 6;
    FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H, 1, true), v(W, H, 1, true), s(W, H);
    fillRandom(q, rng, 0.0f, 1.0f);
    fillRandom(s, rng, 0.0f, 2.0f);
    fillRandom(prev, rng, -1.0f, 1.0f);
    FloatGrid old;
    old.copyFrom(prev);
    const float dt = 0.25f, dtPrev = 0.5f;
    advectScalar(q, out, prev, u, v, nullptr, &s, ScalarRule::fuel(), 1.0f, dt, dtPrev);
    for (uint32_t y = 1; y + 1 < H; ++y)
        for (uint32_t x = 1; x + 1 < W; ++x) {
            const double expected =
                q(x, y) + dt / dtPrev * ((dtPrev + 0.5 * dt) * s(x, y) - 0.5 * dt * old(x, y));
            EXPECT_NEAR(out(x, y), std::max(expected, 0.0), 1e-6);
            EXPECT_EQ(prev(x, y), s(x, y));
        }
}

// A divergence-free velocity from a stream function that vanishes on the walls (and on every
// obstacle cell's corners), so no face through which the scalar could leave carries flow.
void closedBoxFlow(FloatGrid& u, FloatGrid& v, const FloatGrid* obstacle) {
    const uint32_t W = u.width(), H = u.height();
    // psi at the corner (x + ½, y + ½), x, y = 0 … W−2, H−2; the walls are x = 0 and W − 2.
    const auto psi = [&](int x, int y) -> double {
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
    for (int y = 1; y <= int(H) - 2; ++y)
        for (int x = 0; x <= int(W) - 2; ++x) {
            u(x, y) = float(psi(x, y) - psi(x, y - 1));
            if (x >= 1) v(x, y) = float(psi(x - 1, y) - psi(x, y));
        }
    for (int x = 1; x <= int(W) - 2; ++x)
        v(x, 0) = float(psi(x - 1, 0) - psi(x, 0));
}

double interiorSum(const FloatGrid& g) {
    double sum = 0;
    for (uint32_t y = 1; y + 1 < g.height(); ++y)
        for (uint32_t x = 1; x + 1 < g.width(); ++x)
            sum += g(x, y);
    return sum;
}

TEST(AdvectionTest, FluxFormConservesTheTotalInAClosedBox) {
    std::mt19937 rng(5);
    const uint32_t W = 46, H = 38;
    for (bool solid : {false, true}) {
        FloatGrid q(W, H), out(W, H), prev(W, H, 1, true), u(W, H), v(W, H), m(W, H, 1, true);
        if (solid)
            for (uint32_t y = 14; y < 20; ++y)
                for (uint32_t x = 10; x < 17; ++x)
                    m(x, y) = 1.0f;
        closedBoxFlow(u, v, solid ? &m : nullptr);
        fillRandom(q, rng, 0.3f, 0.9f);
        q.setBorder(0.0f);  // as the solver keeps it; no flow crosses the walls
        const double total = interiorSum(q);
        FloatGrid initial;
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
        // The flow did move the scalar.
        double change = 0;
        for (uint32_t i = 0; i < q.count(); ++i)
            change += std::abs(q[i] - initial[i]);
        EXPECT_GT(change, 0.01 * total);
    }
}

TEST(AdvectionTest, ObstacleCellsKeepTheirValueAndRate) {
    std::mt19937 rng(6);
    for (const auto& size : kSizes) {
        const uint32_t W = size[0], H = size[1];
        FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H);
        fillRandom(q, rng, 0.0f, 1.0f);
        fillRandom(prev, rng, -1.0f, 1.0f);
        fillRandom(u, rng, -1.0f, 1.0f);
        fillRandom(v, rng, -1.0f, 1.0f);
        fillMask(m, rng, 0.4);
        FloatGrid oldRate;
        oldRate.copyFrom(prev);
        out.fill(kNaN);
        advectScalar(q, out, prev, u, v, &m, nullptr, ScalarRule::density(0.1f), 1.0f, 0.2f, 0.3f);
        for (uint32_t y = 0; y < H; ++y)
            for (uint32_t x = 0; x < W; ++x) {
                if (!interior(q, x, y)) {
                    EXPECT_TRUE(std::isnan(out(x, y))) << "border written at " << x << "," << y;
                } else if (m(x, y) != 0.0f) {
                    EXPECT_EQ(out(x, y), q(x, y));
                    EXPECT_EQ(prev(x, y), oldRate(x, y));
                } else {
                    EXPECT_TRUE(std::isfinite(out(x, y)));
                }
            }
    }
}

TEST(AdvectionTest, ScalarCellFunctionsMatchThePassOnPitchedGrids) {
    std::mt19937 rng(7);
    const float dt = 0.3f, dtPrev = 0.2f, rdx = 1.0f;
    for (const auto& size : kSizes)
        for (const NamedRule& r : allRules(dt))
            for (bool solid : {false, true})
                for (bool withSource : {false, true}) {
                    const uint32_t W = size[0], H = size[1];
                    FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H), s(W, H);
                    fillRandom(q, rng, 0.0f, 1.0f);
                    fillRandom(prev, rng, -1.0f, 1.0f);
                    fillRandom(u, rng, -1.5f, 1.5f);
                    fillRandom(v, rng, -1.5f, 1.5f);
                    fillRandom(s, rng, -1.0f, 1.0f);
                    fillMask(m, rng, 0.25);
                    const Pitched pq(q), pprev(prev), pu(u), pv(v), pm(m), ps(s);
                    advectScalar(q, out, prev, u, v, solid ? &m : nullptr,
                                 withSource ? &s : nullptr, r.rule, rdx, dt, dtPrev);
                    const AdamsBashforth2 ab = adamsBashforth2(dt, dtPrev);
                    for (uint32_t y = 1; y + 1 < H; ++y)
                        for (uint32_t x = 1; x + 1 < W; ++x) {
                            if (solid && m(x, y) != 0.0f) continue;
                            float rate;
                            const float value = advanceScalarAt(
                                pq.data(), pu.data(), pv.data(), solid ? pm.data() : nullptr,
                                withSource ? ps.data() : nullptr, pq.p, W, H, x, y, rdx, r.rule, ab,
                                pprev.at(x, y), rate);
                            ASSERT_EQ(value, out(x, y))
                                << r.name << " " << W << "x" << H << " at " << x << "," << y;
                            ASSERT_EQ(rate, prev(x, y));
                        }
                }
}

// The device's flux kernels compute the same rate, and 0 where the host leaves cells alone.
TEST(AdvectionTest, DeviceFormRatesAgreeWithTheHostRates) {
    std::mt19937 rng(8);
    const uint32_t W = 13, H = 9;
    FloatGrid q(W, H), u(W, H), v(W, H), m(W, H);
    fillRandom(q, rng, 0.0f, 1.0f);
    fillRandom(u, rng, -1.0f, 1.0f);
    fillRandom(v, rng, -1.0f, 1.0f);
    fillMask(m, rng, 0.3);
    const int p = int(W);
    for (int y = 0; y < int(H); ++y)
        for (int x = 0; x < int(W); ++x) {
            const float plain =
                conservativeRateAt(q.data(), u.data(), v.data(), p, W, H, x, y, -0.5f);
            const float solid = conservativeRateSolidAt(q.data(), u.data(), v.data(), m.data(), p,
                                                        W, H, x, y, -0.5f);
            if (!interior(q, x, y)) {
                EXPECT_EQ(plain, 0.0f);
                EXPECT_EQ(solid, 0.0f);
                continue;
            }
            EXPECT_EQ(plain, conservativeRate(q.data(), u.data(), v.data(), p, W, H, x, y, 0.5f));
            EXPECT_EQ(solid, m(x, y) != 0.0f
                                 ? 0.0f
                                 : conservativeRateSolid(q.data(), u.data(), v.data(), m.data(), p,
                                                         W, H, x, y, 0.5f));
        }
}

// The advective (clamping) device form moves a linear field at its exact rate everywhere:
// QUICK faces inside, upwind differences at the border are both exact for it.
TEST(AdvectionTest, AdvectiveDeviceFormMovesALinearFieldExactly) {
    const uint32_t W = 11, H = 8;
    const float b = 0.125f, c = -0.0625f;
    for (bool solid : {false, true})
        for (float u0 : {0.5f, -1.25f}) {
            FloatGrid q(W, H), u(W, H), v(W, H), m(W, H, 1, true);
            for (uint32_t y = 0; y < H; ++y)
                for (uint32_t x = 0; x < W; ++x)
                    q(x, y) = 0.25f + b * x + c * y;
            u.fill(u0);
            v.fill(0.75f);
            m(5, 4) = 1.0f;
            for (int y = 1; y + 1 < int(H); ++y)
                for (int x = 1; x + 1 < int(W); ++x) {
                    const float rate =
                        solid ? advectiveRateClampSolidAt(q.data(), u.data(), v.data(), m.data(),
                                                          int(W), W, H, x, y, -0.5f)
                              : advectiveRateClampAt(q.data(), u.data(), v.data(), int(W), W, H, x,
                                                     y, -0.5f);
                    const float expected = solid && m(x, y) != 0.0f ? 0.0f : -(u0 * b + 0.75f * c);
                    EXPECT_NEAR(rate, expected, 1e-6f) << x << "," << y;
                }
            EXPECT_EQ(advectiveRateClampAt(q.data(), u.data(), v.data(), int(W), W, H, 0, 3, -0.5f),
                      0.0f);
        }
}

// --- Velocity --------------------------------------------------------------------------------

TEST(AdvectionTest, UniformAndShearFlowsAreSteady) {
    std::mt19937 rng(9);
    for (const auto& size : kSizes)
        for (bool solid : {false, true})
            for (bool shear : {false, true}) {
                const uint32_t W = size[0], H = size[1];
                FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H, 1, true);
                std::uniform_real_distribution<float> d(-2.0f, 2.0f);
                if (shear) {
                    // u depends on the row only; no vertical motion.
                    for (uint32_t y = 0; y < H; ++y) {
                        const float row = d(rng);
                        for (uint32_t x = 0; x < W; ++x)
                            u(x, y) = row;
                    }
                    v.clear();
                } else {
                    u.fill(d(rng));
                    v.fill(d(rng));
                }
                dudt.fill(kNaN);
                dvdt.fill(kNaN);
                advectVelocity(u, v, dudt, dvdt, solid ? &m : nullptr, 1.0f);
                for (uint32_t y = 1; y + 1 < H; ++y)
                    for (uint32_t x = 1; x + 1 < W; ++x) {
                        ASSERT_EQ(dudt(x, y), 0.0f) << W << "x" << H << " at " << x << "," << y;
                        ASSERT_EQ(dvdt(x, y), 0.0f) << W << "x" << H << " at " << x << "," << y;
                    }
            }
}

// Uniform u carrying a v that grows linearly along x: dv/dt = −u·∂v/∂x and du/dt = 0 where no
// stencil node is substituted; and the same with the roles of the components exchanged.
TEST(AdvectionTest, UniformFlowTransportsALinearProfileOfTheOtherComponent) {
    const uint32_t W = 14, H = 12;
    const float slope = 0.125f, rdx = 0.5f;
    for (float carrier : {0.75f, -1.5f})
        for (bool alongX : {true, false})
            for (bool solid : {false, true}) {
                FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H, 1, true);
                for (uint32_t y = 0; y < H; ++y)
                    for (uint32_t x = 0; x < W; ++x) {
                        if (alongX) {
                            u(x, y) = carrier;
                            v(x, y) = 0.5f + slope * x;
                        } else {
                            v(x, y) = carrier;
                            u(x, y) = -0.25f + slope * y;
                        }
                    }
                advectVelocity(u, v, dudt, dvdt, solid ? &m : nullptr, rdx);
                for (uint32_t y = 2; y + 3 < H; ++y)
                    for (uint32_t x = 2; x + 3 < W; ++x) {
                        const FloatGrid& carried = alongX ? dvdt : dudt;
                        const FloatGrid& other = alongX ? dudt : dvdt;
                        EXPECT_NEAR(carried(x, y), -rdx * carrier * slope, 1e-6f) << x << "," << y;
                        EXPECT_EQ(other(x, y), 0.0f) << x << "," << y;
                    }
            }
}

TEST(AdvectionTest, VelocityObstacleVariantWritesOnlyFacesBetweenFluidCells) {
    std::mt19937 rng(10);
    for (const auto& size : kSizes) {
        const uint32_t W = size[0], H = size[1];
        FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H);
        fillRandom(u, rng, -1.0f, 1.0f);
        fillRandom(v, rng, -1.0f, 1.0f);
        fillMask(m, rng, 0.3);
        dudt.fill(kNaN);
        dvdt.fill(kNaN);
        advectVelocity(u, v, dudt, dvdt, &m, 1.0f);
        for (uint32_t y = 0; y < H; ++y)
            for (uint32_t x = 0; x < W; ++x) {
                const bool in = interior(u, x, y);
                const bool uFluid = in && m(x, y) == 0.0f && m(x + 1, y) == 0.0f;
                const bool vFluid = in && m(x, y) == 0.0f && m(x, y + 1) == 0.0f;
                EXPECT_EQ(std::isfinite(dudt(x, y)), uFluid) << x << "," << y;
                EXPECT_EQ(std::isfinite(dvdt(x, y)), vFluid) << x << "," << y;
            }
    }
}

// Away from the border and without obstacles nearby both variants compute the same QUICK
// fluxes.
TEST(AdvectionTest, VelocityVariantsAgreeAwayFromBordersAndObstacles) {
    std::mt19937 rng(11);
    const uint32_t W = 20, H = 17;
    FloatGrid u(W, H), v(W, H), du(W, H), dv(W, H), duSolid(W, H), dvSolid(W, H), m(W, H, 1, true);
    fillRandom(u, rng, -1.0f, 1.0f);
    fillRandom(v, rng, -1.0f, 1.0f);
    advectVelocity(u, v, du, dv, nullptr, 1.0f);
    advectVelocity(u, v, duSolid, dvSolid, &m, 1.0f);
    for (uint32_t y = 2; y + 4 <= H; ++y)
        for (uint32_t x = 2; x + 4 <= W; ++x) {
            EXPECT_EQ(du(x, y), duSolid(x, y)) << x << "," << y;
            EXPECT_EQ(dv(x, y), dvSolid(x, y)) << x << "," << y;
        }
}

TEST(AdvectionTest, VelocityCellFunctionsMatchThePassOnPitchedGrids) {
    std::mt19937 rng(12);
    for (const auto& size : kSizes)
        for (bool solid : {false, true}) {
            const uint32_t W = size[0], H = size[1];
            FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H);
            fillRandom(u, rng, -1.0f, 1.0f);
            fillRandom(v, rng, -1.0f, 1.0f);
            fillMask(m, rng, 0.25);
            const Pitched pu(u), pv(v), pm(m);
            advectVelocity(u, v, dudt, dvdt, solid ? &m : nullptr, 0.5f);
            for (int y = 1; y + 1 < int(H); ++y)
                for (int x = 1; x + 1 < int(W); ++x) {
                    if (!solid) {
                        ASSERT_EQ(velocityRateU(pu.data(), pv.data(), pu.p, W, H, x, y, 0.5f),
                                  dudt(x, y));
                        ASSERT_EQ(velocityRateV(pu.data(), pv.data(), pu.p, W, H, x, y, 0.5f),
                                  dvdt(x, y));
                        continue;
                    }
                    if (fluidFaceU(pm.data(), pm.p, x, y)) {
                        ASSERT_EQ(velocityRateUSolid(pu.data(), pv.data(), pm.data(), pu.p, W, H, x,
                                                     y, 0.5f),
                                  dudt(x, y));
                    }
                    if (fluidFaceV(pm.data(), pm.p, x, y)) {
                        ASSERT_EQ(velocityRateVSolid(pu.data(), pv.data(), pm.data(), pu.p, W, H, x,
                                                     y, 0.5f),
                                  dvdt(x, y));
                    }
                }
        }
}

// --- Colour ----------------------------------------------------------------------------------

TEST(AdvectionTest, ColourMovesByWholeCellsExactly) {
    std::mt19937 rng(13);
    const uint32_t W = 11, H = 9;
    FloatGrid c(W, H), out(W, H), u(W, H), v(W, H), xd(W, H), yd(W, H);
    fillRandom(c, rng, 0.0f, 1.0f);
    u.fill(2.0f);  // dt·u = 1 cell to the right
    v.fill(2.0f);  // and 1 cell down
    computeDeparturePoints(u, v, xd, yd, 0.5f, 1.0f);
    advectColor(c, out, xd, yd);
    for (uint32_t y = 1; y + 1 < H; ++y)
        for (uint32_t x = 1; x + 1 < W; ++x) {
            EXPECT_EQ(xd(x, y), float(x) - 1.0f);
            EXPECT_EQ(yd(x, y), float(y) - 1.0f);
            EXPECT_EQ(out(x, y), c(x - 1, y - 1)) << x << "," << y;
        }
}

TEST(AdvectionTest, ColourStaysWithinTheInputRangeAndUniformColourStaysUniform) {
    std::mt19937 rng(14);
    for (const auto& size : kSizes)
        for (bool uniform : {false, true}) {
            const uint32_t W = size[0], H = size[1];
            FloatGrid c(W, H), out(W, H), u(W, H), v(W, H), xd(W, H), yd(W, H);
            if (uniform)
                c.fill(0.3f);
            else
                fillRandom(c, rng, 0.2f, 0.7f);
            fillRandom(u, rng, -3.0f, 3.0f);
            fillRandom(v, rng, -3.0f, 3.0f);
            computeDeparturePoints(u, v, xd, yd, 0.7f, 1.0f);
            advectColor(c, out, xd, yd);
            for (uint32_t y = 1; y + 1 < H; ++y)
                for (uint32_t x = 1; x + 1 < W; ++x) {
                    ASSERT_GE(xd(x, y), 0.0f);
                    ASSERT_LE(xd(x, y), float(W - 1));
                    ASSERT_GE(yd(x, y), 0.0f);
                    ASSERT_LE(yd(x, y), float(H - 1));
                    if (uniform) {
                        ASSERT_NEAR(out(x, y), 0.3f, 1e-7f);
                    } else {
                        ASSERT_GE(out(x, y), 0.2f - 1e-6f);
                        ASSERT_LE(out(x, y), 0.7f + 1e-6f);
                    }
                }
        }
}

TEST(AdvectionTest, ColourCellFunctionsMatchThePassOnPitchedGrids) {
    std::mt19937 rng(15);
    for (const auto& size : kSizes) {
        const uint32_t W = size[0], H = size[1];
        FloatGrid c(W, H), out(W, H), u(W, H), v(W, H), xd(W, H), yd(W, H);
        fillRandom(c, rng, 0.0f, 1.0f);
        fillRandom(u, rng, -2.0f, 2.0f);
        fillRandom(v, rng, -2.0f, 2.0f);
        const Pitched pc(c), pu(u), pv(v);
        computeDeparturePoints(u, v, xd, yd, 0.6f, 1.0f);
        advectColor(c, out, xd, yd);
        for (int y = 1; y + 1 < int(H); ++y)
            for (int x = 1; x + 1 < int(W); ++x) {
                float px, py;
                departurePoint(pu.data(), pv.data(), pu.p, W, H, x, y, 0.6f, 1.0f, px, py);
                ASSERT_EQ(px, xd(x, y));
                ASSERT_EQ(py, yd(x, y));
                ASSERT_EQ(sampleCatmullRom(pc.data(), pc.p, W, H, px, py), out(x, y));
            }
    }
}

}  // namespace
}  // namespace skv
