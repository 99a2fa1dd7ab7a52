// Scenes with every effect parameter drawn within its range (its extremes included), run
// through the real program under a time limit: every run ends as a success or as an unstable
// simulation, never runs away, and every field it cached and every pixel it rendered is
// finite. SKYVANE_RANDOM_SCENES sets the number of scenes (the long test: 300).
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "app_test_support.h"
#include "session.h"

namespace skv::test {
namespace {

namespace fs = std::filesystem;

const char* kBase =
    R"({ "composition": { "width": 32, "height": 24, "fps": 10, "duration": 0.4, "bits": 32 },
    "layers": { "plate": { "shape": "box", "center": [16, 12], "size": [32, 24] },
                "noise": { "shape": "noise", "scale": 4, "speed": 3, "color": [0.9, 0.6, 0.2, 1] },
                "disc": { "shape": "disc", "center": { "keys": [[0, [8, 18]], [0.4, [24, 18]]] }, "radius": 4 } },
    "effect": { "layer": "plate" }, "output": "out/f_####.exr" })";

// Every float of every EXR in `folder` is finite; returns how many images were read.
int checkFinite(const std::string& folder, const std::string& what) {
    int images = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        auto in = OIIO::ImageInput::open(entry.path().string());
        EXPECT_TRUE(in) << entry.path();
        if (!in) continue;
        std::vector<float> pixels(size_t(in->spec().image_pixels()) * size_t(in->spec().nchannels));
        EXPECT_TRUE(in->read_image(0, 0, 0, -1, OIIO::TypeDesc::FLOAT, pixels.data()))
            << entry.path();
        size_t bad = 0;
        for (float v : pixels)
            bad += !std::isfinite(v);
        EXPECT_EQ(bad, 0u) << what << ": " << entry.path();
        ++images;
    }
    return images;
}

TEST(RandomSceneTest, EveryInRangeSceneEndsSoundlyWithFiniteFieldsAndPixels) {
    const char* count = std::getenv("SKYVANE_RANDOM_SCENES");
    const int scenes = count ? std::max(1, std::atoi(count)) : 4;
    TempDir dir;
    writeFile(dir.file("base.json"), kBase);
    // The parameter table as the plug-in declares it.
    ::setenv("SKYVANE_PREVIEW", "off", 1);
    app::Session session(pluginPath(), dir.file("base.json"));
    std::mt19937 random(20261206);
    const auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    const char* layers[] = {"noise", "disc", "plate"};
    for (int k = 0; k < scenes; ++k) {
        nlohmann::json scene = nlohmann::json::parse(kBase);
        for (size_t i = 1; i < session.host().params().size(); ++i) {
            const app::HostParam& p = session.host().params()[i];
            switch (p.def.param_type) {
                case PF_Param_FLOAT_SLIDER: {
                    const double low = p.def.u.fs_d.valid_min, high = p.def.u.fs_d.valid_max;
                    const double pick = uniform(0, 1);
                    // A fifth of the values at an end of the range, where faults live.
                    scene["effect"][p.name] = pick < 0.1   ? low
                                              : pick < 0.2 ? high
                                                           : uniform(low, high);
                    break;
                }
                case PF_Param_CHECKBOX:
                    scene["effect"][p.name] = uniform(0, 1) < 0.5;
                    break;
                case PF_Param_POPUP: {
                    std::vector<std::string> choices;
                    for (size_t start = 0;;) {
                        const size_t bar = p.choices.find('|', start);
                        choices.push_back(p.choices.substr(start, bar - start));
                        if (bar == std::string::npos) break;
                        start = bar + 1;
                    }
                    scene["effect"][p.name] =
                        choices[size_t(uniform(0, double(choices.size()) - 1e-9))];
                    break;
                }
                case PF_Param_LAYER:
                    if (uniform(0, 1) < 0.6)
                        scene["effect"][p.name] = layers[size_t(uniform(0, 2.999))];
                    break;
                default:
                    break;
            }
        }
        const std::string name = "scene_" + std::to_string(k);
        const std::string path = dir.file(name + ".json");
        writeFile(path, scene.dump(1));
        SCOPED_TRACE(path + ": " + scene["effect"].dump());
        // A run that does not end within the limit is a runaway (timeout's status 124).
        const ProgramRun r = runProgram(
            {"run", path, "--quiet"}, "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off timeout 120");
        EXPECT_TRUE(r.status == 0 || r.status == 5) << "status " << r.status << "\n" << r.output;
        const std::vector<int> cached = app::cachedFrames(path + ".cache");
        if (!cached.empty()) {
            const ProgramRun e =
                runProgram({"export", path, "-o", dir.file(name + "_fields/f_####.exr"), "--frames",
                            "0-" + std::to_string(cached.size() - 1), "--quiet"},
                           "HOME='" + dir.path() + "'");
            EXPECT_EQ(e.status, 0) << e.output;
            checkFinite(dir.file(name + "_fields"), "fields");
        }
        checkFinite(dir.file("out"), "pixels");
        fs::remove_all(dir.file("out"));
        fs::remove_all(path + ".cache");
        fs::remove_all(dir.file(name + "_fields"));
    }
}

}  // namespace
}  // namespace skv::test
