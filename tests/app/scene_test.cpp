#include "scene.h"

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "host_error.h"
#include "image_io.h"

#include <sys/stat.h>

namespace skv::app {
namespace {

using test::TempDir;

std::string errorOf(const std::string& text, const std::string& path = "scene.json") {
    try {
        parseScene(text, path);
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitScene);
        return e.what();
    }
    return "";
}

const char* kComposition = R"("composition": { "width": 32, "height": 16, "fps": 10, "duration": 1 })";

TEST(SceneTest, MalformedJsonNamesFileAndLine) {
    const std::string error = errorOf("{\n  \"composition\": {\n    \"width\": 32,,\n  }\n}", "bad.json");
    EXPECT_NE(error.find("bad.json:3:"), std::string::npos) << error;
    EXPECT_NE(error.find("not valid JSON"), std::string::npos);
}

TEST(SceneTest, MissingOrWrongPiecesAreNamed) {
    EXPECT_NE(errorOf("{}").find("missing \"composition\""), std::string::npos);
    EXPECT_NE(errorOf(std::string("{") + kComposition + "}").find("missing \"effect\""), std::string::npos);
    EXPECT_NE(errorOf(std::string("{") + kComposition + R"(, "effect": { "layer": "nope" }})").find("must name one of the scene's layers"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"composition": {"width": 0, "height": 16, "duration": 1}, "effect": {}})").find("width and height"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"composition": {"width": 8, "height": 8, "duration": 1, "bits": 12}, "effect": {}})").find("bits"),
              std::string::npos);
    EXPECT_NE(errorOf(std::string("{") + kComposition + R"(, "effect": {}, "extra": 1})").find("unknown section \"extra\""),
              std::string::npos);
    EXPECT_NE(errorOf(std::string("{") + kComposition + R"(, "layers": {"a": {"shape": "star"}}, "effect": {"layer": "a"}})")
                  .find("layer \"a\": unknown shape \"star\""),
              std::string::npos);
    EXPECT_NE(errorOf(std::string("{") + kComposition + R"(, "layers": {"a": {"shape": "disc", "radius": [1, 2]}}, "effect": {"layer": "a"}})")
                  .find("\"radius\": expected a number"),
              std::string::npos);
}

TEST(SceneTest, ProceduralLayersFollowTheirKeyframes) {
    const Scene scene = parseScene(std::string("{") + kComposition + R"(,
        "layers": { "dot": { "shape": "box", "size": [2, 2], "center": { "keys": [[0, [4, 8]], [1, [28, 8]]] } } },
        "effect": { "layer": "dot" } })", "s.json");
    const Layer& dot = *scene.layer("dot");
    EXPECT_EQ(dot.width(), 32);
    EXPECT_EQ(dot.height(), 16);
    const auto alphaAt = [&](double t, int x, int y) { return dot.render(t, 10).pixel(x, y)[3]; };
    EXPECT_FLOAT_EQ(alphaAt(0.0, 3, 7), 1.0f);
    EXPECT_FLOAT_EQ(alphaAt(0.0, 16, 7), 0.0f);
    EXPECT_FLOAT_EQ(alphaAt(0.5, 15, 7), 1.0f);  // halfway: centre at 16
    EXPECT_FLOAT_EQ(alphaAt(2.0, 27, 7), 1.0f);  // held after the last key
}

TEST(SceneTest, ImageSequencesAreReadFromRealFilesFrameByFrame) {
    TempDir dir;
    ::mkdir(dir.file("seq").c_str(), 0755);
    for (int f = 0; f < 4; ++f)
        test::writeConstantImage(dir.file("seq/frame_000" + std::to_string(f) + ".png"), 6, 4, f / 4.0f, 0, 1, 1);
    test::writeConstantImage(dir.file("still.exr"), 3, 2, 0.5f, 2.0f, -1.0f, 1);
    test::writeFile(dir.file("s.json"), std::string("{") + kComposition + R"(,
        "layers": { "seq": { "images": "seq/frame_####.png" }, "still": { "image": "still.exr" } },
        "effect": { "layer": "seq" } })");
    const Scene scene = loadScene(dir.file("s.json"));
    const Layer& seq = *scene.layer("seq");
    EXPECT_EQ(seq.width(), 6);
    EXPECT_EQ(seq.height(), 4);
    for (int f = 0; f < 4; ++f) EXPECT_NEAR(seq.render(f / 10.0, 10).pixel(1, 1)[0], f / 4.0f, 1.0 / 255) << f;
    EXPECT_TRUE(seq.render(0.45, 10).empty()) << "past its last image the layer has no pixels";
    const Image still = scene.layer("still")->render(0.7, 10);
    EXPECT_FLOAT_EQ(still.pixel(2, 1)[1], 2.0f);  // float images keep values beyond 1
    EXPECT_FLOAT_EQ(still.pixel(2, 1)[2], -1.0f);
}

TEST(SceneTest, GapsAndMissingImagesAreRefusedWithTheFileName) {
    TempDir dir;
    ::mkdir(dir.file("seq").c_str(), 0755);
    for (int f : {0, 1, 3}) test::writeConstantImage(dir.file("seq/f_" + std::to_string(f) + "0.png"), 2, 2, 1, 1, 1, 1);
    const auto sceneWith = [&](const std::string& layer) {
        test::writeFile(dir.file("s.json"), std::string("{") + kComposition + R"(, "layers": { "l": )" + layer +
                                                R"( }, "effect": { "layer": "l" } })");
        try {
            loadScene(dir.file("s.json"));
        } catch (const HostError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(sceneWith(R"({ "images": "seq/f_#0.png" })").find("has a gap: f_20.png is missing"), std::string::npos);
    EXPECT_NE(sceneWith(R"({ "images": "seq/none_####.png" })").find("no images match"), std::string::npos);
    EXPECT_NE(sceneWith(R"({ "image": "missing.png" })").find("missing.png: cannot read image"), std::string::npos);
}

TEST(SceneTest, FramePatternsUseTheirHashesAsPadding) {
    EXPECT_EQ(expandFramePattern("out/fire_####.png", 7), "out/fire_0007.png");
    EXPECT_EQ(expandFramePattern("a#.exr", 123), "a123.exr");
    EXPECT_EQ(expandFramePattern("plain.png", 3), "plain_3.png");
}

TEST(SceneTest, AnimatedValuesParseNumbersArraysAndKeys) {
    EXPECT_DOUBLE_EQ(Animated<1>::parse(Json(2.5)).at(9)[0], 2.5);
    const Animated<2> keyed = Animated<2>::parse(Json::parse(R"({"keys": [[2, [0, 10]], [0, [10, 0]]]})"));
    EXPECT_TRUE(keyed.animated());
    EXPECT_DOUBLE_EQ(keyed.at(1)[0], 5);  // keys are sorted by time
    EXPECT_DOUBLE_EQ(keyed.at(1)[1], 5);
    EXPECT_THROW(Animated<2>::parse(Json::parse(R"({"keys": []})")), std::invalid_argument);
    EXPECT_THROW(Animated<3>::parse(Json::parse("[1, 2]")), std::invalid_argument);
}

}  // namespace
}  // namespace skv::app
