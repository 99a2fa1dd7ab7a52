#include "session.h"

#include "host_error.h"

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

}  // namespace skv::app
