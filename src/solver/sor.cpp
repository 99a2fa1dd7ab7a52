#include "solver/sor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <numbers>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "grid/memory_traffic.h"
#include "kernels/pressure_cell.h"
#include "platform/exception.h"
#include "solver/simd.h"
#include "solver/vector_ops.h"
#include "solver/wavefront.h"

namespace skv {
namespace {

using simd::F8;
using simd::I8;
using simd::kLanes;

// Below this many cells a parallel region costs more than the pass it splits.
constexpr size_t kMinParallelCells = size_t(1) << 15;

// The relaxation schedule: a safe factor for the first sweeps, then a ramp over 50 sweeps to
// the optimum for the model problem on a grid of this size.
constexpr double kInitialOmega = 1.4;
constexpr uint32_t kRampStart = 10;
constexpr double kRampLength = 50.0;
constexpr uint32_t kInitialBatch = 4;

struct Relaxation {
    float oneMinusOmega;
    float omegaRaii;  // ω / (4 + σ)
};

Relaxation relaxationFor(float omega, float sigma) {
    return {1.0f - omega, omega / (4.0f + sigma)};
}

void requireSameSize(const FloatGrid& a, const FloatGrid& b) {
    if (a.width() != b.width() || a.height() != b.height())
        throw Exception("SOR solve on grids of different sizes");
}

bool hasInterior(const FloatGrid& g) {
    return g.width() >= 3 && g.height() >= 3;
}

bool worthThreads(const FloatGrid& g) {
    return size_t(g.width()) * g.height() >= kMinParallelCells;
}

// ---------------------------------------------------------------------------------------------
// The blocked solver works on rows stored "split": the interior of a row, from column 1, is cut
// into blocks of 16 cells, and each block holds its 8 odd columns (1 + 16b + 2k, the "first
// half") followed by its 8 even columns (2 + 16b + 2k, the "second half"). In a row, one half
// of every block is red and the other black, so a half-sweep updates whole vectors of one half
// with no wasted lanes: the left and right neighbours are the other half of the same block
// (shifted by one lane, the missing lane coming from the next or previous block), and the
// cells above and below are the same half of the rows above and below. Column 0 and the
// columns after the last whole block (at most 15 interior cells and the border) stay in place
// and are updated one by one. Every cell sees exactly the values and the expression of the
// plain sweep, so the results are the same bit for bit.
constexpr size_t kBlock = 2 * kLanes;

struct RowLayout {
    size_t width;
    size_t blocks;     // whole blocks of interior cells
    size_t tailBegin;  // first column after them (≤ width − 1)
};

RowLayout layoutFor(size_t width) {
    const size_t interior = width >= 2 ? width - 2 : 0;
    const size_t blocks = interior / kBlock;
    return {width, blocks, 1 + blocks * kBlock};
}

// Where column i of a split row is stored.
inline size_t slotOf(const RowLayout& g, size_t i) {
    if (i == 0 || i >= g.tailBegin) return i;
    const size_t r = i - 1, q = r % kBlock;
    return 1 + (r - q) + (q & 1) * kLanes + q / 2;
}

inline F8 oddColumns(F8 v0, F8 v1) {
    return __builtin_shufflevector(v0, v1, 0, 2, 4, 6, 8, 10, 12, 14);
}
inline F8 evenColumns(F8 v0, F8 v1) {
    return __builtin_shufflevector(v0, v1, 1, 3, 5, 7, 9, 11, 13, 15);
}
inline F8 interleaveLow(F8 a, F8 b) {
    return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
}
inline F8 interleaveHigh(F8 a, F8 b) {
    return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
}
// (a[1], …, a[7], next[0]): the vector one element to the right of `a`.
inline F8 shiftInFirst(F8 a, F8 next) {
    return __builtin_shufflevector(a, next, 1, 2, 3, 4, 5, 6, 7, 8);
}

// Row `src` split into `dst` (which may be the same row).
void splitRow(const float* src, float* dst, const RowLayout& g) {
    for (size_t b = 0; b < g.blocks; ++b) {
        const size_t o = 1 + b * kBlock;
        const F8 v0 = simd::load(src + o), v1 = simd::load(src + o + kLanes);
        simd::store(dst + o, oddColumns(v0, v1));
        simd::store(dst + o + kLanes, evenColumns(v0, v1));
    }
    if (src != dst) {
        dst[0] = src[0];
        for (size_t i = g.tailBegin; i < g.width; ++i)
            dst[i] = src[i];
    }
}

void mergeRow(float* row, const RowLayout& g) {
    for (size_t b = 0; b < g.blocks; ++b) {
        const size_t o = 1 + b * kBlock;
        const F8 first = simd::load(row + o), second = simd::load(row + o + kLanes);
        simd::store(row + o, interleaveLow(first, second));
        simd::store(row + o + kLanes, interleaveHigh(first, second));
    }
}

// Half-sweep of one colour over split row j of p, with d split the same way.
void relaxSplitRow(float* p, const float* d, const RowLayout& g, size_t j, int colour,
                   Relaxation k) {
    const size_t w = g.width;
    float* row = p + j * w;
    const float* below = row - w;
    const float* above = row + w;
    const float* div = d + j * w;
    const F8 a = simd::splat(k.oneMinusOmega);
    const F8 c = simd::splat(k.omegaRaii);
    // The loops are unrolled so that the carried vector stays in a register and the loop's own
    // instructions do not take issue slots from the arithmetic, which bounds this kernel.
    if (((1 + j + colour) & 1) == 0) {
        // Odd columns: left neighbours are the even columns one lane back.
        F8 carry = simd::splat(row[0]);
#pragma GCC unroll 4
        for (size_t b = 0; b < g.blocks; ++b) {
            const size_t o = 1 + b * kBlock;
            const F8 other = simd::load(row + o + kLanes);
            const F8 left = simd::shiftInLast(carry, other);
            const F8 sum =
                left + other + simd::load(below + o) + simd::load(above + o) + simd::load(div + o);
            simd::store(row + o, a * simd::load(row + o) + c * sum);
            carry = other;
        }
    } else if (g.blocks > 0) {
        // Even columns: right neighbours are the odd columns one lane on; after the last block
        // comes the first column after the blocks.
        auto relax = [&](size_t e, F8 other, F8 next) {
            const F8 sum = other + shiftInFirst(other, next) + simd::load(below + e) +
                           simd::load(above + e) + simd::load(div + e);
            simd::store(row + e, a * simd::load(row + e) + c * sum);
        };
        F8 other = simd::load(row + 1);
        size_t e = 1 + kLanes;
#pragma GCC unroll 4
        for (size_t b = 1; b < g.blocks; ++b, e += kBlock) {
            const F8 next = simd::load(row + e + kLanes);
            relax(e, other, next);
            other = next;
        }
        relax(e, other, simd::splat(row[g.tailBegin]));
    }
    for (size_t i = g.tailBegin + ((g.tailBegin + j + colour) & 1); i + 1 < w; i += 2)
        row[i] = sorRelax(row[i], row[slotOf(g, i - 1)], row[i + 1], below[i], above[i], div[i],
                          k.oneMinusOmega, k.omegaRaii);
}

// The largest residual magnitude of split row j, as simd::maxMagnitude orders them (a NaN
// wins over everything).
float residualSplitRow(const float* p, const float* d, const RowLayout& g, size_t j, float aii) {
    const size_t w = g.width;
    const float* row = p + j * w;
    const float* below = row - w;
    const float* above = row + w;
    const float* div = d + j * w;
    const F8 va = simd::splat(aii);
    I8 best = I8{};
    F8 carry = simd::splat(row[0]);
    for (size_t b = 0; b < g.blocks; ++b) {
        const size_t o = 1 + b * kBlock;
        const size_t e = o + kLanes;
        const F8 odd = simd::load(row + o), even = simd::load(row + e);
        const F8 next =
            b + 1 < g.blocks ? simd::load(row + o + kBlock) : simd::splat(row[g.tailBegin]);
        const F8 rOdd =
            simd::load(div + o) - (va * odd - (simd::shiftInLast(carry, even) + even +
                                               simd::load(below + o) + simd::load(above + o)));
        const F8 rEven =
            simd::load(div + e) - (va * even - (odd + shiftInFirst(odd, next) +
                                                simd::load(below + e) + simd::load(above + e)));
        best = simd::maxMagnitudeBits(
            best, simd::maxMagnitudeBits(simd::magnitudeBits(rOdd), simd::magnitudeBits(rEven)));
        carry = even;
    }
    float m = simd::fromMagnitudeBits(best);
    for (size_t i = g.tailBegin; i + 1 < w; ++i)
        m = simd::maxMagnitude(m, pressureResidual(row[i], row[slotOf(g, i - 1)], row[i + 1],
                                                   below[i], above[i], div[i], aii));
    return m;
}

// p split in place and d split into `dSplit`, all rows.
void splitGrids(FloatGrid& p, const FloatGrid& d, FloatGrid& dSplit) {
    const RowLayout g = layoutFor(p.width());
    if (g.blocks == 0) {
        dSplit.copyFrom(d);
        return;
    }
    const int64_t h = p.height();
    countTraffic(p.count(), 4);  // p in place, d in, its split out
    float* pd = p.data();
    const float* dd = d.data();
    float* sd = dSplit.data();
#pragma omp parallel for schedule(static) if (worthThreads(p))
    for (int64_t j = 0; j < h; ++j) {
        splitRow(pd + j * g.width, pd + j * g.width, g);
        splitRow(dd + j * g.width, sd + j * g.width, g);
    }
}

void mergeGrid(FloatGrid& p) {
    const RowLayout g = layoutFor(p.width());
    if (g.blocks == 0) return;
    const int64_t h = p.height();
    countTraffic(p.count(), 2);
    float* pd = p.data();
#pragma omp parallel for schedule(static) if (worthThreads(p))
    for (int64_t j = 0; j < h; ++j)
        mergeRow(pd + j * g.width, g);
}

// Blocks per column strip of a blocked pass: with the rows of a wavefront this narrow, the
// rows that the stages of a pass are working on stay in the first-level cache.
// The largest magnitude in split row j of p as integer bits (see simd::magnitudeBits): at or
// above kInfinityBits the row holds an infinity or a NaN.
constexpr int32_t kInfinityBits = 0x7f800000;

int32_t rowMagnitudeBits(const float* p, size_t width, size_t j) {
    const float* row = p + j * width;
    I8 best = I8{};
    size_t i = 1;
    for (; i + kLanes <= width - 1; i += kLanes)
        best = simd::maxMagnitudeBits(best, simd::magnitudeBits(simd::load(row + i)));
    float m = simd::fromMagnitudeBits(best);
    for (; i + 1 < width; ++i)
        m = simd::maxMagnitude(m, row[i]);
    int32_t bits;
    std::memcpy(&bits, &m, sizeof bits);
    return bits;
}

// `count` sweeps on split grids as one blocked pass. With a norm, one more stage measures the
// residual and its infinity norm is returned.
//
// The solve only needs the exact norm when it may stop after this batch; otherwise it only
// needs to know that the norm exceeds the tolerance. With `exceeding` finite, once some row's
// residual is above it the remaining rows skip the residual, unless their pressure holds a
// non-finite value (a field blowing up must still end the solve); the result is then some
// residual above `exceeding`, not the norm. With `exceeding` infinite every row is measured.
struct Norm {
    bool wanted;
    float exceeding;
};

float blockedSweeps(FloatGrid& p, const FloatGrid& dSplit, int count, float omega, float sigma,
                    Norm norm) {
    if (!hasInterior(p)) return 0.0f;
    // Every stage of the wavefront works on rows still in cache: p in and out, d in, once.
    countTraffic(p.count(), 3);
    const RowLayout g = layoutFor(p.width());
    const Relaxation k = relaxationFor(omega, sigma);
    const float aii = 4.0f + sigma;
    float* pd = p.data();
    const float* dd = dSplit.data();
    float best[kMaxPassThreads] = {};
    std::atomic<bool> exceeded{false};
    const bool mayStopEarly = std::isfinite(norm.exceeding);
    const int sweepStages = 2 * count;
    runStages(1, int(p.height()) - 1, sweepStages + (norm.wanted ? 1 : 0), worthThreads(p),
              [&](int stage, int row, int thread) {
                  if (stage < sweepStages) {
                      relaxSplitRow(pd, dd, g, size_t(row), stage & 1, k);
                      return;
                  }
                  if (mayStopEarly && exceeded.load(std::memory_order_relaxed) &&
                      rowMagnitudeBits(pd, g.width, size_t(row)) < kInfinityBits)
                      return;
                  const float m = residualSplitRow(pd, dd, g, size_t(row), aii);
                  best[thread] = simd::maxMagnitude(best[thread], m);
                  if (mayStopEarly && m > norm.exceeding)
                      exceeded.store(true, std::memory_order_relaxed);
              });
    float err = 0.0f;
    for (int i = 0; i < kMaxPassThreads; ++i)
        err = simd::maxMagnitude(err, best[i]);
    return std::isnan(err) ? std::numeric_limits<float>::quiet_NaN() : err;
}

// The solve's schedule, shared by the solver on the host, on the device and by its plain
// reference: `initial(scale)` sets the initial guess p = scale·d and returns the norm of d,
// `start` runs before the first batch, batch(count, omega, last) does `count` sweeps and
// returns the residual norm (exactly when `last`, the batch that reaches the sweep limit;
// otherwise any value above the tolerance may stand for a norm above it), `finish` runs after
// the last batch (neither runs when no sweep is needed).
template <class Initial, class Start, class Batch, class Finish>
float runSchedule(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, uint32_t width,
                  uint32_t height, float sigma, Initial&& initial, Start&& start, Batch&& batch,
                  Finish&& finish) {
    const double pi = std::numbers::pi;
    const double rhoJacobi =
        0.5 * (std::cos(pi / (double(width) + 1.0)) + std::cos(pi / (double(height) + 1.0)));
    const double omegaOptimal = 2.0 / (1.0 + std::sqrt(1.0 - rhoJacobi * rhoJacobi));
    double omega = kInitialOmega;
    uint32_t count = kInitialBatch;

    float err = initial(relaxationFor(float(omega), sigma).omegaRaii);
    sweeps = 0;
    bool started = false;
    while (err > tolerance && sweeps < maxSweeps) {
        if (!started) {
            start();
            started = true;
        }
        // Batches grow by one sweep whenever the count reaches a multiple of four batches:
        // after 16 sweeps the batch is 5 and 16 + 5n is never again such a multiple.
        if (sweeps != 0 && sweeps % (4 * count) == 0) ++count;
        if (sweeps >= kRampStart)
            omega = kInitialOmega + (omegaOptimal - kInitialOmega) *
                                        std::min(1.0, double(sweeps - kRampStart) / kRampLength);
        err = batch(int(count), float(omega), sweeps + count >= maxSweeps);
        sweeps += count;
    }
    if (started) finish();
    return err;
}

// The host's initial guess.
auto hostInitialGuess(FloatGrid& p, const FloatGrid& d) {
    return [&p, &d](float scaleFactor) {
        scale(p, scaleFactor, d);
        return infinityNorm(d);
    };
}

void requireSameSize(const DeviceGrid& a, const DeviceGrid& b) {
    if (a.width() != b.width() || a.height() != b.height())
        throw Exception("SOR solve on grids of different sizes");
}

}  // namespace

void sorSweepsPlain(FloatGrid& p, const FloatGrid& d, int count, float omega, float sigma) {
    requireSameSize(p, d);
    if (!hasInterior(p) || count <= 0) return;
    const int64_t width = p.width(), height = p.height();
    countTraffic(p.count(), 3 * count);
    const Relaxation k = relaxationFor(omega, sigma);
    float* pd = p.data();
    const float* dd = d.data();
#pragma omp parallel if (worthThreads(p))
    for (int sweep = 0; sweep < count; ++sweep) {
        for (int colour = 0; colour < 2; ++colour) {
#pragma omp for schedule(static)
            for (int64_t j = 1; j < height - 1; ++j) {
                float* row = pd + j * width;
                const float* div = dd + j * width;
                for (int64_t i = 1 + ((j + 1 + colour) & 1); i < width - 1; i += 2)
                    row[i] = sorRelax(row[i], row[i - 1], row[i + 1], row[i - width],
                                      row[i + width], div[i], k.oneMinusOmega, k.omegaRaii);
            }
        }
    }
}

void sorSweeps(FloatGrid& p, const FloatGrid& d, FloatGrid& scratch, int count, float omega,
               float sigma) {
    requireSameSize(p, d);
    requireSameSize(p, scratch);
    if (!hasInterior(p) || count <= 0) return;
    splitGrids(p, d, scratch);
    blockedSweeps(p, scratch, count, omega, sigma, {false, 0.0f});
    mergeGrid(p);
}

float pressureResidualPlain(const FloatGrid& p, const FloatGrid& d, FloatGrid& t, float sigma) {
    requireSameSize(p, d);
    requireSameSize(p, t);
    fillBorder(t, 0.0f);
    if (!hasInterior(p)) return 0.0f;
    const int64_t width = p.width(), height = p.height();
    countTraffic(p.count(), 3);
    const float aii = 4.0f + sigma;
    const float* pd = p.data();
    const float* dd = d.data();
    float* td = t.data();
    float best = 0.0f;
    bool nan = false;
#pragma omp parallel for schedule(static) reduction(max                  \
                                                    : best) reduction(|| \
                                                                      : nan) if (worthThreads(p))
    for (int64_t j = 1; j < height - 1; ++j) {
        // The largest magnitude is the same in any order, and a NaN is reported on its own:
        // vector lanes may take the row, which the compiler does not do for a plain max.
        float rowBest = 0.0f;
        int rowNan = 0;
#pragma omp simd reduction(max : rowBest) reduction(| : rowNan)
        for (int64_t i = j * width + 1; i < (j + 1) * width - 1; ++i) {
            const float r = pressureResidual(pd[i], pd[i - 1], pd[i + 1], pd[i - width],
                                             pd[i + width], dd[i], aii);
            td[i] = r;
            rowBest = std::max(rowBest, std::fabs(r));
            rowNan |= std::isnan(r) ? 1 : 0;
        }
        best = std::max(best, rowBest);
        nan = nan || rowNan != 0;
    }
    return nan ? std::numeric_limits<float>::quiet_NaN() : best;
}

float solveSOR(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, FloatGrid& p,
               const FloatGrid& d, FloatGrid& t, float sigma) {
    requireSameSize(p, d);
    requireSameSize(p, t);
    // During the batches p is kept split and t holds a split copy of d; the residual the
    // caller gets in t is computed once at the end, with the same values as the last norm.
    return runSchedule(
        maxSweeps, sweeps, tolerance, p.width(), p.height(), sigma, hostInitialGuess(p, d),
        [&] { splitGrids(p, d, t); },
        [&](int count, float omega, bool last) {
            const float exceeding = last ? std::numeric_limits<float>::infinity() : tolerance;
            return blockedSweeps(p, t, count, omega, sigma, {true, exceeding});
        },
        [&] {
            mergeGrid(p);
            pressureResidualPlain(p, d, t, sigma);
        });
}

// On the device: the initial guess with the dax kernel, each batch as 2k colour launches, the
// residual as the matrix kernel followed by t = −1·t + d, and every norm as the absolute-maximum
// reduction (one float read back per batch). A norm that cannot be had (the kernels did not
// run) is NaN, which ends the solve as a floating-point error.
float solveSOR(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, DeviceGrid& p,
               const DeviceGrid& d, DeviceGrid& t, float sigma) {
    requireSameSize(p, d);
    requireSameSize(p, t);
    CudaState& cuda = CudaState::instance();
    SolverKernels& kernels = cuda.solverKernels();
    FieldKernels& field = cuda.fieldKernels();
    kernels.bindPressure(p);  // the matrix kernel reads the pressure being solved for
    return runSchedule(
        maxSweeps, sweeps, tolerance, p.width(), p.height(), sigma,
        [&](float scaleFactor) {
            field.ax(p, scaleFactor, d);
            return field.absMax(d);
        },
        [] {},
        [&](int count, float omega, bool) {
            kernels.CUDASORsolve2D(p, d, count, omega, sigma);
            // A residual whose kernels did not run is unknown, not small: t = −t + d of a
            // stale t would alternate between d and 0 and pass for convergence.
            const bool residual =
                kernels.CUDAPressureMatrixMul2D(t, sigma) && field.axpy(t, -1.0f, t, d);
            return residual ? field.absMax(t) : std::numeric_limits<float>::quiet_NaN();
        },
        [] {});
}

float solveSORPlain(uint32_t maxSweeps, uint32_t& sweeps, float tolerance, FloatGrid& p,
                    const FloatGrid& d, FloatGrid& t, float sigma) {
    requireSameSize(p, d);
    requireSameSize(p, t);
    return runSchedule(
        maxSweeps, sweeps, tolerance, p.width(), p.height(), sigma, hostInitialGuess(p, d), [] {},
        [&](int count, float omega, bool) {
            sorSweepsPlain(p, d, count, omega, sigma);
            return pressureResidualPlain(p, d, t, sigma);
        },
        [] {});
}

}  // namespace skv
