// The preview window on a real X server (Xvfb): it shows the running simulation, its title
// tells the progress, and closing it ends the run cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "app_test_support.h"
#include "platform/files.h"

namespace skv::test {
namespace {

// An Xvfb server for the test's lifetime, on a free display number.
class VirtualDisplay {
public:
    VirtualDisplay() {
        if (::access("/usr/bin/Xvfb", X_OK) != 0) return;
        for (int n = 90; n < 100 && pid_ <= 0; ++n) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (::access(socket.c_str(), F_OK) == 0) continue;
            pid_ = ::fork();
            if (pid_ == 0) {
                const std::string display = ":" + std::to_string(n);
                ::execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                        static_cast<char*>(nullptr));
                ::_exit(127);
            }
            for (int i = 0; i < 100 && ::access(socket.c_str(), F_OK) != 0; ++i) ::usleep(50000);
            // Tests running side by side may race for one number: the display is ours only when
            // its lock file names our server (the loser's server exits at once).
            pid_t owner = 0;
            std::ifstream("/tmp/.X" + std::to_string(n) + "-lock") >> owner;
            if (::access(socket.c_str(), F_OK) == 0 && owner == pid_) {
                display_ = std::to_string(n);
                display_.insert(0, 1, ':');
            } else {
                stop();
            }
        }
    }
    ~VirtualDisplay() { stop(); }
    const std::string& display() const { return display_; }

private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    pid_t pid_ = -1;
    std::string display_;
};

class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (display_.display().empty()) GTEST_SKIP() << "no Xvfb here to give the preview a display";
        writeFile(dir_.file("scene.json"), R"({ "composition": { "width": 96, "height": 64, "fps": 10, "duration": 1.2 },
            "layers": { "plate": { "shape": "box", "center": [48, 32], "size": [96, 64] },
                        "fuel": { "shape": "disc", "center": [48, 52], "radius": 8 } },
            "effect": { "layer": "plate", "Fuel Layer": "fuel", "Render Mode": "All Sources" },
            "output": "out/f_##.png" })");
    }
    ProgramRun simulate(const std::string& environment) {
        return runProgram({"simulate", dir_.file("scene.json"), "--preview", "--progress=machine"},
                          "HOME='" + dir_.path() + "' DISPLAY=" + display_.display() + " " + environment);
    }
    VirtualDisplay display_;
    TempDir dir_;
};

TEST_F(PreviewTest, TheWindowShowsTheSimulationWithProgressInItsTitle) {
    const std::string shot = dir_.file("shot.ppm");
    const ProgramRun r = simulate("SKYVANE_PREVIEW_SCREENSHOT='" + shot + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string image = readFile(shot);
    ASSERT_GT(image.size(), 96u * 64u * 3u) << "no screenshot was taken";
    // Brighter than the checker's dark grey: the rendered fire is on screen.
    int bright = 0;
    for (size_t i = image.size() - 96 * 64 * 3; i < image.size(); ++i) bright += uint8_t(image[i]) > 60;
    EXPECT_GT(bright, 20);
    const std::string title = readFile(shot + ".title");
    const std::regex fps(R"(\d+/12 - 1\. plate - \d+\.\d\d/10\.00 Fps \(CPU\), \d\d:\d\d:\d\d left)");
    const std::regex slow(R"(\d+/12 - 1\. plate - +\d+\.\ds per Frame \(CPU\), \d\d:\d\d:\d\d left)");
    EXPECT_TRUE(std::regex_match(title, fps) || std::regex_match(title, slow)) << title;
}

TEST_F(PreviewTest, ClosingTheWindowMidRunEndsItAndKeepsTheFramesSoFar) {
    const ProgramRun r = simulate("SKYVANE_PREVIEW_CLOSE_AFTER=3");
    ASSERT_EQ(r.status, 0) << r.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex(R"(result task=simulate status=ok exit=0 frames=(\d+))"))) << r.output;
    const int frames = std::stoi(m[1]);
    EXPECT_GE(frames, 1);
    EXPECT_LT(frames, 12);
    for (int f = 0; f < frames; ++f) {
        char name[64];
        std::snprintf(name, sizeof name, "scene.json.cache/skv_sim_cache_%010d.bcf", f);
        EXPECT_TRUE(fileExists(dir_.file(name))) << name;
    }
}

}  // namespace
}  // namespace skv::test
