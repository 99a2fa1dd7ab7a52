#include "solver/multigrid.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "grid/memory_traffic.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "solver/simd.h"
#include "solver/vector_ops.h"
#include "solver/wavefront.h"

namespace skv {
namespace {

using simd::F8;
using simd::I8;
using simd::kLanes;

typedef double D4 __attribute__((vector_size(32)));

// The cycle: V(2, 2) with one coarse visit per level.
constexpr int kPreSweeps = 2;
constexpr int kPostSweeps = 2;
constexpr int kCoarseVisits = 1;

// Below this many cells a parallel region costs more than the pass it splits.
constexpr size_t kMinParallelCells = size_t(1) << 15;

// What a stage of a pass does to its row.
enum class Stage { Guess, Red, Black, Restrict, Prolong, Residual };
constexpr int kMaxStages = 2 + 2 * std::max(kPreSweeps, kPostSweeps) + 1;

// Stencil weights of a cell outside the uniform region (last interior column or row).
struct Weights {
    float left, right, down, up, diag;
};

}  // namespace

void MultigridSolver::resize(uint32_t width, uint32_t height) {
    levels_.clear();
    rowSquares_.clear();
    rowMax_.clear();
    scratch_.release();
    scratchSlots_ = 0;
    try {
        struct Interior {
            uint32_t n, m;
        };
        std::vector<Interior> sizes;
        uint32_t n = width >= 2 ? width - 2 : 0, m = height >= 2 ? height - 2 : 0;
        sizes.push_back({n, m});
        // A grid without interior cells has nothing to coarsen.
        if (n > 0 && m > 0) {
            while (n >= 2 || m >= 2) {
                n = std::max(1u, n / 2);
                m = std::max(1u, m / 2);
                sizes.push_back({n, m});
            }
        }
        levels_.resize(sizes.size());
        for (size_t l = 0; l < sizes.size(); ++l) {
            Level& level = levels_[l];
            const uint32_t ln = sizes[l].n, lm = sizes[l].m;
            level.width = l == 0 ? width : ln + 2;
            level.height = l == 0 ? height : lm + 2;
            level.keepX = ln == 1;
            level.keepY = lm == 1;
            if (l > 0) {
                const Level& fine = levels_[l - 1];
                const uint32_t fn = sizes[l - 1].n, fm = sizes[l - 1].m;
                level.h = 2.0f * fine.h;
                // An odd fine count leaves the last coarse node on fine node n − 1, one fine
                // spacing further from the boundary; a single cell is not moved at all.
                level.sx = (fn % 2 == 1 && fn != 1) ? fine.sx + fine.h : fine.sx;
                level.sy = (fm % 2 == 1 && fm != 1) ? fine.sy + fine.h : fine.sy;
                level.fx = fn == 1 ? fine.fx : level.h;
                level.fy = fm == 1 ? fine.fy : level.h;
                level.x.resize(level.width, level.height, 1, true);
                level.b.resize(level.width, level.height, 1, true);
            }
            // The equation of a level is scaled by h², so that its uniform part reads
            // 4·x − neighbours = b; the last column and row use three-point forms with their
            // own spacings: left h (or the first spacing when the column is the only one),
            // right sx; likewise down/up with sy.
            const double h = level.h;
            const double hl = ln == 1 ? level.fx : h;
            const double hd = lm == 1 ? level.fy : h;
            const double invH2 = 1.0 / (h * h);
            const double colL = 2.0 / ((hl + level.sx) * hl),
                         colR = 2.0 / ((hl + level.sx) * level.sx);
            const double rowD = 2.0 / ((hd + level.sy) * hd),
                         rowU = 2.0 / ((hd + level.sy) * level.sy);
            level.invH2 = float(invH2);
            level.h2 = float(h * h);
            level.colL = float(colL);
            level.colR = float(colR);
            level.rowD = float(rowD);
            level.rowU = float(rowU);
            level.diagCol = float(2.0 * invH2 + colL + colR);
            level.diagRow = float(2.0 * invH2 + rowD + rowU);
            level.diagCorner = float(colL + colR + rowD + rowU);
        }
        rowSquares_.assign(height, 0.0);
        rowMax_.assign(height, 0.0f);
        scratchSlots_ = std::clamp(omp_get_max_threads(), 1, kMaxPassThreads);
        // Three rows per thread: two fine rows built from coarse rows, and their mean.
        scratch_.resize(std::max(width, 1u), uint32_t(3 * scratchSlots_), 1, true);
    } catch (...) {
        levels_.clear();
        rowSquares_.clear();
        rowMax_.clear();
        scratch_.release();
        scratchSlots_ = 0;
        throw;
    }
}

namespace {

// The weights of cell (i, j) of a level outside its uniform region.
template <class L>
Weights weightsAt(const L& level, uint32_t i, uint32_t j) {
    const bool lastCol = i == level.width - 2, lastRow = j == level.height - 2;
    Weights w;
    w.left = lastCol ? level.colL : level.invH2;
    w.right = lastCol ? level.colR : level.invH2;
    w.down = lastRow ? level.rowD : level.invH2;
    w.up = lastRow ? level.rowU : level.invH2;
    w.diag = lastCol ? (lastRow ? level.diagCorner : level.diagCol) : level.diagRow;
    return w;
}

inline float weightedNeighbours(const Weights& w, float l, float r, float d, float u) {
    return w.left * l + w.right * r + w.down * d + w.up * u;
}

// Gauss–Seidel update of a cell outside the uniform region.
template <class L>
void relaxOuter(const L& level, float* x, const float* b, uint32_t i, uint32_t j) {
    const size_t p = level.width;
    const size_t c = size_t(j) * p + i;
    const Weights w = weightsAt(level, i, j);
    x[c] = (b[c] * level.invH2 + weightedNeighbours(w, x[c - 1], x[c + 1], x[c - p], x[c + p])) /
           w.diag;
}

// Residual b − (h²·A)·x at any interior cell.
template <class L>
float residualAt(const L& level, const float* x, const float* b, uint32_t i, uint32_t j) {
    const size_t p = level.width;
    const size_t c = size_t(j) * p + i;
    if (i + 2 < level.width && j + 2 < level.height)  // uniform region
        return b[c] - (4.0f * x[c] - (x[c - 1] + x[c + 1] + x[c - p] + x[c + p]));
    const Weights w = weightsAt(level, i, j);
    return b[c] - level.h2 * (w.diag * x[c] -
                              weightedNeighbours(w, x[c - 1], x[c + 1], x[c - p], x[c + p]));
}

// The uniform part of a Gauss–Seidel half-sweep of row j over columns [1, end): vectors of
// eight cells starting at odd columns keep their new values in the lanes of the colour.
// Left neighbours are shifted in from the vector before rather than reloaded from the row just
// stored (see the SOR kernel).
template <bool kEvenLanes>
uint32_t relaxUniformVectors(float* row, const float* below, const float* above, const float* rhs,
                             uint32_t end) {
    const F8 quarter = simd::splat(0.25f);
    uint32_t i = 1;
    if (i + kLanes > end) return i;
    F8 old = simd::load(row + i);
    F8 left = simd::load(row + i - 1);
    for (;;) {
        const F8 fresh = quarter * (simd::load(rhs + i) + left + simd::load(row + i + 1) +
                                    simd::load(below + i) + simd::load(above + i));
        simd::store(row + i,
                    kEvenLanes ? simd::takeEvenLanes(old, fresh) : simd::takeOddLanes(old, fresh));
        i += kLanes;
        if (i + kLanes > end) return i;
        const F8 next = simd::load(row + i);
        left = simd::shiftInLast(old, next);
        old = next;
    }
}

// Red (colour 0, i + j even) or black half-sweep of row j. The last interior column and row
// use their non-uniform weights; the corner cell is updated with its colour, which is the same
// as updating it between the two colours: its neighbours are all of the other colour.
template <class L>
void relaxRow(const L& level, float* x, const float* b, uint32_t j, int colour) {
    const uint32_t w = level.width;
    const uint32_t last = w - 2;
    if (j + 2 < level.height) {
        float* row = x + size_t(j) * w;
        const float* below = row - w;
        const float* above = row + w;
        const float* rhs = b + size_t(j) * w;
        uint32_t i = ((1 + j + colour) & 1) == 0
                         ? relaxUniformVectors<true>(row, below, above, rhs, last)
                         : relaxUniformVectors<false>(row, below, above, rhs, last);
        for (i += (i + j + colour) & 1; i < last; i += 2)
            row[i] = 0.25f * (rhs[i] + row[i - 1] + row[i + 1] + below[i] + above[i]);
        if (((last + j + colour) & 1) == 0) relaxOuter(level, x, b, last, j);
    } else {
        for (uint32_t i = 1 + ((1 + j + colour) & 1); i <= last; i += 2)
            relaxOuter(level, x, b, i, j);
    }
}

}  // namespace

bool MultigridSolver::keepGoing() {
    if (!sink_) return true;
    return sink_->report(iteration_, std::max(iteration_ + 1, expectedIterations_));
}

// Fine row `j` of level l gets its share of the coarse correction: x += prolongation of
// x[l + 1]. Even fine rows and columns coincide with coarse nodes; the others are midpoints,
// except the last interior column/row of a level whose last spacing grew, which interpolates
// linearly between the node before it and the (zero) correction on the boundary.
namespace {

struct Prolongation {
    const float* coarse;
    uint32_t coarseWidth;
    uint32_t width, height;
    bool keepX, keepY;
    bool xLast, yLast;
    float rx, ry;
};

// Fine row 2·jc (row 1 when the level keeps its single row) from coarse row jc, x direction.
void buildEvenRow(const Prolongation& g, uint32_t jc, float* f) {
    const float* e = g.coarse + size_t(jc) * g.coarseWidth;
    f[0] = 0.0f;
    if (g.keepX) {
        f[1] = e[1];
        return;
    }
    const uint32_t w = g.width;
    const uint32_t lastI = g.xLast ? w - 2 : w - 1;
    for (uint32_t ic = 1; ic + 1 < g.coarseWidth; ++ic)
        f[2 * ic] = e[ic];
    for (uint32_t i = 1; i < lastI; i += 2)
        f[i] = 0.5f * (f[i - 1] + f[i + 1]);
    if (g.xLast) f[w - 2] = f[w - 3] + g.rx * (0.0f - f[w - 3]);
}

}  // namespace

void MultigridSolver::smoothAndRestrict(int l, bool first, int sweeps) {
    Level& level = levels_[size_t(l)];
    Level& coarse = levels_[size_t(l) + 1];
    Stage stages[kMaxStages];
    int count = 0;
    if (first) stages[count++] = Stage::Guess;
    for (int s = 0; s < sweeps; ++s) {
        stages[count++] = Stage::Red;
        stages[count++] = Stage::Black;
    }
    stages[count++] = Stage::Restrict;

    float* xd = x(l).data();
    const float* bd = b(l).data();
    float* coarseB = coarse.b.data();
    const uint32_t w = level.width, cw = coarse.width, ch = coarse.height;
    // One wavefront over the level: x in and out, b in; the coarse right-hand side out.
    countTraffic(size_t(w) * level.height, 3);
    countTraffic(size_t(cw) * ch, 1);
    runStages(1, int(level.height) - 1, count, size_t(w) * level.height >= kMinParallelCells,
              [&](int stage, int row, int) {
                  const uint32_t j = uint32_t(row);
                  switch (stages[stage]) {
                      case Stage::Guess: {
                          float* out = xd + size_t(j) * w;
                          const float* in = bd + size_t(j) * w;
                          for (uint32_t i = 1; i + 1 < w; ++i)
                              out[i] = 0.25f * in[i];
                          break;
                      }
                      case Stage::Red:
                      case Stage::Black:
                          relaxRow(level, xd, bd, j, stages[stage] == Stage::Red ? 0 : 1);
                          break;
                      case Stage::Restrict: {
                          // Only the residual at the fine nodes under coarse nodes is needed;
                          // half of it, times 4 for the coarse level's h² scaling.
                          uint32_t jc = 0;
                          if (level.keepY)
                              jc = j == 1 ? 1 : 0;
                          else if (j % 2 == 0 && j / 2 + 2 <= ch)
                              jc = j / 2;
                          if (jc == 0) break;
                          float* out = coarseB + size_t(jc) * cw;
                          for (uint32_t ic = 1; ic + 1 < cw; ++ic) {
                              const uint32_t i = level.keepX ? 1 : 2 * ic;
                              out[ic] = 4.0f * (0.5f * residualAt(level, xd, bd, i, j));
                          }
                          break;
                      }
                      default:
                          break;
                  }
              });
}

bool MultigridSolver::prolongAndSmooth(int l, int sweeps, bool residual) {
    Level& level = levels_[size_t(l)];
    const bool hasCoarse = size_t(l) + 1 < levels_.size();
    Stage stages[kMaxStages];
    int count = 0;
    if (hasCoarse) stages[count++] = Stage::Prolong;
    for (int s = 0; s < sweeps; ++s) {
        stages[count++] = Stage::Red;
        stages[count++] = Stage::Black;
    }
    if (residual) stages[count++] = Stage::Residual;

    Prolongation g{};
    if (hasCoarse) {
        const Level& coarse = levels_[size_t(l) + 1];
        g.coarse = coarse.x.data();
        g.coarseWidth = coarse.width;
        g.width = level.width;
        g.height = level.height;
        g.keepX = level.keepX;
        g.keepY = level.keepY;
        g.xLast = level.sx != coarse.sx;
        g.yLast = level.sy != coarse.sy;
        g.rx = level.sx / coarse.sx;
        g.ry = level.sy / coarse.sy;
    }
    // Each thread caches the two even fine rows it built last, so that an odd row and the even
    // row after it share their work.
    struct RowCache {
        uint32_t row[2];
        int next;
    };
    RowCache cache[kMaxPassThreads];
    for (auto& c : cache)
        c = {{UINT32_MAX, UINT32_MAX}, 0};
    const size_t scratchPitch = scratch_.width();
    float* scratch = scratch_.data();
    auto evenRow = [&](int thread, uint32_t jc) -> const float* {
        RowCache& c = cache[thread];
        float* slots = scratch + size_t(3 * thread) * scratchPitch;
        for (int k = 0; k < 2; ++k)
            if (c.row[k] == jc) return slots + k * scratchPitch;
        const int k = c.next;
        c.next ^= 1;
        c.row[k] = jc;
        buildEvenRow(g, jc, slots + k * scratchPitch);
        return slots + k * scratchPitch;
    };

    float* xd = x(l).data();
    const float* bd = b(l).data();
    const uint32_t w = level.width, h = level.height;
    if (w < 3 || h < 3) {
        // No interior cells: nothing to smooth, and nothing left over.
        if (residual) {
            lastError_ = 0.0f;
            lastSquares_ = 0.0;
        }
        return residual;
    }
    // One wavefront over the level: x in and out, b in; the coarse correction in.
    countTraffic(size_t(w) * h, 3);
    if (hasCoarse) countTraffic(levels_[size_t(l) + 1].x.count(), 1);
    runStages(
        1, int(h) - 1, count, size_t(w) * h >= kMinParallelCells,
        [&](int stage, int row, int thread) {
            const uint32_t j = uint32_t(row);
            switch (stages[stage]) {
                case Stage::Prolong: {
                    float* mean = scratch + size_t(3 * thread + 2) * scratchPitch;
                    const uint32_t lastI = g.xLast ? w - 2 : w - 1;
                    const float* f;
                    if (g.keepY) {
                        f = evenRow(thread, 1);
                    } else if (g.yLast && j == h - 2) {
                        // The last row between row h − 3 and the boundary; in the corner, the
                        // mean of the interpolations along both directions.
                        const float* below = evenRow(thread, (h - 3) / 2);
                        for (uint32_t i = 1; i < lastI; ++i)
                            mean[i] = below[i] + g.ry * (0.0f - below[i]);
                        if (g.xLast) {
                            const float alongX = mean[w - 3] + g.rx * (0.0f - mean[w - 3]);
                            const float alongY = below[w - 2] + g.ry * (0.0f - below[w - 2]);
                            mean[w - 2] = 0.5f * (alongX + alongY);
                        }
                        f = mean;
                    } else if (j % 2 == 0) {
                        f = evenRow(thread, j / 2);
                    } else {
                        const float* above = evenRow(thread, (j + 1) / 2);
                        if (j == 1) {
                            for (uint32_t i = 1; i < lastI; ++i)
                                mean[i] = 0.5f * (0.0f + above[i]);
                        } else {
                            const float* below = evenRow(thread, (j - 1) / 2);
                            for (uint32_t i = 1; i < lastI; ++i)
                                mean[i] = 0.5f * (below[i] + above[i]);
                        }
                        if (g.xLast) mean[w - 2] = mean[w - 3] + g.rx * (0.0f - mean[w - 3]);
                        f = mean;
                    }
                    float* out = xd + size_t(j) * w;
                    for (uint32_t i = 1; i + 1 < w; ++i)
                        out[i] = out[i] + f[i];
                    break;
                }
                case Stage::Red:
                case Stage::Black:
                    relaxRow(level, xd, bd, j, stages[stage] == Stage::Red ? 0 : 1);
                    break;
                case Stage::Residual:
                    residualRow(j);
                    break;
                default:
                    break;
            }
        },
        scratchSlots_);
    if (residual) collectResidual();
    return residual;
}

void MultigridSolver::residualRow(uint32_t j) {
    const Level& level = levels_[0];
    const uint32_t w = level.width;
    const float* xd = x0_->data();
    const float* bd = b0_->data();
    const uint32_t last = w - 2;
    float best = 0.0f;
    double squares = 0.0;
    auto account = [&](float r) {
        best = simd::maxMagnitude(best, r);
        squares += double(r) * double(r);
    };
    if (j + 2 < level.height) {
        const float* row = xd + size_t(j) * w;
        const float* below = row - w;
        const float* above = row + w;
        const float* rhs = bd + size_t(j) * w;
        const F8 four = simd::splat(4.0f);
        I8 vbest = I8{};
        D4 sumLow = D4{}, sumHigh = D4{};
        uint32_t i = 1;
        for (; i + kLanes <= last; i += kLanes) {
            const F8 r = simd::load(rhs + i) - (four * simd::load(row + i) -
                                                (simd::load(row + i - 1) + simd::load(row + i + 1) +
                                                 simd::load(below + i) + simd::load(above + i)));
            vbest = simd::maxMagnitudeBits(vbest, simd::magnitudeBits(r));
            const D4 low = __builtin_convertvector(__builtin_shufflevector(r, r, 0, 1, 2, 3), D4);
            const D4 high = __builtin_convertvector(__builtin_shufflevector(r, r, 4, 5, 6, 7), D4);
            sumLow += low * low;
            sumHigh += high * high;
        }
        best = simd::fromMagnitudeBits(vbest);
        const D4 sum = sumLow + sumHigh;
        squares = (sum[0] + sum[1]) + (sum[2] + sum[3]);
        for (; i < last; ++i)
            account(residualAt(level, xd, bd, i, j));
        account(residualAt(level, xd, bd, last, j));
    } else {
        for (uint32_t i = 1; i <= last; ++i)
            account(residualAt(level, xd, bd, i, j));
    }
    rowMax_[j] = best;
    rowSquares_[j] = squares;
}

void MultigridSolver::collectResidual() {
    float err = 0.0f;
    double squares = 0.0;
    for (uint32_t j = 1; j + 1 < levels_[0].height; ++j) {
        err = simd::maxMagnitude(err, rowMax_[j]);
        squares += rowSquares_[j];
    }
    lastError_ = std::isnan(err) ? std::numeric_limits<float>::quiet_NaN() : err;
    lastSquares_ = squares;
}

void MultigridSolver::fullResidualPass() {
    const Level& level = levels_[0];
    if (level.width < 3 || level.height < 3) {
        lastError_ = 0.0f;
        lastSquares_ = 0.0;
        return;
    }
    countTraffic(size_t(level.width) * level.height, 2);
    runStages(1, int(level.height) - 1, 1, size_t(level.width) * level.height >= kMinParallelCells,
              [&](int, int row, int) { residualRow(uint32_t(row)); });
    collectResidual();
}

// One V-cycle on level l; true when it ended with the full residual of level 0.
bool MultigridSolver::vCycle(int l, bool first) {
    if (!keepGoing()) return false;
    const bool finest = l == 0;
    if (size_t(l) + 1 == levels_.size()) return prolongAndSmooth(l, 1, finest) && finest;
    // The first cycle starts from x = b/4 instead of the caller's x, which replaces a sweep.
    smoothAndRestrict(l, first, first ? kPreSweeps - 1 : kPreSweeps);
    for (int visit = 0; visit < kCoarseVisits; ++visit) {
        levels_[size_t(l) + 1].x.clear();
        vCycle(l + 1, false);
    }
    return prolongAndSmooth(l, kPostSweeps, finest) && finest;
}

float MultigridSolver::solve(FloatGrid& x, const FloatGrid& b, int& iterations, int maxIterations,
                             float tolerance, ProgressSink* sink) {
    if (levels_.empty() || x.width() != levels_[0].width || x.height() != levels_[0].height ||
        b.width() != levels_[0].width || b.height() != levels_[0].height)
        throw Exception("Multigrid solve on grids of a size it was not built for");

    // The caller's grids and sink belong to this solve only, whichever way it ends.
    struct Release {
        MultigridSolver* solver;
        ~Release() {
            solver->sink_ = nullptr;
            solver->x0_ = nullptr;
            solver->b0_ = nullptr;
        }
    } release{this};
    sink_ = sink;
    x0_ = &x;
    b0_ = &b;

    const float corner = x.count() > 0 ? x[0] : 0.0f;
    for (size_t l = 1; l < levels_.size(); ++l)
        fillBorder(levels_[l].x, corner);

    double rhoOld = maxIterations <= 1 ? 0.0 : std::sqrt(sumOfSquares(b));
    float err = infinityNorm(b);
    iteration_ = 0;
    expectedIterations_ = iterations;
    int rises = 0;
    while (err > tolerance && iteration_ < maxIterations) {
        if (iteration_ > 0) {
            // The 2-norm of a converging multigrid residual falls every cycle; rising a third
            // time in one solve means the iteration is not going to get there.
            const double rho = std::sqrt(lastSquares_);
            if (rho > rhoOld) {
                SKV_LOG(Warning,
                        "MG #" << iteration_ << " err = " << err << " rho = " << rho / rhoOld);
                if (++rises > 2) {
                    SKV_LOG(Error, "MG: bad convergence, aborting");
                    iterations = iteration_;
                    throw SolverDivergenceException();
                }
            }
            rhoOld = rho;
        }
        if (!vCycle(0, iteration_ == 0)) fullResidualPass();
        err = lastError_;
        if (!keepGoing()) {
            SKV_LOG(Info, "Solver aborted!");
            break;
        }
        ++iteration_;
    }
    if (iteration_ == 0) x.clear();
    iterations = iteration_;
    return err;
}

}  // namespace skv
