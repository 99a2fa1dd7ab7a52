// The pressure solve and the projection on device grids (the solver's GPU branches) against
// their host paths: the same schedule and the same bits.
#include <gtest/gtest.h>

#include <limits>

#include "gpu/solver_kernels.h"
#include "gpu_test_support.h"
#include "platform/exception.h"
#include "solver/multigrid.h"
#include "solver/projection.h"
#include "solver/sor.h"
#include "test_support.h"

namespace skv {
namespace {

constexpr uint32_t kW = 41, kH = 34;

class DevicePressureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKV_REQUIRE_KERNEL_MODULES();
        test::freshLog();
    }
    void TearDown() override {
        const auto misuses = gpu_.device().misuses();
        EXPECT_TRUE(misuses.empty()) << misuses.front();
    }
    test::EmulatedGpu gpu_;
};

struct SorCase {
    float sigma;
    float tolerance;
    uint32_t maxSweeps;
};

TEST_F(DevicePressureTest, SorOnTheDeviceIsTheHostSolve) {
    for (const SorCase c :
         {SorCase{2.0f, 1e-3f, 1000}, SorCase{1.0f, 1e-2f, 1000}, SorCase{0.0f, 1e-4f, 1000},
          SorCase{2.0f, 0.0f, 37}, SorCase{2.0f, 10.0f, 1000}}) {
        SCOPED_TRACE(testing::Message() << "sigma " << c.sigma << ", tolerance " << c.tolerance
                                        << ", limit " << c.maxSweeps);
        FloatGrid d(kW, kH), p(kW, kH), t(kW, kH);
        test::randomize(d, 7, -0.5f, 0.5f);
        d.setBorder(0.0f);
        test::randomize(p, 8);
        t.clear();
        auto dd = test::uploaded(d), dp = test::uploaded(p);
        ASSERT_TRUE(CudaState::instance().solverKernels().initSolverKernels(*dp, *dp, *dp));
        DeviceGrid dt;
        ASSERT_TRUE(dt.resize(kW, kH, true));
        // Padding 0, as in the solver's cleared grids: the norms cover every element.
        dd->clear();
        ASSERT_TRUE(dd->upload(d));

        uint32_t hostSweeps = 0, deviceSweeps = 0;
        const float hostErr = solveSOR(c.maxSweeps, hostSweeps, c.tolerance, p, d, t, false,
                                       nullptr, nullptr, nullptr, c.sigma);
        FloatGrid unused(kW, kH);
        const float deviceErr = solveSOR(c.maxSweeps, deviceSweeps, c.tolerance, unused, unused,
                                         unused, true, dp.get(), dd.get(), &dt, c.sigma);
        EXPECT_EQ(deviceSweeps, hostSweeps);
        EXPECT_EQ(deviceErr, hostErr);
        EXPECT_TRUE(test::sameCells(test::download(*dp), p));
        if (hostSweeps > 0) {
            EXPECT_TRUE(test::sameCells(test::download(dt), t));
        }
    }
}

// Kernels that do not run leave the residual unknown: the solve ends with NaN instead of
// mistaking a stale residual for convergence.
TEST_F(DevicePressureTest, SorWhoseKernelsDoNotRunNeverConverges) {
    FloatGrid d(kW, kH), unused(kW, kH);
    test::randomize(d, 9);
    DeviceGrid dd, dp, dt;
    ASSERT_TRUE(dd.resize(kW, kH, true) && dp.resize(kW, kH, true) && dt.resize(kW, kH, true));
    ASSERT_TRUE(dd.upload(d));
    uint32_t sweeps = 0;
    // The solver module was never loaded.
    const float err =
        solveSOR(1000, sweeps, 1e-3f, unused, unused, unused, true, &dp, &dd, &dt, 2.0f);
    EXPECT_TRUE(std::isnan(err));
    EXPECT_EQ(sweeps, 4u);
    EXPECT_TRUE(test::logHasLine("CUDAPressureMatrixMul2D: Failed to launch CUDA kernel"));
}

TEST_F(DevicePressureTest, SorWithoutDeviceGridsOrWithMismatchedOnesThrows) {
    FloatGrid g(kW, kH);
    uint32_t sweeps = 0;
    EXPECT_THROW(solveSOR(10, sweeps, 0.1f, g, g, g, true, nullptr, nullptr, nullptr, 2.0f),
                 Exception);
    DeviceGrid a, b, c;
    ASSERT_TRUE(a.resize(kW, kH, true));
    ASSERT_TRUE(b.resize(kW, kH, true));
    ASSERT_TRUE(c.resize(kW + 1, kH, true));
    EXPECT_THROW(solveSOR(10, sweeps, 0.1f, g, g, g, true, &a, &b, &c, 2.0f), Exception);
}

enum class Obstacles { None, Static, Moving };

// The grids of one projection on both sides.
struct Projection {
    FloatGrid u{kW, kH}, v{kW, kH}, e{kW, kH}, t{kW, kH}, d{kW, kH}, p{kW, kH};
    FloatGrid mask{kW, kH}, mu{kW, kH}, mv{kW, kH};
    SimulationParameters params;
    int iterations = 0;
    double seconds = 0.0;

    Projection(unsigned seed, Obstacles obstacles, double openness) {
        test::randomize(u, seed);
        test::randomize(v, seed + 1);
        e.clear();
        for (uint32_t k = 0; k < 40; ++k)
            e(1 + (k * 7) % (kW - 2), 1 + (k * 11) % (kH - 2)) = 0.5f;
        mask.clear();
        if (obstacles != Obstacles::None) {
            for (uint32_t y = 9; y < 17; ++y)
                for (uint32_t x = 12; x < 21; ++x)
                    mask(x, y) = 1.0f;
            for (uint32_t y = 22; y < 30; ++y)
                for (uint32_t x = 26; x < 35; ++x)
                    if (x == 26 || x == 34 || y == 22 || y == 29) mask(x, y) = 1.0f;
        }
        test::randomize(mu, seed + 2, -0.5f, 0.5f);
        test::randomize(mv, seed + 3, -0.5f, 0.5f);
        params.domainOpenness = openness;
        params.pressureTolerance = 1e-3;
    }
};

struct ProjectionCase {
    Obstacles obstacles;
    double openness;
};

TEST_F(DevicePressureTest, TheDeviceProjectionIsTheHostsButForTheVelocityCorners) {
    for (const ProjectionCase c :
         {ProjectionCase{Obstacles::None, 2.0}, ProjectionCase{Obstacles::Static, 1.0},
          ProjectionCase{Obstacles::Moving, 2.0}, ProjectionCase{Obstacles::Moving, 0.0}}) {
        SCOPED_TRACE(testing::Message()
                     << "obstacles " << int(c.obstacles) << ", openness " << c.openness);
        Projection host(17, c.obstacles, c.openness), dev(17, c.obstacles, c.openness);
        const bool with = c.obstacles != Obstacles::None;
        const bool moving = c.obstacles == Obstacles::Moving;
        DeviceGrid du, dv, dp, de, dd, dt, dm, dmu, dmv;
        ASSERT_TRUE(du.upload(dev.u) && dv.upload(dev.v) && de.upload(dev.e) &&
                    dm.upload(dev.mask) && dmu.upload(dev.mu) && dmv.upload(dev.mv));
        for (DeviceGrid* g : {&dp, &dd, &dt})
            ASSERT_TRUE(g->resize(kW, kH, true));
        ASSERT_TRUE(CudaState::instance().solverKernels().initSolverKernels(du, dv, dp));
        for (DeviceGrid* g : {&du, &dv, &de, &dm, &dmu, &dmv}) {
            // Padding 0, as the solver's cleared grids have it.
            FloatGrid copy = test::download(*g);
            g->clear();
            ASSERT_TRUE(g->upload(copy));
        }

        // The host without multigrid: SOR for every domain, as on the device.
        project(nullptr, with ? &host.mask : nullptr, moving ? &host.mu : nullptr,
                moving ? &host.mv : nullptr, host.u, host.v, host.e, host.t, host.d, host.p, false,
                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                host.params, host.iterations, host.seconds, nullptr);
        project(nullptr, nullptr, nullptr, nullptr, dev.u, dev.v, dev.e, dev.t, dev.d, dev.p, true,
                &du, &dv, &dp, &de, &dd, &dt, with ? &dm : nullptr, moving ? &dmu : nullptr,
                moving ? &dmv : nullptr, dev.params, dev.iterations, dev.seconds, nullptr);

        EXPECT_EQ(dev.params.pressureSolverUsed, 1u);
        EXPECT_EQ(dev.iterations, host.iterations);
        EXPECT_GT(dev.iterations, 0);
        EXPECT_GT(dev.seconds, 0.0);
        const auto notCorner = [](uint32_t x, uint32_t y) {
            return !((x == 0 || x == kW - 1) && (y == 0 || y == kH - 1));
        };
        const FloatGrid u = test::download(du), v = test::download(dv);
        EXPECT_TRUE(test::sameCells(u, host.u, notCorner));
        EXPECT_TRUE(test::sameCells(v, host.v, notCorner));
        EXPECT_TRUE(test::sameCells(test::download(dp), host.p));
        // The host zeroes the corners; the device leaves the copies of their neighbours: u takes
        // its rows last, v its clamped rows.
        EXPECT_EQ(host.u(0, 0), 0.0f);
        EXPECT_EQ(u(0, 0), u(0, 1));
        EXPECT_EQ(u(kW - 1, kH - 1), u(kW - 1, kH - 2));
        EXPECT_EQ(v(0, 0), v(1, 0));
        EXPECT_EQ(v(kW - 1, kH - 1), v(kW - 2, kH - 1));
        // The host's own inputs stayed untouched by the device branch.
        Projection fresh(17, c.obstacles, c.openness);
        EXPECT_TRUE(test::sameCells(dev.u, fresh.u));
    }
}

TEST_F(DevicePressureTest, AnUnsolvableFieldEndsTheDeviceProjectionWithTheFloatingPointError) {
    Projection dev(23, Obstacles::None, 2.0);
    dev.e(5, 5) = std::numeric_limits<float>::quiet_NaN();
    DeviceGrid du, dv, dp, de, dd, dt;
    ASSERT_TRUE(du.upload(dev.u) && dv.upload(dev.v) && de.upload(dev.e));
    for (DeviceGrid* g : {&dp, &dd, &dt})
        ASSERT_TRUE(g->resize(kW, kH, true));
    ASSERT_TRUE(CudaState::instance().solverKernels().initSolverKernels(du, dv, dp));
    try {
        project(nullptr, nullptr, nullptr, nullptr, dev.u, dev.v, dev.e, dev.t, dev.d, dev.p, true,
                &du, &dv, &dp, &de, &dd, &dt, nullptr, nullptr, nullptr, dev.params, dev.iterations,
                dev.seconds, nullptr);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Floating point error during linear solving");
    }
    EXPECT_EQ(dev.iterations, 0) << "a NaN norm ends the solve before its first batch";
}

}  // namespace
}  // namespace skv
