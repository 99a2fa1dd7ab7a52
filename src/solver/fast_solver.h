#pragma once

#include <memory>
#include <vector>

#include "kernels/advection_cells.h"
#include "solver/fluid_solver.h"
#include "solver/multigrid.h"

namespace skv {

class DeviceGrid;

// The grid solver of the simulation. One sub-step: step() transports and updates the scalar
// fields (fuel with combustion, divergence, density, temperature, texture coordinates,
// colour); computeMaxTimeStep() advances the velocity (advection, sources, buoyancy and
// gravity, second-order Adams–Bashforth, vorticity confinement, pressure projection) and
// returns the stability bound of the next sub-step.
//
// Fields live on the padded grid; velocity is staggered (u between a cell and its right
// neighbour, v between a cell and the next row); temperatures in degrees Celsius. Every grid is
// allocated by resize(): a sub-step allocates nothing.
//
// The sub-step is one sequence of passes (runStep, runVelocityStep) that runs on the host grids
// (OpenMP passes) or on device grids (the kernels of the solver and field modules) through a
// backend of each kind. resize() sets the device up when CUDA is active (device grids, both
// modules); any failure there logs the reason, switches CUDA off for the
// process until the next run start and leaves the solver on the host. step() and
// computeMaxTimeStep() each take the device path when the device is set up and a CUDA context
// is current on the calling thread (a solver created while CUDA was off sets the device up at
// the first such call, and carries its state over). On the device path the fields live on the
// device during a frame: u and v come back after every computeMaxTimeStep(), the other outputs
// at finishFrame(). The paths differ where the device computes otherwise by design: colour by
// the conservative QUICK scheme clamped to [0, 1] (the host: semi-Lagrangian), texture
// coordinates by the advective QUICK scheme, temperature clamped to [−273, 3000], density
// dissipation only when positive, vorticity 0 on the border and its force from the second
// cell in, pressure always by SOR, and the corners of u and v not zeroed. Elsewhere both give
// the same numbers. An input that cannot be uploaded is left out of its sub-step; fields that
// cannot come back from the device make the call throw skv::Exception, since the host grids
// would otherwise pass the previous frame's fields off as this one's.
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
    double restoreFields(const FloatGrid* const* bySlot, int slots) override;

    SimulationParameters& parameters() override { return params_; }
    double advectionSeconds() const override { return advectionSeconds_; }
    double vorticitySeconds() const override { return vorticitySeconds_; }
    double pressureSeconds() const override { return pressureSeconds_; }
    int pressureIterations() const override { return iterations_; }
    bool onGpu() const override { return onGpu_; }
    // The device is set up: device grids allocated, both kernel modules loaded.
    bool gpuReady() const { return useGpu_; }

    // Closed domains are solved with multigrid on the host unless this is turned off; they then
    // use SOR like every other domain (the device always uses SOR).
    void setUseMultigrid(bool use) { useMultigrid_ = use; }

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
    // The device grids of the padded size (none before the device is set up), and the device
    // twin of an output grid (SolverOutput slots; null where there is none), so that tests can
    // inspect what the device holds.
    std::vector<const DeviceGrid*> deviceGridsForTesting() const;
    const DeviceGrid* deviceOutputForTesting(int slot) const;

  private:
    struct DeviceFields;
    // Where the current state of the fields is: after a host sub-step the device grids are
    // stale, after a device sub-step the host grids (but u and v, and the outputs once the
    // frame is finished).
    enum class Residency { Host, Device, Both };
    // The passes of a sub-step on the host grids or on the device grids; runStep and
    // runVelocityStep are the one sequence both run.
    class Backend;
    class HostBackend;
    class DeviceBackend;

    std::vector<FloatGrid*> hostGrids();
    void fillTextureCoordinates();
    void setUpGpu();
    void releaseGpu();
    bool chooseDevicePath();
    bool uploadState();
    void uploadHeatKernel();
    void downloadVelocity();
    void runStep(Backend& backend, bool useTexture);
    double runVelocityStep(Backend& backend, double dt);

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
    bool useMultigrid_ = true;

    // The device side: the device grids, whether they and both modules are ready (useGpu), the
    // path of the last sub-step, where the current state lives, whether the device holds the
    // current heat-diffusion taps, and the taps as one padded row for their upload.
    std::unique_ptr<DeviceFields> device_;
    bool useGpu_ = false;
    bool onGpu_ = false;
    Residency residency_ = Residency::Host;
    bool heatKernelOnDevice_ = false;
    FloatGrid heatTapsRow_;
};

}  // namespace skv
