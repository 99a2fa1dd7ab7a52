#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/hd.h"

// Point sampling of a cell-centred grid: bilinear, and clamped Catmull-Rom bicubic for the
// semi-Lagrangian colour advection. Coordinates are in cells of the padded grid (cell (x, y)
// sits at the point (x, y)); `p` is the row pitch in floats, W × H the padded size. Both need
// W, H >= 2.

namespace skv {

// c ? a : b, chosen bit-wise on the host. The vectorised CPU loops need this where a choice
// would otherwise let the compiler move the arithmetic of one alternative under a branch,
// which it then cannot turn back into a select (floating-point operations may trap). The
// value is the same either way; the device compiler predicates the plain form.
SKV_HD float pick(bool c, float a, float b) {
#if defined(__CUDA_ARCH__)
    return c ? a : b;
#else
    uint32_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const uint32_t mask = 0u - uint32_t(c);
    const uint32_t r = (ua & mask) | (ub & ~mask);
    float out;
    std::memcpy(&out, &r, sizeof out);
    return out;
#endif
}

// v clamped into [lo, hi]; a NaN becomes lo, so that a sample position computed from a broken
// velocity still indexes inside the grid.
SKV_HD float clampPosition(float v, float lo, float hi) {
    v = v > lo ? v : lo;
    return v < hi ? v : hi;
}

SKV_HD int smallerIndex(int a, int b) {
    return a < b ? a : b;
}

// The samplers take the type of their element indices: ptrdiff_t by default; int lets the
// CPU loops gather with vector instructions, for grids of fewer than 2^31 elements. The value
// does not depend on it.

// Bilinear sample of g at (x, y). The point is clamped into the grid; on the last column or
// row the base cell moves one back and the fraction becomes 1, so the stencil never leaves it.
template <typename Index = ptrdiff_t>
SKV_HD float sampleBilinear(const float* g, int p, int W, int H, float x, float y) {
    x = clampPosition(x, 0.0f, float(W - 1));
    y = clampPosition(y, 0.0f, float(H - 1));
    const int i = smallerIndex(int(x), W - 2);
    const int j = smallerIndex(int(y), H - 2);
    const float fx = x - float(i);
    const float fy = y - float(j);
    const Index n = Index(j) * p + i;
    const float a = g[n] + fx * (g[n + 1] - g[n]);
    const float b = g[n + p] + fx * (g[n + p + 1] - g[n + p]);
    return a + fy * (b - a);
}

// Catmull-Rom weights of the samples at -1, 0, 1, 2 for the fraction t in [0, 1]. They sum
// to 1 and reproduce linear functions, but may be negative: the sampler clamps.
SKV_HD void catmullRomWeights(float t, float w[4]) {
    const float t2 = t * t;
    const float t3 = t2 * t;
    w[0] = -0.5f * t3 + t2 - 0.5f * t;
    w[1] = 1.5f * t3 - 2.5f * t2 + 1.0f;
    w[2] = -1.5f * t3 + 2.0f * t2 + 0.5f * t;
    w[3] = 0.5f * t3 - 0.5f * t2;
}

// sampleCatmullRom for grids of at least 4 × 4 cells. Both samples are evaluated, the 4 × 4
// stencil with its base clamped into the grid, and one is picked: no branch, so the colour
// pass vectorises.
template <typename Index = ptrdiff_t>
SKV_HD float sampleCatmullRomWide(const float* g, int p, int W, int H, float x, float y) {
    const bool inside = (x >= 1.0f) & (y >= 1.0f) & (x <= float(W - 2)) & (y <= float(H - 2));
    const float cx = clampPosition(x, 1.0f, float(W - 2));
    const float cy = clampPosition(y, 1.0f, float(H - 2));
    // On the last interior column or row the stencil moves one cell back (fraction 1).
    const int i = smallerIndex(int(cx), W - 3);
    const int j = smallerIndex(int(cy), H - 3);
    float wx[4], wy[4];
    catmullRomWeights(cx - float(i), wx);
    catmullRomWeights(cy - float(j), wy);
    const Index base = Index(j - 1) * p + (i - 1);
    float rows[4];
    for (int k = 0; k < 4; ++k) {
        const Index r = base + Index(k) * p;
        rows[k] = wx[0] * g[r] + wx[1] * g[r + 1] + wx[2] * g[r + 2] + wx[3] * g[r + 3];
    }
    const float value = wy[0] * rows[0] + wy[1] * rows[1] + wy[2] * rows[2] + wy[3] * rows[3];

    const Index n = Index(j) * p + i;
    const float a = g[n], b = g[n + 1], c = g[n + p], d = g[n + p + 1];
    float lo = a < b ? a : b;
    float hi = a < b ? b : a;
    lo = c < lo ? c : lo;
    hi = c > hi ? c : hi;
    lo = d < lo ? d : lo;
    hi = d > hi ? d : hi;
    float v = value > lo ? value : lo;
    v = v < hi ? v : hi;
    return pick(inside, v, sampleBilinear<Index>(g, p, W, H, x, y));
}

// Catmull-Rom sample of g at (x, y), first along x on four rows, then along y, clamped to the
// range of the four nearest samples so that it never overshoots (no ringing at sharp colour
// edges). Where the 4 × 4 stencil would leave the grid (x < 1, y < 1, x > W - 2, y > H - 2,
// or a grid narrower than four cells) the sample is bilinear.
template <typename Index = ptrdiff_t>
SKV_HD float sampleCatmullRom(const float* g, int p, int W, int H, float x, float y) {
    if (W < 4 || H < 4) return sampleBilinear<Index>(g, p, W, H, x, y);
    return sampleCatmullRomWide<Index>(g, p, W, H, x, y);
}

}  // namespace skv
