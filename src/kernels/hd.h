#pragma once

// SKV_HD marks the per-cell functions that the CPU passes and the CUDA kernels share: the
// same source is compiled by nvcc for the device and by the host compiler for the CPU passes
// and for the emulated device of the tests. Such functions take plain pointers, pitches and
// scalars: no containers, allocation, exceptions or globals.
#if defined(__CUDACC__)
#define SKV_HD __host__ __device__ __forceinline__
#else
#define SKV_HD inline
#endif
