#pragma once

// Helpers of the GPU tests: the emulated device installed as the process CUDA state, random
// grids, and comparisons that report the first differing cell.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "grid/float_grid.h"
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
        // The modules' scratch goes with the state, through this device's driver.
        CudaState::setInstance(nullptr);
    }
    gpu::EmulatedDevice& device() { return device_; }
    const cuda::CudaDriver& driver() { return device_.driver(); }
    // Whether the build embedded the kernel modules (it needs nvcc).
    static bool modulesBuilt() {
        return !gpu::solverModulePtx().empty() && !gpu::fieldModulePtx().empty();
    }

  private:
    gpu::EmulatedDevice device_;
    std::unique_ptr<CudaContextGuard> guard_;
};

#define SKV_REQUIRE_KERNEL_MODULES()               \
    if (!::skv::test::EmulatedGpu::modulesBuilt()) \
    GTEST_SKIP() << "this build has no kernel modules (nvcc was not found at configure)"


// The same number: equal bits, or both zero (of either sign), or both NaN.
inline bool sameValue(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y || (a == 0.0f && b == 0.0f);
}

// Compares the cells of two equally sized grids for which `include(x, y)` holds.
template <class Include>
::testing::AssertionResult sameCells(const FloatGrid& actual, const FloatGrid& expected,
                                     Include include) {
    if (actual.width() != expected.width() || actual.height() != expected.height())
        return ::testing::AssertionFailure()
               << "sizes " << actual.width() << "x" << actual.height() << " and "
               << expected.width() << "x" << expected.height();
    int differing = 0;
    std::ostringstream first;
    for (uint32_t y = 0; y < actual.height(); ++y)
        for (uint32_t x = 0; x < actual.width(); ++x)
            if (include(x, y) && !sameValue(actual(x, y), expected(x, y))) {
                if (differing++ == 0)
                    first.precision(9), first << "first at (" << x << ", " << y
                                              << "): " << actual(x, y) << " instead of "
                                              << expected(x, y);
            }
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " cells differ, " << first.str();
}

inline ::testing::AssertionResult sameCells(const FloatGrid& actual, const FloatGrid& expected) {
    return sameCells(actual, expected, [](uint32_t, uint32_t) { return true; });
}

inline ::testing::AssertionResult sameInterior(const FloatGrid& actual, const FloatGrid& expected) {
    const uint32_t w = actual.width(), h = actual.height();
    return sameCells(actual, expected, [w, h](uint32_t x, uint32_t y) {
        return x >= 1 && y >= 1 && x + 2 <= w && y + 2 <= h;
    });
}

// The host copy of a device grid.
inline FloatGrid download(DeviceGrid& g) {
    FloatGrid host;
    EXPECT_TRUE(g.download(host));
    return host;
}

// A device grid holding a copy of `host`, its row padding left as the device filled it.
inline std::unique_ptr<DeviceGrid> uploaded(const FloatGrid& host) {
    auto g = std::make_unique<DeviceGrid>();
    EXPECT_TRUE(g->upload(host));
    return g;
}

// The elements of a device grid as the emulated device holds them (its memory is host memory):
// every row with its padding.
inline std::vector<float> elements(const DeviceGrid& g) {
    std::vector<float> out(g.elementCount());
    if (!out.empty())
        std::memcpy(out.data(), reinterpret_cast<const void*>(g.devicePointer()),
                    out.size() * sizeof(float));
    return out;
}

// The padding of row y of a device grid (emulated device memory).
inline float* rowOf(const DeviceGrid& g, uint32_t y) {
    return reinterpret_cast<float*>(g.devicePointer() + uint64_t(y) * g.pitch());
}

inline bool isFreshMemory(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits == gpu::EmulatedDevice::kFreshMemory;
}

}  // namespace skv::test
