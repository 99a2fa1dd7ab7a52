#pragma once

#include <vector>

#include "grid/float_grid.h"
#include "kernels/forces_cells.h"

// CPU passes of the source terms of the fast solver's sub-step: combustion, heat diffusion,
// buoyancy and gravity, vorticity confinement. Every grid of one call has the same padded
// size W × H; staggering and interior cells as in advection.h. Scratch grids and the kernel
// taps belong to the caller; no pass allocates. Temperatures are in degrees Celsius.

namespace skv {

// Oxidized burn model, every cell: up to burn rate × dt of the fuel burns; the divergence is
// overwritten with the expansion, soot adds to the density, the temperature rises.
void combustOxidized(FloatGrid& fuel, FloatGrid& divergence, FloatGrid& density,
                     FloatGrid& temperature, const BurnConstants& c);

// Un-oxidized burn model: fuel burns only as far as oxygen reaches the cell, oxygen being
// what fuel and smoke leave of each cell and its four neighbours (none in obstacles).
// `oxygen` is scratch; only interior cells burn.
void combustUnoxidized(FloatGrid& fuel, FloatGrid& divergence, FloatGrid& density,
                       FloatGrid& temperature, FloatGrid& oxygen, const FloatGrid* obstacle,
                       const BurnConstants& c);

// One-sided taps w[0 … n−1] (n >= 2) of the normalised Gaussian heat kernel of diffusion
// coefficient D over dt on cells of size dx: w[0] + 2·(w[1] + … + w[n−1]) = 1, ending where
// exp(−x²/(4·D·dt)) falls to 0.001 × the kernel's peak value (4π·D·dt)^−1.5. D·dt <= 0 gives
// the identity kernel (1, 0). Reuses the vector's storage; rebuild only when dt or D change.
void buildHeatDiffusionKernel(std::vector<float>& taps, float dx, float D, float dt);

// Cells whose weight exceeds the threshold take the value instead of the blurred temperature,
// as t.setMasked(value, weight, threshold) right after the blur would, while each row is still
// in cache.
struct HeatOverwrite {
    const FloatGrid& value;
    const FloatGrid& weight;
    float threshold;
};

// Separable blur of the temperature t with the taps (along x into scratch, then along y back),
// over every cell; taps outside the grid are dropped. Does nothing with fewer than two taps.
void diffuseHeat(FloatGrid& t, FloatGrid& scratch, const std::vector<float>& taps,
                 const HeatOverwrite* overwrite = nullptr);

// dv/dt += ½·(buoyancy·(T + T above) + gravity·(ρ + ρ above)) on the v face above every
// interior cell. The record's buoyancy is negative for rising heat (smaller row indices).
void addBuoyancyAndGravity(FloatGrid& dvdt, const FloatGrid& temperature, const FloatGrid& density,
                           float buoyancy, float gravity);

// Vorticity confinement with strength `vorticity` over dt: computes the vorticity into w (its
// border copying the interior neighbours), the confinement force into fu, fv (border 0) and
// adds ½·dt·vorticity × the face means of the force to u and v. Nothing when vorticity <= 0.
void vorticityConfinement(FloatGrid& u, FloatGrid& v, FloatGrid& w, FloatGrid& fu, FloatGrid& fv,
                          float dx, float dt, float vorticity);

}  // namespace skv
