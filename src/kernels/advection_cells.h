#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>

#include "kernels/hd.h"
#include "kernels/sampling.h"

// Per-cell arithmetic of the advection, shared by the CPU passes (advection.cpp), the CUDA
// kernels and their emulated twins. Host and device agree bit for bit only when neither
// contracts a multiply and an add into one rounding (-ffp-contract=off here, nvcc -fmad=false)
// and the device divides and takes square roots exactly (nvcc's default, no fast math).
//
// Grid views: `q`, `U`, `V`, `m` point at cell (0, 0) of a padded grid of W × H cells whose
// rows are `p` floats apart (p >= W; device grids are pitched). Cell (x, y) is element
// i = y·p + x; interior cells are 1 <= x <= W - 2, 1 <= y <= H - 2, and only those are
// evaluated. Velocity is staggered: U[i] lives on the face between cells i and i + 1, V[i] on
// the face between cells i and i + p. An obstacle mask `m` is 0 in fluid cells.

namespace skv {

// --- QUICK face interpolation ------------------------------------------------------------

// Weights of the quadratic upwind interpolation at a face: the node before the upwind node,
// the upwind node and the downwind node. Third order for smooth fields.
constexpr float kQuickFar = -0.125f;
constexpr float kQuickUpwind = 0.75f;
constexpr float kQuickDownwind = 0.375f;

// Value on the face between nodes a (left or lower) and b, with a₋ before a and b₊ after b,
// for the face velocity f (a is upwind when f >= 0): −0.125·a₋ + 0.75·a + 0.375·b, or the
// mirror image. The nodes are chosen first and the weights applied once, which is the same
// arithmetic as evaluating both forms and keeps the loops that use it branch-free.
SKV_HD float quickFace(float f, float am, float a, float b, float bp) {
    const bool forward = f >= 0.0f;
    const float far = forward ? am : bp;
    const float up = forward ? a : b;
    const float down = forward ? b : a;
    return kQuickFar * far + kQuickUpwind * up + kQuickDownwind * down;
}

// The face between cells i and i + s (s = 1 along x, p along y) with face velocity f.
SKV_HD float quickFaceAt(const float* q, ptrdiff_t i, ptrdiff_t s, float f) {
    return quickFace(f, q[i - s], q[i], q[i + s], q[i + 2 * s]);
}
SKV_HD float upwindFaceAt(const float* q, ptrdiff_t i, ptrdiff_t s, float f) {
    return f >= 0.0f ? q[i] : q[i + s];
}

// --- Conservative scalar flux --------------------------------------------------------------
//
// Each face value is chosen by a rule that depends on the face alone, so the two cells that
// share a face see the same flux and the total of the scalar changes only through the border
// faces: QUICK where its four-node stencil lies inside the grid (faces 1½ … W−3½ along x),
// first-order upwind by the face's own velocity on the border faces.

// Flux difference of cell i along one axis (stride s): vHi·q(upper face) − vLo·q(lower face).
// Reads the far stencil nodes only for QUICK faces, so it is safe at the border.
SKV_HD float fluxDifference(const float* q, ptrdiff_t i, ptrdiff_t s, float vHi, float vLo,
                            bool quickHi, bool quickLo) {
    const float qHi = quickHi ? quickFaceAt(q, i, s, vHi) : upwindFaceAt(q, i, s, vHi);
    const float qLo = quickLo ? quickFaceAt(q, i - s, s, vLo) : upwindFaceAt(q, i - s, s, vLo);
    return vHi * qHi - vLo * qLo;
}

// The same where the whole five-node stencil lies in the grid (both faces could be QUICK):
// every node is read and the face rules are chosen without branches.
SKV_HD float fluxDifferenceInside(const float* q, ptrdiff_t i, ptrdiff_t s, float vHi, float vLo,
                                  bool quickHi, bool quickLo) {
    const float n0 = q[i - 2 * s], n1 = q[i - s], n2 = q[i], n3 = q[i + s], n4 = q[i + 2 * s];
    const float qHi = pick(quickHi, quickFace(vHi, n1, n2, n3, n4), vHi >= 0.0f ? n2 : n3);
    const float qLo = pick(quickLo, quickFace(vLo, n0, n1, n2, n3), vLo >= 0.0f ? n1 : n2);
    return vHi * qHi - vLo * qLo;
}

// d q / d t of the flux form at interior cell (x, y): −rdx·(Fx + Fy).
SKV_HD float conservativeRate(const float* q, const float* U, const float* V, int p, int W, int H,
                              int x, int y, float rdx) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    const float fx = fluxDifference(q, i, 1, U[i], U[i - 1], x <= W - 3, x >= 2);
    const float fy = fluxDifference(q, i, p, V[i], V[i - p], y <= H - 3, y >= 2);
    return -rdx * (fx + fy);
}

// True when the four stencil cells of the face between i and i + s are all fluid.
SKV_HD bool fluidStencil(const float* m, ptrdiff_t i, ptrdiff_t s) {
    return (m[i - s] == 0.0f) & (m[i] == 0.0f) & (m[i + s] == 0.0f) & (m[i + 2 * s] == 0.0f);
}

// The flux form next to obstacles: a face uses QUICK only where, besides fitting the grid,
// its whole stencil is fluid, so no solid value enters a higher-order face value.
SKV_HD float conservativeRateSolid(const float* q, const float* U, const float* V, const float* m,
                                   int p, int W, int H, int x, int y, float rdx) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    const bool right = x <= W - 3 && fluidStencil(m, i, 1);
    const bool left = x >= 2 && fluidStencil(m, i - 1, 1);
    const bool top = y <= H - 3 && fluidStencil(m, i, p);
    const bool bottom = y >= 2 && fluidStencil(m, i - p, p);
    const float fx = fluxDifference(q, i, 1, U[i], U[i - 1], right, left);
    const float fy = fluxDifference(q, i, p, V[i], V[i - p], top, bottom);
    return -rdx * (fx + fy);
}

// Device forms of the flux kernels: the rate at any cell, 0 on the border (and, for the Solid
// kernel, in obstacles, where the host pass leaves the value unchanged). mrdx = −1/dx.
SKV_HD float conservativeRateAt(const float* q, const float* U, const float* V, int p, int W, int H,
                                int x, int y, float mrdx) {
    if (x < 1 || y < 1 || x > W - 2 || y > H - 2) return 0.0f;
    return conservativeRate(q, U, V, p, W, H, x, y, -mrdx);
}
SKV_HD float conservativeRateSolidAt(const float* q, const float* U, const float* V, const float* m,
                                     int p, int W, int H, int x, int y, float mrdx) {
    if (x < 1 || y < 1 || x > W - 2 || y > H - 2) return 0.0f;
    if (m[ptrdiff_t(y) * p + x] != 0.0f) return 0.0f;
    return conservativeRateSolid(q, U, V, m, p, W, H, x, y, -mrdx);
}

// --- Advective (non-conservative) form with QUICK faces: the device's clamping kernel ------
//
// Transports with twice the cell-centred velocity, s = uR + uL, and mr2dx = −1/(2·dx): values
// are carried along, not concentrated where the flow converges, as befits texture
// coordinates (positions, not amounts). Next to the border, first-order upwind differences by
// the sign of s. Used on the device for the texture coordinates.

SKV_HD float advectiveDifference(const float* q, ptrdiff_t i, ptrdiff_t s, float vHi, float vLo,
                                 bool quick) {
    const float sum = vHi + vLo;
    if (quick) return sum * (quickFaceAt(q, i, s, vHi) - quickFaceAt(q, i - s, s, vLo));
    return sum >= 0.0f ? sum * (q[i] - q[i - s]) : sum * (q[i + s] - q[i]);
}

SKV_HD float advectiveRateClampAt(const float* q, const float* U, const float* V, int p, int W,
                                  int H, int x, int y, float mr2dx) {
    if (x < 1 || y < 1 || x > W - 2 || y > H - 2) return 0.0f;
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    const float gx = advectiveDifference(q, i, 1, U[i], U[i - 1], x >= 2 && x <= W - 3);
    const float gy = advectiveDifference(q, i, p, V[i], V[i - p], y >= 2 && y <= H - 3);
    return mr2dx * (gx + gy);
}

// As above next to obstacles: QUICK along an axis only where the cells two either side are
// fluid; 0 in obstacle cells.
SKV_HD float advectiveRateClampSolidAt(const float* q, const float* U, const float* V,
                                       const float* m, int p, int W, int H, int x, int y,
                                       float mr2dx) {
    if (x < 1 || y < 1 || x > W - 2 || y > H - 2) return 0.0f;
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    if (m[i] != 0.0f) return 0.0f;
    const bool qx = x >= 2 && x <= W - 3 && fluidStencil(m, i - 1, 1) && m[i + 2] == 0.0f;
    const bool qy = y >= 2 && y <= H - 3 && fluidStencil(m, i - p, p) && m[i + 2 * p] == 0.0f;
    const float gx = advectiveDifference(q, i, 1, U[i], U[i - 1], qx);
    const float gy = advectiveDifference(q, i, p, V[i], V[i - p], qy);
    return mr2dx * (gx + gy);
}

// --- Time integration and per-field rules of the scalars -----------------------------------

// Variable-step second-order Adams–Bashforth: q += s·(c1·rate − c0·rate_prev). With no
// previous step (dt_prev = 0, right after a reset) it is forward Euler.
struct AdamsBashforth2 {
    float s;
    float c1;
    float c0;
};

SKV_HD AdamsBashforth2 adamsBashforth2(float dt, float dtPrev) {
    if (dtPrev > 0.0f) return {dt / dtPrev, dtPrev + 0.5f * dt, 0.5f * dt};
    return {1.0f, dt, 0.0f};
}

SKV_HD float integrate(const AdamsBashforth2& ab, float q, float rate, float ratePrev) {
    return q + ab.s * (ab.c1 * rate - ab.c0 * ratePrev);
}

// The rate term a scalar adds to its transport.
enum class ScalarExtra : uint8_t {
    None,         // fuel, texture coordinates, colour
    Dissipation,  // density: −dissipation·q
    Cooling,      // temperature: −cooling rate
};

constexpr float kAbsoluteZero = -273.0f;  // °C
constexpr float kMaxDensity = 1.5f;
// The device bounds the temperature by a fixed ceiling rather than by the heat creation.
constexpr float kDeviceMaxTemperature = 3000.0f;

// How one scalar field is advected: its extra rate term and the range its new value is
// clamped into. Build it with the factories below.
struct ScalarRule {
    ScalarExtra extra = ScalarExtra::None;
    float dissipation = 0.0f;         // density: decay rate per unit time
    float cooling = 0.0f;             // temperature: cooling strength, > 0 to cool
    float coolingTemperature = 1.0f;  // temperature at which cooling has its full strength
    float rdt = 0.0f;  // 1/dt: cooling removes at most the positive temperature per step
    float lo = -FLT_MAX;
    float hi = FLT_MAX;

    SKV_HD static ScalarRule clamped(ScalarExtra extra, float lo, float hi) {
        ScalarRule r;
        r.extra = extra;
        r.lo = lo;
        r.hi = hi;
        return r;
    }
    SKV_HD static ScalarRule fuel() { return clamped(ScalarExtra::None, 0.0f, FLT_MAX); }
    // The host applies the dissipation as it is, whatever its sign.
    SKV_HD static ScalarRule density(float dissipation) {
        ScalarRule r = clamped(ScalarExtra::Dissipation, 0.0f, kMaxDensity);
        r.dissipation = dissipation;
        return r;
    }
    // The device applies dissipation only when it is positive.
    SKV_HD static ScalarRule densityDevice(float dissipation) {
        return density(dissipation > 0.0f ? dissipation : 0.0f);
    }
    // Cools (on the host, inside the transport) only when cooling > 0; clamps to
    // [-273, heat creation].
    SKV_HD static ScalarRule temperature(float cooling, float heatCreation, float dt) {
        if (!(cooling > 0.0f)) return clamped(ScalarExtra::None, kAbsoluteZero, heatCreation);
        ScalarRule r = clamped(ScalarExtra::Cooling, kAbsoluteZero, heatCreation);
        r.cooling = cooling;
        r.coolingTemperature = heatCreation;
        r.rdt = dt > 0.0f ? 1.0f / dt : 0.0f;
        return r;
    }
    // The device cools in a pass of its own (coolingRate) and clamps to [-273, 3000].
    SKV_HD static ScalarRule temperatureDevice() {
        return clamped(ScalarExtra::None, kAbsoluteZero, kDeviceMaxTemperature);
    }
    // Also the rule of the device's colour channels.
    SKV_HD static ScalarRule textureCoordinate() { return clamped(ScalarExtra::None, 0.0f, 1.0f); }
};

// The radiative cooling rate (to be subtracted) of a cell at temperature t:
// min(cooling·(t⁺ / coolingTemperature)⁴, t⁺·rdt) with t⁺ = max(t, 0), and 0 unless
// cooling > 0. The cap removes at most the positive temperature in one step of 1/rdt; a zero
// coolingTemperature yields the cap instead of 0/0.
SKV_HD float coolingRate(float t, float cooling, float coolingTemperature, float rdt) {
    const float tp = t > 0.0f ? t : 0.0f;
    const float a = tp / coolingTemperature;
    const float a2 = a * a;
    const float c = cooling * (a2 * a2);
    const float cap = tp * rdt;
    return pick(cooling > 0.0f, c < cap ? c : cap, 0.0f);
}

// The transport rate plus the field's extra term (kExtra fixed at compile time for the
// vectorised loops; withExtraRate picks it at run time with the same arithmetic).
template <ScalarExtra kExtra>
SKV_HD float withExtraRateOf(const ScalarRule& r, float rate, float q) {
    if constexpr (kExtra == ScalarExtra::Dissipation) return rate + -r.dissipation * q;
    if constexpr (kExtra == ScalarExtra::Cooling)
        return rate - coolingRate(q, r.cooling, r.coolingTemperature, r.rdt);
    return rate;
}

SKV_HD float withExtraRate(const ScalarRule& r, float rate, float q) {
    switch (r.extra) {
        case ScalarExtra::Dissipation:
            return withExtraRateOf<ScalarExtra::Dissipation>(r, rate, q);
        case ScalarExtra::Cooling:
            return withExtraRateOf<ScalarExtra::Cooling>(r, rate, q);
        case ScalarExtra::None:
            break;
    }
    return rate;
}

SKV_HD float storeScalar(const ScalarRule& r, float v) {
    v = v > r.lo ? v : r.lo;
    return v < r.hi ? v : r.hi;
}

// The complete host update of one fluid interior cell: the transport rate (with or without
// obstacle mask m), the field's extra term and the differential source (null when absent),
// then the time integration and the store rule. Returns the new value and writes the rate
// that the next step needs as rate_prev.
SKV_HD float advanceScalarAt(const float* q, const float* U, const float* V, const float* m,
                             const float* source, int p, int W, int H, int x, int y, float rdx,
                             const ScalarRule& rule, const AdamsBashforth2& ab, float ratePrev,
                             float& rate) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    float r = m ? conservativeRateSolid(q, U, V, m, p, W, H, x, y, rdx)
                : conservativeRate(q, U, V, p, W, H, x, y, rdx);
    r = withExtraRate(rule, r, q[i]);
    if (source) r = r + source[i];
    rate = r;
    return storeScalar(rule, integrate(ab, q[i], r, ratePrev));
}

// --- Staggered velocity ---------------------------------------------------------------------
//
// Momentum flux form with QUICK faces. du/dt on a u face uses centre velocities along x and
// corner velocities along y; dv/dt the converse. Next to the border the far stencil node is
// replaced by the near one: the offsets xm2, xp2 (1 or 2) and ym2, yp2 (p or 2p) say how far
// the −2 and +2 nodes are.

struct VelocityOffsets {
    ptrdiff_t xm2, xp2, ym2, yp2;
};

SKV_HD VelocityOffsets velocityOffsets(int p, int W, int H, int x, int y) {
    return {x < 2 ? 1 : 2, x >= W - 2 ? 1 : 2, y < 2 ? ptrdiff_t(p) : 2 * ptrdiff_t(p),
            y >= H - 2 ? ptrdiff_t(p) : 2 * ptrdiff_t(p)};
}

SKV_HD float velocityRateUWith(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p,
                               const VelocityOffsets& o, float rdx) {
    const float ua = 0.5f * (U[i] + U[i + 1]);
    const float ub = 0.5f * (U[i - 1] + U[i]);
    const float qa = quickFace(ua, U[i - 1], U[i], U[i + 1], U[i + o.xp2]);
    const float qb = quickFace(ub, U[i - o.xm2], U[i - 1], U[i], U[i + 1]);
    const float fxx = qa * qa - qb * qb;
    const float va = 0.5f * (V[i] + V[i + 1]);
    const float vb = 0.5f * (V[i - p] + V[i - p + 1]);
    const float qc = quickFace(va, U[i - p], U[i], U[i + p], U[i + o.yp2]);
    const float qd = quickFace(vb, U[i - o.ym2], U[i - p], U[i], U[i + p]);
    const float fxy = va * qc - vb * qd;
    return -rdx * (fxx + fxy);
}

SKV_HD float velocityRateVWith(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p,
                               const VelocityOffsets& o, float rdx) {
    const float ua = 0.5f * (U[i] + U[i + p]);
    const float ub = 0.5f * (U[i - 1] + U[i + p - 1]);
    const float qa = quickFace(ua, V[i - 1], V[i], V[i + 1], V[i + o.xp2]);
    const float qb = quickFace(ub, V[i - o.xm2], V[i - 1], V[i], V[i + 1]);
    const float fyx = ua * qa - ub * qb;
    const float va = 0.5f * (V[i] + V[i + p]);
    const float vb = 0.5f * (V[i - p] + V[i]);
    const float qc = quickFace(va, V[i - p], V[i], V[i + p], V[i + o.yp2]);
    const float qd = quickFace(vb, V[i - o.ym2], V[i - p], V[i], V[i + p]);
    const float fyy = qc * qc - qd * qd;
    return -rdx * (fyx + fyy);
}

// du/dt and dv/dt at the interior index (x, y).
SKV_HD float velocityRateU(const float* U, const float* V, int p, int W, int H, int x, int y,
                           float rdx) {
    return velocityRateUWith(U, V, ptrdiff_t(y) * p + x, p, velocityOffsets(p, W, H, x, y), rdx);
}
SKV_HD float velocityRateV(const float* U, const float* V, int p, int W, int H, int x, int y,
                           float rdx) {
    return velocityRateVWith(U, V, ptrdiff_t(y) * p + x, p, velocityOffsets(p, W, H, x, y), rdx);
}

// Next to obstacles only faces between two fluid cells get a rate.
SKV_HD bool fluidFaceU(const float* m, int p, int x, int y) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    return m[i] == 0.0f && m[i + 1] == 0.0f;
}
SKV_HD bool fluidFaceV(const float* m, int p, int x, int y) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    return m[i] == 0.0f && m[i + p] == 0.0f;
}

// Next to obstacles a flux may use QUICK only when its far nodes are fluid interior cells:
// the cell two steps downstream when the downstream centre velocity is negative, the cell one
// step upstream when the upstream centre velocity is non-negative. Otherwise it falls back to
// first-order upwind: a self flux by the sign of the component at the face, a cross flux by
// the sign of the mean transverse velocity. Which of those cells (i + 2, i − 1, i + 2p, i − p)
// are fluid interior cells is the same for the u and the v face of cell i.
struct FarCells {
    bool xFar, xNear, yFar, yNear;
};

// Reads the mask only inside the interior, so it is safe at the border.
SKV_HD FarCells farCells(const float* m, int p, int W, int H, int x, int y) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    return {x + 2 <= W - 2 && m[i + 2] == 0.0f, x - 1 >= 1 && m[i - 1] == 0.0f,
            y + 2 <= H - 2 && m[i + 2 * ptrdiff_t(p)] == 0.0f, y - 1 >= 1 && m[i - p] == 0.0f};
}

SKV_HD bool quickAllowed(bool farFluid, bool nearFluid, float downstream, float upstream) {
    return (downstream >= 0.0f || farFluid) && (upstream < 0.0f || nearFluid);
}

// Both flux forms are evaluated and one is picked, so that the interior loop has no branches.
SKV_HD float velocityRateUSolidWith(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p,
                                    const VelocityOffsets& o, bool xFar, bool xNear, bool yFar,
                                    bool yNear, float rdx) {
    const float ua = 0.5f * (U[i] + U[i + 1]);
    const float ub = 0.5f * (U[i - 1] + U[i]);
    const float qa = quickFace(ua, U[i - 1], U[i], U[i + 1], U[i + o.xp2]);
    const float qb = quickFace(ub, U[i - o.xm2], U[i - 1], U[i], U[i + 1]);
    const float fxxUp = pick(U[i] >= 0.0f, ua * U[i] - ub * U[i - 1], ua * U[i + 1] - ub * U[i]);
    const float fxx = pick(quickAllowed(xFar, xNear, ua, ub), qa * qa - qb * qb, fxxUp);
    const float va = 0.5f * (V[i] + V[i + 1]);
    const float vb = 0.5f * (V[i - p] + V[i - p + 1]);
    const float qc = quickFace(va, U[i - p], U[i], U[i + p], U[i + o.yp2]);
    const float qd = quickFace(vb, U[i - o.ym2], U[i - p], U[i], U[i + p]);
    const float fxyUp =
        pick(0.5f * (va + vb) >= 0.0f, va * U[i] - vb * U[i - p], va * U[i + p] - vb * U[i]);
    const float fxy = pick(quickAllowed(yFar, yNear, va, vb), va * qc - vb * qd, fxyUp);
    return -rdx * (fxx + fxy);
}

SKV_HD float velocityRateVSolidWith(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p,
                                    const VelocityOffsets& o, bool xFar, bool xNear, bool yFar,
                                    bool yNear, float rdx) {
    const float ua = 0.5f * (U[i] + U[i + p]);
    const float ub = 0.5f * (U[i - 1] + U[i + p - 1]);
    const float qa = quickFace(ua, V[i - 1], V[i], V[i + 1], V[i + o.xp2]);
    const float qb = quickFace(ub, V[i - o.xm2], V[i - 1], V[i], V[i + 1]);
    const float fyxUp =
        pick(0.5f * (ua + ub) >= 0.0f, ua * V[i] - ub * V[i - 1], ua * V[i + 1] - ub * V[i]);
    const float fyx = pick(quickAllowed(xFar, xNear, ua, ub), ua * qa - ub * qb, fyxUp);
    const float va = 0.5f * (V[i] + V[i + p]);
    const float vb = 0.5f * (V[i - p] + V[i]);
    const float qc = quickFace(va, V[i - p], V[i], V[i + p], V[i + o.yp2]);
    const float qd = quickFace(vb, V[i - o.ym2], V[i - p], V[i], V[i + p]);
    const float fyyUp = pick(V[i] >= 0.0f, va * V[i] - vb * V[i - p], va * V[i + p] - vb * V[i]);
    const float fyy = pick(quickAllowed(yFar, yNear, va, vb), qc * qc - qd * qd, fyyUp);
    return -rdx * (fyx + fyy);
}

// du/dt and dv/dt at interior index (x, y) next to obstacles; meant for faces between two
// fluid cells (fluidFaceU, fluidFaceV).
SKV_HD float velocityRateUSolid(const float* U, const float* V, const float* m, int p, int W, int H,
                                int x, int y, float rdx) {
    const FarCells c = farCells(m, p, W, H, x, y);
    return velocityRateUSolidWith(U, V, ptrdiff_t(y) * p + x, p, velocityOffsets(p, W, H, x, y),
                                  c.xFar, c.xNear, c.yFar, c.yNear, rdx);
}
SKV_HD float velocityRateVSolid(const float* U, const float* V, const float* m, int p, int W, int H,
                                int x, int y, float rdx) {
    const FarCells c = farCells(m, p, W, H, x, y);
    return velocityRateVSolidWith(U, V, ptrdiff_t(y) * p + x, p, velocityOffsets(p, W, H, x, y),
                                  c.xFar, c.xNear, c.yFar, c.yNear, rdx);
}

// --- Semi-Lagrangian colour transport (host path) ------------------------------------------

// Departure point of interior cell (x, y) by a two-stage (midpoint) backtrace over the step
// dt·dx, clamped into the grid. Computed once per step and shared by the colour channels.
// Index as for the samplers.
template <typename Index = ptrdiff_t>
SKV_HD void departurePoint(const float* U, const float* V, int p, int W, int H, int x, int y,
                           float dt, float dx, float& xd, float& yd) {
    const Index i = Index(y) * p + x;
    const float step = dt * dx;
    const float half = step * 0.25f;  // half a step of the mean of two face velocities
    const float x1 = float(x) - half * (U[i] + U[i + 1]);
    const float y1 = float(y) - half * (V[i] + V[i + p]);
    const float u = sampleBilinear<Index>(U, p, W, H, x1 + 0.5f, y1);
    const float v = sampleBilinear<Index>(V, p, W, H, x1, y1 + 0.5f);
    xd = clampPosition(float(x) - step * u, 0.0f, float(W - 1));
    yd = clampPosition(float(y) - step * v, 0.0f, float(H - 1));
}

}  // namespace skv
