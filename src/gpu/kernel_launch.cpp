#include "gpu/kernel_launch.h"

#include <cstdlib>
#include <string>

#include "platform/log.h"

namespace skv::gpu {

using namespace cuda;

KernelLaunch::KernelLaunch(CUfunction function, LaunchDims block, unsigned sharedBytes)
    : function_(function), block_(block), sharedBytes_(sharedBytes) {}

KernelLaunch::Slot& KernelLaunch::next() {
    // The kernels have at most 12 parameters; a longer list is a programming error.
    if (count_ == kMaxParameters) std::abort();
    addresses_[size_t(count_)] = &slots_[size_t(count_)];
    return slots_[size_t(count_++)];
}

KernelLaunch& KernelLaunch::i32(int32_t value) {
    next().i = value;
    return *this;
}

KernelLaunch& KernelLaunch::u32(uint32_t value) {
    next().u = value;
    return *this;
}

KernelLaunch& KernelLaunch::f32(float value) {
    next().f = value;
    return *this;
}

KernelLaunch& KernelLaunch::pointer(CUdeviceptr value) {
    next().p = value;
    return *this;
}

bool KernelLaunch::launch(const CudaDriver& driver, LaunchDims grid) {
    if (!function_) return false;
    const CUresult r =
        driver.cuLaunchKernel(function_, grid.x, grid.y, grid.z, block_.x, block_.y, block_.z,
                              sharedBytes_, nullptr, addresses_.data(), nullptr);
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuLaunchGrid returned " << r);
        return false;
    }
    synchronize(driver);
    return true;
}

bool loadModule(const CudaDriver& driver, std::string_view ptx, CUmodule& module) {
    module = nullptr;
    if (ptx.empty()) {
        SKV_LOG(Error, "cuModuleLoadData returned " << CUDA_ERROR_INVALID_IMAGE);
        return false;
    }
    // The driver reads a NUL-terminated image; the embedded texts end in one, a copy makes sure.
    const std::string image(ptx);
    const CUresult r = driver.cuModuleLoadData(&module, image.c_str());
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuModuleLoadData returned " << r);
        module = nullptr;
        return false;
    }
    return true;
}

bool getFunction(const CudaDriver& driver, CUmodule module, const char* name,
                 CUfunction& function) {
    function = nullptr;
    const CUresult r = driver.cuModuleGetFunction(&function, module, name);
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuModuleGetFunction returned " << r);
        function = nullptr;
        return false;
    }
    return true;
}

bool synchronize(const CudaDriver& driver) {
    const CUresult r = driver.cuCtxSynchronize();
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuCtxSynchronize returned " << r);
        return false;
    }
    return true;
}

}  // namespace skv::gpu
