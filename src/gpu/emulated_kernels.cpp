#include "gpu/emulated_kernels.h"

#include <array>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "gpu/kernel_modules.h"
#include "gpu/modules/field_kernels.cuh"
#include "gpu/modules/solver_kernels.cuh"

namespace skv::gpu {
namespace {

template <typename T>
constexpr ParamKind kindOf() {
    if constexpr (std::is_pointer_v<T>) return ParamKind::Pointer;
    if constexpr (std::is_same_v<T, float>) return ParamKind::F32;
    if constexpr (std::is_same_v<T, unsigned>) return ParamKind::U32;
    static_assert(std::is_pointer_v<T> || std::is_same_v<T, float> || std::is_same_v<T, unsigned> ||
                  std::is_same_v<T, int>);
    return ParamKind::I32;
}

// A parameter as the launch passed it: the bytes of its slot (a device pointer of the emulated
// device is a host address).
template <typename T>
T argument(const void* slot) {
    T value;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

// Runs a per-thread kernel twin once for every thread of the launch, block by block.
template <auto Kernel>
struct Twin;

template <typename... A, void (*Kernel)(const ThreadIndex&, A...)>
struct Twin<Kernel> {
    static constexpr std::array<ParamKind, sizeof...(A)> kParams{kindOf<A>()...};

    static bool run(const LaunchShape& shape, void** params) {
        return runWith(shape, params, std::index_sequence_for<A...>{});
    }

    template <size_t... I>
    static bool runWith(const LaunchShape& shape, void** params, std::index_sequence<I...>) {
        const std::tuple<A...> args{argument<A>(params[I])...};
        ThreadIndex t;
        t.gridDim = shape.grid;
        t.blockDim = shape.block;
        for (t.blockIdx.z = 0; t.blockIdx.z < shape.grid.z; ++t.blockIdx.z)
            for (t.blockIdx.y = 0; t.blockIdx.y < shape.grid.y; ++t.blockIdx.y)
                for (t.blockIdx.x = 0; t.blockIdx.x < shape.grid.x; ++t.blockIdx.x)
                    for (t.threadIdx.z = 0; t.threadIdx.z < shape.block.z; ++t.threadIdx.z)
                        for (t.threadIdx.y = 0; t.threadIdx.y < shape.block.y; ++t.threadIdx.y)
                            for (t.threadIdx.x = 0; t.threadIdx.x < shape.block.x; ++t.threadIdx.x)
                                Kernel(t, std::get<I>(args)...);
        return true;
    }
};

// dAbsMaxReduce<N>, block by block: its threads meet at barriers, which the per-thread runner
// cannot do. The launch must have N threads and N floats of shared memory, as on the device.
template <unsigned N>
struct ReduceTwin {
    static constexpr std::array<ParamKind, 3> kParams{ParamKind::Pointer, ParamKind::Pointer,
                                                      ParamKind::U32};

    static bool run(const LaunchShape& shape, void** params) {
        if (shape.block.x != N || shape.block.y != 1 || shape.block.z != 1 ||
            shape.sharedBytes < N * sizeof(float) || shape.grid.y != 1 || shape.grid.z != 1)
            return false;
        const auto input = argument<const float*>(params[0]);
        const auto output = argument<float*>(params[1]);
        const auto size = argument<unsigned>(params[2]);
        for (unsigned b = 0; b < shape.grid.x; ++b)
            twin::absMaxReduceBlock(N, b, shape.grid.x, input, output, size);
        return true;
    }
};

#define SKV_TWIN(entryName, kernel)                                        \
    EmulatedKernel {                                                       \
        entryName, &Twin<&twin::kernel>::run, Twin<&twin::kernel>::kParams \
    }
#define SKV_REDUCE_TWIN(k, n)                                                \
    EmulatedKernel {                                                         \
        entry::kAbsMaxReduce[k], &ReduceTwin<n>::run, ReduceTwin<n>::kParams \
    }

const EmulatedKernel kKernels[] = {
    SKV_TWIN(entry::kSORPoisson2Dred, dSORPoisson2Dred),
    SKV_TWIN(entry::kSORPoisson2Dblack, dSORPoisson2Dblack),
    SKV_TWIN(entry::kPressureJacobi, dPressureJacobi),
    SKV_TWIN(entry::kPressureMatrixMul2D, dPressureMatrixMul2D),
    SKV_TWIN(entry::kNegDivergence, dNegDivergence),
    SKV_TWIN(entry::kSubtractPressureGradient, dSubtractPressureGradient),
    SKV_TWIN(entry::kSetSolidVelocity, dSetSolidVelocity),
    SKV_TWIN(entry::kSetMovingSolidVelocity, dSetMovingSolidVelocity),
    SKV_TWIN(entry::kSetSolidProperty, dSetSolidProperty),
    SKV_TWIN(entry::kAddPropertyForces, dAddPropertyForces),
    SKV_TWIN(entry::kCooling, dCooling),
    SKV_TWIN(entry::kCombustOxidized, dCombustOxidized),
    SKV_TWIN(entry::kCombustUnoxidized, dCombustUnoxidized),
    SKV_TWIN(entry::kVorticity, dVorticity),
    SKV_TWIN(entry::kVortConfForce, dVortConfForce),
    SKV_TWIN(entry::kAddVortConf, dAddVortConf),
    SKV_TWIN(entry::kAdvectQUICKvelocity, dAdvectQUICKvelocity),
    SKV_TWIN(entry::kAdvectQUICKvelocitySolid, dAdvectQUICKvelocitySolid),
    SKV_TWIN(entry::kAdvectQUICKConservative, dAdvectQUICKConservative),
    SKV_TWIN(entry::kAdvectQUICKConservativeSolid, dAdvectQUICKConservativeSolid),
    SKV_TWIN(entry::kAdvectQUICKClamp, dAdvectQUICKClamp),
    SKV_TWIN(entry::kAdvectQUICKClampSolid, dAdvectQUICKClampSolid),
    SKV_TWIN(entry::kAxpy, daxpy),
    SKV_TWIN(entry::kAx, dax),
    SKV_TWIN(entry::kAxpbypz, daxpbypz),
    SKV_TWIN(entry::kSetMax, dSetMax),
    SKV_TWIN(entry::kSetMaxF, dSetMaxF),
    SKV_TWIN(entry::kSetMin, dSetMin),
    SKV_TWIN(entry::kClamp, dClamp),
    SKV_TWIN(entry::kSetMaxXBorder, dSetMaxXBorder),
    SKV_TWIN(entry::kSetMinXBorder, dSetMinXBorder),
    SKV_TWIN(entry::kSetMasked, dSetMasked),
    SKV_TWIN(entry::kConvolveX, dConvolveX),
    SKV_TWIN(entry::kConvolveY, dConvolveY),
    SKV_REDUCE_TWIN(0, 512),
    SKV_REDUCE_TWIN(1, 256),
    SKV_REDUCE_TWIN(2, 128),
    SKV_REDUCE_TWIN(3, 64),
    SKV_REDUCE_TWIN(4, 32),
    SKV_REDUCE_TWIN(5, 16),
    SKV_REDUCE_TWIN(6, 8),
    SKV_REDUCE_TWIN(7, 4),
    SKV_REDUCE_TWIN(8, 2),
    SKV_REDUCE_TWIN(9, 1),
};

#undef SKV_TWIN
#undef SKV_REDUCE_TWIN

}  // namespace

std::span<const EmulatedKernel> emulatedKernels() {
    return kKernels;
}

const EmulatedKernel* findEmulatedKernel(std::string_view name) {
    for (const EmulatedKernel& k : kKernels)
        if (name == k.name) return &k;
    return nullptr;
}

const char* ptxType(ParamKind kind) {
    switch (kind) {
        case ParamKind::F32:
            return "f32";
        case ParamKind::Pointer:
            return "u64";
        case ParamKind::I32:
        case ParamKind::U32:
            break;
    }
    return "u32";
}

}  // namespace skv::gpu
