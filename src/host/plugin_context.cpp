#include "host/plugin_context.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "cache/cache_directory.h"
#include "host/command_handlers.h"
#include "host/custom_ui.h"
#include "host/messages.h"
#include "host/string_table.h"
#include "host/suites.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/log.h"
#include "ui/preview_window.h"

namespace skv {
namespace {

// Contexts this library made and has not destroyed: a sequence-data pointer is trusted only
// when it is one of them.
std::mutex registryMutex;
std::set<const PluginContext*>& registry() {
    static std::set<const PluginContext*>* live = new std::set<const PluginContext*>;
    return *live;
}

constexpr size_t kHandleBytes = sizeof(PluginContext*);
constexpr size_t kFlatHeader = 8;

PluginContext* contextIn(const PF_HandleSuite1& handles, PF_Handle handle) {
    if (!handle || handles.host_get_handle_size(handle) != kHandleBytes) return nullptr;
    PluginContext* context = nullptr;
    if (void* block = handles.host_lock_handle(handle)) std::memcpy(&context, block, kHandleBytes);
    handles.host_unlock_handle(handle);
    std::lock_guard<std::mutex> lock(registryMutex);
    return registry().count(context) ? context : nullptr;
}

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeU32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        p[k] = uint8_t(v >> (8 * k));
}

void* mainWindow(const PF_InData* in) {
    ScopedSuite<AEGP_UtilitySuite6> utility(in, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion6);
    void* window = nullptr;
    utility->AEGP_GetMainHWND(&window);
    return window;
}

// A new 8-byte handle holding a new context; null when the handle cannot be had.
PF_Handle newContextHandle(const PF_HandleSuite1& handles, PluginContext*& context) {
    PF_Handle handle = handles.host_new_handle(kHandleBytes);
    if (!handle) return nullptr;
    context = new PluginContext;
    void* block = handles.host_lock_handle(handle);
    std::memcpy(block, &context, kHandleBytes);
    handles.host_unlock_handle(handle);
    return handle;
}

}  // namespace

PluginContext::PluginContext() : engine_(std::make_unique<Simulation>()) {
    densityEditor = std::make_unique<RampEditor>(kUIDensityColor);
    temperatureEditor = std::make_unique<RampEditor>(kUITemperatureColor);
    fuelEditor = std::make_unique<RampEditor>(kUIFuelColor);
    simulationControl = std::make_unique<SimulationControl>();
    cacheControl = std::make_unique<CacheControl>();
    savedCursor.time = Rational(0, 1);
    savedCursor.step = Rational(1, 1);
    std::lock_guard<std::mutex> lock(registryMutex);
    registry().insert(this);
}

PluginContext::~PluginContext() {
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry().erase(this);
    }
    SKV_LOG(Debug, "PluginContext d'tor");
    densityEditor.reset();
    temperatureEditor.reset();
    fuelEditor.reset();
    simulationControl.reset();
    cacheControl.reset();
    previewWindow.reset();
    engine_.reset();
}

bool PluginContext::report(int, int) {
    return abortRequested.load() == 0;
}

PluginContext* contextFrom(const PF_InData* in) {
    if (!in || !in->sequence_data) return nullptr;
    HandleSuite handles = acquireHandleSuite(in);
    return contextIn(handles.get(), in->sequence_data);
}

bool chooseCacheDirectory(PluginContext& context, std::string& path, bool allowTemporary) {
    return chooseCacheDirectory(context.engine().frameStore(), path, allowTemporary);
}

// ---- Sequence data ----

PF_Err createSequenceData(const CommandArgs& a) {
    HandleSuite suite = acquireHandleSuite(a.in);
    PluginContext* context = nullptr;
    PF_Handle handle = newContextHandle(suite.get(), context);
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    a.out->sequence_data = handle;
    std::string path;
    chooseCacheDirectory(*context, path, true);
    return PF_Err_NONE;
}

PF_Err resetupSequenceData(const CommandArgs& a) {
    HandleSuite suite = acquireHandleSuite(a.in);
    const PF_HandleSuite1& handles = suite.get();
    PluginContext* context = nullptr;
    PF_Handle handle = newContextHandle(handles, context);
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    a.out->sequence_data = handle;

    PF_Handle flat = a.in->sequence_data;
    const uint64_t size = flat ? handles.host_get_handle_size(flat) : 0;
    if (size < kFlatHeader) return PF_Err_NONE;
    std::vector<uint8_t> record(size);
    std::memcpy(record.data(), handles.host_lock_handle(flat), size);
    handles.host_unlock_handle(flat);
    const uint64_t length = readU32(record.data() + 4);
    if (length > size - kFlatHeader) return PF_Err_NONE;  // a length beyond the record: ignored

    std::string path(reinterpret_cast<const char*>(record.data() + kFlatHeader), length);
    while (!chooseCacheDirectory(*context, path, true)) {
        showMessage(lookupString(kStrExceptionTitle),
                    std::string(lookupString(kStrOpenCacheFailed)) + "\n\n" + path);
        bool cancelled = false;
        browseCacheLocation(a.in, path, true, cancelled);
        // Without a choice the loop could only repeat itself: the instance goes on with its
        // frames in RAM only.
        if (cancelled) break;
    }
    if (size > kFlatHeader + length)
        context->engine().frameStore().setOutdated(record[kFlatHeader + length] != 0);
    context->continueFromCache = !context->engine().frameStore().cacheDirectoryPath().empty();
    return PF_Err_NONE;
}

PF_Err flattenSequenceData(const CommandArgs& a) {
    PluginContext* context = contextFrom(a.in);
    if (!context) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    BFS& store = context->engine().frameStore();
    // A saved project describes a cache on disk: the frames still only in RAM are written now.
    store.flush();
    const std::string path = store.cacheDirectoryPath();
    HandleSuite suite = acquireHandleSuite(a.in);
    PF_Handle flat = suite->host_new_handle(kFlatHeader + path.size() + 1);
    if (!flat) return PF_Err_OUT_OF_MEMORY;
    auto* out = static_cast<uint8_t*>(suite->host_lock_handle(flat));
    writeU32(out, 0);
    writeU32(out + 4, uint32_t(path.size()));
    std::memcpy(out + kFlatHeader, path.data(), path.size());
    out[kFlatHeader + path.size()] = store.outdated() ? 1 : 0;
    suite->host_unlock_handle(flat);
    a.out->sequence_data = flat;
    return PF_Err_NONE;
}

PF_Err destroySequenceData(const CommandArgs& a) {
    if (!a.in->sequence_data) return PF_Err_NONE;
    HandleSuite suite = acquireHandleSuite(a.in);
    PluginContext* context = contextIn(suite.get(), a.in->sequence_data);
    if (!context) return PF_Err_NONE;
    SKV_LOG(Debug, "destroyPluginContext");
    delete context;
    suite->host_unlock_handle(a.in->sequence_data);
    suite->host_dispose_handle(a.in->sequence_data);
    a.in->sequence_data = nullptr;
    a.out->sequence_data = nullptr;
    return PF_Err_NONE;
}

// ---- Choosing and moving the cache ----

void browseCacheLocation(const PF_InData* in, std::string& path, bool allowTemporary,
                         bool& cancelled) {
    void* owner = mainWindow(in);
    browseForFolder(
        owner, path,
        lookupString(allowTemporary ? kStrChooseCacheOrTemporary : kStrChooseCacheLocation),
        cancelled);
}

std::string defaultCacheLocation(const PF_InData* in) {
    ScopedSuite<AEGP_ProjSuite5> projects(in, kAEGPProjSuite, kAEGPProjSuiteVersion5);
    AEGP_ProjectH project = nullptr;
    if (projects->AEGP_GetProjectByIndex(0, &project) != 0) return {};
    char path[AEGP_MAX_PATH_SIZE] = {};
    if (projects->AEGP_GetProjectPath(project, path) != 0) return {};
    const std::string p(path, strnlen(path, sizeof path));
    size_t cut = p.find_last_of('/');
    if (cut == std::string::npos) cut = p.find_last_of('\\');
    return cut == std::string::npos ? std::string() : p.substr(0, cut);
}

void saveCacheAs(const PF_InData* in, PluginContext& context, bool& cancelled) {
    cancelled = false;
    std::string path = defaultCacheLocation(in);
    for (;;) {
        // Choose a folder; ask before overwriting the frame files of another cache.
        for (;;) {
            browseCacheLocation(in, path, false, cancelled);
            if (cancelled) return;
            Directory folder;
            std::vector<std::string> names;
            if (folder.set(path)) folder.list(names);
            const bool hasFrames =
                std::any_of(names.begin(), names.end(), [](const std::string& n) {
                    return n.size() >= 4 && n.compare(n.size() - 4, 4, ".bcf") == 0;
                });
            if (!hasFrames) break;
            const int answer = askQuestion(nullptr, lookupString(kStrNoticeTitle),
                                           lookupString(kStrOverwriteCacheFiles));
            if (answer == kAnswerCancel) {
                cancelled = true;
                return;
            }
            if (answer == kAnswerYes) break;
        }
        std::string error;
        if (context.engine().frameStore().moveCache(path, error)) return;
        showMessage(
            lookupString(kStrExceptionTitle),
            std::string(lookupString(kStrSaveCacheFailed)) + "\n\n" + path + "\n\n" + error);
    }
}

}  // namespace skv
