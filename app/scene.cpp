#include "scene.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "command_line.h"
#include "host_error.h"

namespace skv::app {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw HostError(kExitScene, path + ": " + what);
}

int lineOf(const std::string& text, size_t byte) {
    int line = 1;
    for (size_t i = 0; i < std::min(byte, text.size()); ++i)
        if (text[i] == '\n') ++line;
    return line;
}

}  // namespace

int Composition::frameCount() const {
    return int(std::floor(duration * fps + 1e-9));
}

const Layer* Scene::layer(const std::string& name) const {
    const int i = layerIndex(name);
    return i < 0 ? nullptr : layers[size_t(i)].get();
}

int Scene::layerIndex(const std::string& name) const {
    for (size_t i = 0; i < layers.size(); ++i)
        if (layers[i]->name() == name) return int(i);
    return -1;
}

std::string Scene::resolve(const std::string& relative) const {
    if (relative.empty() || relative[0] == '/' || dir.empty()) return relative;
    return (std::filesystem::path(dir) / relative).lexically_normal().string();
}

Scene parseScene(const std::string& text, const std::string& path) {
    Json root;
    try {
        root = Json::parse(text);
    } catch (const Json::parse_error& e) {
        fail(path + ":" + std::to_string(lineOf(text, e.byte == 0 ? 0 : e.byte - 1)),
             std::string("not valid JSON (") + e.what() + ")");
    } catch (const Json::exception& e) {
        // A number beyond the range of a double: named with its line and key.
        const std::string message = e.what();
        const size_t open = message.find('\''), close = message.rfind('\'');
        const std::string number = open < close ? message.substr(open + 1, close - open - 1) : "";
        const size_t at = number.empty() ? std::string::npos : text.find(number);
        if (at == std::string::npos) fail(path, "a number beyond the range of a double");
        const size_t colon = text.rfind(':', at);
        const size_t keyEnd =
            colon == std::string::npos ? std::string::npos : text.rfind('"', colon);
        const size_t keyStart = keyEnd == std::string::npos || keyEnd == 0
                                    ? std::string::npos
                                    : text.rfind('"', keyEnd - 1);
        const std::string key =
            keyStart == std::string::npos
                ? ""
                : " of \"" + text.substr(keyStart + 1, keyEnd - keyStart - 1) + "\"";
        fail(path + ":" + std::to_string(lineOf(text, at)),
             "the value " + number + key + " is beyond the range of a number");
    }
    if (!root.is_object()) fail(path, "the scene is a JSON object");
    rejectUnknownKeys(path, "", root, {"composition", "layers", "effect", "output", "cache"});

    Scene scene;
    scene.path = std::filesystem::absolute(path).lexically_normal().string();
    scene.dir = std::filesystem::path(scene.path).parent_path().string();

    if (!root.contains("composition") || !root["composition"].is_object())
        fail(path, "missing \"composition\" {width, height, fps, duration, bits}");
    const Json& c = root["composition"];
    rejectUnknownKeys(path, "composition: ", c, {"width", "height", "fps", "duration", "bits"});
    scene.compositionText = c.dump();
    const auto number = [&](const char* key, double fallback, bool required) -> double {
        if (!c.contains(key)) {
            if (required) fail(path, std::string("composition: missing \"") + key + "\"");
            return fallback;
        }
        if (!c[key].is_number())
            fail(path, std::string("composition: \"") + key + "\" must be a number");
        return c[key].get<double>();
    };
    const double width = number("width", 0, true), height = number("height", 0, true);
    if (width < 1 || height < 1 || width > 16384 || height > 16384 || width != std::floor(width) ||
        height != std::floor(height))
        fail(path, "composition: width and height are whole numbers from 1 to 16384");
    scene.comp.width = int(width);
    scene.comp.height = int(height);
    scene.comp.fps = number("fps", 24, false);
    if (!(scene.comp.fps > 0 && scene.comp.fps <= 1000))
        fail(path, "composition: fps must be above 0 and at most 1000");
    scene.comp.duration = number("duration", 0, true);
    if (!(scene.comp.duration > 0 && scene.comp.duration <= 36000))
        fail(path, "composition: duration (seconds) must be above 0");
    // Every frame is a cached file and an entry of the run's plan: a count no sound scene needs
    // is refused before anything is sized by it.
    constexpr double kMaxFrames = 1000000;
    if (std::floor(scene.comp.duration * scene.comp.fps + 1e-9) > kMaxFrames)
        fail(path, "composition: duration x fps gives " +
                       std::to_string(int64_t(scene.comp.duration * scene.comp.fps)) +
                       " frames; at most 1000000");
    const double bits = number("bits", 8, false);
    if (bits != 8 && bits != 16 && bits != 32) fail(path, "composition: bits is 8, 16 or 32");
    scene.comp.bits = int(bits);

    if (root.contains("layers")) {
        if (!root["layers"].is_object()) fail(path, "\"layers\" is an object of named layers");
        for (const auto& [name, spec] : root["layers"].items()) {
            scene.layers.push_back(
                makeLayer(name, spec, scene.dir, scene.comp.width, scene.comp.height));
            scene.layerTexts[name] = spec.dump();
        }
    }

    if (!root.contains("effect") || !root["effect"].is_object())
        fail(path, "missing \"effect\" with the layer it is applied to and its parameters");
    for (const auto& [name, value] : root["effect"].items()) {
        if (name == "layer") {
            if (!value.is_string() || !scene.layer(value.get<std::string>()))
                fail(path, "effect: \"layer\" must name one of the scene's layers");
            scene.inputLayer = value.get<std::string>();
        } else {
            scene.effect.push_back({name, value});
        }
    }
    if (scene.inputLayer.empty())
        fail(path, "effect: missing \"layer\" (the layer the effect is applied to)");

    if (root.contains("output")) {
        if (!root["output"].is_string())
            fail(path, "\"output\" is an image file pattern such as out/frame_####.png");
        scene.output = root["output"].get<std::string>();
    }
    scene.output = scene.resolve(scene.output);
    scene.cache = scene.path + ".cache";
    if (root.contains("cache")) {
        if (!root["cache"].is_string() || root["cache"].get<std::string>().empty())
            fail(path, "\"cache\" is the folder of the disk cache");
        scene.cache = scene.resolve(root["cache"].get<std::string>());
    }
    return scene;
}

Scene loadScene(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw HostError(kExitScene, path + ": cannot open the scene file");
    std::ostringstream text;
    text << in.rdbuf();
    return parseScene(text.str(), path);
}

}  // namespace skv::app
