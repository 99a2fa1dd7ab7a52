// The device benchmark of skyvane bench, run through on the emulated device (its figures are
// those of the host running the twins: only that it measures and checks is tested here).
#include "solver/gpu_benchmark.h"

#include <gtest/gtest.h>

#include "gpu/gpu_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

TEST(DeviceSolverBenchmarkTest, MeasuresSweepsAgainstACopyAndChecksTheBits) {
    SKV_REQUIRE_KERNEL_MODULES();
    test::EmulatedGpu gpu(false);
    setCudaEnabled(false);
    const DeviceSolverBenchmark b = runDeviceSolverBenchmark(30, 0.001, 1);
    EXPECT_TRUE(b.error.empty()) << b.error;
    EXPECT_EQ(b.size, 30u);
    EXPECT_TRUE(b.sweeps_per_s > 0 && b.copy_gbps > 0 && b.residual_per_s > 0);
    EXPECT_TRUE(b.bit_identical);
    EXPECT_FALSE(CudaState::instance().enabled()) << "the user's choice is restored";
    EXPECT_GT(gpu.device().launchesOf(gpu::entry::kSORPoisson2Dred), 0);
    EXPECT_TRUE(gpu.device().misuses().empty());
}

}  // namespace
}  // namespace skv
