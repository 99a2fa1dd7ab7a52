#include "solver/forces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "solver/advection.h"

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void fillRandom(FloatGrid& g, std::mt19937& rng, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = d(rng);
}

// The grid in rows of a pitch larger than its width, the padding NaN: a per-cell function
// that reads past the end of a row yields NaN.
struct Pitched {
    int p;
    std::vector<float> v;
    explicit Pitched(const FloatGrid& g) : p(int(g.width()) + 3), v(size_t(p) * g.height(), kNaN) {
        for (uint32_t y = 0; y < g.height(); ++y)
            for (uint32_t x = 0; x < g.width(); ++x)
                v[size_t(y) * p + x] = g(x, y);
    }
    float* data() { return v.data(); }
    const float* data() const { return v.data(); }
    float& at(int x, int y) { return v[size_t(y) * p + x]; }
    float at(int x, int y) const { return v[size_t(y) * p + x]; }
};

// --- Combustion ------------------------------------------------------------------------------

struct BurnCase {
    const char* name;
    float fuel, density, temperature, burnRate, dt, heatCreation;
};

const BurnCase kBurnCases[] = {
    {"more fuel than burns in a step", 2.0f, 0.25f, 20.0f, 1.0f, 0.5f, 900.0f},
    {"less fuel than could burn", 0.1f, 0.0f, 20.0f, 1.0f, 0.5f, 900.0f},
    {"no fuel", 0.0f, 0.5f, 35.0f, 1.0f, 0.5f, 900.0f},
    {"already hotter than the flame", 1.0f, 0.0f, 5000.0f, 0.5f, 0.25f, 900.0f},
    {"burn rate 0", 1.0f, 0.0f, 20.0f, 0.0f, 0.5f, 900.0f},
    {"heat creation 0", 1.0f, 0.0f, 20.0f, 1.0f, 0.5f, 0.0f},
};

TEST(ForcesTest, OxidizedModelBurnsUpToTheRateEverywhere) {
    const float expansion = 1.5f, soot = 0.5f;
    for (const BurnCase& c : kBurnCases) {
        FloatGrid fuel(5, 4), div(5, 4), dens(5, 4), temp(5, 4);
        fuel.fill(c.fuel);
        dens.fill(c.density);
        temp.fill(c.temperature);
        div.fill(7.0f);  // overwritten, not accumulated
        const BurnConstants k = burnConstants(c.burnRate, expansion, soot, c.heatCreation, c.dt);
        combustOxidized(fuel, div, dens, temp, k);
        const double maxBurn = double(c.burnRate) * c.dt;
        const double burnt = std::min<double>(c.fuel, maxBurn);
        const double heat = maxBurn > 0 ? c.heatCreation * burnt / maxBurn : 0.0;
        for (uint64_t i = 0; i < fuel.count(); ++i) {
            EXPECT_NEAR(fuel[i], c.fuel - burnt, 1e-6) << c.name;
            EXPECT_NEAR(div[i], expansion * burnt / c.dt, 1e-5) << c.name;
            EXPECT_NEAR(dens[i], c.density + soot * burnt, 1e-6) << c.name;
            EXPECT_NEAR(temp[i], std::max<double>(c.temperature, heat), 1e-3) << c.name;
        }
        if (c.fuel > maxBurn && maxBurn > 0) {
            EXPECT_GE(temp[0], c.heatCreation) << c.name;
        }
    }
}

// Fills the grids for the un-oxidized model: smoke of `smoke` everywhere, one fuel cell.
struct Flame {
    FloatGrid fuel, div, dens, temp, oxygen, mask;
    Flame(uint32_t W, uint32_t H, float smoke)
        : fuel(W, H), div(W, H), dens(W, H), temp(W, H), oxygen(W, H), mask(W, H) {
        dens.fill(smoke);
        temp.fill(20.0f);
        div.fill(3.0f);
    }
};

TEST(ForcesTest, UnoxidizedFuelInDenseSmokeDoesNotBurn) {
    Flame f(7, 6, 1.0f);
    f.fuel(3, 2) = 0.8f;
    combustUnoxidized(f.fuel, f.div, f.dens, f.temp, f.oxygen, nullptr,
                      burnConstants(1.0f, 1.0f, 1.0f, 1000.0f, 0.5f));
    EXPECT_EQ(f.fuel(3, 2), 0.8f);
    EXPECT_EQ(f.temp(3, 2), 20.0f);
    EXPECT_EQ(f.dens(3, 2), 1.0f);
    EXPECT_EQ(f.div(3, 2), 0.0f);
}

TEST(ForcesTest, UnoxidizedFuelBurnsAsFarAsOxygenReachesIt) {
    const float burnRate = 2.0f, dt = 0.5f, heatCreation = 1000.0f;
    for (bool obstacle : {false, true}) {
        Flame f(7, 6, 0.9f);
        f.dens(3, 2) = 0.15f;
        f.fuel(3, 2) = 0.8f;
        if (obstacle) f.mask(4, 2) = 1.0f;
        // Fuel in the border is not burnt by the host form.
        f.fuel(0, 2) = 0.5f;
        f.dens(0, 2) = 0.0f;
        combustUnoxidized(f.fuel, f.div, f.dens, f.temp, f.oxygen, obstacle ? &f.mask : nullptr,
                          burnConstants(burnRate, 1.0f, 1.0f, heatCreation, dt));
        const double centre = 1.0 - 0.8 - 0.15;
        const double around = 1.0 - 0.9;
        const double oxygen = (2 * centre + (obstacle ? 3 : 4) * around) / 6;
        const double burnt = std::min({oxygen, 0.8, double(burnRate) * dt});
        EXPECT_NEAR(f.fuel(3, 2), 0.8 - burnt, 1e-6);
        EXPECT_NEAR(f.div(3, 2), burnt / dt, 1e-6);
        EXPECT_NEAR(f.dens(3, 2), 0.15 + burnt, 1e-6);
        EXPECT_NEAR(f.temp(3, 2), std::max(20.0, heatCreation * burnt / (burnRate * dt)), 1e-3);
        EXPECT_EQ(f.fuel(0, 2), 0.5f);
    }
}

TEST(ForcesTest, DeviceOxygenFormCountsMissingNeighboursAsNone) {
    std::mt19937 rng(1);
    const int W = 6, H = 5;
    FloatGrid q(W, H);
    fillRandom(q, rng, 0.0f, 1.0f);
    for (int y = 1; y < H - 1; ++y)
        for (int x = 1; x < W - 1; ++x)
            EXPECT_EQ(oxygenAroundClipped(q.data(), W, W, H, x, y),
                      oxygenAround(q.data(), ptrdiff_t(y) * W + x, W));
    EXPECT_NEAR(oxygenAroundClipped(q.data(), W, W, H, 0, 0),
                (2 * q(0, 0) + q(1, 0) + q(0, 1)) / 6.0, 1e-6);
    EXPECT_NEAR(oxygenAroundClipped(q.data(), W, W, H, W - 1, 2),
                (2 * q(W - 1, 2) + q(W - 2, 2) + q(W - 1, 3) + q(W - 1, 1)) / 6.0, 1e-6);
}

TEST(ForcesTest, CombustionCellFunctionsMatchThePassesOnPitchedGrids) {
    std::mt19937 rng(2);
    const uint32_t W = 19, H = 11;
    const BurnConstants k = burnConstants(1.2f, 0.7f, 0.4f, 800.0f, 0.3f);
    for (bool oxidized : {true, false}) {
        FloatGrid fuel(W, H), div(W, H), dens(W, H), temp(W, H), oxygen(W, H), mask(W, H);
        fillRandom(fuel, rng, 0.0f, 0.6f);
        fillRandom(div, rng, -1.0f, 1.0f);
        fillRandom(dens, rng, 0.0f, 0.6f);
        fillRandom(temp, rng, 0.0f, 900.0f);
        for (uint64_t i = 0; i < mask.count(); ++i)
            mask[i] = i % 7 == 0 ? 1.0f : 0.0f;
        Pitched pf(fuel), pd(div), pr(dens), pt(temp), pm(mask), po(oxygen);
        if (oxidized)
            combustOxidized(fuel, div, dens, temp, k);
        else
            combustUnoxidized(fuel, div, dens, temp, oxygen, &mask, k);
        for (int y = 0; y < int(H); ++y)
            for (int x = 0; x < int(W); ++x)
                po.at(x, y) = oxygenOf(pf.at(x, y), pr.at(x, y), pm.at(x, y));
        for (int y = 0; y < int(H); ++y)
            for (int x = 0; x < int(W); ++x) {
                const bool inside = x > 0 && y > 0 && x < int(W) - 1 && y < int(H) - 1;
                if (!oxidized && !inside) continue;
                const float burnt =
                    oxidized
                        ? oxidizedBurn(k, pf.at(x, y))
                        : unoxidizedBurn(k, pf.at(x, y),
                                         oxygenAround(po.data(), ptrdiff_t(y) * po.p + x, po.p));
                burnCell(k, burnt, pf.at(x, y), pd.at(x, y), pr.at(x, y), pt.at(x, y));
                ASSERT_EQ(pf.at(x, y), fuel(x, y));
                ASSERT_EQ(pd.at(x, y), div(x, y));
                ASSERT_EQ(pr.at(x, y), dens(x, y));
                ASSERT_EQ(pt.at(x, y), temp(x, y));
            }
    }
}

// --- Cooling ---------------------------------------------------------------------------------

TEST(ForcesTest, CoolingRate) {
    struct Case {
        const char* name;
        float t, cooling, heatCreation, rdt, expected;
    };
    const Case cases[] = {
        {"cooling off", 500.0f, 0.0f, 1000.0f, 10.0f, 0.0f},
        {"negative cooling", 500.0f, -1000.0f, 1000.0f, 10.0f, 0.0f},
        {"below zero", -40.0f, 1000.0f, 1000.0f, 10.0f, 0.0f},
        {"fourth power", 500.0f, 1000.0f, 1000.0f, 10.0f, 62.5f},
        {"capped", 500.0f, 1e9f, 1000.0f, 2.0f, 1000.0f},
        {"heat creation 0, no heat", 0.0f, 1000.0f, 0.0f, 2.0f, 0.0f},
        {"heat creation 0, hot", 5.0f, 1000.0f, 0.0f, 2.0f, 10.0f},
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(coolingRate(c.t, c.cooling, c.heatCreation, c.rdt), c.expected) << c.name;
}

// Cooling runs inside the temperature advection; without motion it acts alone.
TEST(ForcesTest, CoolingRemovesAtMostThePositiveTemperature) {
    std::mt19937 rng(3);
    const uint32_t W = 9, H = 8;
    const float dt = 0.3f, heat = 1000.0f;
    for (float cooling : {0.0f, -50.0f, 1e12f}) {
        FloatGrid t(W, H), out(W, H), prev(W, H, 1, true), u(W, H, 1, true), v(W, H, 1, true);
        fillRandom(t, rng, -100.0f, heat);
        advectScalar(t, out, prev, u, v, nullptr, nullptr,
                     ScalarRule::temperature(cooling, heat, dt), 1.0f, dt, 0.0f);
        for (uint32_t y = 1; y + 1 < H; ++y)
            for (uint32_t x = 1; x + 1 < W; ++x) {
                const double t0 = t(x, y);
                if (cooling <= 0.0f || t0 <= 0.0) {
                    EXPECT_EQ(out(x, y), t(x, y)) << cooling;
                } else {
                    const double rate = std::min(cooling * std::pow(t0 / heat, 4.0), t0 / dt);
                    EXPECT_NEAR(out(x, y), t0 - dt * rate, 1e-5 * t0);
                    EXPECT_GE(out(x, y), -1e-5 * t0);  // never below 0 but for rounding
                }
            }
    }
}

// --- Heat diffusion --------------------------------------------------------------------------

double kernelSum(const std::vector<float>& taps) {
    double sum = taps[0];
    for (size_t k = 1; k < taps.size(); ++k)
        sum += 2.0 * taps[k];
    return sum;
}

TEST(ForcesTest, HeatKernelIsNormalisedAndWidensWithDiffusion) {
    std::vector<float> taps;
    size_t previous = 0;
    const float settings[][2] = {{0.5f, 0.1f}, {1.0f, 1.0f}, {20.0f, 0.5f}, {500.0f, 1.0f}};
    for (const auto& s : settings) {
        buildHeatDiffusionKernel(taps, 1.0f, s[0], s[1]);
        ASSERT_GE(taps.size(), 2u);
        EXPECT_NEAR(kernelSum(taps), 1.0, 1e-5) << s[0] << " " << s[1];
        for (size_t k = 1; k < taps.size(); ++k) {
            EXPECT_GT(taps[k], 0.0f);
            EXPECT_LT(taps[k], taps[k - 1]);
        }
        EXPECT_GE(taps.size(), previous);
        previous = taps.size();
    }
    EXPECT_GT(previous, 100u);  // D = 500 over a whole time unit spreads far
}

TEST(ForcesTest, TinyOrNoDiffusionKeepsTwoTaps) {
    std::vector<float> taps;
    for (float d : {1e-6f, 1e-30f}) {
        buildHeatDiffusionKernel(taps, 1.0f, d, 1e-3f);
        ASSERT_EQ(taps.size(), 2u);  // three after mirroring
        EXPECT_NEAR(kernelSum(taps), 1.0, 1e-6);
        EXPECT_TRUE(std::isfinite(taps[0]) && std::isfinite(taps[1]));
    }
    for (float d : {0.0f, -3.0f}) {
        buildHeatDiffusionKernel(taps, 1.0f, d, 0.5f);
        EXPECT_EQ(taps, (std::vector<float>{1.0f, 0.0f}));
    }
}

TEST(ForcesTest, RebuildingTheKernelReusesItsStorage) {
    std::vector<float> taps;
    buildHeatDiffusionKernel(taps, 1.0f, 50.0f, 1.0f);
    const float* storage = taps.data();
    buildHeatDiffusionKernel(taps, 1.0f, 2.0f, 0.5f);
    EXPECT_EQ(taps.data(), storage);
}

TEST(ForcesTest, BlurDropsTapsOutsideTheGrid) {
    const std::vector<float> taps{0.5f, 0.25f};
    FloatGrid t(6, 5), scratch(6, 5);
    t.fill(1.0f);
    diffuseHeat(t, scratch, taps);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x) {
            const int edges = (x == 0 || x == 5) + (y == 0 || y == 4);
            EXPECT_FLOAT_EQ(t(x, y), edges == 2 ? 0.5625f : edges == 1 ? 0.75f : 1.0f);
        }
    // A single hot cell becomes the outer product of the kernel with itself.
    FloatGrid d(9, 9, 1, true), s(9, 9);
    d(4, 4) = 1.0f;
    diffuseHeat(d, s, taps);
    const float w[] = {0.25f, 0.5f, 0.25f};
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 9; ++x) {
            const bool near = x >= 3 && x <= 5 && y >= 3 && y <= 5;
            EXPECT_FLOAT_EQ(d(x, y), near ? w[x - 3] * w[y - 3] : 0.0f);
        }
    // One tap is no kernel.
    FloatGrid same(4, 4), spare(4, 4);
    same.fill(2.0f);
    diffuseHeat(same, spare, std::vector<float>{1.0f});
    for (uint64_t i = 0; i < same.count(); ++i)
        EXPECT_EQ(same[i], 2.0f);
}

TEST(ForcesTest, DiffusionConservesHeatAwayFromTheEdges) {
    const uint32_t W = 96, H = 64;
    FloatGrid t(W, H), scratch(W, H);
    double total = 0;
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            const double r2 = (x - 47.3) * (x - 47.3) + (y - 31.8) * (y - 31.8);
            t(x, y) = float(800.0 * std::exp(-r2 / 18.0));
            total += t(x, y);
        }
    std::vector<float> taps;
    buildHeatDiffusionKernel(taps, 1.0f, 2.0f, 0.5f);
    ASSERT_LT(taps.size(), 12u);
    const float peak = t(47, 32);
    diffuseHeat(t, scratch, taps);
    double after = 0;
    for (uint64_t i = 0; i < t.count(); ++i)
        after += t[i];
    EXPECT_NEAR(after, total, 1e-5 * total);
    EXPECT_LT(t(47, 32), peak);  // it did spread
}

TEST(ForcesTest, BlurCellFunctionsMatchThePassOnPitchedGrids) {
    std::mt19937 rng(4);
    const uint32_t sizes[][2] = {{100, 30}, {10, 7}, {33, 70}, {180, 100}};
    for (const auto& size : sizes)
        for (float d : {0.3f, 4.0f, 200.0f}) {
            const uint32_t W = size[0], H = size[1];
            FloatGrid t(W, H), scratch(W, H);
            fillRandom(t, rng, -50.0f, 500.0f);
            std::vector<float> taps;
            buildHeatDiffusionKernel(taps, 1.0f, d, 0.5f);
            const int r = int(taps.size()) - 1;
            Pitched pt(t), tmp(t);
            diffuseHeat(t, scratch, taps);
            for (int y = 0; y < int(H); ++y)
                for (int x = 0; x < int(W); ++x)
                    tmp.at(x, y) = convolveXAt(pt.data(), pt.p, W, x, y, taps.data(), r);
            for (int y = 0; y < int(H); ++y)
                for (int x = 0; x < int(W); ++x)
                    ASSERT_EQ(convolveYAt(tmp.data(), tmp.p, H, x, y, taps.data(), r), t(x, y))
                        << W << "x" << H << " D " << d << " at " << x << "," << y;
        }
}

// --- Buoyancy and gravity --------------------------------------------------------------------

TEST(ForcesTest, HeatRisesAndSmokeSinks) {
    const uint32_t W = 6, H = 5;
    struct Case {
        float userBuoyancy, gravity, temperature, density;
        int sign;  // of dv/dt: negative is upwards (towards smaller rows)
    };
    const Case cases[] = {{1.37f, 0.0f, 50.0f, 0.0f, -1},
                          {-2.0f, 0.0f, 50.0f, 0.0f, +1},
                          {1.37f, 0.0f, -30.0f, 0.0f, +1},
                          {0.0f, 9.7f, 20.0f, 0.5f, +1}};
    for (const Case& c : cases) {
        FloatGrid dvdt(W, H, 1, true), t(W, H), rho(W, H);
        t.fill(c.temperature);
        rho.fill(c.density);
        addBuoyancyAndGravity(dvdt, t, rho, c.userBuoyancy * -0.02f, c.gravity);
        for (uint32_t y = 1; y + 1 < H; ++y)
            for (uint32_t x = 1; x + 1 < W; ++x)
                EXPECT_EQ(dvdt(x, y) > 0 ? 1 : -1, c.sign);
    }
}

TEST(ForcesTest, BuoyancyActsOnTheFaceBetweenTwoCells) {
    std::mt19937 rng(5);
    const uint32_t W = 8, H = 7;
    const float buoyancy = -0.0274f, gravity = 0.6f;
    FloatGrid dvdt(W, H), t(W, H), rho(W, H);
    fillRandom(dvdt, rng, -1.0f, 1.0f);
    fillRandom(t, rng, -20.0f, 800.0f);
    fillRandom(rho, rng, 0.0f, 1.5f);
    FloatGrid before;
    before.copyFrom(dvdt);
    const Pitched pt(t), pr(rho);
    addBuoyancyAndGravity(dvdt, t, rho, buoyancy, gravity);
    for (int y = 0; y < int(H); ++y)
        for (int x = 0; x < int(W); ++x) {
            if (x == 0 || y == 0 || x == int(W) - 1 || y == int(H) - 1) {
                EXPECT_EQ(dvdt(x, y), before(x, y));
                continue;
            }
            // The last interior row takes the border row above it as it is.
            const double expected = before(x, y) + 0.5 * (buoyancy * (t(x, y) + t(x, y + 1)) +
                                                          gravity * (rho(x, y) + rho(x, y + 1)));
            EXPECT_NEAR(dvdt(x, y), expected, 1e-4);
            EXPECT_EQ(dvdt(x, y),
                      before(x, y) + propertyForce(pt.data(), pr.data(), ptrdiff_t(y) * pt.p + x,
                                                   pt.p, 0.5f * buoyancy, 0.5f * gravity));
        }
}

// --- Vorticity confinement -------------------------------------------------------------------

TEST(ForcesTest, RigidRotationFeelsNoConfinement) {
    const uint32_t sizes[][2] = {{3, 3}, {8, 6}, {31, 24}};
    for (const auto& size : sizes) {
        const uint32_t W = size[0], H = size[1];
        FloatGrid u(W, H), v(W, H), w(W, H), fu(W, H), fv(W, H);
        const float omega = 0.25f;  // exact in binary, so is every velocity below
        for (uint32_t y = 0; y < H; ++y)
            for (uint32_t x = 0; x < W; ++x) {
                u(x, y) = -omega * (float(y) - float(H / 2));
                v(x, y) = omega * (float(x) - float(W / 2));
            }
        FloatGrid u0, v0;
        u0.copyFrom(u);
        v0.copyFrom(v);
        vorticityConfinement(u, v, w, fu, fv, 1.0f, 0.5f, 2.0f);
        for (uint64_t i = 0; i < u.count(); ++i) {
            EXPECT_EQ(w[i], 2.0f * omega);
            EXPECT_EQ(fu[i], 0.0f);
            EXPECT_EQ(fv[i], 0.0f);
            EXPECT_EQ(u[i], u0[i]);
            EXPECT_EQ(v[i], v0[i]);
        }
    }
}

// A Lamb–Oseen vortex has positive vorticity falling off outwards: confinement pushes along
// the rotation everywhere, so the vortex gains energy.
TEST(ForcesTest, ConfinementSpinsUpAVortex) {
    const uint32_t W = 48, H = 40;
    const double xc = 23.6, yc = 19.2, sigma = 5.0;
    const auto swirl = [&](double x, double y, double& ux, double& vy) {
        const double dx = x - xc, dy = y - yc, r2 = dx * dx + dy * dy;
        const double speed = (1 - std::exp(-r2 / (sigma * sigma))) / std::max(r2, 1e-12);
        ux = -speed * dy;
        vy = speed * dx;
    };
    FloatGrid u(W, H), v(W, H), w(W, H), fu(W, H), fv(W, H);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            double ux, vy, unused;
            swirl(x + 0.5, y, ux, unused);
            swirl(x, y + 0.5, unused, vy);
            u(x, y) = float(4.0 * ux);
            v(x, y) = float(4.0 * vy);
        }
    FloatGrid u0, v0;
    u0.copyFrom(u);
    v0.copyFrom(v);
    vorticityConfinement(u, v, w, fu, fv, 1.0f, 0.5f, 0.4f);
    double work = 0;
    for (uint64_t i = 0; i < u.count(); ++i) {
        ASSERT_TRUE(std::isfinite(u[i]) && std::isfinite(v[i]));
        work += u0[i] * (u[i] - u0[i]) + v0[i] * (v[i] - v0[i]);
    }
    EXPECT_GT(work, 0.0);
    EXPECT_GT(w(23, 19), 0.0f);
}

TEST(ForcesTest, NoConfinementWithoutVorticity) {
    std::mt19937 rng(6);
    FloatGrid u(9, 8), v(9, 8), w(9, 8), fu(9, 8), fv(9, 8);
    fillRandom(u, rng, -1.0f, 1.0f);
    fillRandom(v, rng, -1.0f, 1.0f);
    w.fill(kNaN);
    FloatGrid u0, v0;
    u0.copyFrom(u);
    v0.copyFrom(v);
    for (float vorticity : {0.0f, -3.0f}) {
        vorticityConfinement(u, v, w, fu, fv, 1.0f, 0.5f, vorticity);
        for (uint64_t i = 0; i < u.count(); ++i) {
            EXPECT_EQ(u[i], u0[i]);
            EXPECT_EQ(v[i], v0[i]);
            EXPECT_TRUE(std::isnan(w[i]));
        }
    }
}

TEST(ForcesTest, ConfinementCellFunctionsMatchThePassOnPitchedGrids) {
    std::mt19937 rng(7);
    const uint32_t sizes[][2] = {{3, 3}, {5, 4}, {29, 17}, {150, 121}};
    for (const auto& size : sizes) {
        const int W = int(size[0]), H = int(size[1]);
        FloatGrid u(W, H), v(W, H), w(W, H), fu(W, H), fv(W, H);
        fillRandom(u, rng, -1.0f, 1.0f);
        fillRandom(v, rng, -1.0f, 1.0f);
        Pitched pu(u), pv(v), pw(u), pfu(u), pfv(u);
        const float dx = 0.5f, dt = 0.3f, vorticity = 1.7f;
        vorticityConfinement(u, v, w, fu, fv, dx, dt, vorticity);

        const int p = pu.p;
        for (int y = 1; y < H - 1; ++y)
            for (int x = 1; x < W - 1; ++x)
                pw.at(x, y) =
                    vorticityAt(pu.data(), pv.data(), ptrdiff_t(y) * p + x, p, 1.0f / (4.0f * dx));
        // The host continues the vorticity into the border: columns first, then rows.
        for (int y = 0; y < H; ++y) {
            pw.at(0, y) = pw.at(1, y);
            pw.at(W - 1, y) = pw.at(W - 2, y);
        }
        for (int x = 0; x < W; ++x) {
            pw.at(x, 0) = pw.at(x, 1);
            pw.at(x, H - 1) = pw.at(x, H - 2);
        }
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                pfu.at(x, y) = pfv.at(x, y) = 0.0f;
                if (x > 0 && y > 0 && x < W - 1 && y < H - 1)
                    confinementForceAt(pw.data(), ptrdiff_t(y) * p + x, p, 1.0f / (2.0f * dx),
                                       pfu.at(x, y), pfv.at(x, y));
                ASSERT_EQ(pw.at(x, y), w(x, y));
                ASSERT_EQ(pfu.at(x, y), fu(x, y));
                ASSERT_EQ(pfv.at(x, y), fv(x, y));
            }
        const float s = 0.5f * dt * vorticity;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const bool added = x >= kConfinementFirstCellHost &&
                                   y >= kConfinementFirstCellHost && x <= W - 3 && y <= H - 3;
                const ptrdiff_t i = ptrdiff_t(y) * p + x;
                ASSERT_EQ(u(x, y),
                          added ? pu.at(x, y) + confinementU(pfu.data(), i, s) : pu.at(x, y));
                ASSERT_EQ(v(x, y),
                          added ? pv.at(x, y) + confinementV(pfv.data(), i, p, s) : pv.at(x, y));
            }
    }
}

}  // namespace
}  // namespace skv
