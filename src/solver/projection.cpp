#include "solver/projection.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "grid/memory_traffic.h"
#include "platform/exception.h"
#include "platform/timer.h"
#include "solver/multigrid.h"
#include "solver/sor.h"
#include "solver/vector_ops.h"

namespace skv {
namespace {

// Below this many cells a parallel region costs more than the loop it splits.
constexpr int64_t kMinParallelCells = int64_t(1) << 15;

void requireSize(const FloatGrid& g, const FloatGrid& like) {
    if (g.width() != like.width() || g.height() != like.height())
        throw Exception("Projection on grids of different sizes");
}

// The solve's right-hand side in one pass: d = dx·e + n, where n = u(i−1, j) − u(i, j) +
// v(i, j−1) − v(i, j) is the negative divergence on the interior and 0 on the border; 0 in
// solid cells. Each cell takes the roundings of the three steps done one after another.
void rightHandSide(const FloatGrid& u, const FloatGrid& v, const FloatGrid& e, float dx,
                   const FloatGrid* mask, FloatGrid& d) {
    const int64_t w = d.width(), h = d.height();
    countTraffic(d.count(), 4 + (mask ? 1 : 0));
    const float* __restrict__ ud = u.data();
    const float* __restrict__ vd = v.data();
    const float* __restrict__ ed = e.data();
    const float* __restrict__ md = mask ? mask->data() : nullptr;
    float* __restrict__ dd = d.data();
    const auto solid = [md](int64_t i) { return md && md[i] != 0.0f; };
    const auto edge = [&](int64_t i) { dd[i] = solid(i) ? 0.0f : dx * ed[i] + 0.0f; };
#pragma omp parallel for schedule(static) if (w * h > kMinParallelCells)
    for (int64_t j = 0; j < h; ++j) {
        const int64_t row = j * w;
        if (j == 0 || j == h - 1 || w < 3) {
            for (int64_t i = row; i < row + w; ++i)
                edge(i);
            continue;
        }
        edge(row);
#pragma omp simd
        for (int64_t i = row + 1; i < row + w - 1; ++i) {
            const float r = dx * ed[i] + (ud[i - 1] - ud[i] + vd[i - w] - vd[i]);
            dd[i] = md && md[i] != 0.0f ? 0.0f : r;
        }
        edge(row + w - 1);
    }
}

// u −= p(i+1, j) − p(i, j), v −= p(i, j+1) − p(i, j) on the interior.
void subtractPressureGradient(const FloatGrid& p, FloatGrid& u, FloatGrid& v) {
    const int64_t w = p.width(), h = p.height();
    if (w < 3 || h < 3) return;
    countTraffic(p.count(), 5);
    const float* pd = p.data();
    float* ud = u.data();
    float* vd = v.data();
#pragma omp parallel for schedule(static) if (w * h > kMinParallelCells)
    for (int64_t j = 1; j < h - 1; ++j)
        for (int64_t i = j * w + 1; i < (j + 1) * w - 1; ++i) {
            ud[i] -= pd[i + 1] - pd[i];
            vd[i] -= pd[i + w] - pd[i];
        }
}

// The walls after the solve: zero-gradient border, then outflow only (the left column and
// bottom row may only point out, i.e. be ≤ 0, the right column and top row ≥ 0), corners 0.
void applyWallConditions(FloatGrid& u, FloatGrid& v) {
    const int64_t w = u.width(), h = u.height();
    if (w < 2 || h < 2) return;
    countTraffic(2 * (2 * w + 2 * h), 1);
    u.copyBorder();
    v.copyBorder();
    float* ud = u.data();
    float* vd = v.data();
    for (int64_t j = 0; j < h; ++j) {
        ud[j * w] = std::min(ud[j * w], 0.0f);
        ud[j * w + w - 1] = std::max(ud[j * w + w - 1], 0.0f);
    }
    for (int64_t i = 0; i < w; ++i) {
        vd[i] = std::min(vd[i], 0.0f);
        vd[(h - 1) * w + i] = std::max(vd[(h - 1) * w + i], 0.0f);
    }
    for (float* g : {ud, vd})
        g[0] = g[w - 1] = g[(h - 1) * w] = g[(h - 1) * w + w - 1] = 0.0f;
}

float solveHost(MultigridSolver* multigrid, FloatGrid& t, FloatGrid& d, FloatGrid& p,
                SimulationParameters& params, int& iterations, ProgressSink* sink) {
    const float tolerance = float(params.pressureTolerance);
    if (params.domainOpenness == 0.0 && multigrid) {
        params.pressureSolverUsed = 4;
        return multigrid->solve(p, d, iterations, kProjectionMultigridCycles, tolerance, sink);
    }
    params.pressureSolverUsed = 1;
    uint32_t sweeps = 0;
    const float err = solveSOR(params.pressureIterations, sweeps, tolerance, p, d, t,
                               float(params.domainOpenness));
    iterations = int(sweeps);
    return err;
}

void requireSize(const DeviceGrid& g, const DeviceGrid& like) {
    if (g.width() != like.width() || g.height() != like.height())
        throw Exception("Projection on grids of different sizes");
}

}  // namespace

void project(const ProjectionGrids<FloatGrid>& grids, const ProjectionRun& run) {
    auto& [u, v, e, d, p, t, mask, obstacleU, obstacleV] = grids;
    SimulationParameters& params = run.params;
    Timer timer;
    for (const FloatGrid* g : std::initializer_list<const FloatGrid*>{&v, &e, &t, &d, &p})
        requireSize(*g, u);
    const bool moving = mask && obstacleU && obstacleV;
    if (mask) requireSize(*mask, u);
    if (moving) {
        requireSize(*obstacleU, u);
        requireSize(*obstacleV, u);
    }
    const FloatGrid* movingU = moving ? obstacleU : nullptr;
    const FloatGrid* movingV = moving ? obstacleV : nullptr;

    fillBorder(u, 0.0f);
    fillBorder(v, 0.0f);
    if (mask) applyObstacleVelocity(*mask, movingU, movingV, u, v);
    u.copyBorder();
    v.copyBorder();
    rightHandSide(u, v, e, float(params.cellSize), mask, d);

    const float err = solveHost(run.multigrid, t, d, p, params, run.iterations, run.sink);

    subtractPressureGradient(p, u, v);
    applyWallConditions(u, v);
    run.seconds += timer.elapsed();
    if (!std::isfinite(err)) throw Exception("Floating point error during linear solving");
    if (mask) applyObstacleVelocity(*mask, movingU, movingV, u, v);
}

// The device form of the same steps: the border fills and copies of the device grids, the
// solid-velocity, negative-divergence, axpy and solid-property kernels, a synchronisation, SOR
// on the device grids for every domain type, the pressure-gradient kernel, the column and row
// clamps, a synchronisation, then the same time, error and obstacle steps as on the host. The
// corners of u and v are not zeroed here: they keep the clamped copies of their neighbours.
void project(const ProjectionGrids<DeviceGrid>& grids, const ProjectionRun& run) {
    auto& [u, v, e, d, p, t, mask, obstacleU, obstacleV] = grids;
    SimulationParameters& params = run.params;
    Timer timer;
    for (const DeviceGrid* g : std::initializer_list<const DeviceGrid*>{&v, &e, &d, &p, &t})
        requireSize(*g, u);
    const bool moving = mask && obstacleU && obstacleV;
    if (mask) requireSize(*mask, u);
    if (moving) {
        requireSize(*obstacleU, u);
        requireSize(*obstacleV, u);
    }
    const DeviceGrid* movingU = moving ? obstacleU : nullptr;
    const DeviceGrid* movingV = moving ? obstacleV : nullptr;

    CudaState& cuda = CudaState::instance();
    SolverKernels& kernels = cuda.solverKernels();
    FieldKernels& field = cuda.fieldKernels();
    // The divergence and gradient kernels read the bound velocity and pressure: these.
    if (!kernels.initSolverKernels(u, v, p)) throw Exception("Failed to initialize CUDA kernels");

    u.setBorder(0.0f);
    v.setBorder(0.0f);
    if (mask) kernels.CUDASetSolidVelocity(u, v, *mask, movingU, movingV);
    u.copyBorder();
    v.copyBorder();
    kernels.CUDANegDivergence(d);
    field.axpy(d, float(params.cellSize), e, d);
    if (mask) kernels.CUDASetSolidProperty(*mask, d);
    cuda.synchronize();

    params.pressureSolverUsed = 1;
    uint32_t sweeps = 0;
    const float err = solveSOR(params.pressureIterations, sweeps, float(params.pressureTolerance),
                               p, d, t, float(params.domainOpenness));
    run.iterations = int(sweeps);

    kernels.CUDASubtractPressureGradient(u, v);
    u.copyBorderColumns();
    field.clampColumns(u);
    u.copyBorderRows();
    v.copyBorderColumns();
    v.copyBorderRows();
    field.clampRows(v);
    cuda.synchronize();
    run.seconds += timer.elapsed();
    if (!std::isfinite(err)) throw Exception("Floating point error during linear solving");
    if (mask) kernels.CUDASetSolidVelocity(u, v, *mask, movingU, movingV);
}

void applyObstacleVelocity(const FloatGrid& mask, const FloatGrid* obstacleU,
                           const FloatGrid* obstacleV, FloatGrid& u, FloatGrid& v) {
    requireSize(mask, u);
    requireSize(v, u);
    const int64_t w = u.width(), h = u.height();
    if (w < 3 || h < 3) return;
    const bool moving = obstacleU && obstacleV;
    // The mask read; u and v written only in solids, which read their fluid neighbours.
    countTraffic(mask.count(), moving ? 5 : 3);
    const float* m = mask.data();
    const float* mu = moving ? obstacleU->data() : nullptr;
    const float* mv = moving ? obstacleV->data() : nullptr;
    float* ud = u.data();
    float* vd = v.data();
    auto solid = [m](int64_t c) { return m[c] != 0.0f; };
    auto obstacleUAt = [mu](int64_t c) { return mu ? mu[c] : 0.0f; };
    auto obstacleVAt = [mv](int64_t c) { return mv ? mv[c] : 0.0f; };

    // Solid cells read only faces of fluid cells and write only their own, so the rows can run
    // in any order. They see the other rows and their right neighbour as before the pass (as
    // if reading a copy), and their left neighbour as after it (it is processed first within
    // a row); both are fluid there, so the value after is the fluid rule applied to it.
#pragma omp parallel for schedule(dynamic, 4) if (w * h > kMinParallelCells)
    for (int64_t j = 1; j < h - 1; ++j) {
        for (int64_t c = j * w + 1; c < (j + 1) * w - 1; ++c) {
            if (!solid(c)) continue;
            const bool right = solid(c + 1), up = solid(c + w), down = solid(c - w),
                       left = solid(c - 1);
            if (!right)
                ud[c] = obstacleUAt(c);
            else if (!down)
                ud[c] = ud[c - w];
            else if (up)
                ud[c] = obstacleUAt(c);
            else
                ud[c] = ud[c + w];

            if (!up)
                vd[c] = obstacleVAt(c);
            else if (!left)
                vd[c] = c - 1 > j * w && solid(c - 1 + w) ? obstacleVAt(c - 1 + w) : vd[c - 1];
            else if (right)
                vd[c] = obstacleVAt(c);
            else
                vd[c] = vd[c + 1];
        }
    }
    // Fluid cells next to a solid on the right or above take its velocity on the shared face.
#pragma omp parallel for schedule(dynamic, 4) if (w * h > kMinParallelCells)
    for (int64_t j = 1; j < h - 1; ++j) {
        for (int64_t c = j * w + 1; c < (j + 1) * w - 1; ++c) {
            if (solid(c)) continue;
            if (solid(c + 1)) ud[c] = obstacleUAt(c + 1);
            if (solid(c + w)) vd[c] = obstacleVAt(c + w);
        }
    }
}

}  // namespace skv
