#pragma once

#include "grid/float_grid.h"
#include "grid/progress_sink.h"
#include "grid/simulation_parameters.h"

namespace skv {

class DeviceGrid;
class MultigridSolver;

// The number of V-cycles a closed-domain projection allows itself, whatever the record says.
constexpr int kProjectionMultigridCycles = 10;

// Makes the velocity of one sub-step satisfy continuity: after it, the discrete divergence
// u(i−1, j) − u(i, j) + v(i, j−1) − v(i, j) of the interior cells, with the pressure p of the
// solve, satisfies div + σ·p = cellSize·e (e the external divergence source, σ the record's
// domainOpenness; for a closed domain σ = 0 and the divergence is the scaled source) within the
// record's pressure tolerance — except where the wall and obstacle conditions rewrite faces
// afterwards.
//
// Grids are padded W × H with a one-cell border; u(i, j) is the face between cells (i, j) and
// (i+1, j), v(i, j) the face between (i, j) and (i, j+1); p, d, e, t and the obstacle mask
// (non-zero = solid) are cell-centred. d receives the negative divergence plus the scaled
// source, p the pressure, t the residual when SOR ran. The obstacle grids are optional (null);
// a moving obstacle needs both velocity grids, otherwise obstacles are static.
//
// A closed domain (domainOpenness exactly 0) on the host with a multigrid solver uses
// multigrid (pressureSolverUsed = 4, at most kProjectionMultigridCycles cycles); otherwise
// red-black SOR with pressureIterations sweeps at most (pressureSolverUsed = 1). `iterations`
// is the solver's cycle or sweep count (read by multigrid as the previous count). The time
// spent is added to `pressureTime` (seconds). The walls let fluid leave the domain but not
// enter it.
//
// Throws skv::SolverDivergenceException when multigrid diverges (the velocity is then not
// corrected), skv::Exception "Floating point error during linear solving" when the solve ends
// with a non-finite error (after the velocity was corrected), and skv::Exception when grid
// sizes differ. useGpu selects the device grids (the process CUDA context must be current):
// the same steps with the kernels of the two modules and SOR for every domain type, which give
// the host's bits except in the four corner cells of u and v, which the device does not zero;
// the host grids and the multigrid solver are then not touched. The solve rebinds the solver
// module's velocity and pressure to deviceU, deviceV and deviceP.
void project(MultigridSolver* multigrid, const FloatGrid* obstacleMask, const FloatGrid* obstacleU,
             const FloatGrid* obstacleV, FloatGrid& u, FloatGrid& v, const FloatGrid& e,
             FloatGrid& t, FloatGrid& d, FloatGrid& p, bool useGpu, DeviceGrid* deviceU,
             DeviceGrid* deviceV, DeviceGrid* deviceP, DeviceGrid* deviceE, DeviceGrid* deviceD,
             DeviceGrid* deviceT, DeviceGrid* deviceMask, DeviceGrid* deviceObstacleU,
             DeviceGrid* deviceObstacleV, SimulationParameters& params, int& iterations,
             double& pressureTime, ProgressSink* sink);

// The obstacle velocity condition on the interior cells: a fluid cell whose right (upper)
// neighbour is solid gets that neighbour's obstacle velocity on the face between them (0 when
// static); a solid cell takes, on each of its faces, the obstacle's velocity next to fluid on
// that side, else a velocity copied from a face of neighbouring fluid. obstacleU and obstacleV
// are both given (moving) or both null (static).
void applyObstacleVelocity(const FloatGrid& mask, const FloatGrid* obstacleU,
                           const FloatGrid* obstacleV, FloatGrid& u, FloatGrid& v);

}  // namespace skv
