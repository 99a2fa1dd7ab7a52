#pragma once

#include <memory>
#include <optional>
#include <string>

#include "headless_host.h"
#include "plugin_library.h"
#include "scene.h"

namespace skv::app {

// A scene opened in the host with the plug-in loaded and set up: global set-up, parameter
// set-up and the scene's parameter values applied. Its destructor sets everything down again.
class Session {
public:
    Session(const std::string& pluginPath, const std::string& scenePath);
    ~Session();

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
