#pragma once

#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "headless_host.h"
#include "platform/files.h"
#include "session.h"
#include "test_support.h"

namespace skv::test {

namespace fs = std::filesystem;

constexpr const char* kPluginPath = SKV_PLUGIN_PATH;
constexpr const char* kProgramPath = SKV_PROGRAM_PATH;

// Answers the plug-in's dialogs from a script file and reads back what it showed
// ("kind\ttitle\ttext"): the plug-in's dialogs module rereads SKYVANE_DIALOGS when it changes.
class ScriptedPluginDialogs {
  public:
    ScriptedPluginDialogs(const TempDir& dir, const std::vector<std::string>& answers = {})
        : script_(dir.file("dialogs.txt")) {
        std::ofstream out(script_);
        for (const auto& a : answers)
            out << a << "\n";
        ::setenv("SKYVANE_DIALOGS", ("script:" + script_).c_str(), 1);
    }
    ~ScriptedPluginDialogs() { ::setenv("SKYVANE_DIALOGS", "console", 1); }
    std::vector<std::string> shown() const {
        std::vector<std::string> lines;
        std::ifstream in(script_ + ".shown");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    bool showed(const std::string& fragment) const {
        const auto has = [&](const std::string& line) {
            return line.find(fragment) != std::string::npos;
        };
        return std::ranges::any_of(shown(), has);
    }

  private:
    std::string script_;
};

struct ProgramRun {
    int status = -1;
    std::string output;  // both streams
};

// Runs the program through the shell; `environment` is a prefix such as "cd x && A=1".
inline ProgramRun runProgram(const std::vector<std::string>& arguments,
                             const std::string& environment = "") {
    std::string command = environment + " '" + kProgramPath + "'";
    for (const auto& a : arguments)
        command += " '" + a + "'";
    ProgramRun run;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot start " + command);
    std::array<char, 4096> buffer;
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        run.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The program with `home` as its home folder (its log goes there) and no preview window;
// `environment` may add variables and a command such as "timeout 9".
inline ProgramRun runIn(const TempDir& home, const std::vector<std::string>& arguments,
                        const std::string& environment = "",
                        const std::string& workingDirectory = "") {
    return runProgram(arguments,
                      (workingDirectory.empty() ? "" : "cd '" + workingDirectory + "' && ") +
                          "HOME='" + home.path() + "' SKYVANE_PREVIEW=off " + environment);
}

// Starts the program in the background likewise; the caller waits for (or signals) it.
inline pid_t startProgram(const std::vector<std::string>& arguments, const std::string& home) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("SKYVANE_PREVIEW", "off", 1);
        ::freopen("/dev/null", "w", stdout),
            ::freopen("/dev/null", "w", stderr);  // nobody reads it
        std::vector<char*> argv{const_cast<char*>(kProgramPath)};
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(kProgramPath, argv.data());
        ::_exit(127);
    }
    return child;
}

inline int waitExitStatus(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every channel of every pixel, or nothing when the file is not a whole image.
inline std::optional<std::vector<float>> readPixels(const std::string& path, int* width = nullptr) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) return std::nullopt;
    std::vector<float> pixels(size_t(in->spec().image_pixels()) * size_t(in->spec().nchannels));
    if (!in->read_image(0, 0, 0, -1, OIIO::TypeDesc::FLOAT, pixels.data())) return std::nullopt;
    if (width) *width = in->spec().width;
    return pixels;
}

inline void writeConstantImage(const std::string& path, int width, int height, float r, float g,
                               float b, float a) {
    OIIO::ImageSpec format(width, height, 4,
                           path.ends_with(".exr") ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8);
    format.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageBuf image(format);
    const float colour[4] = {r, g, b, a};
    if (!OIIO::ImageBufAlgo::fill(image, colour) || !image.write(path))
        throw std::runtime_error("cannot write " + path);
}

// A scene written into a temporary folder and opened in the headless host with the real
// plug-in, set up as far as its parameters (and the scene's values). Dialogs are scripted.
class HostFixture : public ::testing::Test {
  protected:
    void open(const std::string& sceneText, const std::vector<std::string>& dialogAnswers = {}) {
        host_.reset();  // one host per process, and none outliving its plug-in or dialogs
        plugin_.reset();
        dialogs_.reset();
        dialogs_ = std::make_unique<ScriptedPluginDialogs>(dir_, dialogAnswers);
        writeFile(dir_.file("scene.json"), sceneText);
        scene_ = std::make_unique<app::Scene>(app::loadScene(dir_.file("scene.json")));
        plugin_ = std::make_unique<app::PluginLibrary>(kPluginPath);
        host_ = std::make_unique<app::HeadlessHost>(*plugin_, scene_.get());
        ASSERT_EQ(host_->globalSetup(), PF_Err_NONE);
        ASSERT_EQ(host_->paramsSetup(), PF_Err_NONE);
        host_->applySceneSettings();
    }
    app::HeadlessHost& host() { return *host_; }
    int index(const std::string& name) { return host_->paramIndex(name); }
    app::HostParam& param(const std::string& name) { return host_->params()[size_t(index(name))]; }

    // A white plate of 64 × 36 with the given extra layers and effect settings (JSON fragments).
    static std::string scene(
        const std::string& layers = "", const std::string& effect = "",
        const std::string& composition =
            R"("width": 64, "height": 36, "fps": 24, "duration": 1.0, "bits": 8)") {
        return R"({ "composition": {)" + composition +
               R"(}, "layers": { "plate": { "shape": "box", "center": [32, 18], "size": [64, 36], "color": [1, 1, 1, 1] })" +
               (layers.empty() ? "" : ", " + layers) + R"( }, "effect": { "layer": "plate")" +
               (effect.empty() ? "" : ", " + effect) + " } }";
    }

    TempDir dir_;  // members go in reverse: the host first, the folder last
    std::unique_ptr<ScriptedPluginDialogs> dialogs_;
    std::unique_ptr<app::Scene> scene_;
    std::unique_ptr<app::PluginLibrary> plugin_;
    std::unique_ptr<app::HeadlessHost> host_;
};

}  // namespace skv::test
