// The launchers of the field module on the emulated device against the host operations that
// compute the same thing, the padding rules of the element-wise kernels, and the reduction.
#include "gpu/field_kernels.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <limits>

#include "kernels/advection_cells.h"
#include "solver/forces.h"
#include "gpu/kernel_modules.h"
#include "gpu_test_support.h"
#include "solver/vector_ops.h"
#include "test_support.h"

namespace skv {
namespace {

constexpr uint32_t kW = 45, kH = 23;

class FieldKernelsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKV_REQUIRE_KERNEL_MODULES();
        test::freshLog();
        test::randomize(x_, 1);
        test::randomize(y_, 2);
        test::randomize(z_, 3);
        dx_ = test::uploaded(x_);
        dy_ = test::uploaded(y_);
        dz_ = test::uploaded(z_);
    }
    void TearDown() override {
        const auto misuses = gpu_.device().misuses();
        EXPECT_TRUE(misuses.empty()) << misuses.front();
    }
    FieldKernels& field() { return CudaState::instance().fieldKernels(); }

    test::EmulatedGpu gpu_;
    FloatGrid x_{kW, kH}, y_{kW, kH}, z_{kW, kH};
    std::unique_ptr<DeviceGrid> dx_, dy_, dz_;
};

TEST_F(FieldKernelsTest, ScaledSumsAreTheHostsBitForBit) {
    FloatGrid expected(kW, kH);
    scaledAdd(expected, 0.37f, x_, y_);
    EXPECT_TRUE(field().axpy(*dz_, 0.37f, *dx_, *dy_));
    EXPECT_TRUE(test::sameCells(test::download(*dz_), expected));

    // In place, as the solver uses it: y = a·x + y.
    scaledAdd(y_, -1.0f, x_, y_);
    EXPECT_TRUE(field().axpy(*dy_, -1.0f, *dx_, *dy_));
    EXPECT_TRUE(test::sameCells(test::download(*dy_), y_));

    scale(expected, -2.5f, x_);
    EXPECT_TRUE(field().ax(*dz_, -2.5f, *dx_));
    EXPECT_TRUE(test::sameCells(test::download(*dz_), expected));

    // z += a·x + b·y as FloatGrid adds it.
    ASSERT_TRUE(dz_->upload(z_));
    z_.axpbypz(0.8125f, x_, -0.3f, y_);
    EXPECT_TRUE(field().axpbypz(*dz_, 0.8125f, *dx_, -0.3f, *dy_));
    EXPECT_TRUE(test::sameCells(test::download(*dz_), z_));
}

TEST_F(FieldKernelsTest, BoundsAndMasksAreTheHostsRules) {
    FloatGrid expected(kW, kH);
    expected.copyFrom(x_);
    expected.setMax(0.25f);
    EXPECT_TRUE(field().setMax(*dx_, 0.25f));
    EXPECT_TRUE(test::sameCells(test::download(*dx_), expected));

    // The store rule of the scalar transport, NaN included.
    x_[7] = std::numeric_limits<float>::quiet_NaN();
    ASSERT_TRUE(dx_->upload(x_));
    const ScalarRule rule = ScalarRule::clamped(ScalarExtra::None, -0.5f, 0.5f);
    for (uint64_t i = 0; i < x_.count(); ++i)
        expected[i] = storeScalar(rule, x_[i]);
    EXPECT_TRUE(field().clamp(*dx_, -0.5f, 0.5f));
    EXPECT_TRUE(test::sameCells(test::download(*dx_), expected));
    EXPECT_EQ(test::download(*dx_)[7], -0.5f);

    for (uint64_t i = 0; i < x_.count(); ++i)
        expected[i] = std::max(y_[i], z_[i]);
    EXPECT_TRUE(field().setMaxGrid(*dy_, *dz_));
    EXPECT_TRUE(test::sameCells(test::download(*dy_), expected));

    FloatGrid mask(kW, kH);
    test::randomize(mask, 4);
    auto dm = test::uploaded(mask);
    ASSERT_TRUE(dx_->upload(x_));
    x_.setMasked(z_, mask, 0.5f);
    EXPECT_TRUE(field().setMasked(*dx_, *dz_, *dm, 0.5f));
    EXPECT_TRUE(test::sameCells(test::download(*dx_), x_));
}

TEST_F(FieldKernelsTest, WallClampsTouchOnlyTheirColumnsAndRows) {
    EXPECT_TRUE(field().clampColumns(*dx_));
    FloatGrid got = test::download(*dx_);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const float want = x == 0        ? std::min(x_(x, y), 0.0f)
                               : x == kW - 1 ? std::max(x_(x, y), 0.0f)
                                             : x_(x, y);
            ASSERT_EQ(got(x, y), want) << x << ", " << y;
        }
    EXPECT_TRUE(field().clampRows(*dy_));
    got = test::download(*dy_);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const float want = y == 0        ? std::min(y_(x, y), 0.0f)
                               : y == kH - 1 ? std::max(y_(x, y), 0.0f)
                                             : y_(x, y);
            ASSERT_EQ(got(x, y), want) << x << ", " << y;
        }
}

TEST_F(FieldKernelsTest, ElementWiseKernelsCoverThePadding) {
    DeviceGrid a;
    ASSERT_TRUE(a.resize(kW, kH, false));
    a.fill(2.0f);
    EXPECT_TRUE(field().ax(a, 1.5f, a));
    for (float value : test::elements(a))
        ASSERT_EQ(value, 3.0f);
}

TEST_F(FieldKernelsTest, ConvolutionIsTheHostsHeatDiffusion) {
    for (const float spread : {0.3f, 4.0f, 400.0f}) {
        std::vector<float> taps;
        buildHeatDiffusionKernel(taps, 1.0f, spread, 1.0f);
        FloatGrid t(kW, kH), scratch(kW, kH);
        test::randomize(t, 5, 0.0f, 500.0f);
        auto dt = test::uploaded(t);
        // Taps beyond the grid's longer side are dropped either way.
        const size_t used = std::min<size_t>(taps.size(), std::max(kW, kH));
        FloatGrid row(uint32_t(used), 1);
        std::copy(taps.begin(), taps.begin() + ptrdiff_t(used), row.data());
        auto filter = test::uploaded(row);
        DeviceGrid tmp;
        ASSERT_TRUE(tmp.resize(kW, kH, false));
        diffuseHeat(t, scratch, taps);
        EXPECT_TRUE(field().convolve(*filter, *dt, tmp));
        EXPECT_TRUE(test::sameCells(test::download(*dt), t)) << taps.size() << " taps";
    }
}

TEST_F(FieldKernelsTest, ConvolutionDropsTheTapsBeyondTheEdges) {
    FloatGrid weights(2, 1);
    weights[0] = 0.5f;
    weights[1] = 0.25f;
    auto filter = test::uploaded(weights);
    FloatGrid g(5, 4);
    g(2, 1) = 1.0f;
    auto dg = test::uploaded(g);
    DeviceGrid tmp;
    ASSERT_TRUE(tmp.resize(5, 4, false));
    EXPECT_TRUE(field().convolve(*filter, *dg, tmp));
    FloatGrid got = test::download(*dg);
    const float w[3] = {0.25f, 0.5f, 0.25f};
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            const bool near = x >= 1 && x <= 3 && y <= 2;
            ASSERT_EQ(got(x, y), near ? w[x - 1] * w[y] : 0.0f) << x << ", " << y;
        }
    g.fill(1.0f);
    ASSERT_TRUE(dg->upload(g));
    EXPECT_TRUE(field().convolve(*filter, *dg, tmp));
    got = test::download(*dg);
    EXPECT_EQ(got(0, 0), 0.5625f);
    EXPECT_EQ(got(2, 0), 0.75f);
    EXPECT_EQ(got(2, 2), 1.0f);
}

TEST_F(FieldKernelsTest, AbsoluteMaximumIsTheInfinityNormOfEveryElement) {
    FloatGrid g(kW, kH);
    DeviceGrid d, scratch;
    for (unsigned seed : {6u, 7u, 8u}) {
        test::randomize(g, seed, -100.0f, 100.0f);
        ASSERT_TRUE(d.resize(kW, kH, true));  // padding 0
        ASSERT_TRUE(d.upload(g));
        EXPECT_EQ(field().absMax(d, scratch), infinityNorm(g));
        EXPECT_EQ(field().absMax(d), infinityNorm(g));
    }
    g.clear();
    ASSERT_TRUE(d.upload(g));
    EXPECT_EQ(field().absMax(d), 0.0f);
    g(3, 4) = -3.5f;
    ASSERT_TRUE(d.upload(g));
    EXPECT_EQ(field().absMax(d), 3.5f);
    // The padding counts: a value there is part of the grid's elements.
    d.fill(7.0f);
    ASSERT_TRUE(d.upload(g));
    EXPECT_EQ(field().absMax(d), 7.0f);
    g(1, 1) = std::numeric_limits<float>::quiet_NaN();
    ASSERT_TRUE(d.upload(g));
    EXPECT_TRUE(std::isnan(field().absMax(d))) << "a NaN is never skipped";
}

TEST(FieldReductionTest, TakesAtMostThreePassesAndOneBlockOfOneForOneElement) {
    SKV_REQUIRE_KERNEL_MODULES();
    gpu::EmulatedDevice::Options unpadded;
    unpadded.pitchAlignment = 4;
    test::EmulatedGpu gpu(true, unpadded);
    FieldKernels& field = CudaState::instance().fieldKernels();
    for (uint32_t n : {1u, 2u, 3u, 127u, 128u, 129u, 1000u, 40000u, 100003u}) {
        FloatGrid g(n, 1);
        test::randomize(g, n, -1.0f, 1.0f);
        g[n / 2] = 2.0f + float(n);
        auto d = test::uploaded(g);
        ASSERT_EQ(d->elementCount(), n);
        const int before = gpu.device().counters().launches;
        EXPECT_EQ(field.absMax(*d), 2.0f + float(n)) << n;
        const int passes = gpu.device().counters().launches - before;
        EXPECT_GE(passes, 1);
        EXPECT_LE(passes, 3) << n;
        if (n == 1) {
            EXPECT_EQ(gpu.device().launchesOf(gpu::entry::kAbsMaxReduce[9]), 1);
        }
    }
    EXPECT_EQ(gpu.device().launchesOf(gpu::entry::kAbsMaxReduce[0]), 0) << "512 is never launched";
    EXPECT_EQ(gpu.device().launchesOf(gpu::entry::kAbsMaxReduce[1]), 0) << "256 is never launched";
}

// A reduction that cannot run must not answer 0: the pressure solve would take it for
// convergence.
TEST(FieldReductionTest, FailuresGiveNaNNeverZero) {
    SKV_REQUIRE_KERNEL_MODULES();
    test::freshLog();
    {
        test::EmulatedGpu gpu;
        DeviceGrid d;
        ASSERT_TRUE(d.resize(8, 8, true));
        gpu.device().failTransfers(cuda::CUDA_ERROR_LAUNCH_FAILED);
        EXPECT_TRUE(std::isnan(CudaState::instance().fieldKernels().absMax(d)));
        EXPECT_TRUE(test::logHasLine("Failed to download reduction result"));
        gpu.device().clearFaults();
        gpu.device().failLaunches(gpu::entry::kAbsMaxReduce[2]);
        EXPECT_TRUE(std::isnan(CudaState::instance().fieldKernels().absMax(d)));
        EXPECT_TRUE(test::logHasLine("Failed to launch CUDA kernel"));
    }
    {
        test::EmulatedGpu gpu;
        gpu.device().failFunctionLookup(gpu::entry::kConvolveY);
        DeviceGrid d;
        ASSERT_TRUE(d.resize(8, 8, true));
        FieldKernels& field = CudaState::instance().fieldKernels();
        EXPECT_TRUE(std::isnan(field.absMax(d)));
        EXPECT_TRUE(test::logHasLine("Failed to initialize CUDA field kernels"));
        EXPECT_FALSE(field.loaded()) << "a module without all its kernels is not kept";
        EXPECT_FALSE(field.setMasked(d, d, d, 0.0f));
        EXPECT_TRUE(test::logHasLine("SetMasked: Failed to initialize CUDA field kernels"));
        DeviceGrid tmp;
        EXPECT_FALSE(field.convolve(d, d, tmp));
        EXPECT_TRUE(test::logHasLine("Convolve: Failed to initialize CUDA field kernels"));
        EXPECT_EQ(gpu.device().counters().launches, 0);
    }
}

}  // namespace
}  // namespace skv
