#pragma once

#include <cstdint>

#include "grid/float_grid.h"
#include "grid/progress_sink.h"
#include "grid/simulation_parameters.h"

namespace skv {

// The input grids of one frame, as the host filled them from the source layers; null where a
// source is absent. All have the padded size.
struct SolverInputs {
    const FloatGrid* velocityU = nullptr;  // velocity source, cells per unit time
    const FloatGrid* velocityV = nullptr;
    const FloatGrid* velocityWeight = nullptr;  // > 0.5 where the source applies
    const FloatGrid* temperature = nullptr;     // degrees Celsius
    const FloatGrid* temperatureWeight = nullptr;
    const FloatGrid* density = nullptr;
    const FloatGrid* fuel = nullptr;
    const FloatGrid* divergence = nullptr;  // expansion per unit time
    const FloatGrid* obstacle = nullptr;    // 1 inside an obstacle, 0 outside
    const FloatGrid* obstacleU = nullptr;   // obstacle velocity (with the mask only)
    const FloatGrid* obstacleV = nullptr;
    const FloatGrid* red = nullptr;  // colour source, with its alpha
    const FloatGrid* green = nullptr;
    const FloatGrid* blue = nullptr;
    const FloatGrid* alpha = nullptr;

    bool hasColor() const { return red && green && blue && alpha; }
};

// The output grids a solver exposes, by the accessor slots of the solver interface.
enum SolverOutput : int {
    kOutputVelocityU = 7,
    kOutputVelocityV = 8,
    kOutputTemperature = 16,
    kOutputDensity = 17,
    kOutputFuel = 18,
    kOutputTextureU = 21,
    kOutputTextureV = 22,
    kOutputRed = 23,
    kOutputGreen = 24,
    kOutputBlue = 25,
    kOutputAlpha = 26,
    kOutputSlots = 27,  // one past the largest slot
};

// A grid solver of the simulation. One sub-step is step() (scalars) then
// computeMaxTimeStep() (velocity, projection, next stable step).
class FluidSolver {
  public:
    virtual ~FluidSolver() = default;
    // Sizes every grid for a simulation of width × height (padded by one cell each side);
    // false when memory runs out.
    virtual bool resize(uint32_t width, uint32_t height) = 0;
    // Remembers the inputs of the frame and zeroes the timing accumulators.
    virtual void setInputs(const SolverInputs& inputs) = 0;
    virtual void setTimeStep(double dt, double frameDt) = 0;
    // Makes the output grids current on the host.
    virtual void finishFrame(bool useTexture) = 0;
    // Advances the velocity by dt and returns the largest stable next step.
    virtual double computeMaxTimeStep(double dt, ProgressSink* sink) = 0;
    // Advances every scalar field by dt.
    virtual void step(double dt, bool useTexture, ProgressSink* sink) = 0;
    // An output grid (SolverOutput slots), or null for slots the solver does not have.
    virtual const FloatGrid* output(int slot) const = 0;
    // Clears all fields to their initial state.
    virtual void reset() = 0;
    // Continues from stored fields instead of the initial state: `bySlot[s]` is the grid of
    // output slot s (null where the store has none: that field stays as reset() left it). The
    // rates of earlier sub-steps are not stored, so the next sub-step starts as a first one
    // does. Returns the stability bound of the restored velocity (as computeMaxTimeStep does),
    // or a negative value, with the state reset, when a grid does not fit the solver's size.
    virtual double restoreFields(const FloatGrid* const* bySlot, int slots) = 0;

    // The parameter record the solver works with, copied in before every sub-step.
    virtual SimulationParameters& parameters() = 0;
    // Seconds spent since the last setInputs, by phase.
    virtual double advectionSeconds() const = 0;
    virtual double vorticitySeconds() const = 0;
    virtual double pressureSeconds() const = 0;
    virtual int pressureIterations() const = 0;
    // Whether the last sub-step ran on the GPU.
    virtual bool onGpu() const = 0;
};

}  // namespace skv
