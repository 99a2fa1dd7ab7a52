#include "host/simulation_run.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "gpu/cuda_state.h"
#include "host/arbitrary_data.h"
#include "host/messages.h"
#include "host/output_writer.h"
#include "host/parameters.h"
#include "host/string_table.h"
#include "host/suites.h"
#include "platform/exception.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/processors.h"
#include "platform/thread.h"
#include "platform/timer.h"
#include "render/resample.h"
#include "ui/preview_window.h"
#include "ui/simulation_host.h"

namespace skv {
namespace {

// Sample scales of the project depths: 8 bits (the single-precision 1/255 the conversion has
// always used, and 1/254 for the layers whose mid grey must be exactly 0.5), 16 bits, float.
constexpr float kScale8 = 0.003921569f;
constexpr float kScale8Signed = 0.003937008f;
constexpr float kScale16 = 1.0f / 32768.0f;

int bitsOfDepth(AEGP_ProjBitDepth depth) {
    return depth == AEGP_ProjBitDepth_32 ? 32 : depth == AEGP_ProjBitDepth_16 ? 16 : 8;
}

// One pixel of a world as scaled alpha, red, green, blue; non-finite floats read as 0 so that
// they cannot poison the simulation.
inline void readPixel(const PF_EffectWorld& w, int bits, int x, int y, float scale, float argb[4]) {
    const auto* row = static_cast<const uint8_t*>(w.data) + size_t(y) * size_t(w.rowbytes);
    if (bits == 32) {
        std::memcpy(argb, row + size_t(x) * 16, 16);
        for (int c = 0; c < 4; ++c)
            argb[c] = std::isfinite(argb[c]) ? argb[c] * scale : 0.0f;
    } else if (bits == 16) {
        uint16_t q[4];
        std::memcpy(q, row + size_t(x) * 8, 8);
        for (int c = 0; c < 4; ++c)
            argb[c] = float(q[c]) * scale;
    } else {
        const uint8_t* p = row + size_t(x) * 4;
        for (int c = 0; c < 4; ++c)
            argb[c] = float(p[c]) * scale;
    }
}

bool worldUsable(const PF_EffectWorld& w, int bits) {
    return w.data && w.width > 0 && w.height > 0 && w.rowbytes >= w.width * 4 * (bits / 8);
}

// Luminance weighted by alpha, one float per pixel.
void luminance(const PF_EffectWorld& w, int bits, float scale, FloatGrid& out, FloatGrid* alpha) {
    out.resize(uint32_t(w.width), uint32_t(w.height));
    if (alpha) alpha->resize(uint32_t(w.width), uint32_t(w.height));
#pragma omp parallel for schedule(static)
    for (int y = 0; y < w.height; ++y)
        for (int x = 0; x < w.width; ++x) {
            float p[4];
            readPixel(w, bits, x, y, scale, p);
            out(uint32_t(x), uint32_t(y)) = p[0] * (0.3f * p[1] + 0.59f * p[2] + 0.11f * p[3]);
            if (alpha) (*alpha)(uint32_t(x), uint32_t(y)) = p[0];
        }
}

void rgba(const PF_EffectWorld& w, int bits, float scale, FloatImage& out) {
    out.resize(uint32_t(w.width), uint32_t(w.height));
#pragma omp parallel for schedule(static)
    for (int y = 0; y < w.height; ++y)
        for (int x = 0; x < w.width; ++x) {
            float p[4];
            readPixel(w, bits, x, y, scale, p);
            float* o = out.pixel(uint32_t(x), uint32_t(y));
            o[0] = p[1];
            o[1] = p[2];
            o[2] = p[3];
            o[3] = p[0];
        }
}

class AESimulationHost final : public SimulationHost {
  public:
    AESimulationHost(const PF_InData* in, PluginContext& context);

    bool prepareFrame() override;
    bool advanceFrame() override;
    bool frameCompleted() override;
    void settleOutdatedMark() override;
    void requestAbort() override;

  private:
    void run();
    void continueAfterCachedFrames();
    void workerLoop();
    bool addInputs(A_long time);

    const PF_InData* in_;
    PluginContext& context_;
    AEGP_ProjBitDepth projectBitDepth_ = AEGP_ProjBitDepth_8;
    RenderSettings renderSettings_;
    double inputSeconds_ = 0;
    Timer frameTimer_, inputTimer_, renderTimer_;
    TimeCursor startCursor_, endCursor_, cursor_;
    InputScales scales_;
    bool startedAtFirstFrame_ = false;
    uint32_t gridWidth_ = 0, gridHeight_ = 0;
    int totalFrames_ = 0;
    std::optional<ScopedSuite<SkvProgressSuite1>> progress_;
};

AESimulationHost::AESimulationHost(const PF_InData* in, PluginContext& context)
    : in_(in), context_(context) {
    startCursor_ = endCursor_ = cursor_ = TimeCursor{Rational(0, 1), Rational(1, 1)};
    ScopedSuite<AEGP_ProjSuite5> projects(in, kAEGPProjSuite, kAEGPProjSuiteVersion5);
    ScopedSuite<AEGP_PFInterfaceSuite1> effects(in, kAEGPPFInterfaceSuite,
                                                kAEGPPFInterfaceSuiteVersion1);
    ScopedSuite<AEGP_LayerSuite8> layers(in, kAEGPLayerSuite, kAEGPLayerSuiteVersion8);
    ScopedSuite<PF_ANSICallbacksSuite1> ansi(in, kPFANSISuite, kPFANSISuiteVersion1);
    ScopedSuite<AEGP_UtilitySuite6> utility(in, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion6);
    try {
        // Optional: a host that reports progress elsewhere (our headless host) offers it.
        progress_.emplace(in, kSkvProgressSuite, kSkvProgressSuiteVersion1);
    } catch (PF_Err) {
    }

    bool hostFailed = false;
    AEGP_ProjectH project = nullptr;
    hostFailed |= projects->AEGP_GetProjectByIndex(0, &project) != 0;
    hostFailed |= projects->AEGP_GetProjectBitDepth(project, &projectBitDepth_) != 0;
    AEGP_LayerH layer = nullptr;
    hostFailed |= effects->AEGP_GetEffectLayer(in->effect_ref, &layer) != 0;
    char name[AEGP_MAX_LAYER_NAME_SIZE] = {};
    A_long index = 0;
    A_Time duration{0, 1};
    hostFailed |= layers->AEGP_GetLayerName(layer, name) != 0;
    hostFailed |= layers->AEGP_GetLayerIndex(layer, &index) != 0;
    hostFailed |= layers->AEGP_GetLayerDuration(layer, AEGP_LTimeMode_LayerTime, &duration) != 0;
    char title[AEGP_MAX_LAYER_NAME_SIZE + 16];
    std::snprintf(title, sizeof title, "%d. %s", int(index + 1), name);
    void* mainWindow = nullptr;
    utility->AEGP_GetMainHWND(&mainWindow);

    context_.previewWindow.reset();
    context_.previewWindow =
        std::make_unique<PreviewWindow>(mainWindow, this, title, 100, 100, in->width, in->height);
    const double fps = in->time_step ? double(in->time_scale) / in->time_step : 0.0;
    const double seconds = duration.scale ? double(duration.value) / duration.scale : 0.0;
    totalFrames_ = int(seconds * fps);
    if (progress_ && (*progress_)->RunCancelled) {
        SkvProgressSuite1 const* suite = progress_->operator->();
        const PF_ProgPtr ref = in->effect_ref;
        context_.previewWindow->setCloseCheck(
            [suite, ref] { return suite->RunCancelled(ref) != 0; });
    }
    context_.previewWindow->setFrames(0, totalFrames_, fps);
    context_.previewWindow->stopwatch().restart();

    const Rational step(in->time_step, in->time_scale);
    startCursor_ = TimeCursor{Rational(0, 1), step};
    endCursor_ = TimeCursor{Rational(duration.value, duration.scale), step};
    context_.outputImage.resize(uint32_t(std::max(in->width, 0)),
                                uint32_t(std::max(in->height, 0)));
    context_.outputImage.clear();

    double resolutionScale = 1, ramMegabytes = 0;
    {
        CheckedOutParam scale(in, kParamResolutionScale, in->current_time);
        CheckedOutParam ram(in, kParamRamCacheSize, in->current_time);
        hostFailed |= scale.error() != PF_Err_NONE || ram.error() != PF_Err_NONE;
        if (!scale.error()) resolutionScale = scale.def().u.fs_d.value;
        if (!ram.error()) ramMegabytes = ram.def().u.fs_d.value;
    }
    Simulation& engine = context_.engine();
    engine.frameStore().setMemoryBudget(uint64_t(std::max(0.0, std::trunc(ramMegabytes))) << 20);
    gridWidth_ = uint32_t(std::max(0.0, in->width * (1.0 / resolutionScale)));
    gridHeight_ = uint32_t(std::max(0.0, in->height * (1.0 / resolutionScale)));

    if (!(engine.gridsInitialised() && engine.width() == gridWidth_ &&
          engine.height() == gridHeight_)) {
        engine.resize(gridWidth_, gridHeight_, true);
        bool failed = hostFailed;
        const PF_ParamIndex present[] = {kParamDensityLayer, kParamTemperatureLayer,
                                         kParamFuelLayer, kParamColorLayer};
        bool has[4] = {};
        for (int i = 0; i < 4 && !failed; ++i) {
            CheckedOutParam p(in, present[i], in->current_time);
            failed = p.error() != PF_Err_NONE;
            has[i] = p.hasLayer();
        }
        bool useTexture = false;
        if (!failed) {
            CheckedOutParam texture(in, kParamUseTexture, in->current_time);
            failed = texture.error() != PF_Err_NONE;
            useTexture = texture.def().u.bd.value != 0;
        }
        if (failed) throw Exception("Failed to checkout source layers");
        engine.sources().density = has[0];
        engine.sources().temperature = has[1];
        engine.sources().fuel = has[2];
        engine.sources().color = has[3];
        engine.setUseTexture(useTexture);
        engine.setCurrentTime(startCursor_);
        engine.setFrameDuration(startCursor_.step);
        context_.savedCursor = startCursor_;
        if (context_.continueFromCache && !engine.frameStore().outdated())
            continueAfterCachedFrames();
    }
    context_.continueFromCache = false;
    cursor_ = context_.savedCursor;
    startedAtFirstFrame_ = cursor_.frameIndex() == 0;
    run();
}

void AESimulationHost::continueAfterCachedFrames() {
    Simulation& engine = context_.engine();
    int32_t cached = 0;
    while (cached < totalFrames_ && fileExists(engine.frameStore().frameFileName(cached)))
        ++cached;
    if (cached == 0) return;
    if (!engine.resumeFromCache(cached - 1)) {
        SKV_LOG(Warning, "Cached frame " << (cached - 1)
                                         << " cannot be continued from: simulating from frame 0");
        return;
    }
    const TimeCursor resumed{startCursor_.time + startCursor_.step * Rational(cached, 1),
                             startCursor_.step};
    engine.setCurrentTime(resumed);
    context_.savedCursor = resumed;
}

void AESimulationHost::run() {
    SKV_LOG(Info, "using 2 threads");
    // The worker's start state is set before either thread runs: the window thread may hand
    // over the first frame before the worker reaches its loop, and a reset inside the worker
    // would swallow that wake-up and leave both threads waiting for each other.
    context_.quitWorker = 0;
    context_.wakeWorker.drain();
    context_.simulationFailed = 0;
    context_.abortRequested = 0;

    // The worker is a thread of its own, not the second thread of an OpenMP team: the parallel
    // loops of a simulation step would then be nested regions, for which the OpenMP runtime
    // starts new threads every time (about 70 µs a loop, several milliseconds a sub-step). On a
    // thread of its own they are top-level regions with a team that stays.
    struct WorkerRunnable final : Runnable {
        explicit WorkerRunnable(AESimulationHost& h) : host(h) {}
        void run() override { host.workerLoop(); }
        AESimulationHost& host;
    } worker(*this);
    std::unique_ptr<Thread> workerThread = Thread::create(&worker);
    workerThread->start(kPriorityNormal);  // throws "Failed to create Thread: ..."
    std::exception_ptr windowFailure;
    try {
        context_.previewWindow->open();
    } catch (...) {
        windowFailure = std::current_exception();
        context_.abortRequested = 1;
    }
    context_.quitWorker = 1;
    context_.wakeWorker.release();
    workerThread->join();
    SKV_LOG(Debug, "Simulation thread terminated");
    // The worker may finish the frame it was handed after the window has closed, so that no
    // frameCompleted saw it: the next run starts after that frame instead of simulating it twice.
    if (context_.frameDone && context_.engine().remainingSteps() == 0)
        context_.savedCursor = cursor_;
    if (windowFailure) std::rethrow_exception(windowFailure);
}

void AESimulationHost::workerLoop() {
    for (;;) {
        if (context_.quitWorker) return;
        context_.wakeWorker.acquire();
        if (context_.quitWorker) return;
        context_.simulationFailed = 0;
        try {
            context_.engine().update(&context_);
        } catch (const Exception& e) {
            context_.simulationFailed = 1;
            SKV_LOG(Error, e.message());
        } catch (...) {
            context_.simulationFailed = 1;
            SKV_LOG(Error, "Unknown exception during simulation update");
        }
        context_.frameDone = 1;
        if (context_.previewWindow) context_.previewWindow->post(context_.simulationFailed ? 1 : 0);
    }
}

bool AESimulationHost::prepareFrame() {
    inputTimer_.restart();
    const A_long time = A_long(cursor_.frameIndex()) * in_->time_step;
    if (readSimulationParameters(time, in_, context_.engine().parameters(), scales_) !=
        PF_Err_NONE) {
        SKV_LOG(Error, "Error updating parameters");
        return false;
    }
    if (!addInputs(time)) {
        SKV_LOG(Error, "Error adding inputs");
        return false;
    }
    inputSeconds_ = inputTimer_.elapsed();
    return true;
}

bool AESimulationHost::addInputs(A_long time) {
    // Checked out in this order and in, in reverse order, when leaving (also on failure).
    const PF_ParamIndex order[] = {
        kParamDensityLayer,    kParamColorLayer,    kParamTemperatureLayer, kParamFuelLayer,
        kParamDivergenceLayer, kParamObstacleLayer, kParamVelocityLayer};
    std::optional<CheckedOutParam> layers[7];
    for (int i = 0; i < 7; ++i) {
        layers[i].emplace(in_, order[i], time);
        if (layers[i]->error()) return false;
    }
    bool useTexture = false;
    {
        CheckedOutParam texture(in_, kParamUseTexture, time);
        if (texture.error()) return false;
        useTexture = texture.def().u.bd.value != 0;
    }

    Simulation& engine = context_.engine();
    engine.clearSources();
    {
        ScopedSuite<AEGP_ProjSuite5> projects(in_, kAEGPProjSuite, kAEGPProjSuiteVersion5);
        AEGP_ProjectH project = nullptr;
        if (projects->AEGP_GetProjectByIndex(0, &project) == 0)
            projects->AEGP_GetProjectBitDepth(project, &projectBitDepth_);
    }
    const int bits = bitsOfDepth(projectBitDepth_);
    const float scale = bits == 32 ? 1.0f : bits == 16 ? kScale16 : kScale8;
    const float signedScale = bits == 8 ? kScale8Signed : scale;
    engine.setUseTexture(useTexture);

    const auto world = [&](int i) -> const PF_EffectWorld* {
        const PF_EffectWorld& w = layers[i]->def().u.ld;
        return int64_t(w.width) * w.height != 0 && worldUsable(w, bits) ? &w : nullptr;
    };
    const PF_EffectWorld* density = world(0);
    const PF_EffectWorld* color = world(1);
    const PF_EffectWorld* temperature = world(2);
    const PF_EffectWorld* fuel = world(3);
    const PF_EffectWorld* divergence = world(4);
    const PF_EffectWorld* obstacle = world(5);
    const PF_EffectWorld* velocity = world(6);

    SourceImages& s = context_.sources;
    const uint32_t gw = engine.width(), gh = engine.height();
    const auto toGrid = [&](FloatGrid& layer, FloatGrid& grid) {
        grid.resize(gw, gh);
        resample(layer, grid);
    };
    const auto toGridImage = [&](FloatImage& layer, FloatImage& grid) {
        grid.resize(gw, gh);
        resample(layer, grid);
    };
    if (density) {
        luminance(*density, bits, scale, s.densityLayer, nullptr);
        toGrid(s.densityLayer, s.density);
    }
    if (fuel) {
        luminance(*fuel, bits, scale, s.fuelLayer, nullptr);
        toGrid(s.fuelLayer, s.fuel);
    }
    if (divergence) {
        luminance(*divergence, bits, scale, s.divergenceLayer, nullptr);
        toGrid(s.divergenceLayer, s.divergence);
    }
    if (temperature) {
        luminance(*temperature, bits, scale, s.temperatureLayer, &s.temperatureAlphaLayer);
        toGrid(s.temperatureLayer, s.temperature);
        toGrid(s.temperatureAlphaLayer, s.temperatureAlpha);
    }
    if (color) {
        rgba(*color, bits, scale, s.colorLayer);
        toGridImage(s.colorLayer, s.color);
    }
    if (obstacle) {
        rgba(*obstacle, bits, signedScale, context_.scratchImage);
        toGridImage(context_.scratchImage, s.obstacle);
    }
    if (velocity) {
        rgba(*velocity, bits, signedScale, context_.scratchImage);
        toGridImage(context_.scratchImage, s.velocity);
    }

    Simulation::SourceFlags& flags = engine.sources();
    flags.density = density != nullptr;
    flags.color = color != nullptr;
    flags.temperature = temperature != nullptr;
    flags.fuel = fuel != nullptr;
    flags.divergence = divergence != nullptr;
    flags.obstacle = obstacle != nullptr;
    flags.obstacleVelocity = obstacle != nullptr && scales_.obstacleHasVelocity;
    flags.velocity = velocity != nullptr;

    // Grid cell (x, y) of a source is cell (x + 1, y + 1) of the engine's padded grids.
    Simulation::Inputs& grids = engine.inputs();
    const float densityScale = float(scales_.density),
                temperatureScale = float(scales_.temperature);
    const float fuelScale = float(scales_.fuel), divergenceScale = float(scales_.divergence);
    const float velocityScale = float(scales_.velocity),
                obstacleScale = float(scales_.obstacleVelocity);
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < int64_t(gh); ++y) {
        for (uint32_t x = 0; x < gw; ++x) {
            const uint32_t gx = x + 1, gy = uint32_t(y) + 1, sy = uint32_t(y);
            if (flags.density) grids.density(gx, gy) = s.density(x, sy) * densityScale;
            if (flags.color) {
                const float* c = s.color.pixel(x, sy);
                grids.red(gx, gy) = c[0];
                grids.green(gx, gy) = c[1];
                grids.blue(gx, gy) = c[2];
                grids.alpha(gx, gy) = c[3];
            }
            if (flags.temperature) {
                grids.temperature(gx, gy) = s.temperature(x, sy) * temperatureScale;
                grids.temperatureWeight(gx, gy) = s.temperatureAlpha(x, sy);
            }
            if (flags.fuel) grids.fuel(gx, gy) = s.fuel(x, sy) * fuelScale;
            if (flags.divergence) grids.divergence(gx, gy) = s.divergence(x, sy) * divergenceScale;
            if (flags.obstacle) {
                const float* o = s.obstacle.pixel(x, sy);
                grids.obstacle(gx, gy) = o[3] > 0.5f ? 1.0f : 0.0f;
                if (flags.obstacleVelocity) {
                    grids.obstacleU(gx, gy) = (o[0] - 0.5f) * obstacleScale * 2.0f;
                    grids.obstacleV(gx, gy) = (0.5f - o[1]) * obstacleScale * 2.0f;
                }
            }
            if (flags.velocity) {
                const float* v = s.velocity.pixel(x, sy);
                if (v[3] <= 0.5f) {
                    grids.velocityU(gx, gy) = grids.velocityV(gx, gy) =
                        grids.velocityWeight(gx, gy) = 0.0f;
                } else {
                    grids.velocityU(gx, gy) = (v[0] - 0.5f) * velocityScale * 2.0f;
                    grids.velocityV(gx, gy) = (0.5f - v[1]) * velocityScale * 2.0f;
                    grids.velocityWeight(gx, gy) = 1.0f;
                }
            }
        }
    }
    return true;
}

bool AESimulationHost::advanceFrame() {
    if (!(cursor_.time < endCursor_.time)) return false;
    context_.savedCursor = cursor_;
    const double magnitude = std::floor(std::fabs(scales_.timeScale) * 1e6 + 0.5);
    const Rational ratio(scales_.timeScale < 0 ? -magnitude : magnitude, 1e6);
    context_.engine().setFrameDuration(cursor_.step * ratio);
    context_.frameDone = 0;
    // This thread's loops are done until the frame is simulated: their idle threads would
    // only make the runtime put the worker's team to sleep at every loop.
    releaseIdleThreads();
    context_.wakeWorker.release();
    cursor_.time = cursor_.time + cursor_.step;
    return true;
}

bool AESimulationHost::frameCompleted() {
    // A frame the worker finished is done: the next run starts after it. An update that an
    // abort interrupted leaves the saved cursor on its frame, which the next run finishes.
    if (context_.engine().remainingSteps() == 0) context_.savedCursor = cursor_;
    PreviewWindow* preview = context_.previewWindow.get();
    const double lastSeconds = frameTimer_.elapsed();
    const int k = cursor_.frameIndex();
    const double meanSeconds = preview ? preview->stopwatch().elapsed() / (k + 1) : 0.0;
    if (preview) {
        preview->setFrames(k, totalFrames_,
                           preview ? double(in_->time_scale) / in_->time_step : 0.0);
        preview->setTimes(lastSeconds, meanSeconds);
    }
    frameTimer_.restart();
    if (progress_ && (*progress_)->FrameSimulated)
        (*progress_)
            ->FrameSimulated(in_->effect_ref, k, totalFrames_, lastSeconds, meanSeconds,
                             context_.engine().solver() && context_.engine().solver()->onGpu());

    const A_long time = A_long(k) * in_->time_step;
    CheckedOutParam texture(in_, kParamTextureLayer, time);
    if (texture.error()) {
        SKV_LOG(Error, "Error checking out texture layer");
        return false;
    }
    const int bits = bitsOfDepth(projectBitDepth_);
    if (texture.hasLayer())
        readWorldToImage(texture.def().u.ld, bits, context_.scratchImage);
    else
        context_.scratchImage.resize(0, 0);
    renderTimer_.restart();
    const PF_Err settingsError = readRenderSettings(time, in_, renderSettings_);
    const int simulated = context_.engine().frameCounter();
    if (simulated >= 1)
        renderFrame(context_, simulated - 1, context_.outputImage, &context_.scratchImage,
                    renderSettings_);
    SKV_LOG(Debug, "Inputs: " << inputSeconds_ << " Render: " << renderTimer_.elapsed());
    if (!preview) {
        SKV_LOG(Info, "Preview window closed by user, aborting simulation");
        return false;
    }
    preview->update(context_.outputImage.data(), int(context_.outputImage.width()),
                    int(context_.outputImage.height()));
    const PF_Err checkIn = texture.checkIn();
    if (settingsError || checkIn) {
        SKV_LOG(Error, "Error checking in texture layer");
        return false;
    }
    return true;
}

void AESimulationHost::settleOutdatedMark() {
    BFS& store = context_.engine().frameStore();
    store.setOutdated(store.outdated() && !startedAtFirstFrame_);
}

void AESimulationHost::requestAbort() {
    context_.abortRequested = 1;
}

}  // namespace

void runSimulation(const CommandArgs& a, PluginContext& context) {
    {
        CheckedOutParam gpu(a.in, kParamGpuSupport, a.in->current_time);
        const bool requested = !gpu.error() && gpu.def().u.bd.value != 0;
        setCudaEnabled(requested);
        SKV_LOG(Info, (isCudaActive() ? "CUDA active" : "CUDA not active"));
    }
    {
        AESimulationHost host(a.in, context);
        host.settleOutdatedMark();
    }
    if (context.simulationFailed)
        showMessage(lookupString(kStrExceptionTitle), lookupString(kStrSimulationUnstable));
    try {
        ScopedSuite<SkvProgressSuite1> progress(a.in, kSkvProgressSuite, kSkvProgressSuiteVersion1);
        if (progress->RunEnded)
            progress->RunEnded(a.in->effect_ref, context.engine().frameCounter(),
                               context.simulationFailed != 0,
                               A_long(context.engine().frameStore().lostFrames()));
    } catch (PF_Err) {
        // A host without the suite learns of the run from the cache.
    }
}

PF_Err readRenderSettings(A_long time, const PF_InData* in, RenderSettings& settings) {
    double values[9] = {};
    const PF_ParamIndex numeric[] = {
        kParamRenderMode,   kParamAlphaMode,       kParamResolutionScale,
        kParamMaxVelocity,  kParamRefractionScale, kParamRefractionSmoothness,
        kParamAlphaFalloff, kParamTimeScale,       kParamMotionBlur};
    for (int i = 0; i < 9; ++i) {
        CheckedOutParam p(in, numeric[i], time);
        if (p.error()) return p.error();
        const PF_ParamDef& d = p.def();
        values[i] = d.param_type == PF_Param_POPUP ? double(d.u.pd.value) : d.u.fs_d.value;
        if (const PF_Err err = p.checkIn()) return err;
    }
    settings.renderMode = int32_t(values[0]) - 1;
    settings.alphaMode = int32_t(values[1]) - 1;
    settings.maxVelocity = float(values[3] / values[2]);
    settings.refractionScale = float(values[4]);
    settings.refractionSmoothness = float(values[5]);
    settings.alphaFalloff = float(values[6]);
    settings.motionBlur =
        float(values[7]) * float(values[8]) * float(in->time_step) / float(in->time_scale);
    const std::pair<PF_ParamIndex, ColorRamp*> ramps[] = {
        {kParamDensityColor, &settings.densityColors},
        {kParamTemperatureColor, &settings.temperatureColors},
        {kParamFuelColor, &settings.fuelColors}};
    for (const auto& [index, ramp] : ramps) {
        CheckedOutParam p(in, index, time);
        if (p.error()) return p.error();
        if (const ColorRamp* value = rampFromHandle(in, p.def().u.arb_d.value)) ramp->copy(*value);
        if (const PF_Err err = p.checkIn()) return err;
    }
    return PF_Err_NONE;
}

bool renderFrame(PluginContext& context, int frameIndex, FloatImage& output,
                 const FloatImage* texture, const RenderSettings& settings) {
    std::lock_guard<std::mutex> lock(context.renderMutex);
    CacheFrameGuard guard(&context.engine().frameStore(), frameIndex, true);
    const FloatGrid* grids[CacheFrameGuard::kGridTypes];
    for (uint32_t t = 0; t < CacheFrameGuard::kGridTypes; ++t)
        grids[t] = guard.grid(t);
    const FrameFields fields = FrameFields::fromGrids(grids, CacheFrameGuard::kGridTypes);
    context.renderer.render(fields, texture, settings, output);
    return guard.frame() != nullptr && fields.leftOut == 0;
}

}  // namespace skv
