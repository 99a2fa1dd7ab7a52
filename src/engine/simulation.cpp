#include "engine/simulation.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "gpu/cuda_state.h"
#include "platform/denormals.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/processors.h"
#include "solver/fast_solver.h"

namespace skv {

Simulation::Simulation() : store_(std::make_unique<BFS>()) {
    reset(true);
}

Simulation::~Simulation() {
    CudaContextGuard guard;  // the solver may hold device memory
    solver_.reset();
}

void Simulation::setSolverForTesting(std::unique_ptr<FluidSolver> solver) {
    solver_ = std::move(solver);
    if (solver_) {
        solver_->parameters() = params_;
        solver_->reset();
    }
}

void Simulation::resize(uint32_t width, uint32_t height, bool reset) {
    if (width == width_ && height == height_ && !inputs_.density.empty()) {
        if (reset) this->reset(true);
        return;
    }
    width_ = width;
    height_ = height;
    paddedWidth_ = width + 2;
    paddedHeight_ = height + 2;
    SKV_LOG(Info, "Simulation: resizing grids to (" << width << ", " << height << ")");
    {
        CudaContextGuard guard;
        if (solver_) solver_->resize(width, height);
    }
    try {
        for (FloatGrid* g :
             {&inputs_.velocityU, &inputs_.velocityV, &inputs_.velocityWeight, &inputs_.temperature,
              &inputs_.temperatureWeight, &inputs_.density, &inputs_.fuel, &inputs_.divergence,
              &inputs_.obstacle, &inputs_.obstacleU, &inputs_.obstacleV, &inputs_.red,
              &inputs_.green, &inputs_.blue, &inputs_.alpha})
            g->resize(paddedWidth_, paddedHeight_, 1, true);
    } catch (const std::bad_alloc&) {
        throw Exception("Failed to resize simulation grids - out of memory?");
    }
    if (reset) this->reset(true);
}

void Simulation::reset(bool clearInputs) {
    sink_ = nullptr;
    if (solver_) {
        CudaContextGuard guard;
        solver_->reset();
    }
    if (clearInputs) {
        for (FloatGrid* g :
             {&inputs_.velocityU, &inputs_.velocityV, &inputs_.velocityWeight, &inputs_.temperature,
              &inputs_.temperatureWeight, &inputs_.density, &inputs_.fuel, &inputs_.divergence,
              &inputs_.obstacle, &inputs_.obstacleU, &inputs_.obstacleV, &inputs_.red,
              &inputs_.green, &inputs_.blue, &inputs_.alpha})
            g->clear();
    }
    currentTime_.time = Rational(0, 1);
    remDt_ = 0.0;
    maxDt_ = 1.0;
    stepsDone_ = 0;
    remSteps_ = 0;
    subSteps_ = 1;
    frameCounter_ = 0;
    store_->resetBuffer(true, true);
}

bool Simulation::resumeFromCache(int32_t frameNumber) {
    CudaContextGuard guard;
    ensureSolver();
    reset(false);
    double bound = -1.0;
    {
        CacheFrameGuard frame(store_.get(), frameNumber, true);
        if (!frame.frame()) return false;
        const FloatGrid* bySlot[kOutputSlots] = {};
        const std::pair<int, uint32_t> stored[] = {
            {kOutputVelocityU, 5},   {kOutputVelocityV, 6}, {kOutputDensity, 2},
            {kOutputTemperature, 3}, {kOutputFuel, 4},      {kOutputTextureU, 8},
            {kOutputTextureV, 9},    {kOutputRed, 10},      {kOutputGreen, 11},
            {kOutputBlue, 12},       {kOutputAlpha, 13}};
        for (const auto& [slot, gridType] : stored)
            bySlot[slot] = frame.grid(gridType);
        // A frame without velocity is not a state to continue from.
        if (bySlot[kOutputVelocityU] && bySlot[kOutputVelocityV])
            bound = solver_->restoreFields(bySlot, kOutputSlots);
    }
    if (!(bound >= 0.0)) {
        solver_->reset();
        return false;
    }
    maxDt_ = bound;
    frameCounter_ = frameNumber + 1;
    gridsInitialised_ = true;
    SKV_LOG(Info, "Simulation: continuing after cached frame " << frameNumber);
    return true;
}

void Simulation::ensureSolver() {
    if (solver_) return;
    CudaContextGuard guard;
    auto solver = std::make_unique<FastSolver>();
    solver->parameters() = params_;
    solver->reset();
    if (!solver->resize(width_, height_))
        throw Exception("Failed to resize simulation grids - out of memory?");
    solver_ = std::move(solver);
}

SolverInputs Simulation::solverInputs() {
    SolverInputs in;
    if (sources_.velocity) {
        in.velocityU = &inputs_.velocityU;
        in.velocityV = &inputs_.velocityV;
        in.velocityWeight = &inputs_.velocityWeight;
    }
    if (sources_.temperature) {
        in.temperature = &inputs_.temperature;
        in.temperatureWeight = &inputs_.temperatureWeight;
    }
    if (sources_.density) in.density = &inputs_.density;
    if (sources_.fuel) in.fuel = &inputs_.fuel;
    if (sources_.divergence) in.divergence = &inputs_.divergence;
    if (sources_.obstacle) {
        in.obstacle = &inputs_.obstacle;
        if (sources_.obstacleVelocity) {
            in.obstacleU = &inputs_.obstacleU;
            in.obstacleV = &inputs_.obstacleV;
        }
    }
    if (sources_.color) {
        in.red = &inputs_.red;
        in.green = &inputs_.green;
        in.blue = &inputs_.blue;
        in.alpha = &inputs_.alpha;
    }
    return in;
}

bool Simulation::report(int done, int total) {
    const int64_t all = int64_t(stepsDone_) + remSteps_;
    const int64_t scaledTotal = int64_t(total) * all;
    const int64_t scaledDone =
        stepsDone_ >= all ? int64_t(stepsDone_) * total : int64_t(stepsDone_) * total + done;
    if (!sink_) return false;
    return sink_->report(int(std::min<int64_t>(scaledDone, INT32_MAX)),
                         int(std::min<int64_t>(scaledTotal, INT32_MAX)));
}

void Simulation::chooseSubStep(double frameDt, double& usedDt) {
    // A relative guard of a few ulps: the remaining time divided by the remaining steps may
    // round just above a bound it meets exactly, which must not add a sub-step.
    constexpr double kRounding = 1e-12;
    if (usedDt > maxDt_ * (1 + kRounding)) {
        // Counts held below the int range: a collapsing step is caught by the runaway bound,
        // not by an overflowing conversion.
        constexpr double kMostSteps = 2e9;
        remSteps_ = std::max(1, int(std::min(std::ceil(remDt_ / maxDt_), kMostSteps)));
        usedDt = remDt_ / remSteps_;
        subSteps_ = std::max(1, int(std::min(std::floor(frameDt / usedDt + 0.5), kMostSteps)));
    }
    // Try one sub-step fewer per frame.
    const int candSteps = std::max(1, subSteps_ - 1);
    const double maxUsedDt = frameDt / candSteps;
    if (maxDt_ < maxUsedDt) {
        SKV_LOG(Debug, "max_used_dt = " << maxUsedDt << " > max_dt = " << maxDt_
                                        << " with max(1,sub_steps-1) = " << candSteps);
        return;
    }
    const int minRem = std::max(1, remSteps_ - 1);
    const double candDt = remDt_ / minRem;
    if (maxDt_ < candDt || remSteps_ <= minRem) {
        SKV_LOG(Debug, "max_used_dt = " << maxUsedDt << " > max_dt = " << maxDt_
                                        << ", min_rem_steps = " << minRem
                                        << " < rem_steps = " << remSteps_);
        return;
    }
    SKV_LOG(Debug, "max_used_dt = " << maxUsedDt << ", min_rem_steps = " << minRem
                                    << " < rem_steps = " << remSteps_);
    subSteps_ = candSteps;
    remSteps_ = minRem;
    usedDt = candDt;
}

void Simulation::update(ProgressSink* sink) {
    CudaContextGuard guard;
    const FlushDenormals flushDenormals;
    const ThreadTeam team;
    ensureSolver();
    const double out = phaseTimer_.elapsed();
    phaseTimer_.restart();
    gridsInitialised_ = true;
    sink_ = sink;

    Timer local;
    double src = 0, str = 0, pro = 0, vel = 0;
    local.restart();
    solver_->setInputs(solverInputs());
    str += local.elapsed();

    const double frameDt =
        frameDuration_.den() != 0 ? frameDuration_.num() / frameDuration_.den() : 0.0;
    if (remSteps_ < 1) {
        remDt_ = frameDt;
        remSteps_ = std::max(1, subSteps_);
        stepsDone_ = 0;
    } else {
        SKV_LOG(Info, "continuing update, " << remSteps_ << " steps remaining");
    }
    double usedDt = remDt_ / remSteps_;

    for (;;) {
        if (remSteps_ < 1) {
            finishFrame(src, str, pro, vel, out);
            return;
        }
        chooseSubStep(frameDt, usedDt);
        if (stepsDone_ + remSteps_ > maxSubStepsPerFrame())
            throw Exception("Simulation diverged: a frame needs " +
                            std::to_string(stepsDone_ + remSteps_) + " sub-steps, more than the " +
                            std::to_string(maxSubStepsPerFrame()) +
                            " of a flow that crosses the grid ten times in one frame");
        if (sink_ && !sink_->report(stepsDone_, stepsDone_ + remSteps_)) {
            SKV_LOG(Info, "aborting update after " << stepsDone_ << " steps, " << remSteps_
                                                   << " remaining");
            return;
        }
        SKV_LOG(Debug, "rem_dt: " << remDt_ << " (" << remSteps_ << "), used_dt: " << usedDt << " ("
                                  << subSteps_ << "), max_dt: " << maxDt_);
        local.restart();
        solver_->parameters() = params_;
        src += local.elapsed();
        local.restart();
        solver_->setTimeStep(usedDt, frameDt);
        str += local.elapsed();
        local.restart();
        solver_->step(usedDt, useTexture_, nullptr);
        pro += local.elapsed();
        local.restart();
        maxDt_ = solver_->computeMaxTimeStep(usedDt, nullptr);
        vel += local.elapsed();
        stepsDone_ += 1;
        remSteps_ -= 1;
        remDt_ -= usedDt;
    }
}

int Simulation::maxSubStepsPerFrame() const {
    // The stability rule allows a sub-step of factor · dx / |v|max (factor 1 closed, 0.5
    // otherwise), so a frame of length T takes T·|v|max / (factor · dx) sub-steps. A flow that
    // crosses the whole grid ten times within one frame (T·|v|max = 10 · max(W, H) cells)
    // needs 10 · max(W, H) / factor of them; no source or force within the parameters' ranges
    // drives a flow that fast without diverging, so a plan beyond it is a runaway, not a
    // simulation that is merely slow. Small grids keep a floor of a thousand.
    constexpr double kGridCrossingsPerFrame = 10;
    constexpr int kFloor = 1000;
    const double factor = params_.domainOpenness == 0.0 ? 1.0 : 0.5;
    const double bound =
        std::ceil(kGridCrossingsPerFrame * double(std::max(width_, height_)) / factor);
    return std::max(kFloor, int(std::min(bound, 1e9)));
}

void Simulation::finishFrame(double src, double str, double pro, double vel, double out) {
    report(stepsDone_, stepsDone_);
    Timer local;
    solver_->finishFrame(useTexture_);
    str += local.elapsed();
    const double tot = phaseTimer_.elapsed();
    phaseTimer_.restart();
    storeFrame();
    const double sav = phaseTimer_.elapsed();
    SKV_LOG(Debug, currentTime_.frameIndex()
                       << "F"
                       << " #" << stepsDone_ << " src(" << src << ") str(" << str << ") pro(" << pro
                       << ") adv(" << solver_->advectionSeconds() << ") vor("
                       << solver_->vorticitySeconds() << ") slv(" << solver_->pressureSeconds()
                       << ") vel(" << vel << ") tot(" << tot << ") sav(" << sav << ") out(" << out
                       << ")");
    currentTime_.time = currentTime_.time + currentTime_.step;
    params_ = solver_->parameters();
    phaseTimer_.restart();
}

void Simulation::storeFrame() {
    if (!solver_) return;
    CacheWriteGuard guard(store_.get());
    CacheFrame* frame = guard.begin(frameCounter_++);
    if (!frame) return;
    const AuxVector zero{0.0f, 0.0f, 0.0f};
    const auto add = [&](int slot, uint32_t channel) {
        if (const FloatGrid* g = solver_->output(slot)) frame->addGrid(*g, channel, zero);
    };
    add(kOutputVelocityU, 5);
    add(kOutputVelocityV, 6);
    if (sources_.density || sources_.fuel) add(kOutputDensity, 2);
    if (sources_.temperature || sources_.fuel) add(kOutputTemperature, 3);
    if (sources_.fuel) add(kOutputFuel, 4);
    if (useTexture_ && solver_->output(kOutputTextureU) && solver_->output(kOutputTextureV)) {
        add(kOutputTextureU, 8);
        add(kOutputTextureV, 9);
    }
    if (sources_.color && solver_->output(kOutputRed) && solver_->output(kOutputGreen) &&
        solver_->output(kOutputBlue) && solver_->output(kOutputAlpha)) {
        add(kOutputRed, 10);
        add(kOutputGreen, 11);
        add(kOutputBlue, 12);
        add(kOutputAlpha, 13);
    }
    frame->setTimes(currentTime_);
}

}  // namespace skv
