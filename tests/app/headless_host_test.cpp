#include "headless_host.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host_error.h"
#include "host_fixture.h"

namespace skv::app {
namespace {

using test::HostFixture;

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

std::vector<uint8_t> flatRecord(const std::string& path, int mark /* -1: none */, uint32_t length) {
    std::vector<uint8_t> r(8 + path.size() + (mark >= 0 ? 1 : 0), 0);
    for (int k = 0; k < 4; ++k) r[4 + size_t(k)] = uint8_t(length >> (8 * k));
    std::memcpy(r.data() + 8, path.data(), path.size());
    if (mark >= 0) r.back() = uint8_t(mark);
    return r;
}

TEST_F(HostFixture, AboutTextNamesTheEffectAndItsVersion) {
    open(scene());
    std::string text;
    ASSERT_EQ(host().about(text), PF_Err_NONE);
    EXPECT_EQ(text.rfind("Skyvane v1.2.5\r\r2D Fluid Simulation\r\r", 0), 0u) << text;
}

TEST_F(HostFixture, GlobalSetupDeclaresTheEffectsFlags) {
    open(scene());
    ASSERT_EQ(host().globalSetup(), PF_Err_NONE);
    EXPECT_EQ(host().lastOutData().my_version, 0x00093601u);
    EXPECT_EQ(host().lastOutData().out_flags, 0x06008016);
    EXPECT_EQ(host().lastOutData().out_flags2, 0x00001400);
}

TEST_F(HostFixture, TheNonSmartRenderCommandDoesNothing) {
    open(scene());
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    EXPECT_EQ(host().renderCommand(), PF_Err_NONE);
    EXPECT_EQ(host().rawCommand(PF_Cmd_FRAME_SETUP, nullptr), PF_Err_NONE);
}

TEST_F(HostFixture, AMissingSuiteDuringSequenceSetupIsReportedAndReturned) {
    open(scene());
    host().disableSuite(kPFHandleSuite);
    EXPECT_EQ(host().sequenceSetup(), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(dialogs_->showed("message\tSkyvane Exception\tPF_Err 516 thrown when handling PF_cmd 5"));
    host().enableSuite(kPFHandleSuite);
}

TEST_F(HostFixture, ParameterTableMatchesTheEffectsControls) {
    open(scene());
    const auto& p = host().params();
    ASSERT_EQ(p.size(), 66u);
    struct Row {
        int index;
        PF_ParamType type;
        A_long id;
        const char* name;
    };
    const Row rows[] = {{1, PF_Param_ARBITRARY_DATA, 2, "Simulation Control"},
                        {2, PF_Param_CHECKBOX, 54, "GPU support"},
                        {3, PF_Param_FLOAT_SLIDER, 3, "Resolution Scale"},
                        {5, PF_Param_ARBITRARY_DATA, 49, "Disk Cache"},
                        {8, PF_Param_LAYER, 6, "Density Layer"},
                        {16, PF_Param_FLOAT_SLIDER, 10, "Temp. Scale"},
                        {29, PF_Param_CHECKBOX, 19, "Differential Velocity"},
                        {37, PF_Param_GROUP_END, 21, ""},
                        {39, PF_Param_POPUP, 73, "Domain Type"},
                        {49, PF_Param_FLOAT_SLIDER, 34, "Buoyancy"},
                        {54, PF_Param_POPUP, 76, "Render Mode"},
                        {63, PF_Param_ARBITRARY_DATA, 45, "Temp. Color"},
                        {65, PF_Param_GROUP_END, 75, ""}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.index);
        EXPECT_EQ(p[size_t(r.index)].def.param_type, r.type);
        EXPECT_EQ(p[size_t(r.index)].def.uu.id, r.id);
        EXPECT_EQ(p[size_t(r.index)].name, r.name);
    }
    const PF_FloatSliderDef& buoyancy = p[49].def.u.fs_d;
    EXPECT_FLOAT_EQ(buoyancy.valid_min, -20);
    EXPECT_FLOAT_EQ(buoyancy.valid_max, 20);
    EXPECT_FLOAT_EQ(buoyancy.dephault, 1.37f);
    EXPECT_EQ(buoyancy.precision, 3);
    EXPECT_FLOAT_EQ(buoyancy.curve_tolerance, 0.05f);
    EXPECT_EQ(p[3].def.flags, PF_ParamFlag_CANNOT_TIME_VARY | PF_ParamFlag_SUPERVISE);
    EXPECT_EQ(p[9].def.flags, PF_ParamFlag_COLLAPSE_TWIRLY | PF_ParamFlag_SUPERVISE);
    EXPECT_EQ(p[57].def.flags, PF_ParamFlag_COLLAPSE_TWIRLY);
    EXPECT_EQ(p[54].choices, "All Sources|Fire + Smoke|Stylized Fire|Color|Texture|Refracted Texture|Velocity");
    EXPECT_EQ(p[54].def.u.pd.num_choices, 7);
    EXPECT_EQ(p[55].def.u.pd.value, 3);
    EXPECT_EQ(p[40].def.u.pd.value, 2);
    EXPECT_EQ(p[1].def.ui_flags, PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL);
    EXPECT_EQ(p[1].def.ui_width, 200);
    EXPECT_EQ(p[1].def.ui_height, 100);
    EXPECT_EQ(p[62].def.ui_width, 210);
    EXPECT_EQ(reinterpret_cast<intptr_t>(p[64].def.u.arb_d.refconPV), 4);
    // Without a GPU the checkbox is off and disabled.
    EXPECT_EQ(p[2].def.u.bd.value, 0);
    EXPECT_FALSE(p[2].enabled());
}

TEST_F(HostFixture, EnableRulesFollowTheSourceLayersAndTheRenderMode) {
    open(scene());
    ASSERT_EQ(host().updateParamsUI(), PF_Err_NONE);
    const auto enabled = [&](const char* name) { return host().params()[size_t(index(name))].enabled(); };
    for (const char* name : {"Density Scale", "Temp. Scale", "Fuel Scale", "Div. Scale", "Velocity Scale",
                             "Obst. Velocity Scale", "Burn Rate", "Cooling", "Gravity", "Temp. Color", "Fuel Color"})
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : {"Vorticity", "Time Scale", "Domain Type", "Render Mode", "Motion Blur", "Alpha Mode"})
        EXPECT_TRUE(enabled(name)) << name;
    EXPECT_FALSE(enabled("Texture Layer"));
    EXPECT_FALSE(enabled("Max. Velocity"));
    EXPECT_TRUE(enabled("Alpha Falloff"));  // alpha mode "Opaque"

    host().params()[size_t(index("Fuel Layer"))].layer = 0;
    host().params()[size_t(index("Render Mode"))].def.u.pd.value = 7;  // Velocity
    ASSERT_EQ(host().updateParamsUI(), PF_Err_NONE);
    for (const char* name : {"Fuel Scale", "Burn Model", "Burn Rate", "Density Color", "Cooling", "Temp. Color", "Gravity"})
        EXPECT_TRUE(enabled(name)) << name;
    EXPECT_FALSE(enabled("Density Scale"));
    EXPECT_FALSE(enabled("Alpha Mode"));
    EXPECT_TRUE(enabled("Max. Velocity"));
}

TEST_F(HostFixture, SliderKeyframesInterpolateLinearlyAndPopupsHold) {
    open(scene("", R"("Vorticity": { "keys": [[0.0, 0], [1.0, 40]] }, "Render Mode": { "keys": [[0.0, "Color"], [0.5, "Velocity"]] })"));
    const int vorticity = index("Vorticity"), mode = index("Render Mode");
    EXPECT_EQ(host().valueText(vorticity, 0.0), "0");
    EXPECT_EQ(host().valueText(vorticity, 0.25), "10");
    EXPECT_EQ(host().valueText(vorticity, 2.0), "40");
    EXPECT_EQ(host().valueText(mode, 0.49), "Color");
    EXPECT_EQ(host().valueText(mode, 0.5), "Velocity");
}

TEST_F(HostFixture, RampKeyframesAreInterpolatedByThePlugin) {
    open(scene("", R"("Density Color": { "keys": [[0.0, [[0.0, [0, 0, 0, 1]], [1.0, [1, 1, 1, 1]]]],
                                                  [1.0, [[0.0, [1, 0, 0, 1]], [0.5, [0, 1, 0, 1]]]]] })"));
    std::vector<uint8_t> flat;
    ASSERT_TRUE(host().flatValueAt(index("Density Color"), 0.5, flat));
    ASSERT_EQ(u32(flat, 0), 3u);  // positions 0, 0.5 and 1 from both keyframes
    float stop[5];
    std::memcpy(stop, flat.data() + 4 + 20, 20);  // the stop at 0.5
    EXPECT_FLOAT_EQ(stop[4], 0.5f);
    // Halfway between grey 0.5 (first ramp at 0.5) and green (second ramp at 0.5).
    EXPECT_FLOAT_EQ(stop[0], 0.25f);
    EXPECT_FLOAT_EQ(stop[1], 0.75f);
    EXPECT_FLOAT_EQ(stop[2], 0.25f);
}

TEST_F(HostFixture, SequenceDataFlattensToVersionPathAndMarkAndRestores) {
    open(scene());
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    std::vector<uint8_t> flat;
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    ASSERT_GE(flat.size(), 9u);
    EXPECT_EQ(u32(flat, 0), 0u);
    const uint32_t length = u32(flat, 4);
    ASSERT_EQ(flat.size(), 9u + length);
    const std::string path(flat.begin() + 8, flat.begin() + 8 + length);
    EXPECT_NE(path.find("/skv"), std::string::npos) << "a new instance starts with a temporary cache: " << path;
    EXPECT_EQ(flat.back(), 1);  // a new simulation is outdated
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);

    // A user folder and a cleared mark survive the round trip.
    test::TempDir cache;
    ASSERT_EQ(host().sequenceResetup(flatRecord(cache.path(), 0, uint32_t(cache.path().size()))), PF_Err_NONE);
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    EXPECT_EQ(std::string(flat.begin() + 8, flat.end() - 1), cache.path());
    EXPECT_EQ(flat.back(), 0);
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);

    // Without the mark byte the mark stays as constructed (set).
    ASSERT_EQ(host().sequenceResetup(flatRecord(cache.path(), -1, uint32_t(cache.path().size()))), PF_Err_NONE);
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    EXPECT_EQ(flat.back(), 1);
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);

    // A length beyond the record is ignored entirely: no cache folder, a 9-byte record.
    ASSERT_EQ(host().sequenceResetup(flatRecord(cache.path(), 0, 1000)), PF_Err_NONE);
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    EXPECT_EQ(flat.size(), 9u);
    EXPECT_EQ(u32(flat, 4), 0u);
    // So is a record shorter than its header.
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);
    ASSERT_EQ(host().sequenceResetup({0, 0, 0}), PF_Err_NONE);
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    EXPECT_EQ(flat.size(), 9u);
}

TEST_F(HostFixture, AMissingSavedCacheFolderBecomesATemporaryOneWithoutAQuestion) {
    open(scene());
    ASSERT_EQ(host().sequenceResetup(flatRecord("/nonexistent/skyvane/cache", 1, 26)), PF_Err_NONE);
    std::vector<uint8_t> flat;
    ASSERT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
    const std::string path(flat.begin() + 8, flat.end() - 1);
    EXPECT_NE(path.find("/skv"), std::string::npos) << path;
    EXPECT_TRUE(dialogs_->shown().empty());
}

TEST_F(HostFixture, FlattenWithoutAnInstanceIsAnError) {
    open(scene());
    std::vector<uint8_t> flat;
    EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_INTERNAL_STRUCT_DAMAGED);
}

TEST_F(HostFixture, TheOutdatedMarkFollowsTheParameterThatChanged) {
    open(scene());
    test::TempDir cache;
    const auto markAfter = [&](const char* name) {
        EXPECT_EQ(host().sequenceResetup(flatRecord(cache.path(), 0, uint32_t(cache.path().size()))), PF_Err_NONE);
        EXPECT_EQ(host().userChangedParam(index(name)), PF_Err_NONE);
        std::vector<uint8_t> flat;
        EXPECT_EQ(host().sequenceFlatten(flat), PF_Err_NONE);
        EXPECT_EQ(host().sequenceSetdown(), PF_Err_NONE);
        return flat.empty() ? -1 : int(flat.back());
    };
    EXPECT_EQ(markAfter("Motion Blur"), 1);
    EXPECT_EQ(markAfter("Vorticity"), 1);
    EXPECT_EQ(markAfter("Fuel Layer"), 1);
    EXPECT_EQ(markAfter("RAM Cache Size (in MB)"), 0);
    EXPECT_EQ(markAfter("Temp. Color"), 0);
    EXPECT_EQ(markAfter("Render Mode"), 0);
}

TEST_F(HostFixture, RenderModeNoticesNameTheMissingSources) {
    open(scene());
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    struct Case {
        int mode;
        const char* fragment;  // "" when no notice is due
    };
    const Case cases[] = {{1, "dens+temp+fuel render mode is enabled"},
                          {2, "dens+fuel render mode is enabled"},
                          {3, "dens*temp+fuel render mode is enabled"},
                          {4, "Color render mode is enabled"},
                          {5, ""},
                          {7, ""}};
    for (const Case& c : cases) {
        host().params()[size_t(index("Render Mode"))].def.u.pd.value = c.mode;
        const size_t before = dialogs_->shown().size();
        ASSERT_EQ(host().userChangedParam(index("Render Mode")), PF_Err_NONE);
        const auto shown = dialogs_->shown();
        if (*c.fragment) {
            ASSERT_EQ(shown.size(), before + 1) << c.mode;
            EXPECT_NE(shown.back().find(std::string("message\tSkyvane Notice\t") + c.fragment), std::string::npos);
            EXPECT_NE(shown.back().find("\\nOutput will be empty."), std::string::npos);
        } else {
            EXPECT_EQ(shown.size(), before) << c.mode;
        }
    }
    // With a fuel layer, every source mode passes.
    host().params()[size_t(index("Fuel Layer"))].layer = 0;
    const size_t before = dialogs_->shown().size();
    for (int mode : {1, 2, 3}) {
        host().params()[size_t(index("Render Mode"))].def.u.pd.value = mode;
        ASSERT_EQ(host().userChangedParam(index("Alpha Mode")), PF_Err_NONE);
    }
    EXPECT_EQ(dialogs_->shown().size(), before);
}

// ---- Colour ramps through the arbitrary-data callbacks ----

class RampCallbacks : public HostFixture {
protected:
    PF_Err callback(PF_FunctionSelector selector, const std::function<void(PF_ArbParamsExtra&)>& fill, int param = 63) {
        PF_ArbParamsExtra extra{};
        extra.refconPV = host().params()[size_t(param)].def.u.arb_d.refconPV;
        extra.param_index = param;
        extra.which_function = selector;
        fill(extra);
        return host().rawCommand(PF_Cmd_ARBITRARY_CALLBACK, &extra);
    }
    PF_ArbitraryH unflatten(const std::vector<uint8_t>& flat, PF_Err* error = nullptr) {
        PF_ArbitraryH out = nullptr;
        const PF_Err err = callback(PF_Arbitrary_UNFLATTEN_FUNC, [&](PF_ArbParamsExtra& e) {
            e.u.unflatten_func_params = {A_u_long(flat.size()), flat.data(), &out};
        });
        if (error) *error = err;
        return out;
    }
    std::vector<uint8_t> flatten(PF_ArbitraryH h) {
        A_u_long size = 0;
        callback(PF_Arbitrary_FLAT_SIZE_FUNC, [&](PF_ArbParamsExtra& e) { e.u.flat_size_func_params = {h, &size}; });
        std::vector<uint8_t> flat(size);
        EXPECT_EQ(callback(PF_Arbitrary_FLATTEN_FUNC, [&](PF_ArbParamsExtra& e) {
                      e.u.flatten_func_params = {h, size, flat.data()};
                  }),
                  PF_Err_NONE);
        return flat;
    }
    void dispose(PF_ArbitraryH h) {
        callback(PF_Arbitrary_DISPOSE_FUNC, [&](PF_ArbParamsExtra& e) { e.u.dispose_func_params.arbH = h; });
    }
    static std::vector<uint8_t> stops(std::initializer_list<std::array<float, 5>> list) {
        std::vector<uint8_t> flat(4 + 20 * list.size());
        const uint32_t n = uint32_t(list.size());
        std::memcpy(flat.data(), &n, 4);
        size_t at = 4;
        for (const auto& s : list) {
            std::memcpy(flat.data() + at, s.data(), 20);
            at += 20;
        }
        return flat;
    }
};

TEST_F(RampCallbacks, TheDefaultFireRampFlattensTo564Bytes) {
    open(scene());
    std::vector<uint8_t> flat;
    ASSERT_TRUE(host().flatValue(63, flat));
    EXPECT_EQ(flat.size(), 564u);
    EXPECT_EQ(u32(flat, 0), 28u);
    ASSERT_TRUE(host().flatValue(62, flat));
    EXPECT_EQ(flat, stops({{0, 0, 0, 0, 0}, {1, 1, 1, 1, 1}}));
}

TEST_F(RampCallbacks, UnflattenSortsAndDeduplicatesAndRejectsBadSizes) {
    open(scene());
    PF_Err err = PF_Err_NONE;
    PF_ArbitraryH h = unflatten(stops({{1, 0, 0, 1, 0.75f}, {0, 1, 0, 1, 0.25f}, {0, 0, 1, 1, 0.75f}}), &err);
    ASSERT_EQ(err, PF_Err_NONE);
    EXPECT_EQ(flatten(h), stops({{0, 1, 0, 1, 0.25f}, {0, 0, 1, 1, 0.75f}}));  // the last colour read wins
    dispose(h);

    std::vector<uint8_t> short3 = {1, 0, 0};
    EXPECT_EQ(unflatten(short3, &err), nullptr);
    EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED);
    std::vector<uint8_t> lying = stops({{1, 1, 1, 1, 0.5f}});
    lying[0] = 2;  // claims two stops, holds one
    EXPECT_EQ(unflatten(lying, &err), nullptr);
    EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED);
    std::vector<uint8_t> overflow = {0xFF, 0xFF, 0xFF, 0xFF};  // 4 + 20·n overflows 32 bits
    EXPECT_EQ(unflatten(overflow, &err), nullptr);
    EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED);
    std::vector<uint8_t> trailing = stops({{1, 1, 1, 1, 0.5f}});
    trailing.push_back(0);
    EXPECT_EQ(unflatten(trailing, &err), nullptr);
    EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED);
}

TEST_F(RampCallbacks, FlattenIntoABufferOfTheWrongSizeFails) {
    open(scene());
    PF_ArbitraryH h = unflatten(stops({{1, 1, 1, 1, 0.5f}}));
    std::vector<uint8_t> buffer(30);
    EXPECT_EQ(callback(PF_Arbitrary_FLATTEN_FUNC, [&](PF_ArbParamsExtra& e) {
                  e.u.flatten_func_params = {h, A_u_long(buffer.size()), buffer.data()};
              }),
              PF_Err_INTERNAL_STRUCT_DAMAGED);
    dispose(h);
}

TEST_F(RampCallbacks, InterpolatingAgainstAnEmptyRampFadesToTransparentBlack) {
    open(scene());
    PF_ArbitraryH a = unflatten(stops({{1, 1, 1, 1, 0}, {1, 0, 0, 1, 1}}));
    PF_ArbitraryH empty = unflatten(stops({}));
    PF_ArbitraryH mixed = nullptr;
    ASSERT_EQ(callback(PF_Arbitrary_INTERP_FUNC, [&](PF_ArbParamsExtra& e) {
                  e.u.interp_func_params = {a, empty, 0.25, &mixed};
              }),
              PF_Err_NONE);
    ASSERT_NE(mixed, nullptr);
    EXPECT_EQ(flatten(mixed), stops({{0.75f, 0.75f, 0.75f, 0.75f, 0}, {0.75f, 0, 0, 0.75f, 1}}));
    PF_ArbitraryH none = nullptr;
    ASSERT_EQ(callback(PF_Arbitrary_INTERP_FUNC, [&](PF_ArbParamsExtra& e) {
                  e.u.interp_func_params = {a, nullptr, 0.5, &none};
              }),
              PF_Err_NONE);
    EXPECT_EQ(none, nullptr);
    for (PF_ArbitraryH h : {a, empty, mixed}) dispose(h);
}

TEST_F(RampCallbacks, CompareCopyAndForeignRefcons) {
    open(scene());
    PF_ArbitraryH a = unflatten(stops({{1, 1, 1, 1, 0.5f}}));
    PF_ArbitraryH copy = nullptr;
    ASSERT_EQ(callback(PF_Arbitrary_COPY_FUNC, [&](PF_ArbParamsExtra& e) { e.u.copy_func_params = {a, &copy}; }),
              PF_Err_NONE);
    const auto compare = [&](PF_ArbitraryH x, PF_ArbitraryH y) {
        PF_ArbCompareResult result = -1;
        callback(PF_Arbitrary_COMPARE_FUNC, [&](PF_ArbParamsExtra& e) { e.u.compare_func_params = {x, y, &result}; });
        return result;
    };
    EXPECT_EQ(compare(a, copy), PF_ArbCompare_EQUAL);
    EXPECT_EQ(compare(a, nullptr), PF_ArbCompare_NOT_EQUAL);
    EXPECT_EQ(compare(nullptr, nullptr), PF_ArbCompare_EQUAL);
    PF_ArbitraryH other = unflatten(stops({{1, 1, 1, 0.5f, 0.5f}}));
    EXPECT_EQ(compare(a, other), PF_ArbCompare_NOT_EQUAL);
    // The controls without data ignore every callback.
    PF_ArbitraryH ignored = nullptr;
    EXPECT_EQ(callback(PF_Arbitrary_NEW_FUNC, [&](PF_ArbParamsExtra& e) { e.u.new_func_params.arbPH = &ignored; }, 1),
              PF_Err_NONE);
    EXPECT_EQ(ignored, nullptr);
    for (PF_ArbitraryH h : {a, copy, other}) dispose(h);
}

TEST_F(RampCallbacks, UnflattenFailingToAllocateReportsOutOfMemory) {
    open(scene());
    host().heap().failAllocations(1);
    PF_Err err = PF_Err_NONE;
    EXPECT_EQ(unflatten(stops({{1, 1, 1, 1, 0.5f}}), &err), nullptr);
    EXPECT_EQ(err, PF_Err_OUT_OF_MEMORY);
}

TEST_F(RampCallbacks, NoHandleIsLeftBehind) {
    open(scene(R"("fuel": { "shape": "disc", "center": [32, 30], "radius": 4 })",
               R"("Fuel Layer": "fuel", "Density Color": { "keys": [[0, [[0, [0,0,0,0]]]], [1, [[1, [1,1,1,1]]]]] })"));
    ASSERT_EQ(host().sequenceSetup(), PF_Err_NONE);
    Image image;
    ASSERT_EQ(host().renderFrame(3, image), PF_Err_NONE);
    EXPECT_EQ(host().outstandingCheckouts(), 0);
    ASSERT_EQ(host().sequenceSetdown(), PF_Err_NONE);
    // What remains are the parameters' own values and defaults.
    size_t owned = 0;
    for (const HostParam& p : host().params())
        if (p.def.param_type == PF_Param_ARBITRARY_DATA)
            owned += (p.def.u.arb_d.value ? 1 : 0) + (p.def.u.arb_d.dephault ? 1 : 0) + p.rampKeys.size();
    EXPECT_EQ(host().heap().liveCount(), owned);
}

}  // namespace
}  // namespace skv::app
