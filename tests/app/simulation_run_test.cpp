// Simulation runs through the real plug-in: the "update" and "restart" buttons pressed with
// custom-UI events, the run on the plug-in's own two threads, frames in the disk cache.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <optional>

#include "app_test_support.h"
#include "platform/files.h"
#include "host_error.h"
#include "image_io.h"
#include "session.h"

namespace skv::app {
namespace {

using test::TempDir;

class SimulationRunTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("SKYVANE_PREVIEW", "off", 1); }
    void TearDown() override {
        session_.reset();
        ::unsetenv("SKYVANE_PREVIEW_CLOSE_AFTER");
    }

    // A 48 × 32 plate, `frames` frames at 10 fps, with the given layers and effect settings.
    void open(const std::string& layers, const std::string& effect, int frames = 10, int bits = 8) {
        test::writeFile(dir_.file("scene.json"),
                        R"({ "composition": { "width": 48, "height": 32, "fps": 10, "duration": )" +
                            std::to_string(frames / 10.0) + R"(, "bits": )" + std::to_string(bits) +
                            R"( }, "layers": { "plate": { "shape": "box", "center": [24, 16], "size": [48, 32] })" +
                            (layers.empty() ? "" : ", " + layers) + R"( }, "effect": { "layer": "plate")" +
                            (effect.empty() ? "" : ", " + effect) + R"( }, "output": "out/f_####.exr" })");
        session_ = std::make_unique<Session>(test::pluginPath(), dir_.file("scene.json"));
        session_->openInstance(Session::CacheUse::kCreate);
        session_->host().setProgressListener([this](const ProgressReport& r) { reported_.push_back(r.frame); });
    }

    // Presses a button of "Simulation Control" and returns the run's report.
    RunReport press(bool restart = false) {
        HeadlessHost& host = session_->host();
        host.clearLastRun();
        reported_.clear();
        const int y = restart ? 36 : 13;
        EXPECT_EQ(host.click(1, 33, y, 1), PF_Err_NONE);
        EXPECT_EQ(host.drag(1, 33, y, true), PF_Err_NONE);
        EXPECT_TRUE(host.lastRun().has_value());
        return host.lastRun().value_or(RunReport{});
    }

    Image render(int frame) {
        Image image;
        EXPECT_EQ(session_->host().renderFrame(frame, image), PF_Err_NONE);
        return image;
    }

    std::string cacheFile(int frame) const { return cacheFrameFile(session_->scene().cache, frame); }

    static const char* fuelLayer() { return R"("fuel": { "shape": "disc", "center": [24, 26], "radius": 5 })"; }

    TempDir dir_;
    std::unique_ptr<Session> session_;
    std::vector<int> reported_;
};

TEST_F(SimulationRunTest, UpdateSimulatesTheLayerIntoTheDiskCache) {
    open(fuelLayer(), R"("Fuel Layer": "fuel")");
    const RunReport run = press();
    EXPECT_FALSE(run.failed);
    EXPECT_EQ(run.framesCached, 10);
    EXPECT_EQ(run.framesLost, 0);
    session_->host().sequenceSetdown();  // the store writes what is still in RAM
    for (int f = 0; f < 10; ++f) EXPECT_TRUE(skv::fileExists(cacheFile(f))) << f;
    EXPECT_FALSE(skv::fileExists(cacheFile(10)));
}

TEST_F(SimulationRunTest, RendersAreNotEmptyWhereSourcesAre) {
    open(fuelLayer(), R"("Fuel Layer": "fuel", "Render Mode": "Fire + Smoke", "Alpha Mode": "Maximum")");
    press();
    const Image image = render(9);
    ASSERT_EQ(image.width, 48);
    EXPECT_GT(image.pixel(24, 26)[3], 0.1f) << "the fuel source";
    EXPECT_EQ(image.pixel(2, 2)[3], 0.0f) << "far from any source";
}

TEST_F(SimulationRunTest, AClosedWindowEndsTheRunAndUpdateContinuesWhereItStopped) {
    open(fuelLayer(), R"("Fuel Layer": "fuel")");
    ::setenv("SKYVANE_PREVIEW_CLOSE_AFTER", "4", 1);
    const RunReport first = press();
    ::unsetenv("SKYVANE_PREVIEW_CLOSE_AFTER");
    EXPECT_FALSE(first.failed);
    ASSERT_GT(first.framesCached, 0);
    ASSERT_LT(first.framesCached, 10);
    const RunReport second = press();
    ASSERT_FALSE(reported_.empty());
    EXPECT_EQ(reported_.front(), first.framesCached) << "the second run resumes at its first missing frame";
    EXPECT_EQ(second.framesCached, 10);
}

TEST_F(SimulationRunTest, RestartAndAChangedResolutionStartAtFrameZero) {
    open(fuelLayer(), R"("Fuel Layer": "fuel")");
    press();
    press(true);
    ASSERT_FALSE(reported_.empty());
    EXPECT_EQ(reported_.front(), 0);

    HeadlessHost& host = session_->host();
    const int scale = host.paramIndex("Resolution Scale");
    host.params()[size_t(scale)].def.u.fs_d.value = 2.0;
    ASSERT_EQ(host.userChangedParam(scale), PF_Err_NONE);
    const RunReport run = press();
    EXPECT_EQ(reported_.front(), 0);
    EXPECT_EQ(run.framesCached, 10);
    // The grid is now half the size: 24 × 16 cells.
    EXPECT_EQ(render(3).width, 48);
}

TEST_F(SimulationRunTest, ARunAtTheLayersEndEndsAtOnce) {
    open(fuelLayer(), R"("Fuel Layer": "fuel")");
    press();
    const RunReport again = press();
    EXPECT_EQ(again.framesCached, 10);
    EXPECT_EQ(reported_, std::vector<int>({10})) << "one frame shown, none simulated";
}

TEST_F(SimulationRunTest, SourcesWithAlphaExactlyOneHalfCountAsOutside) {
    // A velocity source pushing right everywhere it counts; rendered as velocity colours.
    const auto rightwardVelocity = [&](float alpha) {
        open(R"("push": { "shape": "box", "center": [24, 16], "size": [48, 32], "color": [1, 0.5, 0, )" +
                 std::to_string(alpha) + "] }",
             R"("Velocity Layer": "push", "Velocity Scale": 20, "Differential Velocity": false, "Render Mode": "Velocity")", 3, 32);
        press();
        const float red = render(2).pixel(24, 16)[0];
        session_.reset();
        ::system(("rm -rf '" + dir_.file("scene.json.project") + "' '" + dir_.file("scene.json.cache") + "'").c_str());
        return red;
    };
    EXPECT_FLOAT_EQ(rightwardVelocity(0.5f), 0.5f) << "weight 0: no velocity";
    EXPECT_GT(rightwardVelocity(0.51f), 0.9f) << "20 cells/s shown against a maximum of 20";
}

TEST_F(SimulationRunTest, ProjectsOf8And16And32BitsGiveMatchingResults) {
    std::vector<Image> images;
    for (int bits : {8, 16, 32}) {
        open(R"("smoke": { "shape": "disc", "center": [24, 20], "radius": 6, "color": [0.6, 0.6, 0.6, 0.8] })",
             R"("Density Layer": "smoke", "Render Mode": "Fire + Smoke", "Alpha Mode": "Source")", 4, bits);
        press();
        images.push_back(render(3));
        session_.reset();
        ::system(("rm -rf '" + dir_.file("scene.json.project") + "' '" + dir_.file("scene.json.cache") + "'").c_str());
    }
    for (size_t k = 1; k < images.size(); ++k)
        for (size_t i = 0; i < images[0].rgba.size(); ++i)
            ASSERT_NEAR(images[k].rgba[i], images[0].rgba[i], 3.0 / 255) << "depth " << k << " value " << i;
}

TEST_F(SimulationRunTest, ADivergingSolveEndsTheRunWithTheUnstableMessageAndKeepsEarlierFrames) {
    // A divergence source that overflows single precision from frame 4 on.
    ::mkdir(dir_.file("div").c_str(), 0755);
    for (int f = 0; f < 8; ++f) {
        const float v = f < 4 ? 0.01f : 3e38f;
        test::writeConstantImage(dir_.file("div/d_" + std::to_string(f) + ".exr"), 48, 32, v, v, v, 1);
    }
    test::ScriptedPluginDialogs dialogs(dir_);
    open(R"("div": { "images": "div/d_#.exr" })", R"("Divergence Layer": "div", "Div. Scale": 10)", 8, 32);
    const RunReport run = press();
    EXPECT_TRUE(run.failed);
    EXPECT_GE(run.framesCached, 4);
    EXPECT_LT(run.framesCached, 8);
    EXPECT_TRUE(dialogs.showed("Simulation became unstable and had to be aborted!"));
    for (int f = 0; f < 4; ++f) {
        const Image image = render(f);
        for (float v : image.rgba) ASSERT_TRUE(std::isfinite(v)) << "frame " << f;
    }
}

TEST_F(SimulationRunTest, NonFiniteSamplesOfFloatLayersReadAsZero) {
    ::mkdir(dir_.file("nan").c_str(), 0755);
    test::writeConstantImage(dir_.file("nan/n.exr"), 48, 32, std::nanf(""), INFINITY, 1, 1);
    open(R"("bad": { "image": "nan/n.exr" }, "fuel": { "shape": "disc", "center": [24, 26], "radius": 5 })",
         R"("Density Layer": "bad", "Temperature Layer": "bad", "Fuel Layer": "fuel", "Render Mode": "All Sources")", 4, 32);
    const RunReport run = press();
    EXPECT_FALSE(run.failed);
    for (int f = 0; f < 4; ++f) {
        const Image image = render(f);
        for (float v : image.rgba) ASSERT_TRUE(std::isfinite(v)) << "frame " << f;
    }
}

}  // namespace
}  // namespace skv::app
