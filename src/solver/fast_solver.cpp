#include "solver/fast_solver.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "solver/advection.h"
#include "solver/forces.h"
#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "platform/log.h"
#include "platform/timer.h"
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
    // Another solver may have bound its own velocity and pressure since.
    cuda.solverKernels().initSolverKernels(device_->u, device_->v, device_->pressure);
    if (residency_ == Residency::Host) uploadState();
    return true;
}

// The host holds the current state (the device was set up after the simulation had started,
// or the last sub-steps ran on the host): the device continues from it. The colour channels
// have no rate history on the host (it moves colour semi-Lagrangian); theirs start at 0.
void FastSolver::uploadState() {
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
    for (const auto& [device, host] : state)
        device->upload(*host);
    for (DeviceGrid* rate : {&g.redRate, &g.greenRate, &g.blueRate, &g.alphaRate})
        rate->clear();
    // step() uploads the mask at every call; a sub-step that starts here with the velocity
    // needs it too.
    if (inputs_.obstacle) g.obstacle.upload(*inputs_.obstacle);
    heatKernelOnDevice_ = false;
    residency_ = Residency::Both;
}

void FastSolver::uploadHeatKernel() {
    DeviceFields& g = *device_;
    const size_t length = heatTapsRow_.width();
    const size_t taps = std::min(heatKernel_.size(), length);
    heatTapsRow_.clear();
    std::copy(heatKernel_.begin(), heatKernel_.begin() + ptrdiff_t(taps), heatTapsRow_.data());
    g.heatKernel.upload(heatTapsRow_);
    g.heatTaps.borrow(g.heatKernel, uint32_t(taps), 1);
    heatKernelOnDevice_ = true;
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
    FloatGrid* const targets[] = {&u_, &v_, &temperature_, &density_, &fuel_, &textureU_, &textureV_,
                                  &red_, &green_, &blue_, &alpha_};
    const int targetSlots[] = {kOutputVelocityU, kOutputVelocityV, kOutputTemperature, kOutputDensity,
                               kOutputFuel, kOutputTextureU, kOutputTextureV, kOutputRed,
                               kOutputGreen, kOutputBlue, kOutputAlpha};
    for (size_t k = 0; k < std::size(targets); ++k) {
        const FloatGrid* stored = targetSlots[k] < slots ? bySlot[targetSlots[k]] : nullptr;
        if (!stored) continue;
        FloatGrid& field = *targets[k];
        if (stored->width() != field.width() || stored->height() != field.height() || stored->depth() != field.depth()) {
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

void FastSolver::finishFrame(bool useTexture) {
    // On the host path the host grids are the fields.
    if (!useGpu_ || residency_ != Residency::Device || !hasCurrentCudaContext()) return;
    DeviceFields& g = *device_;
    g.u.download(u_);
    g.v.download(v_);
    if (inputs_.density || inputs_.fuel) g.density.download(density_);
    if (inputs_.temperature || inputs_.fuel) g.temperature.download(temperature_);
    if (inputs_.fuel) g.fuel.download(fuel_);
    if (inputs_.hasColor()) {
        g.red.download(red_);
        g.green.download(green_);
        g.blue.download(blue_);
        g.alpha.download(alpha_);
    }
    if (useTexture) {
        g.textureU.download(textureU_);
        g.textureV.download(textureV_);
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

void FastSolver::step(double dt, bool useTexture, ProgressSink* sink) {
    sink_ = sink;
    if (chooseDevicePath()) {
        stepOnDevice(dt, useTexture);
        residency_ = Residency::Device;
        return;
    }
    residency_ = Residency::Host;
    const SimulationParameters& r = params_;
    const float fdt = float(dt), fdtPrev = float(dtPrev_);
    const float dx = float(r.cellSize), rdx = 1.0f / dx;
    const FloatGrid* obstacle = inputs_.obstacle;

    // Fuel burns where it is carried; burning sets the expansion (divergence) field.
    if (inputs_.fuel) {
        const FloatGrid* rate = nullptr;
        if (r.differentialFuel)
            rate = inputs_.fuel;
        else
            fuel_.copyFrom(*inputs_.fuel);
        advectScalar(fuel_, scratch_, fuelRate_, u_, v_, obstacle, rate, ScalarRule::fuel(), rdx,
                     fdt, fdtPrev);
        swap(fuel_, scratch_);
        fuel_.setBorder(0.0f);
        const BurnConstants burn = burnConstants(float(r.burnRate), float(r.expansion),
                                                 float(r.sootCreation), float(r.heatCreation), fdt);
        if (r.burnModel == 1)
            combustUnoxidized(fuel_, divergence_, density_, temperature_, oxygen_, obstacle, burn);
        else
            combustOxidized(fuel_, divergence_, density_, temperature_, burn);
        if (obstacle) fuel_.zeroInMask(*obstacle);
    } else {
        divergence_.clear();
    }

    if (inputs_.divergence) divergence_.axpy(1.0f, *inputs_.divergence);

    if (inputs_.density || inputs_.fuel) {
        const FloatGrid* rate = nullptr;
        if (inputs_.density) {
            if (r.differentialDensity)
                rate = inputs_.density;
            else
                density_.copyFrom(*inputs_.density);
        }
        advectScalar(density_, scratch_, densityRate_, u_, v_, obstacle, rate,
                     ScalarRule::density(float(r.densityDissipation)), rdx, fdt, fdtPrev);
        swap(density_, scratch_);
        density_.setBorder(0.0f);
        if (obstacle) density_.zeroInMask(*obstacle);
    }

    if (inputs_.temperature || inputs_.fuel) {
        const double diffusion = r.heatDiffusion;
        if (diffusion > 0 && (dt != heatKernelDt_ || diffusion != heatKernelDiffusion_)) {
            buildHeatDiffusionKernel(heatKernel_, dx, float(diffusion), fdt);
            heatKernelDt_ = dt;
            heatKernelDiffusion_ = diffusion;
        }
        if (diffusion > 0 && heatKernel_.size() > 1)
            diffuseHeat(temperature_, scratch_, heatKernel_);
        const FloatGrid* rate = nullptr;
        if (inputs_.temperature) {
            if (r.differentialTemperature)
                rate = inputs_.temperature;
            else if (inputs_.temperatureWeight)
                temperature_.setMasked(*inputs_.temperature, *inputs_.temperatureWeight, 0.5f);
        }
        advectScalar(temperature_, scratch_, temperatureRate_, u_, v_, obstacle, rate,
                     ScalarRule::temperature(float(r.cooling), float(r.heatCreation), fdt), rdx,
                     fdt, fdtPrev);
        swap(temperature_, scratch_);
        temperature_.setBorder(0.0f);
    }

    if (useTexture) {
        advectScalar(textureU_, scratch_, textureURate_, u_, v_, obstacle, nullptr,
                     ScalarRule::textureCoordinate(), rdx, fdt, fdtPrev);
        swap(textureU_, scratch_);
        advectScalar(textureV_, scratch_, textureVRate_, u_, v_, obstacle, nullptr,
                     ScalarRule::textureCoordinate(), rdx, fdt, fdtPrev);
        swap(textureV_, scratch_);
        textureU_.copyBorder();
        textureV_.copyBorder();
    }

    if (inputs_.hasColor()) {
        computeDeparturePoints(u_, v_, departureX_, departureY_, fdt, dx);
        // Ink is painted where the colour source is (its alpha above 0) and carried away from
        // there: the alpha like the colour, so that the ink stays visible once it has left.
        const FloatGrid* sources[] = {inputs_.red, inputs_.green, inputs_.blue, inputs_.alpha};
        FloatGrid* channels[] = {&red_, &green_, &blue_, &alpha_};
        for (int c = 0; c < 4; ++c) {
            FloatGrid& channel = *channels[c];
            channel.setMasked(*sources[c], *inputs_.alpha, 0.0f);
            advectColor(channel, scratch_, departureX_, departureY_);
            if (obstacle) scratch_.zeroInMask(*obstacle);
            swap(channel, scratch_);
            channel.setBorder(0.0f);
        }
    }
}

double FastSolver::computeMaxTimeStep(double dt, ProgressSink* sink) {
    sink_ = sink;
    if (chooseDevicePath()) {
        residency_ = Residency::Device;
        return computeMaxTimeStepOnDevice(dt);
    }
    residency_ = Residency::Host;
    const SimulationParameters& r = params_;
    const float fdt = float(dt);
    const float dx = float(r.cellSize), rdx = 1.0f / dx;
    const FloatGrid* obstacle = inputs_.obstacle;
    Timer timer;

    advectVelocity(u_, v_, dudt_, dvdt_, obstacle, rdx);
    if (inputs_.velocityU && inputs_.velocityV && inputs_.velocityWeight) {
        if (!r.differentialVelocity) {
            u_.setMasked(*inputs_.velocityU, *inputs_.velocityWeight, 0.5f);
            v_.setMasked(*inputs_.velocityV, *inputs_.velocityWeight, 0.5f);
        } else {
            dudt_.axpy(1.0f, *inputs_.velocityU);
            dvdt_.axpy(1.0f, *inputs_.velocityV);
        }
    }
    addBuoyancyAndGravity(dvdt_, temperature_, density_, float(r.buoyancy), float(r.gravity));

    // Second-order Adams–Bashforth with a variable step; forward Euler after a reset.
    if (dtPrev_ > 0) {
        const double ratio = dt / dtPrev_;
        const float current = float(ratio * (0.5 * dt + dtPrev_));
        const float previous = float(-0.5 * ratio * dt);
        u_.axpbypz(current, dudt_, previous, dudtPrev_);
        v_.axpbypz(current, dvdt_, previous, dvdtPrev_);
    } else {
        u_.axpy(fdt, dudt_);
        v_.axpy(fdt, dvdt_);
    }
    swap(dudt_, dudtPrev_);
    swap(dvdt_, dvdtPrev_);
    advectionSeconds_ += timer.elapsed();

    timer.restart();
    if (r.vorticity > 0)
        vorticityConfinement(u_, v_, vorticity_, forceU_, forceV_, dx, fdt, float(r.vorticity));
    vorticitySeconds_ += timer.elapsed();

    project(useMultigrid_ ? multigrid_.get() : nullptr, obstacle,
            obstacle ? inputs_.obstacleU : nullptr, obstacle ? inputs_.obstacleV : nullptr, u_, v_,
            divergence_, residual_, negDivergence_, pressure_, false, nullptr, nullptr, nullptr,
            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, params_, iterations_,
            pressureSeconds_, this);
    dtPrev_ = dt;
    return stabilityBound();
}

// One scalar on the device: the transport rate (flux or advective form, the obstacle variant
// with a mask), the rule's extra term (density dissipation when positive, cooling as a pass of
// its own), the differential source, the Adams–Bashforth step with the field's previous rate,
// and the rule's clamp — the host's arithmetic, operation by operation. Obstacle cells keep
// their value; their rate history restarts at 0. `rate` is scratch and ends up holding the
// rate before this step.
void FastSolver::advanceOnDevice(DeviceGrid& q, DeviceGrid& previousRate, DeviceGrid& rate,
                                 const DeviceGrid* source, ScalarForm form, const ScalarRule& rule,
                                 const AdamsBashforth2& ab, float dx) {
    CudaState& cuda = CudaState::instance();
    SolverKernels& k = cuda.solverKernels();
    FieldKernels& f = cuda.fieldKernels();
    const DeviceGrid* mask = inputs_.obstacle ? &device_->obstacle : nullptr;
    if (form == ScalarForm::Conservative) {
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
    if (source) f.axpy(rate, 1.0f, *source, rate);
    // previousRate becomes c1·rate − c0·previousRate, then q += s·(that): the host's
    // q + s·(c1·rate − c0·rate_prev) with the same roundings.
    f.ax(previousRate, -ab.c0, previousRate);
    f.axpy(previousRate, ab.c1, rate, previousRate);
    if (mask) k.CUDASetSolidProperty(*mask, previousRate);
    f.axpy(q, ab.s, previousRate, q);
    f.clamp(q, rule.lo, rule.hi);
    if (mask) k.CUDASetSolidProperty(*mask, rate);
    swap(previousRate, rate);
}

void FastSolver::stepOnDevice(double dt, bool useTexture) {
    CudaState& cuda = CudaState::instance();
    SolverKernels& k = cuda.solverKernels();
    FieldKernels& f = cuda.fieldKernels();
    DeviceFields& g = *device_;
    const SimulationParameters& r = params_;
    const float fdt = float(dt);
    const float dx = float(r.cellSize);
    const AdamsBashforth2 ab = adamsBashforth2(fdt, float(dtPrev_));
    // Scratch between pressure solves: inputs go to `source` and `weight` just before use.
    DeviceGrid& source = g.negDivergence;
    DeviceGrid& weight = g.residual;
    DeviceGrid& rate = g.pressure;
    if (inputs_.obstacle) g.obstacle.upload(*inputs_.obstacle);
    const DeviceGrid* mask = inputs_.obstacle ? &g.obstacle : nullptr;

    if (inputs_.fuel) {
        const DeviceGrid* rateSource = nullptr;
        if (r.differentialFuel) {
            source.upload(*inputs_.fuel);
            rateSource = &source;
        } else {
            g.fuel.upload(*inputs_.fuel);
        }
        advanceOnDevice(g.fuel, g.fuelRate, rate, rateSource, ScalarForm::Conservative,
                        ScalarRule::fuel(), ab, dx);
        g.fuel.setBorder(0.0f);
        const BurnConstants burn = burnConstants(float(r.burnRate), float(r.expansion),
                                                 float(r.sootCreation), float(r.heatCreation), fdt);
        if (r.burnModel == 1) {
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
        } else {
            k.CUDACombustOxidized(g.fuel, g.divergence, g.density, g.temperature, burn);
        }
        if (mask) k.CUDASetSolidProperty(*mask, g.fuel);
    } else {
        g.divergence.clear();
    }

    if (inputs_.divergence) {
        source.upload(*inputs_.divergence);
        f.axpy(g.divergence, 1.0f, source, g.divergence);
    }

    if (inputs_.density || inputs_.fuel) {
        const DeviceGrid* rateSource = nullptr;
        if (inputs_.density) {
            if (r.differentialDensity) {
                source.upload(*inputs_.density);
                rateSource = &source;
            } else {
                g.density.upload(*inputs_.density);
            }
        }
        advanceOnDevice(g.density, g.densityRate, rate, rateSource, ScalarForm::Conservative,
                        ScalarRule::densityDevice(float(r.densityDissipation)), ab, dx);
        g.density.setBorder(0.0f);
        if (mask) k.CUDASetSolidProperty(*mask, g.density);
    }

    if (inputs_.temperature || inputs_.fuel) {
        const double diffusion = r.heatDiffusion;
        if (diffusion > 0 && (dt != heatKernelDt_ || diffusion != heatKernelDiffusion_)) {
            buildHeatDiffusionKernel(heatKernel_, dx, float(diffusion), fdt);
            heatKernelDt_ = dt;
            heatKernelDiffusion_ = diffusion;
            heatKernelOnDevice_ = false;
        }
        if (diffusion > 0 && heatKernel_.size() > 1) {
            if (!heatKernelOnDevice_) uploadHeatKernel();
            f.convolve(g.heatTaps, g.temperature, rate);
        }
        const DeviceGrid* rateSource = nullptr;
        if (inputs_.temperature) {
            if (r.differentialTemperature) {
                source.upload(*inputs_.temperature);
                rateSource = &source;
            } else if (inputs_.temperatureWeight) {
                source.upload(*inputs_.temperature);
                weight.upload(*inputs_.temperatureWeight);
                f.setMasked(g.temperature, source, weight, 0.5f);
            }
        }
        // The host's cooling term, as a pass of its own, and the device's fixed ceiling.
        const ScalarRule host =
            ScalarRule::temperature(float(r.cooling), float(r.heatCreation), fdt);
        ScalarRule rule = ScalarRule::temperatureDevice();
        rule.cooling = host.cooling;
        rule.coolingTemperature = host.coolingTemperature;
        rule.rdt = host.rdt;
        advanceOnDevice(g.temperature, g.temperatureRate, rate, rateSource,
                        ScalarForm::Conservative, rule, ab, dx);
        g.temperature.setBorder(0.0f);
    }

    if (useTexture) {
        advanceOnDevice(g.textureU, g.textureURate, rate, nullptr, ScalarForm::Advective,
                        ScalarRule::textureCoordinate(), ab, dx);
        advanceOnDevice(g.textureV, g.textureVRate, rate, nullptr, ScalarForm::Advective,
                        ScalarRule::textureCoordinate(), ab, dx);
        g.textureU.copyBorder();
        g.textureV.copyBorder();
    }

    if (inputs_.hasColor()) {
        // Ink is painted where the colour source's alpha is above 0, the alpha like the colour.
        weight.upload(*inputs_.alpha);
        const FloatGrid* sources[] = {inputs_.red, inputs_.green, inputs_.blue};
        DeviceGrid* channels[] = {&g.red, &g.green, &g.blue, &g.alpha};
        DeviceGrid* rates[] = {&g.redRate, &g.greenRate, &g.blueRate, &g.alphaRate};
        for (int c = 0; c < 4; ++c) {
            const DeviceGrid* paint = &weight;
            if (c < 3) {
                source.upload(*sources[c]);
                paint = &source;
            }
            f.setMasked(*channels[c], *paint, weight, 0.0f);
            advanceOnDevice(*channels[c], *rates[c], rate, nullptr, ScalarForm::Conservative,
                            ScalarRule::textureCoordinate(), ab, dx);
            channels[c]->setBorder(0.0f);
            if (mask) k.CUDASetSolidProperty(*mask, *channels[c]);
        }
    }
    cuda.synchronize();
}

double FastSolver::computeMaxTimeStepOnDevice(double dt) {
    CudaState& cuda = CudaState::instance();
    SolverKernels& k = cuda.solverKernels();
    FieldKernels& f = cuda.fieldKernels();
    DeviceFields& g = *device_;
    const SimulationParameters& r = params_;
    const float fdt = float(dt);
    const float dx = float(r.cellSize);
    const DeviceGrid* mask = inputs_.obstacle ? &g.obstacle : nullptr;
    cuda.synchronize();
    Timer timer;

    if (mask)
        k.CUDAAdvectQUICKvelocitySolid(g.dudt, g.dvdt, *mask, dx);
    else
        k.CUDAAdvectQUICKvelocity(g.dudt, g.dvdt, dx);
    if (inputs_.velocityU && inputs_.velocityV && inputs_.velocityWeight) {
        DeviceGrid& source = g.negDivergence;
        if (!r.differentialVelocity) {
            DeviceGrid& weight = g.residual;
            weight.upload(*inputs_.velocityWeight);
            source.upload(*inputs_.velocityU);
            f.setMasked(g.u, source, weight, 0.5f);
            source.upload(*inputs_.velocityV);
            f.setMasked(g.v, source, weight, 0.5f);
        } else {
            source.upload(*inputs_.velocityU);
            f.axpy(g.dudt, 1.0f, source, g.dudt);
            source.upload(*inputs_.velocityV);
            f.axpy(g.dvdt, 1.0f, source, g.dvdt);
        }
    }
    k.CUDAaddPropertyForces(g.dvdt, g.temperature, g.density, float(r.buoyancy), float(r.gravity));

    // Second-order Adams–Bashforth with a variable step; forward Euler after a reset.
    if (dtPrev_ > 0) {
        const double ratio = dt / dtPrev_;
        const float current = float(ratio * (0.5 * dt + dtPrev_));
        const float previous = float(-0.5 * ratio * dt);
        f.axpbypz(g.u, current, g.dudt, previous, g.dudtPrev);
        f.axpbypz(g.v, current, g.dvdt, previous, g.dvdtPrev);
    } else {
        f.axpy(g.u, fdt, g.dudt, g.u);
        f.axpy(g.v, fdt, g.dvdt, g.v);
    }
    swap(g.dudt, g.dudtPrev);
    swap(g.dvdt, g.dvdtPrev);
    cuda.synchronize();
    advectionSeconds_ += timer.elapsed();

    timer.restart();
    if (r.vorticity > 0)
        k.CUDAVorticityConfinement(g.u, g.v, g.negDivergence, g.residual, g.pressure, dx, fdt,
                                   float(r.vorticity));
    vorticitySeconds_ += timer.elapsed();

    DeviceGrid* obstacleU = nullptr;
    DeviceGrid* obstacleV = nullptr;
    if (mask && inputs_.obstacleU && g.obstacleU.upload(*inputs_.obstacleU))
        obstacleU = &g.obstacleU;
    if (mask && inputs_.obstacleV && g.obstacleV.upload(*inputs_.obstacleV))
        obstacleV = &g.obstacleV;
    project(nullptr, inputs_.obstacle, nullptr, nullptr, u_, v_, divergence_, residual_,
            negDivergence_, pressure_, true, &g.u, &g.v, &g.pressure, &g.divergence,
            &g.negDivergence, &g.residual, mask ? &g.obstacle : nullptr, obstacleU, obstacleV,
            params_, iterations_, pressureSeconds_, this);
    g.u.download(u_);
    g.v.download(v_);
    cuda.synchronize();
    dtPrev_ = dt;
    return stabilityBound();
}

double FastSolver::stabilityBound() const {
    const int64_t W = u_.width(), H = u_.height();
    if (W < 3 || H < 3) return std::numeric_limits<double>::infinity();
    const float* U = u_.data();
    const float* V = v_.data();
    float sMax = 0.0f;
#pragma omp parallel for schedule(static) reduction(max : sMax) if (W * H > 32768)
    for (int64_t y = 1; y < H - 1; ++y) {
        float rowMax = 0.0f;
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
