#include "engine/simulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>

#include "engine/reference_scenes.h"
#include "grid_test_support.h"
#include "platform/exception.h"
#include "test_support.h"

namespace skv {
namespace {

// A solver whose stability bound follows a script, recording the sub-steps it is asked for.
class ScriptedSolver : public FluidSolver {
  public:
    std::deque<double> bounds;  // returned by computeMaxTimeStep, in order; the last repeats
    std::vector<double> steps;  // dt of every sub-step
    int finished = 0;
    SimulationParameters params;
    FloatGrid grid;

    bool resize(uint32_t w, uint32_t h) override {
        grid.resize(w + 2, h + 2, 1, true);
        return true;
    }
    void setInputs(const SolverInputs&) override {}
    void setTimeStep(double, double) override {}
    void finishFrame(bool) override { ++finished; }
    double computeMaxTimeStep(double, ProgressSink*) override {
        const double bound = bounds.front();
        if (bounds.size() > 1) bounds.pop_front();
        return bound;
    }
    void step(double dt, bool, ProgressSink*) override { steps.push_back(dt); }
    const FloatGrid* output(int slot) const override {
        return slot == kOutputVelocityU || slot == kOutputVelocityV ? &grid : nullptr;
    }
    void reset() override {}
    double restoreFields(const FloatGrid* const*, int) override { return -1.0; }
    SimulationParameters& parameters() override { return params; }
    double advectionSeconds() const override { return 0; }
    double vorticitySeconds() const override { return 0; }
    double pressureSeconds() const override { return 0; }
    int pressureIterations() const override { return 0; }
    bool onGpu() const override { return false; }
};

class PlannerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_.resize(4, 4, true);
        auto solver = std::make_unique<ScriptedSolver>();
        solver_ = solver.get();
        sim_.setSolverForTesting(std::move(solver));
        sim_.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 10)});
        sim_.setFrameDuration(Rational(1, 10));  // frameDt = 0.1
    }
    // The sub-step sizes of the next update.
    std::vector<double> update(ProgressSink* sink) {
        solver_->steps.clear();
        sim_.update(sink);
        return solver_->steps;
    }
    std::vector<double> frame() { return update(nullptr); }
    Simulation sim_;
    ScriptedSolver* solver_ = nullptr;
};

void expectSteps(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], 1e-12) << "sub-step " << i;
}

TEST_F(PlannerTest, AStepThatCollapsesEndsTheFrameAsADivergenceInsteadOfRunningForEver) {
    EXPECT_EQ(sim_.maxSubStepsPerFrame(), 1000);  // the floor of a 4 x 4 grid
    solver_->bounds = {1e-30};  // a first frame as usual, then a velocity beyond any bound
    expectSteps(frame(), {0.1});
    EXPECT_THROW(frame(), Exception);
    EXPECT_LE(solver_->steps.size(), 1000u);
    EXPECT_EQ(sim_.frameCounter(), 1) << "the frame before is kept";
}

TEST_F(PlannerTest, AFallingBoundRedividesAtOnceAndARisingOneShrinksByOnePerDecision) {
    solver_->bounds = {0.03};  // after the first sub-step the bound allows 0.03
    // The first sub-step uses the whole frame (the bound starts at 1), which leaves nothing to
    // re-divide; the next frame is planned with 4 sub-steps.
    expectSteps(frame(), {0.1});
    expectSteps(frame(), {0.025, 0.025, 0.025, 0.025});
    EXPECT_EQ(sim_.subSteps(), 4);
    // The bound rises far above the frame: one sub-step fewer per decision, never more.
    solver_->bounds = {1.0};
    // 4 → 3 at the decision after the first sub-step: the remaining 0.075 in two.
    expectSteps(frame(), {0.025, 0.0375, 0.0375});
    while (sim_.subSteps() > 1)
        frame();
    expectSteps(frame(), {0.1});  // an ample bound: one sub-step of the whole frame
}

TEST_F(PlannerTest, ABoundFallingMidFrameRedividesOnlyTheRemainingTime) {
    solver_->bounds = {0.05};
    frame();                   // plans 2 sub-steps of 0.05 for the next frame
    solver_->bounds = {0.02};  // the bound falls after the first sub-step
    // The first sub-step is not repeated; the remaining 0.05 in steps of at most 0.02.
    expectSteps(frame(), {0.05, 0.05 / 3, 0.05 / 3, 0.05 / 3});
    EXPECT_EQ(sim_.subSteps(), 6) << "the next frames are planned with the new sub-step";
}

// A sink that refuses after a number of answers.
class Refusing : public ProgressSink {
  public:
    explicit Refusing(int allowed) : allowed_(allowed) {}
    bool report(int done, int total) override {
        reports.push_back({done, total});
        return allowed_-- > 0;
    }
    std::vector<std::pair<int, int>> reports;

  private:
    int allowed_;
};

// An abort keeps the plan and the sub-steps done; the next update finishes the same frame.
// Progress is that of the whole frame, the last report the frame done.
TEST_F(PlannerTest, AnAbortedFrameContinuesWithoutReplanningAndReportsWholeFrames) {
    solver_->bounds = {0.025};
    frame();  // next frames: 4 sub-steps of 0.025
    Refusing refuseAtOnce(0);
    EXPECT_TRUE(update(&refuseAtOnce).empty());
    EXPECT_EQ(sim_.remainingSteps(), 4);
    EXPECT_EQ(sim_.frameCounter(), 1) << "nothing stored for an unfinished frame";
    Refusing refuseAfterTwo(2);
    expectSteps(update(&refuseAfterTwo), {0.025, 0.025});
    EXPECT_EQ(sim_.stepsDone(), 2);
    EXPECT_EQ(sim_.remainingSteps(), 2);
    EXPECT_EQ(refuseAfterTwo.reports[1], std::make_pair(1, 4));
    const int framesBefore = solver_->finished;
    Refusing patient(100);
    expectSteps(update(&patient), {0.025, 0.025});
    EXPECT_EQ(patient.reports.front(), std::make_pair(2, 4));
    EXPECT_EQ(patient.reports.back().first, patient.reports.back().second);
    EXPECT_EQ(solver_->finished, framesBefore + 1);
    EXPECT_EQ(sim_.frameCounter(), 2);
}

// Frames go to the store with the channels of their sources, stamped with their time; a
// simulation continues after any cached frame from that frame's fields.
TEST(SimulationTest, FramesAreStoredAndTheSimulationResumesAfterACachedOne) {
    test::TempDir cache;  // outlives the store that writes into it
    Simulation sim;
    sim.parameters() = effectDefaultParameters();
    sim.resize(24, 24, true);
    paintReferenceScene(sim, ReferenceScene::Fire);
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    ASSERT_TRUE(sim.frameStore().openCacheDirectory(cache.path(), false, true));
    for (int f = 0; f < 6; ++f)
        sim.update(nullptr);
    EXPECT_EQ(sim.frameCounter(), 6);
    EXPECT_EQ(sim.currentTime().time, Rational(6, 24));
    FloatGrid u3, density3, u4, density4;
    {
        CacheFrameGuard frame(&sim.frameStore(), 3, true), next(&sim.frameStore(), 4, true);
        ASSERT_TRUE(frame.frame() && next.frame());
        EXPECT_EQ(frame.times().frameIndex(), 3);
        u4.copyFrom(*next.grid(5));
        density4.copyFrom(*next.grid(2));
        for (uint32_t type : {2u, 3u, 4u, 5u, 6u, 8u, 10u, 13u})  // texture, colour: no source
            ASSERT_EQ(frame.grid(type) != nullptr, type <= 6) << type;
        u3.copyFrom(*frame.grid(5));
        density3.copyFrom(*frame.grid(2));
    }
    ASSERT_TRUE(sim.resumeFromCache(3));
    EXPECT_EQ(sim.frameCounter(), 4);
    EXPECT_TRUE(sim.gridsInitialised());
    EXPECT_TRUE(test::sameBits(*sim.solver()->output(kOutputVelocityU), u3));
    EXPECT_TRUE(test::sameBits(*sim.solver()->output(kOutputDensity), density3));
    sim.update(nullptr);
    EXPECT_EQ(sim.frameCounter(), 5);
    const FloatGrid& u = *sim.solver()->output(kOutputVelocityU);
    const FloatGrid& density = *sim.solver()->output(kOutputDensity);
    // The stored rates of earlier sub-steps are not cached, so the continued frame is close to
    // the first run's, not equal to it: far closer than the frames before it are to it.
    EXPECT_LT(test::maxDifference(u, u4), 0.25f * test::maxDifference(u3, u4));
    EXPECT_LT(test::maxDifference(density, density4),
              0.25f * test::maxDifference(density3, density4));
    for (const float *cell = sim.solver()->output(kOutputVelocityV)->data(),
                     *end = cell + sim.solver()->output(kOutputVelocityV)->count();
         cell != end; ++cell)
        ASSERT_TRUE(std::isfinite(*cell));

    EXPECT_FALSE(sim.resumeFromCache(40)) << "not in the cache";
    EXPECT_EQ(sim.frameCounter(), 0);
    sim.resize(30, 24, false);
    EXPECT_FALSE(sim.resumeFromCache(2)) << "grids of another size";
    EXPECT_EQ(sim.frameCounter(), 0);
}

}  // namespace
}  // namespace skv
