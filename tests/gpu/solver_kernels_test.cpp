// The launchers of the solver module on the emulated device against the CPU passes that
// compute the same quantities, on random grids whose row padding holds the device's NaN
// marker (a 2D kernel that read padding would show it).
#include "gpu/solver_kernels.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "solver/advection.h"
#include "solver/forces.h"
#include "gpu/field_kernels.h"
#include "gpu/kernel_modules.h"
#include "gpu_test_support.h"
#include "solver/projection.h"
#include "solver/sor.h"
#include "test_support.h"

namespace skv {
namespace {

constexpr uint32_t kW = 37, kH = 29;  // padded sizes; rows of 148 bytes in a 512-byte pitch

class SolverKernelsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKV_REQUIRE_KERNEL_MODULES();
        test::freshLog();
        test::randomize(u_, 11, -1.5f, 1.5f);
        test::randomize(v_, 12, -1.5f, 1.5f);
        test::randomize(p_, 13);
        du_ = test::uploaded(u_);
        dv_ = test::uploaded(v_);
        dp_ = test::uploaded(p_);
        ASSERT_TRUE(kernels().initSolverKernels(*du_, *dv_, *dp_));
    }
    void TearDown() override {
        const auto misuses = gpu_.device().misuses();
        EXPECT_TRUE(misuses.empty()) << misuses.front();
    }
    SolverKernels& kernels() { return CudaState::instance().solverKernels(); }

    test::EmulatedGpu gpu_;
    FloatGrid u_{kW, kH}, v_{kW, kH}, p_{kW, kH};
    std::unique_ptr<DeviceGrid> du_, dv_, dp_;
};

bool interior(uint32_t x, uint32_t y) {
    return x >= 1 && y >= 1 && x <= kW - 2 && y <= kH - 2;
}

// A mask with scattered solid cells and one solid block.
FloatGrid obstacleMask(unsigned seed) {
    FloatGrid m(kW, kH);
    test::randomMask(m, seed, 0.15f);
    for (uint32_t y = 8; y < 14; ++y)
        for (uint32_t x = 10; x < 19; ++x)
            m(x, y) = 1.0f;
    return m;
}

TEST_F(SolverKernelsTest, ScalarFluxRatesAreTheHostAdvectionsRates) {
    for (const bool solid : {false, true}) {
        for (const float dx : {1.0f, 0.5f}) {
            SCOPED_TRACE(testing::Message() << "mask " << solid << ", dx " << dx);
            FloatGrid q(kW, kH), out(kW, kH), rate(kW, kH, 1, true);
            test::randomize(q, 21, 0.0f, 2.0f);
            const FloatGrid mask = obstacleMask(22);
            advectScalar(q, out, rate, u_, v_, solid ? &mask : nullptr, nullptr,
                         ScalarRule::clamped(ScalarExtra::None, -FLT_MAX, FLT_MAX), 1.0f / dx, 0.1f,
                         0.0f);
            auto dq = test::uploaded(q), dm = test::uploaded(mask);
            DeviceGrid drate;
            ASSERT_TRUE(drate.resize(kW, kH, false));
            if (solid)
                EXPECT_TRUE(kernels().CUDAAdvectQUICKconservativeSolid(drate, *dq, *dm, dx));
            else
                EXPECT_TRUE(kernels().CUDAAdvectQUICKconservative(drate, *dq, dx));
            const FloatGrid got = test::download(drate);
            EXPECT_TRUE(test::sameCells(got, rate, [&](uint32_t x, uint32_t y) {
                return interior(x, y) && (!solid || mask(x, y) == 0.0f);
            }));
            for (uint32_t y = 0; y < kH; ++y) {
                for (uint32_t x = 0; x < kW; ++x) {
                    if (!interior(x, y) || (solid && mask(x, y) != 0.0f)) {
                        ASSERT_EQ(got(x, y), 0.0f) << "border or obstacle cell " << x << ", " << y;
                    }
                }
            }
        }
    }
}

TEST_F(SolverKernelsTest, VelocityRatesAreTheHostAdvectionsRates) {
    for (const bool solid : {false, true}) {
        SCOPED_TRACE(solid ? "with obstacles" : "open");
        const FloatGrid mask = obstacleMask(31);
        // Faces that get no rate keep what they held, on both sides.
        FloatGrid dudt(kW, kH), dvdt(kW, kH);
        test::randomize(dudt, 32);
        test::randomize(dvdt, 33);
        auto ddudt = test::uploaded(dudt), ddvdt = test::uploaded(dvdt), dm = test::uploaded(mask);
        advectVelocity(u_, v_, dudt, dvdt, solid ? &mask : nullptr, 1.0f);
        if (solid)
            EXPECT_TRUE(kernels().CUDAAdvectQUICKvelocitySolid(*ddudt, *ddvdt, *dm, 1.0f));
        else
            EXPECT_TRUE(kernels().CUDAAdvectQUICKvelocity(*ddudt, *ddvdt, 1.0f));
        EXPECT_TRUE(test::sameInterior(test::download(*ddudt), dudt));
        EXPECT_TRUE(test::sameInterior(test::download(*ddvdt), dvdt));
        const FloatGrid border = test::download(*ddudt);
        EXPECT_EQ(border(0, 5), 0.0f);
        EXPECT_EQ(border(kW - 1, kH - 1), 0.0f);
    }
}

// The advective form has no host pass: it must carry a linear field exactly (QUICK is exact
// there, first-order upwinding too) and leave a uniform one alone.
TEST_F(SolverKernelsTest, AdvectiveRatesAreExactForLinearFields) {
    FloatGrid q(kW, kH), u(kW, kH), v(kW, kH);
    u.fill(0.3f);
    v.fill(-0.2f);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x)
            q(x, y) = 0.25f * float(x) + 0.5f * float(y);
    auto du = test::uploaded(u), dv = test::uploaded(v), dq = test::uploaded(q);
    ASSERT_TRUE(kernels().initSolverKernels(*du, *dv, *dp_));
    DeviceGrid rate;
    ASSERT_TRUE(rate.resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDAAdvectQUICKClamp(rate, *dq, 1.0f));
    FloatGrid got = test::download(rate);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x)
            ASSERT_NEAR(got(x, y), interior(x, y) ? -(0.3f * 0.25f - 0.2f * 0.5f) : 0.0f, 1e-6f)
                << x << ", " << y;

    const FloatGrid mask = obstacleMask(41);
    auto dm = test::uploaded(mask);
    FloatGrid uniform(kW, kH);
    uniform.fill(0.7f);
    auto du2 = test::uploaded(uniform);
    EXPECT_TRUE(kernels().CUDAAdvectQUICKClampSolid(rate, *du2, *dm, 1.0f));
    got = test::download(rate);
    for (uint32_t i = 0; i < got.count(); ++i)
        ASSERT_EQ(got[i], 0.0f);
}

TEST_F(SolverKernelsTest, CoolingPassEqualsTheHostCoolingTerm) {
    FloatGrid t(kW, kH), out(kW, kH), rate(kW, kH, 1, true);
    test::randomize(t, 51, -50.0f, 900.0f);
    const ScalarRule rule = ScalarRule::temperature(1000.0f, 1000.0f, 0.05f);
    advectScalar(t, out, rate, u_, v_, nullptr, nullptr, rule, 1.0f, 0.05f, 0.0f);
    auto dt = test::uploaded(t);
    DeviceGrid drate;
    ASSERT_TRUE(drate.resize(kW, kH, false));
    ASSERT_TRUE(kernels().CUDAAdvectQUICKconservative(drate, *dt, 1.0f));
    EXPECT_TRUE(kernels().CUDACooling(drate, *dt, rule.coolingTemperature, rule.cooling, rule.rdt));
    EXPECT_TRUE(test::sameInterior(test::download(drate), rate));
}

TEST_F(SolverKernelsTest, CoolingLeavesCellsAtOrBelowZeroAlone) {
    FloatGrid t(kW, kH), rate(kW, kH);
    test::randomize(t, 52, -300.0f, 0.0f);
    test::randomize(rate, 53);
    auto dt = test::uploaded(t), drate = test::uploaded(rate);
    EXPECT_TRUE(kernels().CUDACooling(*drate, *dt, 1000.0f, 500.0f, 20.0f));
    EXPECT_TRUE(test::sameCells(test::download(*drate), rate));
}

TEST_F(SolverKernelsTest, BuoyancyAndGravityAreTheHostForces) {
    FloatGrid dvdt(kW, kH), t(kW, kH), rho(kW, kH);
    test::randomize(dvdt, 61);
    test::randomize(t, 62, 0.0f, 400.0f);
    test::randomize(rho, 63, 0.0f, 1.5f);
    auto ddvdt = test::uploaded(dvdt), dt = test::uploaded(t), drho = test::uploaded(rho);
    addBuoyancyAndGravity(dvdt, t, rho, 1.37f * -0.02f, 9.7f);
    EXPECT_TRUE(kernels().CUDAaddPropertyForces(*ddvdt, *dt, *drho, 1.37f * -0.02f, 9.7f));
    EXPECT_TRUE(test::sameCells(test::download(*ddvdt), dvdt));
}

struct Burning {
    FloatGrid fuel{kW, kH}, div{kW, kH}, dens{kW, kH}, temp{kW, kH};
    explicit Burning(unsigned seed) {
        test::randomize(fuel, seed, 0.0f, 1.0f);
        test::randomize(div, seed + 1);
        test::randomize(dens, seed + 2, 0.0f, 1.2f);
        test::randomize(temp, seed + 3, 0.0f, 800.0f);
    }
};

TEST_F(SolverKernelsTest, OxidizedBurningIsTheHostsOnEveryCell) {
    Burning host(71);
    auto f = test::uploaded(host.fuel), d = test::uploaded(host.div), r = test::uploaded(host.dens),
         t = test::uploaded(host.temp);
    const BurnConstants c = burnConstants(0.5f, 2.0f, 1.0f, 1000.0f, 0.04f);
    combustOxidized(host.fuel, host.div, host.dens, host.temp, c);
    EXPECT_TRUE(kernels().CUDACombustOxidized(*f, *d, *r, *t, c));
    EXPECT_TRUE(test::sameCells(test::download(*f), host.fuel));
    EXPECT_TRUE(test::sameCells(test::download(*d), host.div));
    EXPECT_TRUE(test::sameCells(test::download(*r), host.dens));
    EXPECT_TRUE(test::sameCells(test::download(*t), host.temp));
}

// Inside, the host's burning; on the border too, with the oxygen of the neighbours inside.
TEST_F(SolverKernelsTest, UnoxidizedBurningIsTheHostsInsideAndClipsItsNeighboursOnTheBorder) {
    Burning start(81), host(81);
    FloatGrid oxygen(kW, kH);
    const FloatGrid mask = obstacleMask(82);
    const BurnConstants c = burnConstants(0.5f, 2.0f, 1.0f, 1000.0f, 0.04f);
    combustUnoxidized(host.fuel, host.div, host.dens, host.temp, oxygen, &mask, c);
    auto f = test::uploaded(start.fuel), d = test::uploaded(start.div),
         r = test::uploaded(start.dens), t = test::uploaded(start.temp), q = test::uploaded(oxygen);
    EXPECT_TRUE(kernels().CUDACombustUnoxidized(*f, *d, *r, *t, *q, c));
    const FloatGrid fuel = test::download(*f), div = test::download(*d);
    EXPECT_TRUE(test::sameInterior(fuel, host.fuel));
    EXPECT_TRUE(test::sameInterior(div, host.div));
    EXPECT_TRUE(test::sameInterior(test::download(*r), host.dens));
    EXPECT_TRUE(test::sameInterior(test::download(*t), host.temp));
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            if (interior(x, y)) continue;
            const float o =
                oxygenAroundClipped(oxygen.data(), int(kW), int(kW), int(kH), int(x), int(y));
            const float burnt = unoxidizedBurn(c, start.fuel(x, y), o);
            ASSERT_EQ(fuel(x, y), std::max(start.fuel(x, y) - burnt, 0.0f)) << x << ", " << y;
            ASSERT_EQ(div(x, y), c.expansionRate * burnt);
        }
}

TEST_F(SolverKernelsTest, VorticityConfinementFollowsTheDeviceBorderRule) {
    const float dx = 1.0f, dt = 0.05f, strength = 2.0f;
    DeviceGrid w, fu, fv;
    for (DeviceGrid* g : {&w, &fu, &fv})
        ASSERT_TRUE(g->resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDAVorticityConfinement(*du_, *dv_, w, fu, fv, dx, dt, strength));
    const FloatGrid gotU = test::download(*du_), gotV = test::download(*dv_);

    // The host pass: the same force wherever neither its vorticity stencil reaches the border
    // (the host continues the vorticity outwards, the device sets it to 0) nor the face lies
    // on the first interior row or column (the device starts one cell further in).
    FloatGrid hu(kW, kH), hv(kW, kH), hw(kW, kH), hfu(kW, kH), hfv(kW, kH);
    hu.copyFrom(u_);
    hv.copyFrom(v_);
    vorticityConfinement(hu, hv, hw, hfu, hfv, dx, dt, strength);
    EXPECT_TRUE(test::sameCells(gotU, hu, [](uint32_t x, uint32_t y) {
        return x >= 2 && x <= kW - 4 && y >= 2 && y <= kH - 3;
    }));
    EXPECT_TRUE(test::sameCells(gotV, hv, [](uint32_t x, uint32_t y) {
        return x >= 2 && x <= kW - 3 && y >= 2 && y <= kH - 4;
    }));
    // Outside the cells 2 … W − 3, 2 … H − 3 the device adds nothing.
    EXPECT_TRUE(test::sameCells(gotU, u_, [](uint32_t x, uint32_t y) {
        return x < 2 || y < 2 || x > kW - 3 || y > kH - 3;
    }));
    const FloatGrid vorticity = test::download(w);
    for (uint32_t x = 0; x < kW; ++x)
        ASSERT_EQ(vorticity(x, 0), 0.0f);
    for (uint32_t y = 0; y < kH; ++y)
        ASSERT_EQ(vorticity(kW - 1, y), 0.0f);
}

TEST_F(SolverKernelsTest, RigidRotationFeelsNoConfinement) {
    // u = −ω·y, v = ω·x at the faces: uniform vorticity, so the force is 0 everywhere.
    FloatGrid u(kW, kH), v(kW, kH);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            u(x, y) = -0.125f * (float(y) - 14.0f);
            v(x, y) = 0.125f * (float(x) - 18.0f);
        }
    auto du = test::uploaded(u), dv = test::uploaded(v);
    DeviceGrid w, fu, fv;
    for (DeviceGrid* g : {&w, &fu, &fv})
        ASSERT_TRUE(g->resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDAVorticityConfinement(*du, *dv, w, fu, fv, 1.0f, 0.1f, 5.0f));
    EXPECT_TRUE(test::sameCells(test::download(*du), u));
    EXPECT_TRUE(test::sameCells(test::download(*dv), v));
}

TEST_F(SolverKernelsTest, SorSweepsAreTheHostsPlainSweeps) {
    FloatGrid d(kW, kH);
    test::randomize(d, 91);
    auto dd = test::uploaded(d);
    for (const float sigma : {0.0f, 1.0f, 2.0f}) {
        FloatGrid p(kW, kH);
        test::randomize(p, 92);
        auto dp = test::uploaded(p);
        sorSweepsPlain(p, d, 3, 1.7f, sigma);
        EXPECT_TRUE(kernels().CUDASORsolve2D(*dp, *dd, 3, 1.7f, sigma));
        EXPECT_TRUE(test::sameCells(test::download(*dp), p)) << "sigma " << sigma;
    }
}

TEST_F(SolverKernelsTest, ARedPassLeavesBorderAndBlackCellsAlone) {
    DeviceGrid d;
    ASSERT_TRUE(d.resize(kW, kH, true));
    EXPECT_TRUE(kernels().CUDASORsolve2D(*dp_, d, 0, 1.5f, 0.0f)) << "no sweep, no launch";
    const int before = gpu_.device().launchesOf(gpu::entry::kSORPoisson2Dred);
    gpu_.device().failLaunches(gpu::entry::kSORPoisson2Dblack);
    EXPECT_FALSE(kernels().CUDASORsolve2D(*dp_, d, 1, 1.5f, 0.0f));
    EXPECT_EQ(gpu_.device().launchesOf(gpu::entry::kSORPoisson2Dred), before + 1);
    EXPECT_TRUE(test::logHasLine("CUDASORsolve2D black: Failed to launch CUDA kernel"));
    const FloatGrid got = test::download(*dp_);
    EXPECT_TRUE(test::sameCells(
        got, p_, [](uint32_t x, uint32_t y) { return !interior(x, y) || (x + y) % 2 == 1; }));
    EXPECT_FALSE(test::sameCells(got, p_)) << "the red cells moved";
}

TEST_F(SolverKernelsTest, MatrixAndAxpyGiveTheHostResidual) {
    FloatGrid d(kW, kH), t(kW, kH);
    test::randomize(d, 101);
    d.setBorder(0.0f);
    auto dd = test::uploaded(d);
    DeviceGrid dt;
    ASSERT_TRUE(dt.resize(kW, kH, true));
    for (const float sigma : {0.0f, 2.0f}) {
        pressureResidualPlain(p_, d, t, sigma);
        EXPECT_TRUE(kernels().CUDAPressureMatrixMul2D(dt, sigma));
        EXPECT_TRUE(CudaState::instance().fieldKernels().axpy(dt, -1.0f, dt, *dd));
        EXPECT_TRUE(test::sameCells(test::download(dt), t)) << "sigma " << sigma;
    }
}

TEST_F(SolverKernelsTest, MatrixOfAConstantPressureVanishesAwayFromTheBorder) {
    FloatGrid p(kW, kH);
    p.fill(3.0f);
    auto dp = test::uploaded(p);
    kernels().bindPressure(*dp);
    DeviceGrid b;
    ASSERT_TRUE(b.resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDAPressureMatrixMul2D(b, 0.0f));
    const FloatGrid got = test::download(b);
    for (uint32_t y = 0; y < kH; ++y) {
        for (uint32_t x = 0; x < kW; ++x) {
            const bool inside = x >= 2 && y >= 2 && x <= kW - 3 && y <= kH - 3;
            if (inside || !interior(x, y)) {
                ASSERT_EQ(got(x, y), 0.0f) << x << ", " << y;
            }
        }
    }
}

TEST_F(SolverKernelsTest, DivergenceAndGradientAreTheProjectionsFormulas) {
    DeviceGrid div;
    ASSERT_TRUE(div.resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDANegDivergence(div));
    const FloatGrid got = test::download(div);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x)
            ASSERT_EQ(got(x, y),
                      interior(x, y) ? u_(x - 1, y) - u_(x, y) + v_(x, y - 1) - v_(x, y) : 0.0f)
                << x << ", " << y;

    EXPECT_TRUE(kernels().CUDASubtractPressureGradient(*du_, *dv_));
    const FloatGrid gu = test::download(*du_), gv = test::download(*dv_);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const bool in = interior(x, y);
            ASSERT_EQ(gu(x, y), in ? u_(x, y) - (p_(x + 1, y) - p_(x, y)) : u_(x, y));
            ASSERT_EQ(gv(x, y), in ? v_(x, y) - (p_(x, y + 1) - p_(x, y)) : v_(x, y));
        }
}

TEST_F(SolverKernelsTest, ObstacleVelocityIsTheProjectionsConditionBitForBit) {
    for (const bool moving : {false, true}) {
        SCOPED_TRACE(moving ? "moving" : "static");
        const FloatGrid mask = obstacleMask(111);
        FloatGrid mu(kW, kH), mv(kW, kH), u(kW, kH), v(kW, kH);
        test::randomize(mu, 112, -0.5f, 0.5f);
        test::randomize(mv, 113, -0.5f, 0.5f);
        u.copyFrom(u_);
        v.copyFrom(v_);
        auto du = test::uploaded(u), dv = test::uploaded(v), dm = test::uploaded(mask),
             dmu = test::uploaded(mu), dmv = test::uploaded(mv);
        applyObstacleVelocity(mask, moving ? &mu : nullptr, moving ? &mv : nullptr, u, v);
        EXPECT_TRUE(kernels().CUDASetSolidVelocity(*du, *dv, *dm, moving ? dmu.get() : nullptr,
                                                   moving ? dmv.get() : nullptr));
        EXPECT_TRUE(test::sameCells(test::download(*du), u));
        EXPECT_TRUE(test::sameCells(test::download(*dv), v));
    }
}

TEST_F(SolverKernelsTest, OneObstacleVelocityGridAloneMeansAStaticObstacle) {
    const FloatGrid mask = obstacleMask(121);
    FloatGrid mu(kW, kH), u(kW, kH), v(kW, kH);
    mu.fill(0.5f);
    u.copyFrom(u_);
    v.copyFrom(v_);
    auto dm = test::uploaded(mask), dmu = test::uploaded(mu);
    applyObstacleVelocity(mask, nullptr, nullptr, u, v);
    EXPECT_TRUE(kernels().CUDASetSolidVelocity(*du_, *dv_, *dm, dmu.get(), nullptr));
    EXPECT_EQ(gpu_.device().launchesOf(gpu::entry::kSetMovingSolidVelocity), 0);
    EXPECT_TRUE(test::sameCells(test::download(*du_), u));
    EXPECT_TRUE(test::sameCells(test::download(*dv_), v));
}

TEST_F(SolverKernelsTest, SolidPropertyZeroesObstacleCells) {
    const FloatGrid mask = obstacleMask(131);
    FloatGrid q(kW, kH);
    test::randomize(q, 132);
    auto dq = test::uploaded(q), dm = test::uploaded(mask);
    q.zeroInMask(mask);
    EXPECT_TRUE(kernels().CUDASetSolidProperty(*dm, *dq));
    EXPECT_TRUE(test::sameCells(test::download(*dq), q));
}

TEST_F(SolverKernelsTest, ARefusedLaunchIsLoggedByItsLauncherAndLeavesTheGrid) {
    gpu_.device().failLaunches(gpu::entry::kNegDivergence);
    FloatGrid d(kW, kH);
    test::randomize(d, 141);
    auto dd = test::uploaded(d);
    EXPECT_FALSE(kernels().CUDANegDivergence(*dd));
    EXPECT_TRUE(test::logHasLine("cuLaunchGrid returned 719"));
    EXPECT_TRUE(test::logHasLine("CUDANegDivergence: Failed to launch CUDA kernel"));
    EXPECT_TRUE(test::sameCells(test::download(*dd), d));
}

TEST_F(SolverKernelsTest, AFailedSynchronisationIsLoggedButTheLaunchStands) {
    gpu_.device().failSynchronize(cuda::CUDA_ERROR_LAUNCH_FAILED);
    DeviceGrid div;
    ASSERT_TRUE(div.resize(kW, kH, false));
    EXPECT_TRUE(kernels().CUDANegDivergence(div));
    EXPECT_TRUE(test::logHasLine("cuCtxSynchronize returned 719"));
}

}  // namespace
}  // namespace skv
