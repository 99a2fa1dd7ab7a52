#pragma once

#include <cmath>

#include "kernels/hd.h"

// Per-element arithmetic of the field module. Where a host operation does the same work
// (FloatGrid, solver/vector_ops), the expression and its evaluation order are the host's, so
// that both give the same bits: z + (a·x + b·y) as FloatGrid::axpbypz, the comparisons of
// std::min and std::max as the wall clamps, the store rule of the scalar advection as the
// clamp, and a maximum magnitude that keeps NaN as infinityNorm does.

namespace skv {

SKV_HD float axpyValue(float a, float x, float y) {
    return a * x + y;
}

SKV_HD float axpbypzValue(float z, float a, float x, float b, float y) {
    return z + (a * x + b * y);
}

// std::max(x, a) and std::min(x, a): x unless the bound is strictly beyond it.
SKV_HD float maxValue(float x, float a) {
    return x < a ? a : x;
}
SKV_HD float minValue(float x, float a) {
    return a < x ? a : x;
}

// The store rule of the scalar advection (storeScalar): lo for values not above lo (a NaN too),
// hi for values not below hi.
SKV_HD float clampValue(float x, float lo, float hi) {
    x = x > lo ? x : lo;
    return x < hi ? x : hi;
}

SKV_HD float maskedValue(float x, float f, float m, float threshold) {
    return m > threshold ? f : x;
}

// The larger of a running maximum magnitude m and |v|. A NaN, once met, stays: a residual norm
// that skipped NaNs would let the solver report convergence on a field that has blown up.
SKV_HD float maxMagnitude(float m, float v) {
    const float a = fabsf(v);
    return (a > m || a != a) ? a : m;
}

// The larger of two partial maxima (both magnitudes), NaN winning.
SKV_HD float combineMagnitudes(float a, float b) {
    return (b > a || b != b) ? b : a;
}

}  // namespace skv
