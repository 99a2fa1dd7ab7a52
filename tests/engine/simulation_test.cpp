#include "engine/simulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>

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

    bool resize(uint32_t w, uint32_t h) override {
        grid_.resize(w + 2, h + 2, 1, true);
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
        return slot == kOutputVelocityU || slot == kOutputVelocityV ? &grid_ : nullptr;
    }
    void reset() override {}
    double restoreFields(const FloatGrid* const*, int) override { return -1.0; }
    SimulationParameters& parameters() override { return params_; }
    double advectionSeconds() const override { return 0; }
    double vorticitySeconds() const override { return 0; }
    double pressureSeconds() const override { return 0; }
    int pressureIterations() const override { return 0; }
    bool onGpu() const override { return false; }

private:
    SimulationParameters params_;
    FloatGrid grid_;
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
    // The sub-step sizes of the next frame.
    std::vector<double> frame() {
        solver_->steps.clear();
        sim_.update(nullptr);
        return solver_->steps;
    }
    Simulation sim_;
    ScriptedSolver* solver_ = nullptr;
};

void expectSteps(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12) << "sub-step " << i;
}

TEST_F(PlannerTest, AStepThatCollapsesEndsTheFrameAsADivergenceInsteadOfRunningForEver) {
    EXPECT_EQ(sim_.maxSubStepsPerFrame(), 1000);  // the floor of a 4 x 4 grid
    solver_->bounds = {1e-30};  // a first frame as usual, then a velocity beyond any bound
    expectSteps(frame(), {0.1});
    try {
        frame();
        ADD_FAILURE() << "a runaway plan ran";
    } catch (const Exception& e) {
        EXPECT_NE(e.message().find("sub-steps, more than the 1000"), std::string::npos) << e.message();
    }
    EXPECT_LE(solver_->steps.size(), 1000u);
    EXPECT_EQ(sim_.frameCounter(), 1) << "the frame before is kept";
}

TEST_F(PlannerTest, AnAmpleBoundGivesOneSubStepOfTheWholeFrame) {
    solver_->bounds = {1.0};
    expectSteps(frame(), {0.1});
    expectSteps(frame(), {0.1});
    EXPECT_EQ(sim_.subSteps(), 1);
}

TEST_F(PlannerTest, AFallingBoundRedividesAtOnceAndARisingOneShrinksByOnePerDecision) {
    solver_->bounds = {0.03};  // after the first sub-step the bound allows 0.03
    // The first sub-step uses the whole frame (max_dt starts at 1), the rest is re-divided:
    // 0.1 − 0.1 = 0 left... so the frame is done; the next frame is planned with 4 sub-steps.
    expectSteps(frame(), {0.1});
    expectSteps(frame(), {0.025, 0.025, 0.025, 0.025});
    EXPECT_EQ(sim_.subSteps(), 4);
    // The bound rises far above the frame: one sub-step fewer per decision, never more.
    solver_->bounds = {1.0};
    const std::vector<double> next = frame();
    EXPECT_EQ(next.size(), 3u) << "4 → 3 at the first decision, then the count of the plan holds";
    double sum = 0;
    for (double dt : next) sum += dt;
    EXPECT_NEAR(sum, 0.1, 1e-12);
    EXPECT_LE(sim_.subSteps(), 3);
    while (sim_.subSteps() > 1) frame();
    expectSteps(frame(), {0.1});
}

TEST_F(PlannerTest, ABoundFallingMidFrameRedividesOnlyTheRemainingTime) {
    solver_->bounds = {0.05};
    frame();                                  // plans 2 sub-steps of 0.05 for the next frame
    solver_->bounds = {0.02};  // the bound falls after the first sub-step
    const std::vector<double> steps = frame();
    ASSERT_GE(steps.size(), 2u);
    EXPECT_NEAR(steps[0], 0.05, 1e-12);  // not repeated
    for (size_t i = 1; i < steps.size(); ++i) EXPECT_NEAR(steps[i], 0.05 / double(steps.size() - 1), 1e-12);
    EXPECT_EQ(steps.size(), 4u);  // the remaining 0.05 in steps of at most 0.02: 3 of them
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

TEST_F(PlannerTest, AnAbortedFrameContinuesWithoutReplanning) {
    solver_->bounds = {0.025};
    frame();  // next frames: 4 sub-steps of 0.025
    Refusing refuseAtOnce(0);
    solver_->steps.clear();
    sim_.update(&refuseAtOnce);
    EXPECT_TRUE(solver_->steps.empty());
    EXPECT_EQ(sim_.stepsDone(), 0);
    EXPECT_EQ(sim_.remainingSteps(), 4);
    EXPECT_EQ(sim_.frameCounter(), 1) << "nothing stored for an unfinished frame";

    Refusing refuseAfterTwo(2);
    sim_.update(&refuseAfterTwo);
    expectSteps(solver_->steps, {0.025, 0.025});
    EXPECT_EQ(sim_.stepsDone(), 2);
    EXPECT_EQ(sim_.remainingSteps(), 2);
    const int framesBefore = solver_->finished;
    sim_.update(nullptr);
    for (double d : solver_->steps) std::fprintf(stderr, "after %.17g\n", d);  // finishes the same frame: the remaining half
    expectSteps(solver_->steps, {0.025, 0.025, 0.025, 0.025});
    EXPECT_EQ(solver_->finished, framesBefore + 1);
    EXPECT_EQ(sim_.frameCounter(), 2);
}

TEST_F(PlannerTest, ReportRescalesPartialProgressToTheWholeFrame) {
    solver_->bounds = {0.025};
    frame();
    Refusing sink(100);
    sim_.update(&sink);
    // Reports before each of the 4 sub-steps, then the whole frame as done.
    ASSERT_GE(sink.reports.size(), 5u);
    EXPECT_EQ(sink.reports[0], std::make_pair(0, 4));
    EXPECT_EQ(sink.reports[3], std::make_pair(3, 4));
    EXPECT_EQ(sink.reports.back().first, sink.reports.back().second);
}

TEST(SimulationTest, ResizeEdgeCases) {
    test::freshLog();
    Simulation sim;
    sim.resize(0, 0, false);
    EXPECT_EQ(sim.inputs().density.width(), 2u);
    EXPECT_EQ(sim.inputs().density.height(), 2u);
    sim.resize(8, 6, false);
    EXPECT_TRUE(test::logHasLine("Simulation: resizing grids to (8, 6)"));
    sim.inputs().density(3, 3) = 1.0f;
    test::freshLog();
    sim.resize(8, 6, false);
    EXPECT_FALSE(test::logContains("Simulation: resizing")) << "the same size does nothing";
    EXPECT_EQ(sim.inputs().density(3, 3), 1.0f);
    sim.resize(8, 6, true);
    EXPECT_EQ(sim.inputs().density(3, 3), 0.0f) << "a reset clears the inputs";
}

TEST(SimulationTest, FramesGoToTheStoreWithTheirChannels) {
    Simulation sim;
    sim.resize(16, 12, true);
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    sim.inputs().fuel(8, 10) = 1.0f;
    sim.sources().fuel = true;
    sim.update(nullptr);
    sim.update(nullptr);
    EXPECT_EQ(sim.frameCounter(), 2);
    CacheFrameGuard frame(&sim.frameStore(), 1, true);
    ASSERT_NE(frame.frame(), nullptr);
    for (uint32_t type : {2u, 3u, 4u, 5u, 6u}) EXPECT_NE(frame.grid(type), nullptr) << type;
    for (uint32_t type : {8u, 10u, 13u}) EXPECT_EQ(frame.grid(type), nullptr) << type;
    EXPECT_EQ(frame.times().frameIndex(), 1);
    EXPECT_EQ(frame.grid(2)->width(), 18u);
}

}  // namespace
}  // namespace skv
