#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app_test_support.h"
#include "headless_host.h"
#include "plugin_library.h"
#include "scene.h"

namespace skv::test {

// A scene written into a temporary folder and opened in the headless host with the real
// plug-in, set up as far as its parameters (and the scene's values). Dialogs are scripted.
class HostFixture : public ::testing::Test {
protected:
    void open(const std::string& sceneText, const std::vector<std::string>& dialogAnswers = {}) {
        dialogs_ = std::make_unique<ScriptedPluginDialogs>(dir_, dialogAnswers);
        writeFile(dir_.file("scene.json"), sceneText);
        scene_ = std::make_unique<app::Scene>(app::loadScene(dir_.file("scene.json")));
        plugin_ = std::make_unique<app::PluginLibrary>(pluginPath());
        host_ = std::make_unique<app::HeadlessHost>(*plugin_, scene_.get());
        ASSERT_EQ(host_->globalSetup(), PF_Err_NONE);
        ASSERT_EQ(host_->paramsSetup(), PF_Err_NONE);
        host_->applySceneSettings();
    }
    void TearDown() override {
        host_.reset();
        plugin_.reset();
    }
    app::HeadlessHost& host() { return *host_; }
    int index(const std::string& name) { return host_->paramIndex(name); }

    // A plate of 64 × 36 with the given extra layers and effect settings (JSON fragments).
    static std::string scene(const std::string& layers = "", const std::string& effect = "",
                             const std::string& composition = R"("width": 64, "height": 36, "fps": 24, "duration": 1.0, "bits": 8)") {
        return std::string(R"({ "composition": {)") + composition +
               R"(}, "layers": { "plate": { "shape": "box", "center": [32, 18], "size": [64, 36], "color": [1, 1, 1, 1] })" +
               (layers.empty() ? "" : ", " + layers) + R"( }, "effect": { "layer": "plate")" +
               (effect.empty() ? "" : ", " + effect) + " } }";
    }

    TempDir dir_;
    std::unique_ptr<ScriptedPluginDialogs> dialogs_;
    std::unique_ptr<app::Scene> scene_;
    std::unique_ptr<app::PluginLibrary> plugin_;
    std::unique_ptr<app::HeadlessHost> host_;
};

}  // namespace skv::test
