#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "gpu/cuda_driver.h"

namespace skv::gpu {

// A CUDA driver table that runs on the host, for tests: install it with
//     CudaState::setInstance(std::make_unique<CudaState>(device.driver()));
//     setCudaEnabled(true);
// and the whole device path — allocation, transfers, module loading, launches, fall-backs —
// runs without a GPU.
//
// Device memory is host memory with a real pitch (rows padded to the pitch alignment). Fresh
// allocations are filled with kFreshMemory, a NaN, so that results computed from memory that
// nobody wrote (row padding above all) show. Module loading reads the entry names of the PTX
// text; a launch runs the host-compiled twin of the named kernel (emulated_kernels.h) for every
// thread of the launch's grid and block geometry. Contexts are a per-thread stack, and every
// memory, module and launch call needs one current, as on a device.
//
// The device checks what a real one would refuse or corrupt — pointers outside every live
// allocation (kernel arguments included), copies and fills past the end of an allocation,
// launch shapes the kernel cannot run, calls without a current context — answers them with
// an error code and records them (misuses()). It can also be told to fail.
//
// One emulated device may exist at a time (the driver table's entries are plain functions).
class EmulatedDevice {
  public:
    static constexpr uint32_t kFreshMemory = 0x7fc0dead;

    struct Options {
        size_t pitchAlignment = 512;            // bytes; every row pitch is a multiple
        uint64_t capacity = uint64_t(1) << 30;  // bytes of device memory
    };

    struct Counters {
        int allocations = 0;
        int frees = 0;
        int copies = 0;   // cuMemcpy2D, cuMemcpyHtoD/DtoH/DtoD
        int memsets = 0;  // cuMemsetD8/D32/D2D32
        int moduleLoads = 0;
        int launches = 0;
        int synchronizations = 0;
    };

    EmulatedDevice();
    explicit EmulatedDevice(const Options& options);
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    // The driver table; valid while this device lives.
    const cuda::CudaDriver& driver() const { return driver_; }

    // --- Faults ------------------------------------------------------------------------------
    // Allocations after the next `successful` ones fail with CUDA_ERROR_OUT_OF_MEMORY
    // (negative: none fails).
    void failAllocationsAfter(int successful);
    void setCapacity(uint64_t bytes);
    // cuModuleLoadData answers `result` (CUDA_SUCCESS: loads normally).
    void failModuleLoads(cuda::CUresult result);
    // Looking up this entry name fails with CUDA_ERROR_NOT_FOUND.
    void failFunctionLookup(const std::string& entry);
    // Launches of this entry fail with CUDA_ERROR_LAUNCH_FAILED.
    void failLaunches(const std::string& entry);
    // cuCtxSynchronize answers `result`.
    void failSynchronize(cuda::CUresult result);
    // Host-device copies (cuMemcpy2D, cuMemcpyDtoH, cuMemcpyHtoD) answer `result`.
    void failTransfers(cuda::CUresult result);
    void clearFaults();

    // --- Observation -------------------------------------------------------------------------
    Counters counters() const;
    int launchesOf(std::string_view entry) const;
    uint64_t bytesInUse() const;
    size_t liveAllocations() const;
    // True when [p, p + bytes) lies inside one live allocation.
    bool owns(cuda::CUdeviceptr p, size_t bytes) const;
    // One line for each call the device refused as a misuse.
    std::vector<std::string> misuses() const;

  private:
    struct Allocation {
        void* memory;
        size_t bytes;
    };
    struct Module;
    struct Function;

    static EmulatedDevice& active();
    cuda::CUresult misuse(cuda::CUresult result, const std::string& what);
    bool hasContext(const char* call);
    const Allocation* find(cuda::CUdeviceptr p, size_t bytes) const;
    cuda::CUresult allocate(cuda::CUdeviceptr* dptr, size_t bytes);
    cuda::CUresult free(cuda::CUdeviceptr dptr);
    cuda::CUresult copy2D(const cuda::CUDA_MEMCPY2D& c);
    cuda::CUresult copyLinear(void* dst, const void* src, size_t bytes, bool deviceDst,
                              bool deviceSrc, bool transfer);
    cuda::CUresult set(cuda::CUdeviceptr dst, size_t pitch, const void* pattern, size_t size,
                       size_t width, size_t height, const char* call);
    cuda::CUresult loadModule(cuda::CUmodule* module, const void* image);
    cuda::CUresult unloadModule(cuda::CUmodule module);
    cuda::CUresult getFunction(cuda::CUfunction* function, cuda::CUmodule module, const char* name);
    cuda::CUresult launch(cuda::CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                          unsigned by, unsigned bz, unsigned shared, void** params, void** extra);

    Options options_;
    cuda::CudaDriver driver_;
    mutable std::mutex mutex_;
    std::map<cuda::CUdeviceptr, Allocation> allocations_;
    std::map<Module*, std::unique_ptr<Module>> modules_;
    uint64_t bytesInUse_ = 0;
    Counters counters_;
    std::map<std::string, int, std::less<>> launchCounts_;
    std::vector<std::string> misuses_;

    int allocationsLeft_ = -1;
    cuda::CUresult moduleLoadResult_ = cuda::CUDA_SUCCESS;
    cuda::CUresult synchronizeResult_ = cuda::CUDA_SUCCESS;
    cuda::CUresult transferResult_ = cuda::CUDA_SUCCESS;
    std::vector<std::string> failingLookups_;
    std::vector<std::string> failingLaunches_;
};

}  // namespace skv::gpu
