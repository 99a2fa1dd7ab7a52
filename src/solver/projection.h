#pragma once

#include "grid/float_grid.h"
#include "grid/progress_sink.h"
#include "grid/simulation_parameters.h"

namespace skv {

class DeviceGrid;
class MultigridSolver;

// The number of V-cycles a closed-domain projection allows itself, whatever the record says.
constexpr int kProjectionMultigridCycles = 10;

// The grids of one projection, host grids (FloatGrid) or device grids (DeviceGrid), all padded
// W × H with a one-cell border. u(i, j) is the face between cells (i, j) and (i+1, j), v(i, j)
// the face between (i, j) and (i, j+1); the others are cell-centred. The obstacle grids are
// optional: a mask (non-zero = solid), and for a moving obstacle both its velocity grids
// (otherwise obstacles are static).
template <class Grid>
struct ProjectionGrids {
    Grid& u;
    Grid& v;
    const Grid& e;  // the external divergence source
    Grid& d;        // receives the negative divergence plus the scaled source
    Grid& p;        // the pressure
    Grid& t;        // the residual, when SOR ran
    const Grid* obstacle = nullptr;
    const Grid* obstacleU = nullptr;
    const Grid* obstacleV = nullptr;
};

// What a projection reads and reports besides its grids.
struct ProjectionRun {
    SimulationParameters& params;  // the pressure settings; pressureSolverUsed is set
    int& iterations;  // the solver's cycles or sweeps (multigrid reads the previous count)
    double& seconds;  // the time spent is added
    ProgressSink* sink = nullptr;
    MultigridSolver* multigrid = nullptr;  // host grids, closed domain: solved by multigrid
};

// Makes the velocity of one sub-step satisfy continuity: after it, the discrete divergence
// u(i−1, j) − u(i, j) + v(i, j−1) − v(i, j) of the interior cells, with the pressure p of the
// solve, satisfies div + σ·p = cellSize·e (σ the record's domainOpenness; for a closed domain
// σ = 0 and the divergence is the scaled source) within the record's pressure tolerance —
// except where the wall and obstacle conditions rewrite faces afterwards. The walls let fluid
// leave the domain but not enter it.
//
// A closed domain (domainOpenness exactly 0) with a multigrid solver uses multigrid
// (pressureSolverUsed = 4, at most kProjectionMultigridCycles cycles); otherwise red-black SOR
// with pressureIterations sweeps at most (pressureSolverUsed = 1).
//
// Throws skv::SolverDivergenceException when multigrid diverges (the velocity is then not
// corrected), skv::Exception "Floating point error during linear solving" when the solve ends
// with a non-finite error (after the velocity was corrected), and skv::Exception when grid
// sizes differ.
void project(const ProjectionGrids<FloatGrid>& grids, const ProjectionRun& run);

// The same steps on the device grids with the kernels of the two modules (the process CUDA
// context must be current) and SOR for every domain type; they give the host's bits except in
// the four corner cells of u and v, which the device does not zero. The solve rebinds the
// solver module's velocity and pressure to u, v and p.
void project(const ProjectionGrids<DeviceGrid>& grids, const ProjectionRun& run);

// The obstacle velocity condition on the interior cells: a fluid cell whose right (upper)
// neighbour is solid gets that neighbour's obstacle velocity on the face between them (0 when
// static); a solid cell takes, on each of its faces, the obstacle's velocity next to fluid on
// that side, else a velocity copied from a face of neighbouring fluid. obstacleU and obstacleV
// are both given (moving) or both null (static).
void applyObstacleVelocity(const FloatGrid& mask, const FloatGrid* obstacleU,
                           const FloatGrid* obstacleV, FloatGrid& u, FloatGrid& v);

}  // namespace skv
