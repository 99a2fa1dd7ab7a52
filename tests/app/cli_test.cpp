// The skyvane program run as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "app_test_support.h"
#include "platform/files.h"

namespace skv::test {
namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir_.file("scene.json"), scene(R"("Fuel Layer": "fuel", "Render Mode": "Fire + Smoke")"));
    }
    static std::string scene(const std::string& effect, const std::string& extra = "") {
        return R"({ "composition": { "width": 40, "height": 24, "fps": 10, "duration": 0.6 },
                   "layers": { "plate": { "shape": "box", "center": [20, 12], "size": [40, 24] },
                               "fuel": { "shape": "disc", "center": [20, 20], "radius": 3 } },
                   "effect": { "layer": "plate", )" +
               effect + R"( }, "output": "out/f_##.png" )" + extra + "}";
    }
    ProgramRun run(std::vector<std::string> args) {
        return runProgram(args, "HOME='" + dir_.path() + "' SKYVANE_PREVIEW=off");
    }
    TempDir dir_;
};

TEST_F(CliTest, ParamsListsEveryParameterWithValueAndEnabledState) {
    const ProgramRun r = run({"params", dir_.file("scene.json")});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +19 +Fuel Layer +fuel +yes\n)"))) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +9 +Density Scale +100 +no\n)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +54 +Render Mode +Fire \+ Smoke +yes\n)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +63 +Temp\. Color +28 stops +yes\n)")));
}

TEST_F(CliTest, BadScenesFailWithTheirReasonAndTheSceneStatus) {
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {scene(R"("Fuel Rate": 3)"), "effect: unknown parameter \"Fuel Rate\""},
        {scene(R"("Burn Rate": 5000)"), "\"Burn Rate\" is 5000, outside its range 0 to 1000"},
        {scene(R"("Render Mode": "Sparkles")"), "\"Render Mode\" takes one of: All Sources|"},
        {scene(R"("Fuel Layer": "nope")"), "\"Fuel Layer\" takes the name of one of the scene's layers"},
        {scene(R"("Resolution Scale": { "keys": [[0, 1], [1, 2]] })"), "\"Resolution Scale\" cannot change over time"},
        {"{ \"composition\": {\n \"width\": 4 \n", "scene.json:3: not valid JSON"},
        {scene(R"("Fuel Layer": "img")", R"(, "layers2": 1)"), "unknown section \"layers2\""},
    };
    for (const Case& c : cases) {
        writeFile(dir_.file("scene.json"), c.text);
        const ProgramRun r = run({"params", dir_.file("scene.json")});
        EXPECT_EQ(r.status, 3) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

TEST_F(CliTest, APluginLibraryThatIsNotOneIsRefused) {
    writeFile(dir_.file("fake.so"), "\x7f" "ELF but not really a library, too short for a header");
    const ProgramRun r = run({"info", "--plugin", dir_.file("fake.so")});
    EXPECT_EQ(r.status, 4) << r.output;
    EXPECT_NE(r.output.find("fake.so: not"), std::string::npos) << r.output;
}

TEST_F(CliTest, LayersAreWrittenAsTheEffectReceivesThem) {
    const ProgramRun r = run({"layers", dir_.file("scene.json"), "-o", dir_.file("layers"), "--frames", "2-3"});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* name : {"plate_0002.png", "plate_0003.png", "fuel_0002.png", "fuel_0003.png"})
        EXPECT_TRUE(fileExists(dir_.file("layers/") + name)) << name;
    EXPECT_FALSE(fileExists(dir_.file("layers/fuel_0001.png")));
}

TEST_F(CliTest, SimulateThenRenderWritesEveryFrameAndOnlyWholeFiles) {
    ProgramRun r = run({"render", dir_.file("scene.json")});
    EXPECT_EQ(r.status, 6) << "nothing simulated yet: " << r.output;
    EXPECT_NE(r.output.find("run \"skyvane simulate\" first"), std::string::npos);

    r = run({"simulate", dir_.file("scene.json"), "--progress=machine"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(progress task=simulate frame=6 total=6 seconds=[0-9.]+ mean=[0-9.]+ device=CPU left=0)")))
        << r.output;
    EXPECT_NE(r.output.find("done task=simulate 6 frames in the cache"), std::string::npos);
    EXPECT_TRUE(fileExists(dir_.file("scene.json.project")));

    r = run({"render", dir_.file("scene.json"), "--frames", "1-4"});
    ASSERT_EQ(r.status, 0) << r.output;
    for (int f = 1; f <= 4; ++f) EXPECT_TRUE(fileExists(dir_.file("out/f_0" + std::to_string(f) + ".png"))) << f;
    EXPECT_FALSE(fileExists(dir_.file("out/f_00.png")));
    std::vector<std::string> names;
    Directory out;
    ASSERT_TRUE(out.set(dir_.file("out")));
    out.list(names);
    for (const auto& n : names) EXPECT_EQ(n.find("partial"), std::string::npos) << n;

    r = run({"render", dir_.file("scene.json"), "-o", dir_.file("exr/f_####.exr"), "--frames", "5"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fileExists(dir_.file("exr/f_0005.exr")));
}

TEST_F(CliTest, BadArgumentsGiveTheUsageStatus) {
    EXPECT_EQ(run({"render", dir_.file("scene.json"), "--frames", "9-2"}).status, 2);
    EXPECT_EQ(run({"render", dir_.file("scene.json"), "--frames", "0-60"}).status, 2);
    EXPECT_EQ(run({"simulate"}).status, 2);
    EXPECT_EQ(run({"layers", dir_.file("scene.json")}).status, 2);
}

}  // namespace
}  // namespace skv::test

namespace skv::test {
namespace {

TEST(CliDiskFullTest, FramesTheDiskCannotHoldAreReportedAtTheEnd) {
    TempDir dir;
    const std::string disk = dir.file("disk");
    ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
    TmpfsMount mount(disk, "48k");
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << mount.error();
    // Frames of noise compress badly: a few of them fill 48 KiB.
    writeFile(dir.file("scene.json"), R"json({ "composition": { "width": 64, "height": 48, "fps": 10, "duration": 2 },
        "layers": { "plate": { "shape": "box", "center": [32, 24], "size": [64, 48] },
                    "smoke": { "shape": "noise", "scale": 3, "speed": 5 } },
        "effect": { "layer": "plate", "Density Layer": "smoke", "Temperature Layer": "smoke", "RAM Cache Size (in MB)": 0 },
        "cache": "disk/cache" })json");
    const ProgramRun r = runProgram({"simulate", dir.file("scene.json")}, "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off");
    EXPECT_EQ(r.status, 5) << r.output;
    EXPECT_NE(r.output.find("could not be written to the disk cache (disk full?) and were lost"), std::string::npos)
        << r.output;
}

}  // namespace
}  // namespace skv::test
