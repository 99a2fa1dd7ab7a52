// The launchers of the kernel modules on the emulated device against the host, their failure
// conventions, and the embedded PTX.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cfloat>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "gpu/emulated_kernels.h"
#include "gpu/field_kernels.h"
#include "gpu/kernel_launch.h"
#include "gpu/solver_kernels.h"
#include "gpu_test_support.h"
#include "kernels/advection_cells.h"
#include "platform/exception.h"
#include "solver/advection.h"
#include "solver/forces.h"
#include "solver/projection.h"
#include "solver/sor.h"
#include "solver/vector_ops.h"
#include "test_support.h"

namespace skv {
namespace {

constexpr uint32_t kW = 37, kH = 29;  // padded sizes; rows of 148 bytes in a 512-byte pitch
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool interior(uint32_t x, uint32_t y) {
    return x >= 1 && y >= 1 && x <= kW - 2 && y <= kH - 2;
}

using Device = std::unique_ptr<DeviceGrid>;

Device up(const FloatGrid& g) {
    return test::uploaded(g);
}

FloatGrid copyOf(const FloatGrid& g) {
    FloatGrid c;
    c.copyFrom(g);
    return c;
}

// The one call of the projection: on device grids, without obstacles.
void projectOnDevice(DeviceGrid& du, DeviceGrid& dv, DeviceGrid& dp, DeviceGrid& de, DeviceGrid& dd,
                     DeviceGrid& dt, SimulationParameters& params, int& iterations) {
    double seconds = 0.0;
    project(ProjectionGrids<DeviceGrid>{.u = du, .v = dv, .e = de, .d = dd, .p = dp, .t = dt},
            ProjectionRun{.params = params, .iterations = iterations, .seconds = seconds});
}

class KernelsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKV_REQUIRE_KERNEL_MODULES();
        test::freshLog();
    }
    void TearDown() override { EXPECT_TRUE(gpu_.noMisuse()); }
    SolverKernels& solver() { return CudaState::instance().solverKernels(); }
    FieldKernels& field() { return CudaState::instance().fieldKernels(); }
    // A random grid of the current inputs; k tells the grids of one set apart.
    FloatGrid random(unsigned k, float lo = -1.0f, float hi = 1.0f) {
        FloatGrid g(kW, kH);
        test::randomize(g, seed_ * 100 + k, lo, hi);
        return g;
    }
    // Random x, y, z, velocity and pressure (bound to the solver module) and an obstacle mask,
    // on both sides; the device rows' padding holds its NaN marker, which a 2D kernel must not
    // read.
    void inputs(unsigned seed) {
        seed_ = seed;
        x_ = random(1), y_ = random(2), z_ = random(3), mask_.resize(kW, kH);
        test::randomMask(mask_, seed, 0.15f);
        for (uint32_t y = 8; y < 14; ++y)
            for (uint32_t x = 10; x < 19; ++x)
                mask_(x, y) = 1.0f;
        u_ = random(4, -1.5f, 1.5f), v_ = random(5, -1.5f, 1.5f), p_ = random(6);
        dx_ = up(x_), dy_ = up(y_), dz_ = up(z_), dm_ = up(mask_);
        du_ = up(u_), dv_ = up(v_), dp_ = up(p_);
        ASSERT_TRUE(solver().initSolverKernels(*du_, *dv_, *dp_));
    }

    test::EmulatedGpu gpu_;
    unsigned seed_ = 1;
    FloatGrid x_, y_, z_, mask_, u_, v_, p_;
    Device dx_, dy_, dz_, dm_, du_, dv_, dp_;
};

using Row = std::pair<const char*, std::function<void()>>;

// One row per launcher (several cases of one launcher share it), each on two sets of random
// inputs: what the device leaves must have the bits of what the host computes.
TEST_F(KernelsTest, EveryLauncherGivesTheBitsOfItsHostCounterpart) {
    int compared = 0;
    const auto same = [&](const char* what, const Device& device, const FloatGrid& host,
                          const test::Cells& cells = test::anyCell) {
        ++compared;
        EXPECT_TRUE(test::sameCells(test::download(*device), host, cells)) << what;
    };
    const auto ran = [&](bool launched, const char* what, const Device& device,
                         const FloatGrid& host, const test::Cells& cells = test::anyCell) {
        EXPECT_TRUE(launched) << what;
        same(what, device, host, cells);
    };
    FloatGrid want(kW, kH), zero(kW, kH);
    const Row rows[] = {
        {"axpy, ax and axpbypz",
         [&] {
             scale(want, -2.5f, x_);
             ran(field().ax(*dx_, -2.5f, *dx_), "y = a·x", dx_, want);
             z_.axpbypz(0.8125f, want, -0.3f, y_);
             ran(field().axpbypz(*dz_, 0.8125f, *dx_, -0.3f, *dy_), "z += a·x + b·y", dz_, z_);
             scaledAdd(y_, 0.37f, z_, y_);  // in place, as the pressure solve uses it
             ran(field().axpy(*dy_, 0.37f, *dz_, *dy_), "y = a·x + y", dy_, y_);
         }},
        {"setMax and setMaxGrid",
         [&] {
             for (uint64_t i = 0; i < x_.count(); ++i)
                 want[i] = std::max(y_[i], z_[i]);
             x_.setMax(0.25f);
             EXPECT_TRUE(field().setMax(*dx_, 0.25f));
             ran(field().setMaxGrid(*dy_, *dz_), "max(x, a)", dx_, x_);
             same("max(x, y)", dy_, want);
         }},
        {"clamp",
         [&] {
             x_[7] = kNaN;  // the store rule of the scalar transport takes NaN to the lower bound
             ASSERT_TRUE(dx_->upload(x_));
             const ScalarRule rule = ScalarRule::clamped(ScalarExtra::None, -0.5f, 0.5f);
             for (uint64_t i = 0; i < x_.count(); ++i)
                 want[i] = storeScalar(rule, x_[i]);
             ran(field().clamp(*dx_, -0.5f, 0.5f), "clamp", dx_, want);
         }},
        {"setMasked",
         [&] {
             x_.setMasked(y_, z_, 0.5f);
             ran(field().setMasked(*dx_, *dy_, *dz_, 0.5f), "masked", dx_, x_);
         }},
        {"clampColumns and clampRows",
         [&] {
             for (uint32_t r = 0; r < kH; ++r)
                 x_(0, r) = std::min(x_(0, r), 0.0f), x_(kW - 1, r) = std::max(x_(kW - 1, r), 0.0f);
             for (uint32_t c = 0; c < kW; ++c)
                 y_(c, 0) = std::min(y_(c, 0), 0.0f), y_(c, kH - 1) = std::max(y_(c, kH - 1), 0.0f);
             EXPECT_TRUE(field().clampColumns(*dx_));
             ran(field().clampRows(*dy_), "columns", dx_, x_);
             same("rows", dy_, y_);
         }},
        {"convolve",
         [&] {
             // 400: more taps than the grid is long, which both sides drop.
             for (const float spread : {0.3f, 4.0f, 400.0f}) {
                 std::vector<float> taps;
                 buildHeatDiffusionKernel(taps, 1.0f, spread, 1.0f);
                 FloatGrid t = random(7, 0.0f, 500.0f);
                 const size_t used = std::min<size_t>(taps.size(), std::max(kW, kH));
                 FloatGrid row(uint32_t(used), 1);
                 std::copy(taps.begin(), taps.begin() + ptrdiff_t(used), row.data());
                 Device dt = up(t), filter = up(row);
                 diffuseHeat(t, want, taps);
                 ran(field().convolve(*filter, *dt, *dz_), "heat diffusion", dt, t);
             }
         }},
        {"absMax",
         [&] {
             DeviceGrid d, scratch;
             ASSERT_TRUE(d.resize(kW, kH, true) && d.upload(x_));  // padding 0, as in the solver
             EXPECT_EQ(field().absMax(d, scratch), infinityNorm(x_));
             EXPECT_EQ(field().absMax(d), infinityNorm(x_));
             ++compared;
         }},
        {"CUDAAdvectQUICKconservative(Solid) and CUDACooling",
         [&] {
             const FloatGrid q = random(7, 0.0f, 2.0f), t = random(8, -50.0f, 900.0f);
             Device dq = up(q), dt = up(t);
             for (const bool solid : {false, true})
                 for (const float dx : {1.0f, 0.5f}) {
                     FloatGrid rate(kW, kH);
                     advectScalar(q, want, rate, u_, v_, solid ? &mask_ : nullptr, nullptr,
                                  ScalarRule::clamped(ScalarExtra::None, -FLT_MAX, FLT_MAX),
                                  1.0f / dx, 0.1f, 0.0f);
                     EXPECT_TRUE(
                         solid ? solver().CUDAAdvectQUICKconservativeSolid(*dz_, *dq, *dm_, dx)
                               : solver().CUDAAdvectQUICKconservative(*dz_, *dq, dx));
                     same("rate, 0 on border and obstacle cells", dz_, rate);
                 }
             FloatGrid rate(kW, kH);
             const ScalarRule rule = ScalarRule::temperature(1000.0f, 1000.0f, 0.05f);
             advectScalar(t, want, rate, u_, v_, nullptr, nullptr, rule, 1.0f, 0.05f, 0.0f);
             ASSERT_TRUE(solver().CUDAAdvectQUICKconservative(*dz_, *dt, 1.0f));
             ran(solver().CUDACooling(*dz_, *dt, rule.coolingTemperature, rule.cooling, rule.rdt),
                 "rate with cooling", dz_, rate, interior);
         }},
        {"CUDAAdvectQUICKvelocity(Solid)",
         [&] {
             for (const bool solid : {false, true}) {
                 // Faces that get no rate keep what they held, on both sides.
                 ASSERT_TRUE(dx_->upload(x_) && dy_->upload(y_));
                 advectVelocity(u_, v_, x_, y_, solid ? &mask_ : nullptr, 1.0f);
                 EXPECT_TRUE(solid ? solver().CUDAAdvectQUICKvelocitySolid(*dx_, *dy_, *dm_, 1.0f)
                                   : solver().CUDAAdvectQUICKvelocity(*dx_, *dy_, 1.0f));
                 same("du/dt", dx_, x_, interior);
                 same("dv/dt", dy_, y_, interior);
                 same("border", dx_, zero, [](uint32_t x, uint32_t y) {
                     return (x == 0 && y == 5) || (x == kW - 1 && y == kH - 1);
                 });
             }
         }},
        {"CUDAAdvectQUICKClamp(Solid)",
         [&] {
             // No host pass: the advective form carries a linear field exactly (QUICK and
             // first-order upwinding both are exact there) and leaves a uniform one alone.
             u_.fill(0.3f), v_.fill(-0.2f), x_.fill(0.7f);
             for (uint32_t y = 0; y < kH; ++y)
                 for (uint32_t x = 0; x < kW; ++x)
                     y_(x, y) = 0.25f * float(x) + 0.5f * float(y),
                           want(x, y) = interior(x, y) ? 0.2f * 0.5f - 0.3f * 0.25f : 0.0f;
             ASSERT_TRUE(du_->upload(u_) && dv_->upload(v_) && dx_->upload(x_) && dy_->upload(y_));
             EXPECT_TRUE(solver().CUDAAdvectQUICKClamp(*dz_, *dy_, 1.0f));
             EXPECT_LE(test::maxDifference(test::download(*dz_), want), 1e-6f);
             ran(solver().CUDAAdvectQUICKClampSolid(*dz_, *dx_, *dm_, 1.0f), "uniform", dz_, zero);
         }},
        {"CUDAaddPropertyForces",
         [&] {
             const FloatGrid t = random(7, 0.0f, 400.0f), rho = random(8, 0.0f, 1.5f);
             addBuoyancyAndGravity(x_, t, rho, 1.37f * -0.02f, 9.7f);
             ran(solver().CUDAaddPropertyForces(*dx_, *up(t), *up(rho), 1.37f * -0.02f, 9.7f),
                 "dv/dt", dx_, x_);
         }},
        {"CUDACombustOxidized and CUDACombustUnoxidized",
         [&] {
             const BurnConstants c = burnConstants(0.5f, 2.0f, 1.0f, 1000.0f, 0.04f);
             for (const bool oxidized : {true, false}) {
                 FloatGrid f = random(7, 0.0f, 1.0f), d = random(8), r = random(9, 0.0f, 1.2f),
                           t = random(10, 0.0f, 800.0f), oxygen(kW, kH);
                 const FloatGrid start = copyOf(f);
                 Device df = up(f), dd = up(d), dr = up(r), dt = up(t);
                 if (oxidized) {
                     combustOxidized(f, d, r, t, c);
                     EXPECT_TRUE(solver().CUDACombustOxidized(*df, *dd, *dr, *dt, c));
                 } else {
                     combustUnoxidized(f, d, r, t, oxygen, &mask_, c);  // fills the oxygen in
                     EXPECT_TRUE(
                         solver().CUDACombustUnoxidized(*df, *dd, *dr, *dt, *up(oxygen), c));
                     // The border burns too, with the oxygen of its neighbours inside.
                     for (uint32_t y = 0; y < kH; ++y)
                         for (uint32_t x = 0; x < kW; ++x) {
                             if (interior(x, y)) continue;
                             const float burnt = unoxidizedBurn(
                                 c, start(x, y),
                                 oxygenAroundClipped(oxygen.data(), kW, kW, kH, int(x), int(y)));
                             f(x, y) = std::max(start(x, y) - burnt, 0.0f);
                             d(x, y) = c.expansionRate * burnt;
                         }
                 }
                 const test::Cells cells = oxidized ? test::Cells(test::anyCell) : interior;
                 same("fuel", df, f);
                 same("divergence", dd, d);
                 same("density", dr, r, cells);
                 same("temperature", dt, t, cells);
             }
         }},
        {"CUDAVorticityConfinement",
         [&] {
             EXPECT_TRUE(solver().CUDAVorticityConfinement(*du_, *dv_, *dx_, *dy_, *dz_, 1.0f,
                                                           0.05f, 2.0f));
             FloatGrid hu = copyOf(u_), hv = copyOf(v_), hw(kW, kH), hfu(kW, kH), hfv(kW, kH);
             vorticityConfinement(hu, hv, hw, hfu, hfv, 1.0f, 0.05f, 2.0f);
             // The host continues the vorticity outwards, the device sets it 0 on the border and
             // adds the force from the second cell in: nothing outside 2 … W − 3, 2 … H − 3.
             same("u", du_, hu, [](uint32_t x, uint32_t y) {
                 return x >= 2 && x <= kW - 4 && y >= 2 && y <= kH - 3;
             });
             same("v", dv_, hv, [](uint32_t x, uint32_t y) {
                 return x >= 2 && x <= kW - 3 && y >= 2 && y <= kH - 4;
             });
             same("u untouched", du_, u_, [](uint32_t x, uint32_t y) {
                 return x < 2 || y < 2 || x > kW - 3 || y > kH - 3;
             });
             same("vorticity on the border", dx_, zero,
                  [](uint32_t x, uint32_t y) { return y == 0 || x == kW - 1; });
         }},
        {"CUDASORsolve2D",
         [&] {
             for (const float sigma : {0.0f, 1.0f, 2.0f}) {
                 FloatGrid p = random(7);
                 Device dp = up(p);
                 sorSweepsPlain(p, x_, 3, 1.7f, sigma);
                 ran(solver().CUDASORsolve2D(*dp, *dx_, 3, 1.7f, sigma), "pressure", dp, p);
             }
         }},
        {"CUDAPressureMatrixMul2D",
         [&] {
             x_.setBorder(0.0f);
             ASSERT_TRUE(dx_->upload(x_));
             dz_->clear();
             for (const float sigma : {0.0f, 2.0f}) {
                 pressureResidualPlain(p_, x_, want, sigma);
                 EXPECT_TRUE(solver().CUDAPressureMatrixMul2D(*dz_, sigma));
                 ran(field().axpy(*dz_, -1.0f, *dz_, *dx_), "residual", dz_, want);
             }
         }},
        {"CUDANegDivergence and CUDASubtractPressureGradient",
         [&] {
             FloatGrid u = copyOf(u_), v = copyOf(v_);
             for (uint32_t y = 1; y + 1 < kH; ++y)
                 for (uint32_t x = 1; x + 1 < kW; ++x) {
                     want(x, y) = u_(x - 1, y) - u_(x, y) + v_(x, y - 1) - v_(x, y);
                     u(x, y) = u_(x, y) - (p_(x + 1, y) - p_(x, y));
                     v(x, y) = v_(x, y) - (p_(x, y + 1) - p_(x, y));
                 }
             EXPECT_TRUE(solver().CUDANegDivergence(*dz_));
             ran(solver().CUDASubtractPressureGradient(*du_, *dv_), "negative divergence", dz_,
                 want);
             same("u", du_, u);
             same("v", dv_, v);
         }},
        {"CUDASetSolidVelocity",
         [&] {
             // Static, moving, and with one obstacle velocity grid only, which means static.
             for (const int moving : {0, 1, 2}) {
                 FloatGrid u = copyOf(u_), v = copyOf(v_);
                 Device du = up(u), dv = up(v);
                 applyObstacleVelocity(mask_, moving == 1 ? &x_ : nullptr,
                                       moving == 1 ? &y_ : nullptr, u, v);
                 const int before = gpu_.device().launchesOf(gpu::entry::kSetMovingSolidVelocity);
                 EXPECT_TRUE(solver().CUDASetSolidVelocity(*du, *dv, *dm_,
                                                           moving ? dx_.get() : nullptr,
                                                           moving == 1 ? dy_.get() : nullptr));
                 EXPECT_EQ(gpu_.device().launchesOf(gpu::entry::kSetMovingSolidVelocity) > before,
                           moving == 1);
                 same("u", du, u);
                 same("v", dv, v);
             }
         }},
        {"CUDASetSolidProperty",
         [&] {
             x_.zeroInMask(mask_);
             ran(solver().CUDASetSolidProperty(*dm_, *dx_), "property", dx_, x_);
         }},
    };
    for (const unsigned seed : {1u, 2u})
        for (const auto& [launcher, run] : rows) {
            SCOPED_TRACE(testing::Message() << launcher << ", inputs " << seed);
            inputs(seed);
            want.clear();
            const int before = compared;
            run();
            EXPECT_GT(compared, before);
        }
}

// The reduction finds the largest magnitude of every element, padding included, whatever the
// length, and never skips a NaN.
TEST(FieldReductionTest, FindsTheLargestMagnitudeOfEveryElement) {
    SKV_REQUIRE_KERNEL_MODULES();
    gpu::EmulatedDevice::Options unpadded;
    unpadded.pitchAlignment = 4;
    {
        test::EmulatedGpu gpu(true, unpadded);  // lengths of every remainder
        for (uint32_t n : {1u, 2u, 3u, 127u, 128u, 129u, 1000u, 40000u, 100003u}) {
            FloatGrid g(n, 1);
            test::randomize(g, n);
            g[n / 2] = 2.0f + float(n);
            EXPECT_EQ(CudaState::instance().fieldKernels().absMax(*test::uploaded(g)),
                      2.0f + float(n));
        }
    }
    test::EmulatedGpu gpu;
    FieldKernels& field = CudaState::instance().fieldKernels();
    DeviceGrid d;
    ASSERT_TRUE(d.resize(kW, kH, false));
    d.fill(2.0f);
    EXPECT_TRUE(field.ax(d, 1.5f, d));  // the element-wise kernels cover the padding too
    FloatGrid g(kW, kH);
    g(3, 4) = -2.5f;
    ASSERT_TRUE(d.upload(g));
    EXPECT_EQ(field.absMax(d), 3.0f) << "the padding counts among the grid's elements";
    g(1, 1) = kNaN;
    ASSERT_TRUE(d.upload(g));
    EXPECT_TRUE(std::isnan(field.absMax(d)));
    EXPECT_TRUE(gpu.noMisuse());
}

// A refused launch is logged by its launcher and changes nothing; a reduction that cannot run
// answers NaN, never 0, so that the pressure solve ends with NaN instead of mistaking a stale
// residual for convergence; a failed synchronisation is logged but the launch stands; a module
// that lacks a kernel is not kept and launches nothing.
TEST_F(KernelsTest, FailuresAreLoggedByTheirLaunchersAndChangeNothing) {
    inputs(1);
    gpu_.device().failLaunches(gpu::entry::kNegDivergence);
    EXPECT_FALSE(solver().CUDANegDivergence(*dx_));
    EXPECT_TRUE(test::logHasLine("CUDANegDivergence: Failed to launch CUDA kernel"));
    EXPECT_TRUE(test::sameCells(test::download(*dx_), x_));
    // The red half-sweep runs, the black one is refused: only red interior cells move.
    EXPECT_TRUE(solver().CUDASORsolve2D(*dp_, *dx_, 0, 1.5f, 0.0f)) << "no sweep, no launch";
    gpu_.device().failLaunches(gpu::entry::kSORPoisson2Dblack);
    EXPECT_FALSE(solver().CUDASORsolve2D(*dp_, *dx_, 1, 1.5f, 0.0f));
    EXPECT_TRUE(test::logHasLine("CUDASORsolve2D black: Failed to launch CUDA kernel"));
    const FloatGrid p = test::download(*dp_);
    EXPECT_TRUE(test::sameCells(
        p, p_, [](uint32_t x, uint32_t y) { return !interior(x, y) || (x + y) % 2 == 1; }));
    EXPECT_FALSE(test::sameCells(p, p_)) << "the red cells moved";

    gpu_.device().failLaunches(gpu::entry::kAbsMaxReduce[2]);
    DeviceGrid small;
    ASSERT_TRUE(small.resize(8, 8, true));
    EXPECT_TRUE(std::isnan(field().absMax(small)));
    gpu_.device().clearFaults();
    gpu_.device().failTransfers(cuda::CUDA_ERROR_LAUNCH_FAILED);
    EXPECT_TRUE(std::isnan(field().absMax(small)));
    EXPECT_TRUE(test::logHasLine("Failed to download reduction result"));
    uint32_t sweeps = 0;
    EXPECT_TRUE(std::isnan(solveSOR(1000, sweeps, 1e-3f, *dp_, *dx_, *dz_, 2.0f)));
    DeviceGrid wider;
    ASSERT_TRUE(wider.resize(kW + 1, kH, true));
    EXPECT_THROW(solveSOR(10, sweeps, 0.1f, *dp_, *dx_, wider, 2.0f), Exception);
    gpu_.device().clearFaults();

    gpu_.device().failSynchronize(cuda::CUDA_ERROR_LAUNCH_FAILED);
    EXPECT_TRUE(solver().CUDANegDivergence(*dz_));
    EXPECT_TRUE(test::logHasLine("cuCtxSynchronize returned 719"));
    EXPECT_TRUE(test::sameCells(test::download(*dz_), FloatGrid(kW, kH), [](uint32_t x, uint32_t) {
        return x == 0;
    })) << "the kernel ran";
    gpu_.device().clearFaults();

    const int launches = gpu_.device().counters().launches;
    FieldKernels lacking(gpu_.driver(), gpu::fieldModulePtx());
    gpu_.device().failFunctionLookup(gpu::entry::kConvolveY);
    EXPECT_TRUE(std::isnan(lacking.absMax(small)));
    EXPECT_FALSE(lacking.loaded());
    EXPECT_FALSE(lacking.setMasked(small, small, small, 0.0f));
    EXPECT_TRUE(test::logHasLine("SetMasked: Failed to initialize CUDA field kernels"));
    EXPECT_EQ(gpu_.device().counters().launches, launches);
}

// Where the solve can, the reference scenes show the device projection gives the host's bits.
TEST_F(KernelsTest, AnUnsolvableFieldEndsTheDeviceProjectionWithTheFloatingPointError) {
    inputs(1);
    FloatGrid e(kW, kH), t(kW, kH), d(kW, kH);
    e(5, 5) = kNaN;
    Device de = up(e), dt = up(t), dd = up(d);
    SimulationParameters params;
    int iterations = 0;
    try {
        projectOnDevice(*du_, *dv_, *dp_, *de, *dd, *dt, params, iterations);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.message(), "Floating point error during linear solving");
    }
    EXPECT_EQ(iterations, 0);
}

// Every name the launchers look up is in the PTX with the parameters the emulated twin takes;
// nvcc contracted no multiply-add and approximated nothing (the device computes the host's
// bits); and, where the toolkit is installed, ptxas accepts both modules for sm_90.
TEST(KernelModuleTest, TheEmbeddedPtxIsWhatTheTwinsRunAndAssembles) {
    SKV_REQUIRE_KERNEL_MODULES();
    const std::regex entry(R"(\.entry\s+([A-Za-z0-9_]+)\s*\(([^)]*)\))");
    const std::regex param(R"(\.param\s+\.(\w+))");
    const struct {
        const char* name;
        std::string_view ptx;
        std::vector<const char*> entries;
    } modules[] = {{"solver",
                    gpu::solverModulePtx(),
                    {std::begin(gpu::kSolverEntries), std::end(gpu::kSolverEntries)}},
                   {"field",
                    gpu::fieldModulePtx(),
                    {std::begin(gpu::kFieldEntries), std::end(gpu::kFieldEntries)}}};
    for (const auto& m : modules) {
        SCOPED_TRACE(m.name);
        const std::string text(m.ptx);
        std::map<std::string, std::vector<std::string>> entries;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
             it != std::sregex_iterator(); ++it) {
            const std::string list = (*it)[2];
            auto& types = entries[(*it)[1]];
            for (auto p = std::sregex_iterator(list.begin(), list.end(), param);
                 p != std::sregex_iterator(); ++p)
                types.push_back((*p)[1]);
        }
        EXPECT_EQ(entries.size(), m.entries.size()) << "the module has other kernels";
        for (const char* name : m.entries) {
            const gpu::EmulatedKernel* twin = gpu::findEmulatedKernel(name);
            ASSERT_NE(twin, nullptr) << "no emulated twin of " << name;
            std::vector<std::string> expected;
            for (gpu::ParamKind kind : twin->params)
                expected.push_back(gpu::ptxType(kind));
            EXPECT_EQ(entries[name], expected) << name;
        }
        EXPECT_EQ(text.find("fma."), std::string::npos) << "contracted multiply-add";
        EXPECT_EQ(text.find(".approx"), std::string::npos) << "approximate maths";
        EXPECT_EQ(text.find(".ftz"), std::string::npos) << "flushed denormals";
        EXPECT_NE(text.find(".target sm_75"), std::string::npos);
    }
    const std::string ptxas = SKV_PTXAS;
    if (ptxas.empty()) GTEST_SKIP() << "ptxas was not found at configure";
    test::TempDir dir;
    for (const auto& m : modules) {
        const std::string ptx = dir.file(std::string(m.name) + ".ptx");
        test::writeFile(ptx, std::string(m.ptx));
        const std::string command = "'" + ptxas + "' -arch=sm_90 -o '" + dir.file("out.cubin") +
                                    "' '" + ptx + "' > '" + dir.file("log") + "' 2>&1";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), 0) << m.name << ": " << test::readFile(dir.file("log"));
    }
}

}  // namespace
}  // namespace skv
