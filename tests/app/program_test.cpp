// The skyvane program run as a user runs it, on scenes and images in a temporary folder.
#include <openvdb/openvdb.h>

#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "app_support.h"

namespace skv::test {
namespace {

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override { writeFile(scenePath_, scene(R"("Fuel Layer": "fuel")")); }
    // 40 × 24, six frames; `effect` and `extra` are JSON fragments.
    static std::string scene(const std::string& effect, const std::string& extra = "") {
        return R"({ "composition": { "width": 40, "height": 24, "fps": 10, "duration": 0.6 },
                   "layers": { "plate": { "shape": "box", "center": [20, 12], "size": [40, 24] },
                               "fuel": { "shape": "disc", "center": [20, 20], "radius": 3 } },
                   "effect": { "layer": "plate", )" +
               effect + R"( }, "output": "out/f_##.png" )" + extra + "}";
    }
    ProgramRun run(const std::vector<std::string>& args, const std::string& environment = "",
                   const std::string& workingDirectory = "") {
        return runIn(dir_, args, environment, workingDirectory);
    }
    bool has(const std::string& name) const { return fileExists(dir_.file(name)); }
    TempDir dir_;
    const std::string scenePath_ = dir_.file("scene.json");
};

// Every refusal: the documented exit status, the reason's gist, and no work begun.
TEST_F(ProgramTest, RefusalsGiveTheirStatusAndReasonAndLeaveNothingBehind) {
    ::mkdir(dir_.file("seq").c_str(), 0755);
    for (int f : {0, 1, 3})
        writeConstantImage(dir_.file("seq/f_" + std::to_string(f) + "0.png"), 2, 2, 1, 1, 1, 1);
    ASSERT_EQ(::mkfifo(dir_.file("fifo.png").c_str(), 0644), 0);
    writeFile(dir_.file("blocker"), "");
    writeFile(dir_.file("text.so"),
              "\x7f"
              "ELF but not really a library, too short for a header");
    const auto expectRefused = [&](const std::string& text, const std::string& args, int status,
                                   const std::string& gist, const std::string& environment) {
        writeFile(scenePath_, text);
        std::vector<std::string> arguments;
        std::stringstream in(args);
        for (std::string a; std::getline(in, a, '|');)
            arguments.push_back(a == "S" ? scenePath_ : a);
        const ProgramRun r = run(arguments, environment);
        SCOPED_TRACE(args + "\n" + r.output);
        EXPECT_EQ(r.status, status);
        EXPECT_NE(r.output.find(gist), std::string::npos) << gist;
        for (const char* made :
             {"scene.json.cache", "scene.json.project", "scene.json.farm", "out"})
            EXPECT_FALSE(has(made));
    };
    // clang-format off
    const std::tuple<int, std::string, std::string, const char*> commands[] = {  // status, arguments, gist, environment
        {2, "render|S|--frame|10-12", "unknown option --frame (did you mean \"--frames\"?)", ""},
        {2, "render|S|--allow-outdate", "(did you mean \"--allow-outdated\"?)", ""},
        {2, "render|S|--verbose", "unknown option --verbose\n", ""},  // too far from any for a suggestion
        {2, "rendr|S", "unknown command \"rendr\" (did you mean \"render\"?)", ""},
        {2, "render|S|--frames|9-2", "--frames 9-2: a range runs from a frame to a later one", ""},
        {2, "render|S|--frames|0-60", "the scene has frames 0-5", ""},
        {2, "render|S|--frames|-3", "--frames -3:", ""}, {2, "render|S|--frames|1-4x0", "--frames 1-4x0:", ""},
        {2, "render|S|--frames|10-12x", "--frames 10-12x:", ""}, {2, "render|S|--frames|1,,2", "--frames 1,,2:", ""},
        {2, "render|S|--frames|a-b", "--frames a-b:", ""}, {2, "render|S|--frames|3x2", "--frames 3x2:", ""},
        {2, "render|S|--frames|1-2-3", "--frames 1-2-3:", ""},
        {2, "render|S|--frames||--quiet", "--frames: an empty frame set", ""},
        {2, "simulate|S|--progress|machin", "--progress: machin not in {human,machine,quiet}", ""},
        {2, "simulate|S|extra", "unexpected argument \"extra\"", ""}, {2, "simulate", "SCENE is required", ""},
        {2, "layers|S", "--output is required", ""}, {2, "simulate|S|--set|Buoyancy", "write NAME=VALUE", ""},
        {2, "render|S|--threads|0", "--threads", ""},
        {2, "simulate|S|--log|" + dir_.file("blocker/x.log"), "cannot write the log", ""},
        {2, "submit|S|--scheduler|deadline", "deadline", ""},
        {2, "submit|S|--scheduler|slurm", "needs Slurm's sbatch on the PATH; nothing was submitted", "PATH=/nowhere"},
        {3, "submit|--status|S", "no farm job was submitted", ""},
        {3, "simulate|S", "the scene would need about", "SKYVANE_MEMORY_LIMIT_MB=0.1"},
        {4, "info|--plugin|" + dir_.file("text.so"), "text.so: not", ""},
        {4, "info|--plugin|" + dir_.file("missing.so"), "cannot open the plug-in library", ""},
        {4, "info|--plugin|" + std::string(kProgramPath), "has no plug-in description", ""}};
    for (const auto& [status, args, gist, environment] : commands) expectRefused(scene(R"("Fuel Layer": "fuel")"), args, status, gist, environment);

    const auto small = [](const std::string& layer, const std::string& effect = "") {
        return R"({ "composition": { "width": 32, "height": 16, "duration": 1 }, "layers": { "plate": {)" + layer +
               R"(} }, "effect": { "layer": "plate")" + effect + "} }";
    };
    const std::string disc = R"("shape": "disc")", c8 = R"({"composition": {"width": 8, "height": 8, "duration": 1)";
    const std::pair<std::string, std::string> scenes[] = {
        {scene(R"("Burn Rat": 3)"), "effect: unknown parameter \"Burn Rat\" (did you mean \"Burn Rate\"?)"},
        {scene(R"("Burn Rate": 5000)"), "\"Burn Rate\" is 5000, outside its range 0 to 1000"},
        {scene(R"("Render Mode": "Sparkles")"), "\"Render Mode\" takes one of: All Sources|"},
        {scene(R"("Fuel Layer": "nope")"), "\"Fuel Layer\" takes the name of one of the scene's layers"},
        {scene(R"("Resolution Scale": { "keys": [[0, 1], [1, 2]] })"), "\"Resolution Scale\" cannot change over time"},
        {scene(R"("Fuel Layer": "fuel")", R"(, "layers2": 1)"), "unknown key \"layers2\" (did you mean \"layers\"?)"},
        {"{ \"composition\": {\n \"width\": 4 \n", "scene.json:3: not valid JSON"},
        {"{}", "missing \"composition\""}, {c8 + "}}", "missing \"effect\""},
        {c8 + R"(}, "effect": {"layer": "x"}})", "must name one of the scene's layers"},
        {R"({"composition": {"width": 0, "height": 16, "duration": 1}, "effect": {}})", "width and height"},
        {c8 + R"(, "bits": 12}, "effect": {}})", "bits"},
        {R"({"composition": {"width": 8, "height": 8, "duration": 2000, "fps": 1000}, "effect": {}})", "gives 2000000 frames; at most 1000000"},
        {c8 + R"(, "fsp": 24}, "effect": {}})", "composition: unknown key \"fsp\" (did you mean \"fps\"?)"},
        {small(R"("shape": "star")"), "layer \"plate\": unknown shape \"star\""},
        {small(disc + R"(, "raduis": 3)"), "layer \"plate\": unknown key \"raduis\" (did you mean \"radius\"?)"},
        {small(R"("shapes": [{"shape": "box", "sise": [1, 1]}])"), "unknown key \"sise\" (did you mean \"size\"?)"},
        {small(disc + R"(, "radius": [1, 2])"), "\"radius\": expected a number"},
        {small(disc + R"(, "center": { "keys": [] })"), "\"center\""},
        {small(R"("shape": "noise", "octaves": 1000000)"), "\"octaves\" must be a constant from 1 to 12"},
        {small(disc + R"(, "width": 1000000000)"), "\"width\" and \"height\" are whole numbers from 0 to 16384"},
        {small(disc + R"(, "radius": 1e300)"), "the value 1e+300 is beyond +-1e9"},
        {small(disc + R"(, "radius": 1e400)"), "the value 1e400 of \"radius\" is beyond the range of a number"},
        {small(disc + R"(, "center": { "keys": [[-1e308, [0, 0]], [1e308, [9, 9]]] })"), "keyframe time -1e+308 is beyond"},
        {small(disc, R"(, "Vorticity": { "keys": [[0, 1], [1e300, 2]] })"), "\"Vorticity\": the keyframe time 1e+300 is beyond"},
        {small(disc, R"(, "Density Color": [[0, [1e39, 0, 0, 1]]])"), "1e+39 is beyond +-1e6"},
        {small(R"("images": "seq/f_#0.png")"), "has a gap: f_20.png is missing"},
        {small(R"("images": "seq/none_####.png")"), "no images match"},
        {small(R"("image": "missing.png")"), "missing.png: cannot read image"},
        {small(R"("image": "fifo.png")"), "fifo.png: not a regular file"},  // not waited on
        {R"({ "composition": { "width": 16384, "height": 16384, "duration": 1 }, "layers": { "plate": { "shape": "box" } },
              "effect": { "layer": "plate" } })", "the scene would need about"}};
    // clang-format on
    for (const auto& [text, gist] : scenes)
        expectRefused(text, "simulate|S", 3, gist, "SKYVANE_MEMORY_LIMIT_MB=4096");
}

TEST_F(ProgramTest, ParamsAndLayersShowWhatThePluginReceives) {
    ProgramRun r =
        run({"params", scenePath_, "--set", "Burn Rate=70", "--set", "Render Mode=Fire + Smoke"});
    ASSERT_EQ(r.status, 0) << r.output;
    // clang-format off
    for (const char* row : {R"(\n +19 +Fuel Layer +fuel +yes +a layer\n)", R"(\n +9 +Density Scale +100 +no +0 to 10000\n)",
                            R"(\n +43 +Burn Rate +70 +yes +0 to 1000\n)", R"(\n +63 +Temp\. Color +28 stops +yes +colour stops\n)",
                            R"(\n +54 +Render Mode +Fire \+ Smoke +yes +All Sources\|Fire \+ Smoke\|)"})
        EXPECT_TRUE(std::regex_search(r.output, std::regex(row))) << row << "\n" << r.output;
    // clang-format on
    EXPECT_NE(run({"info", "--threads", "1"}).output.find("OpenMP threads: 1 "), std::string::npos);
    r = run({"layers", scenePath_, "-o", dir_.file("layers"), "--frames", "3,2"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.file("layers")))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, std::set<std::string>(
                         {"fuel_0002.png", "fuel_0003.png", "plate_0002.png", "plate_0003.png"}));
}

TEST_F(ProgramTest, SimulateThenRenderWritesTheFrameSetFromAnyWorkingDirectory) {
    ProgramRun r = run({"render", scenePath_});
    EXPECT_EQ(r.status, 6) << "nothing simulated yet: " << r.output;
    EXPECT_FALSE(has("out/f_00.png"));

    fs::remove(dir_.file("skyvane.log"));
    ASSERT_EQ(::mkdir(dir_.file("elsewhere").c_str(), 0755), 0);  // paths are the scene folder's
    r = run({"simulate", "../scene.json", "--progress=machine", "--log", dir_.file("logs/t.log")},
            "", dir_.file("elsewhere"));
    ASSERT_EQ(r.status, 0) << r.output;
    // clang-format off
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(progress task=simulate frame=5 done=6 total=6 seconds=[0-9.]+ mean=[0-9.]+ device=CPU left=0)")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex(R"(\nresult task=simulate status=ok exit=0 frames=6 seconds=[0-9.]+\n$)")));
    // clang-format on
    EXPECT_EQ(app::cachedFrames(dir_.file("scene.json.cache")),
              std::vector<int>({0, 1, 2, 3, 4, 5}));
    EXPECT_NE(readFile(dir_.file("logs/t.log")).find("Simulation thread terminated"),
              std::string::npos);
    EXPECT_FALSE(has("skyvane.log")) << "the log of the home folder is left alone";

    r = run({"render", scenePath_, "--frames", "1-4x3,2", "--progress", "machine"}, "", "/");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("progress task=render frame=4 done=3 total=3"), std::string::npos)
        << r.output;
    for (int f = 0; f < 6; ++f)
        EXPECT_EQ(has("out/f_0" + std::to_string(f) + ".png"), f == 1 || f == 2 || f == 4) << f;
    const std::string fromRoot = readFile(dir_.file("out/f_04.png"));
    ASSERT_EQ(run({"render", "scene.json", "--frames", "4"}, "", dir_.path()).status, 0);
    EXPECT_EQ(readFile(dir_.file("out/f_04.png")), fromRoot)
        << "the same frame from another working directory";
    for (const auto& entry : fs::directory_iterator(dir_.file("out")))
        EXPECT_EQ(entry.path().string().find("partial"), std::string::npos) << entry.path();

    // clang-format off
    for (const auto& [pattern, name] : {std::pair{"p/f_%04d.exr", "p/f_0005.exr"}, {"p/a#.png", "p/a5.png"},
                                        {"p/100%/f_%d.png", "p/100%/f_5.png"}, {"p/plain.png", "p/plain_5.png"}}) {
        // clang-format on
        EXPECT_EQ(run({"render", scenePath_, "-o", dir_.file(pattern), "--frames", "5"}).status, 0);
        EXPECT_TRUE(has(name)) << pattern;
    }
    r = run({"status", scenePath_});
    EXPECT_NE(r.output.find("frames:  6 of 6 cached: 0-5"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("state:   up to date"), std::string::npos) << r.output;
    // A sheet of what was rendered: the frames that are missing are named and left out.
    r = run(
        {"sheet", dir_.file("out/f_##.png"), "-o", dir_.file("sheets/all.png"), "--width", "40"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("no image for frames 0,3"), std::string::npos) << r.output;
    EXPECT_TRUE(readPixels(dir_.file("sheets/all.png")).has_value());
}

TEST_F(ProgramTest, SceneEditsReachThePluginAsParameterChanges) {
    ASSERT_EQ(run({"simulate", scenePath_, "--quiet"}).status, 0);
    const std::string last = dir_.file("scene.json.cache/skv_sim_cache_0000000005.bcf"),
                      before = readFile(last);
    const auto written = fs::last_write_time(last);
    // A colour ramp is used by rendering only: the cache stays valid.
    const std::string ramp =
        R"("Fuel Layer": "fuel", "Fuel Color": [[0, [0, 0, 0, 0]], [1, [1, 0, 0, 1]]])";
    writeFile(scenePath_, scene(ramp));
    EXPECT_EQ(run({"render", scenePath_, "--frames", "5"}).status, 0);
    EXPECT_EQ(run({"simulate", scenePath_}).status, 0);
    EXPECT_EQ(fs::last_write_time(last), written) << "nothing was simulated again";

    // A force changes the simulation: rendering refuses, status says why, simulate starts again.
    writeFile(scenePath_, scene(ramp + R"(, "Buoyancy": 9)"));
    ProgramRun r = run({"render", scenePath_});
    EXPECT_EQ(r.status, 7) << r.output;
    EXPECT_NE(r.output.find("(\"Buoyancy\" changed)"), std::string::npos) << r.output;
    EXPECT_FALSE(has("out/f_00.png"));
    EXPECT_EQ(run({"render", scenePath_, "--allow-outdated", "--frames", "0"}).status, 0);
    EXPECT_NE(run({"status", scenePath_}).output.find("state:   outdated (\"Buoyancy\" changed)"),
              std::string::npos);
    ASSERT_EQ(run({"simulate", scenePath_}).status, 0);
    EXPECT_NE(readFile(last), before) << "simulated again";
    EXPECT_EQ(run({"render", scenePath_}).status, 0);
    // A new resolution empties the cache at once (the plug-in's rule), and --set is an edit too.
    EXPECT_EQ(run({"render", scenePath_, "--set", "Resolution Scale=2"}).status, 7);
    EXPECT_TRUE(app::cachedFrames(dir_.file("scene.json.cache")).empty());
}

// ---- Pictures as the tools that read them expect ----

float linearOfSrgb(float v) {
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

// Every example scene loads, simulates and renders (four frames, at a coarse resolution).
TEST_F(ProgramTest, EveryExampleRuns) {
    size_t examples = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(SKV_SOURCE_DIR) + "/examples")) {
        if (entry.path().extension() != ".json") continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++examples;
        nlohmann::json scene = nlohmann::json::parse(readFile(entry.path().string()));
        scene["composition"]["duration"] = 4.0 / scene["composition"]["fps"].get<double>();
        scene["output"] = "out/f_####.png";
        const std::string name = entry.path().stem().string();
        writeFile(dir_.file(name + ".json"), scene.dump());
        const ProgramRun r =
            run({"run", dir_.file(name + ".json"), "--set", "Resolution Scale=6", "--quiet"});
        EXPECT_EQ(r.status, 0) << r.output;
        for (int f = 0; f < 4; ++f)
            EXPECT_TRUE(has("out/f_000" + std::to_string(f) + ".png")) << f;
        deleteTree(dir_.file("out"));
    }
    EXPECT_GE(examples, 4u);
}

// The bench's figures carry their conditions: the load around them, the DRAM-sized copy the
// solver is compared with, one-thread CPU time per scene, and the slow-down beside busy
// processes against the fair share.
TEST_F(ProgramTest, TheBenchReportsItsConditionsBesideItsFigures) {
    const ProgramRun r = run({"bench", "--quick", "--json", "--contention", "1"});
    ASSERT_EQ(r.status, 0) << r.output;
    const nlohmann::json bench = nlohmann::json::parse(r.output.substr(r.output.find("{\n")));
    EXPECT_EQ(bench["load_average_start"].size(), 3u);
    EXPECT_EQ(bench["load_average_end"].size(), 3u);
    EXPECT_GT(bench["sor"]["copy_dram_gbps"].get<double>(), 0.0);
    EXPECT_GT(bench["sor"]["speedup_median"].get<double>(), 0.0);
    EXPECT_GT(bench["multigrid"]["vcycle_naive_sweeps_median"].get<double>(), 0.0);
    for (const auto& scene : bench["scenes"]) {
        EXPECT_GT(scene["single_thread_cpu_seconds_per_frame"].get<double>(), 0.0) << scene;
        // The passes count what they move: a sub-step reads and writes every field it
        // advances at least once, and no scene moves each grid hundreds of times.
        EXPECT_GT(scene["grid_passes_per_substep"].get<double>(), 20.0) << scene;
        EXPECT_LT(scene["grid_passes_per_substep"].get<double>(), 200.0) << scene;
        EXPECT_GT(scene["traffic_fraction_of_dram"].get<double>(), 0.0) << scene;
    }
    EXPECT_EQ(bench["contention"]["scenes"].size(), bench["scenes"].size());
    for (const auto& scene : bench["contention"]["scenes"])
        EXPECT_GT(scene["slowdown_vs_fair"].get<double>(), 0.0) << scene;
}

class PictureTest : public ::testing::Test {
  protected:
    // A small fire simulated with the given effect settings.
    void simulateFire(const std::string& effect) {
        writeFile(dir_.file("scene.json"),
                  R"({ "composition": { "width": 48, "height": 32, "fps": 10, "duration": 1 },
            "layers": { "plate": { "shape": "box" }, "fuel": { "shape": "disc", "center": [24, 26], "radius": 5 } },
            "effect": { "layer": "plate", "Fuel Layer": "fuel", )" +
                      effect + "} }");
        ASSERT_EQ(run({"simulate", dir_.file("scene.json")}).status, 0);
    }
    ProgramRun run(std::vector<std::string> args) {
        return runIn(dir_, (args.push_back("--quiet"), args));
    }
    TempDir dir_;
};

TEST_F(PictureTest, AnExrCompositesOverAPlateAndMatchesThePngOfTheSameFrame) {
    simulateFire(R"("Render Mode": "All Sources", "Alpha Mode": "Source")");
    const std::string s = dir_.file("scene.json");
    for (const char* out : {"f_####.exr", "f_####.png"})
        ASSERT_EQ(run({"render", s, "--frames", "8", "-o", dir_.file(out)}).status, 0) << out;
    OIIO::ImageBuf exr(dir_.file("f_0008.exr"));
    ASSERT_TRUE(exr.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << exr.geterror();
    EXPECT_EQ(exr.spec().get_string_attribute("skyvane:colorspace"), "linear");
    EXPECT_EQ(exr.spec().get_string_attribute("skyvane:alpha"), "premultiplied");
    OIIO::ImageBuf plate(exr.spec());
    const float grey[4] = {0.18f, 0.18f, 0.18f, 1.0f};
    OIIO::ImageBufAlgo::fill(plate, grey);
    const OIIO::ImageBuf over = OIIO::ImageBufAlgo::over(exr, plate);
    ASSERT_FALSE(over.has_error()) << over.geterror();
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageBuf png(dir_.file("f_0008.png"), 0, 0, nullptr, &config);
    ASSERT_TRUE(png.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << png.geterror();
    EXPECT_EQ(png.spec().get_string_attribute("oiio:ColorSpace"), "sRGB");
    int empty = 0, covered = 0;
    float worst = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            float e[4], o[4], p[4];
            exr.getpixel(x, y, e);
            over.getpixel(x, y, o);
            png.getpixel(x, y, p);
            (e[3] == 0.0f ? empty : covered)++;
            for (int c = 0; c < 3; ++c) {
                ASSERT_TRUE(e[3] != 0.0f || o[c] == 0.18f)
                    << "the plate shows unchanged where the frame is empty";
                worst = std::max(worst, std::fabs(linearOfSrgb(p[c]) * p[3] - e[c]));
            }
            worst = std::max(worst, std::fabs(p[3] - e[3]));
        }
    EXPECT_GT(empty, 100);
    EXPECT_GT(covered, 20);
    EXPECT_LE(worst, 1.0f / 255.0f) << "the PNG, linearised and premultiplied, is the EXR";
    // The EXR keeps the linear values at its own precision: dark ones are not rounded to the
    // 8-bit steps of the composition on the way (half floats there are finer than 1/255).
    int dark = 0, between = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            float e[4];
            exr.getpixel(x, y, e);
            for (int c = 0; c < 3; ++c) {
                if (!(e[c] > 0.0f && e[c] < 0.05f)) continue;
                ++dark;
                between += std::fabs(e[c] * 255.0f - std::round(e[c] * 255.0f)) > 0.05f;
            }
        }
    EXPECT_GT(dark, 10);
    EXPECT_GT(between, dark / 4) << "dark EXR values on 8-bit steps";

    // Straight alpha and another colour space, for those who need them, say so.
    ASSERT_EQ(run({"render", s, "--frames", "8", "-o", dir_.file("s_####.exr"), "--straight",
                   "--colorspace", "sRGB"})
                  .status,
              0);
    const OIIO::ImageBuf straight(dir_.file("s_0008.exr"));
    EXPECT_EQ(straight.spec().get_string_attribute("skyvane:colorspace"), "sRGB");
    EXPECT_EQ(straight.spec().get_string_attribute("skyvane:alpha"), "straight");
    // A preview movie of the EXR frames over grey: where a frame is empty the movie shows the
    // grey, not the white its straight colour would give once alpha is dropped.
    ASSERT_EQ(run({"render", s, "--frames", "0-3", "-o", dir_.file("m_####.exr")}).status, 0);
    ProgramRun r = runIn(dir_, {"movie", dir_.file("m_####.exr"), "-o",
                                dir_.file("movie/preview.mp4"), "--background", "grey"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + dir_.file("movie/preview.mp4") +
                           "' -frames:v 1 '" + dir_.file("movie/first.png") + "'")
                              .c_str()),
              0);
    OIIO::ImageBuf first(dir_.file("movie/first.png"));
    ASSERT_TRUE(first.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << first.geterror();
    float corner[4];
    first.getpixel(2, 2, corner);
    EXPECT_NEAR(corner[0], 0.5f, 0.03f) << "the background, not the effect's straight colour";
    r = run({"render", s, "--colorspace", "ACEScgg"});
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("--colorspace ACEScgg: no such colour space"), std::string::npos)
        << r.output;
}

TEST_F(PictureTest, FieldsExportToOpenVdbAsHoudiniAndBlenderReadThem) {
    simulateFire(R"("Resolution Scale": 2)");
    for (const char* out : {"f_####.exr", "f_####.vdb"})
        ASSERT_EQ(
            run({"export", dir_.file("scene.json"), "--frames", "7", "-o", dir_.file(out)}).status,
            0)
            << out;
    // The EXR holds the same fields at grid resolution, rows downwards.
    OIIO::ImageBuf exr(dir_.file("f_0007.exr"));
    ASSERT_TRUE(exr.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    const int w = exr.spec().width, h = exr.spec().height;
    ASSERT_EQ(w, 24);
    const int dc = exr.spec().channelindex("density"), uc = exr.spec().channelindex("velocity.u"),
              vc = exr.spec().channelindex("velocity.v");
    ASSERT_GE(dc, 0);
    openvdb::initialize();
    openvdb::io::File file(dir_.file("f_0007.vdb"));
    file.open();
    std::set<std::string> names;
    for (auto it = file.beginName(); it != file.endName(); ++it)
        names.insert(it.gridName());
    EXPECT_EQ(names, (std::set<std::string>{"density", "temperature", "fuel", "vel"}));
    const auto density = openvdb::gridPtrCast<openvdb::FloatGrid>(file.readGrid("density"));
    const auto vel = openvdb::gridPtrCast<openvdb::Vec3SGrid>(file.readGrid("vel"));
    ASSERT_TRUE(density && vel);
    EXPECT_DOUBLE_EQ(density->voxelSize()[0], 0.02)
        << "a cell is 2 composition pixels of 1/100 unit";
    size_t nonZero = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float pixel[16];
            exr.getpixel(x, y, pixel);
            nonZero += pixel[dc] != 0.0f;
            const openvdb::Coord ijk(x, h - 1 - y, 0);
            ASSERT_EQ(density->tree().getValue(ijk), pixel[dc]) << x << "," << y;
            const openvdb::Vec3s v = vel->tree().getValue(ijk);
            EXPECT_NEAR(v.x(), pixel[uc] * 0.02f, 1e-6f);
            EXPECT_NEAR(v.y(), -pixel[vc] * 0.02f, 1e-6f) << "y runs up";
        }
    EXPECT_GT(nonZero, 10u);
    EXPECT_EQ(density->activeVoxelCount(), nonZero) << "empty cells stay inactive";
    file.close();
}

// The preview window on a real X server (Xvfb, on a display it chose free): it shows the running
// simulation, its title tells the progress, and closing it ends the run keeping the frames so far.
TEST(PreviewTest, TheWindowShowsTheRunAndClosingItKeepsTheFramesSoFar) {
    if (::access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "no Xvfb here to give the preview a display";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t server = ::fork();
    if (server == 0) {
        ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-screen",
                "0", "800x600x24", "-nolisten", "tcp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::shared_ptr<void> stop(
        nullptr, [&](void*) { ::kill(server, SIGTERM), waitExitStatus(server); });
    char number[16] = {};
    ::close(fds[1]);
    ASSERT_GT(::read(fds[0], number, sizeof number - 1), 0) << "Xvfb did not start";
    TempDir dir;
    const auto simulate = [&](const std::string& environment) {
        writeFile(dir.file("scene.json"),
                  R"({ "composition": { "width": 96, "height": 64, "fps": 10, "duration": 1.2 },
            "layers": { "plate": { "shape": "box" }, "fuel": { "shape": "disc", "center": [48, 52], "radius": 8 } },
            "effect": { "layer": "plate", "Fuel Layer": "fuel", "Render Mode": "All Sources" } })");
        fs::remove_all(dir.file("scene.json.cache"));
        fs::remove_all(dir.file("scene.json.project"));
        return runProgram({"simulate", dir.file("scene.json"), "--preview", "--progress=machine"},
                          "HOME='" + dir.path() + "' DISPLAY=:" +
                              std::to_string(std::atoi(number)) + " " + environment);
    };
    const std::string shot = dir.file("shot.ppm");
    ProgramRun r = simulate("SKYVANE_PREVIEW_SCREENSHOT='" + shot + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string image = readFile(shot);
    ASSERT_GT(image.size(), 96u * 64u * 3u) << "no screenshot was taken";
    // Brighter than the checker's dark grey: the rendered fire is on screen.
    const auto bright = [](char c) { return uint8_t(c) > 60; };
    EXPECT_GT(std::count_if(image.end() - 96 * 64 * 3, image.end(), bright), 20);
    const std::string title = readFile(shot + ".title");
    // clang-format off
    EXPECT_TRUE(std::regex_match(title, std::regex(R"(\d+/12 - 1\. plate - (\d+\.\d\d/10\.00 Fps| +\d+\.\ds per Frame) \(CPU\), \d\d:\d\d:\d\d left)"))) << title;
    // clang-format on

    r = simulate("SKYVANE_PREVIEW_CLOSE_AFTER=3");
    ASSERT_EQ(r.status, 0) << r.output;
    std::smatch m;  // clang-format off
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex(R"(result task=simulate status=ok exit=0 frames=(\d+))")));
    // clang-format on
    const std::vector<int> kept = app::cachedFrames(dir.file("scene.json.cache"));
    EXPECT_TRUE(kept.size() >= size_t(std::stoi(m[1])) && kept.size() < 12u &&
                kept.back() == int(kept.size()) - 1)
        << r.output;  // frames from 0 on, and not all of them
}

// Scenes with every effect parameter drawn within its range (its extremes included), run under
// a time limit: every run ends as a success or as an unstable simulation, never runs away, and
// every field it cached and every pixel it rendered is finite. SKYVANE_RANDOM_SCENES sets the
// number of scenes (the long test: 300).
TEST(RandomSceneTest, EveryInRangeSceneEndsSoundlyWithFiniteFieldsAndPixels) {
    const char* count = std::getenv("SKYVANE_RANDOM_SCENES");
    const int scenes = count ? std::max(1, std::atoi(count)) : 4;
    const char* base =
        R"({ "composition": { "width": 32, "height": 24, "fps": 10, "duration": 0.4, "bits": 32 },
        "layers": { "plate": { "shape": "box", "center": [16, 12], "size": [32, 24] },
                    "noise": { "shape": "noise", "scale": 4, "speed": 3, "color": [0.9, 0.6, 0.2, 1] },
                    "disc": { "shape": "disc", "center": { "keys": [[0, [8, 18]], [0.4, [24, 18]]] }, "radius": 4 } },
        "effect": { "layer": "plate" }, "output": "out/f_####.exr" })";
    TempDir dir;
    writeFile(dir.file("base.json"), base);
    ::setenv("SKYVANE_PREVIEW", "off", 1);  // the parameters as the plug-in declares them:
    app::Session session(kPluginPath, dir.file("base.json"));
    std::mt19937 random(20261206);
    std::uniform_real_distribution<double> uniform;
    const auto expectFinite = [](const std::string& folder) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const auto pixels = readPixels(entry.path().string());
            ASSERT_TRUE(pixels) << entry.path();
            for (float v : *pixels)
                ASSERT_TRUE(std::isfinite(v)) << entry.path();
        }
    };
    for (int k = 0; k < scenes; ++k) {
        nlohmann::json scene = nlohmann::json::parse(base);
        for (size_t i = 1; i < session.host().params().size(); ++i) {  // 0 is the input layer
            const app::HostParam& p = session.host().params()[i];
            const double pick = uniform(random);
            if (p.def.param_type == PF_Param_FLOAT_SLIDER) {
                const double low = p.def.u.fs_d.valid_min, high = p.def.u.fs_d.valid_max;
                // A fifth of the values at an end of the range, where faults live.
                scene["effect"][p.name] = pick < 0.1   ? low
                                          : pick < 0.2 ? high
                                                       : low + (high - low) * uniform(random);
            } else if (p.def.param_type == PF_Param_CHECKBOX) {
                scene["effect"][p.name] = pick < 0.5;
            } else if (p.def.param_type == PF_Param_POPUP) {
                std::vector<std::string> choices;
                std::stringstream in(p.choices);
                for (std::string choice; std::getline(in, choice, '|');)
                    choices.push_back(choice);
                scene["effect"][p.name] = choices[size_t(pick * double(choices.size()))];
            } else if (p.def.param_type == PF_Param_LAYER && pick < 0.6) {
                scene["effect"][p.name] = std::array{"noise", "disc", "plate"}[size_t(pick / 0.2)];
            }
        }
        const std::string name = "scene_" + std::to_string(k), path = dir.file(name + ".json");
        writeFile(path, scene.dump(1));
        SCOPED_TRACE(path + ": " + scene["effect"].dump());
        // A run that does not end within the limit is a runaway (timeout's status 124).
        const ProgramRun r = runIn(dir, {"run", path, "--quiet"}, "timeout 120");
        EXPECT_TRUE(r.status == 0 || r.status == 5) << "status " << r.status << "\n" << r.output;
        const std::vector<int> cached = app::cachedFrames(path + ".cache");
        if (!cached.empty()) {
            const std::string frames = "0-" + std::to_string(cached.size() - 1);
            EXPECT_EQ(runIn(dir, {"export", path, "-o", dir.file(name + "_f/f_####.exr"),
                                  "--frames", frames})
                          .status,
                      0);
            expectFinite(dir.file(name + "_f"));
        }
        expectFinite(dir.file("out"));
        fs::remove_all(dir.file("out"));
        fs::remove_all(path + ".cache");
    }
}

}  // namespace
}  // namespace skv::test
