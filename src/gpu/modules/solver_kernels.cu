// The solver module: compiled by nvcc to PTX (compute_75, no FMA contraction) and embedded in
// the program as text.
#include "gpu/modules/solver_kernels.cuh"
