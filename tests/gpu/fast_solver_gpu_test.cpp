// The device path of the fast solver on the emulated device: whole simulations of the engine's
// reference scenes against the CPU path, the residency of the fields, and every fall-back.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>
#include <tuple>

#include "engine/reference_scenes.h"
#include "engine/simulation.h"
#include "gpu/kernel_modules.h"
#include "gpu_test_support.h"
#include "platform/exception.h"
#include "solver/fast_solver.h"
#include "solver/vector_ops.h"
#include "test_support.h"

namespace skv {
namespace {

constexpr uint32_t kSize = 48;
constexpr int kFrames = 20;
constexpr int kU = kOutputVelocityU, kV = kOutputVelocityV, kDensity = kOutputDensity,
              kTemperature = kOutputTemperature, kFuel = kOutputFuel;

using SceneSetUp = std::function<void(Simulation&)>;

// A reference scene, with parameters changed after painting where a comparison needs it.
SceneSetUp scene(ReferenceScene s, std::function<void(SimulationParameters&)> change = nullptr) {
    return [s, change](Simulation& sim) {
        paintReferenceScene(sim, s);
        if (change) change(sim.parameters());
    };
}

// The output grids of one frame, by slot.
struct Frame {
    FloatGrid out[kOutputSlots];
    int subSteps = 0;
    const FloatGrid& operator[](int slot) const { return out[slot]; }
};

Frame frameOf(Simulation& sim) {
    Frame f;
    for (int slot = 0; slot < kOutputSlots; ++slot)
        if (const FloatGrid* g = sim.solver()->output(slot)) f.out[slot].copyFrom(*g);
    f.subSteps = sim.stepsDone();
    return f;
}

// The host solver with the device's rule for the velocity corners: the values its wall copies
// leave there (u the row next to them, v the column) instead of 0, before the stability bound
// that reads them. The host's advection reads corners, so closed domains need it.
class DeviceCornerRule : public FastSolver {
  public:
    double computeMaxTimeStep(double dt, ProgressSink* sink) override {
        FastSolver::computeMaxTimeStep(dt, sink);
        FloatGrid &u = velocityUForTesting(), &v = velocityVForTesting();
        const uint32_t w = u.width() - 1, h = u.height() - 1;
        u(0, 0) = u(0, 1), u(w, 0) = u(w, 1), u(0, h) = u(0, h - 1), u(w, h) = u(w, h - 1);
        v(0, 0) = v(1, 0), v(w, 0) = v(w - 1, 0), v(0, h) = v(1, h), v(w, h) = v(w - 1, h);
        return stabilityBound();
    }
};

// SOR for closed domains too, so that the host solves the pressure as the device does.
std::unique_ptr<Simulation> makeSimulation(const SceneSetUp& setUp, bool deviceCorners = false) {
    auto sim = std::make_unique<Simulation>();
    sim->parameters() = effectDefaultParameters();
    std::unique_ptr<FastSolver> solver(deviceCorners ? new DeviceCornerRule : new FastSolver);
    solver->setUseMultigrid(false);
    sim->setSolverForTesting(std::move(solver));
    sim->resize(kSize, kSize, true);
    setUp(*sim);
    sim->setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim->setFrameDuration(Rational(1, 24));
    return sim;
}

FastSolver& fastSolver(Simulation& sim) {
    return static_cast<FastSolver&>(*sim.solver());
}

// The frames of a scene simulated on the CPU (CUDA off while it runs).
std::vector<Frame> cpuFrames(const SceneSetUp& setUp, int frames, bool deviceCorners = false) {
    const bool enabled = CudaState::instance().enabled();
    setCudaEnabled(false);
    auto sim = makeSimulation(setUp, deviceCorners);
    std::vector<Frame> out;
    for (int f = 0; f < frames; ++f) {
        sim->update(nullptr);
        EXPECT_FALSE(sim->solver()->onGpu());
        out.push_back(frameOf(*sim));
    }
    setCudaEnabled(enabled);
    return out;
}

// The four corners of a velocity grid of the given padded size are left out.
test::Cells notCorner(uint32_t w = kSize + 2, uint32_t h = kSize + 2) {
    return [w, h](uint32_t x, uint32_t y) {
        return !((x == 0 || x == w - 1) && (y == 0 || y == h - 1));
    };
}

// Every device grid's row padding holds 0: the residual norm of the pressure solve covers it.
::testing::AssertionResult paddingIsZero(const FastSolver& solver) {
    for (const DeviceGrid* g : solver.deviceGridsForTesting())
        for (uint32_t y = 0; y < g->height(); ++y)
            for (uint64_t x = g->width(); x < g->rowLength(); ++x)
                if (test::rowOf(*g, y)[x] != 0.0f)
                    return ::testing::AssertionFailure() << "padding (" << x << ", " << y << ")";
    return ::testing::AssertionSuccess();
}

struct SceneRow {
    const char* name;
    SceneSetUp setUp;
    bool closed;  // against the host with the device's corner rule, corners included
};

// Frame after frame, the same sub-steps and fields as the host: open domains but for the
// velocity corners, closed ones against the host with the device's corner rule. On the
// emulated device, whose memory can be read, the padding stays 0 throughout.
void expectTheCpuPathsNumbers(const std::vector<SceneRow>& rows, bool emulated) {
    for (const SceneRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<Frame> cpu = cpuFrames(row.setUp, kFrames, row.closed);
        auto sim = makeSimulation(row.setUp);
        ASSERT_TRUE(fastSolver(*sim).gpuReady());
        const test::Cells velocity = row.closed ? test::Cells(test::anyCell) : notCorner();
        for (int f = 0; f < kFrames; ++f) {
            SCOPED_TRACE(testing::Message() << "frame " << f);
            sim->update(nullptr);
            ASSERT_TRUE(sim->solver()->onGpu());
            const Frame gpu = frameOf(*sim);
            const Frame& want = cpu[size_t(f)];
            ASSERT_EQ(gpu.subSteps, want.subSteps);
            for (const int slot : {kU, kV, kDensity, kTemperature, kFuel})
                ASSERT_TRUE(test::sameCells(gpu[slot], want[slot],
                                            slot == kU || slot == kV ? velocity : test::anyCell))
                    << "slot " << slot;
            ASSERT_TRUE(!emulated || paddingIsZero(fastSolver(*sim)));
        }
        EXPECT_TRUE(isCudaActive());
    }
}

// The fire without vorticity confinement, whose border rule differs (see below).
const std::vector<SceneRow> kParityScenes = {
    {"plume-open", scene(ReferenceScene::OpenPlume), false},
    {"fire", scene(ReferenceScene::Fire, [](SimulationParameters& p) { p.vorticity = 0; }), false},
    {"oxidized fire", scene(ReferenceScene::OxidizedFire), false},
    {"painted plume", scene(ReferenceScene::PaintedPlume), false},
    {"plume-closed", scene(ReferenceScene::ClosedPlume), true},
    {"box", scene(ReferenceScene::Box), true},
    {"moving box", scene(ReferenceScene::MovingBox), true},
};

class FastSolverGpuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKV_REQUIRE_KERNEL_MODULES();
        test::freshLog();
    }
    void TearDown() override { EXPECT_TRUE(gpu_.noMisuse()); }
    test::EmulatedGpu gpu_{false};  // the simulation's entry points hold their own guards
};

TEST_F(FastSolverGpuTest, ReferenceScenesGiveTheNumbersOfTheCpuPathFor20Frames) {
    expectTheCpuPathsNumbers(kParityScenes, true);
    EXPECT_FALSE(test::logContains("falling back"));
}

double total(const FloatGrid& g) {
    return std::accumulate(g.data(), g.data() + g.count(), 0.0);
}

// With confinement the border rules differ (see the kernel table); the force left out lives on
// the ring next to the walls, and after 20 frames the fields agree to 1e-2 of the largest speed
// and 1e-3 of the largest scalar, far below what a wrong operation anywhere would leave.
TEST_F(FastSolverGpuTest, TheFireWithConfinementStaysCloseToTheCpuPath) {
    const SceneSetUp fire = scene(ReferenceScene::Fire);
    const std::vector<Frame> cpu = cpuFrames(fire, kFrames);
    auto sim = makeSimulation(fire);
    ASSERT_GT(sim->parameters().vorticity, 0.0);
    float worst[kOutputSlots] = {};
    for (int f = 0; f < kFrames; ++f) {
        sim->update(nullptr);
        ASSERT_TRUE(sim->solver()->onGpu());
        const Frame gpu = frameOf(*sim);
        for (const int slot : {kU, kV, kDensity, kTemperature, kFuel})
            worst[slot] =
                std::max(worst[slot], test::maxDifference(gpu[slot], cpu[size_t(f)][slot]) /
                                          std::max(infinityNorm(cpu[size_t(f)][slot]), 1e-30f));
    }
    EXPECT_GT(worst[kU] + worst[kV], 0.0) << "the border rules differ, so the velocities do";
    EXPECT_LT(std::max(worst[kU], worst[kV]), 1e-2);
    EXPECT_LT(std::max({worst[kDensity], worst[kTemperature], worst[kFuel]}), 1e-3);
}

// Every failure of the set-up: logged once, CUDA off for the rest of the run (another simulation
// does not try again), the memory given back, and the CPU path's frames.
TEST_F(FastSolverGpuTest, EveryFailureOfTheSetUpFallsBackToTheCpu) {
    const std::string memory = "Failed to allocate enough GPU memory",
                      kernels = "Failed to initialize CUDA kernels";
    using D = gpu::EmulatedDevice;
    const std::tuple<std::function<void(D&)>, std::string, const char*> cases[] = {
        {[](D& d) { d.failAllocationsAfter(7); }, memory, "cuMemAllocPitch returned 2"},
        {[](D& d) { d.setCapacity(512 * 50 * 20); }, memory, "cuMemAllocPitch returned 2"},
        {[](D& d) { d.failModuleLoads(cuda::CUDA_ERROR_INVALID_IMAGE); }, kernels,
         "cuModuleLoadData returned 200"},
        {[](D& d) { d.failFunctionLookup(gpu::entry::kAdvectQUICKClampSolid); }, kernels,
         "cuModuleGetFunction returned 500"},
        {[](D& d) { d.failFunctionLookup(gpu::entry::kAbsMaxReduce[9]); }, kernels,
         "cuModuleGetFunction returned 500"},
        // 31 grids and the heat-diffusion taps fit; the reduction's scratch does not.
        {[](D& d) { d.failAllocationsAfter(32); }, kernels, "cuMemAllocPitch returned 2"},
    };
    const SceneSetUp plume = scene(ReferenceScene::OpenPlume);
    const std::vector<Frame> cpu = cpuFrames(plume, 3);
    for (const auto& [fault, reason, cause] : cases) {
        SCOPED_TRACE(cause);
        const std::string line = reason + " - falling back to CPU simulation";
        test::freshLog();
        gpu_.device().clearFaults();
        gpu_.device().setCapacity(uint64_t(1) << 30);
        setCudaEnabled(true);
        fault(gpu_.device());
        auto sim = makeSimulation(plume);
        EXPECT_FALSE(fastSolver(*sim).gpuReady() || isCudaActive());
        EXPECT_EQ(gpu_.device().liveAllocations(), 0u);
        for (int f = 0; f < 3; ++f) {
            sim->update(nullptr);
            EXPECT_FALSE(sim->solver()->onGpu());
            const Frame frame = frameOf(*sim);
            EXPECT_TRUE(test::sameCells(frame[kU], cpu[size_t(f)][kU]));
            EXPECT_TRUE(test::sameCells(frame[kDensity], cpu[size_t(f)][kDensity]));
        }
        EXPECT_TRUE(test::logHasLine(cause));
        const int allocations = gpu_.device().counters().allocations;
        auto other = makeSimulation(plume);
        other->update(nullptr);
        EXPECT_FALSE(other->solver()->onGpu());
        EXPECT_EQ(gpu_.device().counters().allocations, allocations);
        EXPECT_EQ(test::logCount(line), 1);
    }
}

// A solver created while CUDA was off sets the device up at its first sub-step with CUDA on;
// when that fails, the same frame is finished on the CPU.
TEST_F(FastSolverGpuTest, ALateSetUpThatFailsFinishesTheFrameOnTheCpu) {
    const SceneSetUp plume = scene(ReferenceScene::OpenPlume);
    const std::vector<Frame> cpu = cpuFrames(plume, 2);
    setCudaEnabled(false);
    auto sim = makeSimulation(plume);
    sim->update(nullptr);
    EXPECT_EQ(gpu_.device().counters().allocations, 0);
    setCudaEnabled(true);
    gpu_.device().failAllocationsAfter(3);
    sim->update(nullptr);
    EXPECT_FALSE(sim->solver()->onGpu() || isCudaActive());
    for (const int slot : {kU, kV, kDensity, kTemperature})
        EXPECT_TRUE(test::sameCells(frameOf(*sim)[slot], cpu[1][slot])) << slot;
    EXPECT_EQ(
        test::logCount("Failed to allocate enough GPU memory - falling back to CPU simulation"), 1);
}

// A resize while CUDA is off (between runs) leaves device grids of the old size behind: the
// next frame with CUDA sets the device up again for the new size and carries on from the
// fields the host computed meanwhile.
TEST_F(FastSolverGpuTest, AResizeWithoutCudaIsFollowedByAFreshSetUpFromTheHostsFields) {
    const SceneSetUp small = [](Simulation& s) {
        s.resize(30, 26, true);
        paintReferenceScene(s, ReferenceScene::OxidizedFire);
    };
    const std::vector<Frame> cpu = cpuFrames(small, 5);
    auto sim = makeSimulation(scene(ReferenceScene::OpenPlume));
    for (int f = 0; f < 2; ++f)
        sim->update(nullptr);
    ASSERT_TRUE(sim->solver()->onGpu());
    setCudaEnabled(false);
    small(*sim);
    for (int f = 0; f < 5; ++f) {
        setCudaEnabled(f >= 2);
        sim->update(nullptr);
        ASSERT_EQ(sim->solver()->onGpu(), f >= 2);
        const Frame gpu = frameOf(*sim);
        for (const int slot : {kU, kDensity, kTemperature})
            ASSERT_TRUE(test::sameCells(gpu[slot], cpu[size_t(f)][slot], notCorner(32, 28))) << f;
    }
    for (const DeviceGrid* g : fastSolver(*sim).deviceGridsForTesting())
        ASSERT_EQ(g->width(), 32u);
}

// Two effect instances in one process: each solver's kernels read its own velocity and
// pressure, although the module is one for the process.
TEST_F(FastSolverGpuTest, TwoSolversKeepTheirOwnGridsBound) {
    const SceneSetUp a = scene(ReferenceScene::OpenPlume), b = scene(ReferenceScene::OxidizedFire);
    const std::vector<Frame> cpuA = cpuFrames(a, 4), cpuB = cpuFrames(b, 4);
    auto simA = makeSimulation(a), simB = makeSimulation(b);
    for (int f = 0; f < 4; ++f) {
        simA->update(nullptr);
        simB->update(nullptr);
        ASSERT_TRUE(test::sameCells(frameOf(*simA)[kV], cpuA[size_t(f)][kV], notCorner())) << f;
        ASSERT_TRUE(test::sameCells(frameOf(*simB)[kV], cpuB[size_t(f)][kV], notCorner())) << f;
    }
}

// The fields live on the device: a frame's end downloads the outputs that have inputs (only
// those are read), and a reset fills the texture coordinates on the device too.
TEST_F(FastSolverGpuTest, TheFieldsLiveOnTheDeviceAndOnlyThoseWithInputsComeBack) {
    CudaContextGuard guard;
    FastSolver solver;
    solver.parameters() = effectDefaultParameters();
    ASSERT_TRUE(solver.resize(20, 20));
    ASSERT_TRUE(solver.gpuReady());
    FloatGrid density(22, 22), temperature(22, 22);
    paintDisc(density, 10, 15, 3, 1.0f);
    SolverInputs in;
    in.density = &density;
    solver.setInputs(in);
    solver.step(0.04, false, nullptr);
    solver.computeMaxTimeStep(0.04, nullptr);
    // A mark in the device temperature that no download may bring over.
    test::rowOf(*solver.deviceOutputForTesting(kTemperature), 5)[5] = 123.0f;
    EXPECT_EQ(total(solver.density()), 0.0) << "not yet downloaded";
    solver.finishFrame(false);
    EXPECT_GT(total(solver.density()), 0.0);
    EXPECT_EQ(solver.temperature()(5, 5), 0.0f);
    in.temperature = &temperature;
    solver.setInputs(in);
    solver.finishFrame(false);
    EXPECT_EQ(solver.temperature()(5, 5), 123.0f);

    ASSERT_TRUE(solver.resize(5, 3));
    solver.reset();
    const FloatGrid tu = test::download(*solver.deviceOutputForTesting(kOutputTextureU));
    const FloatGrid tv = test::download(*solver.deviceOutputForTesting(kOutputTextureV));
    EXPECT_EQ(std::vector<float>({tu(1, 1), tu(5, 2), tv(3, 1), tv(3, 3), tu(0, 0)}),
              std::vector<float>({0.0f, 1.0f, 0.0f, 1.0f, 0.0f}))
        << "0 … 1 across the interior, the border 0";
    EXPECT_TRUE(test::sameCells(tu, *solver.output(kOutputTextureU)));
}

// A kernel that does not run makes that sub-step wrong, not the run.
TEST_F(FastSolverGpuTest, LaunchAndSynchronisationFailuresAreLoggedAndTheRunGoesOn) {
    auto sim = makeSimulation(scene(ReferenceScene::OpenPlume));
    gpu_.device().failLaunches(gpu::entry::kAddPropertyForces);
    gpu_.device().failSynchronize(cuda::CUDA_ERROR_LAUNCH_FAILED);
    for (int f = 0; f < 3; ++f)
        sim->update(nullptr);
    EXPECT_TRUE(sim->solver()->onGpu() && isCudaActive());
    EXPECT_GE(test::logCount("CUDAaddPropertyForces: Failed to launch CUDA kernel"), 3);
    EXPECT_TRUE(test::logHasLine("cuCtxSynchronize returned 719"));
    EXPECT_FALSE(test::logContains("falling back"));
    EXPECT_LT(std::fabs(frameOf(*sim)[kV](24, 30)), 1e-3f) << "nothing lifted the plume";
}

// A transfer that fails never passes off older fields as the frame's: the frame fails (the
// pressure solve cannot read its norm back, or the fields cannot come back), and the host keeps
// the last frame it received.
TEST_F(FastSolverGpuTest, FailedTransfersFailTheFrameInsteadOfStoringStaleFields) {
    auto sim = makeSimulation(scene(ReferenceScene::OpenPlume));
    sim->update(nullptr);
    ASSERT_TRUE(sim->solver()->onGpu());
    const float before = frameOf(*sim)[kV](24, 30);
    gpu_.device().failTransfers(cuda::CUDA_ERROR_LAUNCH_FAILED);
    EXPECT_THROW(sim->update(nullptr), Exception);
    CudaContextGuard guard;
    try {
        fastSolver(*sim).finishFrame(false);
        ADD_FAILURE() << "the frame's fields were taken as read";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Failed to read the simulation back from the GPU");
    }
    gpu_.device().clearFaults();
    EXPECT_EQ(frameOf(*sim)[kV](24, 30), before);
}

// The same parity on a real device, where there is one.
TEST(RealDeviceParityTest, ReferenceScenesGiveTheNumbersOfTheCpuPath) {
    SKV_REQUIRE_KERNEL_MODULES();
    if (!cuda::systemCudaDriver().loaded)
        GTEST_SKIP() << "no CUDA driver here: " << cuda::systemCudaDriver().failure;
    CudaState::setInstance(std::make_unique<CudaState>(cuda::systemCudaDriver()));
    if (CudaState::instance().available()) {
        setCudaEnabled(true);
        expectTheCpuPathsNumbers(kParityScenes, false);
    }
    const bool ran = CudaState::instance().available();
    CudaState::setInstance(nullptr);
    if (!ran) GTEST_SKIP() << "the CUDA driver found no device";
}

}  // namespace
}  // namespace skv
