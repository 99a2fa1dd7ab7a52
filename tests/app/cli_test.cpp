// The skyvane program run as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "app_test_support.h"
#include "cache/grid_file.h"
#include "platform/files.h"
#include "session.h"

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
    // Runs the program in `workingDirectory` (default: the test's).
    ProgramRun run(std::vector<std::string> args, const std::string& workingDirectory = "") {
        return runProgram(args, (workingDirectory.empty() ? "" : "cd '" + workingDirectory + "' && ") + "HOME='" +
                                    dir_.path() + "' SKYVANE_PREVIEW=off");
    }
    TempDir dir_;
};

TEST_F(CliTest, ParamsListsEveryParameterWithValueEnabledStateAndRange) {
    const ProgramRun r = run({"params", dir_.file("scene.json"), "--set", "Burn Rate=70"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +19 +Fuel Layer +fuel +yes +a layer\n)"))) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +9 +Density Scale +100 +no +0 to 10000\n)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +43 +Burn Rate +70 +yes +0 to 1000\n)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +54 +Render Mode +Fire \+ Smoke +yes +All Sources\|Fire \+ Smoke\|)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\n +63 +Temp\. Color +28 stops +yes +colour stops\n)")));
}

TEST_F(CliTest, BadScenesFailWithTheirReasonAndTheSceneStatus) {
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {scene(R"("Burn Rat": 3)"), "effect: unknown parameter \"Burn Rat\" (did you mean \"Burn Rate\"?)"},
        {scene(R"("Burn Rate": 5000)"), "\"Burn Rate\" is 5000, outside its range 0 to 1000"},
        {scene(R"("Render Mode": "Sparkles")"), "\"Render Mode\" takes one of: All Sources|"},
        {scene(R"("Fuel Layer": "nope")"), "\"Fuel Layer\" takes the name of one of the scene's layers"},
        {scene(R"("Resolution Scale": { "keys": [[0, 1], [1, 2]] })"), "\"Resolution Scale\" cannot change over time"},
        {"{ \"composition\": {\n \"width\": 4 \n", "scene.json:3: not valid JSON"},
        {scene(R"("Fuel Layer": "img")", R"(, "layers2": 1)"), "unknown key \"layers2\" (did you mean \"layers\"?)"},
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

TEST_F(CliTest, SimulateThenRenderWritesTheFrameSetFromAnyWorkingDirectory) {
    ProgramRun r = run({"render", dir_.file("scene.json")});
    EXPECT_EQ(r.status, 6) << "nothing simulated yet: " << r.output;
    EXPECT_NE(r.output.find("run \"skyvane simulate\" first"), std::string::npos);

    // Relative to the scene's folder, not to where the command runs.
    ASSERT_EQ(::mkdir(dir_.file("elsewhere").c_str(), 0755), 0);
    r = run({"simulate", "../scene.json", "--progress=machine"}, dir_.file("elsewhere"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(progress task=simulate frame=5 done=6 total=6 seconds=[0-9.]+ mean=[0-9.]+ device=CPU left=0)")))
        << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\nresult task=simulate status=ok exit=0 frames=6 seconds=[0-9.]+\n$)")))
        << r.output;
    EXPECT_TRUE(fileExists(dir_.file("scene.json.cache/skv_sim_cache_0000000005.bcf")));

    r = run({"render", dir_.file("scene.json"), "--frames", "1-4x3,2", "--progress", "machine"}, "/");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("progress task=render frame=4 done=3 total=3"), std::string::npos) << r.output;
    for (int f : {1, 2, 4}) EXPECT_TRUE(fileExists(dir_.file("out/f_0" + std::to_string(f) + ".png"))) << f;
    for (int f : {0, 3, 5}) EXPECT_FALSE(fileExists(dir_.file("out/f_0" + std::to_string(f) + ".png"))) << f;
    const std::string fromRoot = readFile(dir_.file("out/f_04.png"));
    r = run({"render", "scene.json", "--frames", "4"}, dir_.path());
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readFile(dir_.file("out/f_04.png")), fromRoot) << "the same frame from another working directory";
    std::vector<std::string> names;
    Directory out;
    ASSERT_TRUE(out.set(dir_.file("out")));
    out.list(names);
    for (const auto& n : names) EXPECT_EQ(n.find("partial"), std::string::npos) << n;

    r = run({"render", dir_.file("scene.json"), "-o", dir_.file("exr/f_%04d.exr"), "--frames", "5"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fileExists(dir_.file("exr/f_0005.exr")));

    r = run({"status", dir_.file("scene.json")});
    EXPECT_NE(r.output.find("frames:  6 of 6 cached: 0-5"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("state:   up to date"), std::string::npos) << r.output;

    // A sheet of what was rendered: the frames that are missing are named and left out.
    r = run({"sheet", dir_.file("out/f_##.png"), "-o", dir_.file("sheets/all.png"), "--width", "40"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("no image for frames 0,3"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("contact sheet of 3 frames"), std::string::npos) << r.output;
    EXPECT_TRUE(fileExists(dir_.file("sheets/all.png")));
}

TEST_F(CliTest, ThreadsAndLogFileAreTheUsersToChoose) {
    ProgramRun r = run({"info", "--threads", "1"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("OpenMP threads: 1 "), std::string::npos) << r.output;
    r = run({"simulate", dir_.file("scene.json"), "--log", dir_.file("logs/task-7.log"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(readFile(dir_.file("logs/task-7.log")).find("Simulation thread terminated"), std::string::npos);
    EXPECT_FALSE(fileExists(dir_.file("skyvane.log"))) << "the log of the home folder is left alone";
    writeFile(dir_.file("blocker"), "");
    r = run({"simulate", dir_.file("scene.json"), "--log", dir_.file("blocker/x.log")});
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("cannot write the log"), std::string::npos) << r.output;
}

TEST_F(CliTest, TyposAndBadValuesAreRejectedWithTheUsageStatus) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string s = dir_.file("scene.json");
    const Case cases[] = {
        {{"render", s, "--frame", "10-12"}, "unknown option --frame (did you mean \"--frames\"?)"},
        {{"render", s, "--frames", "9-2"}, "--frames 9-2: a range runs from a frame to a later one"},
        {{"render", s, "--frames", "0-60"}, "the scene has frames 0-5"},
        {{"simulate", s, "--progress", "machin"}, "--progress: machin not in {human,machine,quiet}"},
        {{"simulate", s, "extra"}, "unexpected argument \"extra\""},
        {{"simulate"}, "SCENE is required"},
        {{"layers", s}, "--output is required"},
        {{"rendr", s}, "unknown command \"rendr\" (did you mean \"render\"?)"},
        {{"simulate", s, "--set", "Buoyancy"}, "write NAME=VALUE"},
        {{"render", s, "--threads", "0"}, "--threads"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = run(c.args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.message << "\n" << r.output;
    }
    const ProgramRun help = run({"render", "--help"});
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_NE(help.output.find("--allow-outdated"), std::string::npos) << help.output;
}

TEST_F(CliTest, SceneEditsReachThePluginAsParameterChanges) {
    ASSERT_EQ(run({"simulate", dir_.file("scene.json"), "--quiet"}).status, 0);
    const std::string before = readFile(dir_.file("scene.json.cache/skv_sim_cache_0000000005.bcf"));

    // A colour ramp is used by rendering only: the cache stays valid.
    writeFile(dir_.file("scene.json"), scene(R"("Fuel Layer": "fuel", "Render Mode": "Fire + Smoke",
        "Fuel Color": [[0, [0, 0, 0, 0]], [1, [1, 0, 0, 1]]])"));
    ProgramRun r = run({"render", dir_.file("scene.json"), "--frames", "5"});
    EXPECT_EQ(r.status, 0) << r.output;
    r = run({"simulate", dir_.file("scene.json")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("all 6 frames were already in the cache"), std::string::npos) << r.output;

    // A force changes the simulation: rendering refuses, status says why, simulate starts again.
    writeFile(dir_.file("scene.json"), scene(R"("Fuel Layer": "fuel", "Render Mode": "Fire + Smoke",
        "Fuel Color": [[0, [0, 0, 0, 0]], [1, [1, 0, 0, 1]]], "Buoyancy": 9)"));
    r = run({"render", dir_.file("scene.json")});
    EXPECT_EQ(r.status, 7) << r.output;
    EXPECT_NE(r.output.find("the cache no longer matches the scene (\"Buoyancy\" changed)"), std::string::npos) << r.output;
    EXPECT_EQ(run({"render", dir_.file("scene.json"), "--allow-outdated", "--frames", "0"}).status, 0);
    r = run({"status", dir_.file("scene.json")});
    EXPECT_NE(r.output.find("state:   outdated (\"Buoyancy\" changed)"), std::string::npos) << r.output;
    r = run({"simulate", dir_.file("scene.json"), "--progress=machine"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("the cache is outdated (\"Buoyancy\" changed): simulating again from frame 0"), std::string::npos);
    EXPECT_NE(r.output.find("result task=simulate status=ok exit=0 frames=6"), std::string::npos) << r.output;
    EXPECT_NE(readFile(dir_.file("scene.json.cache/skv_sim_cache_0000000005.bcf")), before);
    EXPECT_EQ(run({"render", dir_.file("scene.json")}).status, 0);

    // A new resolution empties the cache at once (the plug-in's rule), and --set is an edit too.
    r = run({"render", dir_.file("scene.json"), "--set", "Resolution Scale=2"});
    EXPECT_EQ(r.status, 7) << r.output;
    EXPECT_FALSE(fileExists(dir_.file("scene.json.cache/skv_sim_cache_0000000000.bcf")));
}

TEST_F(CliTest, ARenderNeverWritesAFrameTheCacheCannotGive) {
    ASSERT_EQ(run({"simulate", dir_.file("scene.json"), "--quiet"}).status, 0);
    ASSERT_EQ(std::remove(dir_.file("scene.json.cache/skv_sim_cache_0000000002.bcf").c_str()), 0);
    const std::string damaged = dir_.file("scene.json.cache/skv_sim_cache_0000000004.bcf");
    std::string bytes = readFile(damaged);
    bytes.resize(bytes.size() / 2);
    writeFile(damaged, bytes);
    const ProgramRun r = run({"render", dir_.file("scene.json"), "--progress=machine"});
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find("2 of 6 frames could not be rendered"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("frame 2: not in the cache"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("frame 4: " + damaged + " is damaged or unreadable"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("result task=render status=failed exit=6 frames=4"), std::string::npos) << r.output;
    for (int f = 0; f < 6; ++f)
        EXPECT_EQ(fileExists(dir_.file("out/f_0" + std::to_string(f) + ".png")), f != 2 && f != 4) << f;

    // A cache folder that is gone is not replaced by an empty temporary one.
    ASSERT_EQ(std::system(("rm -rf '" + dir_.file("scene.json.cache") + "'").c_str()), 0);
    const ProgramRun gone = run({"render", dir_.file("scene.json")});
    EXPECT_EQ(gone.status, 3) << gone.output;
    EXPECT_NE(gone.output.find("the project's cache folder cannot be opened"), std::string::npos) << gone.output;
}

// A frame file whose grids disagree in a dimension (here a velocity grid of depth 0, no cells)
// is damaged: render and export name it and write nothing, instead of reading past a grid.
TEST_F(CliTest, AFrameWhoseGridsDisagreeIsDamagedForRenderAndExport) {
    ASSERT_EQ(run({"simulate", dir_.file("scene.json"), "--quiet"}).status, 0);
    const std::string path = app::cacheFrameFile(dir_.file("scene.json.cache"), 2);
    std::vector<std::pair<uint32_t, FloatGrid>> grids;
    TimeCursor times;
    {
        GridFile in;
        ASSERT_TRUE(in.openForReading(path));
        GridChunkHeader header;
        while (in.readChunk(header)) {
            AuxVector aux;
            FloatGrid grid;
            ASSERT_TRUE(in.readFloatGrid(header, aux, grid));
            times = header.timeCursor();
            grids.emplace_back(header.gridType, std::move(grid));
        }
    }
    ASSERT_GE(grids.size(), 2u);
    {
        GridFile out;
        ASSERT_TRUE(out.openForWriting(path, true));
        for (auto& [type, grid] : grids) {
            if (type == 5) grid.resize(grid.width(), grid.height(), 0, true);
            ASSERT_TRUE(out.writeGrid(type, 0, times, AuxVector{0, 0, 0}, grid));
        }
    }
    ProgramRun r = run({"export", dir_.file("scene.json"), "-o", dir_.file("fields/f_####.exr"), "--frames", "2"});
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find("frame 2 is damaged: grid type 5 is 42x26x0 in a frame of 42x26"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir_.file("fields/f_0002.exr")));
    r = run({"render", dir_.file("scene.json"), "--frames", "1-3"});
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find("frame 2: " + path + " is damaged or unreadable"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir_.file("out/f_02.png")));
}

TEST_F(CliTest, AScenePastTheMemoryLimitIsRefusedBeforeItRuns) {
    const ProgramRun r = runProgram({"simulate", dir_.file("scene.json")},
                                    "HOME='" + dir_.path() + "' SKYVANE_PREVIEW=off SKYVANE_MEMORY_LIMIT_MB=0.1");
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("the scene would need about"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir_.file("scene.json.cache")));
}

// Ctrl-C in the middle of a simulation keeps every finished frame and the project state; the
// next simulate continues after them.
TEST(CliInterruptTest, AnInterruptedSimulationKeepsItsFramesAndContinues) {
    TempDir dir;
    const std::string text = R"({ "composition": { "width": 160, "height": 96, "fps": 10, "duration": 8 },
        "layers": { "plate": { "shape": "box", "center": [80, 48], "size": [160, 96] },
                    "fuel": { "shape": "disc", "center": [80, 84], "radius": 8 } },
        "effect": { "layer": "plate", "Fuel Layer": "fuel", "Vorticity": 30 } })";
    writeFile(dir.file("a.json"), text);
    writeFile(dir.file("b.json"), text);
    const std::string environment = "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off";
    ASSERT_EQ(runProgram({"simulate", dir.file("a.json"), "--quiet"}, environment).status, 0);

    const pid_t child = startProgram({"simulate", dir.file("b.json"), "--quiet"}, dir.path());
    ASSERT_GT(child, 0);
    const auto cached = [&] { return app::cachedFrames(dir.file("b.json.cache")).size(); };
    for (int wait = 0; wait < 3000 && cached() < 5; ++wait) ::usleep(2000);
    ::kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    const std::vector<int> kept = app::cachedFrames(dir.file("b.json.cache"));
    ASSERT_GE(kept.size(), 5u);
    ASSERT_LT(kept.size(), 80u) << "the run ended before the interruption";
    for (size_t f = 0; f < kept.size(); ++f) {
        ASSERT_EQ(kept[f], int(f));
        EXPECT_EQ(readFile(app::cacheFrameFile(dir.file("b.json.cache"), int(f))),
                  readFile(app::cacheFrameFile(dir.file("a.json.cache"), int(f))))
            << "frame " << f << " differs from the uninterrupted run";
    }
    const ProgramRun next = runProgram({"simulate", dir.file("b.json")}, environment);
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_NE(next.output.find("continued after frame " + std::to_string(kept.size() - 1)), std::string::npos) << next.output;
    EXPECT_EQ(app::cachedFrames(dir.file("b.json.cache")).size(), 80u);
}

// Every example scene loads, simulates and renders (shortened, at a coarse resolution).
TEST(CliExamplesTest, EveryExampleRuns) {
    size_t examples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(SKV_SOURCE_DIR) + "/examples")) {
        if (entry.path().extension() != ".json") continue;
        ++examples;
        TempDir dir;
        nlohmann::json scene = nlohmann::json::parse(readFile(entry.path().string()));
        scene["composition"]["duration"] = 4.0 / scene["composition"]["fps"].get<double>();
        scene["output"] = "out/f_####.png";
        writeFile(dir.file("scene.json"), scene.dump());
        const ProgramRun r = runProgram({"run", dir.file("scene.json"), "--set", "Resolution Scale=6", "--quiet"},
                                        "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off");
        EXPECT_EQ(r.status, 0) << entry.path() << "\n" << r.output;
        for (int f = 0; f < 4; ++f) EXPECT_TRUE(fileExists(dir.file("out/f_000" + std::to_string(f) + ".png"))) << entry.path();
    }
    EXPECT_GE(examples, 4u);
}

}  // namespace
}  // namespace skv::test
