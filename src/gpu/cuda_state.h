#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "gpu/cuda_driver.h"

namespace skv {

class FieldKernels;
class SolverKernels;

// The process-wide CUDA state: whether a usable device exists (fixed at creation), whether
// the user wants it for the current run, and the one context of the process on device 0.
class CudaState {
  public:
    // Binds nothing itself: uses the given driver table, which must outlive the state. Detects
    // device 0 and logs either "Using CUDA device ..." or "No CUDA device found".
    explicit CudaState(const cuda::CudaDriver& driver);
    ~CudaState();

    // The process state, created from the system driver on first use.
    static CudaState& instance();
    // Replaces the process state (tests install one over a fake or emulated driver). Not safe
    // while another thread uses the state.
    static void setInstance(std::unique_ptr<CudaState> state);

    const cuda::CudaDriver& driver() const { return driver_; }
    bool available() const { return available_; }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isActive() const { return available_ && enabled_; }
    // Active, and some context is current on the calling thread.
    bool hasCurrentContext() const;
    // Waits for the device (cuCtxSynchronize); logs "cuCtxSynchronize returned <code>" and
    // returns false when that fails.
    bool synchronize() const;

    cuda::CUcontext context() const { return context_; }
    const std::string& deviceName() const { return deviceName_; }
    int computeMajor() const { return computeMajor_; }
    int computeMinor() const { return computeMinor_; }

    // The two kernel modules over this state's driver, created on first use (not loaded until
    // their initialisation). They live as long as the state, so that a test that installs
    // another state gets modules of its own.
    SolverKernels& solverKernels();
    FieldKernels& fieldKernels();

  private:
    friend class CudaContextGuard;

    const cuda::CudaDriver& driver_;
    std::atomic<bool> enabled_{false};
    bool available_ = false;
    cuda::CUcontext context_ = nullptr;
    std::string deviceName_;
    int computeMajor_ = 0;
    int computeMinor_ = 0;
    std::mutex modulesMutex_;
    std::unique_ptr<SolverKernels> solverKernels_;
    std::unique_ptr<FieldKernels> fieldKernels_;
};

void setCudaEnabled(bool enabled);
bool isCudaActive();
bool hasCurrentCudaContext();

// Makes the process context current on the calling thread for its lifetime: creates it on
// first use, pushes it when no context is current, and attaches when one already is (a guard
// nested in another on the same thread). Failures are logged; work in its scope then fails
// in its own wrappers. Does nothing while CUDA is not active.
class CudaContextGuard {
  public:
    explicit CudaContextGuard(CudaState& state = CudaState::instance());
    ~CudaContextGuard();
    CudaContextGuard(const CudaContextGuard&) = delete;
    CudaContextGuard& operator=(const CudaContextGuard&) = delete;

    bool pushed() const { return pushed_; }
    cuda::CUcontext attached() const { return attached_; }

  private:
    CudaState& state_;
    bool pushed_ = false;
    cuda::CUcontext attached_ = nullptr;
};

}  // namespace skv
