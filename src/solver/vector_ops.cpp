#include "solver/vector_ops.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "grid/memory_traffic.h"
#include "platform/exception.h"

namespace skv {
namespace {

// Below this many elements a parallel region costs more than the loop it splits.
constexpr size_t kMinParallel = size_t(1) << 15;
// Reductions cut the array into at most this many chunks of at least kMinChunk elements; the
// chunk boundaries depend on the element count only, never on the number of threads.
constexpr int kMaxChunks = 64;
constexpr size_t kMinChunk = size_t(1) << 14;

void requireAligned(const float* p) {
    if (reinterpret_cast<uintptr_t>(p) % 16 != 0)
        throw Exception("Vector operation on a grid that is not 16-byte aligned");
}

void requireSameSize(const FloatGrid& a, const FloatGrid& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth())
        throw Exception("Vector operation on grids of different sizes");
}

struct Chunks {
    int count;
    size_t size;  // a multiple of 4, so every chunk but the last holds whole vectors
};

Chunks chunksFor(size_t n) {
    const size_t wanted = std::clamp<size_t>(n / kMinChunk, 1, kMaxChunks);
    const size_t size = ((n + wanted - 1) / wanted + 3) & ~size_t(3);
    return {int(size ? (n + size - 1) / size : 1), std::max<size_t>(size, 4)};
}

// Largest |x| of [begin, end); sets *nan when it meets a NaN.
float absMaxRange(const float* x, size_t begin, size_t end, bool* nan) {
    const __m128 signMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 best = _mm_setzero_ps();
    __m128 unordered = _mm_setzero_ps();
    size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const __m128 v = _mm_load_ps(x + i);
        best = _mm_max_ps(best, _mm_and_ps(v, signMask));
        unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(v, v));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, best);
    float result = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    bool sawNan = _mm_movemask_ps(unordered) != 0;
    for (; i < end; ++i) {
        if (std::isnan(x[i])) sawNan = true;
        result = std::max(result, std::fabs(x[i]));
    }
    if (sawNan) *nan = true;
    return result;
}

double squaresRange(const float* x, size_t begin, size_t end) {
    __m128d low = _mm_setzero_pd(), high = _mm_setzero_pd();
    size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const __m128 v = _mm_load_ps(x + i);
        const __m128d a = _mm_cvtps_pd(v);
        const __m128d b = _mm_cvtps_pd(_mm_movehl_ps(v, v));
        low = _mm_add_pd(low, _mm_mul_pd(a, a));
        high = _mm_add_pd(high, _mm_mul_pd(b, b));
    }
    alignas(16) double lanes[4];
    _mm_store_pd(lanes, low);
    _mm_store_pd(lanes + 2, high);
    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; i < end; ++i)
        sum += double(x[i]) * double(x[i]);
    return sum;
}

}  // namespace

float infinityNorm(const float* x, size_t count) {
    requireAligned(x);
    if (count == 0) return 0.0f;
    countTraffic(count, 1);
    const Chunks chunks = chunksFor(count);
    float partial[kMaxChunks];
    bool nan[kMaxChunks] = {};
#pragma omp parallel for schedule(static) if (count > kMinParallel)
    for (int c = 0; c < chunks.count; ++c) {
        const size_t begin = size_t(c) * chunks.size;
        partial[c] = absMaxRange(x, begin, std::min(count, begin + chunks.size), &nan[c]);
    }
    float result = 0.0f;
    for (int c = 0; c < chunks.count; ++c) {
        if (nan[c]) return std::numeric_limits<float>::quiet_NaN();
        result = std::max(result, partial[c]);
    }
    return result;
}

float infinityNorm(const FloatGrid& x) {
    return infinityNorm(x.data(), x.count());
}

double sumOfSquares(const float* x, size_t count) {
    requireAligned(x);
    if (count == 0) return 0.0;
    countTraffic(count, 1);
    const Chunks chunks = chunksFor(count);
    double partial[kMaxChunks];
#pragma omp parallel for schedule(static) if (count > kMinParallel)
    for (int c = 0; c < chunks.count; ++c) {
        const size_t begin = size_t(c) * chunks.size;
        partial[c] = squaresRange(x, begin, std::min(count, begin + chunks.size));
    }
    double sum = 0.0;
    for (int c = 0; c < chunks.count; ++c)
        sum += partial[c];
    return sum;
}

double sumOfSquares(const FloatGrid& x) {
    return sumOfSquares(x.data(), x.count());
}

void scale(float* y, float a, const float* x, size_t count) {
    requireAligned(y);
    requireAligned(x);
    countTraffic(count, 2);
    const int64_t vectors = int64_t(count / 4);
    const __m128 va = _mm_set1_ps(a);
#pragma omp parallel for schedule(static) if (count > kMinParallel)
    for (int64_t v = 0; v < vectors; ++v)
        _mm_store_ps(y + 4 * v, _mm_mul_ps(va, _mm_load_ps(x + 4 * v)));
    for (size_t i = size_t(vectors) * 4; i < count; ++i)
        y[i] = a * x[i];
}

void scale(FloatGrid& y, float a, const FloatGrid& x) {
    requireSameSize(y, x);
    scale(y.data(), a, x.data(), x.count());
}

void scaledAdd(float* z, float a, const float* x, const float* y, size_t count) {
    requireAligned(z);
    requireAligned(x);
    requireAligned(y);
    countTraffic(count, 3);
    const int64_t vectors = int64_t(count / 4);
    const __m128 va = _mm_set1_ps(a);
#pragma omp parallel for schedule(static) if (count > kMinParallel)
    for (int64_t v = 0; v < vectors; ++v)
        _mm_store_ps(z + 4 * v,
                     _mm_add_ps(_mm_mul_ps(va, _mm_load_ps(x + 4 * v)), _mm_load_ps(y + 4 * v)));
    for (size_t i = size_t(vectors) * 4; i < count; ++i)
        z[i] = a * x[i] + y[i];
}

void scaledAdd(FloatGrid& z, float a, const FloatGrid& x, const FloatGrid& y) {
    requireSameSize(z, x);
    requireSameSize(z, y);
    scaledAdd(z.data(), a, x.data(), y.data(), z.count());
}

void fillBorder(FloatGrid& grid, float value) {
    requireAligned(grid.data());
    if (grid.empty() || grid.width() == 0 || grid.height() == 0) return;
    const size_t w = grid.width(), h = grid.height();
    countTraffic((2 * w + 2 * h), 1);
    float* d = grid.data();
    std::fill(d, d + w, value);
    std::fill(d + (h - 1) * w, d + h * w, value);
    for (size_t y = 1; y + 1 < h; ++y) {
        d[y * w] = value;
        d[y * w + w - 1] = value;
    }
}

}  // namespace skv
