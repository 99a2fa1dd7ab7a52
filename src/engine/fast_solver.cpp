#include "engine/fast_solver.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "engine/advection.h"
#include "engine/forces.h"
#include "platform/timer.h"
#include "solver/projection.h"

namespace skv {

FastSolver::FastSolver() : multigrid_(std::make_unique<MultigridSolver>()) {}
FastSolver::~FastSolver() = default;

bool FastSolver::resize(uint32_t width, uint32_t height) {
    width_ = width;
    height_ = height;
    const uint32_t w = width + 2, h = height + 2;
    try {
        for (FloatGrid* g : {&u_, &v_, &dudt_, &dvdt_, &dudtPrev_, &dvdtPrev_, &pressure_, &negDivergence_,
                             &residual_, &divergence_, &fuel_, &density_, &temperature_, &textureU_,
                             &textureV_, &fuelRate_, &densityRate_, &temperatureRate_, &textureURate_,
                             &textureVRate_, &red_, &green_, &blue_, &alpha_, &scratch_, &oxygen_,
                             &departureX_, &departureY_, &vorticity_, &forceU_, &forceV_})
            g->resize(w, h, 1, false);
        multigrid_->resize(w, h);
    } catch (const std::bad_alloc&) {
        return false;
    }
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
    for (FloatGrid* g : {&u_, &v_, &dudt_, &dvdt_, &dudtPrev_, &dvdtPrev_, &pressure_, &negDivergence_,
                         &residual_, &divergence_, &fuel_, &density_, &temperature_, &textureU_, &textureV_,
                         &fuelRate_, &densityRate_, &temperatureRate_, &textureURate_, &textureVRate_, &red_,
                         &green_, &blue_, &alpha_, &scratch_, &oxygen_, &departureX_, &departureY_,
                         &vorticity_, &forceU_, &forceV_})
        g->clear();
    if (!textureU_.empty()) fillTextureCoordinates();
}

void FastSolver::setInputs(const SolverInputs& inputs) {
    inputs_ = inputs;
    if (inputs.obstacle) obstacleChanged_ = true;
    advectionSeconds_ = vorticitySeconds_ = pressureSeconds_ = 0;
}

void FastSolver::finishFrame(bool) {}  // the host grids are the fields

bool FastSolver::report(int done, int total) { return sink_ ? sink_->report(done, total) : true; }

const FloatGrid* FastSolver::output(int slot) const {
    switch (slot) {
        case kOutputVelocityU: return &u_;
        case kOutputVelocityV: return &v_;
        case kOutputTemperature: return &temperature_;
        case kOutputDensity: return &density_;
        case kOutputFuel: return &fuel_;
        case kOutputTextureU: return &textureU_;
        case kOutputTextureV: return &textureV_;
        case kOutputRed: return &red_;
        case kOutputGreen: return &green_;
        case kOutputBlue: return &blue_;
        case kOutputAlpha: return &alpha_;
        default: return nullptr;
    }
}

void FastSolver::step(double dt, bool useTexture, ProgressSink* sink) {
    sink_ = sink;
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
        advectScalar(fuel_, scratch_, fuelRate_, u_, v_, obstacle, rate, ScalarRule::fuel(), rdx, fdt, fdtPrev);
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
        if (diffusion > 0 && heatKernel_.size() > 1) diffuseHeat(temperature_, scratch_, heatKernel_);
        const FloatGrid* rate = nullptr;
        if (inputs_.temperature) {
            if (r.differentialTemperature)
                rate = inputs_.temperature;
            else if (inputs_.temperatureWeight)
                temperature_.setMasked(*inputs_.temperature, *inputs_.temperatureWeight, 0.5f);
        }
        advectScalar(temperature_, scratch_, temperatureRate_, u_, v_, obstacle, rate,
                     ScalarRule::temperature(float(r.cooling), float(r.heatCreation), fdt), rdx, fdt, fdtPrev);
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
    if (r.vorticity > 0) vorticityConfinement(u_, v_, vorticity_, forceU_, forceV_, dx, fdt, float(r.vorticity));
    vorticitySeconds_ += timer.elapsed();

    project(multigrid_.get(), obstacle, obstacle ? inputs_.obstacleU : nullptr,
            obstacle ? inputs_.obstacleV : nullptr, u_, v_, divergence_, residual_, negDivergence_, pressure_,
            false, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, params_,
            iterations_, pressureSeconds_, this);
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
