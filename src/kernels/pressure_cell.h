#pragma once

#include "kernels/hd.h"

namespace skv {

// Per-cell arithmetic of the pressure equation
//     (4 + σ)·p(i, j) − p(i−1, j) − p(i+1, j) − p(i, j−1) − p(i, j+1) = d(i, j)
// shared by the CPU sweeps (plain and blocked, scalar and vector) and the device kernels. The
// order of the additions is part of the contract: every path that claims the same result as
// another must evaluate exactly these expressions (the build forbids contraction into FMA).

// One over-relaxed Gauss–Seidel update: (1 − ω)·p + ω/(4 + σ)·(neighbours + d).
SKV_HD float sorRelax(float p, float left, float right, float down, float up, float div,
                      float oneMinusOmega, float omegaRaii) {
    const float sum = left + right + down + up + div;
    return oneMinusOmega * p + omegaRaii * sum;
}

// d − A·p with A·p = (4 + σ)·p − neighbours; aii = 4 + σ.
SKV_HD float pressureResidual(float p, float left, float right, float down, float up, float div,
                              float aii) {
    const float ap = aii * p - (left + right + down + up);
    return div - ap;
}

}  // namespace skv
