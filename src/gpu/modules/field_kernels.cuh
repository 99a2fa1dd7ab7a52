#pragma once

// The kernels of the field module: element-wise operations, border clamps, masked copies, a
// separable convolution and the absolute-maximum reduction. Compiled by nvcc (field_kernels.cu)
// into the module's PTX and by the host compiler into the emulated device's twins (see
// kernel_support.h). Element-wise kernels treat a grid as a flat array of its element count,
// row padding included, and handle index i < size.

#include "gpu/modules/kernel_support.h"
#include "kernels/field_cells.h"
#include "kernels/forces_cells.h"

SKV_KERNELS_BEGIN

// z = a·x + y; z may be x or y.
SKV_KERNEL daxpy(SKV_THREAD int size, float* z, float a, const float* x, const float* y) {
    const int i = SKV_INDEX_X;
    if (i < size) z[i] = skv::axpyValue(a, x[i], y[i]);
}

// y = a·x; y may be x.
SKV_KERNEL dax(SKV_THREAD int size, float* y, float a, const float* x) {
    const int i = SKV_INDEX_X;
    if (i < size) y[i] = a * x[i];
}

// z = z + (a·x + b·y).
SKV_KERNEL daxpbypz(SKV_THREAD int size, float* z, float a, const float* x, float b,
                    const float* y) {
    const int i = SKV_INDEX_X;
    if (i < size) z[i] = skv::axpbypzValue(z[i], a, x[i], b, y[i]);
}

SKV_KERNEL dSetMax(SKV_THREAD int size, float* x, float a) {
    const int i = SKV_INDEX_X;
    if (i < size) x[i] = skv::maxValue(x[i], a);
}

SKV_KERNEL dSetMaxF(SKV_THREAD int size, float* x, const float* y) {
    const int i = SKV_INDEX_X;
    if (i < size) x[i] = skv::maxValue(x[i], y[i]);
}

SKV_KERNEL dSetMin(SKV_THREAD int size, float* x, float a) {
    const int i = SKV_INDEX_X;
    if (i < size) x[i] = skv::minValue(x[i], a);
}

SKV_KERNEL dClamp(SKV_THREAD int size, float* x, float a, float b) {
    const int i = SKV_INDEX_X;
    if (i < size) x[i] = skv::clampValue(x[i], a, b);
}

// The first element of each of `height` rows (a column, given its first element).
SKV_KERNEL dSetMaxXBorder(SKV_THREAD int pitch, int height, float* x, float a) {
    const int r = SKV_INDEX_X;
    if (r < height) x[ptrdiff_t(r) * pitch] = skv::maxValue(x[ptrdiff_t(r) * pitch], a);
}

SKV_KERNEL dSetMinXBorder(SKV_THREAD int pitch, int height, float* x, float a) {
    const int r = SKV_INDEX_X;
    if (r < height) x[ptrdiff_t(r) * pitch] = skv::minValue(x[ptrdiff_t(r) * pitch], a);
}

// x = texParam2 where m > threshold, else texParam1 (normally x itself: each thread reads only
// its own element).
SKV_KERNEL dSetMasked(SKV_THREAD int size, float* x, const float* m, float threshold,
                      const float* texParam1, const float* __restrict__ texParam2) {
    const int i = SKV_INDEX_X;
    if (i < size) x[i] = skv::maskedValue(texParam1[i], texParam2[i], m[i], threshold);
}

// One pass of the separable blur with the one-sided taps texParam2[0 … filter_width] over
// every cell of texParam1, into dst.
SKV_KERNEL dConvolveX(SKV_THREAD int pitch, int width, int height, int filter_width, float* dst,
                      const float* __restrict__ texParam1, const float* __restrict__ texParam2) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dst[ptrdiff_t(y) * pitch + x] =
        skv::convolveXAt(texParam1, pitch, width, x, y, texParam2, filter_width);
}

SKV_KERNEL dConvolveY(SKV_THREAD int pitch, int width, int height, int filter_width, float* dst,
                      const float* __restrict__ texParam1, const float* __restrict__ texParam2) {
    const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
    if (x >= width || y >= height) return;
    dst[ptrdiff_t(y) * pitch + x] =
        skv::convolveYAt(texParam1, pitch, height, x, y, texParam2, filter_width);
}

SKV_KERNELS_END

// --- Absolute-maximum reduction ---------------------------------------------------------------
//
// Block b of N threads writes max |input(i)| over the elements i ≡ b·N + t (mod gridDim·N) to
// output(b). The threads first keep running maxima, then combine them pairwise in shared
// memory, halving the active threads each step. The emulated device has no barriers; it runs a
// block as absMaxReduceBlock, which combines the same values in the same tree.

#if defined(__CUDACC__)

template <unsigned N>
__global__ void dAbsMaxReduce(const float* input, float* output, unsigned size) {
    extern __shared__ float cache[];
    volatile float* shared = cache;
    const unsigned t = threadIdx.x;
    float m = 0.0f;
    for (unsigned i = blockIdx.x * N + t; i < size; i += gridDim.x * N)
        m = skv::maxMagnitude(m, input[i]);
    shared[t] = m;
    __syncthreads();
    for (unsigned s = N / 2; s > 32; s /= 2) {
        if (t < s) shared[t] = skv::combineMagnitudes(shared[t], shared[t + s]);
        __syncthreads();
    }
    // The last warp: no block barrier, but threads of a warp may run independently, so each
    // step ends with a warp barrier over the threads that exist.
    if (t < 32) {
        const unsigned lanes = N < 32 ? ((1u << N) - 1u) : 0xffffffffu;
        for (unsigned s = (N < 64 ? N : 64) / 2; s > 0; s /= 2) {
            if (t < s) shared[t] = skv::combineMagnitudes(shared[t], shared[t + s]);
            __syncwarp(lanes);
        }
    }
    if (t == 0) output[blockIdx.x] = shared[0];
}

template __global__ void dAbsMaxReduce<512>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<256>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<128>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<64>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<32>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<16>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<8>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<4>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<2>(const float*, float*, unsigned);
template __global__ void dAbsMaxReduce<1>(const float*, float*, unsigned);

#else

namespace skv::gpu::twin {

// One whole block of dAbsMaxReduce<n>: the running maxima of its n threads, then the same
// pairwise combination tree.
inline void absMaxReduceBlock(unsigned n, unsigned block, unsigned blocks, const float* input,
                              float* output, unsigned size) {
    float cache[512];
    for (unsigned t = 0; t < n; ++t) {
        float m = 0.0f;
        for (unsigned i = block * n + t; i < size; i += blocks * n)
            m = skv::maxMagnitude(m, input[i]);
        cache[t] = m;
    }
    for (unsigned s = n / 2; s > 0; s /= 2)
        for (unsigned t = 0; t < s; ++t)
            cache[t] = skv::combineMagnitudes(cache[t], cache[t + s]);
    output[block] = cache[0];
}

}  // namespace skv::gpu::twin

#endif
