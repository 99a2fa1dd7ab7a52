#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "field_export.h"
#include "headless_host.h"
#include "plugin_library.h"
#include "project_state.h"
#include "scene.h"

namespace skv::app {

// A scene opened in the host with the plug-in loaded and set up: global set-up, parameter
// set-up and the scene's parameter values applied (with the command line's --set overrides).
// openInstance() then applies the effect to its layer: a new instance, or the one the project
// state beside the scene describes, as a reopened project does. Its destructor sets everything
// down again.
class Session {
  public:
    // The name under which the composition (size, rate, duration, the input layer) is compared
    // between runs; its changes reach the plug-in as a change of the input layer.
    static constexpr const char* kComposition = "composition";

    enum class CacheUse {
        kCreate,    // simulating: the scene's cache folder is created when missing
        kExisting,  // rendering: the cache folder must exist
    };

    Session(const std::string& pluginPath, const std::string& scenePath,
            const std::vector<std::string>& settings = {});
    ~Session();

    // Sequence set-up (a new project), or re-set-up from the project state with the values
    // edited through the effect's controls; then every edit of the scene since the project
    // last saw it is sent to the plug-in as the compositing host sends a user's change, so that
    // the plug-in's own rules mark the cache outdated or empty it. The cache folder is the
    // scene's; one that cannot be opened (or created, with kCreate) is an error of the command.
    // Returns whether a project state was found.
    bool openInstance(CacheUse use);
    // Saves the project state beside the scene, with the scene as it is now as what it saw.
    void saveProject();

    // The values the project state keeps for parameters edited through the effect's controls,
    // applied without opening the instance (listings).
    void applySavedValues();
    // Whether the open instance's cache no longer matches the parameters (the plug-in's mark).
    bool outdated();
    // The edits that made the cache outdated since it was simulated from its first frame.
    const std::vector<std::string>& outdatedBy() const { return outdatedBy_; }
    // The edits of the scene since the project last saw it (before openInstance sends them).
    std::vector<std::string> pendingEdits();
    const std::optional<ProjectState>& savedState() const { return saved_; }
    // Bytes a run of the scene would need at least (grids, images, the RAM cache), and the check
    // that refuses, before anything is allocated, a scene that needs more than the machine has
    // (or than SKYVANE_MEMORY_LIMIT_MB).
    uint64_t estimatedMemory();
    void checkMemory();
    // Every comparable value of the scene: parameters by display name, and the composition.
    std::map<std::string, std::string> fingerprints();

    Scene& scene() { return *scene_; }
    HeadlessHost& host() { return *host_; }
    PluginLibrary& plugin() { return *plugin_; }

  private:
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<PluginLibrary> plugin_;
    std::unique_ptr<HeadlessHost> host_;
    std::optional<ProjectState> saved_;
    std::vector<std::string> outdatedBy_;
};

// Throws HostError (plug-in) with `what` when a command returned an error.
void expectOk(PF_Err err, const std::string& what);

}  // namespace skv::app
