#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/simulation.h"
#include "grid/float_grid.h"
#include "grid/progress_sink.h"
#include "grid/rational.h"
#include "host/sdk/ae_types.h"
#include "platform/semaphore.h"
#include "render/float_image.h"
#include "render/render_frame.h"

namespace skv {

class PreviewWindow;
class RampEditor;
class SimulationControl;
class CacheControl;

// The per-source images of a run: each source layer converted at layer size, then brought to
// the grid size. Kept between frames so that a run allocates only when sizes change.
struct SourceImages {
    FloatGrid densityLayer, fuelLayer, divergenceLayer, temperatureLayer, temperatureAlphaLayer;
    FloatGrid density, fuel, divergence, temperature, temperatureAlpha;
    FloatImage colorLayer, color, obstacle, velocity;
};

// Everything one applied instance of the effect owns, kept as its sequence data: the engine
// with its frame cache, the custom controls, the preview window of a run, scratch images, and
// the flags through which the two threads of a run talk.
class PluginContext : public ProgressSink {
  public:
    PluginContext();
    ~PluginContext() override;
    PluginContext(const PluginContext&) = delete;
    PluginContext& operator=(const PluginContext&) = delete;

    Simulation& engine() { return *engine_; }

    // The worker's answer to "continue?": not while an abort is requested.
    bool report(int done, int total) override;

    TimeCursor savedCursor;  // where the next run resumes
    // A reopened project: its next run continues after the frames of its cache (the state in
    // memory is gone, the frames on disk are not). Cleared by "restart" and by that run.
    bool continueFromCache = false;
    std::unique_ptr<PreviewWindow> previewWindow;
    std::unique_ptr<RampEditor> densityEditor, temperatureEditor, fuelEditor;
    std::unique_ptr<SimulationControl> simulationControl;
    std::unique_ptr<CacheControl> cacheControl;
    FloatImage scratchImage;  // the converted texture layer; obstacle and velocity sources
    FloatImage outputImage;   // the preview image of a run
    // The effect render's own images: the host may render while a run uses the two above.
    FloatImage renderTexture, renderOutput;
    RenderSettings renderSettings;  // of the last effect pre-render

    // The run's hand-over between the window thread and the worker.
    Semaphore wakeWorker;
    std::atomic<uint8_t> simulationFailed{0}, abortRequested{0}, frameDone{0}, quitWorker{0};

    SourceImages sources;
    Renderer renderer;  // with its pyramid, kernel and smoothing grids
    // The host may render a frame of the effect while a run renders its preview: one render at
    // a time uses the renderer and the output image.
    std::mutex renderMutex;

  private:
    std::unique_ptr<Simulation> engine_;
};

// The context of the instance a command is for, or null when the sequence data holds none.
// Only pointers this library made are accepted: a damaged or foreign handle yields null.
PluginContext* contextFrom(const PF_InData* in);

// Chooses the cache directory of a context: opens `path`, or, when that fails and temporary
// folders are allowed, a new temporary folder (path then names it).
bool chooseCacheDirectory(PluginContext& context, std::string& path, bool allowTemporary);

// The folder browser for the cache location, starting at `path`; `cancelled` tells whether the
// user cancelled (path is then unchanged).
void browseCacheLocation(const PF_InData* in, std::string& path, bool allowTemporary,
                         bool& cancelled);
// The folder of the current project file; empty for an unsaved project.
std::string defaultCacheLocation(const PF_InData* in);
// Lets the user choose a folder and moves the disk cache there, asking before overwriting frame
// files and letting the user choose again after a failure.
void saveCacheAs(const PF_InData* in, PluginContext& context, bool& cancelled);

}  // namespace skv
