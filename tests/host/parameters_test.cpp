#include "host/parameters.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace skv {
namespace {

// A host of one effect whose parameters hold the table's defaults unless a test sets them.
struct FakeHost {
    std::map<PF_ParamIndex, PF_ParamDef> defs;
    std::vector<PF_ParamIndex> checkedOut;
    PF_ParamIndex failAt = -1;
    int open = 0;

    FakeHost() {
        for (PF_ParamIndex i = 1; i < kParamCount; ++i) {
            const ParamSpec& spec = parameterSpec(i);
            PF_ParamDef d{};
            d.param_type = spec.type;
            if (spec.type == PF_Param_FLOAT_SLIDER) d.u.fs_d.value = spec.dephault;
            if (spec.type == PF_Param_CHECKBOX) d.u.bd.value = A_long(spec.dephault);
            if (spec.type == PF_Param_POPUP) d.u.pd.value = A_long(spec.dephault);
            defs[i] = d;
        }
    }
    static FakeHost* self;
    static PF_Err checkout(PF_ProgPtr, PF_ParamIndex index, A_long, A_long, A_u_long, PF_ParamDef* param) {
        self->checkedOut.push_back(index);
        if (index == self->failAt) return PF_Err_INVALID_INDEX;
        *param = self->defs.at(index);
        ++self->open;
        return PF_Err_NONE;
    }
    static PF_Err checkin(PF_ProgPtr, PF_ParamDef*) {
        --self->open;
        return PF_Err_NONE;
    }
    PF_InData inData() {
        self = this;
        PF_InData in{};
        in.inter.checkout_param = &checkout;
        in.inter.checkin_param = &checkin;
        in.time_step = 1;
        in.time_scale = 24;
        return in;
    }
    void set(PF_ParamIndex i, double v) {
        PF_ParamDef& d = defs[i];
        if (d.param_type == PF_Param_FLOAT_SLIDER) d.u.fs_d.value = v;
        if (d.param_type == PF_Param_CHECKBOX) d.u.bd.value = A_long(v);
        if (d.param_type == PF_Param_POPUP) d.u.pd.value = A_long(v);
    }
};
FakeHost* FakeHost::self = nullptr;

TEST(ParameterMappingTest, DefaultsReachTheEngineRoundedToSinglePrecisionFirst) {
    FakeHost host;
    const PF_InData in = host.inData();
    SimulationParameters record;
    InputScales scales;
    ASSERT_EQ(readSimulationParameters(0, &in, record, scales), PF_Err_NONE);
    EXPECT_EQ(host.open, 0) << "every check-out is checked in";
    EXPECT_EQ(record.buoyancy, double(1.37f) * -0.02);
    EXPECT_NEAR(record.buoyancy, -0.0274, 1e-9);
    EXPECT_EQ(record.gravity, double(9.7f));
    EXPECT_EQ(record.densityDissipation, double(float(10 * 0.01)));
    EXPECT_EQ(record.burnRate, double(float(50 * 0.01)));
    EXPECT_EQ(record.sootCreation, double(float(100 * 0.01)));
    EXPECT_EQ(record.vorticity, 0.0);
    EXPECT_EQ(record.expansion, 2.0);
    EXPECT_EQ(record.heatCreation, 1000.0);
    EXPECT_EQ(record.cooling, 1000.0);
    EXPECT_EQ(record.heatDiffusion, 20.0);
    EXPECT_EQ(record.domainOpenness, 2.0);
    EXPECT_EQ(record.burnModel, 1u);
    EXPECT_EQ(record.differentialVelocity, 1);
    EXPECT_EQ(scales.timeScale, 1.0);
    EXPECT_EQ(scales.velocity, 1.0);
    EXPECT_EQ(scales.obstacleVelocity, 10.0);
    EXPECT_EQ(scales.density, 1.0);
    EXPECT_EQ(scales.temperature, 100.0);
    EXPECT_EQ(scales.fuel, 1.0);
    EXPECT_EQ(scales.divergence, 1.0);
    EXPECT_FALSE(scales.obstacleHasVelocity);
    const std::vector<PF_ParamIndex> order = {29, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 39, 40, 3, 41, 28, 34, 9, 16, 20, 24, 33};
    EXPECT_EQ(host.checkedOut, order);
}

TEST(ParameterMappingTest, EveryParameterMapsToItsField) {
    FakeHost host;
    host.set(kParamDifferentialVelocity, 0);
    host.set(kParamVorticity, 40);
    host.set(kParamDomainType, 3);
    host.set(kParamBurnModel, 1);
    host.set(kParamResolutionScale, 2);
    host.set(kParamVelocityScale, 5);
    host.set(kParamObstacleVelocityScale, 30);
    host.set(kParamDensityScale, 250);
    host.set(kParamTemperatureScale, -40);
    host.set(kParamFuelScale, 10);
    host.set(kParamDivergenceScale, 0.5);
    host.set(kParamObstacleHasVelocity, 1);
    host.set(kParamTimeScale, 0.3);
    const PF_InData in = host.inData();
    SimulationParameters record;
    InputScales scales;
    ASSERT_EQ(readSimulationParameters(0, &in, record, scales), PF_Err_NONE);
    EXPECT_EQ(record.differentialVelocity, 0);
    EXPECT_EQ(record.vorticity, double(float(40 * 0.025)));
    EXPECT_EQ(record.domainOpenness, 0.0);
    EXPECT_EQ(record.burnModel, 0u);
    EXPECT_EQ(scales.velocity, 2.5);
    EXPECT_EQ(scales.obstacleVelocity, 15.0);
    EXPECT_EQ(scales.density, 2.5);
    EXPECT_EQ(scales.temperature, -40.0);
    EXPECT_DOUBLE_EQ(scales.fuel, 0.1);
    EXPECT_EQ(scales.divergence, 0.5);
    EXPECT_TRUE(scales.obstacleHasVelocity);
    EXPECT_EQ(scales.timeScale, double(0.3f));
}

TEST(ParameterMappingTest, PopupValuesOutsideTheirChoicesLeaveTheFieldAlone) {
    FakeHost host;
    host.set(kParamDomainType, 7);
    host.set(kParamBurnModel, 0);
    const PF_InData in = host.inData();
    SimulationParameters record;
    record.domainOpenness = 1.0;
    record.burnModel = 0;
    InputScales scales;
    ASSERT_EQ(readSimulationParameters(0, &in, record, scales), PF_Err_NONE);
    EXPECT_EQ(record.domainOpenness, 1.0);
    EXPECT_EQ(record.burnModel, 0u);
}

TEST(ParameterMappingTest, TheFirstFailingCheckOutStopsTheReading) {
    FakeHost host;
    host.failAt = kParamHeatCreation;
    const PF_InData in = host.inData();
    SimulationParameters record;
    InputScales scales;
    EXPECT_EQ(readSimulationParameters(0, &in, record, scales), PF_Err_INVALID_INDEX);
    EXPECT_EQ(host.checkedOut.back(), kParamHeatCreation);
    EXPECT_EQ(host.open, 0);
}

TEST(ParameterTableTest, RowsFollowTheirIndicesAndSlidersHaveSaneRanges) {
    for (PF_ParamIndex i = 1; i < kParamCount; ++i) {
        const ParamSpec& s = parameterSpec(i);
        EXPECT_EQ(s.index, i);
        if (s.type == PF_Param_FLOAT_SLIDER) {
            EXPECT_LT(s.minimum, s.maximum) << s.name;
            EXPECT_GE(s.dephault, s.minimum) << s.name;
            EXPECT_LE(s.dephault, s.maximum) << s.name;
        }
    }
}

}  // namespace
}  // namespace skv
