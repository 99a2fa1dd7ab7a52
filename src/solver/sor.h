#pragma once

#include <cstdint>

#include "grid/float_grid.h"

namespace skv {

class DeviceGrid;

// Red-black successive over-relaxation for the pressure equation of the projection,
//     (4 + σ)·p(i, j) − p(i−1, j) − p(i+1, j) − p(i, j−1) − p(i, j+1) = d(i, j),
// on the interior cells of padded grids (unit spacing, one border cell on each side; the border
// of p holds fixed values). Red cells are those with i + j even. A sweep updates all red
// interior cells, then all black ones, with p = (1 − ω)·p + ω/(4 + σ)·(neighbours + d).

// Solves with the scheduled relaxation factor (1.4, rising towards the optimum for the grid
// after 10 sweeps) in batches of sweeps (4, then 5) until the infinity norm of the residual is
// within `tolerance` or `maxSweeps` is reached. The initial guess is p = (1.4/(4 + σ))·d over
// the whole grid. On return t holds the residual d − A·p of the last batch (border 0), or is
// untouched when no sweep was needed; `sweeps` holds the sweeps done. Returns the final error:
// the norm of d when no sweep was done, else that of the last residual (NaN when the field
// holds NaNs). Mismatched grid sizes throw skv::Exception before any grid is touched.
// Allocates nothing.
//
// The batches run blocked in time (all half-sweeps of a batch and the residual norm as one
// wavefront over the rows, eight-lane vectors, t used as scratch until the end) and give the
// same bits as solveSORPlain: same sweeps, pressure, residual and error. (The one exception is
// a pressure that overflows: the residual then turns NaN where the pressure is still finite,
// and this solve may notice one batch later; it ends with a non-finite error all the same.)
float solveSOR(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, FloatGrid& p,
               const FloatGrid& d, FloatGrid& t, float sigma);

// The same schedule on device grids, with the device's red and black kernels, the matrix
// kernel plus t = −1·t + d as the residual (its border holds d's) and the device's
// absolute-maximum reduction over every element as the norm, which give the host's bits. The
// process CUDA context must be current; the solve rebinds the solver module's pressure to p.
float solveSOR(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, DeviceGrid& p,
               const DeviceGrid& d, DeviceGrid& t, float sigma);

// The reference: the same schedule, with plain sweeps and a plain residual pass per batch.
float solveSORPlain(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, FloatGrid& p,
                    const FloatGrid& d, FloatGrid& t, float sigma);

// `count` red-black sweeps, the reference order: one parallel pass over the grid per colour.
void sorSweepsPlain(FloatGrid& p, const FloatGrid& d, int count, float omega, float sigma);

// The same sweeps with the same result bit for bit, as the solver runs them: blocked in time,
// on rows rearranged so that each colour fills whole vectors. `scratch` (the size of p) is
// overwritten.
void sorSweeps(FloatGrid& p, const FloatGrid& d, FloatGrid& scratch, int count, float omega,
               float sigma);

// t = d − A·p on the interior, 0 on the border; returns the infinity norm of t (NaN when t
// holds a NaN). One plain parallel pass.
float pressureResidualPlain(const FloatGrid& p, const FloatGrid& d, FloatGrid& t, float sigma);

}  // namespace skv
