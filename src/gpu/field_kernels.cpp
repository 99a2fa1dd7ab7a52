#include "gpu/field_kernels.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

#include "gpu/kernel_launch.h"
#include "platform/log.h"

namespace skv {

using namespace cuda;
using gpu::KernelLaunch;

namespace {

constexpr unsigned kThreads = 128;
constexpr LaunchDims kBlock1D{kThreads, 1, 1};
constexpr LaunchDims kBlock2D{16, 8, 1};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The reduction's block sizes: at most 128 threads a block and at most 256 blocks a pass, so
// that any size takes three passes at most.
constexpr unsigned kReductionThreads = 128;
constexpr unsigned kReductionBlocks = 256;

constexpr const char* kInitFailure = "Failed to initialize CUDA field kernels";
constexpr const char* kLaunchFailure = "Failed to launch CUDA kernel";

// The smallest element count of the operands, as the kernels' int size.
int sizeOf(std::initializer_list<const DeviceGrid*> grids) {
    uint64_t n = std::numeric_limits<uint64_t>::max();
    for (const DeviceGrid* g : grids)
        n = std::min(n, g->elementCount());
    return int(std::min<uint64_t>(n, uint64_t(std::numeric_limits<int>::max())));
}

LaunchDims blocksFor(int size) {
    return {unsigned((int64_t(size) + kThreads - 1) / kThreads), 1, 1};
}

unsigned roundUpToPowerOfTwo(unsigned n) {
    unsigned p = 1;
    while (p < n)
        p *= 2;
    return p;
}

struct ReductionPass {
    unsigned threads;
    unsigned blocks;
};

ReductionPass reductionPass(uint64_t n) {
    const unsigned threads =
        roundUpToPowerOfTwo(unsigned(std::min<uint64_t>(kReductionThreads, n)));
    const uint64_t blocks = std::min<uint64_t>(kReductionBlocks, (n + threads - 1) / threads);
    return {threads, unsigned(blocks)};
}

bool run(const CudaDriver& driver, KernelLaunch& launch, LaunchDims grid, const char* failure) {
    if (grid.x == 0 || grid.y == 0) return true;  // nothing to do
    if (launch.launch(driver, grid)) return true;
    SKV_LOG(Error, failure);
    return false;
}

}  // namespace

FieldKernels::FieldKernels(const CudaDriver& driver, std::string_view ptx)
    : driver_(driver), ptx_(ptx), scratch_(driver) {}

bool FieldKernels::load() {
    if (!gpu::loadModule(driver_, ptx_, module_)) return false;
    bool ok = true;
    for (size_t k = 0; k < functions_.size() && ok; ++k)
        ok = gpu::getFunction(driver_, module_, gpu::kFieldEntries[k], functions_[k]);
    if (ok) ok = scratch_.resize(kReductionScratch, false);
    if (!ok) {
        driver_.cuModuleUnload(module_);
        module_ = nullptr;
        functions_.fill(nullptr);
    }
    return ok;
}

bool FieldKernels::initFieldKernels() {
    return module_ || load();
}

bool FieldKernels::ready(const char* failure) {
    if (initFieldKernels()) return true;
    SKV_LOG(Error, failure);
    return false;
}

bool FieldKernels::axpy(DeviceGrid& z, float a, const DeviceGrid& x, const DeviceGrid& y) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&z, &x, &y});
    KernelLaunch l(functions_[kAxpy], kBlock1D);
    l.i32(n).pointer(z).f32(a).pointer(x).pointer(y);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::ax(DeviceGrid& y, float a, const DeviceGrid& x) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&y, &x});
    KernelLaunch l(functions_[kAx], kBlock1D);
    l.i32(n).pointer(y).f32(a).pointer(x);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::axpbypz(DeviceGrid& z, float a, const DeviceGrid& x, float b,
                           const DeviceGrid& y) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&z, &x, &y});
    KernelLaunch l(functions_[kAxpbypz], kBlock1D);
    l.i32(n).pointer(z).f32(a).pointer(x).f32(b).pointer(y);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::setMax(DeviceGrid& x, float a) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&x});
    KernelLaunch l(functions_[kSetMax], kBlock1D);
    l.i32(n).pointer(x).f32(a);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::setMaxGrid(DeviceGrid& x, const DeviceGrid& y) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&x, &y});
    KernelLaunch l(functions_[kSetMaxF], kBlock1D);
    l.i32(n).pointer(x).pointer(y);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::clamp(DeviceGrid& x, float a, float b) {
    if (!ready(kInitFailure)) return false;
    const int n = sizeOf({&x});
    KernelLaunch l(functions_[kClamp], kBlock1D);
    l.i32(n).pointer(x).f32(a).f32(b);
    return run(driver_, l, blocksFor(n), kLaunchFailure);
}

bool FieldKernels::clampColumns(DeviceGrid& x) {
    if (!ready(kInitFailure)) return false;
    if (x.empty()) return true;
    const int pitch = int(x.rowLength()), height = int(x.height());
    const CUdeviceptr last = x.devicePointer() + CUdeviceptr(x.width() - 1) * sizeof(float);
    KernelLaunch first(functions_[kSetMinXBorder], kBlock1D);
    first.i32(pitch).i32(height).pointer(x).f32(0.0f);
    bool ok = run(driver_, first, blocksFor(height), kLaunchFailure);
    KernelLaunch second(functions_[kSetMaxXBorder], kBlock1D);
    second.i32(pitch).i32(height).pointer(last).f32(0.0f);
    ok &= run(driver_, second, blocksFor(height), kLaunchFailure);
    return ok;
}

bool FieldKernels::clampRows(DeviceGrid& x) {
    if (!ready(kInitFailure)) return false;
    if (x.empty()) return true;
    const int width = int(x.width());
    const CUdeviceptr last = x.devicePointer() + CUdeviceptr(x.height() - 1) * x.pitch();
    KernelLaunch first(functions_[kSetMin], kBlock1D);
    first.i32(width).pointer(x).f32(0.0f);
    bool ok = run(driver_, first, blocksFor(width), kLaunchFailure);
    KernelLaunch second(functions_[kSetMax], kBlock1D);
    second.i32(width).pointer(last).f32(0.0f);
    ok &= run(driver_, second, blocksFor(width), kLaunchFailure);
    return ok;
}

bool FieldKernels::setMasked(DeviceGrid& x, const DeviceGrid& f, const DeviceGrid& m,
                             float threshold) {
    if (!ready("SetMasked: Failed to initialize CUDA field kernels")) return false;
    const int n = sizeOf({&x, &f, &m});
    KernelLaunch l(functions_[kSetMasked], kBlock1D);
    l.i32(n).pointer(x).pointer(m).f32(threshold).pointer(x).pointer(f);
    return run(driver_, l, blocksFor(n), "dSetMasked: Failed to launch CUDA kernel");
}

bool FieldKernels::convolve(const DeviceGrid& filter, DeviceGrid& g, DeviceGrid& tmp) {
    if (!ready("Convolve: Failed to initialize CUDA field kernels")) return false;
    if (g.empty() || filter.width() == 0) return true;
    const int r = int(filter.width()) - 1;
    const int pitch = int(tmp.rowLength()), width = int(g.width()), height = int(g.height());
    const LaunchDims grid = g.launchGrid2D(kBlock2D.x, kBlock2D.y);
    KernelLaunch x(functions_[kConvolveX], kBlock2D);
    x.i32(pitch).i32(width).i32(height).i32(r).pointer(tmp).pointer(g).pointer(filter);
    bool ok = run(driver_, x, grid, "dConvolveX: Failed to launch CUDA kernel");
    KernelLaunch y(functions_[kConvolveY], kBlock2D);
    y.i32(pitch).i32(width).i32(height).i32(r).pointer(g).pointer(tmp).pointer(filter);
    ok &= run(driver_, y, grid, "dConvolveY: Failed to launch CUDA kernel");
    return ok;
}

float FieldKernels::absMax(const DeviceGrid& g) {
    if (!ready(kInitFailure)) return kNaN;
    return absMax(g, scratch_);
}

float FieldKernels::absMax(const DeviceGrid& g, DeviceGrid& scratch) {
    if (!ready(kInitFailure)) return kNaN;
    uint64_t n = g.elementCount();
    if (n == 0) return 0.0f;
    if (n > std::numeric_limits<uint32_t>::max()) {
        SKV_LOG(Error, kLaunchFailure);
        return kNaN;
    }
    // Room for the partial maxima of every pass, each pass writing after the previous one's.
    uint64_t needed = 0;
    for (uint64_t m = n;;) {
        const ReductionPass pass = reductionPass(m);
        needed += pass.blocks;
        if (pass.blocks == 1) break;
        m = pass.blocks;
    }
    if (scratch.elementCount() < needed && !scratch.resize(uint32_t(needed), false)) return kNaN;

    CUdeviceptr in = g.devicePointer();
    CUdeviceptr out = scratch.devicePointer();
    for (;;) {
        const ReductionPass pass = reductionPass(n);
        int k = 0;
        while ((512u >> k) != pass.threads)
            ++k;
        KernelLaunch l(functions_[kReduce512 + k], {pass.threads, 1, 1},
                       unsigned(pass.threads * sizeof(float)));
        l.pointer(in).pointer(out).u32(uint32_t(n));
        if (!run(driver_, l, {pass.blocks, 1, 1}, kLaunchFailure)) return kNaN;
        if (pass.blocks == 1) break;
        in = out;
        n = pass.blocks;
        out += CUdeviceptr(pass.blocks) * sizeof(float);
    }
    float result = 0.0f;
    if (driver_.cuMemcpyDtoH(&result, out, sizeof result) != CUDA_SUCCESS) {
        SKV_LOG(Error, "Failed to download reduction result");
        return kNaN;
    }
    return result;
}

}  // namespace skv
