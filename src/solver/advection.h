#pragma once

#include "grid/float_grid.h"
#include "kernels/advection_cells.h"

// CPU advection passes of the fast solver's sub-step. Every grid of one call has the same
// padded size W × H (the simulation resolution plus a one-cell border); only interior cells
// (1 <= x <= W - 2, 1 <= y <= H - 2) are computed. Velocity is staggered (u[x, y] on the face
// between cells x and x + 1, v[x, y] between rows y and y + 1); an obstacle mask is 0 in
// fluid cells. Scratch grids belong to the caller; no pass allocates.

namespace skv {

// Transports the scalar q by (u, v) in flux form with QUICK faces and advances it by dt with
// the variable-step Adams–Bashforth rule (forward Euler when dtPrev = 0), adding the rule's
// extra rate term and, when given, the differential source as a rate; the new values are
// clamped by the rule and written to `out` (distinct from q). `previousRate` holds the rate of
// the previous step and receives this step's. With an obstacle mask, obstacle cells are not
// advanced: `out` takes their old value and their previous rate stays. Border cells of `out`
// are not written.
void advectScalar(const FloatGrid& q, FloatGrid& out, FloatGrid& previousRate, const FloatGrid& u,
                  const FloatGrid& v, const FloatGrid* obstacle, const FloatGrid* source,
                  const ScalarRule& rule, float rdx, float dt, float dtPrev);

// The buoyancy and gravity that a velocity pass may add to dv/dt as it writes it: the same
// sum as addBuoyancyAndGravity, one pass over memory fewer.
struct PropertyForces {
    const FloatGrid& temperature;
    const FloatGrid& density;
    float buoyancy;
    float gravity;
};

// Momentum transport rates du/dt and dv/dt of the staggered velocity at every interior index.
// With an obstacle mask only faces between two fluid cells are written. With `forces`, every
// interior dv/dt then has them added, as addBuoyancyAndGravity would after this pass.
void advectVelocity(const FloatGrid& u, const FloatGrid& v, FloatGrid& dudt, FloatGrid& dvdt,
                    const FloatGrid* obstacle, float rdx, const PropertyForces* forces = nullptr);

// Departure points (xd, yd) of every interior cell for a step dt, by a midpoint backtrace
// through (u, v); shared by the colour channels of one step.
void computeDeparturePoints(const FloatGrid& u, const FloatGrid& v, FloatGrid& xd, FloatGrid& yd,
                            float dt, float dx);

// Semi-Lagrangian transport of one colour channel: every interior cell of `out` takes the
// clamped Catmull-Rom sample of c at its departure point.
void advectColor(const FloatGrid& c, FloatGrid& out, const FloatGrid& xd, const FloatGrid& yd);

}  // namespace skv
