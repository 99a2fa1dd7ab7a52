// DeviceGrid on the emulated device: allocation, fills, borders, transfers, launch geometry,
// and the failure convention.
#include "gpu/device_grid.h"

#include <gtest/gtest.h>

#include "gpu_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

using test::EmulatedGpu;

class DeviceGridTest : public ::testing::Test {
  protected:
    void SetUp() override { test::freshLog(); }
    void TearDown() override {
        EXPECT_TRUE(gpu_.device().misuses().empty()) << gpu_.device().misuses()[0];
    }
    EmulatedGpu gpu_;
};

TEST_F(DeviceGridTest, ResizeAllocatesPitchedRowsAndReleaseFreesThem) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(10, 7, 2, true));
    EXPECT_EQ(g.width(), 10u);
    EXPECT_EQ(g.height(), 7u);
    EXPECT_EQ(g.depth(), 2u);
    EXPECT_EQ(g.pitch(), 512u) << "the emulated driver pads rows to 512 bytes";
    EXPECT_EQ(g.rowLength(), 128u);
    EXPECT_EQ(g.elementCount(), 128u * 7 * 2);
    EXPECT_EQ(g.byteSize(), 512u * 7 * 2);
    EXPECT_TRUE(gpu_.device().owns(g.devicePointer(), g.byteSize()));
    for (float value : test::elements(g))
        ASSERT_EQ(value, 0.0f) << "cleared, padding included";
    g.release();
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(g.width() + g.height() + g.depth() + g.pitch(), 0u);
    EXPECT_EQ(gpu_.device().liveAllocations(), 0u);
}

TEST_F(DeviceGridTest, ResizeToTheSameSizeKeepsTheContentsAndCallsNothing) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(9, 5, false));
    g.fill(2.5f);
    const auto before = gpu_.device().counters();
    ASSERT_TRUE(g.resize(9, 5, true));
    const auto after = gpu_.device().counters();
    EXPECT_EQ(after.allocations, before.allocations);
    EXPECT_EQ(after.memsets, before.memsets);
    for (float value : test::elements(g))
        ASSERT_EQ(value, 2.5f);
}

TEST_F(DeviceGridTest, AFailedAllocationLeavesTheGridEmptyAndUploadTriesAgain) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(8, 8, true));
    gpu_.device().failAllocationsAfter(0);
    EXPECT_FALSE(g.resize(16, 8, true));
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(g.width() + g.height() + g.depth() + g.pitch(), 0u);
    EXPECT_TRUE(test::logHasLine("cuMemAllocPitch returned 2"));
    EXPECT_EQ(gpu_.device().liveAllocations(), 0u) << "the old memory was freed first";

    gpu_.device().clearFaults();
    FloatGrid host(16, 8);
    test::randomize(host, 1);
    ASSERT_TRUE(g.upload(host));
    EXPECT_EQ(g.width(), 16u);
    EXPECT_TRUE(test::sameCells(test::download(g), host));
}

TEST_F(DeviceGridTest, FillWritesTheWholePitchedAllocationAndClearZeroesIt) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(3, 4, 2, false));
    g.fill(-1.25f);
    const auto all = test::elements(g);
    ASSERT_EQ(all.size(), 128u * 8);
    for (float value : all)
        ASSERT_EQ(value, -1.25f);
    g.clear();
    for (float value : test::elements(g))
        ASSERT_EQ(value, 0.0f);
}

TEST_F(DeviceGridTest, ANarrowGridRoundTripsAndItsPaddingIsNeverTransferred) {
    FloatGrid host(3, 6);
    test::randomize(host, 2);
    DeviceGrid g;
    ASSERT_TRUE(g.upload(host));
    ASSERT_EQ(g.pitch(), 512u);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 3; x < 128; ++x)
            ASSERT_TRUE(test::isFreshMemory(test::rowOf(g, y)[x])) << "padding written at " << x;
    FloatGrid back(1, 1);
    ASSERT_TRUE(g.download(back));
    EXPECT_EQ(back.width(), 3u);
    EXPECT_EQ(back.height(), 6u);
    EXPECT_TRUE(test::sameCells(back, host));
}

TEST_F(DeviceGridTest, UploadOfAnEmptyHostGridSucceedsWithoutACopy) {
    DeviceGrid g;
    const FloatGrid empty;
    const int copies = gpu_.device().counters().copies;
    EXPECT_TRUE(g.upload(empty));
    EXPECT_EQ(gpu_.device().counters().copies, copies);
    EXPECT_EQ(g.elementCount(), 0u);
}

TEST_F(DeviceGridTest, BordersMatchTheHostGridOperations) {
    for (auto [w, h] : {std::pair{7u, 5u}, {2u, 2u}, {33u, 17u}}) {
        FloatGrid host(w, h);
        test::randomize(host, w * h);
        auto g = test::uploaded(host);

        FloatGrid expected(w, h);
        expected.copyFrom(host);
        expected.setBorder(4.0f);
        g->setBorder(4.0f);
        EXPECT_TRUE(test::sameCells(test::download(*g), expected)) << w << "x" << h;

        test::randomize(host, w + h);
        ASSERT_TRUE(g->upload(host));
        expected.copyFrom(host);
        expected.copyBorder();
        g->copyBorder();
        EXPECT_TRUE(test::sameCells(test::download(*g), expected)) << w << "x" << h;
    }
}

TEST_F(DeviceGridTest, ColumnAndRowCopiesAreSeparateSteps) {
    FloatGrid host(6, 5);
    test::randomize(host, 3);
    auto g = test::uploaded(host);
    g->copyBorderColumns();
    FloatGrid got = test::download(*g);
    for (uint32_t y = 0; y < 5; ++y) {
        EXPECT_EQ(got(0, y), host(1, y));
        EXPECT_EQ(got(5, y), host(4, y));
        EXPECT_EQ(got(2, y), host(2, y));
    }
    g->copyBorderRows();
    got = test::download(*g);
    for (uint32_t x = 0; x < 6; ++x) {
        EXPECT_EQ(got(x, 0), got(x, 1));
        EXPECT_EQ(got(x, 4), got(x, 3));
    }
    EXPECT_EQ(got(0, 0), host(1, 1)) << "corners take the copied columns";
}

TEST_F(DeviceGridTest, SetBorderOnALayeredGridTouchesOnlyTheFirstSlice) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(5, 4, 3, true));
    g.setBorder(1.0f);
    const auto all = test::elements(g);
    const uint64_t row = g.rowLength();
    for (uint32_t y = 0; y < 12; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            const bool border = y < 4 && (x == 0 || x == 4 || y == 0 || y == 3);
            ASSERT_EQ(all[y * row + x], border ? 1.0f : 0.0f) << x << ", " << y;
        }
}

TEST_F(DeviceGridTest, LaunchGeometryCoversCellsOrElements) {
    DeviceGrid g;
    ASSERT_TRUE(g.resize(33, 17, false));
    const LaunchDims g2 = g.launchGrid2D(16, 8);
    EXPECT_EQ(g2.x, 3u);
    EXPECT_EQ(g2.y, 3u);
    EXPECT_EQ(g2.z, 1u);
    const LaunchDims g1 = g.launchGrid1D(128);
    EXPECT_EQ(g1.x, unsigned((g.elementCount() + 127) / 128));
    EXPECT_EQ(g1.y, 1u);
}

TEST_F(DeviceGridTest, ABorrowedGridNeverAllocatesClearsOrFrees) {
    DeviceGrid owner;
    ASSERT_TRUE(owner.resize(40, 1, false));
    owner.fill(3.0f);
    const int allocations = gpu_.device().counters().allocations;
    {
        DeviceGrid view(true);
        EXPECT_TRUE(view.resize(8, 8, true));
        EXPECT_TRUE(view.empty()) << "a borrowed grid only records sizes";
        EXPECT_EQ(view.width(), 8u);
        view.borrow(owner, 5, 1);
        EXPECT_EQ(view.devicePointer(), owner.devicePointer());
        EXPECT_EQ(view.width(), 5u);
        view.clear();
        view.fill(9.0f);
    }
    EXPECT_EQ(gpu_.device().counters().allocations, allocations);
    EXPECT_EQ(gpu_.device().liveAllocations(), 1u) << "the view freed nothing";
    for (float value : test::elements(owner))
        ASSERT_EQ(value, 3.0f);
}

TEST_F(DeviceGridTest, SwapExchangesTheMemory) {
    DeviceGrid a, b;
    ASSERT_TRUE(a.resize(4, 4, false));
    ASSERT_TRUE(b.resize(6, 3, false));
    const auto pa = a.devicePointer(), pb = b.devicePointer();
    swap(a, b);
    EXPECT_EQ(a.devicePointer(), pb);
    EXPECT_EQ(a.width(), 6u);
    EXPECT_EQ(b.devicePointer(), pa);
    EXPECT_EQ(b.height(), 4u);
}

TEST_F(DeviceGridTest, FailedTransfersAreLoggedAndReported) {
    FloatGrid host(4, 4);
    DeviceGrid g;
    ASSERT_TRUE(g.resize(4, 4, true));
    gpu_.device().failTransfers(cuda::CUDA_ERROR_LAUNCH_FAILED);
    EXPECT_FALSE(g.upload(host));
    EXPECT_FALSE(g.download(host));
    EXPECT_EQ(test::logCount("cuMemcpy2D returned 719"), 2);
}

// The emulated device refuses what a device would and records it.
TEST(EmulatedDeviceTest, RefusesCallsWithoutAContextAndMemoryOutsideAllocations) {
    test::freshLog();
    EmulatedGpu gpu(false);
    {
        DeviceGrid g;
        EXPECT_FALSE(g.resize(4, 4, true)) << "no context is current";
    }
    ASSERT_EQ(gpu.device().misuses().size(), 1u);
    EXPECT_EQ(gpu.device().misuses()[0], "cuMemAllocPitch without a current context");

    CudaContextGuard guard;
    cuda::CUdeviceptr p = 0;
    ASSERT_EQ(gpu.driver().cuMemAlloc(&p, 64), cuda::CUDA_SUCCESS);
    float host[32] = {};
    EXPECT_NE(gpu.driver().cuMemcpyDtoH(host, p, 65), cuda::CUDA_SUCCESS);
    EXPECT_NE(gpu.driver().cuMemsetD32(p + 4, 0, 16), cuda::CUDA_SUCCESS);
    EXPECT_EQ(gpu.driver().cuMemsetD32(p + 4, 0, 15), cuda::CUDA_SUCCESS);
    EXPECT_NE(gpu.driver().cuMemFree(p + 4), cuda::CUDA_SUCCESS);
    EXPECT_EQ(gpu.driver().cuMemFree(p), cuda::CUDA_SUCCESS);
    EXPECT_EQ(gpu.device().misuses().size(), 4u);
}

TEST(EmulatedDeviceTest, HonoursItsCapacity) {
    EmulatedGpu gpu;
    gpu.device().setCapacity(512 * 100);
    DeviceGrid a, b;
    EXPECT_TRUE(a.resize(100, 60, false));
    EXPECT_FALSE(b.resize(100, 60, false));
    size_t free = 0, total = 0;
    ASSERT_EQ(gpu.driver().cuMemGetInfo(&free, &total), cuda::CUDA_SUCCESS);
    EXPECT_EQ(total, 512u * 100);
    EXPECT_EQ(free, 512u * 40);
}

}  // namespace
}  // namespace skv
