#pragma once

// One kernel source, two compilers. nvcc compiles a kernel file into the module's PTX: each
// kernel is a __global__ function of the global namespace, which the host looks up by its
// mangled entry name. The host compiler compiles the same file for the emulated device: each
// kernel becomes a plain function of skv::gpu::twin that takes the position of its thread in
// the launch as an extra first parameter, and the emulator calls it once for every thread of
// the launch's grid and block geometry. A kernel body computes its index, checks bounds and
// calls the shared per-cell functions; nothing else differs between the two.
//
//     SKV_KERNEL dName(SKV_THREAD int pitch, int width, int height, float* out, ...) {
//         const int x = SKV_INDEX_X, y = SKV_INDEX_Y;
//         if (x >= width || y >= height) return;
//         ...
//     }
//
// Kernels read their inputs through plain pointers with the same integer element index as
// their output, not through texture objects, so that the emulated device runs the same code.
// Inputs are declared `const float* __restrict__` (the read-only data path) unless the
// launcher may pass the output array itself, where they stay plain.

#if defined(__CUDACC__)

#define SKV_KERNEL __global__ void
#define SKV_THREAD
#define SKV_KERNELS_BEGIN
#define SKV_KERNELS_END
#define SKV_BLOCK_IDX blockIdx
#define SKV_BLOCK_DIM blockDim
#define SKV_THREAD_IDX threadIdx
#define SKV_GRID_DIM gridDim

#else

namespace skv::gpu {

struct Dim3 {
    unsigned x = 1, y = 1, z = 1;
};

// The position of one emulated thread: the CUDA built-ins of the same names.
struct ThreadIndex {
    Dim3 blockIdx{0, 0, 0};
    Dim3 threadIdx{0, 0, 0};
    Dim3 blockDim;
    Dim3 gridDim;
};

}  // namespace skv::gpu

#define SKV_KERNEL inline void
#define SKV_THREAD const ::skv::gpu::ThreadIndex &skvThread,
#define SKV_KERNELS_BEGIN namespace skv::gpu::twin {
#define SKV_KERNELS_END }
#define SKV_BLOCK_IDX skvThread.blockIdx
#define SKV_BLOCK_DIM skvThread.blockDim
#define SKV_THREAD_IDX skvThread.threadIdx
#define SKV_GRID_DIM skvThread.gridDim

#endif

// The global thread index along x and y (grids stay far below 2^31 cells per axis).
#define SKV_INDEX_X int(SKV_BLOCK_IDX.x * SKV_BLOCK_DIM.x + SKV_THREAD_IDX.x)
#define SKV_INDEX_Y int(SKV_BLOCK_IDX.y * SKV_BLOCK_DIM.y + SKV_THREAD_IDX.y)
