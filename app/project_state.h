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
    // The scene as the project last saw it: a fingerprint of every parameter's value (and of
    // the composition), so that an edit of the scene reaches the plug-in as a change.
    std::map<std::string, std::string> seen;
    // The edits since the cache was simulated from its first frame that made it outdated.
    std::vector<std::string> outdatedBy;
};

// The flat sequence-data record of a cache folder and an outdated mark, as the plug-in
// flattens it: version 0, the path's length, the path, the mark.
std::vector<uint8_t> sequenceRecord(const std::string& cacheFolder, bool outdated);

// The cache folder a record names ("" when none) and its outdated mark (false when absent).
std::string cacheFolderOf(const std::vector<uint8_t>& sequenceData);
bool outdatedMarkOf(const std::vector<uint8_t>& sequenceData);

// Reads a project state file; nullopt when there is none. Throws HostError (scene) naming the
// file when it exists but is not one.
std::optional<ProjectState> loadProjectState(const std::string& path);
// The same from the file's text; `path` names it in messages.
ProjectState parseProjectState(const std::string& text, const std::string& path);

// Writes the file under a temporary name and renames it into place.
void saveProjectState(const std::string& path, const ProjectState& state);

}  // namespace skv::app
