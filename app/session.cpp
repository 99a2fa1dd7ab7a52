#include "session.h"

#include "host_error.h"

#include <sys/stat.h>

#include <algorithm>

namespace skv::app {

void expectOk(PF_Err err, const std::string& what) {
    if (err != PF_Err_NONE) throw HostError(kExitPlugin, what + " failed with host error " + std::to_string(err));
}

Session::Session(const std::string& pluginPath, const std::string& scenePath)
    : scene_(std::make_unique<Scene>(loadScene(scenePath))),
      plugin_(std::make_unique<PluginLibrary>(pluginPath)),
      host_(std::make_unique<HeadlessHost>(*plugin_, scene_.get())) {
    expectOk(host_->globalSetup(), "global set-up");
    expectOk(host_->paramsSetup(), "parameter set-up");
    host_->applySceneSettings();
}

Session::~Session() { host_.reset(); }

bool Session::openInstance() {
    const std::optional<ProjectState> state = loadProjectState(scene_->projectPath());
    if (!state) {
        // A new instance whose cache lives beside the scene (not in a temporary folder that
        // would go with the process), as a project saved with that cache folder reopens.
        ::mkdir(scene_->cache.c_str(), 0755);
        std::vector<uint8_t> record(8 + scene_->cache.size() + 1, 0);
        const uint32_t length = uint32_t(scene_->cache.size());
        for (int k = 0; k < 4; ++k) record[4 + size_t(k)] = uint8_t(length >> (8 * k));
        std::copy(scene_->cache.begin(), scene_->cache.end(), record.begin() + 8);
        record.back() = 1;  // nothing simulated yet: outdated
        expectOk(host_->sequenceResetup(record), "sequence set-up");
        return false;
    }
    for (const auto& [name, flat] : state->parameters) {
        const int index = host_->paramIndex(name);
        if (index < 0 || !host_->setFlatValue(index, flat))
            throw HostError(kExitScene, scene_->projectPath() + ": the saved value of \"" + name + "\" does not fit the effect");
        host_->params()[size_t(index)].changed = true;
    }
    expectOk(host_->sequenceResetup(state->sequenceData), "sequence re-set-up");
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
    saveProjectState(scene_->projectPath(), state);
}

}  // namespace skv::app
