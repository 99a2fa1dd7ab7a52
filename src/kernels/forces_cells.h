#pragma once

#include <cmath>
#include <cstddef>

#include "kernels/hd.h"
#include "kernels/sampling.h"

// Per-cell arithmetic of the source terms (combustion, cooling, buoyancy and gravity,
// vorticity confinement, the separable heat-diffusion blur), shared by the CPU passes
// (forces.cpp), the CUDA kernels and their emulated twins. Grid views and staggering are
// those of advection_cells.h: element (x, y) is y·p + x with the row pitch p >= W.

namespace skv {

// --- Combustion -----------------------------------------------------------------------------

// The constants of one burn step. Built once per sub-step by burnConstants().
struct BurnConstants {
    float maxBurn;        // burn rate × dt: the most fuel a cell burns in one step (>= 0)
    float expansionRate;  // expansion / dt: divergence per unit of fuel burnt
    float soot;           // density produced per unit of fuel burnt
    float heatCreation;   // temperature of fuel burning at the full rate
};

// dt <= 0 burns nothing, and a burn rate <= 0 too (no fuel is ever created).
SKV_HD BurnConstants burnConstants(float burnRate, float expansion, float sootCreation,
                                   float heatCreation, float dt) {
    const float maxBurn = burnRate * dt;
    return {maxBurn > 0.0f ? maxBurn : 0.0f, dt > 0.0f ? expansion / dt : 0.0f, sootCreation,
            heatCreation};
}

// Burns `burnt` of a cell's fuel: the fuel goes down, the divergence is overwritten with the
// expansion it causes, soot adds to the density and the temperature rises to at least the
// heat of burning at this fraction of the full rate (exactly the heat creation at the full
// rate; nothing burns when the rate is 0).
SKV_HD void burnCell(const BurnConstants& c, float burnt, float& fuel, float& divergence,
                     float& density, float& temperature) {
    const float left = fuel - burnt;
    fuel = left > 0.0f ? left : 0.0f;
    divergence = c.expansionRate * burnt;
    density = density + c.soot * burnt;
    const float heat = pick(c.maxBurn > 0.0f, c.heatCreation * (burnt / c.maxBurn), 0.0f);
    temperature = temperature > heat ? temperature : heat;
}

// Oxidized model: fuel burns up to the full rate wherever it is.
SKV_HD float oxidizedBurn(const BurnConstants& c, float fuel) {
    return fuel < c.maxBurn ? fuel : c.maxBurn;
}

// Un-oxidized model, oxygen available in a cell: what fuel and smoke leave of it, none inside
// an obstacle (mask != 0).
SKV_HD float oxygenOf(float fuel, float density, float mask) {
    const float q = 1.0f - fuel - density;
    return pick(mask != 0.0f, 0.0f, q > 0.0f ? q : 0.0f);
}

// Oxygen reaching interior cell i from itself (twice) and its four neighbours.
SKV_HD float oxygenAround(const float* Q, ptrdiff_t i, ptrdiff_t p) {
    return (2.0f * Q[i] + Q[i + 1] + Q[i - 1] + Q[i + p] + Q[i - p]) / 6.0f;
}

// Device form, for any cell: neighbours outside the grid contribute 0 and the divisor stays 6.
// The same arithmetic as oxygenAround() on interior cells.
SKV_HD float oxygenAroundClipped(const float* Q, int p, int W, int H, int x, int y) {
    const ptrdiff_t i = ptrdiff_t(y) * p + x;
    const float right = x + 1 < W ? Q[i + 1] : 0.0f;
    const float left = x > 0 ? Q[i - 1] : 0.0f;
    const float up = y + 1 < H ? Q[i + p] : 0.0f;
    const float down = y > 0 ? Q[i - p] : 0.0f;
    return (2.0f * Q[i] + right + left + up + down) / 6.0f;
}

SKV_HD float unoxidizedBurn(const BurnConstants& c, float fuel, float oxygen) {
    const float limit = fuel < c.maxBurn ? fuel : c.maxBurn;
    return oxygen < limit ? oxygen : limit;
}

// --- Buoyancy and gravity ------------------------------------------------------------------

// Acceleration of the v face above cell i from the two cells sharing it; halfBuoyancy and
// halfGravity are half the record's values (the mean of the two cells).
SKV_HD float propertyForce(const float* T, const float* density, ptrdiff_t i, ptrdiff_t p,
                           float halfBuoyancy, float halfGravity) {
    return halfGravity * (density[i] + density[i + p]) + halfBuoyancy * (T[i] + T[i + p]);
}

// --- Vorticity confinement -----------------------------------------------------------------

// Curl of the staggered velocity at the centre of interior cell i; r4dx = 1/(4·dx).
SKV_HD float vorticityAt(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p, float r4dx) {
    return r4dx * ((V[i + 1] + V[i + 1 - p]) - (V[i - 1] + V[i - 1 - p]) -
                   (U[i + p] + U[i + p - 1]) + (U[i - p] + U[i - p - 1]));
}

// The smallest squared gradient of |ω| the normalisation divides by: keeps it finite where
// the vorticity is uniform (the force is then 0).
constexpr float kConfinementEpsilon = 1e-30f;

// Confinement force at interior cell i from the vorticity w: the direction up the gradient of
// |ω|, turned by 90° and scaled by ω; r2dx = 1/(2·dx).
SKV_HD void confinementForceAt(const float* w, ptrdiff_t i, ptrdiff_t p, float r2dx, float& fu,
                               float& fv) {
    const float gx = r2dx * (fabsf(w[i + 1]) - fabsf(w[i - 1]));
    const float gy = r2dx * (fabsf(w[i + p]) - fabsf(w[i - p]));
    const float k = w[i] / sqrtf(gx * gx + gy * gy + kConfinementEpsilon);
    fu = gy * k;
    fv = -gx * k;
}

// The first cell index (x and y) whose faces receive the force: the host starts next to the
// border, the device one cell further in. Both stop at W − 3 and H − 3.
constexpr int kConfinementFirstCellHost = 1;
constexpr int kConfinementFirstCellDevice = 2;

// Force s·(f at the two cells sharing the face) added to the u face and the v face of cell i.
SKV_HD float confinementU(const float* fu, ptrdiff_t i, float s) {
    return s * (fu[i] + fu[i + 1]);
}
SKV_HD float confinementV(const float* fv, ptrdiff_t i, ptrdiff_t p, float s) {
    return s * (fv[i] + fv[i + p]);
}

// --- Separable blur of the heat diffusion --------------------------------------------------

// One output cell of the blur along x (or y) with the one-sided taps w[0 … r]: the sum over
// the cells within r of (x, y), in increasing order; taps that fall outside the grid are
// dropped without renormalising the rest.
SKV_HD float convolveXAt(const float* g, int p, int W, int x, int y, const float* w, int r) {
    const int lo = x - r > 0 ? x - r : 0;
    const int hi = x + r < W - 1 ? x + r : W - 1;
    const float* row = g + ptrdiff_t(y) * p;
    float sum = 0.0f;
    for (int k = lo; k <= hi; ++k)
        sum = sum + row[k] * w[k > x ? k - x : x - k];
    return sum;
}

SKV_HD float convolveYAt(const float* g, int p, int H, int x, int y, const float* w, int r) {
    const int lo = y - r > 0 ? y - r : 0;
    const int hi = y + r < H - 1 ? y + r : H - 1;
    float sum = 0.0f;
    for (int k = lo; k <= hi; ++k)
        sum = sum + g[ptrdiff_t(k) * p + x] * w[k > y ? k - y : y - k];
    return sum;
}

}  // namespace skv
