#pragma once

#include <span>
#include <string_view>

#include "gpu/modules/kernel_support.h"

namespace skv::gpu {

// The host-compiled twins of the kernels of both modules, by entry name, as the emulated device
// runs them.

// How a kernel parameter travels: as the PTX declares it (.u32, .f32, .u64).
enum class ParamKind { I32, U32, F32, Pointer };

struct LaunchShape {
    Dim3 grid;
    Dim3 block;
    unsigned sharedBytes = 0;
};

struct EmulatedKernel {
    const char* name;
    // Runs the launch: every thread of every block, or whole blocks for the kernels that
    // synchronise inside a block. False when the launch shape does not fit the kernel.
    bool (*run)(const LaunchShape& shape, void** params);
    std::span<const ParamKind> params;
};

std::span<const EmulatedKernel> emulatedKernels();
const EmulatedKernel* findEmulatedKernel(std::string_view name);

// The PTX spelling of a parameter kind: "u32", "f32" or "u64".
const char* ptxType(ParamKind kind);

}  // namespace skv::gpu
