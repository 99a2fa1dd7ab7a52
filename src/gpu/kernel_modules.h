#pragma once

#include <array>
#include <string_view>

// The PTX texts of the two kernel modules (src/gpu/modules/*.cu) as the build embedded them,
// and the entry names under which the host looks their kernels up. A build without nvcc has
// empty texts: loading them fails and the solver stays on the CPU.

namespace skv::gpu {

std::string_view solverModulePtx();
std::string_view fieldModulePtx();

// Mangled entry names: they encode the parameter types of the kernels in
// src/gpu/modules/*.cuh, and a test checks each against the embedded PTX.
namespace entry {

inline constexpr const char* kSORPoisson2Dred = "_Z16dSORPoisson2DrediiiPfffPKfS1_";
inline constexpr const char* kSORPoisson2Dblack = "_Z18dSORPoisson2DblackiiiPfffPKfS1_";
inline constexpr const char* kPressureJacobi = "_Z15dPressureJacobiiiiPfffPKfS1_";
inline constexpr const char* kPressureMatrixMul2D = "_Z20dPressureMatrixMul2DiiiPffPKf";
inline constexpr const char* kNegDivergence = "_Z14dNegDivergenceiiiPfPKfS1_";
inline constexpr const char* kSubtractPressureGradient = "_Z25dSubtractPressureGradientiiiPfS_PKf";
inline constexpr const char* kSetSolidVelocity = "_Z17dSetSolidVelocityiiiPfS_PKfS1_S1_i";
inline constexpr const char* kSetMovingSolidVelocity =
    "_Z23dSetMovingSolidVelocityiiiPfS_PKfS1_S1_S1_S1_i";
inline constexpr const char* kSetSolidProperty = "_Z17dSetSolidPropertyiPfPKfS1_";
inline constexpr const char* kAddPropertyForces = "_Z18dAddPropertyForcesiiiPfffPKfS1_";
inline constexpr const char* kCooling = "_Z8dCoolingiPfPKffff";
inline constexpr const char* kCombustOxidized = "_Z16dCombustOxidizediffffPfS_S_S_";
inline constexpr const char* kCombustUnoxidized = "_Z18dCombustUnoxidizediiiffffPfS_S_S_PKf";
inline constexpr const char* kVorticity = "_Z10dVorticityiiiPffPKfS1_";
inline constexpr const char* kVortConfForce = "_Z14dVortConfForceiiifPfS_PKf";
inline constexpr const char* kAddVortConf = "_Z12dAddVortConfiiiPfS_fPKfS1_";
inline constexpr const char* kAdvectQUICKvelocity = "_Z20dAdvectQUICKvelocityiiifPfS_PKfS1_";
inline constexpr const char* kAdvectQUICKvelocitySolid =
    "_Z25dAdvectQUICKvelocitySolidiiifPfS_PKfS1_S1_";
inline constexpr const char* kAdvectQUICKConservative =
    "_Z24dAdvectQUICKConservativeiiifPfPKfS1_S1_";
inline constexpr const char* kAdvectQUICKConservativeSolid =
    "_Z29dAdvectQUICKConservativeSolidiiifPfPKfS1_S1_S1_";
inline constexpr const char* kAdvectQUICKClamp = "_Z17dAdvectQUICKClampiiifPfPKfS1_S1_";
inline constexpr const char* kAdvectQUICKClampSolid =
    "_Z22dAdvectQUICKClampSolidiiifPfPKfS1_S1_S1_";

inline constexpr const char* kAxpy = "_Z5daxpyiPffPKfS1_";
inline constexpr const char* kAx = "_Z3daxiPffPKf";
inline constexpr const char* kAxpbypz = "_Z8daxpbypziPffPKffS1_";
inline constexpr const char* kSetMax = "_Z7dSetMaxiPff";
inline constexpr const char* kSetMaxF = "_Z8dSetMaxFiPfPKf";
inline constexpr const char* kSetMin = "_Z7dSetMiniPff";
inline constexpr const char* kClamp = "_Z6dClampiPfff";
inline constexpr const char* kSetMaxXBorder = "_Z14dSetMaxXBorderiiPff";
inline constexpr const char* kSetMinXBorder = "_Z14dSetMinXBorderiiPff";
inline constexpr const char* kSetMasked = "_Z10dSetMaskediPfPKffS1_S1_";
inline constexpr const char* kConvolveX = "_Z10dConvolveXiiiiPfPKfS1_";
inline constexpr const char* kConvolveY = "_Z10dConvolveYiiiiPfPKfS1_";
// dAbsMaxReduce<N> for N = 512, 256, …, 1 (index k is N = 512 >> k).
inline constexpr std::array<const char*, 10> kAbsMaxReduce = {
    "_Z13dAbsMaxReduceILj512EEvPKfPfj", "_Z13dAbsMaxReduceILj256EEvPKfPfj",
    "_Z13dAbsMaxReduceILj128EEvPKfPfj", "_Z13dAbsMaxReduceILj64EEvPKfPfj",
    "_Z13dAbsMaxReduceILj32EEvPKfPfj",  "_Z13dAbsMaxReduceILj16EEvPKfPfj",
    "_Z13dAbsMaxReduceILj8EEvPKfPfj",   "_Z13dAbsMaxReduceILj4EEvPKfPfj",
    "_Z13dAbsMaxReduceILj2EEvPKfPfj",   "_Z13dAbsMaxReduceILj1EEvPKfPfj"};

}  // namespace entry

// The kernels of each module in the order the module's initialisation looks them up.
inline constexpr std::array<const char*, 22> kSolverEntries = {
    entry::kSORPoisson2Dred,
    entry::kSORPoisson2Dblack,
    entry::kPressureJacobi,
    entry::kPressureMatrixMul2D,
    entry::kNegDivergence,
    entry::kSubtractPressureGradient,
    entry::kSetSolidVelocity,
    entry::kSetMovingSolidVelocity,
    entry::kSetSolidProperty,
    entry::kAddPropertyForces,
    entry::kCooling,
    entry::kCombustOxidized,
    entry::kCombustUnoxidized,
    entry::kVorticity,
    entry::kVortConfForce,
    entry::kAddVortConf,
    entry::kAdvectQUICKvelocity,
    entry::kAdvectQUICKvelocitySolid,
    entry::kAdvectQUICKConservative,
    entry::kAdvectQUICKConservativeSolid,
    entry::kAdvectQUICKClamp,
    entry::kAdvectQUICKClampSolid,
};

inline constexpr std::array<const char*, 22> kFieldEntries = {
    entry::kAbsMaxReduce[0],
    entry::kAbsMaxReduce[1],
    entry::kAbsMaxReduce[2],
    entry::kAbsMaxReduce[3],
    entry::kAbsMaxReduce[4],
    entry::kAbsMaxReduce[5],
    entry::kAbsMaxReduce[6],
    entry::kAbsMaxReduce[7],
    entry::kAbsMaxReduce[8],
    entry::kAbsMaxReduce[9],
    entry::kAx,
    entry::kAxpy,
    entry::kAxpbypz,
    entry::kSetMax,
    entry::kSetMaxF,
    entry::kSetMin,
    entry::kClamp,
    entry::kSetMasked,
    entry::kSetMinXBorder,
    entry::kSetMaxXBorder,
    entry::kConvolveX,
    entry::kConvolveY,
};

}  // namespace skv::gpu
