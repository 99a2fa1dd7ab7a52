#pragma once

#include <memory>
#include <vector>

#include "engine/fluid_solver.h"
#include "solver/multigrid.h"

namespace skv {

// The grid solver of the simulation. One sub-step: step() transports and updates the scalar
// fields (fuel with combustion, divergence, density, temperature, texture coordinates,
// colour); computeMaxTimeStep() advances the velocity (advection, sources, buoyancy and
// gravity, second-order Adams–Bashforth, vorticity confinement, pressure projection) and
// returns the stability bound of the next sub-step.
//
// Fields live on the padded grid; velocity is staggered (u between a cell and its right
// neighbour, v between a cell and the next row); temperatures in degrees Celsius. Every grid is
// allocated by resize(): a sub-step allocates nothing.
class FastSolver : public FluidSolver, public ProgressSink {
public:
    FastSolver();
    ~FastSolver() override;

    bool resize(uint32_t width, uint32_t height) override;
    void setInputs(const SolverInputs& inputs) override;
    void setTimeStep(double, double) override {}
    void finishFrame(bool useTexture) override;
    double computeMaxTimeStep(double dt, ProgressSink* sink) override;
    void step(double dt, bool useTexture, ProgressSink* sink) override;
    const FloatGrid* output(int slot) const override;
    void reset() override;

    SimulationParameters& parameters() override { return params_; }
    double advectionSeconds() const override { return advectionSeconds_; }
    double vorticitySeconds() const override { return vorticitySeconds_; }
    double pressureSeconds() const override { return pressureSeconds_; }
    int pressureIterations() const override { return iterations_; }
    bool onGpu() const override { return false; }

    // Forwards to the sink of the current call. Without one the solve goes on: a pressure
    // solve inside a sub-step is never interrupted halfway.
    bool report(int done, int total) override;

    // The largest stable sub-step for the current velocity: factor · dx / |v|max, with the
    // factor 1 for a closed domain and 0.5 otherwise; +infinity with no motion.
    double stabilityBound() const;

    // Read access to the fields (tests, diagnostics).
    const FloatGrid& velocityU() const { return u_; }
    const FloatGrid& velocityV() const { return v_; }
    const FloatGrid& density() const { return density_; }
    const FloatGrid& temperature() const { return temperature_; }
    const FloatGrid& fuel() const { return fuel_; }
    const FloatGrid& divergence() const { return divergence_; }
    const FloatGrid& pressure() const { return pressure_; }
    FloatGrid& velocityUForTesting() { return u_; }
    FloatGrid& velocityVForTesting() { return v_; }
    FloatGrid& densityForTesting() { return density_; }

private:
    void fillTextureCoordinates();

    SimulationParameters params_;
    uint32_t width_ = 0, height_ = 0;
    SolverInputs inputs_;
    double advectionSeconds_ = 0, vorticitySeconds_ = 0, pressureSeconds_ = 0;
    double dtPrev_ = 0;
    ProgressSink* sink_ = nullptr;
    int iterations_ = 1;
    bool obstacleChanged_ = true;

    // Velocity and its time derivatives of this and of the previous sub-step.
    FloatGrid u_, v_, dudt_, dvdt_, dudtPrev_, dvdtPrev_;
    // Pressure solve: pressure, negative divergence, residual; the expansion field.
    FloatGrid pressure_, negDivergence_, residual_, divergence_;
    // Scalars and the rates of their previous sub-step.
    FloatGrid fuel_, density_, temperature_, textureU_, textureV_;
    FloatGrid fuelRate_, densityRate_, temperatureRate_, textureURate_, textureVRate_;
    FloatGrid red_, green_, blue_, alpha_;
    // Scratch: advection target, oxygen, departure points, vorticity and its force.
    FloatGrid scratch_, oxygen_, departureX_, departureY_, vorticity_, forceU_, forceV_;

    std::vector<float> heatKernel_;
    double heatKernelDt_ = -1, heatKernelDiffusion_ = -1;
    std::unique_ptr<MultigridSolver> multigrid_;
};

}  // namespace skv
