#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "gpu/cuda_driver.h"
#include "gpu/device_grid.h"

namespace skv::gpu {

// One kernel launch: the function, its parameters in the kernel's order (each slot holds a
// 32-bit integer, a float or a device pointer and is passed to the driver by address), the
// block dimensions and the dynamic shared memory.
class KernelLaunch {
  public:
    static constexpr int kMaxParameters = 16;

    KernelLaunch(cuda::CUfunction function, LaunchDims block, unsigned sharedBytes = 0);
    KernelLaunch(const KernelLaunch&) = delete;
    KernelLaunch& operator=(const KernelLaunch&) = delete;

    KernelLaunch& i32(int32_t value);
    KernelLaunch& u32(uint32_t value);
    KernelLaunch& f32(float value);
    KernelLaunch& pointer(cuda::CUdeviceptr value);
    KernelLaunch& pointer(const DeviceGrid& grid) { return pointer(grid.devicePointer()); }

    // Launches over `grid` blocks in the default stream and waits for the kernel: a failed
    // launch logs "cuLaunchGrid returned <code>" and returns false; a failed synchronisation
    // logs "cuCtxSynchronize returned <code>" and still returns true. Every launch is therefore
    // synchronous. A launch without a function (the module is not loaded) returns false and
    // calls nothing.
    bool launch(const cuda::CudaDriver& driver, LaunchDims grid);

  private:
    union Slot {
        int32_t i;
        uint32_t u;
        float f;
        cuda::CUdeviceptr p;
    };
    Slot& next();

    cuda::CUfunction function_;
    LaunchDims block_;
    unsigned sharedBytes_;
    std::array<Slot, kMaxParameters> slots_{};
    std::array<void*, kMaxParameters> addresses_{};
    int count_ = 0;
};

// Loads a module from its PTX text; logs "cuModuleLoadData returned <code>" on failure. An
// empty text (a build without nvcc) fails like an invalid image, without a driver call.
bool loadModule(const cuda::CudaDriver& driver, std::string_view ptx, cuda::CUmodule& module);

// Looks up a kernel by its entry name; logs "cuModuleGetFunction returned <code>" on failure.
bool getFunction(const cuda::CudaDriver& driver, cuda::CUmodule module, const char* name,
                 cuda::CUfunction& function);

// cuCtxSynchronize; logs "cuCtxSynchronize returned <code>" on failure.
bool synchronize(const cuda::CudaDriver& driver);

}  // namespace skv::gpu
