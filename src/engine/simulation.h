#pragma once

#include <cstdint>
#include <memory>

#include "cache/frame_store.h"
#include "grid/float_grid.h"
#include "grid/progress_sink.h"
#include "grid/rational.h"
#include "grid/simulation_parameters.h"
#include "platform/timer.h"
#include "solver/fluid_solver.h"

namespace skv {

// The engine of one effect instance: the parameter record, the input grids the host fills
// from the source layers, the frame store, and the solver (created lazily at the first
// update). update() advances exactly one output frame, in sub-steps whose size follows the
// solver's stability bound, and stores the frame in the frame store.
class Simulation : public ProgressSink {
  public:
    Simulation();
    ~Simulation() override;
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // The input grids, all of the padded size (width + 2) × (height + 2); cell (x + 1, y + 1)
    // holds pixel (x, y) of the resampled source.
    struct Inputs {
        FloatGrid velocityU, velocityV, velocityWeight;
        FloatGrid temperature, temperatureWeight;
        FloatGrid density, fuel, divergence;
        FloatGrid obstacle, obstacleU, obstacleV;
        FloatGrid red, green, blue, alpha;
    };
    // Which inputs the host filled for the current frame.
    struct SourceFlags {
        bool velocity = false, temperature = false, density = false, fuel = false;
        bool divergence = false, obstacle = false, obstacleVelocity = false, color = false;
    };

    SimulationParameters& parameters() { return params_; }
    const SimulationParameters& parameters() const { return params_; }
    BFS& frameStore() { return *store_; }
    Inputs& inputs() { return inputs_; }
    SourceFlags& sources() { return sources_; }
    bool useTexture() const { return useTexture_; }
    void setUseTexture(bool use) { useTexture_ = use; }
    // Clears the source flags of the previous frame (the grids keep their values).
    void clearSources() { sources_ = SourceFlags{}; }

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // Set by every update, cleared by the host's "restart": the host continues a simulation
    // only while this is set and the grid size is unchanged.
    bool gridsInitialised() const { return gridsInitialised_; }
    void setGridsInitialised(bool initialised) { gridsInitialised_ = initialised; }

    // Resizes the input grids (and the solver's) for width × height; a changed size clears the
    // inputs. Same size: only resets when asked, and logs nothing.
    void resize(uint32_t width, uint32_t height, bool reset);
    // Back to frame 0: solver fields, time stepping, frame store; the inputs when asked.
    void reset(bool clearInputs);

    // Time of the frame to simulate next and the length of one frame (simulation time).
    const TimeCursor& currentTime() const { return currentTime_; }
    void setCurrentTime(const TimeCursor& time) { currentTime_ = time; }
    void setFrameDuration(const Rational& duration) { frameDuration_ = duration; }
    const Rational& frameDuration() const { return frameDuration_; }
    // Frames stored since the last reset (the next frame's cache slot).
    int32_t frameCounter() const { return frameCounter_; }

    // Continues the simulation after cached frame `frameNumber` (a project reopened, or a run
    // stopped between processes): the frame's fields become the solver's state and the next
    // update computes frame `frameNumber + 1`. False, with the simulation back at frame 0,
    // when the cache does not hold the frame or its grids do not fit the current size. The
    // sub-step rates are not cached, so the first sub-step after it is taken as a first one.
    bool resumeFromCache(int32_t frameNumber);

    // Advances one frame, or finishes the frame an abort interrupted. An abort through the
    // sink returns early (logged) and the next call continues; solver exceptions (out of
    // memory, a diverging pressure solve) pass to the caller with the frame unfinished.
    void update(ProgressSink* sink);

    // Rescales a solver's partial progress into progress of the whole frame.
    bool report(int done, int total) override;

    // The solver, or null before the first update.
    FluidSolver* solver() { return solver_.get(); }
    // The most sub-steps a frame may take: a plan beyond it is a runaway, and the update ends
    // with an exception as a diverging solve does (the frames before it are kept).
    int maxSubStepsPerFrame() const;
    // The sub-step plan (for diagnostics and tests).
    int subSteps() const { return subSteps_; }
    int remainingSteps() const { return remSteps_; }
    int stepsDone() const { return stepsDone_; }
    double remainingTime() const { return remDt_; }
    double maxStep() const { return maxDt_; }

    // Lets tests drive the frame update with a solver of their own.
    void setSolverForTesting(std::unique_ptr<FluidSolver> solver);

  private:
    void ensureSolver();
    void chooseSubStep(double frameDt, double& usedDt);
    void finishFrame(double src, double str, double pro, double vel, double out);
    void storeFrame();
    SolverInputs solverInputs();

    SimulationParameters params_;
    std::unique_ptr<BFS> store_;
    bool gridsInitialised_ = false;
    SourceFlags sources_;
    bool useTexture_ = false;
    uint32_t width_ = 0, height_ = 0;
    uint32_t paddedWidth_ = 2, paddedHeight_ = 2;
    std::unique_ptr<FluidSolver> solver_;
    Inputs inputs_;

    TimeCursor currentTime_;
    Rational frameDuration_{1, 24};
    double remDt_ = 0.0;
    double maxDt_ = 1.0;
    int stepsDone_ = 0;
    int remSteps_ = 0;
    int subSteps_ = 1;
    int32_t frameCounter_ = 0;
    ProgressSink* sink_ = nullptr;
    Timer phaseTimer_;
};

}  // namespace skv
