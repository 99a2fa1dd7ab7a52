// Every CPU pass of the sub-step computes, bit for bit, what its per-cell functions give: the
// device kernels are built from the same functions, so this is what ties the two paths together.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <limits>
#include <vector>

#include "grid_test_support.h"
#include "kernels/advection_cells.h"
#include "kernels/forces_cells.h"
#include "solver/advection.h"
#include "solver/forces.h"

namespace skv {
namespace {

using test::randomize;

// The grid in rows of a pitch larger than its width, the padding NaN: a per-cell function
// that reads past the end of a row yields NaN.
struct Pitched {
    int p;
    std::vector<float> v;
    explicit Pitched(const FloatGrid& g)
        : p(int(g.width()) + 5),
          v(size_t(p) * g.height(), std::numeric_limits<float>::quiet_NaN()) {
        for (uint32_t y = 0; y < g.height(); ++y)
            for (uint32_t x = 0; x < g.width(); ++x)
                at(x, y) = g(x, y);
    }
    float* data() { return v.data(); }
    float& at(int x, int y) { return v[size_t(y) * p + x]; }
};

// Each grid from its own seed.
void randomizeAll(unsigned seed, float lo, float hi, std::initializer_list<FloatGrid*> grids) {
    for (FloatGrid* g : grids)
        randomize(*g, seed++, lo, hi);
}

bool inside(int x, int y, int W, int H) {
    return x > 0 && y > 0 && x < W - 1 && y < H - 1;
}

void scalarAdvection(int W, int H, unsigned seed) {
    const float dt = 0.3f, dtPrev = 0.2f, rdx = 1.0f;
    const ScalarRule rules[] = {ScalarRule::fuel(), ScalarRule::density(0.3f),
                                ScalarRule::temperature(500.0f, 1000.0f, dt),
                                ScalarRule::textureCoordinate()};
    for (const ScalarRule& rule : rules)
        for (int variant = 0; variant < 4; ++variant) {
            const bool solid = variant & 1, withSource = variant & 2;
            FloatGrid q(W, H), out(W, H), prev(W, H), u(W, H), v(W, H), m(W, H), s(W, H);
            randomizeAll(seed, -1.5f, 1.5f, {&q, &prev, &u, &v, &s});
            test::randomMask(m, seed + 9, 0.25f);
            Pitched pq(q), pprev(prev), pu(u), pv(v), pm(m), ps(s);
            advectScalar(q, out, prev, u, v, solid ? &m : nullptr, withSource ? &s : nullptr, rule,
                         rdx, dt, dtPrev);
            const AdamsBashforth2 ab = adamsBashforth2(dt, dtPrev);
            for (int y = 1; y + 1 < H; ++y)
                for (int x = 1; x + 1 < W; ++x) {
                    if (solid && m(x, y) != 0.0f) continue;
                    float rate;
                    const float value = advanceScalarAt(
                        pq.data(), pu.data(), pv.data(), solid ? pm.data() : nullptr,
                        withSource ? ps.data() : nullptr, pq.p, W, H, x, y, rdx, rule, ab,
                        pprev.at(x, y), rate);
                    ASSERT_EQ(value, out(x, y)) << "variant " << variant << " at " << x << "," << y;
                    ASSERT_EQ(rate, prev(x, y));
                }
        }
}

void velocityAdvection(int W, int H, unsigned seed) {
    for (bool solid : {false, true}) {
        FloatGrid u(W, H), v(W, H), dudt(W, H), dvdt(W, H), m(W, H);
        randomizeAll(seed, -1.0f, 1.0f, {&u, &v});
        test::randomMask(m, seed + 9, 0.25f);
        Pitched pu(u), pv(v), pm(m);
        advectVelocity(u, v, dudt, dvdt, solid ? &m : nullptr, 0.5f);
        const int p = pu.p;
        for (int y = 1; y + 1 < H; ++y)
            for (int x = 1; x + 1 < W; ++x) {
                if (!solid) {
                    ASSERT_EQ(velocityRateU(pu.data(), pv.data(), p, W, H, x, y, 0.5f), dudt(x, y));
                    ASSERT_EQ(velocityRateV(pu.data(), pv.data(), p, W, H, x, y, 0.5f), dvdt(x, y));
                    continue;
                }
                if (fluidFaceU(pm.data(), p, x, y)) {
                    ASSERT_EQ(
                        velocityRateUSolid(pu.data(), pv.data(), pm.data(), p, W, H, x, y, 0.5f),
                        dudt(x, y));
                }
                if (fluidFaceV(pm.data(), p, x, y)) {
                    ASSERT_EQ(
                        velocityRateVSolid(pu.data(), pv.data(), pm.data(), p, W, H, x, y, 0.5f),
                        dvdt(x, y));
                }
            }
    }
}

void colourAdvection(int W, int H, unsigned seed) {
    FloatGrid c(W, H), out(W, H), u(W, H), v(W, H), xd(W, H), yd(W, H);
    randomizeAll(seed, -2.0f, 2.0f, {&c, &u, &v});
    Pitched pc(c), pu(u), pv(v);
    computeDeparturePoints(u, v, xd, yd, 0.6f, 1.0f);
    advectColor(c, out, xd, yd);
    for (int y = 1; y + 1 < H; ++y)
        for (int x = 1; x + 1 < W; ++x) {
            float px, py;
            departurePoint(pu.data(), pv.data(), pu.p, W, H, x, y, 0.6f, 1.0f, px, py);
            ASSERT_EQ(px, xd(x, y));
            ASSERT_EQ(py, yd(x, y));
            ASSERT_EQ(sampleCatmullRom(pc.data(), pc.p, W, H, px, py), out(x, y));
        }
}

void combustion(int W, int H, unsigned seed) {
    const BurnConstants k = burnConstants(1.2f, 0.7f, 0.4f, 800.0f, 0.3f);
    for (bool oxidized : {true, false}) {
        FloatGrid fuel(W, H), div(W, H), dens(W, H), temp(W, H), oxygen(W, H), mask(W, H);
        randomizeAll(seed, 0.0f, 0.6f, {&fuel, &div, &dens});
        randomize(temp, seed + 8, 0.0f, 900.0f);
        test::randomMask(mask, seed + 9, 0.15f);
        Pitched pf(fuel), pd(div), pr(dens), pt(temp), pm(mask), po(oxygen);
        if (oxidized)
            combustOxidized(fuel, div, dens, temp, k);
        else
            combustUnoxidized(fuel, div, dens, temp, oxygen, &mask, k);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                po.at(x, y) = oxygenOf(pf.at(x, y), pr.at(x, y), pm.at(x, y));
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                if (!oxidized && !inside(x, y, W, H)) continue;
                const float burnt =
                    oxidized
                        ? oxidizedBurn(k, pf.at(x, y))
                        : unoxidizedBurn(k, pf.at(x, y),
                                         oxygenAround(po.data(), ptrdiff_t(y) * po.p + x, po.p));
                burnCell(k, burnt, pf.at(x, y), pd.at(x, y), pr.at(x, y), pt.at(x, y));
                ASSERT_EQ(pf.at(x, y), fuel(x, y)) << "oxidized " << oxidized;
                ASSERT_EQ(pd.at(x, y), div(x, y));
                ASSERT_EQ(pr.at(x, y), dens(x, y));
                ASSERT_EQ(pt.at(x, y), temp(x, y));
            }
    }
}

void heatBlur(int W, int H, unsigned seed) {
    for (float d : {0.3f, 4.0f, 200.0f}) {
        FloatGrid t(W, H), scratch(W, H);
        randomize(t, seed, -50.0f, 500.0f);
        std::vector<float> taps;
        buildHeatDiffusionKernel(taps, 1.0f, d, 0.5f);
        const int r = int(taps.size()) - 1;
        Pitched pt(t), tmp(t);
        diffuseHeat(t, scratch, taps);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                tmp.at(x, y) = convolveXAt(pt.data(), pt.p, W, x, y, taps.data(), r);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                ASSERT_EQ(convolveYAt(tmp.data(), tmp.p, H, x, y, taps.data(), r), t(x, y))
                    << "D " << d << " at " << x << "," << y;
    }
}

void confinement(int W, int H, unsigned seed) {
    FloatGrid u(W, H), v(W, H), w(W, H), fu(W, H), fv(W, H);
    randomizeAll(seed, -1.0f, 1.0f, {&u, &v});
    Pitched pu(u), pv(v), pfu(u), pfv(u);
    const float dx = 0.5f, dt = 0.3f, vorticity = 1.7f;
    vorticityConfinement(u, v, w, fu, fv, dx, dt, vorticity);
    const int p = pu.p;
    FloatGrid wv(W, H);  // the host continues the vorticity into the border
    for (int y = 1; y < H - 1; ++y)
        for (int x = 1; x < W - 1; ++x)
            wv(x, y) =
                vorticityAt(pu.data(), pv.data(), ptrdiff_t(y) * p + x, p, 1.0f / (4.0f * dx));
    wv.copyBorder();
    Pitched pw(wv);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            pfu.at(x, y) = pfv.at(x, y) = 0.0f;
            if (inside(x, y, W, H))
                confinementForceAt(pw.data(), ptrdiff_t(y) * p + x, p, 1.0f / (2.0f * dx),
                                   pfu.at(x, y), pfv.at(x, y));
            ASSERT_EQ(pw.at(x, y), w(x, y));
            ASSERT_EQ(pfu.at(x, y), fu(x, y));
            ASSERT_EQ(pfv.at(x, y), fv(x, y));
        }
    const float s = 0.5f * dt * vorticity;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const bool added = x >= kConfinementFirstCellHost && y >= kConfinementFirstCellHost &&
                               x <= W - 3 && y <= H - 3;
            const ptrdiff_t i = ptrdiff_t(y) * p + x;
            ASSERT_EQ(u(x, y), added ? pu.at(x, y) + confinementU(pfu.data(), i, s) : pu.at(x, y));
            ASSERT_EQ(v(x, y),
                      added ? pv.at(x, y) + confinementV(pfv.data(), i, p, s) : pv.at(x, y));
        }
}

struct Pass {
    const char* name;
    std::function<void(int, int, unsigned)> check;
};

TEST(CellFunctionsTest, EveryPassEqualsItsCellFunctions) {
    const Pass passes[] = {
        {"scalar advection", scalarAdvection}, {"velocity advection", velocityAdvection},
        {"colour advection", colourAdvection}, {"combustion", combustion},
        {"heat diffusion", heatBlur},          {"vorticity confinement", confinement}};
    // The smallest grids have no QUICK faces at all; the largest is split over threads.
    const int sizes[][2] = {{3, 3}, {4, 4}, {5, 6}, {9, 7}, {37, 23}, {150, 121}};
    unsigned seed = 1;
    for (const Pass& pass : passes)
        for (const auto& size : sizes) {
            SCOPED_TRACE(testing::Message() << pass.name << " " << size[0] << "x" << size[1]);
            pass.check(size[0], size[1], seed += 10);
            if (testing::Test::HasFatalFailure()) return;
        }
}

}  // namespace
}  // namespace skv
