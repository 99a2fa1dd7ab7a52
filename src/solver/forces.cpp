#include "solver/forces.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "grid/memory_traffic.h"

namespace skv {
namespace {

// Below this many cells a parallel region costs more than the pass it splits.
constexpr int64_t kMinParallelCells = 1 << 14;

// The heat kernel ends where its exponential factor falls to this fraction of its peak value.
constexpr double kHeatKernelCutoff = 0.001;
// A bound on the taps of absurd D·dt: far more than any grid is wide, so that the blur does
// not change, while the kernel stays a sane size.
constexpr int kMaxHeatTaps = 1 << 16;

// Columns handled together by the vectorised blur loops (accumulators stay in registers).
constexpr int kBlurChunk = 32;

[[maybe_unused]] bool sameSize(const FloatGrid& a, const FloatGrid& b) {
    return a.width() == b.width() && a.height() == b.height();
}

// The blur along x of one row into dst: cells whose taps all fall inside the row in chunks
// (each output summed in increasing order of the source column, as convolveXAt does), the
// rest through convolveXAt.
void blurRowX(const float* g, float* dst, int p, int W, int y, const float* w, int r) {
    const float* __restrict__ row = g + ptrdiff_t(y) * p;
    float* __restrict__ out = dst + ptrdiff_t(y) * p;
    int x = 0;
    for (; x < r && x < W; ++x)
        out[x] = convolveXAt(g, p, W, x, y, w, r);
    for (; x + kBlurChunk - 1 <= W - 1 - r; x += kBlurChunk) {
        float acc[kBlurChunk];
        for (int j = 0; j < kBlurChunk; ++j)
            acc[j] = 0.0f;
        for (int d = -r; d <= r; ++d) {
            const float wd = w[d < 0 ? -d : d];
            const float* s = row + x + d;
#pragma omp simd
            for (int j = 0; j < kBlurChunk; ++j)
                acc[j] = acc[j] + s[j] * wd;
        }
        for (int j = 0; j < kBlurChunk; ++j)
            out[x + j] = acc[j];
    }
    for (; x < W; ++x)
        out[x] = convolveXAt(g, p, W, x, y, w, r);
}

// The blur along y of one output row: each cell summed in increasing order of the source row.
void blurRowY(const float* g, float* dst, int p, int W, int H, int y, const float* w, int r) {
    const int lo = std::max(0, y - r);
    const int hi = std::min(H - 1, y + r);
    float* __restrict__ out = dst + ptrdiff_t(y) * p;
    int x = 0;
    for (; x + kBlurChunk <= W; x += kBlurChunk) {
        float acc[kBlurChunk];
        for (int j = 0; j < kBlurChunk; ++j)
            acc[j] = 0.0f;
        for (int k = lo; k <= hi; ++k) {
            const float wk = w[k > y ? k - y : y - k];
            const float* __restrict__ s = g + ptrdiff_t(k) * p + x;
#pragma omp simd
            for (int j = 0; j < kBlurChunk; ++j)
                acc[j] = acc[j] + s[j] * wk;
        }
        for (int j = 0; j < kBlurChunk; ++j)
            out[x + j] = acc[j];
    }
    for (; x < W; ++x)
        out[x] = convolveYAt(g, p, H, x, y, w, r);
}

}  // namespace

void combustOxidized(FloatGrid& fuel, FloatGrid& divergence, FloatGrid& density,
                     FloatGrid& temperature, const BurnConstants& c) {
    assert(sameSize(fuel, divergence) && sameSize(fuel, density) && sameSize(fuel, temperature));
    float* __restrict__ F = fuel.data();
    float* __restrict__ D = divergence.data();
    float* __restrict__ R = density.data();
    float* __restrict__ T = temperature.data();
    const int64_t n = int64_t(fuel.count());
    countTraffic(size_t(n), 8);  // four fields read and written
#pragma omp parallel for simd schedule(static) if (n > kMinParallelCells)
    for (int64_t i = 0; i < n; ++i)
        burnCell(c, oxidizedBurn(c, F[i]), F[i], D[i], R[i], T[i]);
}

void combustUnoxidized(FloatGrid& fuel, FloatGrid& divergence, FloatGrid& density,
                       FloatGrid& temperature, FloatGrid& oxygen, const FloatGrid* obstacle,
                       const BurnConstants& c) {
    assert(sameSize(fuel, divergence) && sameSize(fuel, density) && sameSize(fuel, temperature) &&
           sameSize(fuel, oxygen) && (!obstacle || sameSize(fuel, *obstacle)));
    float* __restrict__ F = fuel.data();
    float* __restrict__ D = divergence.data();
    float* __restrict__ R = density.data();
    float* __restrict__ T = temperature.data();
    float* __restrict__ Q = oxygen.data();
    const int64_t n = int64_t(fuel.count());
    // Oxygen from fuel, density and the mask; then four fields read and written, oxygen read.
    countTraffic(size_t(n), 3 + (obstacle ? 1 : 0) + 9);
    if (obstacle) {
        const float* __restrict__ M = obstacle->data();
#pragma omp parallel for simd schedule(static) if (n > kMinParallelCells)
        for (int64_t i = 0; i < n; ++i)
            Q[i] = oxygenOf(F[i], R[i], M[i]);
    } else {
#pragma omp parallel for simd schedule(static) if (n > kMinParallelCells)
        for (int64_t i = 0; i < n; ++i)
            Q[i] = oxygenOf(F[i], R[i], 0.0f);
    }
    const int W = int(fuel.width()), H = int(fuel.height());
    const ptrdiff_t p = W;
#pragma omp parallel for schedule(static) if (n > kMinParallelCells)
    for (int y = 1; y <= H - 2; ++y) {
        const ptrdiff_t row = y * p;
#pragma omp simd
        for (int x = 1; x <= W - 2; ++x) {
            const ptrdiff_t i = row + x;
            const float burnt = unoxidizedBurn(c, F[i], oxygenAround(Q, i, p));
            burnCell(c, burnt, F[i], D[i], R[i], T[i]);
        }
    }
}

void buildHeatDiffusionKernel(std::vector<float>& taps, float dx, float D, float dt) {
    const double spread = 4.0 * double(D) * double(dt);  // 4·D·dt
    taps.resize(2);
    if (!(spread > 0.0) || !(dx > 0.0f)) {
        taps[0] = 1.0f;
        taps[1] = 0.0f;
        return;
    }
    // g(0) of the normalised 3D heat kernel exp(−x²/(4·D·dt)) / (4π·D·dt)^1.5; the radius is
    // where the exponential factor falls to kHeatKernelCutoff·g(0) (for tiny D·dt, g(0) is
    // huge and the kernel keeps its two taps).
    const double peak = 1.0 / std::pow(std::numbers::pi * spread, 1.5);
    const double cutoff = std::clamp(kHeatKernelCutoff * peak, 0.0, 1.0);
    const double cells = std::sqrt(-spread * std::log(cutoff)) / double(dx);
    const int n = cells < double(kMaxHeatTaps) ? std::max(2, int(std::floor(cells))) : kMaxHeatTaps;
    taps.resize(size_t(n));
    // The Gaussian's prefactor cancels in the normalisation, so it is left out: for tiny D·dt
    // it would overflow.
    const auto tap = [&](int k) {
        const double x = double(k) * double(dx);
        return std::exp(-x * x / spread);
    };
    double sum = tap(0);
    for (int k = 1; k < n; ++k)
        sum += 2.0 * tap(k);
    for (int k = 0; k < n; ++k)
        taps[size_t(k)] = float(tap(k) / sum);
}

void diffuseHeat(FloatGrid& t, FloatGrid& scratch, const std::vector<float>& taps,
                 const HeatOverwrite* overwrite) {
    assert(sameSize(t, scratch));
    assert(!overwrite || (sameSize(t, overwrite->value) && sameSize(t, overwrite->weight)));
    if (taps.size() < 2 || t.empty()) return;
    const int W = int(t.width()), H = int(t.height());
    const int n = int(std::min<size_t>(taps.size(), size_t(kMaxHeatTaps)));
    // Taps beyond the grid's extent would be dropped anyway.
    const int rx = std::min(n - 1, W - 1);
    const int ry = std::min(n - 1, H - 1);
    const float* w = taps.data();
    float* T = t.data();
    float* S = scratch.data();
    const float* value = overwrite ? overwrite->value.data() : nullptr;
    const float* weight = overwrite ? overwrite->weight.data() : nullptr;
    const float threshold = overwrite ? overwrite->threshold : 0.0f;
    const bool parallel = int64_t(W) * H > kMinParallelCells;
    // Two passes, each one grid in and one out; the overwrite reads two more.
    countTraffic(t.count(), 4 + (overwrite ? 2 : 0));
#pragma omp parallel for schedule(static) if (parallel)
    for (int y = 0; y < H; ++y)
        blurRowX(T, S, W, W, y, w, rx);
#pragma omp parallel for schedule(static) if (parallel)
    for (int y = 0; y < H; ++y) {
        blurRowY(S, T, W, W, H, y, w, ry);
        if (!overwrite) continue;
        const ptrdiff_t row = ptrdiff_t(y) * W;
#pragma omp simd
        for (ptrdiff_t i = row; i < row + W; ++i)
            T[i] = weight[i] > threshold ? value[i] : T[i];
    }
}

void addBuoyancyAndGravity(FloatGrid& dvdt, const FloatGrid& temperature, const FloatGrid& density,
                           float buoyancy, float gravity) {
    assert(sameSize(dvdt, temperature) && sameSize(dvdt, density));
    const int W = int(dvdt.width()), H = int(dvdt.height());
    const ptrdiff_t p = W;
    float* __restrict__ A = dvdt.data();
    const float* __restrict__ T = temperature.data();
    const float* __restrict__ R = density.data();
    const float halfBuoyancy = 0.5f * buoyancy;
    const float halfGravity = 0.5f * gravity;
    countTraffic(dvdt.count(), 4);
#pragma omp parallel for schedule(static) if (int64_t(W) * H > kMinParallelCells)
    for (int y = 1; y <= H - 2; ++y) {
        const ptrdiff_t row = y * p;
#pragma omp simd
        for (int x = 1; x <= W - 2; ++x) {
            const ptrdiff_t i = row + x;
            A[i] = A[i] + propertyForce(T, R, i, p, halfBuoyancy, halfGravity);
        }
    }
}

void vorticityConfinement(FloatGrid& u, FloatGrid& v, FloatGrid& w, FloatGrid& fu, FloatGrid& fv,
                          float dx, float dt, float vorticity) {
    assert(sameSize(u, v) && sameSize(u, w) && sameSize(u, fu) && sameSize(u, fv));
    const int W = int(u.width()), H = int(u.height());
    if (!(vorticity > 0.0f) || W < 3 || H < 3) return;
    const ptrdiff_t p = W;
    float* __restrict__ U = u.data();
    float* __restrict__ V = v.data();
    float* __restrict__ Om = w.data();
    float* __restrict__ Fu = fu.data();
    float* __restrict__ Fv = fv.data();
    const float r4dx = 1.0f / (4.0f * dx);
    const float r2dx = 1.0f / (2.0f * dx);
    const float s = 0.5f * dt * vorticity;
    const bool parallel = int64_t(W) * H > kMinParallelCells;
    // ω from u and v (3 grids); the forces from ω (3); u and v pushed by the forces (6).
    countTraffic(u.count(), 12);

#pragma omp parallel for schedule(static) if (parallel)
    for (int y = 1; y <= H - 2; ++y) {
        const ptrdiff_t row = y * p;
#pragma omp simd
        for (int x = 1; x <= W - 2; ++x)
            Om[row + x] = vorticityAt(U, V, row + x, p, r4dx);
    }
    // The force needs |ω| one cell outside the interior: continue it outwards, so that the
    // border does not pull the gradient towards 0.
    w.copyBorder();

#pragma omp parallel for schedule(static) if (parallel)
    for (int y = 1; y <= H - 2; ++y) {
        const ptrdiff_t row = y * p;
#pragma omp simd
        for (int x = 1; x <= W - 2; ++x)
            confinementForceAt(Om, row + x, p, r2dx, Fu[row + x], Fv[row + x]);
    }
    fu.setBorder(0.0f);
    fv.setBorder(0.0f);

    const int first = kConfinementFirstCellHost;
#pragma omp parallel for schedule(static) if (parallel)
    for (int y = first; y <= H - 3; ++y) {
        const ptrdiff_t row = y * p;
#pragma omp simd
        for (int x = first; x <= W - 3; ++x) {
            const ptrdiff_t i = row + x;
            U[i] = U[i] + confinementU(Fu, i, s);
            V[i] = V[i] + confinementV(Fv, i, p, s);
        }
    }
}

}  // namespace skv
