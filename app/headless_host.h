#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/sdk/ae_suites.h"
#include "host_memory.h"
#include "image.h"
#include "plugin_library.h"
#include "scene.h"

namespace skv::app {

class Canvas;

// One effect parameter as the host holds it.
struct HostParam {
    PF_ParamDef def{};  // as the plug-in added it; value fields hold the value when not animated
    std::string name;
    std::string choices;                          // popups: "a|b|c"; checkboxes: the label
    std::vector<std::pair<double, double>> keys;  // sliders, checkboxes, popups (seconds)
    std::vector<std::pair<double, PF_ArbitraryH>> rampKeys;  // arbitrary data (seconds)
    int layer = -1;        // layer parameters: the scene layer's index, -1 for none
    bool changed = false;  // the plug-in changed the value through its custom UI

    bool enabled() const { return !(def.ui_flags & PF_PUI_DISABLED); }
};

// How a simulation run ended.
struct RunReport {
    int framesCached = 0;
    bool failed = false;
    int framesLost = 0;
};

// What a simulation run reported, frame by frame.
struct ProgressReport {
    int frame, totalFrames;
    double lastFrameSeconds, meanFrameSeconds;
    bool gpu;
};

// The host application without the application: it loads the plug-in's description and code,
// holds a composition with layers and the effect's parameters, and drives the plug-in through
// its entry point with the commands, callbacks and suites the compositing host provides.
// One instance per process at a time (suites without an effect reference find it globally).
class HeadlessHost {
  public:
    HeadlessHost(PluginLibrary& plugin, const Scene* scene);
    ~HeadlessHost();
    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    // ---- Commands. Each returns the plug-in's result. ----
    PF_Err globalSetup();
    PF_Err globalSetdown();
    PF_Err about(std::string& text);
    PF_Err paramsSetup();
    PF_Err sequenceSetup();
    PF_Err sequenceResetup(const std::vector<uint8_t>& flat);
    PF_Err sequenceFlatten(std::vector<uint8_t>& flat);
    PF_Err sequenceSetdown();
    PF_Err userChangedParam(int index);
    PF_Err updateParamsUI();
    PF_Err renderCommand();  // the non-SmartFX render command
    // Custom-UI events; positions are relative to the parameter's area.
    PF_Err click(int index, int x, int y, int clicks);
    PF_Err drag(int index, int x, int y, bool last);
    PF_Err moveCursor(int index, int x, int y);
    PF_Err drawControl(int index, Canvas& canvas, int originX, int originY, int width, int height);
    // SmartFX pre-render and render of one frame into `image` (the output at the project's bit
    // depth, converted to float); returns the first error.
    PF_Err renderFrame(int frame, Image& image);
    // Sends any command with an extra record (for tests of the dispatch).
    PF_Err rawCommand(PF_Cmd cmd, void* extra);

    // ---- Parameters ----
    // Applies the scene's effect settings by display name; throws HostError (scene) naming the
    // parameter for an unknown name, a value of the wrong kind or outside the range.
    void applySceneSettings();
    int paramIndex(const std::string& name) const;  // -1 when unknown
    std::vector<HostParam>& params() { return params_; }
    const std::vector<HostParam>& params() const { return params_; }
    // A parameter's value at `seconds`, as text (for listings).
    std::string valueText(int index, double seconds);
    // What a parameter accepts, as text: "0 to 1000", the choices, "a layer", ...
    std::string rangeText(int index) const;
    // The whole value of a parameter, keyframes included, as comparable text: equal texts mean
    // equal values at every time.
    std::string valueFingerprint(int index);
    // Display names of the parameters that take values (for "did you mean").
    std::vector<std::string> parameterNames() const;
    // The flat form of an arbitrary-data parameter's current value, and setting it from one.
    bool flatValue(int index, std::vector<uint8_t>& flat);
    bool setFlatValue(int index, const std::vector<uint8_t>& flat);
    // The flat form of an arbitrary-data parameter's value at `seconds`, as a check-out at that
    // time gives it to the plug-in (interpolated between keyframes by the plug-in).
    bool flatValueAt(int index, double seconds, std::vector<uint8_t>& flat);

    // ---- Time ----
    A_long timeScale() const { return timeScale_; }
    A_long timeStep() const { return timeStep_; }
    A_long timeOfFrame(int frame) const { return A_long(frame) * timeStep_; }
    double secondsOf(A_long time) const { return double(time) / double(timeScale_); }
    void setCurrentFrame(int frame) { currentTime_ = timeOfFrame(frame); }

    // ---- Test and scripting hooks ----
    HandleHeap& heap() { return heap_; }
    void disableSuite(const std::string& name) { disabledSuites_.insert(name); }
    void enableSuite(const std::string& name) { disabledSuites_.erase(name); }
    void setProgressListener(std::function<void(const ProgressReport&)> f) {
        progress_ = std::move(f);
    }
    // Asks a running simulation to stop as a user closing its preview window does. Safe to
    // call from a signal handler.
    static void cancelRuns();
    // Whether the last render found its frame in the cache, when the plug-in said.
    const std::optional<bool>& lastRenderCached() const { return lastRenderCached_; }
    // The report of the last simulation run, when the plug-in gave one.
    const std::optional<RunReport>& lastRun() const { return lastRun_; }
    void clearLastRun() { lastRun_.reset(); }
    const PF_OutData& lastOutData() const { return out_; }
    PF_Handle sequenceData() const { return sequenceData_; }
    int outstandingCheckouts() const { return int(checkouts_.size()); }
    const Scene* scene() const { return scene_; }
    PluginLibrary& plugin() { return plugin_; }

  private:
    friend struct HostCallbacks;

    struct Checkout;  // a parameter or layer checked out by the plug-in
    struct World;     // pixels handed to the plug-in

    PF_Err call(PF_Cmd cmd, void* extra, PF_ParamDef** params = nullptr,
                PF_LayerDef* output = nullptr);
    void prepareInData();
    // The parameters' values at the current time, for the commands that receive them.
    std::vector<PF_ParamDef*>& currentParams();
    void readBackChanges();
    PF_Err event(PF_EventExtra& extra, int index);

    // Callbacks.
    PF_Err checkoutParam(PF_ParamIndex index, A_long time, PF_ParamDef* param);
    PF_Err checkinParam(PF_ParamDef* param);
    PF_Err addParam(PF_ParamIndex index, const PF_ParamDef* def);
    SPErr acquireSuite(const char* name, int32_t version, const void** suite);
    World& makeLayerWorld(int layer, A_long time);
    PF_PixelFormat pixelFormat() const;
    PF_ArbitraryH arbitraryCall(PF_FunctionSelector selector, int index,
                                const std::function<void(PF_ArbParamsExtra&)>& fill);
    void disposeArbitrary(int index, PF_ArbitraryH handle);
    bool flatHandle(int index, PF_ArbitraryH value, std::vector<uint8_t>& flat);
    PF_ArbitraryH rampValueAt(int index, double seconds, bool& owned);

    PluginLibrary& plugin_;
    const Scene* scene_;
    HandleHeap heap_;
    PF_InData in_{};
    PF_OutData out_{};
    SPBasicSuite basic_{};
    PF_Handle sequenceData_ = nullptr;
    A_long timeScale_ = 24, timeStep_ = 1, currentTime_ = 0, totalTime_ = 0;
    int inputLayer_ = -1;
    std::vector<HostParam> params_;
    std::vector<PF_ParamDef> currentDefs_;
    std::vector<PF_ParamDef*> currentPointers_;
    std::map<const PF_ParamDef*, std::unique_ptr<Checkout>> checkouts_;
    std::map<A_long, std::unique_ptr<World>> smartCheckouts_;
    std::unique_ptr<World> smartOutput_;
    std::map<const void*, PF_PixelFormat> worldFormats_;  // by pixel data
    std::set<std::string> disabledSuites_;
    std::function<void(const ProgressReport&)> progress_;
    std::optional<RunReport> lastRun_;
    std::optional<bool> lastRenderCached_;
    Canvas* canvas_ = nullptr;  // the drawing target of the current draw event
    PF_Rect drawArea_{};
    bool globalSetUp_ = false;
};

}  // namespace skv::app
