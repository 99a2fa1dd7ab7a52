#pragma once

// Our own declarations of the few CUDA driver types and entry points the GPU backend calls,
// so that nothing of the toolkit is needed to build or run. The layouts that cross into the
// driver (CUDA_MEMCPY2D) follow the driver's ABI.

#include <cstddef>
#include <string>

namespace skv::cuda {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
struct CUctx_st;
using CUcontext = CUctx_st*;
struct CUmod_st;
using CUmodule = CUmod_st*;
struct CUfunc_st;
using CUfunction = CUfunc_st*;
struct CUstream_st;
using CUstream = CUstream_st*;

constexpr CUresult CUDA_SUCCESS = 0;
constexpr CUresult CUDA_ERROR_INVALID_VALUE = 1;
constexpr CUresult CUDA_ERROR_OUT_OF_MEMORY = 2;
constexpr CUresult CUDA_ERROR_NOT_INITIALIZED = 3;
constexpr CUresult CUDA_ERROR_NO_DEVICE = 100;
constexpr CUresult CUDA_ERROR_INVALID_IMAGE = 200;
constexpr CUresult CUDA_ERROR_INVALID_CONTEXT = 201;
constexpr CUresult CUDA_ERROR_NOT_FOUND = 500;
constexpr CUresult CUDA_ERROR_LAUNCH_FAILED = 719;

constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75;
constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76;

enum CUmemorytype : unsigned {
    CU_MEMORYTYPE_HOST = 1,
    CU_MEMORYTYPE_DEVICE = 2,
    CU_MEMORYTYPE_ARRAY = 3,
    CU_MEMORYTYPE_UNIFIED = 4,
};

struct CUDA_MEMCPY2D {
    size_t srcXInBytes;
    size_t srcY;
    CUmemorytype srcMemoryType;
    const void* srcHost;
    CUdeviceptr srcDevice;
    void* srcArray;
    size_t srcPitch;
    size_t dstXInBytes;
    size_t dstY;
    CUmemorytype dstMemoryType;
    void* dstHost;
    CUdeviceptr dstDevice;
    void* dstArray;
    size_t dstPitch;
    size_t WidthInBytes;
    size_t Height;
};

// X(member, exported symbol, required, return type, parameter list)
#define SKV_CUDA_DRIVER_ENTRIES(X)                                                                 \
    X(cuInit, "cuInit", true, CUresult, (unsigned int flags))                                      \
    X(cuDeviceGetCount, "cuDeviceGetCount", true, CUresult, (int* count))                          \
    X(cuDeviceGet, "cuDeviceGet", true, CUresult, (CUdevice * device, int ordinal))                \
    X(cuDeviceGetName, "cuDeviceGetName", true, CUresult, (char* name, int len, CUdevice dev))     \
    X(cuDeviceGetAttribute, "cuDeviceGetAttribute", true, CUresult,                                \
      (int* value, int attribute, CUdevice dev))                                                   \
    X(cuCtxCreate, "cuCtxCreate_v2", true, CUresult,                                               \
      (CUcontext * ctx, unsigned int flags, CUdevice dev))                                         \
    X(cuCtxGetDevice, "cuCtxGetDevice", true, CUresult, (CUdevice * device))                       \
    X(cuCtxGetCurrent, "cuCtxGetCurrent", true, CUresult, (CUcontext * ctx))                       \
    X(cuCtxPushCurrent, "cuCtxPushCurrent_v2", true, CUresult, (CUcontext ctx))                    \
    X(cuCtxPopCurrent, "cuCtxPopCurrent_v2", true, CUresult, (CUcontext * ctx))                    \
    X(cuCtxAttach, "cuCtxAttach", false, CUresult, (CUcontext * ctx, unsigned int flags))          \
    X(cuCtxDetach, "cuCtxDetach", false, CUresult, (CUcontext ctx))                                \
    X(cuCtxSynchronize, "cuCtxSynchronize", true, CUresult, ())                                    \
    X(cuMemGetInfo, "cuMemGetInfo_v2", true, CUresult, (size_t * free, size_t * total))            \
    X(cuMemAllocPitch, "cuMemAllocPitch_v2", true, CUresult,                                       \
      (CUdeviceptr * dptr, size_t * pitch, size_t widthInBytes, size_t height,                     \
       unsigned int elementSizeBytes))                                                             \
    X(cuMemAlloc, "cuMemAlloc_v2", true, CUresult, (CUdeviceptr * dptr, size_t bytes))             \
    X(cuMemFree, "cuMemFree_v2", true, CUresult, (CUdeviceptr dptr))                               \
    X(cuMemcpy2D, "cuMemcpy2D_v2", true, CUresult, (const CUDA_MEMCPY2D* copy))                    \
    X(cuMemcpyDtoH, "cuMemcpyDtoH_v2", true, CUresult, (void* dst, CUdeviceptr src, size_t bytes)) \
    X(cuMemcpyHtoD, "cuMemcpyHtoD_v2", true, CUresult,                                             \
      (CUdeviceptr dst, const void* src, size_t bytes))                                            \
    X(cuMemcpyDtoD, "cuMemcpyDtoD_v2", true, CUresult,                                             \
      (CUdeviceptr dst, CUdeviceptr src, size_t bytes))                                            \
    X(cuMemsetD8, "cuMemsetD8_v2", true, CUresult,                                                 \
      (CUdeviceptr dst, unsigned char value, size_t count))                                        \
    X(cuMemsetD32, "cuMemsetD32_v2", true, CUresult,                                               \
      (CUdeviceptr dst, unsigned int value, size_t count))                                         \
    X(cuMemsetD2D32, "cuMemsetD2D32_v2", true, CUresult,                                           \
      (CUdeviceptr dst, size_t pitch, unsigned int value, size_t width, size_t height))            \
    X(cuModuleLoadData, "cuModuleLoadData", true, CUresult,                                        \
      (CUmodule * module, const void* image))                                                      \
    X(cuModuleUnload, "cuModuleUnload", true, CUresult, (CUmodule module))                         \
    X(cuModuleGetFunction, "cuModuleGetFunction", true, CUresult,                                  \
      (CUfunction * function, CUmodule module, const char* name))                                  \
    X(cuLaunchKernel, "cuLaunchKernel", true, CUresult,                                            \
      (CUfunction f, unsigned int gridX, unsigned int gridY, unsigned int gridZ,                   \
       unsigned int blockX, unsigned int blockY, unsigned int blockZ, unsigned int sharedMemBytes, \
       CUstream stream, void** params, void** extra))                                              \
    X(cuGetErrorName, "cuGetErrorName", false, CUresult, (CUresult error, const char** name))

// The driver's entry points as one table of function pointers. The process table is loaded
// once, lazily and thread-safely; tests build tables of their own (a failing fake, the
// emulated device) and hand them to the GPU code instead.
struct CudaDriver {
#define SKV_CUDA_DECLARE_ENTRY(member, symbol, required, ret, params) ret(*member) params = nullptr;
    SKV_CUDA_DRIVER_ENTRIES(SKV_CUDA_DECLARE_ENTRY)
#undef SKV_CUDA_DECLARE_ENTRY

    bool loaded = false;  // every required entry is present
    std::string failure;  // why loading failed
};

// The table of the system's driver library (libcuda.so.1), loaded on first use.
const CudaDriver& systemCudaDriver();

}  // namespace skv::cuda
