#include "solver/fast_solver.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "grid/memory_traffic.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/timer.h"
#include "solver/advection.h"
#include "solver/forces.h"
#include "solver/projection.h"

namespace skv {

// The device grids, all of the padded size but the heat-diffusion taps. Between two pressure
// solves the three grids of the solve are the device path's scratch: the pressure solve
// overwrites all three before it reads them (its initial guess fills the whole pressure).
struct FastSolver::DeviceFields {
    DeviceGrid u, v, dudt, dvdt, dudtPrev, dvdtPrev;  // velocity, its rates now and before
    DeviceGrid pressure, negDivergence, residual;     // pressure solve; scratch otherwise
    DeviceGrid divergence;                            // expansion, from burning and the source
    DeviceGrid obstacle, obstacleU, obstacleV;        // mask (non-zero solid), its velocity
    DeviceGrid fuel, density, temperature, textureU, textureV, red, green, blue, alpha;
    // The rate of the previous sub-step of each scalar (Adams–Bashforth).
    DeviceGrid fuelRate, densityRate, temperatureRate, textureURate, textureVRate;
    DeviceGrid redRate, greenRate, blueRate, alphaRate;
    // One row as long as the longer side: the taps of the heat-diffusion blur (taps beyond the
    // grid are dropped anyway), and a view of the taps in use.
    DeviceGrid heatKernel;
    DeviceGrid heatTaps{true};

    // clang-format off
    std::vector<DeviceGrid*> padded() {
        return {&u, &v, &dudt, &dvdt, &dudtPrev, &dvdtPrev,
                &pressure, &negDivergence, &residual, &divergence,
                &obstacle, &obstacleU, &obstacleV,
                &fuel, &density, &temperature, &textureU, &textureV, &red, &green, &blue, &alpha,
                &fuelRate, &densityRate, &temperatureRate, &textureURate, &textureVRate,
                &redRate, &greenRate, &blueRate, &alphaRate};
    }
    // clang-format on
};

FastSolver::FastSolver() : multigrid_(std::make_unique<MultigridSolver>()) {}
FastSolver::~FastSolver() = default;

// clang-format off
std::vector<FloatGrid*> FastSolver::hostGrids() {
    return {&u_, &v_, &dudt_, &dvdt_, &dudtPrev_, &dvdtPrev_, &pressure_, &negDivergence_,
            &residual_, &divergence_, &fuel_, &density_, &temperature_, &textureU_, &textureV_,
            &fuelRate_, &densityRate_, &temperatureRate_, &textureURate_, &textureVRate_,
            &red_, &green_, &blue_, &alpha_, &scratch_, &oxygen_, &departureX_, &departureY_,
            &vorticity_, &forceU_, &forceV_};
}
// clang-format on

std::vector<const DeviceGrid*> FastSolver::deviceGridsForTesting() const {
    std::vector<const DeviceGrid*> grids;
    if (device_)
        for (DeviceGrid* g : device_->padded())
            grids.push_back(g);
    return grids;
}

const DeviceGrid* FastSolver::deviceOutputForTesting(int slot) const {
    if (!device_) return nullptr;
    const DeviceFields& g = *device_;
    switch (slot) {
        case kOutputVelocityU:
            return &g.u;
        case kOutputVelocityV:
            return &g.v;
        case kOutputTemperature:
            return &g.temperature;
        case kOutputDensity:
            return &g.density;
        case kOutputFuel:
            return &g.fuel;
        case kOutputTextureU:
            return &g.textureU;
        case kOutputTextureV:
            return &g.textureV;
        case kOutputRed:
            return &g.red;
        case kOutputGreen:
            return &g.green;
        case kOutputBlue:
            return &g.blue;
        case kOutputAlpha:
            return &g.alpha;
        default:
            return nullptr;
    }
}

void FastSolver::releaseGpu() {
    if (device_)
        for (DeviceGrid* g : device_->padded())
            g->release();
    if (device_) {
        device_->heatTaps.release();
        device_->heatKernel.release();
    }
    useGpu_ = false;
    residency_ = Residency::Host;
}

// Allocates the device grids (the allocation itself is the memory check) and initialises both
// kernel modules; any failure falls back to the CPU for this solver and, by switching CUDA
// off, for the rest of the run.
void FastSolver::setUpGpu() {
    CudaState& cuda = CudaState::instance();
    if (!cuda.isActive()) return;
    if (!device_) device_ = std::make_unique<DeviceFields>();
    const uint32_t w = width_ + 2, h = height_ + 2;
    bool allocated = true;
    for (DeviceGrid* g : device_->padded())
        if (!(allocated = g->resize(w, h, true))) break;
    if (allocated) allocated = device_->heatKernel.resize(std::max(w, h), true);
    if (!allocated) {
        SKV_LOG(Error, "Failed to allocate enough GPU memory - falling back to CPU simulation");
        releaseGpu();
        cuda.setEnabled(false);
        return;
    }
    heatTapsRow_.resize(std::max(w, h), 1, 1, true);
    heatKernelOnDevice_ = false;
    // The field module too: without it the pressure solve could not measure its residual.
    useGpu_ = cuda.solverKernels().initSolverKernels(device_->u, device_->v, device_->pressure) &&
              cuda.fieldKernels().initFieldKernels();
    if (!useGpu_) {
        SKV_LOG(Error, "Failed to initialize CUDA kernels - falling back to CPU simulation");
        releaseGpu();
        cuda.setEnabled(false);
        return;
    }
    // Freshly cleared: the state is still on the host until reset or the first device call.
    residency_ = Residency::Host;
}

bool FastSolver::chooseDevicePath() {
    CudaState& cuda = CudaState::instance();
    if (!useGpu_ && cuda.hasCurrentContext()) setUpGpu();
    onGpu_ = useGpu_ && cuda.hasCurrentContext();
    if (!onGpu_) return false;
    // Another solver may have bound its own velocity and pressure since. The module was loaded
    // at the set-up, so binding cannot fail.
    (void)cuda.solverKernels().initSolverKernels(device_->u, device_->v, device_->pressure);
    if (residency_ == Residency::Host && !uploadState()) {
        SKV_LOG(Error,
                "Failed to move the simulation onto the GPU - this sub-step runs on the CPU");
        onGpu_ = false;
    }
    return onGpu_;
}

// The host holds the current state (the device was set up after the simulation had started,
// or the last sub-steps ran on the host): the device continues from it. The colour channels
// have no rate history on the host (it moves colour semi-Lagrangian); theirs start at 0.
bool FastSolver::uploadState() {
    DeviceFields& g = *device_;
    // clang-format off
    const std::pair<DeviceGrid*, const FloatGrid*> state[] = {
        {&g.u, &u_}, {&g.v, &v_}, {&g.dudt, &dudt_}, {&g.dvdt, &dvdt_},
        {&g.dudtPrev, &dudtPrev_}, {&g.dvdtPrev, &dvdtPrev_}, {&g.divergence, &divergence_},
        {&g.fuel, &fuel_}, {&g.density, &density_}, {&g.temperature, &temperature_},
        {&g.textureU, &textureU_}, {&g.textureV, &textureV_},
        {&g.red, &red_}, {&g.green, &green_}, {&g.blue, &blue_}, {&g.alpha, &alpha_},
        {&g.fuelRate, &fuelRate_}, {&g.densityRate, &densityRate_},
        {&g.temperatureRate, &temperatureRate_}, {&g.textureURate, &textureURate_},
        {&g.textureVRate, &textureVRate_}};
    // clang-format on
    bool uploaded = true;
    for (const auto& [device, host] : state)
        uploaded = uploaded && device->upload(*host);
    for (DeviceGrid* rate : {&g.redRate, &g.greenRate, &g.blueRate, &g.alphaRate})
        rate->clear();
    // step() uploads the mask at every call; a sub-step that starts here with the velocity
    // needs it too.
    if (inputs_.obstacle) uploaded = uploaded && g.obstacle.upload(*inputs_.obstacle);
    heatKernelOnDevice_ = false;
    // The host still holds the state: the device takes it over at a later sub-step.
    if (uploaded) residency_ = Residency::Both;
    return uploaded;
}

void FastSolver::uploadHeatKernel() {
    DeviceFields& g = *device_;
    const size_t length = heatTapsRow_.width();
    const size_t taps = std::min(heatKernel_.size(), length);
    heatTapsRow_.clear();
    std::copy(heatKernel_.begin(), heatKernel_.begin() + ptrdiff_t(taps), heatTapsRow_.data());
    heatKernelOnDevice_ = g.heatKernel.upload(heatTapsRow_);
    g.heatTaps.borrow(g.heatKernel, uint32_t(taps), 1);
}

bool FastSolver::resize(uint32_t width, uint32_t height) {
    width_ = width;
    height_ = height;
    const uint32_t w = width + 2, h = height + 2;
    try {
        for (FloatGrid* g : hostGrids())
            g->resize(w, h, 1, false);
        multigrid_->resize(w, h);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Device grids of the old size are no set-up for the new one: without CUDA now, the next
    // device call sets the device up again (re-sizing them under a context).
    if (!isCudaActive()) useGpu_ = false;
    setUpGpu();
    reset();
    return true;
}

void FastSolver::fillTextureCoordinates() {
    // Interior cells span [0, 1]; a simulation one cell wide or high gets 0 (no 0/0).
    const uint32_t w = width_, h = height_;
    const float sx = w > 1 ? 1.0f / float(w - 1) : 0.0f;
    const float sy = h > 1 ? 1.0f / float(h - 1) : 0.0f;
    for (uint32_t y = 1; y <= h; ++y)
        for (uint32_t x = 1; x <= w; ++x) {
            textureU_(x, y) = float(x - 1) * sx;
            textureV_(x, y) = float(y - 1) * sy;
        }
}

void FastSolver::reset() {
    obstacleChanged_ = true;
    dtPrev_ = 0;
    sink_ = nullptr;
    iterations_ = 1;
    for (FloatGrid* g : hostGrids())
        g->clear();
    if (!textureU_.empty()) fillTextureCoordinates();
    heatKernelOnDevice_ = false;
    residency_ = Residency::Host;
    if (!useGpu_) return;  // device grids not in use are set up afresh before their next use
    for (DeviceGrid* g : device_->padded())
        g->clear();
    device_->heatKernel.clear();
    if (isCudaActive() && device_->textureU.upload(textureU_) &&
        device_->textureV.upload(textureV_))
        residency_ = Residency::Both;
}

double FastSolver::restoreFields(const FloatGrid* const* bySlot, int slots) {
    reset();
    FloatGrid* const targets[] = {&u_,        &v_,   &temperature_, &density_, &fuel_, &textureU_,
                                  &textureV_, &red_, &green_,       &blue_,    &alpha_};
    const int targetSlots[] = {kOutputVelocityU, kOutputVelocityV, kOutputTemperature,
                               kOutputDensity,   kOutputFuel,      kOutputTextureU,
                               kOutputTextureV,  kOutputRed,       kOutputGreen,
                               kOutputBlue,      kOutputAlpha};
    for (size_t k = 0; k < std::size(targets); ++k) {
        const FloatGrid* stored = targetSlots[k] < slots ? bySlot[targetSlots[k]] : nullptr;
        if (!stored) continue;
        FloatGrid& field = *targets[k];
        if (stored->width() != field.width() || stored->height() != field.height() ||
            stored->depth() != field.depth()) {
            reset();
            return -1.0;
        }
        field.copyFrom(*stored);
    }
    // The host grids now hold the state; the device takes it over at its next sub-step.
    residency_ = Residency::Host;
    return stabilityBound();
}

void FastSolver::setInputs(const SolverInputs& inputs) {
    inputs_ = inputs;
    if (inputs.obstacle) obstacleChanged_ = true;
    advectionSeconds_ = vorticitySeconds_ = pressureSeconds_ = 0;
}

// A field that cannot come back from the device would leave the frame holding an older state
// under this frame's number: the frame fails instead.
static void fetch(DeviceGrid& from, FloatGrid& to) {
    if (!from.download(to)) throw Exception("Failed to read the simulation back from the GPU");
}

void FastSolver::downloadVelocity() {
    fetch(device_->u, u_);
    fetch(device_->v, v_);
}

void FastSolver::finishFrame(bool useTexture) {
    // On the host path the host grids are the fields.
    if (!useGpu_ || residency_ != Residency::Device || !hasCurrentCudaContext()) return;
    DeviceFields& g = *device_;
    downloadVelocity();
    if (inputs_.density || inputs_.fuel) fetch(g.density, density_);
    if (inputs_.temperature || inputs_.fuel) fetch(g.temperature, temperature_);
    if (inputs_.fuel) fetch(g.fuel, fuel_);
    if (inputs_.hasColor()) {
        fetch(g.red, red_);
        fetch(g.green, green_);
        fetch(g.blue, blue_);
        fetch(g.alpha, alpha_);
    }
    if (useTexture) {
        fetch(g.textureU, textureU_);
        fetch(g.textureV, textureV_);
    }
}

bool FastSolver::report(int done, int total) {
    return sink_ ? sink_->report(done, total) : true;
}

const FloatGrid* FastSolver::output(int slot) const {
    switch (slot) {
        case kOutputVelocityU:
            return &u_;
        case kOutputVelocityV:
            return &v_;
        case kOutputTemperature:
            return &temperature_;
        case kOutputDensity:
            return &density_;
        case kOutputFuel:
            return &fuel_;
        case kOutputTextureU:
            return &textureU_;
        case kOutputTextureV:
            return &textureV_;
        case kOutputRed:
            return &red_;
        case kOutputGreen:
            return &green_;
        case kOutputBlue:
            return &blue_;
        case kOutputAlpha:
            return &alpha_;
        default:
            return nullptr;
    }
}

// The passes of one sub-step on one side, host grids or device grids. FastSolver::runStep and
// FastSolver::runVelocityStep say in which order and under which conditions they run, once for
// both; a backend only says how. Where the device computes otherwise by design (see the class
// comment), the difference lives here.
class FastSolver::Backend {
  public:
    enum class Scalar { Fuel, Density, Temperature, TextureU, TextureV };

    explicit Backend(FastSolver& s, double dt)
        : s(s),
          r(s.params_),
          dt(dt),
          fdt(float(dt)),
          fdtPrev(float(s.dtPrev_)),
          dx(float(s.params_.cellSize)) {}
    virtual ~Backend() = default;

    // Waits for the passes started so far (the device's kernels are asynchronous).
    virtual void synchronize() {}

    // Scalars. `assign` puts a source's values into the field, `setMasked` where the weight is
    // above the threshold; `advance` transports the field, applies its rule and the
    // differential source `rate` (a rate per unit time) and steps it in time.
    virtual void assign(Scalar q, const FloatGrid& value) = 0;
    virtual void setMasked(Scalar q, const FloatGrid& value, const FloatGrid& weight,
                           float threshold) = 0;
    virtual void advance(Scalar q, const FloatGrid* rate) = 0;
    virtual void setBorder(Scalar q, float value) = 0;
    virtual void copyBorder(Scalar q) = 0;
    virtual void clearSolid(Scalar q) = 0;  // 0 inside obstacles
    virtual void combust(const BurnConstants& burn) = 0;
    virtual void clearDivergence() = 0;
    virtual void addDivergence(const FloatGrid& source) = 0;
    // The temperature blurred; with `value`, cells whose `weight` is above 0.5 then take it.
    virtual void diffuseHeat(const FloatGrid* value, const FloatGrid* weight) = 0;
    virtual void carryInk() = 0;  // the four colour channels, painted and transported

    // Velocity.
    // The rates of u and v; with `forces`, buoyancy and gravity added as addBuoyancyAndGravity
    // would right after.
    virtual void advectVelocity(bool forces) = 0;
    virtual void setVelocity(const FloatGrid& u, const FloatGrid& v, const FloatGrid& weight) = 0;
    virtual void addVelocityRate(const FloatGrid& dudt, const FloatGrid& dvdt) = 0;
    virtual void addBuoyancyAndGravity() = 0;
    // u += current·rate + previous·previous rate (Adams–Bashforth), or u += dt·rate (Euler).
    virtual void stepVelocity(float current, float previous) = 0;
    virtual void stepVelocityEuler() = 0;
    virtual void swapVelocityRates() = 0;
    virtual void confineVorticity() = 0;
    virtual void project() = 0;

    // The rule of each scalar: the host's; the device departs from it for density and
    // temperature.
    virtual ScalarRule rule(Scalar q) const {
        switch (q) {
            case Scalar::Fuel:
                return ScalarRule::fuel();
            case Scalar::Density:
                return ScalarRule::density(float(r.densityDissipation));
            case Scalar::Temperature:
                return ScalarRule::temperature(float(r.cooling), float(r.heatCreation), fdt);
            default:
                return ScalarRule::textureCoordinate();
        }
    }

  protected:
    FastSolver& s;
    const SimulationParameters& r;

  public:
    // The sub-step's length and the cell size.
    const double dt;
    const float fdt, fdtPrev, dx;
};

class FastSolver::HostBackend final : public Backend {
  public:
    HostBackend(FastSolver& s, double dt) : Backend(s, dt), obstacle(s.inputs_.obstacle) {}

    void assign(Scalar q, const FloatGrid& value) override { field(q).copyFrom(value); }
    void setMasked(Scalar q, const FloatGrid& value, const FloatGrid& weight,
                   float threshold) override {
        field(q).setMasked(value, weight, threshold);
    }
    void advance(Scalar q, const FloatGrid* rate) override {
        advectScalar(field(q), s.scratch_, previousRate(q), s.u_, s.v_, obstacle, rate, rule(q),
                     1.0f / dx, fdt, fdtPrev);
        swap(field(q), s.scratch_);
    }
    void setBorder(Scalar q, float value) override { field(q).setBorder(value); }
    void copyBorder(Scalar q) override { field(q).copyBorder(); }
    void clearSolid(Scalar q) override {
        if (obstacle) field(q).zeroInMask(*obstacle);
    }
    void combust(const BurnConstants& burn) override {
        if (r.burnModel == 1)
            combustUnoxidized(s.fuel_, s.divergence_, s.density_, s.temperature_, s.oxygen_,
                              obstacle, burn);
        else
            combustOxidized(s.fuel_, s.divergence_, s.density_, s.temperature_, burn);
    }
    void clearDivergence() override { s.divergence_.clear(); }
    void addDivergence(const FloatGrid& source) override { s.divergence_.axpy(1.0f, source); }
    void diffuseHeat(const FloatGrid* value, const FloatGrid* weight) override {
        if (!value) return skv::diffuseHeat(s.temperature_, s.scratch_, s.heatKernel_);
        const HeatOverwrite overwrite{*value, *weight, 0.5f};
        skv::diffuseHeat(s.temperature_, s.scratch_, s.heatKernel_, &overwrite);
    }
    void carryInk() override {
        const SolverInputs& in = s.inputs_;
        computeDeparturePoints(s.u_, s.v_, s.departureX_, s.departureY_, fdt, dx);
        // Ink is painted where the colour source is (its alpha above 0) and carried away from
        // there: the alpha like the colour, so that the ink stays visible once it has left.
        const FloatGrid* sources[] = {in.red, in.green, in.blue, in.alpha};
        FloatGrid* channels[] = {&s.red_, &s.green_, &s.blue_, &s.alpha_};
        for (int c = 0; c < 4; ++c) {
            FloatGrid& channel = *channels[c];
            channel.setMasked(*sources[c], *in.alpha, 0.0f);
            advectColor(channel, s.scratch_, s.departureX_, s.departureY_);
            if (obstacle) s.scratch_.zeroInMask(*obstacle);
            swap(channel, s.scratch_);
            channel.setBorder(0.0f);
        }
    }

    void advectVelocity(bool forces) override {
        const PropertyForces property{s.temperature_, s.density_, float(r.buoyancy),
                                      float(r.gravity)};
        skv::advectVelocity(s.u_, s.v_, s.dudt_, s.dvdt_, obstacle, 1.0f / dx,
                            forces ? &property : nullptr);
    }
    void setVelocity(const FloatGrid& u, const FloatGrid& v, const FloatGrid& weight) override {
        s.u_.setMasked(u, weight, 0.5f);
        s.v_.setMasked(v, weight, 0.5f);
    }
    void addVelocityRate(const FloatGrid& dudt, const FloatGrid& dvdt) override {
        s.dudt_.axpy(1.0f, dudt);
        s.dvdt_.axpy(1.0f, dvdt);
    }
    void addBuoyancyAndGravity() override {
        skv::addBuoyancyAndGravity(s.dvdt_, s.temperature_, s.density_, float(r.buoyancy),
                                   float(r.gravity));
    }
    void stepVelocity(float current, float previous) override {
        s.u_.axpbypz(current, s.dudt_, previous, s.dudtPrev_);
        s.v_.axpbypz(current, s.dvdt_, previous, s.dvdtPrev_);
    }
    void stepVelocityEuler() override {
        s.u_.axpy(fdt, s.dudt_);
        s.v_.axpy(fdt, s.dvdt_);
    }
    void swapVelocityRates() override {
        swap(s.dudt_, s.dudtPrev_);
        swap(s.dvdt_, s.dvdtPrev_);
    }
    void confineVorticity() override {
        vorticityConfinement(s.u_, s.v_, s.vorticity_, s.forceU_, s.forceV_, dx, fdt,
                             float(r.vorticity));
    }
    void project() override {
        const SolverInputs& in = s.inputs_;
        skv::project(ProjectionGrids<FloatGrid>{.u = s.u_,
                                                .v = s.v_,
                                                .e = s.divergence_,
                                                .d = s.negDivergence_,
                                                .p = s.pressure_,
                                                .t = s.residual_,
                                                .obstacle = obstacle,
                                                .obstacleU = obstacle ? in.obstacleU : nullptr,
                                                .obstacleV = obstacle ? in.obstacleV : nullptr},
                     ProjectionRun{.params = s.params_,
                                   .iterations = s.iterations_,
                                   .seconds = s.pressureSeconds_,
                                   .sink = &s,
                                   .multigrid = s.useMultigrid_ ? s.multigrid_.get() : nullptr});
    }

  private:
    FloatGrid& field(Scalar q) {
        FloatGrid* fields[] = {&s.fuel_, &s.density_, &s.temperature_, &s.textureU_, &s.textureV_};
        return *fields[int(q)];
    }
    FloatGrid& previousRate(Scalar q) {
        FloatGrid* rates[] = {&s.fuelRate_, &s.densityRate_, &s.temperatureRate_, &s.textureURate_,
                              &s.textureVRate_};
        return *rates[int(q)];
    }

    const FloatGrid* obstacle;
};

// Between two pressure solves the solve's three grids are the device's scratch: `source` and
// `weight` receive inputs just before their use, `rate` the transport rate of a scalar. An
// input that cannot be uploaded is left out of this sub-step (the transfer logs why): the
// scratch it would have replaced holds another field.
class FastSolver::DeviceBackend final : public Backend {
  public:
    DeviceBackend(FastSolver& s, double dt)
        : Backend(s, dt),
          cuda(CudaState::instance()),
          k(cuda.solverKernels()),
          f(cuda.fieldKernels()),
          g(*s.device_),
          source(g.negDivergence),
          weight(g.residual),
          rate(g.pressure),
          mask(s.inputs_.obstacle ? &g.obstacle : nullptr),
          ab(adamsBashforth2(fdt, fdtPrev)) {}

    void synchronize() override { cuda.synchronize(); }

    void assign(Scalar q, const FloatGrid& value) override { (void)field(q).upload(value); }
    void setMasked(Scalar q, const FloatGrid& value, const FloatGrid& w, float threshold) override {
        if (source.upload(value) && weight.upload(w))
            f.setMasked(field(q), source, weight, threshold);
    }
    // The transport rate (flux or advective form, the obstacle variant with a mask), the
    // rule's extra term (density dissipation when positive, cooling as a pass of its own), the
    // differential source, the Adams–Bashforth step with the field's previous rate, and the
    // rule's clamp: the host's arithmetic, operation by operation. Obstacle cells keep their
    // value; their rate history restarts at 0. `rate` ends up holding the rate before this
    // step.
    void advance(Scalar q, const FloatGrid* input) override {
        const DeviceGrid* differential = input && source.upload(*input) ? &source : nullptr;
        const bool advective = q == Scalar::TextureU || q == Scalar::TextureV;
        advance(field(q), previousRate(q), differential, advective, rule(q));
    }
    void setBorder(Scalar q, float value) override { field(q).setBorder(value); }
    void copyBorder(Scalar q) override { field(q).copyBorder(); }
    void clearSolid(Scalar q) override {
        if (mask) k.CUDASetSolidProperty(*mask, field(q));
    }
    void combust(const BurnConstants& burn) override {
        if (r.burnModel != 1) {
            k.CUDACombustOxidized(g.fuel, g.divergence, g.density, g.temperature, burn);
            return;
        }
        // Oxygen: what fuel and smoke leave of each cell, none in obstacles.
        DeviceGrid& oxygen = source;
        oxygen.fill(1.0f);
        f.axpy(oxygen, -1.0f, g.fuel, oxygen);
        f.axpy(oxygen, -1.0f, g.density, oxygen);
        f.clamp(oxygen, 0.0f, std::numeric_limits<float>::infinity());
        if (mask) k.CUDASetSolidProperty(*mask, oxygen);
        k.CUDACombustUnoxidized(g.fuel, g.divergence, g.density, g.temperature, oxygen, burn);
        // The fill reached the row padding; scratch goes back with its padding 0, since the
        // residual norm of the pressure solve covers the padding of its grids.
        oxygen.clear();
    }
    void clearDivergence() override { g.divergence.clear(); }
    void addDivergence(const FloatGrid& input) override {
        if (source.upload(input)) f.axpy(g.divergence, 1.0f, source, g.divergence);
    }
    void diffuseHeat(const FloatGrid* value, const FloatGrid* w) override {
        if (!s.heatKernelOnDevice_) s.uploadHeatKernel();
        if (s.heatKernelOnDevice_) f.convolve(g.heatTaps, g.temperature, rate);
        if (value) setMasked(Scalar::Temperature, *value, *w, 0.5f);
    }
    void carryInk() override {
        const SolverInputs& in = s.inputs_;
        // Ink is painted where the colour source's alpha is above 0, the alpha like the colour.
        if (!weight.upload(*in.alpha)) return;
        const FloatGrid* sources[] = {in.red, in.green, in.blue};
        DeviceGrid* channels[] = {&g.red, &g.green, &g.blue, &g.alpha};
        DeviceGrid* rates[] = {&g.redRate, &g.greenRate, &g.blueRate, &g.alphaRate};
        for (int c = 0; c < 4; ++c) {
            const DeviceGrid* paint = &weight;
            if (c < 3) {
                if (!source.upload(*sources[c])) continue;
                paint = &source;
            }
            f.setMasked(*channels[c], *paint, weight, 0.0f);
            advance(*channels[c], *rates[c], nullptr, false, ScalarRule::textureCoordinate());
            channels[c]->setBorder(0.0f);
            if (mask) k.CUDASetSolidProperty(*mask, *channels[c]);
        }
    }

    void advectVelocity(bool forces) override {
        if (mask)
            k.CUDAAdvectQUICKvelocitySolid(g.dudt, g.dvdt, *mask, dx);
        else
            k.CUDAAdvectQUICKvelocity(g.dudt, g.dvdt, dx);
        if (forces) addBuoyancyAndGravity();
    }
    void setVelocity(const FloatGrid& u, const FloatGrid& v, const FloatGrid& w) override {
        if (!weight.upload(w)) return;
        if (source.upload(u)) f.setMasked(g.u, source, weight, 0.5f);
        if (source.upload(v)) f.setMasked(g.v, source, weight, 0.5f);
    }
    void addVelocityRate(const FloatGrid& dudt, const FloatGrid& dvdt) override {
        if (source.upload(dudt)) f.axpy(g.dudt, 1.0f, source, g.dudt);
        if (source.upload(dvdt)) f.axpy(g.dvdt, 1.0f, source, g.dvdt);
    }
    void addBuoyancyAndGravity() override {
        k.CUDAaddPropertyForces(g.dvdt, g.temperature, g.density, float(r.buoyancy),
                                float(r.gravity));
    }
    void stepVelocity(float current, float previous) override {
        f.axpbypz(g.u, current, g.dudt, previous, g.dudtPrev);
        f.axpbypz(g.v, current, g.dvdt, previous, g.dvdtPrev);
    }
    void stepVelocityEuler() override {
        f.axpy(g.u, fdt, g.dudt, g.u);
        f.axpy(g.v, fdt, g.dvdt, g.v);
    }
    void swapVelocityRates() override {
        swap(g.dudt, g.dudtPrev);
        swap(g.dvdt, g.dvdtPrev);
    }
    void confineVorticity() override {
        k.CUDAVorticityConfinement(g.u, g.v, g.negDivergence, g.residual, g.pressure, dx, fdt,
                                   float(r.vorticity));
    }
    // u and v come back to the host after every projection: the next sub-step plan reads them.
    void project() override {
        const SolverInputs& in = s.inputs_;
        const DeviceGrid* obstacleU =
            mask && in.obstacleU && g.obstacleU.upload(*in.obstacleU) ? &g.obstacleU : nullptr;
        const DeviceGrid* obstacleV =
            mask && in.obstacleV && g.obstacleV.upload(*in.obstacleV) ? &g.obstacleV : nullptr;
        skv::project(ProjectionGrids<DeviceGrid>{.u = g.u,
                                                 .v = g.v,
                                                 .e = g.divergence,
                                                 .d = g.negDivergence,
                                                 .p = g.pressure,
                                                 .t = g.residual,
                                                 .obstacle = mask,
                                                 .obstacleU = obstacleU,
                                                 .obstacleV = obstacleV},
                     ProjectionRun{.params = s.params_,
                                   .iterations = s.iterations_,
                                   .seconds = s.pressureSeconds_,
                                   .sink = &s});
        s.downloadVelocity();
        cuda.synchronize();
    }

  private:
    DeviceGrid& field(Scalar q) {
        DeviceGrid* fields[] = {&g.fuel, &g.density, &g.temperature, &g.textureU, &g.textureV};
        return *fields[int(q)];
    }
    DeviceGrid& previousRate(Scalar q) {
        DeviceGrid* rates[] = {&g.fuelRate, &g.densityRate, &g.temperatureRate, &g.textureURate,
                               &g.textureVRate};
        return *rates[int(q)];
    }
    ScalarRule rule(Scalar q) const override {
        if (q == Scalar::Density) return ScalarRule::densityDevice(float(r.densityDissipation));
        if (q != Scalar::Temperature) return Backend::rule(q);
        // The host's cooling term, as a pass of its own, and the device's fixed ceiling.
        const ScalarRule host = Backend::rule(q);
        ScalarRule rule = ScalarRule::temperatureDevice();
        rule.cooling = host.cooling;
        rule.coolingTemperature = host.coolingTemperature;
        rule.rdt = host.rdt;
        return rule;
    }
    void advance(DeviceGrid& q, DeviceGrid& previous, const DeviceGrid* differential,
                 bool advective, const ScalarRule& rule) {
        if (!advective) {
            if (mask)
                k.CUDAAdvectQUICKconservativeSolid(rate, q, *mask, dx);
            else
                k.CUDAAdvectQUICKconservative(rate, q, dx);
        } else {
            if (mask)
                k.CUDAAdvectQUICKClampSolid(rate, q, *mask, dx);
            else
                k.CUDAAdvectQUICKClamp(rate, q, dx);
        }
        if (rule.extra == ScalarExtra::Dissipation && rule.dissipation > 0.0f)
            f.axpy(rate, -rule.dissipation, q, rate);
        if (rule.cooling > 0.0f)
            k.CUDACooling(rate, q, rule.coolingTemperature, rule.cooling, rule.rdt);
        if (differential) f.axpy(rate, 1.0f, *differential, rate);
        // previous becomes c1·rate − c0·previous, then q += s·(that): the host's
        // q + s·(c1·rate − c0·rate_prev) with the same roundings.
        f.ax(previous, -ab.c0, previous);
        f.axpy(previous, ab.c1, rate, previous);
        if (mask) k.CUDASetSolidProperty(*mask, previous);
        f.axpy(q, ab.s, previous, q);
        f.clamp(q, rule.lo, rule.hi);
        if (mask) k.CUDASetSolidProperty(*mask, rate);
        swap(previous, rate);
    }

    CudaState& cuda;
    SolverKernels& k;
    FieldKernels& f;
    DeviceFields& g;
    DeviceGrid& source;
    DeviceGrid& weight;
    DeviceGrid& rate;
    const DeviceGrid* mask;
    const AdamsBashforth2 ab;
};

void FastSolver::step(double dt, bool useTexture, ProgressSink* sink) {
    sink_ = sink;
    if (chooseDevicePath()) {
        // A mask that cannot be uploaded stays the previous sub-step's (the transfer logs why).
        if (inputs_.obstacle) (void)device_->obstacle.upload(*inputs_.obstacle);
        DeviceBackend device(*this, dt);
        runStep(device, useTexture);
        device.synchronize();
        residency_ = Residency::Device;
        return;
    }
    residency_ = Residency::Host;
    HostBackend host(*this, dt);
    runStep(host, useTexture);
}

double FastSolver::computeMaxTimeStep(double dt, ProgressSink* sink) {
    sink_ = sink;
    if (chooseDevicePath()) {
        residency_ = Residency::Device;
        DeviceBackend device(*this, dt);
        return runVelocityStep(device, dt);
    }
    residency_ = Residency::Host;
    HostBackend host(*this, dt);
    return runVelocityStep(host, dt);
}

void FastSolver::runStep(Backend& b, bool useTexture) {
    using Scalar = Backend::Scalar;
    const SimulationParameters& r = params_;
    const SolverInputs& in = inputs_;
    const double dt = b.dt;
    // A source either replaces the field's values or, differential, adds its rate.
    const auto source = [&](Scalar q, const FloatGrid* input, int differential) {
        if (input && !differential) b.assign(q, *input);
        return input && differential ? input : nullptr;
    };

    // Fuel burns where it is carried; burning sets the expansion (divergence) field.
    if (in.fuel) {
        b.advance(Scalar::Fuel, source(Scalar::Fuel, in.fuel, r.differentialFuel));
        b.setBorder(Scalar::Fuel, 0.0f);
        b.combust(burnConstants(float(r.burnRate), float(r.expansion), float(r.sootCreation),
                                float(r.heatCreation), b.fdt));
        b.clearSolid(Scalar::Fuel);
    } else {
        b.clearDivergence();
    }

    if (in.divergence) b.addDivergence(*in.divergence);

    if (in.density || in.fuel) {
        b.advance(Scalar::Density, source(Scalar::Density, in.density, r.differentialDensity));
        b.setBorder(Scalar::Density, 0.0f);
        b.clearSolid(Scalar::Density);
    }

    if (in.temperature || in.fuel) {
        const double diffusion = r.heatDiffusion;
        if (diffusion > 0 && (dt != heatKernelDt_ || diffusion != heatKernelDiffusion_)) {
            buildHeatDiffusionKernel(heatKernel_, b.dx, float(diffusion), b.fdt);
            heatKernelDt_ = dt;
            heatKernelDiffusion_ = diffusion;
            heatKernelOnDevice_ = false;
        }
        // A temperature set from the layers overwrites the diffused one, in the blur's pass.
        const bool diffuse = diffusion > 0 && heatKernel_.size() > 1;
        const bool set = in.temperature && !r.differentialTemperature && in.temperatureWeight;
        if (diffuse) b.diffuseHeat(set ? in.temperature : nullptr, in.temperatureWeight);
        if (set && !diffuse)
            b.setMasked(Scalar::Temperature, *in.temperature, *in.temperatureWeight, 0.5f);
        const FloatGrid* rate =
            in.temperature && r.differentialTemperature ? in.temperature : nullptr;
        b.advance(Scalar::Temperature, rate);
        b.setBorder(Scalar::Temperature, 0.0f);
    }

    if (useTexture) {
        b.advance(Scalar::TextureU, nullptr);
        b.advance(Scalar::TextureV, nullptr);
        b.copyBorder(Scalar::TextureU);
        b.copyBorder(Scalar::TextureV);
    }

    if (in.hasColor()) b.carryInk();
}

double FastSolver::runVelocityStep(Backend& b, double dt) {
    const SimulationParameters& r = params_;
    const SolverInputs& in = inputs_;
    b.synchronize();
    Timer timer;

    // Buoyancy and gravity are added to the rates in their own pass only after a velocity rate
    // from the layers, whose sum must come first; a velocity set from them does not touch the
    // rates, so the forces join the advection's pass.
    const bool velocityInput = in.velocityU && in.velocityV && in.velocityWeight;
    const bool rateInput = velocityInput && r.differentialVelocity;
    b.advectVelocity(!rateInput);
    if (velocityInput) {
        if (!r.differentialVelocity)
            b.setVelocity(*in.velocityU, *in.velocityV, *in.velocityWeight);
        else
            b.addVelocityRate(*in.velocityU, *in.velocityV);
    }
    if (rateInput) b.addBuoyancyAndGravity();

    // Second-order Adams–Bashforth with a variable step; forward Euler after a reset.
    if (dtPrev_ > 0) {
        const double ratio = dt / dtPrev_;
        b.stepVelocity(float(ratio * (0.5 * dt + dtPrev_)), float(-0.5 * ratio * dt));
    } else {
        b.stepVelocityEuler();
    }
    b.swapVelocityRates();
    b.synchronize();
    advectionSeconds_ += timer.elapsed();

    timer.restart();
    if (r.vorticity > 0) b.confineVorticity();
    vorticitySeconds_ += timer.elapsed();

    b.project();
    dtPrev_ = dt;
    return stabilityBound();
}

double FastSolver::stabilityBound() const {
    const int64_t W = u_.width(), H = u_.height();
    if (W < 3 || H < 3) return std::numeric_limits<double>::infinity();
    countTraffic(u_.count(), 2);
    const float* U = u_.data();
    const float* V = v_.data();
    float sMax = 0.0f;
#pragma omp parallel for schedule(static) reduction(max : sMax) if (W * H > 32768)
    for (int64_t y = 1; y < H - 1; ++y) {
        // The largest of non-negative numbers is the same in any order: vector lanes may take
        // it, which the compiler does not do for a plain max on its own (a tenth of a plume's
        // sub-step went to this scalar loop).
        float rowMax = 0.0f;
#pragma omp simd reduction(max : rowMax)
        for (int64_t x = 1; x < W - 1; ++x) {
            const int64_t i = y * W + x;
            const float vAtU = 0.25f * (V[i] + V[i - 1] + V[i + W] + V[i + W - 1]);
            const float uAtV = 0.25f * (U[i] + U[i - W] + U[i + 1] + U[i + 1 - W]);
            const float su = U[i] * U[i] + vAtU * vAtU;
            const float sv = uAtV * uAtV + V[i] * V[i];
            rowMax = std::max(rowMax, std::max(su, sv));
        }
        sMax = std::max(sMax, rowMax);
    }
    if (!(sMax > 0.0f)) return std::numeric_limits<double>::infinity();
    const double factor = params_.domainOpenness <= 0.0 ? 1.0 : 0.5;
    // An exact reciprocal square root: the processor's approximation differs between vendors,
    // and the sub-step plan, hence the whole simulation, would with it.
    return factor * params_.cellSize / std::sqrt(double(sMax));
}

}  // namespace skv
