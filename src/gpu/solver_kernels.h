#pragma once

#include <array>
#include <string_view>

#include "gpu/cuda_driver.h"
#include "gpu/device_grid.h"
#include "gpu/kernel_modules.h"
#include "kernels/forces_cells.h"

namespace skv {

// The solver module: the kernels of the fluid step (pressure solve, divergence and gradient,
// obstacle conditions, forces, cooling, combustion, vorticity confinement, QUICK advection)
// and their launchers. One per process CUDA state (CudaState::solverKernels); used only on the
// thread that holds the CUDA context.
//
// Kernel reads that went through textures are pointer parameters. The three grids the fast
// solver keeps for the whole simulation — velocity u, v and pressure — are bound once by
// initSolverKernels (the pointers the launchers pass for texU, texV and texPressure); a
// launcher that names its grids reads those instead.
//
// Launchers use blocks of 16 × 8 threads over the cells of the named grid (1D ones blocks of
// 128 threads over its elements) and log "<launcher>: Failed to launch CUDA kernel" when the
// driver refuses a launch; they then return false and the caller carries on with the grids as
// they are. Every launch is synchronous.
class SolverKernels {
  public:
    explicit SolverKernels(const cuda::CudaDriver& driver,
                           std::string_view ptx = gpu::solverModulePtx());
    SolverKernels(const SolverKernels&) = delete;
    SolverKernels& operator=(const SolverKernels&) = delete;

    // Loads the module and looks up all 22 kernels when that has not happened yet (a failure
    // logs "Failed to initialize CUDA kernels", unloads and returns false, so that the next
    // call tries again), then binds u, v and the pressure.
    [[nodiscard]] bool initSolverKernels(const DeviceGrid& u, const DeviceGrid& v,
                                         const DeviceGrid& pressure);
    bool loaded() const { return module_ != nullptr; }
    // Rebinds only the pressure (the SOR solve binds the grid it solves for).
    void bindPressure(const DeviceGrid& pressure) { pressure_ = &pressure; }

    // `sweeps` red-black sweeps of the pressure equation (4 + σ)·p − Σ neighbours = div.
    bool CUDASORsolve2D(DeviceGrid& p, const DeviceGrid& div, int sweeps, float omega, float sigma);
    // b = A·p of the bound pressure on the interior, 0 on the border.
    bool CUDAPressureMatrixMul2D(DeviceGrid& b, float sigma);
    // div = negative divergence of the bound velocity, 0 on the border.
    bool CUDANegDivergence(DeviceGrid& div);
    // u, v −= gradient of the bound pressure on the interior.
    bool CUDASubtractPressureGradient(DeviceGrid& u, DeviceGrid& v);
    // The obstacle velocity condition (two launches: solid cells, then fluid cells); the moving
    // variant when both obstacle velocities are given.
    bool CUDASetSolidVelocity(DeviceGrid& u, DeviceGrid& v, const DeviceGrid& mask,
                              const DeviceGrid* mu, const DeviceGrid* mv);
    // q = 0 wherever solid ≠ 0, over every element.
    bool CUDASetSolidProperty(const DeviceGrid& solid, DeviceGrid& q);
    // dvdt += ½·buoyancy·(T + T above) + ½·gravity·(ρ + ρ above) on the interior.
    bool CUDAaddPropertyForces(DeviceGrid& dvdt, const DeviceGrid& temperature,
                               const DeviceGrid& density, float buoyancy, float gravity);
    // dtempdt −= the radiative cooling rate of temp (maxTemp: temperature of full strength).
    bool CUDACooling(DeviceGrid& dtempdt, const DeviceGrid& temp, float maxTemp, float cooling,
                     float rdt);
    bool CUDACombustOxidized(DeviceGrid& fuel, DeviceGrid& divergence, DeviceGrid& density,
                             DeviceGrid& temperature, const BurnConstants& c);
    bool CUDACombustUnoxidized(DeviceGrid& fuel, DeviceGrid& divergence, DeviceGrid& density,
                               DeviceGrid& temperature, const DeviceGrid& oxygen,
                               const BurnConstants& c);
    // Vorticity into w, the confinement force into fu, fv (borders 0), and ½·dt·vorticity ×
    // the force added to the faces of the cells 2 … width − 3, 2 … height − 3 of u and v.
    bool CUDAVorticityConfinement(DeviceGrid& u, DeviceGrid& v, DeviceGrid& w, DeviceGrid& fu,
                                  DeviceGrid& fv, float dx, float dt, float vorticity);
    // Time derivatives of the bound velocity and of scalars (0 on the border).
    bool CUDAAdvectQUICKvelocity(DeviceGrid& dudt, DeviceGrid& dvdt, float dx);
    bool CUDAAdvectQUICKvelocitySolid(DeviceGrid& dudt, DeviceGrid& dvdt, const DeviceGrid& mask,
                                      float dx);
    bool CUDAAdvectQUICKconservative(DeviceGrid& dqdt, const DeviceGrid& q, float dx);
    bool CUDAAdvectQUICKconservativeSolid(DeviceGrid& dqdt, const DeviceGrid& q,
                                          const DeviceGrid& mask, float dx);
    bool CUDAAdvectQUICKClamp(DeviceGrid& dqdt, const DeviceGrid& q, float dx);
    bool CUDAAdvectQUICKClampSolid(DeviceGrid& dqdt, const DeviceGrid& q, const DeviceGrid& mask,
                                   float dx);

  private:
    enum Kernel : int {
        kRed,
        kBlack,
        kJacobi,
        kMatrix,
        kNegDivergence,
        kGradient,
        kSolidVelocity,
        kMovingSolidVelocity,
        kSolidProperty,
        kPropertyForces,
        kCooling,
        kCombustOxidized,
        kCombustUnoxidized,
        kVorticity,
        kVortConfForce,
        kAddVortConf,
        kVelocity,
        kVelocitySolid,
        kConservative,
        kConservativeSolid,
        kClamp,
        kClampSolid,
        kKernelCount
    };
    bool load();

    const cuda::CudaDriver& driver_;
    std::string_view ptx_;
    cuda::CUmodule module_ = nullptr;
    std::array<cuda::CUfunction, kKernelCount> functions_{};
    const DeviceGrid* u_ = nullptr;
    const DeviceGrid* v_ = nullptr;
    const DeviceGrid* pressure_ = nullptr;
};

}  // namespace skv
