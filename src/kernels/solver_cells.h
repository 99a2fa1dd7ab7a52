#pragma once

#include <cstddef>

#include "kernels/hd.h"

// Per-cell arithmetic of the projection's device kernels. Each function evaluates exactly the
// expression of its host pass (solver/projection.cpp, solver/sor.cpp), in the same order, so
// that the device path and the CPU path give the same bits. Grid views as in
// kernels/advection_cells.h: element (x, y) is y·p + x, p the row pitch in floats; velocity is
// staggered (u between a cell and its right neighbour, v between a cell and the next row); an
// obstacle mask is non-zero in solid cells.

namespace skv {

// Negative divergence of interior cell i: u(i−1) − u(i) + v(i−p) − v(i).
SKV_HD float negativeDivergenceAt(const float* U, const float* V, ptrdiff_t i, ptrdiff_t p) {
    return U[i - 1] - U[i] + V[i - p] - V[i];
}

// A·p of the pressure equation at an interior cell, aii = 4 + σ: the product that
// pressureResidual subtracts from the divergence.
SKV_HD float pressureProduct(float p, float left, float right, float down, float up, float aii) {
    return aii * p - (left + right + down + up);
}

// Plain Jacobi update of the module's unused Jacobi kernel: raii·(d − aij·Σ neighbours).
SKV_HD float pressureJacobi(float left, float right, float down, float up, float div, float aij,
                            float raii) {
    return raii * (div - aij * (left + right + down + up));
}

// --- Obstacle velocity condition ------------------------------------------------------------
//
// Two passes over the interior cells, as on the host: first every solid cell sets the velocity
// on its own faces, reading only faces of fluid neighbours; then every fluid cell next to a
// solid on its right (above) takes the obstacle's velocity on the face between them. Neither
// pass reads what the same pass writes, so each cell can run in its own thread. A solid cell
// copying from its fluid left neighbour sees that neighbour's face as the second pass leaves
// it. mu and mv are the obstacle velocities (moving obstacles) or null (static ones, 0).

struct FaceVelocities {
    float u;
    float v;
};

SKV_HD bool solidAt(const float* m, ptrdiff_t c) {
    return m[c] != 0.0f;
}

SKV_HD float obstacleValue(const float* g, ptrdiff_t c) {
    return g ? g[c] : 0.0f;
}

// Both face velocities of the solid interior cell c; leftInterior says whether its left
// neighbour is an interior cell (x ≥ 2).
SKV_HD FaceVelocities solidCellVelocity(const float* m, const float* U, const float* V,
                                        const float* mu, const float* mv, ptrdiff_t c, ptrdiff_t p,
                                        bool leftInterior) {
    const bool right = solidAt(m, c + 1), up = solidAt(m, c + p), down = solidAt(m, c - p),
               left = solidAt(m, c - 1);
    FaceVelocities f;
    if (!right)
        f.u = obstacleValue(mu, c);
    else if (!down)
        f.u = U[c - p];
    else if (up)
        f.u = obstacleValue(mu, c);
    else
        f.u = U[c + p];

    if (!up)
        f.v = obstacleValue(mv, c);
    else if (!left)
        f.v = leftInterior && solidAt(m, c - 1 + p) ? obstacleValue(mv, c - 1 + p) : V[c - 1];
    else if (right)
        f.v = obstacleValue(mv, c);
    else
        f.v = V[c + 1];
    return f;
}

// Interior cell i in one pass of the condition: the pass over the solid cells (solidCells) sets
// both faces of each solid cell; the pass over the fluid cells sets a face shared with a solid
// right or upper neighbour to that neighbour's obstacle velocity. U, V may be velu, velv
// themselves: a pass reads only faces that it does not write.
SKV_HD void obstacleVelocityCell(float* velu, float* velv, const float* U, const float* V,
                                 const float* m, const float* mu, const float* mv, ptrdiff_t i,
                                 ptrdiff_t p, bool leftInterior, bool solidCells) {
    const bool solid = solidAt(m, i);
    if (solidCells) {
        if (!solid) return;
        const FaceVelocities f = solidCellVelocity(m, U, V, mu, mv, i, p, leftInterior);
        velu[i] = f.u;
        velv[i] = f.v;
        return;
    }
    if (solid) return;
    if (solidAt(m, i + 1)) velu[i] = obstacleValue(mu, i + 1);
    if (solidAt(m, i + p)) velv[i] = obstacleValue(mv, i + p);
}

}  // namespace skv
