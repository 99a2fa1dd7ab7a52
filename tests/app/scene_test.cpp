#include "scene.h"

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "command_line.h"
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

TEST(SceneTest, MissingWrongOrUnknownPiecesAreNamed) {
    const std::string comp = kComposition;
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {"{}", "missing \"composition\""},
        {"{" + comp + "}", "missing \"effect\""},
        {"{" + comp + R"(, "effect": { "layer": "nope" }})", "must name one of the scene's layers"},
        {R"({"composition": {"width": 0, "height": 16, "duration": 1}, "effect": {}})", "width and height"},
        {R"({"composition": {"width": 8, "height": 8, "duration": 1, "bits": 12}, "effect": {}})", "bits"},
        {R"({"composition": {"width": 8, "height": 8, "duration": 2000, "fps": 1000}, "effect": {}})",
         "gives 2000000 frames; at most 1000000"},
        {"{" + comp + R"(, "layers": {"a": {"shape": "star"}}, "effect": {"layer": "a"}})", "layer \"a\": unknown shape \"star\""},
        {"{" + comp + R"(, "layers": {"a": {"shape": "disc", "radius": [1, 2]}}, "effect": {"layer": "a"}})",
         "\"radius\": expected a number"},
        // Unknown keys anywhere are errors with the nearest known key.
        {"{" + comp + R"(, "effect": {}, "outptu": "x"})", "unknown key \"outptu\" (did you mean \"output\"?)"},
        {R"({"composition": {"width": 8, "height": 8, "duration": 1, "fsp": 24}, "effect": {}})",
         "composition: unknown key \"fsp\" (did you mean \"fps\"?)"},
        {"{" + comp + R"(, "layers": {"a": {"shape": "disc", "raduis": 3}}, "effect": {"layer": "a"}})",
         "layer \"a\": unknown key \"raduis\" (did you mean \"radius\"?)"},
        {"{" + comp + R"(, "layers": {"a": {"shapes": [{"shape": "box"}], "colour": 1}}, "effect": {"layer": "a"}})",
         "layer \"a\": unknown key \"colour\""},
        {"{" + comp + R"(, "layers": {"a": {"shapes": [{"shape": "box", "sise": [1, 1]}]}}, "effect": {"layer": "a"}})",
         "unknown key \"sise\" (did you mean \"size\"?)"},
    };
    for (const Case& c : cases) EXPECT_NE(errorOf(c.text).find(c.message), std::string::npos) << c.text << "\n" << errorOf(c.text);
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

TEST(SceneTest, FramePatternsTakeHashesOrPrintfPadding) {
    EXPECT_EQ(expandFramePattern("out/fire_####.png", 7), "out/fire_0007.png");
    EXPECT_EQ(expandFramePattern("a#.exr", 123), "a123.exr");
    EXPECT_EQ(expandFramePattern("out/fire_%04d.png", 7), "out/fire_0007.png");
    EXPECT_EQ(expandFramePattern("100%/f_%d.png", 12), "100%/f_12.png");
    EXPECT_EQ(expandFramePattern("plain.png", 3), "plain_3.png");
}

TEST(CommandLineTest, FrameSetsAsFarmsWriteThem) {
    struct Case {
        const char* text;
        std::vector<int> frames;
    };
    const Case good[] = {{"10", {10}},
                         {"3-6", {3, 4, 5, 6}},
                         {"0-20x5", {0, 5, 10, 15, 20}},
                         {"1,5,9-11", {1, 5, 9, 10, 11}},
                         {"9-11,1,10", {1, 9, 10, 11}}};
    for (const Case& c : good) EXPECT_EQ(parseFrameSet(c.text, 30), c.frames) << c.text;
    EXPECT_EQ(formatFrameSet({1, 5, 9, 10, 11}), "1,5,9-11");
    for (const char* bad : {"", "9-2", "-3", "0-30", "1-4x0", "1,,2", "a-b", "10-12x", "3x2", "1-2-3"}) {
        try {
            parseFrameSet(bad, 30);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const HostError& e) {
            EXPECT_EQ(e.code(), kExitUsage) << bad;
        }
    }
}

TEST(CommandLineTest, CloseNamesAreSuggestedAndFarOnesAreNot) {
    const std::vector<std::string> names = {"--frames", "--output", "--allow-outdated"};
    EXPECT_EQ(closestMatch("--frame", names), "--frames");
    EXPECT_EQ(closestMatch("--allow-outdate", names), "--allow-outdated");
    EXPECT_EQ(closestMatch("--verbose", names), "");
    EXPECT_EQ(parseSetting("Buoyancy=5").second, "5");
    EXPECT_EQ(parseSetting("Render Mode=Fire + Smoke").second, "\"Fire + Smoke\"");
    EXPECT_THROW(parseSetting("Buoyancy"), HostError);
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
