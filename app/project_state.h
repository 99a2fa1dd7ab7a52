#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace skv::app {

// What a project keeps of the effect between runs, saved beside the scene: the flattened
// sequence data (cache folder, outdated mark) and the values of parameters edited through the
// effect's own controls, in the plug-in's flat form.
struct ProjectState {
    std::vector<uint8_t> sequenceData;
    std::map<std::string, std::vector<uint8_t>> parameters;  // by display name
};

// Reads a project state file; nullopt when there is none. Throws HostError (scene) naming the
// file when it exists but is not one.
std::optional<ProjectState> loadProjectState(const std::string& path);

// Writes the file under a temporary name and renames it into place.
void saveProjectState(const std::string& path, const ProjectState& state);

}  // namespace skv::app
