#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "animated.h"
#include "layers.h"

namespace skv::app {

struct Composition {
    int width = 0;
    int height = 0;
    double fps = 24;
    double duration = 0;  // seconds
    int bits = 8;         // project bit depth: 8, 16 or 32

    int frameCount() const;
};

// One effect parameter as the scene sets it: by display name; the value is interpreted against
// the plug-in's parameter table (numbers, true/false, popup choice text, layer names, colour
// ramp stops, or {"keys": [[time, value], ...]}).
struct ParamSetting {
    std::string name;
    Json value;
};

// A scene file: composition, layers, the effect applied to one layer with its parameters, and
// the output image pattern. Relative paths are relative to the scene file.
struct Scene {
    std::string path;  // absolute
    std::string dir;   // absolute: relative paths of the scene are relative to it
    Composition comp;
    std::vector<std::unique_ptr<Layer>> layers;  // in file order: the layer index order
    std::string inputLayer;
    std::vector<ParamSetting> effect;
    std::string output;
    std::string cache;  // the disk cache folder ("cache"; default: the scene's path + ".cache")
    // The scene's text of each layer and of the composition, to tell when an edit changed them.
    std::map<std::string, std::string> layerTexts;
    std::string compositionText;

    const Layer* layer(const std::string& name) const;
    int layerIndex(const std::string& name) const;  // -1 when missing
    // Where the project state (sequence data, edited parameter values) is kept.
    std::string projectPath() const { return path + ".project"; }
    // A path given in the scene, resolved against the scene's folder.
    std::string resolve(const std::string& relative) const;
};

// Loads and checks a scene file; builds its layers (image sequences are scanned for gaps).
// Throws HostError (scene) with the file and line, layer or parameter concerned. Paths are
// made absolute, so that every command works the same from any working directory.
Scene loadScene(const std::string& path);

// The same from text (for tests and built-in scenes); `path` names it in messages and anchors
// relative paths.
Scene parseScene(const std::string& text, const std::string& path);

}  // namespace skv::app
