#include "session.h"

#include <omp.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "command_line.h"
#include "host_error.h"

namespace skv::app {
namespace fs = std::filesystem;

void expectOk(PF_Err err, const std::string& what) {
    if (err != PF_Err_NONE)
        throw HostError(kExitPlugin, what + " failed with host error " + std::to_string(err));
}

Session::Session(const std::string& pluginPath, const std::string& scenePath,
                 const std::vector<std::string>& settings)
    : scene_(std::make_unique<Scene>(loadScene(scenePath))) {
    for (const std::string& text : settings) {
        const std::pair<std::string, std::string> setting = parseSetting(text);
        const std::string& name = setting.first;
        Json parsed = Json::parse(setting.second);
        const auto it = std::find_if(scene_->effect.begin(), scene_->effect.end(),
                                     [&](const ParamSetting& s) { return s.name == name; });
        if (it != scene_->effect.end())
            it->value = std::move(parsed);
        else
            scene_->effect.push_back({name, std::move(parsed)});
    }
    plugin_ = std::make_unique<PluginLibrary>(pluginPath);
    host_ = std::make_unique<HeadlessHost>(*plugin_, scene_.get());
    expectOk(host_->globalSetup(), "global set-up");
    // The plug-in sets a thread per processor at its global set-up; a count the user chose
    // (--threads) holds on this thread too.
    if (const char* threads = std::getenv("OMP_NUM_THREADS"); threads && std::atoi(threads) > 0)
        omp_set_num_threads(std::atoi(threads));
    expectOk(host_->paramsSetup(), "parameter set-up");
    host_->applySceneSettings();
    saved_ = loadProjectState(scene_->projectPath());
    if (saved_) outdatedBy_ = saved_->outdatedBy;
}

Session::~Session() {
    host_.reset();
}

void Session::applySavedValues() {
    if (!saved_) return;
    for (const auto& [name, flat] : saved_->parameters) {
        const int index = host_->paramIndex(name);
        if (index < 0 || !host_->setFlatValue(index, flat))
            throw HostError(kExitScene, scene_->projectPath() + ": the saved value of \"" + name +
                                            "\" does not fit the effect");
        host_->params()[size_t(index)].changed = true;
    }
}

std::map<std::string, std::string> Session::fingerprints() {
    std::map<std::string, std::string> values;
    const auto input = scene_->layerTexts.find(scene_->inputLayer);
    values[kComposition] = scene_->compositionText + " on " + scene_->inputLayer + ":" +
                           (input == scene_->layerTexts.end() ? "" : input->second);
    for (size_t i = 1; i < host_->params().size(); ++i) {
        const HostParam& p = host_->params()[i];
        if (p.def.param_type == PF_Param_GROUP_START || p.def.param_type == PF_Param_GROUP_END)
            continue;
        values[p.name] = host_->valueFingerprint(int(i));
    }
    return values;
}

std::vector<std::string> Session::pendingEdits() {
    std::vector<std::string> edits;
    if (!saved_) return edits;
    for (const auto& [name, value] : fingerprints()) {
        const auto seen = saved_->seen.find(name);
        // A name the project never saw (a project state of an older version) is no edit.
        if (seen != saved_->seen.end() && seen->second != value) edits.push_back(name);
    }
    return edits;
}

bool Session::outdated() {
    std::vector<uint8_t> flat;
    expectOk(host_->sequenceFlatten(flat), "sequence flatten");
    return outdatedMarkOf(flat);
}

uint64_t Session::estimatedMemory() {
    const auto value = [&](const char* name, double fallback) {
        const int index = host_->paramIndex(name);
        return index < 0 ? fallback : host_->params()[size_t(index)].def.u.fs_d.value;
    };
    const double scale = std::max(value("Resolution Scale", 1.0), 1e-3);
    const double cells = (std::trunc(scene_->comp.width / scale) + 2) *
                         (std::trunc(scene_->comp.height / scale) + 2);
    const double pixels = double(scene_->comp.width) * double(scene_->comp.height);
    // The solver's fields and scratch grids with the engine's input grids (about 60 grids of
    // floats a cell); the source images at layer size and at grid size, the renderer's images
    // and the layers' pixels as the host hands them over (about 40 floats a pixel); and the
    // frame cache's RAM budget.
    constexpr double kFloatsPerCell = 60, kFloatsPerPixel = 40;
    // The frame cache holds at most its budget, and never more than every frame of the run
    // (13 grids a frame at most).
    const double ramBudget =
        std::max(0.0, std::trunc(value("RAM Cache Size (in MB)", 0))) * 1048576.0;
    const double ramCache =
        std::min(ramBudget, 13.0 * 4.0 * cells * double(scene_->comp.frameCount()));
    // Each layer's pixels, as an image of floats and as the pixel world the plug-in reads.
    double layerBytes = 0;
    for (const auto& layer : scene_->layers)
        layerBytes += 32.0 * double(layer->width()) * double(layer->height());
    return uint64_t(4.0 * (kFloatsPerCell * cells + kFloatsPerPixel * pixels) + layerBytes +
                    ramCache);
}

void Session::checkMemory() {
    uint64_t limit = uint64_t(::sysconf(_SC_PHYS_PAGES)) * uint64_t(::sysconf(_SC_PAGESIZE));
    if (const char* text = std::getenv("SKYVANE_MEMORY_LIMIT_MB"); text && std::atof(text) > 0)
        limit = uint64_t(std::atof(text) * 1048576.0);
    const uint64_t needed = estimatedMemory();
    if (needed <= limit) return;
    char text[256];
    std::snprintf(
        text, sizeof text,
        "the scene would need about %.1f GiB of memory (%d x %d at its \"Resolution Scale\" and "
        "\"RAM Cache Size (in MB)\"), more than the %.1f GiB available",
        double(needed) / 1073741824.0, scene_->comp.width, scene_->comp.height,
        double(limit) / 1073741824.0);
    throw HostError(kExitScene, scene_->path + ": " + text +
                                    "; raise \"Resolution Scale\" or lower the size "
                                    "(SKYVANE_MEMORY_LIMIT_MB sets the limit)");
}

bool Session::openInstance(CacheUse use) {
    checkMemory();
    const std::string folder = scene_->cache;
    std::error_code error;
    if (use == CacheUse::kCreate) {
        fs::create_directories(folder, error);
        if (!fs::is_directory(folder))
            throw HostError(kExitSimulation, folder + ": cannot create the cache folder (" +
                                                 (error ? error.message() : "not a folder") + ")");
        // Frames that cannot be written would only be lost at the end of a long run.
        const std::string probe = folder + "/.skyvane-write-test-" + std::to_string(::getpid());
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            throw HostError(kExitSimulation, folder + ": cannot write the cache folder (" +
                                                 std::strerror(errno) + ")");
        ::close(fd);
        ::unlink(probe.c_str());
    } else if (!fs::is_directory(folder, error)) {
        throw HostError(kExitScene, folder + ": the project's cache folder cannot be opened (" +
                                        (error ? error.message() : "no such folder") +
                                        "); run \"skyvane simulate\" to simulate again");
    }

    bool mark = true;  // nothing simulated yet
    if (saved_) {
        applySavedValues();
        mark = outdatedMarkOf(saved_->sequenceData);
        // The scene names the cache folder. A project whose frames are elsewhere (the scene's
        // "cache" was edited) does not describe this folder's frames.
        // A saved folder that is gone went with a moved project: its name is what can be compared.
        const fs::path before = cacheFolderOf(saved_->sequenceData);
        bool sameFolder = before.empty() || before.filename() == fs::path(folder).filename();
        if (before.is_absolute() && fs::exists(before, error))
            sameFolder = fs::equivalent(before, folder, error);
        if (!sameFolder) {
            mark = true;
            if (std::find(outdatedBy_.begin(), outdatedBy_.end(), "cache") == outdatedBy_.end())
                outdatedBy_.push_back("cache");
        }
    }
    expectOk(host_->sequenceResetup(sequenceRecord(folder, mark)),
             saved_ ? "sequence re-set-up" : "sequence set-up");
    {
        // The plug-in falls back to a temporary folder when it cannot open the one it is given;
        // frames there would vanish with the process.
        std::vector<uint8_t> flat;
        expectOk(host_->sequenceFlatten(flat), "sequence flatten");
        const std::string opened = cacheFolderOf(flat);
        if (opened.empty() || !fs::equivalent(opened, folder, error))
            throw HostError(use == CacheUse::kCreate ? kExitSimulation : kExitScene,
                            folder + ": the plug-in cannot open the cache folder (see the log)");
    }
    if (!saved_) return false;

    for (const std::string& name : pendingEdits()) {
        const int index = name == kComposition ? 0 : host_->paramIndex(name);
        if (index < 0) continue;
        const bool before = outdated();
        expectOk(host_->userChangedParam(index), "the change of \"" + name + "\"");
        if (!before && outdated() &&
            std::find(outdatedBy_.begin(), outdatedBy_.end(), name) == outdatedBy_.end())
            outdatedBy_.push_back(name);
    }
    return true;
}

void Session::saveProject() {
    ProjectState state;
    expectOk(host_->sequenceFlatten(state.sequenceData), "sequence flatten");
    for (size_t i = 1; i < host_->params().size(); ++i) {
        const HostParam& p = host_->params()[i];
        if (!p.changed || p.def.param_type != PF_Param_ARBITRARY_DATA) continue;
        std::vector<uint8_t> flat;
        if (host_->flatValue(int(i), flat)) state.parameters[p.name] = std::move(flat);
    }
    state.seen = fingerprints();
    // A simulation from the first frame clears the plug-in's mark, and with it the reasons.
    if (outdatedMarkOf(state.sequenceData)) state.outdatedBy = outdatedBy_;
    saveProjectState(scene_->projectPath(), state);
    saved_ = std::move(state);
}

}  // namespace skv::app
