// The real plug-in library loaded and driven through its entry point by the headless host, as
// the compositing host drives it: commands, parameters, the arbitrary-data callbacks of the
// colour ramps, click and drag events on the custom controls, and simulation runs.
#include "app_support.h"
#include "host/sdk/pipl.h"
#include "host_error.h"

namespace skv::app {
namespace {

using test::HostFixture;
using test::TempDir;
namespace fs = std::filesystem;

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// The sequence data record: version, path length, path, and the outdated mark (-1: none).
std::vector<uint8_t> sequenceRecord(const std::string& path, int mark, uint32_t length) {
    std::vector<uint8_t> r(8 + path.size() + (mark >= 0 ? 1 : 0), 0);
    std::memcpy(r.data() + 4, &length, 4);
    std::memcpy(r.data() + 8, path.data(), path.size());
    if (mark >= 0) r.back() = uint8_t(mark);
    return r;
}

// The message of a failing call, or "" when it succeeds.
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitPlugin);
        return e.what();
    }
    return "";
}

// The description record and global setup must agree, or the compositing host refuses the effect.
TEST_F(HostFixture, TheDescriptionGlobalSetupAndParametersDeclareTheSameEffect) {
    const std::vector<uint8_t> record = readElfSection(test::kPluginPath, pipl::kSectionName);
    const PluginDescription d = parsePipl(record.data(), record.size(), "plug-in");
    EXPECT_NO_THROW(checkDescription(d, "plug-in"));
    EXPECT_EQ(d.kind, pipl::kKindAEEffect);
    EXPECT_EQ(d.matchName + "/" + d.category + "/" + d.entryPoint, "Skyvane/qelmor/EntryPointFunc");
    // Keys and the vendor are stored byte-reversed: "8BIM" reads "MIB8" in the file.
    EXPECT_EQ(std::memcmp(record.data() + 10, "MIB8", 4), 0);
    EXPECT_EQ(std::memcmp(record.data() + 14, "dnik", 4), 0);

    open(scene());
    ASSERT_EQ(host().globalSetup(), PF_Err_NONE);
    const PF_OutData& out = host().lastOutData();
    EXPECT_EQ(std::tuple(out.my_version, uint32_t(out.out_flags), uint32_t(out.out_flags2)),
              std::tuple(d.effectVersion, d.outFlags, d.outFlags2));
    EXPECT_EQ(std::tuple(d.effectVersion, d.outFlags, d.outFlags2),
              std::tuple(0x00093601u, 0x06008016u, 0x00001400u));
    std::string text;
    ASSERT_EQ(host().about(text), PF_Err_NONE);
    EXPECT_EQ(text.rfind("Skyvane v1.2.5\r\r2D Fluid Simulation\r\r", 0), 0u) << text;

    // Saved projects find their values by these ids: they never move.
    const auto& p = host().params();
    ASSERT_EQ(p.size(), 66u);
    // clang-format off
    const std::tuple<int, PF_ParamType, A_long, const char*> rows[] = {
        {1, PF_Param_ARBITRARY_DATA, 2, "Simulation Control"}, {8, PF_Param_LAYER, 6, "Density Layer"},
        {29, PF_Param_CHECKBOX, 19, "Differential Velocity"}, {49, PF_Param_FLOAT_SLIDER, 34, "Buoyancy"},
        {54, PF_Param_POPUP, 76, "Render Mode"}, {63, PF_Param_ARBITRARY_DATA, 45, "Temp. Color"}};
    // clang-format on
    for (const auto& [i, type, id, name] : rows)
        EXPECT_TRUE(p[size_t(i)].def.param_type == type && p[size_t(i)].def.uu.id == id &&
                    p[size_t(i)].name == name)
            << i;
    EXPECT_FALSE(p[2].enabled()) << "without a GPU its checkbox is off and disabled";
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    EXPECT_EQ(host().renderCommand(), PF_Err_NONE) << "the non-SmartFX render does nothing";
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);
    // A suite the host lacks: reported, and its error returned.
    host().disableSuite(kPFHandleSuite);
    EXPECT_EQ(host().sequenceSetup(), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(dialogs_->showed("message\tSkyvane Exception\t"));
    host().enableSuite(kPFHandleSuite);
}

TEST(PluginLibraryTest, DamagedDescriptionsAndForeignFilesAreRefusedWithTheReason) {
    const std::vector<uint8_t> record = readElfSection(test::kPluginPath, pipl::kSectionName);
    for (size_t size = 0; size < record.size(); ++size) {
        const std::vector<uint8_t> cut(record.begin(), record.begin() + std::ptrdiff_t(size));
        EXPECT_NE(
            errorOf([&] { checkDescription(parsePipl(cut.data(), cut.size(), "cut"), "cut"); }), "")
            << "a record cut to " << size << " bytes was accepted";
    }
    std::vector<uint8_t> huge = record;
    huge[10 + 12] = 0xFF;  // the first property's length
    huge[10 + 15] = 0x7F;
    EXPECT_NE(
        errorOf([&] { parsePipl(huge.data(), huge.size(), "h"); }).find("longer than the record"),
        std::string::npos);
    const PluginDescription d = parsePipl(record.data(), record.size(), "p");
    const std::pair<std::function<void(PluginDescription&)>, const char*> edits[] = {
        {[](PluginDescription& e) { e.kind = pipl::storedKey("AEgx"); }, "not an effect"},
        {[](PluginDescription& e) { e.outFlags2 = 0; }, "SmartFX"},
        {[](PluginDescription& e) { e.entryPoint.clear(); }, "entry point"}};
    for (const auto& [edit, reason] : edits) {
        PluginDescription e = d;
        edit(e);
        EXPECT_NE(errorOf([&] { checkDescription(e, "p"); }).find(reason), std::string::npos)
            << reason;
    }

    TempDir dir;  // a library whose description says it is not an effect is refused before loading
    std::string bytes = test::readFile(test::kPluginPath);
    const auto at = bytes.find(std::string(record.begin(), record.end()));
    ASSERT_NE(at, std::string::npos);
    std::memcpy(&bytes[at + 10 + 16], "XXXX", 4);  // the kind property
    test::writeFile(dir.file("altered.so"), bytes);
    EXPECT_NE(errorOf([&] { PluginLibrary p(dir.file("altered.so")); }).find("not an effect"),
              std::string::npos);
}

TEST_F(HostFixture, KeyframesInterpolateSlidersHoldPopupsBlendRampsAndLeaveNoHandle) {
    open(scene(R"("fuel": { "shape": "disc", "center": [32, 30], "radius": 4 })",
               R"("Fuel Layer": "fuel",
        "Vorticity": { "keys": [[0.0, 0], [1.0, 40]] }, "Render Mode": { "keys": [[0.0, "Color"], [0.5, "Velocity"]] },
        "Density Color": { "keys": [[0.0, [[0.0, [0, 0, 0, 1]], [1.0, [1, 1, 1, 1]]]],
                                    [1.0, [[0.0, [1, 0, 0, 1]], [0.5, [0, 1, 0, 1]]]]] })"));
    // clang-format off
    const std::tuple<const char*, double, const char*> values[] = {{"Vorticity", 0.0, "0"}, {"Vorticity", 0.25, "10"},
        {"Vorticity", 2.0, "40"}, {"Render Mode", 0.49, "Color"}, {"Render Mode", 0.5, "Velocity"}};
    // clang-format on
    for (const auto& [name, t, text] : values)
        EXPECT_EQ(host().valueText(index(name), t), text) << name << t;
    std::vector<uint8_t> flat;
    ASSERT_TRUE(host().flatValueAt(index("Density Color"), 0.5, flat));
    ASSERT_EQ(u32(flat, 0), 3u);  // positions 0, 0.5 and 1 from both keyframes
    std::vector<float> stop(5);
    std::memcpy(stop.data(), flat.data() + 4 + 20, 20);  // halfway between grey 0.5 and green
    EXPECT_EQ(stop, std::vector<float>({0.25f, 0.75f, 0.25f, 1, 0.5f}));

    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    Image image;
    ASSERT_EQ(host().renderFrame(3, image), PF_Err_NONE);
    EXPECT_EQ(host().outstandingCheckouts(), 0);
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);
    size_t owned = 0;  // what remains are the parameters' own values, defaults and keyframes
    for (const HostParam& p : host().params())
        if (p.def.param_type == PF_Param_ARBITRARY_DATA)
            owned += (p.def.u.arb_d.value ? 1 : 0) + (p.def.u.arb_d.dephault ? 1 : 0) +
                     p.rampKeys.size();
    EXPECT_EQ(host().heap().liveCount(), owned);
}

TEST_F(HostFixture, SequenceDataKeepsTheCacheFolderAndTheOutdatedMark) {
    open(scene());
    std::vector<uint8_t> flat;
    EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_INTERNAL_STRUCT_DAMAGED) << "no instance yet";
    // Sets up (from `record`, or new), changes `param`, and returns the flattened folder and mark.
    const auto cacheAndMark = [&](const std::vector<uint8_t>* record, const char* param = nullptr) {
        EXPECT_EQ(record ? host().sequenceResetup(*record) : host().sequenceSetup(), PF_Err_NONE);
        EXPECT_EQ(param ? host().userChangedParam(index(param)) : PF_Err_NONE, PF_Err_NONE);
        EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
        EXPECT_EQ(host().sequenceSetdown(), PF_Err_NONE);
        EXPECT_TRUE(u32(flat, 0) == 0 && flat.size() == 9u + u32(flat, 4));
        return std::make_pair(std::string(flat.begin() + 8, flat.end() - 1), int(flat.back()));
    };
    const auto fresh = cacheAndMark(nullptr);
    EXPECT_NE(fresh.first.find("/skv"), std::string::npos)
        << "a new instance starts with a temporary cache";
    EXPECT_EQ(fresh.second, 1) << "a new simulation is outdated";
    TempDir cache;
    const std::string c = cache.path();
    const uint32_t n = uint32_t(c.size());
    const std::vector<uint8_t> clean = sequenceRecord(c, 0, n);
    // clang-format off
    const std::tuple<std::vector<uint8_t>, const char*, std::string, int> cases[] = {
        {clean, nullptr, c, 0}, {sequenceRecord(c, -1, n), nullptr, c, 1},  // no mark: as constructed
        {sequenceRecord(c, 0, 1000), nullptr, "", 1}, {{0, 0, 0}, nullptr, "", 1},  // past the end, too short
        {sequenceRecord("/nonexistent/skyvane/cache", 1, 26), nullptr, "/skv", 1},  // a new temporary one
        {clean, "Motion Blur", c, 1}, {clean, "Vorticity", c, 1}, {clean, "Fuel Layer", c, 1},
        {clean, "RAM Cache Size (in MB)", c, 0}, {clean, "Temp. Color", c, 0}, {clean, "Render Mode", c, 0}};
    // clang-format on
    for (const auto& [record, param, folder, mark] : cases) {
        const auto [gotFolder, gotMark] = cacheAndMark(&record, param);
        EXPECT_TRUE(folder == "/skv" ? gotFolder.find(folder) != std::string::npos
                                     : gotFolder == folder)
            << gotFolder;
        EXPECT_EQ(gotMark, mark) << folder << " " << (param ? param : "");
    }
    EXPECT_FALSE(dialogs_->showed("question\t") || dialogs_->showed("folder\t"))
        << "a missing saved folder is replaced without a question";
}

// ---- Colour ramps through the arbitrary-data callbacks ----

std::vector<uint8_t> stops(std::initializer_list<std::array<float, 5>> list) {
    std::vector<uint8_t> flat(4 + 20 * list.size());
    const uint32_t n = uint32_t(list.size());
    std::memcpy(flat.data(), &n, 4);
    for (size_t i = 0; i < list.size(); ++i)
        std::memcpy(flat.data() + 4 + 20 * i, list.begin()[i].data(), 20);
    return flat;
}

TEST_F(HostFixture, RampCallbacksSortStopsAndRefuseDamagedRecords) {
    open(scene());
    const auto call = [&](PF_FunctionSelector selector,
                          const std::function<void(PF_ArbParamsExtra&)>& fill) {
        PF_ArbParamsExtra e{};
        e.refconPV = host().params()[63].def.u.arb_d.refconPV;
        e.param_index = 63;
        e.which_function = selector;
        fill(e);
        return host().rawCommand(PF_Cmd_ARBITRARY_CALLBACK, &e);
    };
    const auto unflatten = [&](std::vector<uint8_t> flat, PF_Err* error = nullptr) {
        PF_ArbitraryH out = nullptr;
        const PF_Err err = call(PF_Arbitrary_UNFLATTEN_FUNC, [&](PF_ArbParamsExtra& e) {
            e.u.unflatten_func_params = {A_u_long(flat.size()), flat.data(), &out};
        });
        if (error) *error = err;
        return out;
    };
    const auto flatten = [&](PF_ArbitraryH h, A_u_long size = 0) {
        if (size == 0)
            call(PF_Arbitrary_FLAT_SIZE_FUNC, [&](PF_ArbParamsExtra& e) {
                e.u.flat_size_func_params = {h, &size};
            });
        std::vector<uint8_t> flat(size);
        const auto fill = [&](PF_ArbParamsExtra& e) {
            e.u.flatten_func_params = {h, size, flat.data()};
        };
        return call(PF_Arbitrary_FLATTEN_FUNC, fill) == PF_Err_NONE ? flat : std::vector<uint8_t>{};
    };
    PF_ArbitraryH h =
        unflatten(stops({{1, 0, 0, 1, 0.75f}, {0, 1, 0, 1, 0.25f}, {0, 0, 1, 1, 0.75f}}));
    EXPECT_EQ(flatten(h), stops({{0, 1, 0, 1, 0.25f}, {0, 0, 1, 1, 0.75f}}))
        << "sorted; the last colour read wins";
    EXPECT_TRUE(flatten(h, 30).empty()) << "a buffer of the wrong size";
    std::vector<uint8_t> lying = stops({{1, 1, 1, 1, 0.5f}}), trailing = lying;
    lying[0] = 2;  // claims two stops, holds one
    trailing.push_back(0);
    for (const auto& bad :
         {std::vector<uint8_t>{1, 0, 0}, lying, trailing, std::vector<uint8_t>(4, 0xFF)}) {
        PF_Err err = PF_Err_NONE;
        EXPECT_EQ(unflatten(bad, &err), nullptr);
        EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED) << bad.size();
    }
    host().heap().failAllocations(1);
    PF_Err err = PF_Err_NONE;
    EXPECT_EQ(unflatten(stops({{1, 1, 1, 1, 0.5f}}), &err), nullptr);
    EXPECT_EQ(err, PF_Err_OUT_OF_MEMORY);
    call(PF_Arbitrary_DISPOSE_FUNC,
         [&](PF_ArbParamsExtra& e) { e.u.dispose_func_params.arbH = h; });
}

// ---- The custom controls: click and drag events ----

TEST_F(HostFixture, TheCacheControlsNewOpenAndSaveAsAskWhenFramesWouldBeLost) {
    ::setenv("SKYVANE_PREVIEW", "off", 1);
    TempDir target;
    open(scene("", "", R"("width": 32, "height": 24, "fps": 10, "duration": 1.0)"),
         {"folder /nonexistent/skyvane", "folder cancel", "no", "folder " + target.path()});
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    const auto cachePath = [&] {
        std::vector<uint8_t> flat;
        EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
        return std::string(flat.begin() + 8, flat.end() - 1);
    };
    const auto press = [&](int control, int x, int y) {
        ASSERT_EQ(host().click(control, x, y, 1), PF_Err_NONE);
        ASSERT_EQ(host().drag(control, x, y, true), PF_Err_NONE);
    };
    const int kNew = 33, kOpen = 96, kSaveAs = 159;
    std::string before = cachePath();
    press(5, kNew, 10);
    EXPECT_NE(cachePath(), before);
    EXPECT_FALSE(fs::exists(before)) << "the old temporary folder is gone";
    EXPECT_TRUE(dialogs_->shown().empty()) << "nothing to lose, nothing asked";

    before = cachePath();
    press(5, kOpen, 10);  // a folder that cannot be opened, then Cancel
    auto shown = dialogs_->shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_TRUE(shown[0].starts_with("folder\t") && shown[2].starts_with("folder\t"))
        << "asked again";
    EXPECT_TRUE(shown[1].starts_with("message\tSkyvane Exception\t") &&
                shown[1].ends_with("/nonexistent/skyvane"));
    EXPECT_EQ(cachePath(), before);

    press(1, 33, 13);  // simulate, then New: a question, answered No
    press(5, kNew, 10);
    shown = dialogs_->shown();
    EXPECT_TRUE(shown.size() == 4u && shown.back().starts_with("question\t"));
    EXPECT_EQ(cachePath(), before) << "No keeps the cache";

    press(5, kSaveAs, 10);
    EXPECT_EQ(cachePath(), target.path());
    EXPECT_FALSE(fs::exists(before));
    EXPECT_EQ(std::distance(fs::directory_iterator(target.path()), fs::directory_iterator()), 10);
    EXPECT_TRUE(host().params()[5].changed);
}

// ---- Simulation runs: the "update" button pressed, the run on the plug-in's own threads ----

class SimulationRunTest : public ::testing::Test {
  protected:
    // Simulates a fresh project of a 48 × 32 plate, `frames` frames at 10 fps.
    RunReport simulate(const std::string& layers, const std::string& effect, int frames, int bits) {
        session_.reset();
        fs::remove_all(dir_.file("scene.json.project"));
        fs::remove_all(dir_.file("scene.json.cache"));
        test::writeFile(dir_.file("scene.json"),
                        R"({ "composition": { "width": 48, "height": 32, "fps": 10, "duration": )" +
                            std::to_string(frames / 10.0) + R"(, "bits": )" + std::to_string(bits) +
                            R"( }, "layers": { "plate": { "shape": "box" }, )" + layers +
                            R"( }, "effect": { "layer": "plate", )" + effect + " } }");
        ::setenv("SKYVANE_PREVIEW", "off", 1);
        session_ = std::make_unique<Session>(test::kPluginPath, dir_.file("scene.json"));
        session_->openInstance(Session::CacheUse::kCreate);
        HeadlessHost& host = session_->host();
        EXPECT_EQ(host.click(1, 33, 13, 1), PF_Err_NONE);
        EXPECT_EQ(host.drag(1, 33, 13, true), PF_Err_NONE);
        return host.lastRun().value_or(RunReport{.failed = true});
    }
    Image render(int frame) {
        Image image;
        EXPECT_EQ(session_->host().renderFrame(frame, image), PF_Err_NONE);
        return image;
    }
    TempDir dir_;
    std::unique_ptr<Session> session_;
};

// A divergence source that overflows single precision from frame 4 on ends the run as unstable;
// non-finite samples of a float layer read as zero. Either way every frame kept is finite.
TEST_F(SimulationRunTest, OverflowingOrNonFiniteSourcesNeverLeaveANonFiniteFrame) {
    ::mkdir(dir_.file("div").c_str(), 0755);
    for (int f = 0; f < 8; ++f) {
        const float v = f < 4 ? 0.01f : 3e38f;
        test::writeConstantImage(dir_.file("div/d_" + std::to_string(f) + ".exr"), 48, 32, v, v, v,
                                 1);
    }
    test::writeConstantImage(dir_.file("nan.exr"), 48, 32, std::nanf(""), INFINITY, 1, 1);
    test::ScriptedPluginDialogs dialogs(dir_);
    // clang-format off
    const std::tuple<const char*, const char*, bool> cases[] = {
        {R"("bad": { "image": "nan.exr" }, "fuel": { "shape": "disc", "center": [24, 26], "radius": 5 })",
         R"("Density Layer": "bad", "Temperature Layer": "bad", "Fuel Layer": "fuel", "Render Mode": "All Sources")", false},
        {R"("div": { "images": "div/d_#.exr" })", R"("Divergence Layer": "div", "Div. Scale": 10)", true}};
    // clang-format on
    for (const auto& [layers, effect, unstable] : cases) {
        const RunReport run = simulate(layers, effect, 8, 32);
        EXPECT_EQ(run.failed, unstable) << layers;
        EXPECT_EQ(dialogs.showed("Simulation became unstable"), unstable);
        EXPECT_TRUE(run.framesCached >= 4 && (run.framesCached < 8) == unstable)
            << run.framesCached;
        for (int f = 0; f < run.framesCached; ++f)
            for (float v : render(f).rgba)
                ASSERT_TRUE(std::isfinite(v)) << layers << " frame " << f;
    }
}

}  // namespace
}  // namespace skv::app
