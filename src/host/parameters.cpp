#include "host/parameters.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "gpu/cuda_state.h"
#include "host/arbitrary_data.h"
#include "host/command_handlers.h"
#include "host/messages.h"
#include "host/plugin_context.h"
#include "host/string_table.h"
#include "host/suites.h"
#include "platform/log.h"
#include "render/color_ramp.h"

namespace skv {
namespace {

constexpr PF_ParamFlags kFixed = PF_ParamFlag_CANNOT_TIME_VARY | PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags kTwirl = PF_ParamFlag_COLLAPSE_TWIRLY;
constexpr PF_ParamFlags kSup = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags kTwirlSup = PF_ParamFlag_COLLAPSE_TWIRLY | PF_ParamFlag_SUPERVISE;

// index, type, ID, name, min, max, default, precision, flags, choices/label, UI size, refcon
// clang-format off
constexpr ParamSpec kTable[] = {
    {1, PF_Param_ARBITRARY_DATA, 2, "Simulation Control", 0, 0, 0, 0, kFixed, nullptr, 200, 100, kUISimulationControl},
    {2, PF_Param_CHECKBOX, 54, "GPU support", 0, 0, 1, 0, kFixed, "GPU support", 0, 0, {}},
    {3, PF_Param_FLOAT_SLIDER, 3, "Resolution Scale", 0.5f, 6, 1, 1, kFixed, nullptr, 0, 0, {}},
    {4, PF_Param_FLOAT_SLIDER, 4, "RAM Cache Size (in MB)", 0, 8000, 250, 0, kFixed, nullptr, 0, 0, {}},
    {5, PF_Param_ARBITRARY_DATA, 49, "Disk Cache", 0, 0, 0, 0, kFixed, nullptr, 200, 42, kUIDiskCache},
    {6, PF_Param_GROUP_START, 5, "Source Control", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {7, PF_Param_GROUP_START, 55, "Density", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {8, PF_Param_LAYER, 6, "Density Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {9, PF_Param_FLOAT_SLIDER, 7, "Density Scale", 0, 10000, 100, 0, kTwirlSup, nullptr, 0, 0, {}},
    {10, PF_Param_GROUP_END, 56, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {11, PF_Param_GROUP_START, 57, "Color", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {12, PF_Param_LAYER, 51, "Color Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {13, PF_Param_GROUP_END, 58, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {14, PF_Param_GROUP_START, 59, "Temperature", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {15, PF_Param_LAYER, 9, "Temperature Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {16, PF_Param_FLOAT_SLIDER, 10, "Temp. Scale", -273, 2000, 100, 1, kTwirlSup, nullptr, 0, 0, {}},
    {17, PF_Param_GROUP_END, 60, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {18, PF_Param_GROUP_START, 61, "Fuel", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {19, PF_Param_LAYER, 12, "Fuel Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {20, PF_Param_FLOAT_SLIDER, 13, "Fuel Scale", 0, 1000, 100, 0, kTwirlSup, nullptr, 0, 0, {}},
    {21, PF_Param_GROUP_END, 62, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {22, PF_Param_GROUP_START, 63, "Divergence", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {23, PF_Param_LAYER, 15, "Divergence Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {24, PF_Param_FLOAT_SLIDER, 16, "Div. Scale", 0, 10, 1, 2, kTwirlSup, nullptr, 0, 0, {}},
    {25, PF_Param_GROUP_END, 64, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {26, PF_Param_GROUP_START, 65, "Velocity", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {27, PF_Param_LAYER, 17, "Velocity Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {28, PF_Param_FLOAT_SLIDER, 18, "Velocity Scale", 0.01f, 100, 1, 2, kTwirlSup, nullptr, 0, 0, {}},
    {29, PF_Param_CHECKBOX, 19, "Differential Velocity", 0, 0, 1, 0, kSup, "Differential Velocity", 0, 0, {}},
    {30, PF_Param_GROUP_END, 66, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {31, PF_Param_GROUP_START, 67, "Obstacles", 0, 0, 0, 0, kTwirl, nullptr, 0, 0, {}},
    {32, PF_Param_LAYER, 20, "Obstacle Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {33, PF_Param_CHECKBOX, 48, "Obstacle Layer has Velocity", 0, 0, 0, 0, kSup, "Obstacle Layer has Velocity", 0, 0, {}},
    {34, PF_Param_FLOAT_SLIDER, 50, "Obst. Velocity Scale", 0.01f, 1000, 10, 2, kTwirlSup, nullptr, 0, 0, {}},
    {35, PF_Param_GROUP_END, 68, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {36, PF_Param_CHECKBOX, 25, "Use Texture", 0, 0, 0, 0, kFixed, "Use Texture", 0, 0, {}},
    {37, PF_Param_GROUP_END, 21, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {38, PF_Param_GROUP_START, 22, "Simulation Parameters", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {39, PF_Param_POPUP, 73, "Domain Type", 0, 0, 1, 0, kSup, "open|half-open|closed", 0, 0, {}},
    {40, PF_Param_POPUP, 24, "Burn Model", 0, 0, 2, 0, kSup, "oxidized|un-oxidized", 0, 0, {}},
    {41, PF_Param_FLOAT_SLIDER, 26, "Time Scale", 0.01f, 100, 1, 2, kSup, nullptr, 0, 0, {}},
    {42, PF_Param_FLOAT_SLIDER, 27, "Density Dissipation", 0, 100, 10, 0, kTwirlSup, nullptr, 0, 0, {}},
    {43, PF_Param_FLOAT_SLIDER, 28, "Burn Rate", 0, 1000, 50, 0, kTwirlSup, nullptr, 0, 0, {}},
    {44, PF_Param_FLOAT_SLIDER, 29, "Expansion", -10, 10, 2, 2, kTwirlSup, nullptr, 0, 0, {}},
    {45, PF_Param_FLOAT_SLIDER, 30, "Heat Creation", 0, 3000, 1000, 1, kTwirlSup, nullptr, 0, 0, {}},
    {46, PF_Param_FLOAT_SLIDER, 31, "Soot Creation", 0, 200, 100, 0, kTwirlSup, nullptr, 0, 0, {}},
    {47, PF_Param_FLOAT_SLIDER, 32, "Cooling", 0, 10000, 1000, 2, kTwirlSup, nullptr, 0, 0, {}},
    {48, PF_Param_FLOAT_SLIDER, 33, "Gravity", -100, 100, 9.7f, 3, kTwirlSup, nullptr, 0, 0, {}},
    {49, PF_Param_FLOAT_SLIDER, 34, "Buoyancy", -20, 20, 1.37f, 3, kTwirlSup, nullptr, 0, 0, {}},
    {50, PF_Param_FLOAT_SLIDER, 35, "Heat Diffusion", 0, 500, 20, 1, kTwirlSup, nullptr, 0, 0, {}},
    {51, PF_Param_FLOAT_SLIDER, 53, "Vorticity", 0, 100, 0, 0, kSup, nullptr, 0, 0, {}},
    {52, PF_Param_GROUP_END, 36, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {53, PF_Param_GROUP_START, 37, "Rendering Parameters", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
    {54, PF_Param_POPUP, 76, "Render Mode", 0, 0, 1, 0, kSup, "All Sources|Fire + Smoke|Stylized Fire|Color|Texture|Refracted Texture|Velocity", 0, 0, {}},
    {55, PF_Param_POPUP, 77, "Alpha Mode", 0, 0, 3, 0, kSup, "Source|Maximum|Opaque", 0, 0, {}},
    {56, PF_Param_LAYER, 43, "Texture Layer", 0, 0, 0, 0, kSup, nullptr, 0, 0, {}},
    {57, PF_Param_FLOAT_SLIDER, 70, "Motion Blur", 0, 3, 0, 2, kTwirl, nullptr, 0, 0, {}},
    {58, PF_Param_FLOAT_SLIDER, 40, "Max. Velocity", 0.01f, 200, 20, 2, kTwirl, nullptr, 0, 0, {}},
    {59, PF_Param_FLOAT_SLIDER, 41, "Refraction Scale", -1, 1, 0.25f, 2, kTwirl, nullptr, 0, 0, {}},
    {60, PF_Param_FLOAT_SLIDER, 42, "Refraction Smoothness", 1, 10, 3, 2, kTwirl, nullptr, 0, 0, {}},
    {61, PF_Param_FLOAT_SLIDER, 69, "Alpha Falloff", 0, 1, 0, 3, kTwirl, nullptr, 0, 0, {}},
    {62, PF_Param_ARBITRARY_DATA, 44, "Density Color", 0, 0, 0, 0, 0, nullptr, 210, 42, kUIDensityColor},
    {63, PF_Param_ARBITRARY_DATA, 45, "Temp. Color", 0, 0, 0, 0, 0, nullptr, 210, 42, kUITemperatureColor},
    {64, PF_Param_ARBITRARY_DATA, 74, "Fuel Color", 0, 0, 0, 0, 0, nullptr, 210, 42, kUIFuelColor},
    {65, PF_Param_GROUP_END, 75, "", 0, 0, 0, 0, 0, nullptr, 0, 0, {}},
};
// clang-format on
static_assert(std::size(kTable) == kParamCount - 1);

constexpr bool tableIsInOrder() {
    for (size_t i = 0; i < std::size(kTable); ++i)
        if (kTable[i].index != PF_ParamIndex(i + 1)) return false;
    return true;
}
static_assert(tableIsInOrder(), "parameter rows must follow their indices");

short countChoices(const char* choices) {
    short n = 1;
    for (const char* c = choices; *c; ++c)
        if (*c == '|') ++n;
    return n;
}

ColorRamp defaultRampFor(CustomUIKind kind) {
    switch (kind) {
        case kUIDensityColor:
            return ColorRamp::densityDefault();
        case kUITemperatureColor:
            return ColorRamp::temperatureDefault();
        default:
            return ColorRamp::fuelDefault();
    }
}

// Builds the definition of one row; returns false when a default ramp cannot be allocated.
bool buildDefinition(const PF_InData* in, const ParamSpec& spec, PF_ParamDef& def) {
    std::memset(&def, 0, sizeof def);
    def.param_type = spec.type;
    def.uu.id = spec.id;
    def.flags = spec.flags;
    std::strncpy(def.name, spec.name, PF_MAX_EFFECT_PARAM_NAME_LEN);
    switch (spec.type) {
        case PF_Param_FLOAT_SLIDER:
            def.u.fs_d.valid_min = def.u.fs_d.slider_min = spec.minimum;
            def.u.fs_d.valid_max = def.u.fs_d.slider_max = spec.maximum;
            def.u.fs_d.value = def.u.fs_d.dephault = spec.dephault;
            def.u.fs_d.precision = spec.precision;
            def.u.fs_d.display_flags = 0;
            def.u.fs_d.curve_tolerance = 0.05f;
            break;
        case PF_Param_CHECKBOX:
            def.u.bd.value = def.u.bd.dephault = A_long(spec.dephault);
            def.u.bd.nameptr = spec.choices;
            if (spec.index == kParamGpuSupport) {
                const bool gpu = CudaState::instance().available();
                def.u.bd.value = def.u.bd.dephault = gpu ? 1 : 0;
                if (!gpu) def.ui_flags |= PF_PUI_DISABLED;
            }
            break;
        case PF_Param_POPUP:
            def.u.pd.value = A_long(spec.dephault);
            def.u.pd.dephault = A_short(spec.dephault);
            def.u.pd.num_choices = countChoices(spec.choices);
            def.u.pd.namesptr = spec.choices;
            break;
        case PF_Param_LAYER:
            def.u.ld.dephault = PF_LayerDefault_NONE;
            break;
        case PF_Param_ARBITRARY_DATA:
            def.ui_flags = PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL;
            def.ui_width = spec.uiWidth;
            def.ui_height = spec.uiHeight;
            def.u.arb_d.id = A_short(spec.id);
            def.u.arb_d.refconPV = reinterpret_cast<void*>(spec.refcon);
            if (spec.refcon != kUISimulationControl && spec.refcon != kUIDiskCache) {
                def.u.arb_d.dephault = newRampHandle(in, defaultRampFor(spec.refcon));
                if (!def.u.arb_d.dephault) return false;
            }
            break;
        default:
            break;
    }
    return true;
}

}  // namespace

const ParamSpec* parameterTable() {
    return kTable;
}
const ParamSpec& parameterSpec(PF_ParamIndex index) {
    return kTable[index - 1];
}

// ---- Checking parameters out ----

CheckedOutParam::CheckedOutParam(const PF_InData* in, PF_ParamIndex index, A_long time)
    : in_(in), error_(PF_Err_NONE), checkedOut_(false) {
    if (!in || !in->inter.checkout_param) {
        error_ = PF_Err_BAD_CALLBACK_PARAM;
        return;
    }
    error_ =
        in->inter.checkout_param(in->effect_ref, index, time, in->time_step, in->time_scale, &def_);
    checkedOut_ = error_ == PF_Err_NONE;
}

CheckedOutParam::~CheckedOutParam() {
    checkIn();
}

PF_Err CheckedOutParam::checkIn() {
    if (!checkedOut_) return PF_Err_NONE;
    checkedOut_ = false;
    return in_->inter.checkin_param ? in_->inter.checkin_param(in_->effect_ref, &def_)
                                    : PF_Err_BAD_CALLBACK_PARAM;
}

// ---- Set-up ----

PF_Err setupParameters(const CommandArgs& a) {
    PF_InData* in = a.in;
    if (!in || !in->inter.add_param) throw PF_Err(PF_Err_BAD_CALLBACK_PARAM);
    for (const ParamSpec& spec : kTable) {
        PF_ParamDef def;
        if (!buildDefinition(in, spec, def)) return PF_Err_OUT_OF_MEMORY;
        if (const PF_Err err = in->inter.add_param(in->effect_ref, -1, &def)) return err;
    }
    if (in->inter.register_ui) {
        PF_CustomUIInfo info{};
        info.events = PF_CustomEFlag_EFFECT;
        if (const PF_Err err = in->inter.register_ui(in->effect_ref, &info)) return err;
    }
    a.out->num_params = kParamCount;
    a.out->out_flags |= PF_OutFlag_RESERVED6;
    return PF_Err_NONE;
}

// ---- Enable rules ----

namespace {

struct EnableRule {
    PF_ParamIndex param;
    std::initializer_list<PF_ParamIndex> layers;  // enabled when any of these has a layer
};

const EnableRule kEnableRules[] = {
    {kParamDensityScale, {kParamDensityLayer}},
    {kParamTemperatureScale, {kParamTemperatureLayer}},
    {kParamFuelScale, {kParamFuelLayer}},
    {kParamDivergenceScale, {kParamDivergenceLayer}},
    {kParamVelocityScale, {kParamVelocityLayer}},
    {kParamDifferentialVelocity, {kParamVelocityLayer}},
    {kParamObstacleHasVelocity, {kParamObstacleLayer}},
    {kParamObstacleVelocityScale, {kParamObstacleLayer}},
    {kParamBurnModel, {kParamFuelLayer}},
    {kParamBurnRate, {kParamFuelLayer}},
    {kParamExpansion, {kParamFuelLayer}},
    {kParamHeatCreation, {kParamFuelLayer}},
    {kParamSootCreation, {kParamFuelLayer}},
    {kParamFuelColor, {kParamFuelLayer}},
    {kParamDensityDissipation, {kParamDensityLayer, kParamFuelLayer}},
    {kParamGravity, {kParamDensityLayer, kParamFuelLayer}},
    {kParamDensityColor, {kParamDensityLayer, kParamFuelLayer}},
    {kParamCooling, {kParamTemperatureLayer, kParamFuelLayer}},
    {kParamBuoyancy, {kParamTemperatureLayer, kParamFuelLayer}},
    {kParamHeatDiffusion, {kParamTemperatureLayer, kParamFuelLayer}},
    {kParamTemperatureColor, {kParamTemperatureLayer, kParamFuelLayer}},
};

constexpr PF_ParamIndex kSourceLayers[] = {
    kParamDensityLayer,    kParamColorLayer,    kParamTemperatureLayer, kParamFuelLayer,
    kParamDivergenceLayer, kParamVelocityLayer, kParamObstacleLayer};

// "Render Mode" popup values (1-based).
enum RenderModeChoice {
    kChoiceAllSources = 1,
    kChoiceFireSmoke,
    kChoiceStylizedFire,
    kChoiceColor,
    kChoiceTexture,
    kChoiceRefracted,
    kChoiceVelocity
};

void setEnabled(const CommandArgs& a, const PF_ParamUtilsSuite3& utils, PF_ParamIndex index,
                bool enabled) {
    PF_ParamDef def = *a.params[index];
    if (enabled)
        def.ui_flags &= ~PF_PUI_DISABLED;
    else
        def.ui_flags |= PF_PUI_DISABLED;
    utils.PF_UpdateParamUI(a.in->effect_ref, index, &def);
}

}  // namespace

bool sourceLayerPresent(const PF_InData* in, PF_ParamIndex layer) {
    CheckedOutParam p(in, layer, in->current_time);
    return p.hasLayer();
}

PF_Err updateParameterUI(const CommandArgs& a) {
    // Failures here never fail the command: the panel just keeps its previous state.
    try {
        if (!a.params) return PF_Err_NONE;
        ScopedSuite<PF_ParamUtilsSuite3> utils(a.in, kPFParamUtilsSuite,
                                               kPFParamUtilsSuiteVersion3);
        bool present[kParamCount] = {};
        for (PF_ParamIndex layer : kSourceLayers)
            present[layer] = sourceLayerPresent(a.in, layer);
        for (const EnableRule& rule : kEnableRules) {
            bool enabled = false;
            for (PF_ParamIndex layer : rule.layers)
                enabled = enabled || present[layer];
            setEnabled(a, utils.get(), rule.param, enabled);
        }
        const A_long mode = a.params[kParamRenderMode]->u.pd.value;
        const A_long alpha = a.params[kParamAlphaMode]->u.pd.value;
        setEnabled(a, utils.get(), kParamAlphaMode,
                   mode >= kChoiceAllSources && mode <= kChoiceStylizedFire);
        setEnabled(a, utils.get(), kParamTextureLayer,
                   mode == kChoiceTexture || mode == kChoiceRefracted);
        setEnabled(a, utils.get(), kParamRefractionScale, mode == kChoiceRefracted);
        setEnabled(a, utils.get(), kParamRefractionSmoothness, mode == kChoiceRefracted);
        setEnabled(a, utils.get(), kParamMaxVelocity, mode == kChoiceVelocity);
        setEnabled(a, utils.get(), kParamAlphaFalloff, alpha == 3);
    } catch (...) {
        SKV_LOG(Warning, "Failed to update the parameter UI");
    }
    return PF_Err_NONE;
}

// ---- Mapping to the engine ----

PF_Err readSimulationParameters(A_long time, const PF_InData* in, SimulationParameters& record,
                                InputScales& scales) {
    const auto value = [&](PF_ParamIndex index, double& out) -> PF_Err {
        CheckedOutParam p(in, index, time);
        if (p.error()) return p.error();
        const PF_ParamDef& d = p.def();
        switch (d.param_type) {
            case PF_Param_FLOAT_SLIDER:
                out = d.u.fs_d.value;
                break;
            case PF_Param_CHECKBOX:
                out = d.u.bd.value;
                break;
            case PF_Param_POPUP:
                out = d.u.pd.value;
                break;
            default:
                out = 0;
                break;
        }
        return p.checkIn();
    };
    const auto asFloat = [](double v) { return double(float(v)); };
    double v = 0, resolutionScale = 1;
#define SKV_READ(index) \
    if (const PF_Err err = value(index, v)) return err;
    SKV_READ(kParamDifferentialVelocity) record.differentialVelocity = v != 0;
    SKV_READ(kParamDensityDissipation) record.densityDissipation = asFloat(v * 0.01);
    SKV_READ(kParamBurnRate) record.burnRate = asFloat(v * 0.01);
    SKV_READ(kParamExpansion) record.expansion = asFloat(v);
    SKV_READ(kParamHeatCreation) record.heatCreation = asFloat(v);
    SKV_READ(kParamSootCreation) record.sootCreation = asFloat(v * 0.01);
    SKV_READ(kParamCooling) record.cooling = asFloat(v);
    SKV_READ(kParamGravity) record.gravity = asFloat(v);
    SKV_READ(kParamBuoyancy) record.buoyancy = asFloat(v) * -0.02;
    SKV_READ(kParamHeatDiffusion) record.heatDiffusion = asFloat(v);
    SKV_READ(kParamVorticity) record.vorticity = asFloat(v * 0.025);
    SKV_READ(kParamDomainType)
    if (v == 1)
        record.domainOpenness = 2.0;
    else if (v == 2)
        record.domainOpenness = 1.0;
    else if (v == 3)
        record.domainOpenness = 0.0;
    SKV_READ(kParamBurnModel)
    if (v == 1)
        record.burnModel = 0;
    else if (v == 2)
        record.burnModel = 1;
    SKV_READ(kParamResolutionScale) resolutionScale = v;
    SKV_READ(kParamTimeScale) scales.timeScale = asFloat(v);
    SKV_READ(kParamVelocityScale) scales.velocity = v / resolutionScale;
    SKV_READ(kParamObstacleVelocityScale) scales.obstacleVelocity = v / resolutionScale;
    SKV_READ(kParamDensityScale) scales.density = v * 0.01;
    SKV_READ(kParamTemperatureScale) scales.temperature = v;
    SKV_READ(kParamFuelScale) scales.fuel = v * 0.01;
    SKV_READ(kParamDivergenceScale) scales.divergence = v;
    SKV_READ(kParamObstacleHasVelocity) scales.obstacleHasVelocity = v != 0;
#undef SKV_READ
    return PF_Err_NONE;
}

}  // namespace skv

// ---- Reacting to a change ----

namespace skv {
namespace {

// Tells the user when the render mode needs a source layer that is not set.
void renderModeNotice(const CommandArgs& a) {
    const auto has = [&](PF_ParamIndex layer) { return sourceLayerPresent(a.in, layer); };
    const A_long mode = a.params ? a.params[kParamRenderMode]->u.pd.value : 0;
    StringId notice = StringId(0);
    switch (mode) {
        case kChoiceAllSources:
            if (!has(kParamDensityLayer) && !has(kParamTemperatureLayer) && !has(kParamFuelLayer))
                notice = kStrNoticeAllSourcesMode;
            break;
        case kChoiceFireSmoke:
            if (!has(kParamDensityLayer) && !has(kParamFuelLayer)) notice = kStrNoticeFireSmokeMode;
            break;
        case kChoiceStylizedFire:
            if (!has(kParamFuelLayer) && !(has(kParamDensityLayer) && has(kParamTemperatureLayer)))
                notice = kStrNoticeStylizedFireMode;
            break;
        case kChoiceColor:
            if (!has(kParamColorLayer)) notice = kStrNoticeColorMode;
            break;
        default:
            break;
    }
    if (notice) showMessage(lookupString(kStrNoticeTitle), lookupString(notice));
}

}  // namespace

PF_Err parameterChanged(const CommandArgs& a) {
    PluginContext* context = contextFrom(a.in);
    const auto* extra = static_cast<const PF_UserChangedParamExtra*>(a.extra);
    if (!context || !extra) return PF_Err_NONE;
    BFS& store = context->engine().frameStore();
    switch (extra->param_index) {
        case kParamSimulationControl:
        case kParamGpuSupport:
        case kParamDiskCache:
        case kParamTextureLayer:
        case kParamDensityColor:
        case kParamTemperatureColor:
        case kParamFuelColor:
            break;
        case kParamResolutionScale:
            store.emptyCache();
            store.setOutdated(true);
            break;
        case kParamRamCacheSize:
            if (a.params)
                store.setMemoryBudget(
                    uint64_t(std::max(0.0, std::trunc(a.params[kParamRamCacheSize]->u.fs_d.value)))
                    << 20);
            break;
        case kParamDensityLayer:
        case kParamColorLayer:
        case kParamTemperatureLayer:
        case kParamFuelLayer:
        case kParamDivergenceLayer:
        case kParamVelocityLayer:
        case kParamObstacleLayer:
            updateParameterUI(a);
            store.setOutdated(true);
            break;
        case kParamRenderMode:
        case kParamAlphaMode:
            renderModeNotice(a);
            break;
        default:
            store.setOutdated(true);
            break;
    }
    return PF_Err_NONE;
}

}  // namespace skv
