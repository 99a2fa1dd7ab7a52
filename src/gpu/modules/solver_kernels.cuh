#pragma once

// The kernels of the solver module: pressure solve, divergence and gradient, obstacle
// conditions, forces, cooling, combustion, vorticity confinement and QUICK advection on
// pitched 2D grids. Compiled by nvcc (solver_kernels.cu) into the module's PTX and by the
// host compiler into the emulated device's twins (see kernel_support.h).
//
// 2D kernels: thread (x, y) handles cell y·pitch + x, pitch being the row length in floats;
// threads outside width × height do nothing. 1D kernels handle element i < size. "Border"
// means x = 0, y = 0, x = width − 1 or y = height − 1.

#include "gpu/modules/kernel_support.h"
#include "kernels/advection_cells.h"
#include "kernels/forces_cells.h"
#include "kernels/pressure_cell.h"
#include "kernels/solver_cells.h"

SKV_KERNELS_BEGIN

// --- Pressure ---------------------------------------------------------------------------------

// One colour of a red-black SOR sweep (red: x + y even). texPressure is normally p itself, so
// that the pass reads the other colour's latest values; cells the pass does not update keep
// texPressure's value (nothing to write when it is p).
SKV_KERNEL dSORPoisson2Dred(SKV_THREAD int pitch, int width, int height, float* p,
                            float one_minus_omega, float omega_raii, const float* texPressure,
                            const float* __restrict__ texDivergence) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    const float* P = texPressure;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1 || ((x + y) & 1) != 0) {
        if (p != P) p[i] = P[i];
        return;
    }
    p[i] = skv::sorRelax(P[i], P[i - 1], P[i + 1], P[i - pitch], P[i + pitch], texDivergence[i],
                         one_minus_omega, omega_raii);
}

SKV_KERNEL dSORPoisson2Dblack(SKV_THREAD int pitch, int width, int height, float* p,
                              float one_minus_omega, float omega_raii, const float* texPressure,
                              const float* __restrict__ texDivergence) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    const float* P = texPressure;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1 || ((x + y) & 1) == 0) {
        if (p != P) p[i] = P[i];
        return;
    }
    p[i] = skv::sorRelax(P[i], P[i - 1], P[i + 1], P[i - pitch], P[i + pitch], texDivergence[i],
                         one_minus_omega, omega_raii);
}

// Jacobi update into x; no launcher uses it, but it belongs to the module.
SKV_KERNEL dPressureJacobi(SKV_THREAD int pitch, int width, int height, float* x, float aij,
                           float raii, const float* __restrict__ texPressure,
                           const float* __restrict__ texDivergence) {
    const int cx = SKV_INDEX_X, cy = SKV_INDEX_Y;
    if (cx < 1 || cy < 1 || cx > width - 2 || cy > height - 2) return;
    const ptrdiff_t i = ptrdiff_t(cy) * pitch + cx;
    const float* P = texPressure;
    x[i] = skv::pressureJacobi(P[i - 1], P[i + 1], P[i - pitch], P[i + pitch], texDivergence[i],
                               aij, raii);
}

// b = A·p on the interior (aii = 4 + σ), 0 on the border.
SKV_KERNEL dPressureMatrixMul2D(SKV_THREAD int pitch, int width, int height, float* b, float aii,
                                const float* __restrict__ texPressure) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        b[i] = 0.0f;
        return;
    }
    const float* P = texPressure;
    b[i] = skv::pressureProduct(P[i], P[i - 1], P[i + 1], P[i - pitch], P[i + pitch], aii);
}

SKV_KERNEL dNegDivergence(SKV_THREAD int pitch, int width, int height, float* div,
                          const float* __restrict__ texU, const float* __restrict__ texV) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        div[i] = 0.0f;
        return;
    }
    div[i] = skv::negativeDivergenceAt(texU, texV, i, pitch);
}

SKV_KERNEL dSubtractPressureGradient(SKV_THREAD int pitch, int width, int height, float* u,
                                     float* v, const float* __restrict__ texPressure) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x < 1 || y < 1 || x > width - 2 || y > height - 2) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    const float* P = texPressure;
    u[i] -= P[i + 1] - P[i];
    v[i] -= P[i + pitch] - P[i];
}

// --- Obstacles --------------------------------------------------------------------------------

// The obstacle velocity condition, one pass per launch: solidCells = 1 sets the faces of the
// solid cells, solidCells = 0 then those of the fluid cells next to a solid (solver_cells.h).
// The velocity reads (texU, texV) are velu and velv themselves; a pass never reads a face it
// writes.
SKV_KERNEL dSetSolidVelocity(SKV_THREAD int pitch, int width, int height, float* velu, float* velv,
                             const float* texU, const float* texV, const float* __restrict__ texR,
                             int solidCells) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x < 1 || y < 1 || x > width - 2 || y > height - 2) return;
    skv::obstacleVelocityCell(velu, velv, texU, texV, texR, nullptr, nullptr,
                              ptrdiff_t(y) * pitch + x, pitch, x >= 2, solidCells != 0);
}

// The same for moving obstacles, whose velocity is texP (u) and texQ (v).
SKV_KERNEL dSetMovingSolidVelocity(SKV_THREAD int pitch, int width, int height, float* velu,
                                   float* velv, const float* texU, const float* texV,
                                   const float* __restrict__ texR, const float* __restrict__ texP,
                                   const float* __restrict__ texQ, int solidCells) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x < 1 || y < 1 || x > width - 2 || y > height - 2) return;
    skv::obstacleVelocityCell(velu, velv, texU, texV, texR, texP, texQ, ptrdiff_t(y) * pitch + x,
                              pitch, x >= 2, solidCells != 0);
}

// q = 0 where solid ≠ 0, else texQ (normally q itself: each thread reads only its element).
// Only the x index is used: the launcher's blocks are 16 × 8 threads over ⌈size / 16⌉ blocks.
SKV_KERNEL dSetSolidProperty(SKV_THREAD int size, float* q, const float* __restrict__ solid,
                             const float* texQ) {
    const int i = SKV_INDEX_X;
    if (i >= size) return;
    q[i] = solid[i] != 0.0f ? 0.0f : texQ[i];
}

// --- Forces and sources -----------------------------------------------------------------------

// dv/dt on the v face above every interior cell from the temperature (texQ) and density (texP)
// of the two cells sharing it; bouy2 and gravity2 are half the record's values.
SKV_KERNEL dAddPropertyForces(SKV_THREAD int pitch, int width, int height, float* dvdt, float bouy2,
                              float gravity2, const float* __restrict__ texQ,
                              const float* __restrict__ texP) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x < 1 || y < 1 || x > width - 2 || y > height - 2) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    dvdt[i] = dvdt[i] + skv::propertyForce(texQ, texP, i, pitch, bouy2, gravity2);
}

// Radiative cooling subtracted from the temperature's rate; max_temp is the temperature of
// full-strength cooling (the heat creation), rdt the reciprocal time step.
SKV_KERNEL dCooling(SKV_THREAD int size, float* dtempdt, const float* __restrict__ temp,
                    float max_temp, float cooling, float rdt) {
    const int i = SKV_INDEX_X;
    if (i >= size) return;
    dtempdt[i] = dtempdt[i] - skv::coolingRate(temp[i], cooling, max_temp, rdt);
}

// Oxidized burning of every element. temp_scal is the temperature of fuel burning at the full
// rate max_burn (the heat creation); expand is the expansion per unit of fuel burnt per time.
SKV_KERNEL dCombustOxidized(SKV_THREAD int size, float max_burn, float expand, float soot,
                            float temp_scal, float* fuel, float* div, float* dens, float* temp) {
    const int i = SKV_INDEX_X;
    if (i >= size) return;
    const skv::BurnConstants c{max_burn, expand, soot, temp_scal};
    skv::burnCell(c, skv::oxidizedBurn(c, fuel[i]), fuel[i], div[i], dens[i], temp[i]);
}

// Un-oxidized burning of every cell, border included, limited by the oxygen texQ that reaches
// the cell (neighbours outside the grid bring none).
SKV_KERNEL dCombustUnoxidized(SKV_THREAD int pitch, int width, int height, float max_burn,
                              float expand, float soot, float temp_scal, float* fuel, float* div,
                              float* dens, float* temp, const float* __restrict__ texQ) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    const skv::BurnConstants c{max_burn, expand, soot, temp_scal};
    const float oxygen = skv::oxygenAroundClipped(texQ, pitch, width, height, x, y);
    skv::burnCell(c, skv::unoxidizedBurn(c, fuel[i], oxygen), fuel[i], div[i], dens[i], temp[i]);
}

// --- Vorticity confinement --------------------------------------------------------------------

SKV_KERNEL dVorticity(SKV_THREAD int pitch, int width, int height, float* w, float r4dx,
                      const float* __restrict__ texU, const float* __restrict__ texV) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        w[i] = 0.0f;
        return;
    }
    w[i] = skv::vorticityAt(texU, texV, i, pitch, r4dx);
}

SKV_KERNEL dVortConfForce(SKV_THREAD int pitch, int width, int height, float r2dx, float* fu,
                          float* fv, const float* __restrict__ texQ) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        fu[i] = 0.0f;
        fv[i] = 0.0f;
        return;
    }
    skv::confinementForceAt(texQ, i, pitch, r2dx, fu[i], fv[i]);
}

// The force on the faces of the cells 2 ≤ x ≤ width − 3, 2 ≤ y ≤ height − 3; fu is read through
// texQ, fv through texP, s is ½·dt·vorticity.
SKV_KERNEL dAddVortConf(SKV_THREAD int pitch, int width, int height, float* u, float* v, float s,
                        const float* __restrict__ texQ, const float* __restrict__ texP) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    const int first = skv::kConfinementFirstCellDevice;
    if (x < first || y < first || x > width - 3 || y > height - 3) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    u[i] = u[i] + skv::confinementU(texQ, i, s);
    v[i] = v[i] + skv::confinementV(texP, i, pitch, s);
}

// --- QUICK advection: time derivatives, 0 on the border ---------------------------------------

// du/dt and dv/dt of the staggered velocity; mrdx = −1/dx.
SKV_KERNEL dAdvectQUICKvelocity(SKV_THREAD int pitch, int width, int height, float mrdx,
                                float* dudt, float* dvdt, const float* __restrict__ texU,
                                const float* __restrict__ texV) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        dudt[i] = 0.0f;
        dvdt[i] = 0.0f;
        return;
    }
    dudt[i] = skv::velocityRateU(texU, texV, pitch, width, height, x, y, -mrdx);
    dvdt[i] = skv::velocityRateV(texU, texV, pitch, width, height, x, y, -mrdx);
}

// Next to obstacles (mask texQ) only faces between two fluid cells get a rate; the others keep
// theirs, as on the host.
SKV_KERNEL dAdvectQUICKvelocitySolid(SKV_THREAD int pitch, int width, int height, float mrdx,
                                     float* dudt, float* dvdt, const float* __restrict__ texU,
                                     const float* __restrict__ texV,
                                     const float* __restrict__ texQ) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    const ptrdiff_t i = ptrdiff_t(y) * pitch + x;
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        dudt[i] = 0.0f;
        dvdt[i] = 0.0f;
        return;
    }
    if (skv::fluidFaceU(texQ, pitch, x, y))
        dudt[i] = skv::velocityRateUSolid(texU, texV, texQ, pitch, width, height, x, y, -mrdx);
    if (skv::fluidFaceV(texQ, pitch, x, y))
        dvdt[i] = skv::velocityRateVSolid(texU, texV, texQ, pitch, width, height, x, y, -mrdx);
}

// d q / d t of the flux form (q = texQ); mrdx = −1/dx.
SKV_KERNEL dAdvectQUICKConservative(SKV_THREAD int pitch, int width, int height, float mrdx,
                                    float* dqdt, const float* __restrict__ texU,
                                    const float* __restrict__ texV,
                                    const float* __restrict__ texQ) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dqdt[ptrdiff_t(y) * pitch + x] =
        skv::conservativeRateAt(texQ, texU, texV, pitch, width, height, x, y, mrdx);
}

// The same next to obstacles (mask texP); 0 in solid cells.
SKV_KERNEL dAdvectQUICKConservativeSolid(SKV_THREAD int pitch, int width, int height, float mrdx,
                                         float* dqdt, const float* __restrict__ texU,
                                         const float* __restrict__ texV,
                                         const float* __restrict__ texQ,
                                         const float* __restrict__ texP) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dqdt[ptrdiff_t(y) * pitch + x] =
        skv::conservativeRateSolidAt(texQ, texU, texV, texP, pitch, width, height, x, y, mrdx);
}

// d q / d t of the advective form (q = texQ); mr2dx = −1/(2·dx).
SKV_KERNEL dAdvectQUICKClamp(SKV_THREAD int pitch, int width, int height, float mr2dx, float* dqdt,
                             const float* __restrict__ texU, const float* __restrict__ texV,
                             const float* __restrict__ texQ) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dqdt[ptrdiff_t(y) * pitch + x] =
        skv::advectiveRateClampAt(texQ, texU, texV, pitch, width, height, x, y, mr2dx);
}

// The same next to obstacles (mask texP); 0 in solid cells.
SKV_KERNEL dAdvectQUICKClampSolid(SKV_THREAD int pitch, int width, int height, float mr2dx,
                                  float* dqdt, const float* __restrict__ texU,
                                  const float* __restrict__ texV, const float* __restrict__ texQ,
                                  const float* __restrict__ texP) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dqdt[ptrdiff_t(y) * pitch + x] =
        skv::advectiveRateClampSolidAt(texQ, texU, texV, texP, pitch, width, height, x, y, mr2dx);
}

SKV_KERNELS_END
