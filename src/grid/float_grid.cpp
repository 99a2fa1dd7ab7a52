#include "grid/float_grid.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "grid/memory_traffic.h"

namespace skv {
namespace {
// Below this many elements a parallel region costs more than the loop it splits.
constexpr int64_t kMinParallel = 1 << 15;
}  // namespace

FloatGrid::~FloatGrid() {
    release();
}

void FloatGrid::release() {
    std::free(allocation_);
    allocation_ = nullptr;
    data_ = nullptr;
    count_ = 0;
    width_ = height_ = depth_ = 0;
}

void FloatGrid::resize(uint32_t width, uint32_t height, uint32_t depth, bool clearContents) {
    if (!data_ || width != width_ || height != height_ || depth != depth_) {
        release();
        uint64_t count = 0, bytes = 0;
        // One extra alignment's worth of floats lets the start be rounded up.
        if (__builtin_mul_overflow(uint64_t(width) * height, uint64_t(depth), &count) ||
            __builtin_mul_overflow(count + kAlignment / sizeof(float), sizeof(float), &bytes))
            throw std::bad_alloc();
        void* block = std::malloc(bytes);
        if (!block) throw std::bad_alloc();
        allocation_ = block;
        const auto address = reinterpret_cast<uintptr_t>(block);
        data_ = reinterpret_cast<float*>((address + kAlignment - 1) & ~uintptr_t(kAlignment - 1));
        count_ = count;
        width_ = width;
        height_ = height;
        depth_ = depth;
    }
    if (clearContents) clear();
}

void FloatGrid::clear() {
    countTraffic(count_, 1);
    if (data_) std::memset(data_, 0, count_ * sizeof(float));
}

void FloatGrid::fill(float value) {
    countTraffic(count_, 1);
    float* d = data_;
    const int64_t n = int64_t(count_);
#pragma omp parallel for simd schedule(static) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        d[i] = value;
}

void FloatGrid::copyFrom(const FloatGrid& src) {
    if (&src == this) return;
    resize(src.width_, src.height_, src.depth_, false);
    countTraffic(count_, 2);
    const float* s = src.data_;
    float* d = data_;
    const int64_t n = int64_t(count_);
#pragma omp parallel for simd schedule(static) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        d[i] = s[i];
}

void FloatGrid::swap(FloatGrid& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(allocation_, other.allocation_);
    std::swap(count_, other.count_);
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(depth_, other.depth_);
}

void FloatGrid::setBorder(float value) {
    if (!data_ || width_ == 0 || height_ == 0) return;
    const size_t w = width_, h = height_;
    countTraffic((2 * w + 2 * h), 1);
    float* d = data_;
#pragma omp parallel sections if (w * h > size_t(kMinParallel))
    {
#pragma omp section
        {
            std::fill(d, d + w, value);
            std::fill(d + (h - 1) * w, d + h * w, value);
        }
#pragma omp section
        {
            for (size_t y = 0; y < h; ++y) {
                d[y * w] = value;
                d[y * w + w - 1] = value;
            }
        }
    }
}

void FloatGrid::copyBorder() {
    if (!data_ || width_ < 2 || height_ < 2) return;
    const size_t w = width_, h = height_;
    countTraffic(2 * (2 * w + 2 * h), 1);
    float* d = data_;
    // Columns first, then rows: the corners take the values of the new border columns.
#pragma omp parallel for schedule(static) if (int64_t(h) * int64_t(w) > kMinParallel)
    for (int64_t y = 0; y < int64_t(h); ++y) {
        d[y * w] = d[y * w + 1];
        d[y * w + w - 1] = d[y * w + w - 2];
    }
    std::memcpy(d, d + w, w * sizeof(float));
    std::memcpy(d + (h - 1) * w, d + (h - 2) * w, w * sizeof(float));
}

void FloatGrid::setMax(float value) {
    countTraffic(count_, 2);
    float* d = data_;
    const int64_t n = int64_t(count_);
#pragma omp parallel for simd schedule(static) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        d[i] = std::max(d[i], value);
}

void FloatGrid::setMasked(const FloatGrid& src, const FloatGrid& mask, float threshold) {
    const int64_t n = int64_t(std::min({count_, src.count_, mask.count_}));
    countTraffic(size_t(n), 4);
    float* d = data_;
    const float* s = src.data_;
    const float* m = mask.data_;
#pragma omp parallel for simd schedule(static) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        d[i] = m[i] > threshold ? s[i] : d[i];
}

void FloatGrid::zeroInMask(const FloatGrid& mask) {
    const int64_t n = int64_t(std::min(count_, mask.count_));
    countTraffic(size_t(n), 3);
    float* d = data_;
    const float* m = mask.data_;
#pragma omp parallel for schedule(dynamic, 4096) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        if (m[i] != 0.0f) d[i] = 0.0f;
}

void FloatGrid::axpbypz(float a, const FloatGrid& x, float b, const FloatGrid& y) {
    const int64_t n = int64_t(std::min({count_, x.count_, y.count_}));
    countTraffic(size_t(n), 4);
    float* d = data_;
    const float* xs = x.data_;
    const float* ys = y.data_;
#pragma omp parallel for simd schedule(static) if (n > kMinParallel) aligned(d, xs, ys : 16)
    for (int64_t i = 0; i < n; ++i)
        d[i] += a * xs[i] + b * ys[i];
}

void FloatGrid::axpy(float a, const FloatGrid& x) {
    const int64_t n = int64_t(std::min(count_, x.count_));
    countTraffic(size_t(n), 3);
    float* d = data_;
    const float* xs = x.data_;
#pragma omp parallel for simd schedule(static) if (n > kMinParallel)
    for (int64_t i = 0; i < n; ++i)
        d[i] += a * xs[i];
}

}  // namespace skv
