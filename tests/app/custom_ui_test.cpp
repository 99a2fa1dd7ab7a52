// The effect's custom controls, driven by click and drag events through the plug-in's entry
// point as the host sends them.
#include <gtest/gtest.h>

#include <cstring>

#include "canvas.h"
#include "host_fixture.h"
#include "image_io.h"
#include "panel.h"
#include "platform/files.h"

#include <sys/stat.h>

#include <cmath>

namespace skv::app {
namespace {

using test::HostFixture;

struct Stop {
    float r, g, b, a, position;
};

class RampEditorTest : public HostFixture {
protected:
    static constexpr int kRamp = 62;  // "Density Color": 210 × 42, bar from x = 56 to 204
    static constexpr int kBarLeft = 56, kBarWidth = 148, kMarkerY = 25;

    void openWith(const std::string& stops, const std::vector<std::string>& dialogs = {}) {
        open(scene("", R"("Density Color": )" + stops), dialogs);
        ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    }
    std::vector<Stop> stops() {
        std::vector<uint8_t> flat;
        EXPECT_TRUE(host().flatValue(kRamp, flat));
        uint32_t n = 0;
        std::memcpy(&n, flat.data(), 4);
        std::vector<Stop> out(n);
        if (n > 0) std::memcpy(out.data(), flat.data() + 4, 20 * size_t(n));
        return out;
    }
    static int xOf(float position) { return kBarLeft + int(std::lround(position * kBarWidth)); }
    void drag(int x0, int y0, int x1, int y1) {
        ASSERT_EQ(host().click(kRamp, x0, y0, 1), PF_Err_NONE);
        ASSERT_EQ(host().drag(kRamp, x1, y1, false), PF_Err_NONE);
        ASSERT_EQ(host().drag(kRamp, x1, y1, true), PF_Err_NONE);
    }
};

TEST_F(RampEditorTest, AClickBetweenTwoMarkersAddsAStopWithTheColourThere) {
    openWith("[[0, [0, 0, 0, 0]], [1, [1, 1, 1, 1]]]");
    ASSERT_EQ(host().click(kRamp, xOf(0.5f), kMarkerY, 1), PF_Err_NONE);
    ASSERT_EQ(host().drag(kRamp, xOf(0.5f), kMarkerY, true), PF_Err_NONE);
    const auto s = stops();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_FLOAT_EQ(s[1].position, 0.5f);
    EXPECT_FLOAT_EQ(s[1].r, 0.5f);
    EXPECT_FLOAT_EQ(s[1].a, 0.5f);
    EXPECT_TRUE(host().params()[kRamp].changed) << "the host was told the value changed";
}

TEST_F(RampEditorTest, DraggingAStopPastItsNeighbourKeepsTheRampSorted) {
    openWith("[[0, [0, 0, 0, 1]], [0.25, [1, 0, 0, 1]], [0.5, [0, 1, 0, 1]], [1, [1, 1, 1, 1]]]");
    drag(xOf(0.25f), kMarkerY, xOf(0.75f), kMarkerY);
    const auto s = stops();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_FLOAT_EQ(s[1].position, 0.5f);
    EXPECT_FLOAT_EQ(s[1].g, 1.0f);  // green now comes first
    EXPECT_NEAR(s[2].position, 0.75f, 1.0 / kBarWidth);
    EXPECT_FLOAT_EQ(s[2].r, 1.0f);
}

TEST_F(RampEditorTest, TheEndsOfARampStayWhereTheyAre) {
    openWith("[[0, [0, 0, 0, 1]], [0.5, [1, 0, 0, 1]], [1, [1, 1, 1, 1]]]");
    drag(xOf(0.0f), kMarkerY, xOf(0.3f), kMarkerY);
    drag(xOf(1.0f), kMarkerY, xOf(0.7f), kMarkerY);
    const auto s = stops();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_FLOAT_EQ(s[0].position, 0.0f);
    EXPECT_FLOAT_EQ(s[2].position, 1.0f);
}

TEST_F(RampEditorTest, DraggingTheOnlyStopOutEmptiesTheRamp) {
    openWith("[[0.5, [1, 1, 1, 1]]]");
    drag(xOf(0.5f), kMarkerY, xOf(0.5f), 200);
    EXPECT_TRUE(stops().empty());
    // An empty ramp renders transparent black.
    Image image;
    ASSERT_EQ(host().renderFrame(0, image), PF_Err_NONE);
    for (float v : image.rgba) ASSERT_EQ(v, 0.0f);
}

TEST_F(RampEditorTest, PresetsReplaceTheRamp) {
    openWith("[[0.5, [1, 0, 0, 1]]]");
    ASSERT_EQ(host().click(kRamp, 20, 20, 1), PF_Err_NONE);  // the second preset: black to white
    ASSERT_EQ(host().drag(kRamp, 20, 20, true), PF_Err_NONE);
    const auto s = stops();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FLOAT_EQ(s[0].r, 0.0f);
    EXPECT_FLOAT_EQ(s[0].a, 1.0f);
    EXPECT_FLOAT_EQ(s[1].r, 1.0f);
    ASSERT_EQ(host().click(kRamp, 20, 7, 1), PF_Err_NONE);  // the first: the fire ramp
    ASSERT_EQ(host().drag(kRamp, 20, 7, true), PF_Err_NONE);
    EXPECT_EQ(stops().size(), 28u);
}

TEST_F(RampEditorTest, AChosenColourTakesTheStopsPositionAsItsAlpha) {
    openWith("[[0, [0, 0, 0, 1]], [0.25, [1, 1, 1, 1]], [1, [1, 1, 1, 1]]]", {"color 255 0 51"});
    ASSERT_EQ(host().click(kRamp, xOf(0.25f), kMarkerY, 2), PF_Err_NONE);
    ASSERT_EQ(host().drag(kRamp, xOf(0.25f), kMarkerY, true), PF_Err_NONE);
    const auto s = stops();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_FLOAT_EQ(s[1].r, 1.0f);
    EXPECT_FLOAT_EQ(s[1].g, 0.0f);
    EXPECT_FLOAT_EQ(s[1].b, 0.2f);
    EXPECT_FLOAT_EQ(s[1].a, 0.25f);
    EXPECT_TRUE(dialogs_->showed("color"));
}

class CacheControlTest : public HostFixture {
protected:
    static constexpr int kCache = 5;
    void press(int x) {
        ASSERT_EQ(host().click(kCache, x, 10, 1), PF_Err_NONE);
        ASSERT_EQ(host().drag(kCache, x, 10, true), PF_Err_NONE);
    }
    std::string cachePath() {
        std::vector<uint8_t> flat;
        EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
        return std::string(flat.begin() + 8, flat.end() - 1);
    }
    void simulate() {
        ASSERT_EQ(host().click(1, 33, 13, 1), PF_Err_NONE);
        ASSERT_EQ(host().drag(1, 33, 13, true), PF_Err_NONE);
    }
};

TEST_F(CacheControlTest, NewOnAnEmptyTemporaryCacheAsksNothing) {
    open(scene());
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    const std::string before = cachePath();
    press(3 + 30);  // "New"
    const std::string after = cachePath();
    EXPECT_NE(after, before);
    EXPECT_NE(after.find("/skv"), std::string::npos);
    EXPECT_FALSE(Directory().set(before)) << "the old temporary folder is gone";
    EXPECT_TRUE(dialogs_->shown().empty());
}

TEST_F(CacheControlTest, NewOnATemporaryCacheWithFramesAsksFirst) {
    ::setenv("SKYVANE_PREVIEW", "off", 1);
    open(scene("", "", R"("width": 32, "height": 24, "fps": 10, "duration": 0.3)"), {"no"});
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    simulate();
    const std::string before = cachePath();
    press(33);
    EXPECT_TRUE(dialogs_->showed("question\tSkyvane Notice\tCurrent disk cache is temporary and will be deleted."));
    EXPECT_EQ(cachePath(), before) << "No keeps the cache";
}

TEST_F(CacheControlTest, OpenOnAFolderThatCannotBeOpenedSaysSoAndAsksAgainUntilCancel) {
    open(scene(), {"folder /nonexistent/skyvane", "folder cancel"});
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    const std::string before = cachePath();
    press(66 + 30);  // "Open..."
    const auto shown = dialogs_->shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].rfind("folder\tChoose location for simulation cache\t", 0), 0u) << shown[0];
    EXPECT_EQ(shown[1], "message\tSkyvane Exception\tFailed to open simulation cache from the path below.\\nChoose a "
                        "different directory.\\n\\n/nonexistent/skyvane");
    EXPECT_EQ(shown[2].rfind("folder\t", 0), 0u);
    EXPECT_EQ(cachePath(), before);
}

TEST_F(CacheControlTest, SaveAsMovesTheCacheAndRemovesTheOldFolder) {
    ::setenv("SKYVANE_PREVIEW", "off", 1);
    test::TempDir target;
    open(scene("", "", R"("width": 32, "height": 24, "fps": 10, "duration": 1.0)"), {"folder " + target.path()});
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    simulate();
    const std::string before = cachePath();
    press(129 + 30);  // "Save As..."
    EXPECT_EQ(cachePath(), target.path());
    EXPECT_FALSE(Directory().set(before));
    std::vector<std::string> names;
    Directory moved;
    ASSERT_TRUE(moved.set(target.path()));
    moved.list(names);
    EXPECT_EQ(names.size(), 10u);
    EXPECT_TRUE(host().params()[kCache].changed);
}

TEST_F(HostFixture, ThePanelLooksAsItDidWhenAPersonLastCheckedIt) {
    open(scene(R"("fuel": { "shape": "disc", "center": [32, 30], "radius": 4 })", R"("Fuel Layer": "fuel")"));
    // A user cache folder with a fixed name keeps the panel's path text stable.
    test::TempDir cache;
    const std::string folder = cache.file("panel.cache");
    ::mkdir(folder.c_str(), 0755);
    std::vector<uint8_t> record(8 + folder.size() + 1, 0);
    record[4] = uint8_t(folder.size());
    std::memcpy(record.data() + 8, folder.data(), folder.size());
    ASSERT_EQ(host().sequenceResetup(record), PF_Err_NONE);
    ASSERT_EQ(host().updateParamsUI(), PF_Err_NONE);
    Panel panel(host());
    Canvas drawn = panel.draw(0);
    EXPECT_TRUE(drawn.objects().empty()) << "the plug-in released every drawing object";

    // The path differs between machines: compare everything but the cache control's text line.
    int cx = 0, cy = 0;
    ASSERT_TRUE(panel.controlOrigin(5, cx, cy));
    const uint8_t blank[4] = {194, 194, 194, 255};
    drawn.fillRect(cx, cy + 24, 200, 18, blank);

    const std::string golden = std::string(SKV_SOURCE_DIR) + "/tests/app/golden/panel.png";
    Image image(drawn.width(), drawn.height());
    for (size_t i = 0; i < drawn.pixels().size(); ++i) image.rgba[i] = drawn.pixels()[i] / 255.0f;
    if (std::getenv("SKV_UPDATE_GOLDEN")) writeImage(golden, image, 8);
    const Image expected = readImage(golden);
    ASSERT_EQ(expected.width, image.width);
    ASSERT_EQ(expected.height, image.height);
    Image diff(image.width, image.height);
    int differing = 0;
    for (size_t i = 0; i < image.rgba.size(); ++i) {
        const float d = std::fabs(image.rgba[i] - expected.rgba[i]);
        diff.rgba[i] = (i % 4 == 3) ? 1.0f : std::min(1.0f, d * 8);
        differing += d > 2.5f / 255;
    }
    if (differing > 0) {
        const std::string out = std::string(SKV_BINARY_DIR) + "/panel_actual.png";
        writeImage(out, image, 8);
        writeImage(std::string(SKV_BINARY_DIR) + "/panel_diff.png", diff, 8);
        ADD_FAILURE() << differing << " channel values differ from " << golden << "; see " << out
                      << " and panel_diff.png beside it (SKV_UPDATE_GOLDEN=1 regenerates the golden image)";
    }
}

}  // namespace
}  // namespace skv::app
