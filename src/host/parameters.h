#pragma once

#include <cstdint>

#include "grid/simulation_parameters.h"
#include "host/sdk/ae_types.h"

namespace skv {

// Parameter indices: the position of each parameter, which every check-out uses. Index 0 is
// the layer the effect is applied to.
enum ParamIndex : PF_ParamIndex {
    kParamInput = 0,
    kParamSimulationControl = 1,
    kParamGpuSupport = 2,
    kParamResolutionScale = 3,
    kParamRamCacheSize = 4,
    kParamDiskCache = 5,
    kParamSourceControlGroup = 6,
    kParamDensityGroup = 7,
    kParamDensityLayer = 8,
    kParamDensityScale = 9,
    kParamDensityGroupEnd = 10,
    kParamColorGroup = 11,
    kParamColorLayer = 12,
    kParamColorGroupEnd = 13,
    kParamTemperatureGroup = 14,
    kParamTemperatureLayer = 15,
    kParamTemperatureScale = 16,
    kParamTemperatureGroupEnd = 17,
    kParamFuelGroup = 18,
    kParamFuelLayer = 19,
    kParamFuelScale = 20,
    kParamFuelGroupEnd = 21,
    kParamDivergenceGroup = 22,
    kParamDivergenceLayer = 23,
    kParamDivergenceScale = 24,
    kParamDivergenceGroupEnd = 25,
    kParamVelocityGroup = 26,
    kParamVelocityLayer = 27,
    kParamVelocityScale = 28,
    kParamDifferentialVelocity = 29,
    kParamVelocityGroupEnd = 30,
    kParamObstaclesGroup = 31,
    kParamObstacleLayer = 32,
    kParamObstacleHasVelocity = 33,
    kParamObstacleVelocityScale = 34,
    kParamObstaclesGroupEnd = 35,
    kParamUseTexture = 36,
    kParamSourceControlGroupEnd = 37,
    kParamSimulationGroup = 38,
    kParamDomainType = 39,
    kParamBurnModel = 40,
    kParamTimeScale = 41,
    kParamDensityDissipation = 42,
    kParamBurnRate = 43,
    kParamExpansion = 44,
    kParamHeatCreation = 45,
    kParamSootCreation = 46,
    kParamCooling = 47,
    kParamGravity = 48,
    kParamBuoyancy = 49,
    kParamHeatDiffusion = 50,
    kParamVorticity = 51,
    kParamSimulationGroupEnd = 52,
    kParamRenderingGroup = 53,
    kParamRenderMode = 54,
    kParamAlphaMode = 55,
    kParamTextureLayer = 56,
    kParamMotionBlur = 57,
    kParamMaxVelocity = 58,
    kParamRefractionScale = 59,
    kParamRefractionSmoothness = 60,
    kParamAlphaFalloff = 61,
    kParamDensityColor = 62,
    kParamTemperatureColor = 63,
    kParamFuelColor = 64,
    kParamRenderingGroupEnd = 65,
    kParamCount = 66,
};

// What a custom UI's refcon says it is.
enum CustomUIKind : intptr_t {
    kUISimulationControl = 1,
    kUIDensityColor = 2,
    kUITemperatureColor = 3,
    kUIFuelColor = 4,
    kUIDiskCache = 5,
};

// One row of the parameter table.
struct ParamSpec {
    PF_ParamIndex index;
    PF_ParamType type;
    A_long id;
    const char* name;                  // "" for group ends
    float minimum, maximum, dephault;  // sliders; checkbox and popup defaults in `dephault`
    A_short precision;
    PF_ParamFlags flags;
    const char* choices;        // popups: "a|b|c"; checkboxes: the label
    A_short uiWidth, uiHeight;  // custom UI size of arbitrary-data parameters
    CustomUIKind refcon;
};

// The 65 parameters after the input layer, in order (index 1 … 65).
const ParamSpec* parameterTable();
const ParamSpec& parameterSpec(PF_ParamIndex index);

// The per-source input scales that readSimulationParameters returns beside the record.
struct InputScales {
    double timeScale = 1.0;
    double velocity = 1.0;
    double obstacleVelocity = 1.0;
    double density = 1.0;
    double temperature = 1.0;
    double fuel = 1.0;
    double divergence = 1.0;
    bool obstacleHasVelocity = false;
};

// Checks out the simulation parameters at `time` (host time units) and maps them into the
// record and the input scales. Returns the first check-out error.
PF_Err readSimulationParameters(A_long time, const PF_InData* in, SimulationParameters& record,
                                InputScales& scales);

// Whether the layer parameter `layer` has a layer with pixels at the command's current time.
bool sourceLayerPresent(const PF_InData* in, PF_ParamIndex layer);

// A parameter checked out at a time for the lifetime of the object.
class CheckedOutParam {
  public:
    CheckedOutParam(const PF_InData* in, PF_ParamIndex index, A_long time);
    ~CheckedOutParam();
    CheckedOutParam(const CheckedOutParam&) = delete;
    CheckedOutParam& operator=(const CheckedOutParam&) = delete;

    PF_Err error() const { return error_; }
    const PF_ParamDef& def() const { return def_; }
    // The layer of a layer parameter has pixels.
    bool hasLayer() const { return error_ == PF_Err_NONE && def_.u.ld.width > 0; }
    // Checks in now; returns the check-in's error.
    PF_Err checkIn();

  private:
    const PF_InData* in_;
    PF_ParamDef def_{};
    PF_Err error_;
    bool checkedOut_;
};

}  // namespace skv
