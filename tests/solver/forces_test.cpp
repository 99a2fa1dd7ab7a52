#include "solver/forces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "grid_test_support.h"
#include "solver/advection.h"

namespace skv {
namespace {

using test::randomize;

double total(const FloatGrid& g) {
    double sum = 0;
    for (uint64_t i = 0; i < g.count(); ++i)
        sum += g[i];
    return sum;
}

// Smoke everywhere and one fuel cell. The oxidized model burns up to the rate in every cell, the
// border included; the un-oxidized one only as far as the oxygen of the cell and its fluid
// neighbours reaches, never in dense smoke, never in the border. The divergence is overwritten.
TEST(ForcesTest, FuelBurnsUpToTheRateAndWithoutOxidizerAsFarAsOxygenReaches) {
    struct Case {
        bool oxidized;
        float fuel, smoke, smokeHere, temperature, burnRate, dt, heatCreation;
        bool obstacle;
    };
    const Case cases[] = {
        {true, 2.0f, 0.25f, 0.25f, 20.0f, 1.0f, 0.5f, 900.0f, false},   // more than burns
        {true, 0.1f, 0.0f, 0.0f, 20.0f, 1.0f, 0.5f, 900.0f, false},     // less than could
        {true, 0.0f, 0.5f, 0.5f, 35.0f, 1.0f, 0.5f, 900.0f, false},     // no fuel
        {true, 1.0f, 0.0f, 0.0f, 5000.0f, 0.5f, 0.25f, 900.0f, false},  // hotter than the flame
        {true, 1.0f, 0.0f, 0.0f, 20.0f, 0.0f, 0.5f, 900.0f, false},     // burn rate 0
        {true, 1.0f, 0.0f, 0.0f, 20.0f, 1.0f, 0.5f, 0.0f, false},       // heat creation 0
        {false, 0.8f, 0.9f, 0.15f, 20.0f, 2.0f, 0.5f, 1000.0f, false},
        {false, 0.8f, 0.9f, 0.15f, 20.0f, 2.0f, 0.5f, 1000.0f, true},
        {false, 0.8f, 1.0f, 1.0f, 20.0f, 2.0f, 0.5f, 1000.0f, false},  // dense smoke
    };
    const float expansion = 1.5f, soot = 0.5f;
    for (const Case& c : cases) {
        FloatGrid fuel(7, 6), div(7, 6), dens(7, 6), temp(7, 6), oxygen(7, 6), mask(7, 6);
        dens.fill(c.smoke);
        temp.fill(c.temperature);
        div.fill(3.0f);
        dens(3, 2) = c.smokeHere;
        fuel(3, 2) = fuel(0, 2) = c.fuel;
        mask(4, 2) = c.obstacle ? 1.0f : 0.0f;
        const BurnConstants k = burnConstants(c.burnRate, expansion, soot, c.heatCreation, c.dt);
        if (c.oxidized)
            combustOxidized(fuel, div, dens, temp, k);
        else
            combustUnoxidized(fuel, div, dens, temp, oxygen, c.obstacle ? &mask : nullptr, k);
        const double maxBurn = double(c.burnRate) * c.dt;
        const double air = (2 * std::max(0.0, 1.0 - c.fuel - c.smokeHere) +
                            (c.obstacle ? 3 : 4) * (1.0 - c.smoke)) /
                           6;
        const double burnt = std::min({double(c.fuel), maxBurn, c.oxidized ? 1e9 : air});
        const double heat = maxBurn > 0 ? c.heatCreation * burnt / maxBurn : 0.0;
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_NEAR(fuel(3, 2), c.fuel - burnt, 1e-6);
        EXPECT_NEAR(div(3, 2), expansion * burnt / c.dt, 1e-5);
        EXPECT_NEAR(dens(3, 2), c.smokeHere + soot * burnt, 1e-6);
        EXPECT_NEAR(temp(3, 2), std::max<double>(c.temperature, heat), 1e-3);
        EXPECT_NEAR(fuel(0, 2), c.oxidized ? c.fuel - std::min<double>(c.fuel, maxBurn) : c.fuel,
                    1e-6);
    }
}

// Cooling runs inside the temperature advection; without motion it acts alone, at the rate
// cooling·(T/heat creation)⁴, removing at most the positive temperature.
TEST(ForcesTest, CoolingRemovesAtMostThePositiveTemperature) {
    const uint32_t W = 9, H = 8;
    const float dt = 0.3f;
    unsigned seed = 3;
    for (float heat : {1000.0f, 0.0f})
        for (float cooling : {0.0f, -50.0f, 1000.0f, 1e12f}) {
            FloatGrid t(W, H), out(W, H), prev(W, H, 1, true), u(W, H, 1, true), v(W, H, 1, true);
            randomize(t, ++seed, -100.0f, std::max(heat, 1.0f));
            advectScalar(t, out, prev, u, v, nullptr, nullptr,
                         ScalarRule::temperature(cooling, heat, dt), 1.0f, dt, 0.0f);
            for (uint32_t y = 1; y + 1 < H; ++y)
                for (uint32_t x = 1; x + 1 < W; ++x) {
                    const double t0 = t(x, y);
                    if (cooling <= 0.0f || t0 <= 0.0) {
                        EXPECT_EQ(out(x, y), t(x, y)) << cooling;
                        continue;
                    }
                    const double rate =
                        heat > 0 ? std::min(cooling * std::pow(t0 / heat, 4.0), t0 / dt) : t0 / dt;
                    EXPECT_NEAR(out(x, y), t0 - dt * rate, 1e-5 * t0) << heat << " " << cooling;
                    EXPECT_GE(out(x, y), -1e-5 * t0);  // never below 0 but for rounding
                }
        }
}

// The kernel's taps are normalised: a blob of heat keeps its total away from the edges, and
// spreads the further the larger D·dt is; no diffusion is the identity kernel.
TEST(ForcesTest, DiffusionConservesHeatAndSpreadsWithTheCoefficient) {
    const uint32_t W = 96, H = 64;
    FloatGrid blob(W, H), t(W, H), scratch(W, H);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x)
            blob(x, y) = float(
                800.0 * std::exp(-((x - 47.3) * (x - 47.3) + (y - 31.8) * (y - 31.8)) / 18.0));
    const double heat = total(blob);
    std::vector<float> taps;
    float peak = blob(47, 32);
    for (const float d : {0.0f, -3.0f, 0.5f, 2.0f, 4.0f}) {
        buildHeatDiffusionKernel(taps, 1.0f, d, 0.5f);
        t.copyFrom(blob);
        diffuseHeat(t, scratch, taps);
        EXPECT_NEAR(total(t), heat, 1e-5 * heat) << d;
        if (d <= 0.0f) {
            EXPECT_TRUE(test::sameBits(t, blob)) << d;
        } else {
            EXPECT_LT(t(47, 32), peak) << d;
            peak = t(47, 32);
        }
    }
    buildHeatDiffusionKernel(taps, 1.0f, 500.0f, 1.0f);
    EXPECT_GT(taps.size(), 100u);  // D = 500 over a whole time unit spreads far
}

// Hot cells rise (negative buoyancy: towards smaller rows), smoke sinks, on the face between
// a cell and the one above it.
TEST(ForcesTest, BuoyancyAndGravityActOnTheFaceBetweenTwoCells) {
    const uint32_t W = 8, H = 7;
    FloatGrid dvdt(W, H), t(W, H), rho(W, H), before(W, H);
    randomize(dvdt, 5);
    randomize(t, 6, -20.0f, 800.0f);
    randomize(rho, 7, 0.0f, 1.5f);
    before.copyFrom(dvdt);
    const float buoyancy = -0.0274f, gravity = 0.6f;
    addBuoyancyAndGravity(dvdt, t, rho, buoyancy, gravity);
    for (uint32_t y = 1; y + 1 < H; ++y)
        for (uint32_t x = 1; x + 1 < W; ++x)  // the last interior row takes the border above it
            EXPECT_NEAR(dvdt(x, y),
                        before(x, y) + 0.5 * (buoyancy * (t(x, y) + t(x, y + 1)) +
                                              gravity * (rho(x, y) + rho(x, y + 1))),
                        1e-4);
}

// A Lamb–Oseen vortex has positive vorticity falling off outwards: confinement pushes along
// the rotation everywhere, so the vortex gains energy.
TEST(ForcesTest, ConfinementSpinsUpAVortex) {
    const uint32_t W = 48, H = 40;
    const double xc = 23.6, yc = 19.2, sigma = 5.0;
    const auto swirl = [&](double x, double y, bool vertical) {
        const double dx = x - xc, dy = y - yc, r2 = dx * dx + dy * dy;
        const double speed = 4 * (1 - std::exp(-r2 / (sigma * sigma))) / std::max(r2, 1e-12);
        return float(vertical ? speed * dx : -speed * dy);
    };
    FloatGrid u(W, H), v(W, H), w(W, H), fu(W, H), fv(W, H), u0(W, H), v0(W, H);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            u(x, y) = swirl(x + 0.5, y, false);
            v(x, y) = swirl(x, y + 0.5, true);
        }
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

}  // namespace
}  // namespace skv
