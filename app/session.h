#pragma once

#include <memory>
#include <optional>
#include <string>

#include "headless_host.h"
#include "plugin_library.h"
#include "project_state.h"
#include "scene.h"

namespace skv::app {

// A scene opened in the host with the plug-in loaded and set up: global set-up, parameter
// set-up and the scene's parameter values applied. openInstance() then applies the effect to
// its layer: a new instance, or the one the project state beside the scene describes, as a
// reopened project does. Its destructor sets everything down again.
class Session {
public:
    Session(const std::string& pluginPath, const std::string& scenePath);
    ~Session();

    // Sequence set-up, or re-set-up from the project state (with the parameter values edited
    // through the effect's controls). Returns whether a project state was found.
    bool openInstance();
    // Saves the project state beside the scene.
    void saveProject();

    Scene& scene() { return *scene_; }
    HeadlessHost& host() { return *host_; }
    PluginLibrary& plugin() { return *plugin_; }

private:
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<PluginLibrary> plugin_;
    std::unique_ptr<HeadlessHost> host_;
};

// Throws HostError (plug-in) with `what` when a command returned an error.
void expectOk(PF_Err err, const std::string& what);

}  // namespace skv::app
