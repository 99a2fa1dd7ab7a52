#pragma once

// The emulated device as the process CUDA state, and comparisons that report the first
// differing cell.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/emulated_device.h"
#include "gpu/kernel_modules.h"
#include "grid_test_support.h"

namespace skv::test {

// The emulated device as the process CUDA state, CUDA enabled, for the lifetime of the object.
// Holds a context guard unless asked not to (the simulation's entry points hold their own).
class EmulatedGpu {
  public:
    explicit EmulatedGpu(bool holdContext = true, const gpu::EmulatedDevice::Options& options = {})
        : device_(options) {
        CudaState::setInstance(std::make_unique<CudaState>(device_.driver()));
        setCudaEnabled(true);
        if (holdContext) guard_ = std::make_unique<CudaContextGuard>();
    }
    ~EmulatedGpu() {
        guard_.reset();
        CudaState::setInstance(nullptr);  // the modules' scratch goes through this driver
    }
    gpu::EmulatedDevice& device() { return device_; }
    const cuda::CudaDriver& driver() { return device_.driver(); }
    ::testing::AssertionResult noMisuse() {
        const auto m = device_.misuses();
        if (m.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << m.size() << " misuses, first: " << m.front();
    }

  private:
    gpu::EmulatedDevice device_;
    std::unique_ptr<CudaContextGuard> guard_;
};

// The kernel modules are embedded only where nvcc was found at configure.
#define SKV_REQUIRE_KERNEL_MODULES()                                                   \
    if (::skv::gpu::solverModulePtx().empty() || ::skv::gpu::fieldModulePtx().empty()) \
    GTEST_SKIP() << "this build has no kernel modules (nvcc was not found at configure)"

using Cells = std::function<bool(uint32_t, uint32_t)>;

inline bool anyCell(uint32_t, uint32_t) {
    return true;
}

// Compares the cells for which `include(x, y)` holds: equal bits, both zero (of either sign)
// or both NaN.
inline ::testing::AssertionResult sameCells(const FloatGrid& actual, const FloatGrid& expected,
                                            const Cells& include = anyCell) {
    if (actual.width() != expected.width() || actual.height() != expected.height())
        return ::testing::AssertionFailure() << "sizes differ";
    int differing = 0;
    std::ostringstream first;
    first.precision(9);
    for (uint32_t y = 0; y < actual.height(); ++y)
        for (uint32_t x = 0; x < actual.width(); ++x) {
            const float a = actual(x, y), b = expected(x, y);
            const bool same = std::isnan(a) || std::isnan(b)
                                  ? std::isnan(a) && std::isnan(b)
                                  : std::memcmp(&a, &b, 4) == 0 || a == b;
            if (include(x, y) && !same && differing++ == 0)
                first << "first at (" << x << ", " << y << "): " << a << " instead of " << b;
        }
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " cells differ, " << first.str();
}

inline FloatGrid download(const DeviceGrid& g) {
    FloatGrid host;
    EXPECT_TRUE(const_cast<DeviceGrid&>(g).download(host));
    return host;
}

// A device grid holding a copy of `host`, its row padding left as the device filled it.
inline std::unique_ptr<DeviceGrid> uploaded(const FloatGrid& host) {
    auto g = std::make_unique<DeviceGrid>();
    EXPECT_TRUE(g->upload(host));
    return g;
}

// Row y of a device grid, padding included (the emulated device's memory is host memory).
inline float* rowOf(const DeviceGrid& g, uint32_t y) {
    return reinterpret_cast<float*>(g.devicePointer() + uint64_t(y) * g.pitch());
}

}  // namespace skv::test
