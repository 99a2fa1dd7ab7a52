#include "gpu/kernel_modules.h"

namespace skv::gpu {

// Defined in the source the build generates from the PTX (src/gpu/modules/embed_ptx.cmake).
extern const char kSolverModulePtx[];
extern const unsigned long kSolverModulePtxSize;
extern const char kFieldModulePtx[];
extern const unsigned long kFieldModulePtxSize;

std::string_view solverModulePtx() {
    return {kSolverModulePtx, kSolverModulePtxSize};
}
std::string_view fieldModulePtx() {
    return {kFieldModulePtx, kFieldModulePtxSize};
}

}  // namespace skv::gpu
