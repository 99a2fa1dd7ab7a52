#include "headless_host.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "canvas.h"
#include "command_line.h"
#include "host_error.h"

namespace skv::app {

// ---- Pixel worlds handed to the plug-in ----

struct HeadlessHost::World {
    PF_EffectWorld world{};
    std::vector<uint8_t> pixels;
};

struct HeadlessHost::Checkout {
    std::unique_ptr<World> world;
    PF_ArbitraryH ownedHandle = nullptr;  // an interpolated value, disposed at check-in
    int index = 0;
};

namespace {

HeadlessHost* gHost = nullptr;
std::atomic<bool> gRunsCancelled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

int bytesPerChannel(PF_PixelFormat format) {
    return format == PF_PixelFormat_ARGB128 ? 4 : format == PF_PixelFormat_ARGB64 ? 2 : 1;
}

// Float RGBA (straight) into the world's alpha-red-green-blue pixels.
void fillWorld(const Image& image, PF_PixelFormat format, std::vector<uint8_t>& pixels,
               PF_EffectWorld& w) {
    const int bpc = bytesPerChannel(format);
    w.width = image.width;
    w.height = image.height;
    w.rowbytes = A_long(image.width) * 4 * bpc;
    pixels.assign(size_t(w.rowbytes) * size_t(std::max(image.height, 0)), 0);
    w.data = pixels.empty() ? nullptr : pixels.data();
    w.world_flags =
        PF_WorldFlag_WRITEABLE | (format == PF_PixelFormat_ARGB64 ? PF_WorldFlag_DEEP : 0);
    w.extent_hint = {0, 0, image.width, image.height};
    w.pix_aspect_ratio = {1, 1};
    for (int y = 0; y < image.height; ++y) {
        uint8_t* row = pixels.data() + size_t(y) * size_t(w.rowbytes);
        for (int x = 0; x < image.width; ++x) {
            const float* p = image.pixel(x, y);
            const float argb[4] = {p[3], p[0], p[1], p[2]};
            for (int c = 0; c < 4; ++c) {
                const float v = argb[c];
                if (bpc == 4) {
                    std::memcpy(row + (size_t(x) * 4 + c) * 4, &v, 4);
                } else if (bpc == 2) {
                    const uint16_t q = uint16_t(quantized(v, PF_MAX_CHAN16));
                    std::memcpy(row + (size_t(x) * 4 + c) * 2, &q, 2);
                } else {
                    row[size_t(x) * 4 + c] = uint8_t(quantized(v, PF_MAX_CHAN8));
                }
            }
        }
    }
}

Image imageFromWorld(const PF_EffectWorld& w, PF_PixelFormat format) {
    Image image(w.width, w.height);
    const int bpc = bytesPerChannel(format);
    for (int y = 0; y < w.height; ++y) {
        const auto* row = static_cast<const uint8_t*>(w.data) + size_t(y) * size_t(w.rowbytes);
        for (int x = 0; x < w.width; ++x) {
            float argb[4];
            for (int c = 0; c < 4; ++c) {
                if (bpc == 4) {
                    std::memcpy(&argb[c], row + (size_t(x) * 4 + c) * 4, 4);
                } else if (bpc == 2) {
                    uint16_t q;
                    std::memcpy(&q, row + (size_t(x) * 4 + c) * 2, 2);
                    argb[c] = float(q) / PF_MAX_CHAN16;
                } else {
                    argb[c] = float(row[size_t(x) * 4 + c]) / PF_MAX_CHAN8;
                }
            }
            float* p = image.pixel(x, y);
            p[0] = argb[1];
            p[1] = argb[2];
            p[2] = argb[3];
            p[3] = argb[0];
        }
    }
    return image;
}

std::vector<std::string> splitChoices(const std::string& choices) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t bar = choices.find('|', start);
        out.push_back(choices.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return out;
}

template <typename T>
T valueAt(const std::vector<std::pair<double, T>>& keys, double seconds, bool interpolate) {
    if (seconds <= keys.front().first) return keys.front().second;
    if (seconds >= keys.back().first) return keys.back().second;
    size_t k = 1;
    while (keys[k].first < seconds)
        ++k;
    if (!interpolate) return keys[k - 1].second;
    const auto& [t0, v0] = keys[k - 1];
    const auto& [t1, v1] = keys[k];
    return v0 + (v1 - v0) * (seconds - t0) / (t1 - t0);
}

}  // namespace

// ---- Callbacks and suites: plain functions that find the host ----

struct HostCallbacks {
    static HeadlessHost& host(PF_ProgPtr ref) {
        return ref ? *reinterpret_cast<HeadlessHost*>(ref) : *gHost;
    }

    static PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long, A_u_long,
                                PF_ParamDef* param) {
        return host(ref).checkoutParam(index, time, param);
    }
    static PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* param) {
        return host(ref).checkinParam(param);
    }
    static PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
        return host(ref).addParam(index, def);
    }
    static PF_Err registerUI(PF_ProgPtr, PF_CustomUIInfo*) { return PF_Err_NONE; }
    static SPErr acquireSuite(const char* name, int32_t version, const void** suite) {
        return gHost ? gHost->acquireSuite(name, version, suite) : kSPSuiteNotFoundError;
    }
    static SPErr releaseSuite(const char*, int32_t) { return kSPNoError; }

    // PF ANSI Suite
    static A_long ansiSprintf(A_char* buffer, const A_char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
        va_end(args);
        return n;
    }
    // PF Handle Suite
    static PF_Handle newHandle(A_u_longlong size) { return gHost->heap_.allocate(size_t(size)); }
    static void* lockHandle(PF_Handle h) { return gHost->heap_.lock(h); }
    static void unlockHandle(PF_Handle h) { gHost->heap_.unlock(h); }
    static void disposeHandle(PF_Handle h) { gHost->heap_.dispose(h); }
    static A_u_longlong handleSize(PF_Handle h) { return gHost->heap_.size(h); }
    static PF_Err resizeHandle(A_u_longlong size, PF_Handle* h) {
        return h && gHost->heap_.resize(*h, size_t(size)) ? PF_Err_NONE : PF_Err_OUT_OF_MEMORY;
    }
    // PF Param Utils Suite
    static PF_Err updateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
        HeadlessHost& h = host(ref);
        if (index < 0 || size_t(index) >= h.params_.size() || !def)
            return PF_Err_BAD_CALLBACK_PARAM;
        h.params_[size_t(index)].def.ui_flags = def->ui_flags;
        return PF_Err_NONE;
    }
    // PF World Suite
    static PF_Err getPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
        if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
        const auto it = gHost->worldFormats_.find(world->data);
        *format = it != gHost->worldFormats_.end() ? it->second : gHost->pixelFormat();
        return PF_Err_NONE;
    }
    // AEGP suites
    static A_Err getMainHWND(void* hwnd) {
        if (hwnd) *static_cast<void**>(hwnd) = nullptr;  // no window: dialogs have no owner
        return 0;
    }
    static A_Err getNumProjects(A_long* n) {
        *n = 1;
        return 0;
    }
    static A_Err getProjectByIndex(A_long index, AEGP_ProjectH* project) {
        if (index != 0) return PF_Err_BAD_CALLBACK_PARAM;
        *project = reinterpret_cast<AEGP_ProjectH>(gHost);
        return 0;
    }
    static A_Err getProjectPath(AEGP_ProjectH, A_char* path) {
        const std::string p = gHost->scene_ ? gHost->scene_->projectPath() : "";
        std::snprintf(path, AEGP_MAX_PATH_SIZE, "%s", p.c_str());
        return 0;
    }
    static A_Err getProjectBitDepth(AEGP_ProjectH, AEGP_ProjBitDepth* depth) {
        const int bits = gHost->scene_ ? gHost->scene_->comp.bits : 8;
        *depth = bits == 32   ? AEGP_ProjBitDepth_32
                 : bits == 16 ? AEGP_ProjBitDepth_16
                              : AEGP_ProjBitDepth_8;
        return 0;
    }
    static A_Err getEffectLayer(PF_ProgPtr ref, AEGP_LayerH* layer) {
        *layer = reinterpret_cast<AEGP_LayerH>(intptr_t(host(ref).inputLayer_ + 1));
        return 0;
    }
    static int layerOf(AEGP_LayerH layer) { return int(reinterpret_cast<intptr_t>(layer)) - 1; }
    static A_Err getLayerName(AEGP_LayerH layer, A_char* name) {
        const Scene* s = gHost->scene_;
        const int i = layerOf(layer);
        if (!s || i < 0 || size_t(i) >= s->layers.size()) return PF_Err_BAD_CALLBACK_PARAM;
        std::snprintf(name, AEGP_MAX_LAYER_NAME_SIZE, "%s", s->layers[size_t(i)]->name().c_str());
        return 0;
    }
    static A_Err getLayerIndex(AEGP_LayerH layer, A_long* index) {
        *index = layerOf(layer);
        return 0;
    }
    static A_Err getLayerDuration(AEGP_LayerH, AEGP_LTimeMode, A_Time* duration) {
        duration->value = gHost->totalTime_;
        duration->scale = A_u_long(gHost->timeScale_);
        return 0;
    }
    // Progress
    static void frameSimulated(PF_ProgPtr ref, A_long frame, A_long total, double last, double mean,
                               A_Boolean gpu) {
        HeadlessHost& h = host(ref);
        if (h.progress_) h.progress_({int(frame), int(total), last, mean, gpu != 0});
    }
    static void runEnded(PF_ProgPtr ref, A_long frames, A_Boolean failed, A_long lost) {
        host(ref).lastRun_ = RunReport{int(frames), failed != 0, int(lost)};
    }
    static A_Boolean runCancelled(PF_ProgPtr) { return gRunsCancelled.load() ? 1 : 0; }
    static void frameRendered(PF_ProgPtr ref, A_long, A_Boolean cached) {
        host(ref).lastRenderCached_ = cached != 0;
    }
    // Custom UI drawing
    static PF_Err getDrawingReference(PF_ContextH, DRAWBOT_DrawRef* ref) {
        if (!gHost->canvas_) return PF_Err_BAD_CALLBACK_PARAM;
        *ref = reinterpret_cast<DRAWBOT_DrawRef>(gHost->canvas_);
        return PF_Err_NONE;
    }
};

namespace {

const PF_ANSICallbacksSuite1 kAnsiSuite = {&HostCallbacks::ansiSprintf};
const PF_HandleSuite1 kHandleSuite = {&HostCallbacks::newHandle,    &HostCallbacks::lockHandle,
                                      &HostCallbacks::unlockHandle, &HostCallbacks::disposeHandle,
                                      &HostCallbacks::handleSize,   &HostCallbacks::resizeHandle};
const PF_ParamUtilsSuite3 kParamUtilsSuite = {&HostCallbacks::updateParamUI};
const PF_WorldSuite2 kWorldSuite = {&HostCallbacks::getPixelFormat};
const AEGP_UtilitySuite6 kUtilitySuite = {&HostCallbacks::getMainHWND};
const AEGP_ProjSuite5 kProjSuite = {
    &HostCallbacks::getNumProjects, &HostCallbacks::getProjectByIndex,
    &HostCallbacks::getProjectPath, &HostCallbacks::getProjectBitDepth};
const AEGP_PFInterfaceSuite1 kPFInterfaceSuite = {&HostCallbacks::getEffectLayer};
const AEGP_LayerSuite8 kLayerSuite = {&HostCallbacks::getLayerName, &HostCallbacks::getLayerIndex,
                                      &HostCallbacks::getLayerDuration};
const SkvProgressSuite1 kProgressSuite = {&HostCallbacks::frameSimulated, &HostCallbacks::runEnded,
                                          &HostCallbacks::runCancelled,
                                          &HostCallbacks::frameRendered};
const PF_EffectCustomUISuite1 kCustomUISuite = {&HostCallbacks::getDrawingReference};

}  // namespace

// ---- The host ----

HeadlessHost::HeadlessHost(PluginLibrary& plugin, const Scene* scene)
    : plugin_(plugin), scene_(scene) {
    if (gHost) throw HostError(kExitUsage, "only one headless host may exist at a time");
    gHost = this;
    basic_.AcquireSuite = &HostCallbacks::acquireSuite;
    basic_.ReleaseSuite = &HostCallbacks::releaseSuite;
    if (scene_) {
        const double fps = scene_->comp.fps;
        if (std::fabs(fps - std::round(fps)) < 1e-9) {
            timeScale_ = A_long(std::lround(fps));
            timeStep_ = 1;
        } else {
            timeScale_ = A_long(std::lround(fps * 1000));
            timeStep_ = 1000;
            const A_long g = std::gcd(timeScale_, timeStep_);
            timeScale_ /= g;
            timeStep_ /= g;
        }
        totalTime_ = A_long(scene_->comp.frameCount()) * timeStep_;
        inputLayer_ = scene_->layerIndex(scene_->inputLayer);
    }
}

HeadlessHost::~HeadlessHost() {
    try {
        if (sequenceData_) sequenceSetdown();
        for (size_t i = 0; i < params_.size(); ++i) {
            HostParam& p = params_[i];
            if (p.def.param_type != PF_Param_ARBITRARY_DATA) continue;
            disposeArbitrary(int(i), p.def.u.arb_d.value);
            disposeArbitrary(int(i), p.def.u.arb_d.dephault);
            for (auto& key : p.rampKeys)
                disposeArbitrary(int(i), key.second);
        }
        if (globalSetUp_) globalSetdown();
    } catch (...) {
    }
    gHost = nullptr;
}

void HeadlessHost::prepareInData() {
    in_.inter.checkout_param = &HostCallbacks::checkoutParam;
    in_.inter.checkin_param = &HostCallbacks::checkinParam;
    in_.inter.add_param = &HostCallbacks::addParam;
    in_.inter.register_ui = &HostCallbacks::registerUI;
    in_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
    in_.version_major = 13;
    in_.version_minor = 28;
    in_.num_params = A_long(std::max<size_t>(params_.size(), 1));
    in_.current_time = currentTime_;
    in_.time_step = timeStep_;
    in_.local_time_step = timeStep_;
    in_.total_time = totalTime_;
    in_.time_scale = A_u_long(timeScale_);
    const Layer* input =
        scene_ && inputLayer_ >= 0 ? scene_->layers[size_t(inputLayer_)].get() : nullptr;
    in_.width = input ? input->width() : 0;
    in_.height = input ? input->height() : 0;
    in_.extent_hint = {0, 0, in_.width, in_.height};
    in_.downsample_x = in_.downsample_y = in_.pixel_aspect_ratio = {1, 1};
    in_.sequence_data = sequenceData_;
    in_.pica_basicP = &basic_;
}

PF_Err HeadlessHost::call(PF_Cmd cmd, void* extra, PF_ParamDef** params, PF_LayerDef* output) {
    prepareInData();
    std::memset(&out_, 0, sizeof out_);
    out_.sequence_data = sequenceData_;
    return plugin_.entryPoint()(cmd, &in_, &out_, params, output, extra);
}

PF_Err HeadlessHost::rawCommand(PF_Cmd cmd, void* extra) {
    return call(cmd, extra, currentParams().data());
}

PF_Err HeadlessHost::globalSetup() {
    const PF_Err err = call(PF_Cmd_GLOBAL_SETUP, nullptr);
    globalSetUp_ = err == PF_Err_NONE;
    return err;
}

PF_Err HeadlessHost::globalSetdown() {
    globalSetUp_ = false;
    return call(PF_Cmd_GLOBAL_SETDOWN, nullptr);
}

PF_Err HeadlessHost::about(std::string& text) {
    const PF_Err err = call(PF_Cmd_ABOUT, nullptr);
    text = out_.return_msg;
    return err;
}

PF_Err HeadlessHost::paramsSetup() {
    params_.clear();
    HostParam input;
    input.name = scene_ ? scene_->inputLayer : "";
    input.def.param_type = PF_Param_LAYER;
    input.layer = inputLayer_;
    params_.push_back(input);
    const PF_Err err = call(PF_Cmd_PARAMS_SETUP, nullptr);
    if (err) return err;
    // The value of an arbitrary-data parameter starts as a copy of its default.
    for (size_t i = 0; i < params_.size(); ++i) {
        PF_ParamDef& d = params_[i].def;
        if (d.param_type == PF_Param_ARBITRARY_DATA && d.u.arb_d.dephault) {
            d.u.arb_d.value = arbitraryCall(
                PF_Arbitrary_COPY_FUNC, int(i),
                [&](PF_ArbParamsExtra& e) { e.u.copy_func_params.src_arbH = d.u.arb_d.dephault; });
        }
    }
    return PF_Err_NONE;
}

PF_Err HeadlessHost::addParam(PF_ParamIndex index, const PF_ParamDef* def) {
    if (!def || (index != -1 && index != PF_ParamIndex(params_.size())))
        return PF_Err_INVALID_INDEX;
    HostParam p;
    p.def = *def;
    p.name = def->name;
    if (def->param_type == PF_Param_POPUP && def->u.pd.namesptr) p.choices = def->u.pd.namesptr;
    if (def->param_type == PF_Param_CHECKBOX && def->u.bd.nameptr) p.choices = def->u.bd.nameptr;
    // The host keeps its own copies of the texts; the plug-in's pointers are not kept.
    if (def->param_type == PF_Param_CHECKBOX) p.def.u.bd.nameptr = nullptr;
    if (def->param_type == PF_Param_POPUP) p.def.u.pd.namesptr = nullptr;
    params_.push_back(std::move(p));
    return PF_Err_NONE;
}

PF_Err HeadlessHost::sequenceSetup() {
    const PF_Err err = call(PF_Cmd_SEQUENCE_SETUP, nullptr);
    if (!err) sequenceData_ = out_.sequence_data;
    return err;
}

PF_Err HeadlessHost::sequenceResetup(const std::vector<uint8_t>& flat) {
    PF_Handle handle = heap_.allocate(flat.size());
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    std::memcpy(heap_.lock(handle), flat.data(), flat.size());
    heap_.unlock(handle);
    sequenceData_ = handle;
    const PF_Err err = call(PF_Cmd_SEQUENCE_RESETUP, nullptr);
    // The plug-in replaces the flat record by its in-memory handle.
    if (out_.sequence_data != handle) heap_.dispose(handle);
    sequenceData_ = err ? nullptr : out_.sequence_data;
    return err;
}

PF_Err HeadlessHost::sequenceFlatten(std::vector<uint8_t>& flat) {
    const PF_Err err = call(PF_Cmd_SEQUENCE_FLATTEN, nullptr);
    if (err) return err;
    PF_Handle record = out_.sequence_data;
    if (!record || !heap_.live(record)) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    flat.resize(heap_.size(record));
    std::memcpy(flat.data(), heap_.lock(record), flat.size());
    heap_.unlock(record);
    heap_.dispose(record);
    return PF_Err_NONE;
}

PF_Err HeadlessHost::sequenceSetdown() {
    const PF_Err err = call(PF_Cmd_SEQUENCE_SETDOWN, nullptr);
    sequenceData_ = nullptr;
    return err;
}

std::vector<PF_ParamDef*>& HeadlessHost::currentParams() {
    const double seconds = secondsOf(currentTime_);
    currentDefs_.resize(params_.size());
    currentPointers_.resize(params_.size());
    for (size_t i = 0; i < params_.size(); ++i) {
        const HostParam& p = params_[i];
        PF_ParamDef& d = currentDefs_[i];
        d = p.def;
        if (!p.keys.empty()) {
            const bool linear = p.def.param_type == PF_Param_FLOAT_SLIDER;
            const double v = valueAt(p.keys, seconds, linear);
            if (p.def.param_type == PF_Param_FLOAT_SLIDER) d.u.fs_d.value = v;
            if (p.def.param_type == PF_Param_CHECKBOX) d.u.bd.value = A_long(v);
            if (p.def.param_type == PF_Param_POPUP) d.u.pd.value = A_long(v);
        }
        if (p.def.param_type == PF_Param_LAYER) {
            // Layer parameters outside a check-out carry the layer's size but no pixels.
            const Layer* l =
                scene_ && p.layer >= 0 ? scene_->layers[size_t(p.layer)].get() : nullptr;
            std::memset(&d.u.ld, 0, sizeof d.u.ld);
            d.u.ld.width = l ? l->width() : 0;
            d.u.ld.height = l ? l->height() : 0;
        }
        d.uu.change_flags = PF_ChangeFlag_NONE;
        currentPointers_[i] = &d;
    }
    return currentPointers_;
}

void HeadlessHost::readBackChanges() {
    for (size_t i = 0; i < currentDefs_.size() && i < params_.size(); ++i)
        if (currentDefs_[i].uu.change_flags & PF_ChangeFlag_CHANGED_VALUE)
            params_[i].changed = true;
}

PF_Err HeadlessHost::userChangedParam(int index) {
    PF_UserChangedParamExtra extra{index};
    const PF_Err err = call(PF_Cmd_USER_CHANGED_PARAM, &extra, currentParams().data());
    readBackChanges();
    return err;
}

PF_Err HeadlessHost::updateParamsUI() {
    return call(PF_Cmd_UPDATE_PARAMS_UI, nullptr, currentParams().data());
}

PF_Err HeadlessHost::renderCommand() {
    PF_EffectWorld output{};
    return call(PF_Cmd_RENDER, nullptr, currentParams().data(), &output);
}

PF_Err HeadlessHost::event(PF_EventExtra& extra, int index) {
    extra.effect_win.index = index;
    extra.window_type = PF_Window_EFFECT;
    const HostParam& p = params_.at(size_t(index));
    extra.effect_win.current_frame = {0, 0, p.def.ui_width, p.def.ui_height};
    const PF_Err err = call(PF_Cmd_EVENT, &extra, currentParams().data());
    readBackChanges();
    return err;
}

PF_Err HeadlessHost::click(int index, int x, int y, int clicks) {
    PF_EventExtra extra{};
    extra.e_type = PF_Event_DO_CLICK;
    extra.u.do_click.screen_point = {x, y};
    extra.u.do_click.double_click = clicks > 1;
    return event(extra, index);
}

PF_Err HeadlessHost::drag(int index, int x, int y, bool last) {
    PF_EventExtra extra{};
    extra.e_type = PF_Event_DRAG;
    extra.u.do_click.screen_point = {x, y};
    extra.u.do_click.last_time = last;
    return event(extra, index);
}

PF_Err HeadlessHost::moveCursor(int index, int x, int y) {
    PF_EventExtra extra{};
    extra.e_type = PF_Event_ADJUST_CURSOR;
    extra.u.adjust_cursor.screen_point = {x, y};
    return event(extra, index);
}

PF_Err HeadlessHost::drawControl(int index, Canvas& canvas, int originX, int originY, int width,
                                 int height) {
    PF_EventExtra extra{};
    extra.e_type = PF_Event_DRAW;
    extra.effect_win.index = index;
    extra.window_type = PF_Window_EFFECT;
    extra.effect_win.current_frame = {originX, originY, originX + width, originY + height};
    canvas_ = &canvas;
    const PF_Err err = call(PF_Cmd_EVENT, &extra, currentParams().data());
    canvas_ = nullptr;
    return err;
}

// ---- Check-out ----

PF_PixelFormat HeadlessHost::pixelFormat() const {
    const int bits = scene_ ? scene_->comp.bits : 8;
    return bits == 32   ? PF_PixelFormat_ARGB128
           : bits == 16 ? PF_PixelFormat_ARGB64
                        : PF_PixelFormat_ARGB32;
}

HeadlessHost::World& HeadlessHost::makeLayerWorld(int layer, A_long time) {
    auto* world = new World;
    Image image;
    if (scene_ && layer >= 0)
        image = scene_->layers[size_t(layer)]->render(secondsOf(time), scene_->comp.fps);
    fillWorld(image, pixelFormat(), world->pixels, world->world);
    if (world->world.data) worldFormats_[world->world.data] = pixelFormat();
    return *world;
}

PF_ArbitraryH HeadlessHost::rampValueAt(int index, double seconds, bool& owned) {
    HostParam& p = params_[size_t(index)];
    owned = false;
    if (p.rampKeys.empty()) return p.def.u.arb_d.value;
    const auto& keys = p.rampKeys;
    size_t k = 1;
    while (k < keys.size() && keys[k].first < seconds)
        ++k;
    owned = true;
    if (seconds <= keys.front().first || seconds >= keys.back().first || k >= keys.size()) {
        const PF_ArbitraryH held =
            seconds <= keys.front().first ? keys.front().second : keys.back().second;
        return arbitraryCall(PF_Arbitrary_COPY_FUNC, index,
                             [&](PF_ArbParamsExtra& e) { e.u.copy_func_params.src_arbH = held; });
    }
    const double t = (seconds - keys[k - 1].first) / (keys[k].first - keys[k - 1].first);
    return arbitraryCall(PF_Arbitrary_INTERP_FUNC, index, [&](PF_ArbParamsExtra& e) {
        e.u.interp_func_params.left_arbH = keys[k - 1].second;
        e.u.interp_func_params.right_arbH = keys[k].second;
        e.u.interp_func_params.tF = t;
    });
}

PF_Err HeadlessHost::checkoutParam(PF_ParamIndex index, A_long time, PF_ParamDef* param) {
    if (!param) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || size_t(index) >= params_.size()) return PF_Err_INVALID_INDEX;
    const HostParam& p = params_[size_t(index)];
    const double seconds = secondsOf(time);
    *param = p.def;
    auto checkout = std::make_unique<Checkout>();
    checkout->index = index;
    switch (p.def.param_type) {
        case PF_Param_FLOAT_SLIDER:
            if (!p.keys.empty()) param->u.fs_d.value = valueAt(p.keys, seconds, true);
            break;
        case PF_Param_CHECKBOX:
            if (!p.keys.empty()) param->u.bd.value = A_long(valueAt(p.keys, seconds, false));
            break;
        case PF_Param_POPUP:
            if (!p.keys.empty()) param->u.pd.value = A_long(valueAt(p.keys, seconds, false));
            break;
        case PF_Param_LAYER: {
            World& w = makeLayerWorld(p.layer, time);
            checkout->world.reset(&w);
            param->u.ld = w.world;
            param->u.ld.dephault = p.def.u.ld.dephault;
            break;
        }
        case PF_Param_ARBITRARY_DATA: {
            bool owned = false;
            param->u.arb_d.value = rampValueAt(index, seconds, owned);
            if (owned) checkout->ownedHandle = param->u.arb_d.value;
            break;
        }
        default:
            break;
    }
    checkouts_[param] = std::move(checkout);
    return PF_Err_NONE;
}

PF_Err HeadlessHost::checkinParam(PF_ParamDef* param) {
    const auto it = checkouts_.find(param);
    if (it == checkouts_.end()) return PF_Err_BAD_CALLBACK_PARAM;
    if (it->second->world && it->second->world->world.data)
        worldFormats_.erase(it->second->world->world.data);
    if (it->second->ownedHandle) disposeArbitrary(it->second->index, it->second->ownedHandle);
    checkouts_.erase(it);
    return PF_Err_NONE;
}

// ---- Arbitrary data through the plug-in's callbacks ----

PF_ArbitraryH HeadlessHost::arbitraryCall(PF_FunctionSelector selector, int index,
                                          const std::function<void(PF_ArbParamsExtra&)>& fill) {
    const HostParam& p = params_.at(size_t(index));
    PF_ArbParamsExtra extra{};
    extra.id = p.def.uu.id;
    extra.refconPV = p.def.u.arb_d.refconPV;
    extra.param_index = index;
    extra.which_function = selector;
    PF_ArbitraryH produced = nullptr;
    switch (selector) {
        case PF_Arbitrary_NEW_FUNC:
            extra.u.new_func_params.arbPH = &produced;
            break;
        case PF_Arbitrary_COPY_FUNC:
            extra.u.copy_func_params.dst_arbPH = &produced;
            break;
        case PF_Arbitrary_UNFLATTEN_FUNC:
            extra.u.unflatten_func_params.arbPH = &produced;
            break;
        case PF_Arbitrary_INTERP_FUNC:
            extra.u.interp_func_params.interpPH = &produced;
            break;
        default:
            break;
    }
    fill(extra);
    if (call(PF_Cmd_ARBITRARY_CALLBACK, &extra) != PF_Err_NONE) return nullptr;
    return produced;
}

void HeadlessHost::disposeArbitrary(int index, PF_ArbitraryH handle) {
    if (!handle || !heap_.live(handle)) return;
    arbitraryCall(PF_Arbitrary_DISPOSE_FUNC, index,
                  [&](PF_ArbParamsExtra& e) { e.u.dispose_func_params.arbH = handle; });
}

bool HeadlessHost::flatValueAt(int index, double seconds, std::vector<uint8_t>& flat) {
    if (params_.at(size_t(index)).def.param_type != PF_Param_ARBITRARY_DATA) return false;
    bool owned = false;
    PF_ArbitraryH value = rampValueAt(index, seconds, owned);
    const bool ok = flatHandle(index, value, flat);
    if (owned) disposeArbitrary(index, value);
    return ok;
}

bool HeadlessHost::flatValue(int index, std::vector<uint8_t>& flat) {
    const HostParam& p = params_.at(size_t(index));
    return p.def.param_type == PF_Param_ARBITRARY_DATA &&
           flatHandle(index, p.def.u.arb_d.value, flat);
}

bool HeadlessHost::flatHandle(int index, PF_ArbitraryH value, std::vector<uint8_t>& flat) {
    const HostParam& p = params_.at(size_t(index));
    if (!value) return false;
    A_u_long size = 0;
    arbitraryCall(PF_Arbitrary_FLAT_SIZE_FUNC, index, [&](PF_ArbParamsExtra& e) {
        e.u.flat_size_func_params.arbH = value;
        e.u.flat_size_func_params.flat_data_sizePLu = &size;
    });
    flat.assign(size, 0);
    PF_ArbParamsExtra extra{};
    extra.id = p.def.uu.id;
    extra.refconPV = p.def.u.arb_d.refconPV;
    extra.param_index = index;
    extra.which_function = PF_Arbitrary_FLATTEN_FUNC;
    extra.u.flatten_func_params = {value, size, flat.data()};
    return call(PF_Cmd_ARBITRARY_CALLBACK, &extra) == PF_Err_NONE;
}

bool HeadlessHost::setFlatValue(int index, const std::vector<uint8_t>& flat) {
    PF_ArbitraryH handle =
        arbitraryCall(PF_Arbitrary_UNFLATTEN_FUNC, index, [&](PF_ArbParamsExtra& e) {
            e.u.unflatten_func_params.buf_sizeLu = A_u_long(flat.size());
            e.u.unflatten_func_params.flat_dataPV = flat.data();
        });
    if (!handle) return false;
    HostParam& p = params_[size_t(index)];
    disposeArbitrary(index, p.def.u.arb_d.value);
    p.def.u.arb_d.value = handle;
    return true;
}

// ---- Suites ----

SPErr HeadlessHost::acquireSuite(const char* name, int32_t, const void** suite) {
    if (!name || !suite || disabledSuites_.count(name)) return kSPSuiteNotFoundError;
    const std::string n = name;
    const void* found = nullptr;
    if (n == kPFANSISuite)
        found = &kAnsiSuite;
    else if (n == kPFHandleSuite)
        found = &kHandleSuite;
    else if (n == kPFParamUtilsSuite)
        found = &kParamUtilsSuite;
    else if (n == kPFWorldSuite)
        found = &kWorldSuite;
    else if (n == kAEGPUtilitySuite)
        found = &kUtilitySuite;
    else if (n == kAEGPProjSuite)
        found = &kProjSuite;
    else if (n == kAEGPPFInterfaceSuite)
        found = &kPFInterfaceSuite;
    else if (n == kAEGPLayerSuite)
        found = &kLayerSuite;
    else if (n == kSkvProgressSuite)
        found = &kProgressSuite;
    else if (n == kPFEffectCustomUISuite)
        found = &kCustomUISuite;
    else
        found = canvasSuite(n);
    if (!found) return kSPSuiteNotFoundError;
    *suite = found;
    return kSPNoError;
}

// ---- SmartFX rendering ----

void HeadlessHost::cancelRuns() {
    gRunsCancelled.store(true);
}

PF_Err HeadlessHost::renderFrame(int frame, Image& image) {
    currentTime_ = timeOfFrame(frame);
    lastRenderCached_.reset();
    struct Request {
        int index;
        A_long time;
    };
    std::map<A_long, Request> requests;
    static thread_local std::map<A_long, Request>* activeRequests = nullptr;
    activeRequests = &requests;

    PF_PreRenderInput preInput{};
    preInput.output_request.rect = {0, 0, in_.width, in_.height};
    preInput.bitdepth = A_short(scene_ ? scene_->comp.bits : 8);
    PF_PreRenderOutput preOutput{};
    PF_PreRenderCallbacks preCallbacks{};
    preCallbacks.checkout_layer = [](PF_ProgPtr ref, PF_ParamIndex index, A_long id,
                                     const PF_RenderRequest*, A_long time, A_long, A_u_long,
                                     PF_CheckoutResult* result) -> PF_Err {
        HeadlessHost& h = HostCallbacks::host(ref);
        if (index < 0 || size_t(index) >= h.params_.size() ||
            h.params_[size_t(index)].def.param_type != PF_Param_LAYER)
            return PF_Err_BAD_CALLBACK_PARAM;
        (*activeRequests)[id] = {index, time};
        const int layer = index == 0 ? h.inputLayer_ : h.params_[size_t(index)].layer;
        const Layer* l = h.scene_ && layer >= 0 ? h.scene_->layers[size_t(layer)].get() : nullptr;
        if (result) {
            *result = {};
            result->result_rect =
                result->max_result_rect = {0, 0, l ? l->width() : 0, l ? l->height() : 0};
            result->par = {1, 1};
            result->ref_width = l ? l->width() : 0;
            result->ref_height = l ? l->height() : 0;
        }
        return PF_Err_NONE;
    };
    PF_PreRenderExtra preExtra{&preInput, &preOutput, &preCallbacks};
    prepareInData();
    PF_Err err = call(PF_Cmd_SMART_PRE_RENDER, &preExtra, currentParams().data());
    if (err) {
        activeRequests = nullptr;
        return err;
    }

    PF_SmartRenderInput input{};
    input.output_request = preInput.output_request;
    input.bitdepth = preInput.bitdepth;
    input.pre_render_data = preOutput.pre_render_data;
    PF_SmartRenderCallbacks callbacks{};
    callbacks.checkout_layer_pixels = [](PF_ProgPtr ref, A_long id,
                                         PF_EffectWorld** pixels) -> PF_Err {
        HeadlessHost& h = HostCallbacks::host(ref);
        const auto it = activeRequests->find(id);
        if (it == activeRequests->end() || !pixels) return PF_Err_BAD_CALLBACK_PARAM;
        const int layer =
            it->second.index == 0 ? h.inputLayer_ : h.params_[size_t(it->second.index)].layer;
        World& w = h.makeLayerWorld(layer, it->second.time);
        h.smartCheckouts_[id].reset(&w);
        *pixels = w.world.data ? &w.world : nullptr;
        return PF_Err_NONE;
    };
    callbacks.checkin_layer_pixels = [](PF_ProgPtr ref, A_long id) -> PF_Err {
        HeadlessHost& h = HostCallbacks::host(ref);
        const auto it = h.smartCheckouts_.find(id);
        if (it == h.smartCheckouts_.end()) return PF_Err_BAD_CALLBACK_PARAM;
        if (it->second->world.data) h.worldFormats_.erase(it->second->world.data);
        h.smartCheckouts_.erase(it);
        return PF_Err_NONE;
    };
    callbacks.checkout_output = [](PF_ProgPtr ref, PF_EffectWorld** output) -> PF_Err {
        HeadlessHost& h = HostCallbacks::host(ref);
        if (!h.smartOutput_) {
            h.smartOutput_ = std::make_unique<World>();
            fillWorld(Image(h.in_.width, h.in_.height), h.pixelFormat(), h.smartOutput_->pixels,
                      h.smartOutput_->world);
            if (h.smartOutput_->world.data)
                h.worldFormats_[h.smartOutput_->world.data] = h.pixelFormat();
        }
        *output = &h.smartOutput_->world;
        return PF_Err_NONE;
    };
    PF_SmartRenderExtra extra{&input, &callbacks};
    smartOutput_.reset();
    err = call(PF_Cmd_SMART_RENDER, &extra, currentParams().data());
    if (preOutput.delete_pre_render_data_func && preOutput.pre_render_data)
        preOutput.delete_pre_render_data_func(preOutput.pre_render_data);
    for (auto& [id, world] : smartCheckouts_)
        if (world->world.data) worldFormats_.erase(world->world.data);
    smartCheckouts_.clear();
    activeRequests = nullptr;
    if (smartOutput_) {
        image = imageFromWorld(smartOutput_->world, pixelFormat());
        if (smartOutput_->world.data) worldFormats_.erase(smartOutput_->world.data);
        smartOutput_.reset();
    } else {
        image = Image(in_.width, in_.height);
    }
    return err;
}

// ---- Scene settings ----

int HeadlessHost::paramIndex(const std::string& name) const {
    for (size_t i = 1; i < params_.size(); ++i)
        if (params_[i].name == name && params_[i].def.param_type != PF_Param_GROUP_START &&
            params_[i].def.param_type != PF_Param_GROUP_END)
            return int(i);
    return -1;
}

namespace {

// The stored form of a colour ramp: u32 count, then r, g, b, a, position as floats.
std::vector<uint8_t> flatRamp(const Json& stops, const std::string& what) {
    if (!stops.is_array())
        throw HostError(kExitScene, what + ": a colour ramp is [[position, [r, g, b, a]], ...]");
    std::vector<uint8_t> flat(4 + 20 * stops.size());
    const uint32_t n = uint32_t(stops.size());
    std::memcpy(flat.data(), &n, 4);
    size_t offset = 4;
    for (const Json& stop : stops) {
        if (!stop.is_array() || stop.size() != 2 || !stop[0].is_number() || !stop[1].is_array() ||
            (stop[1].size() != 4 && stop[1].size() != 3))
            throw HostError(kExitScene, what + ": a colour stop is [position, [r, g, b, a]]");
        // Positions and components as single floats: a value beyond their range is the scene's
        // fault, not an infinity in the ramp.
        const auto component = [&](const Json& v) {
            if (!v.is_number())
                throw HostError(kExitScene, what + ": colour components are numbers");
            if (!(std::fabs(v.get<double>()) <= 1e6))
                throw HostError(kExitScene, what + ": " + v.dump() + " is beyond +-1e6");
            return v.get<float>();
        };
        float values[5] = {0, 0, 0, 1, component(stop[0])};
        for (size_t c = 0; c < stop[1].size(); ++c)
            values[c] = component(stop[1][c]);
        std::memcpy(flat.data() + offset, values, 20);
        offset += 20;
    }
    return flat;
}

}  // namespace

void HeadlessHost::applySceneSettings() {
    if (!scene_) return;
    const std::string origin = scene_->path + ": effect: ";
    for (const ParamSetting& s : scene_->effect) {
        const int index = paramIndex(s.name);
        if (index < 0)
            throw HostError(kExitScene, origin + "unknown parameter \"" + s.name + "\"" +
                                            didYouMean(s.name, parameterNames()));
        HostParam& p = params_[size_t(index)];
        const std::string what = origin + "\"" + s.name + "\"";
        const bool keyed = s.value.is_object() && s.value.contains("keys");
        std::vector<std::pair<double, Json>> values;
        if (keyed) {
            if (p.def.flags & PF_ParamFlag_CANNOT_TIME_VARY)
                throw HostError(kExitScene, what + " cannot change over time");
            if (!s.value["keys"].is_array() || s.value["keys"].empty())
                throw HostError(kExitScene, what + ": \"keys\" is [[time, value], ...]");
            for (const Json& key : s.value["keys"]) {
                if (!key.is_array() || key.size() != 2 || !key[0].is_number())
                    throw HostError(kExitScene, what + ": a keyframe is [time, value]");
                if (!(std::fabs(key[0].get<double>()) <= Animated<1>::kMaxTime))
                    throw HostError(kExitScene, what + ": the keyframe time " + key[0].dump() +
                                                    " is beyond +-1e7 seconds");
                values.push_back({key[0].get<double>(), key[1]});
            }
            std::stable_sort(values.begin(), values.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        } else {
            values.push_back({0.0, s.value});
        }

        const auto number = [&](const Json& v) -> double {
            switch (p.def.param_type) {
                case PF_Param_FLOAT_SLIDER: {
                    if (!v.is_number()) throw HostError(kExitScene, what + " takes a number");
                    const double x = v.get<double>();
                    if (x < p.def.u.fs_d.valid_min || x > p.def.u.fs_d.valid_max) {
                        char range[96];
                        std::snprintf(range, sizeof range, " is %g, outside its range %g to %g", x,
                                      double(p.def.u.fs_d.valid_min),
                                      double(p.def.u.fs_d.valid_max));
                        throw HostError(kExitScene, what + range);
                    }
                    return x;
                }
                case PF_Param_CHECKBOX:
                    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
                    if (v.is_number() && (v.get<double>() == 0 || v.get<double>() == 1))
                        return v.get<double>();
                    throw HostError(kExitScene, what + " takes true or false");
                case PF_Param_POPUP: {
                    const auto choices = splitChoices(p.choices);
                    if (v.is_string()) {
                        const auto it =
                            std::find(choices.begin(), choices.end(), v.get<std::string>());
                        if (it != choices.end()) return double(it - choices.begin() + 1);
                    } else if (v.is_number_integer() && v.get<int>() >= 1 &&
                               size_t(v.get<int>()) <= choices.size()) {
                        return v.get<int>();
                    }
                    throw HostError(kExitScene, what + " takes one of: " + p.choices);
                }
                default:
                    return 0;
            }
        };

        switch (p.def.param_type) {
            case PF_Param_FLOAT_SLIDER:
            case PF_Param_CHECKBOX:
            case PF_Param_POPUP:
                p.keys.clear();
                for (const auto& [t, v] : values)
                    p.keys.push_back({t, number(v)});
                if (!keyed) {
                    const double v = p.keys.front().second;
                    p.keys.clear();
                    if (p.def.param_type == PF_Param_FLOAT_SLIDER) p.def.u.fs_d.value = v;
                    if (p.def.param_type == PF_Param_CHECKBOX) p.def.u.bd.value = A_long(v);
                    if (p.def.param_type == PF_Param_POPUP) p.def.u.pd.value = A_long(v);
                }
                break;
            case PF_Param_LAYER: {
                if (keyed) throw HostError(kExitScene, what + " cannot change over time");
                if (s.value.is_null()) {
                    p.layer = -1;
                } else if (!s.value.is_string() ||
                           scene_->layerIndex(s.value.get<std::string>()) < 0) {
                    throw HostError(kExitScene,
                                    what + " takes the name of one of the scene's layers");
                } else {
                    p.layer = scene_->layerIndex(s.value.get<std::string>());
                }
                break;
            }
            case PF_Param_ARBITRARY_DATA: {
                if (!p.def.u.arb_d.dephault)
                    throw HostError(kExitScene, what + " is a control, not a value");
                std::vector<std::pair<double, PF_ArbitraryH>> handles;
                for (const auto& [t, v] : values) {
                    const std::vector<uint8_t> flat = flatRamp(v, what);
                    PF_ArbitraryH h = arbitraryCall(
                        PF_Arbitrary_UNFLATTEN_FUNC, index, [&](PF_ArbParamsExtra& e) {
                            e.u.unflatten_func_params.buf_sizeLu = A_u_long(flat.size());
                            e.u.unflatten_func_params.flat_dataPV = flat.data();
                        });
                    if (!h)
                        throw HostError(kExitScene,
                                        what + ": the plug-in rejected this colour ramp");
                    handles.push_back({t, h});
                }
                for (auto& key : p.rampKeys)
                    disposeArbitrary(index, key.second);
                p.rampKeys.clear();
                if (keyed) {
                    p.rampKeys = handles;
                } else {
                    disposeArbitrary(index, p.def.u.arb_d.value);
                    p.def.u.arb_d.value = handles.front().second;
                }
                break;
            }
            default:
                throw HostError(kExitScene, what + " is a group and takes no value");
        }
    }
}

std::vector<std::string> HeadlessHost::parameterNames() const {
    std::vector<std::string> names;
    for (size_t i = 1; i < params_.size(); ++i)
        if (params_[i].def.param_type != PF_Param_GROUP_START &&
            params_[i].def.param_type != PF_Param_GROUP_END)
            names.push_back(params_[i].name);
    return names;
}

std::string HeadlessHost::rangeText(int index) const {
    const HostParam& p = params_.at(size_t(index));
    char text[96];
    switch (p.def.param_type) {
        case PF_Param_FLOAT_SLIDER:
            std::snprintf(text, sizeof text, "%g to %g", double(p.def.u.fs_d.valid_min),
                          double(p.def.u.fs_d.valid_max));
            return text;
        case PF_Param_CHECKBOX:
            return "on|off";
        case PF_Param_POPUP:
            return p.choices;
        case PF_Param_LAYER:
            return "a layer";
        case PF_Param_ARBITRARY_DATA:
            return p.def.u.arb_d.dephault ? "colour stops" : "control";
        default:
            return "";
    }
}

std::string HeadlessHost::valueFingerprint(int index) {
    const HostParam& p = params_.at(size_t(index));
    std::string text;
    char number[40];
    const auto add = [&](double v) {
        std::snprintf(number, sizeof number, "%.17g;", v);
        text += number;
    };
    switch (p.def.param_type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_CHECKBOX:
        case PF_Param_POPUP:
            if (p.keys.empty()) {
                add(p.def.param_type == PF_Param_FLOAT_SLIDER ? p.def.u.fs_d.value
                    : p.def.param_type == PF_Param_CHECKBOX   ? double(p.def.u.bd.value)
                                                              : double(p.def.u.pd.value));
            } else {
                text = "keys:";
                for (const auto& [t, v] : p.keys) {
                    add(t);
                    add(v);
                }
            }
            return text;
        case PF_Param_LAYER:
            if (!scene_ || p.layer < 0) return "none";
            {
                const std::string& name = scene_->layers[size_t(p.layer)]->name();
                const auto it = scene_->layerTexts.find(name);
                return "layer:" + name + ":" + (it == scene_->layerTexts.end() ? "" : it->second);
            }
        case PF_Param_ARBITRARY_DATA: {
            const auto hex = [&](const std::vector<uint8_t>& bytes) {
                static const char digits[] = "0123456789abcdef";
                for (uint8_t b : bytes) {
                    text += digits[b >> 4];
                    text += digits[b & 15];
                }
                text += ';';
            };
            std::vector<uint8_t> flat;
            if (p.rampKeys.empty()) {
                if (flatValue(index, flat)) hex(flat);
            } else {
                text = "keys:";
                for (const auto& [t, handle] : p.rampKeys) {
                    add(t);
                    if (flatHandle(index, handle, flat)) hex(flat);
                }
            }
            return text;
        }
        default:
            return "";
    }
}

std::string HeadlessHost::valueText(int index, double seconds) {
    const HostParam& p = params_.at(size_t(index));
    char text[128];
    switch (p.def.param_type) {
        case PF_Param_FLOAT_SLIDER: {
            const double v = p.keys.empty() ? p.def.u.fs_d.value : valueAt(p.keys, seconds, true);
            std::snprintf(text, sizeof text, "%.*f", std::max<int>(p.def.u.fs_d.precision, 0), v);
            return text;
        }
        case PF_Param_CHECKBOX: {
            const double v = p.keys.empty() ? p.def.u.bd.value : valueAt(p.keys, seconds, false);
            return v != 0 ? "on" : "off";
        }
        case PF_Param_POPUP: {
            const int v = int(p.keys.empty() ? p.def.u.pd.value : valueAt(p.keys, seconds, false));
            const auto choices = splitChoices(p.choices);
            return v >= 1 && size_t(v) <= choices.size() ? choices[size_t(v - 1)] : "?";
        }
        case PF_Param_LAYER:
            return scene_ && p.layer >= 0 ? scene_->layers[size_t(p.layer)]->name() : "none";
        case PF_Param_ARBITRARY_DATA: {
            std::vector<uint8_t> flat;
            if (!flatValue(index, flat) || flat.size() < 4) return "(control)";
            uint32_t n;
            std::memcpy(&n, flat.data(), 4);
            return std::to_string(n) + (n == 1 ? " stop" : " stops") +
                   (p.rampKeys.empty() ? "" : " (animated)");
        }
        case PF_Param_GROUP_START:
            return "(group)";
        case PF_Param_GROUP_END:
            return "(end of group)";
        default:
            return "";
    }
}

}  // namespace skv::app
