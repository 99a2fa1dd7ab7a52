#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "grid/float_grid.h"
#include "grid/progress_sink.h"

namespace skv {

// Geometric multigrid for the closed-domain pressure equation
//     4·x(i, j) − x(i−1, j) − x(i+1, j) − x(i, j−1) − x(i, j+1) = b(i, j)
// on the interior of padded grids (unit spacing, one border cell on each side holding fixed
// values). V-cycles with two red-black Gauss–Seidel sweeps before and after the coarse-grid
// correction; coarse levels halve the interior (integer division, at least 1) until it is
// 1 × 1.
//
// Coarse node k lies on fine node 2k, so an odd interior count leaves the last coarse node one
// fine spacing further from the far boundary than the others are from each other. Every level
// keeps that "last spacing" per direction (in units of the finest cell) and discretises its
// last interior column and row with the non-uniform three-point form, and the prolongation
// interpolates towards the far boundary with it. A dimension that is down to one cell is not
// halved any further: its node stays where it is, and so do its spacings to both boundaries.
//
// The caller's grids are used as the finest level for the duration of a solve only. A solve
// allocates nothing; all coarse grids and scratch come from resize.
class MultigridSolver {
  public:
    MultigridSolver() = default;
    MultigridSolver(const MultigridSolver&) = delete;
    MultigridSolver& operator=(const MultigridSolver&) = delete;

    // Builds the levels for padded grids of width × height. Throws std::bad_alloc when memory
    // runs out (the solver then has no levels).
    void resize(uint32_t width, uint32_t height);

    // Solves for x (its interior; its border values are kept as boundary values) with
    // right-hand side b by V-cycles until the infinity norm of the residual is within
    // `tolerance` or `maxIterations` cycles are done. `iterations` is read as the cycle count
    // of the previous solve (it sizes the progress report) and receives the cycles done.
    // Returns the final error: the norm of b when no cycle was run — x is then all 0 — else
    // that of the last residual.
    //
    // The sink, when given, is asked report(cycle, expected cycles) before every level of
    // every cycle and after every cycle; a false answer stops the solve as it does a frame
    // update: "Solver aborted!" is logged and the error of the last full residual returned.
    //
    // Throws skv::SolverDivergenceException (after logging "MG: bad convergence, aborting")
    // at the third rise of the residual's 2-norm within one solve, and skv::Exception when the
    // grids do not match the size the solver was built for.
    float solve(FloatGrid& x, const FloatGrid& b, int& iterations, int maxIterations,
                float tolerance, ProgressSink* sink);

    // Introspection: levels built by the last resize; level 0 is the caller's size.
    int levelCount() const { return int(levels_.size()); }
    uint32_t levelWidth(int level) const { return levels_[size_t(level)].width; }
    uint32_t levelHeight(int level) const { return levels_[size_t(level)].height; }
    // Distance from the last interior node to the far boundary, in x and y, in finest cells.
    std::pair<float, float> lastSpacing(int level) const {
        return {levels_[size_t(level)].sx, levels_[size_t(level)].sy};
    }

  private:
    struct Level {
        uint32_t width = 0, height = 0;     // padded
        FloatGrid x, b;                     // owned on coarse levels; level 0 uses the caller's
        float h = 1.0f;                     // node spacing, 2^level finest cells
        float sx = 1.0f, sy = 1.0f;         // last spacing
        float fx = 1.0f, fy = 1.0f;         // first interior node to the near boundary
        bool keepX = false, keepY = false;  // one cell wide/tall: the next level keeps it
        // Stencil weights of the level's own equation (divided by h²): uniform neighbours,
        // last column (left, right), last row (down, up), and the three diagonals.
        float invH2 = 1.0f, h2 = 1.0f;
        float colL = 1.0f, colR = 1.0f, rowD = 1.0f, rowU = 1.0f;
        float diagCol = 4.0f, diagRow = 4.0f, diagCorner = 4.0f;
    };

    bool keepGoing();
    bool vCycle(int level, bool first);
    void smoothAndRestrict(int level, bool first, int sweeps);
    bool prolongAndSmooth(int level, int sweeps, bool residual);
    void residualRow(uint32_t row);
    void collectResidual();
    void fullResidualPass();

    FloatGrid& x(int level) { return level == 0 ? *x0_ : levels_[size_t(level)].x; }
    const FloatGrid& b(int level) { return level == 0 ? *b0_ : levels_[size_t(level)].b; }

    ProgressSink* sink_ = nullptr;
    int iteration_ = 0;
    int expectedIterations_ = 0;
    std::vector<Level> levels_;
    FloatGrid* x0_ = nullptr;
    const FloatGrid* b0_ = nullptr;

    // Per-row results of the last full residual (combined in row order, so that the norms do
    // not depend on how rows were shared between threads) and per-thread prolongation rows.
    std::vector<double> rowSquares_;
    std::vector<float> rowMax_;
    FloatGrid scratch_;
    int scratchSlots_ = 0;
    float lastError_ = 0.0f;
    double lastSquares_ = 0.0;
};

}  // namespace skv
