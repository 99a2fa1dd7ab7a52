#include "host/parameters.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace skv {
namespace {

// A host of one effect whose parameters hold the table's defaults unless a test sets them.
struct FakeHost {
    std::map<PF_ParamIndex, PF_ParamDef> defs;
    int open = 0;

    FakeHost() {
        for (PF_ParamIndex i = 1; i < kParamCount; ++i) {
            defs[i].param_type = parameterTable()[i - 1].type;
            set(i, parameterTable()[i - 1].dephault);
        }
    }
    static inline FakeHost* self = nullptr;
    static PF_Err checkout(PF_ProgPtr, PF_ParamIndex index, A_long, A_long, A_u_long,
                           PF_ParamDef* param) {
        *param = self->defs.at(index);
        ++self->open;
        return PF_Err_NONE;
    }
    static PF_Err checkin(PF_ProgPtr, PF_ParamDef*) {
        --self->open;
        return PF_Err_NONE;
    }
    PF_Err read(SimulationParameters& record, InputScales& scales) {
        self = this;
        PF_InData in{};
        in.inter.checkout_param = &checkout;
        in.inter.checkin_param = &checkin;
        return readSimulationParameters(0, &in, record, scales);
    }
    void set(PF_ParamIndex i, double v) {
        PF_ParamDef& d = defs[i];
        if (d.param_type == PF_Param_FLOAT_SLIDER) d.u.fs_d.value = v;
        if (d.param_type == PF_Param_CHECKBOX) d.u.bd.value = A_long(v);
        if (d.param_type == PF_Param_POPUP) d.u.pd.value = A_long(v);
    }
};

// Every mapped field, in this order.
// clang-format off
enum Field { kDiff, kDissipation, kBurnRate, kExpansion, kHeat, kSoot, kCooling, kGravity,
             kBuoyancy, kHeatDiffusion, kVorticity, kDomain, kBurnModel, kTime, kVelocity,
             kObstacleVelocity, kDensity, kTemperature, kFuel, kDivergence, kObstacleMoves };
std::vector<double> fields(const SimulationParameters& r, const InputScales& s) {
    return {double(r.differentialVelocity), r.densityDissipation, r.burnRate, r.expansion,
            r.heatCreation, r.sootCreation, r.cooling, r.gravity, r.buoyancy, r.heatDiffusion,
            r.vorticity, r.domainOpenness, double(r.burnModel), s.timeScale, s.velocity,
            s.obstacleVelocity, s.density, s.temperature, s.fuel, s.divergence,
            double(s.obstacleHasVelocity)};
}
// clang-format on

// One parameter changed from its default at a time: it must reach its own field with its
// scale, and no other field may change. Sliders reach the engine rounded to single precision.
TEST(ParameterMappingTest, EachParameterReachesOnlyItsOwnFieldWithItsScale) {
    struct Case {
        PF_ParamIndex index;
        double value;
        Field field;
        double expected;
        Field also = kDiff;  // a second field that changes, with its value
        double alsoExpected = -1;
    };
    // Popups outside their choices leave the field as it was: domain 0.5, burn model 7.
    const Case cases[] = {
        {kParamDifferentialVelocity, 0, kDiff, 0},
        {kParamDensityDissipation, 30, kDissipation, double(0.3f)},
        {kParamBurnRate, 70, kBurnRate, double(0.7f)},
        {kParamExpansion, 1.3, kExpansion, double(1.3f)},
        {kParamHeatCreation, 250, kHeat, 250},
        {kParamSootCreation, 30, kSoot, double(0.3f)},
        {kParamCooling, 123, kCooling, 123},
        {kParamGravity, 9.81, kGravity, double(9.81f)},
        {kParamBuoyancy, 1.7, kBuoyancy, double(1.7f) * -0.02},
        {kParamHeatDiffusion, 7, kHeatDiffusion, 7},
        {kParamVorticity, 40, kVorticity, double(1.0f)},
        {kParamDomainType, 2, kDomain, 1},
        {kParamDomainType, 3, kDomain, 0},
        {kParamDomainType, 7, kDomain, 0.5},
        {kParamBurnModel, 1, kBurnModel, 0},
        {kParamBurnModel, 0, kBurnModel, 7},
        {kParamTimeScale, 0.3, kTime, double(0.3f)},
        {kParamVelocityScale, 5, kVelocity, 5},
        {kParamObstacleVelocityScale, 30, kObstacleVelocity, 30},
        {kParamDensityScale, 250, kDensity, 2.5},
        {kParamTemperatureScale, -40, kTemperature, -40},
        {kParamFuelScale, 10, kFuel, 0.1},
        {kParamDivergenceScale, 0.5, kDivergence, 0.5},
        {kParamObstacleHasVelocity, 1, kObstacleMoves, 1},
        // Velocities are in cells of the scaled grid.
        {kParamResolutionScale, 2, kVelocity, 0.5, kObstacleVelocity, 5},
    };
    const auto readWith = [](PF_ParamIndex index, double value) {
        FakeHost host;
        if (index > 0) host.set(index, value);
        SimulationParameters record;
        record.domainOpenness = 0.5;
        record.burnModel = 7;
        InputScales scales;
        EXPECT_EQ(host.read(record, scales), PF_Err_NONE);
        EXPECT_EQ(host.open, 0) << "every check-out is checked in";
        return fields(record, scales);
    };
    const std::vector<double> defaults = readWith(0, 0);
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << parameterTable()[k.index - 1].name << " = " << k.value);
        const std::vector<double> got = readWith(k.index, k.value);
        std::vector<double> want = defaults;
        want[k.field] = k.expected;
        if (k.alsoExpected >= 0) want[k.also] = k.alsoExpected;
        for (size_t f = 0; f < got.size(); ++f)
            EXPECT_DOUBLE_EQ(got[f], want[f]) << f;
    }
}

}  // namespace
}  // namespace skv
