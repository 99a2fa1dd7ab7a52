// DeviceGrid on the emulated device (allocation, pitch, fills, transfers, failures), the
// emulated device's own refusals, and the system driver where there is one.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

using namespace cuda;

TEST(SystemCudaDriverTest, LoadsOrSaysWhyNot) {
    const CudaDriver& driver = systemCudaDriver();
    if (!driver.loaded) {
        EXPECT_FALSE(driver.failure.empty());
        GTEST_SKIP() << "no CUDA driver on this machine: " << driver.failure;
    }
    EXPECT_NE(driver.cuInit, nullptr);
    EXPECT_NE(driver.cuLaunchKernel, nullptr);
}

class DeviceGridTest : public ::testing::Test {
  protected:
    void SetUp() override { test::freshLog(); }
    void TearDown() override { EXPECT_TRUE(gpu_.noMisuse()); }
    test::EmulatedGpu gpu_;
};

TEST_F(DeviceGridTest, AllocatesClearsFillsAndFreesWholePitchedRows) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(10, 7, 2, true));
    // The emulated device pads rows to 512 bytes.
    EXPECT_EQ(std::vector<uint64_t>({g.width(), g.height(), g.depth(), g.pitch(), g.rowLength(),
                                     g.elementCount(), g.byteSize()}),
              std::vector<uint64_t>({10, 7, 2, 512, 128, 128 * 7 * 2, 512 * 7 * 2}));
    EXPECT_TRUE(gpu_.device().owns(g.devicePointer(), g.byteSize()));
    const auto every = [&g](float value) {  // row padding included
        const float* all = test::rowOf(g, 0);
        return std::all_of(all, all + g.elementCount(), [=](float v) { return v == value; });
    };
    EXPECT_TRUE(every(0.0f));
    g.fill(-1.25f);
    EXPECT_TRUE(every(-1.25f));
    // The same size again keeps the contents and calls nothing.
    const auto before = gpu_.device().counters();
    ASSERT_TRUE(g.resize(10, 7, 2, true));
    const auto after = gpu_.device().counters();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_TRUE(every(-1.25f));
    g.clear();
    EXPECT_TRUE(every(0.0f));
    // A failed allocation frees the old memory first and leaves the grid empty; an upload
    // allocates again.
    gpu_.device().failAllocationsAfter(0);
    EXPECT_FALSE(g.resize(16, 8, true));
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(g.width() + g.height() + g.depth() + g.pitch(), 0u);
    EXPECT_TRUE(test::logHasLine("cuMemAllocPitch returned 2"));
    EXPECT_EQ(gpu_.device().liveAllocations(), 0u);
    gpu_.device().clearFaults();
    FloatGrid host(16, 8);
    test::randomize(host, 1);
    ASSERT_TRUE(g.upload(host));
    EXPECT_TRUE(test::sameCells(test::download(g), host));
    g.release();
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(gpu_.device().liveAllocations(), 0u);
}

TEST_F(DeviceGridTest, TransfersMoveTheCellsAndNeverThePadding) {
    FloatGrid host(3, 6);
    test::randomize(host, 2);
    DeviceGrid g;
    ASSERT_TRUE(g.upload(host));
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 3; x < g.rowLength(); ++x) {
            float v = test::rowOf(g, y)[x];
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            ASSERT_EQ(bits, gpu::EmulatedDevice::kFreshMemory) << "padding written at " << x;
        }
    FloatGrid back(1, 1);
    ASSERT_TRUE(g.download(back));
    EXPECT_TRUE(test::sameCells(back, host)) << "download sizes the host grid";
    // An empty host grid uploads without a copy.
    DeviceGrid empty;
    const int copies = gpu_.device().counters().copies;
    EXPECT_TRUE(empty.upload(FloatGrid()));
    EXPECT_EQ(gpu_.device().counters().copies, copies);
    EXPECT_EQ(empty.elementCount(), 0u);
    gpu_.device().failTransfers(cuda::CUDA_ERROR_LAUNCH_FAILED);
    EXPECT_FALSE(g.upload(host));
    EXPECT_FALSE(g.download(host));
    EXPECT_EQ(test::logCount("cuMemcpy2D returned 719"), 2);
}

// What makes the misuse checks of every other test meaningful: the emulated device refuses
// what a device would and records it. (Its capacity shows in the fall-backs of the solver.)
TEST(EmulatedDeviceTest, RefusesWhatADeviceWould) {
    test::freshLog();
    test::EmulatedGpu gpu(false);
    {
        DeviceGrid g;
        EXPECT_FALSE(g.resize(4, 4, true)) << "no context is current";
    }
    ASSERT_EQ(gpu.device().misuses().size(), 1u);
    EXPECT_EQ(gpu.device().misuses()[0], "cuMemAllocPitch without a current context");
    CudaContextGuard guard;
    CUdeviceptr p = 0;
    ASSERT_EQ(gpu.driver().cuMemAlloc(&p, 64), CUDA_SUCCESS);
    float host[32] = {};
    EXPECT_NE(gpu.driver().cuMemcpyDtoH(host, p, 65), CUDA_SUCCESS);
    EXPECT_NE(gpu.driver().cuMemFree(p + 4), CUDA_SUCCESS);
    EXPECT_EQ(gpu.driver().cuMemFree(p), CUDA_SUCCESS);
    EXPECT_EQ(gpu.device().misuses().size(), 3u);
}

}  // namespace
}  // namespace skv
