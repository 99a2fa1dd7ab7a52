#include "gpu/cuda_state.h"

#include <mutex>
#include <vector>

#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "platform/log.h"

namespace skv {

using namespace cuda;

namespace {

std::mutex instanceMutex;
std::unique_ptr<CudaState>& instanceSlot() {
    static std::unique_ptr<CudaState> slot;
    return slot;
}

}  // namespace

CudaState::CudaState(const CudaDriver& driver) : driver_(driver) {
    const auto detect = [this]() -> bool {
        if (!driver_.loaded) return false;
        if (driver_.cuInit(0) != CUDA_SUCCESS) {
            SKV_LOG(Error, "cuInit failed");
            return false;
        }
        int count = 0;
        if (driver_.cuDeviceGetCount(&count) != CUDA_SUCCESS || count < 1) return false;
        // The first device is always used: there is no choice among several devices.
        CUdevice device = 0;
        if (driver_.cuDeviceGet(&device, 0) != CUDA_SUCCESS) return false;
        std::vector<char> name(4096, '\0');
        if (driver_.cuDeviceGetName(name.data(), int(name.size()) - 1, device) != CUDA_SUCCESS)
            return false;
        int major = 0, minor = 0;
        if (driver_.cuDeviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR,
                                         device) != CUDA_SUCCESS ||
            driver_.cuDeviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR,
                                         device) != CUDA_SUCCESS)
            return false;
        deviceName_ = name.data();
        computeMajor_ = major;
        computeMinor_ = minor;
        SKV_LOG(Info, "Using CUDA device " << deviceName_ << " of compute capability " << major
                                           << "." << minor);
        return true;
    };
    available_ = detect();
    if (!available_) SKV_LOG(Info, "No CUDA device found");
}

CudaState::~CudaState() = default;

SolverKernels& CudaState::solverKernels() {
    std::lock_guard<std::mutex> lock(modulesMutex_);
    if (!solverKernels_) solverKernels_ = std::make_unique<SolverKernels>(driver_);
    return *solverKernels_;
}

FieldKernels& CudaState::fieldKernels() {
    std::lock_guard<std::mutex> lock(modulesMutex_);
    if (!fieldKernels_) fieldKernels_ = std::make_unique<FieldKernels>(driver_);
    return *fieldKernels_;
}

CudaState& CudaState::instance() {
    std::lock_guard<std::mutex> lock(instanceMutex);
    auto& slot = instanceSlot();
    if (!slot) slot = std::make_unique<CudaState>(cuda::systemCudaDriver());
    return *slot;
}

void CudaState::setInstance(std::unique_ptr<CudaState> state) {
    std::lock_guard<std::mutex> lock(instanceMutex);
    instanceSlot() = std::move(state);
}

bool CudaState::hasCurrentContext() const {
    if (!isActive()) return false;
    CUdevice device = 0;
    return driver_.cuCtxGetDevice(&device) == CUDA_SUCCESS;
}

bool CudaState::synchronize() const {
    const CUresult r = driver_.cuCtxSynchronize();
    if (r == CUDA_SUCCESS) return true;
    SKV_LOG(Error, "cuCtxSynchronize returned " << r);
    return false;
}

void setCudaEnabled(bool enabled) {
    CudaState::instance().setEnabled(enabled);
}
bool isCudaActive() {
    return CudaState::instance().isActive();
}
bool hasCurrentCudaContext() {
    return CudaState::instance().hasCurrentContext();
}

CudaContextGuard::CudaContextGuard(CudaState& state) : state_(state) {
    if (!state_.isActive()) return;
    const CudaDriver& d = state_.driver();
    if (!state_.hasCurrentContext()) {
        if (!state_.context_) {
            CUdevice device = 0;
            CUcontext context = nullptr;
            if (d.cuDeviceGet(&device, 0) == CUDA_SUCCESS &&
                d.cuCtxCreate(&context, 0, device) == CUDA_SUCCESS) {
                state_.context_ = context;  // created contexts are current at once
                pushed_ = true;
            } else {
                SKV_LOG(Error, "Failed to create CUDA context");
            }
        } else if (d.cuCtxPushCurrent(state_.context_) == CUDA_SUCCESS) {
            pushed_ = true;
        } else {
            SKV_LOG(Error, "Failed to push CUDA context");
        }
        return;
    }
    // Some context is current already (an enclosing guard's): attach to it.
    CUcontext context = nullptr;
    if (d.cuCtxAttach) {
        if (d.cuCtxAttach(&context, 0) == CUDA_SUCCESS)
            attached_ = context;
        else
            SKV_LOG(Error, "Failed to attach to CUDA context");
    }
}

CudaContextGuard::~CudaContextGuard() {
    const CudaDriver& d = state_.driver();
    if (pushed_) {
        CUcontext popped = nullptr;
        if (d.cuCtxPopCurrent(&popped) != CUDA_SUCCESS)
            SKV_LOG(Error, "Failed to pop CUDA context");
    }
    if (attached_ && d.cuCtxDetach && d.cuCtxDetach(attached_) != CUDA_SUCCESS)
        SKV_LOG(Error, "Failed to detach from CUDA context");
}

}  // namespace skv
