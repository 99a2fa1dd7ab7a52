#pragma once

#include <array>
#include <string_view>

#include "gpu/cuda_driver.h"
#include "gpu/device_grid.h"
#include "gpu/kernel_modules.h"

namespace skv {

// The field module: element-wise operations on device grids (over every element, row padding
// included), border clamps, masked copies, the separable convolution and the absolute-maximum
// reduction, with their launchers. One per process CUDA state (CudaState::fieldKernels); used
// only on the thread that holds the CUDA context.
//
// Every launcher first initialises the module (initFieldKernels). When that fails it logs
// "Failed to initialize CUDA field kernels" and does nothing; a refused launch logs "Failed to
// launch CUDA kernel". Both return false. Operands of one call have the same size; the
// element-wise ones work over the smallest element count among them.
class FieldKernels {
  public:
    // Elements of the reduction's own scratch: 256 partial maxima, then 2, then 1.
    static constexpr uint32_t kReductionScratch = 256 + 2 + 1;

    explicit FieldKernels(const cuda::CudaDriver& driver,
                          std::string_view ptx = gpu::fieldModulePtx());
    FieldKernels(const FieldKernels&) = delete;
    FieldKernels& operator=(const FieldKernels&) = delete;

    // Loads the module, looks up its 22 kernels and allocates the reduction's scratch, unless
    // done already. A failure unloads again (a later call retries) and returns false.
    [[nodiscard]] bool initFieldKernels();
    bool loaded() const { return module_ != nullptr; }

    bool axpy(DeviceGrid& z, float a, const DeviceGrid& x, const DeviceGrid& y);  // z = a·x + y
    bool ax(DeviceGrid& y, float a, const DeviceGrid& x);                         // y = a·x
    bool axpbypz(DeviceGrid& z, float a, const DeviceGrid& x, float b,
                 const DeviceGrid& y);                    // z += a·x + b·y
    bool setMax(DeviceGrid& x, float a);                  // x = max(x, a)
    bool setMaxGrid(DeviceGrid& x, const DeviceGrid& y);  // x = max(x, y)
    bool clamp(DeviceGrid& x, float a, float b);          // x into [a, b]
    bool clampColumns(DeviceGrid& x);  // column 0 ≤ 0, last column ≥ 0 (all rows)
    bool clampRows(DeviceGrid& x);     // row 0 ≤ 0, last row ≥ 0 (all columns)
    // x = f wherever m > threshold.
    bool setMasked(DeviceGrid& x, const DeviceGrid& f, const DeviceGrid& m, float threshold);
    // Separable blur of g with the one-sided taps in the first row of filter (width r + 1):
    // along x into tmp, then along y back into g. Taps beyond the grid are dropped.
    bool convolve(const DeviceGrid& filter, DeviceGrid& g, DeviceGrid& tmp);

    // max |g| over every element, padding included, computed on the device; one float
    // crosses to the host. NaN when g holds a NaN, and NaN when the module cannot run or the
    // result cannot be read (never 0, which would pass for convergence). `scratch` is grown
    // to the partial maxima it needs; the overload without uses the module's own.
    float absMax(const DeviceGrid& g, DeviceGrid& scratch);
    float absMax(const DeviceGrid& g);

  private:
    enum Kernel : int {
        kReduce512,
        kReduce1 = kReduce512 + 9,
        kAx,
        kAxpy,
        kAxpbypz,
        kSetMax,
        kSetMaxF,
        kSetMin,
        kClamp,
        kSetMasked,
        kSetMinXBorder,
        kSetMaxXBorder,
        kConvolveX,
        kConvolveY,
        kKernelCount
    };
    bool load();
    bool ready(const char* failure);

    const cuda::CudaDriver& driver_;
    std::string_view ptx_;
    cuda::CUmodule module_ = nullptr;
    std::array<cuda::CUfunction, kKernelCount> functions_{};
    DeviceGrid scratch_;
};

}  // namespace skv
