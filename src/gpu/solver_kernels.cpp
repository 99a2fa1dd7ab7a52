#include "gpu/solver_kernels.h"

#include "gpu/kernel_launch.h"
#include "platform/log.h"

namespace skv {

using namespace cuda;
using gpu::KernelLaunch;

namespace {

constexpr LaunchDims kBlock2D{16, 8, 1};
constexpr LaunchDims kBlock1D{128, 1, 1};

int pitchOf(const DeviceGrid& g) {
    return int(g.rowLength());
}

// Launches and logs the launcher's line when the driver refuses.
bool run(const CudaDriver& driver, KernelLaunch& launch, LaunchDims grid, const char* failure) {
    if (launch.launch(driver, grid)) return true;
    SKV_LOG(Error, failure);
    return false;
}

CUdeviceptr pointerOf(const DeviceGrid* g) {
    return g ? g->devicePointer() : 0;
}

}  // namespace

SolverKernels::SolverKernels(const CudaDriver& driver, std::string_view ptx)
    : driver_(driver), ptx_(ptx) {}

bool SolverKernels::load() {
    if (!gpu::loadModule(driver_, ptx_, module_)) return false;
    for (size_t k = 0; k < functions_.size(); ++k) {
        if (!gpu::getFunction(driver_, module_, gpu::kSolverEntries[k], functions_[k])) {
            // Without every kernel the module is of no use: forget it, so that a later
            // initialisation starts again instead of launching missing kernels.
            driver_.cuModuleUnload(module_);
            module_ = nullptr;
            functions_.fill(nullptr);
            return false;
        }
    }
    return true;
}

bool SolverKernels::initSolverKernels(const DeviceGrid& u, const DeviceGrid& v,
                                      const DeviceGrid& pressure) {
    if (!module_ && !load()) {
        SKV_LOG(Error, "Failed to initialize CUDA kernels");
        return false;
    }
    u_ = &u;
    v_ = &v;
    pressure_ = &pressure;
    return true;
}

bool SolverKernels::CUDASORsolve2D(DeviceGrid& p, const DeviceGrid& div, int sweeps, float omega,
                                   float sigma) {
    if (p.empty()) return true;
    const float oneMinusOmega = 1.0f - omega;
    const float omegaRaii = omega / (4.0f + sigma);
    const LaunchDims grid = p.launchGrid2D(kBlock2D.x, kBlock2D.y);
    bool ok = true;
    for (int s = 0; s < sweeps; ++s) {
        for (int colour = 0; colour < 2; ++colour) {
            KernelLaunch l(functions_[colour == 0 ? kRed : kBlack], kBlock2D);
            l.i32(pitchOf(p)).i32(int(p.width())).i32(int(p.height())).pointer(p);
            l.f32(oneMinusOmega).f32(omegaRaii).pointer(p).pointer(div);
            ok &= run(driver_, l, grid,
                      colour == 0 ? "CUDASORsolve2D red: Failed to launch CUDA kernel"
                                  : "CUDASORsolve2D black: Failed to launch CUDA kernel");
        }
    }
    return ok;
}

bool SolverKernels::CUDAPressureMatrixMul2D(DeviceGrid& b, float sigma) {
    if (b.empty()) return true;
    KernelLaunch l(functions_[kMatrix], kBlock2D);
    l.i32(pitchOf(b)).i32(int(b.width())).i32(int(b.height())).pointer(b);
    l.f32(4.0f + sigma).pointer(pointerOf(pressure_));
    return run(driver_, l, b.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAPressureMatrixMul2D: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDANegDivergence(DeviceGrid& div) {
    if (div.empty()) return true;
    KernelLaunch l(functions_[kNegDivergence], kBlock2D);
    l.i32(pitchOf(div)).i32(int(div.width())).i32(int(div.height())).pointer(div);
    l.pointer(pointerOf(u_)).pointer(pointerOf(v_));
    return run(driver_, l, div.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDANegDivergence: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDASubtractPressureGradient(DeviceGrid& u, DeviceGrid& v) {
    if (u.empty()) return true;
    KernelLaunch l(functions_[kGradient], kBlock2D);
    l.i32(pitchOf(u)).i32(int(u.width())).i32(int(u.height())).pointer(u).pointer(v);
    l.pointer(pointerOf(pressure_));
    return run(driver_, l, u.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDASubtractPressureGradient: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDASetSolidVelocity(DeviceGrid& u, DeviceGrid& v, const DeviceGrid& mask,
                                         const DeviceGrid* mu, const DeviceGrid* mv) {
    if (u.empty()) return true;
    const bool moving = mu && mv;
    const LaunchDims grid = u.launchGrid2D(kBlock2D.x, kBlock2D.y);
    bool ok = true;
    // Solid cells first: they copy faces of fluid neighbours as they were before the pass.
    for (int solidCells = 1; solidCells >= 0; --solidCells) {
        KernelLaunch l(functions_[moving ? kMovingSolidVelocity : kSolidVelocity], kBlock2D);
        l.i32(pitchOf(u)).i32(int(u.width())).i32(int(u.height())).pointer(u).pointer(v);
        l.pointer(u).pointer(v).pointer(mask);
        if (moving) l.pointer(*mu).pointer(*mv);
        l.i32(solidCells);
        ok &= run(driver_, l, grid, "CUDASetSolidVelocity: Failed to launch CUDA kernel");
    }
    return ok;
}

bool SolverKernels::CUDASetSolidProperty(const DeviceGrid& solid, DeviceGrid& q) {
    if (q.empty()) return true;
    // Blocks of 16 × 8 threads of which only the x index counts: ⌈count / 16⌉ blocks.
    KernelLaunch l(functions_[kSolidProperty], kBlock2D);
    l.i32(int(q.elementCount())).pointer(q).pointer(solid).pointer(q);
    return run(driver_, l, q.launchGrid1D(kBlock2D.x),
               "CUDASetSolidProperty: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAaddPropertyForces(DeviceGrid& dvdt, const DeviceGrid& temperature,
                                          const DeviceGrid& density, float buoyancy,
                                          float gravity) {
    if (dvdt.empty()) return true;
    KernelLaunch l(functions_[kPropertyForces], kBlock2D);
    l.i32(pitchOf(dvdt)).i32(int(dvdt.width())).i32(int(dvdt.height())).pointer(dvdt);
    l.f32(0.5f * buoyancy).f32(0.5f * gravity).pointer(temperature).pointer(density);
    return run(driver_, l, dvdt.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAaddPropertyForces: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDACooling(DeviceGrid& dtempdt, const DeviceGrid& temp, float maxTemp,
                                float cooling, float rdt) {
    if (dtempdt.empty()) return true;
    KernelLaunch l(functions_[kCooling], kBlock1D);
    l.i32(int(dtempdt.elementCount())).pointer(dtempdt).pointer(temp);
    l.f32(maxTemp).f32(cooling).f32(rdt);
    return run(driver_, l, dtempdt.launchGrid1D(kBlock1D.x),
               "CUDACooling: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDACombustOxidized(DeviceGrid& fuel, DeviceGrid& divergence,
                                        DeviceGrid& density, DeviceGrid& temperature,
                                        const BurnConstants& c) {
    if (fuel.empty()) return true;
    KernelLaunch l(functions_[kCombustOxidized], kBlock1D);
    l.i32(int(fuel.elementCount()));
    l.f32(c.maxBurn).f32(c.expansionRate).f32(c.soot).f32(c.heatCreation);
    l.pointer(fuel).pointer(divergence).pointer(density).pointer(temperature);
    return run(driver_, l, fuel.launchGrid1D(kBlock1D.x),
               "CUDACombustOxidized: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDACombustUnoxidized(DeviceGrid& fuel, DeviceGrid& divergence,
                                          DeviceGrid& density, DeviceGrid& temperature,
                                          const DeviceGrid& oxygen, const BurnConstants& c) {
    if (fuel.empty()) return true;
    KernelLaunch l(functions_[kCombustUnoxidized], kBlock2D);
    l.i32(pitchOf(fuel)).i32(int(fuel.width())).i32(int(fuel.height()));
    l.f32(c.maxBurn).f32(c.expansionRate).f32(c.soot).f32(c.heatCreation);
    l.pointer(fuel).pointer(divergence).pointer(density).pointer(temperature).pointer(oxygen);
    return run(driver_, l, fuel.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDACombustUnoxidized: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAVorticityConfinement(DeviceGrid& u, DeviceGrid& v, DeviceGrid& w,
                                             DeviceGrid& fu, DeviceGrid& fv, float dx, float dt,
                                             float vorticity) {
    if (u.empty()) return true;
    const int p = pitchOf(u), width = int(u.width()), height = int(u.height());
    const LaunchDims grid = u.launchGrid2D(kBlock2D.x, kBlock2D.y);
    bool ok = true;
    {
        KernelLaunch l(functions_[kVorticity], kBlock2D);
        l.i32(p).i32(width).i32(height).pointer(w).f32(1.0f / (4.0f * dx)).pointer(u).pointer(v);
        ok &= run(driver_, l, grid, "dVorticity: Failed to launch CUDA kernel");
    }
    {
        KernelLaunch l(functions_[kVortConfForce], kBlock2D);
        l.i32(p).i32(width).i32(height).f32(1.0f / (2.0f * dx)).pointer(fu).pointer(fv);
        l.pointer(w);
        ok &= run(driver_, l, grid, "dVortConfForce: Failed to launch CUDA kernel");
    }
    {
        KernelLaunch l(functions_[kAddVortConf], kBlock2D);
        l.i32(p).i32(width).i32(height).pointer(u).pointer(v).f32(0.5f * dt * vorticity);
        l.pointer(fu).pointer(fv);
        ok &= run(driver_, l, grid, "dAddVortConf: Failed to launch CUDA kernel");
    }
    return ok;
}

bool SolverKernels::CUDAAdvectQUICKvelocity(DeviceGrid& dudt, DeviceGrid& dvdt, float dx) {
    if (dudt.empty()) return true;
    KernelLaunch l(functions_[kVelocity], kBlock2D);
    l.i32(pitchOf(dudt)).i32(int(dudt.width())).i32(int(dudt.height())).f32(-1.0f / dx);
    l.pointer(dudt).pointer(dvdt).pointer(pointerOf(u_)).pointer(pointerOf(v_));
    return run(driver_, l, dudt.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKvelocity: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAAdvectQUICKvelocitySolid(DeviceGrid& dudt, DeviceGrid& dvdt,
                                                 const DeviceGrid& mask, float dx) {
    if (dudt.empty()) return true;
    KernelLaunch l(functions_[kVelocitySolid], kBlock2D);
    l.i32(pitchOf(dudt)).i32(int(dudt.width())).i32(int(dudt.height())).f32(-1.0f / dx);
    l.pointer(dudt).pointer(dvdt).pointer(pointerOf(u_)).pointer(pointerOf(v_)).pointer(mask);
    return run(driver_, l, dudt.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKvelocitySolid: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAAdvectQUICKconservative(DeviceGrid& dqdt, const DeviceGrid& q, float dx) {
    if (dqdt.empty()) return true;
    KernelLaunch l(functions_[kConservative], kBlock2D);
    l.i32(pitchOf(q)).i32(int(q.width())).i32(int(q.height())).f32(-1.0f / dx).pointer(dqdt);
    l.pointer(pointerOf(u_)).pointer(pointerOf(v_)).pointer(q);
    return run(driver_, l, q.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKconservative: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAAdvectQUICKconservativeSolid(DeviceGrid& dqdt, const DeviceGrid& q,
                                                     const DeviceGrid& mask, float dx) {
    if (dqdt.empty()) return true;
    KernelLaunch l(functions_[kConservativeSolid], kBlock2D);
    l.i32(pitchOf(q)).i32(int(q.width())).i32(int(q.height())).f32(-1.0f / dx).pointer(dqdt);
    l.pointer(pointerOf(u_)).pointer(pointerOf(v_)).pointer(q).pointer(mask);
    return run(driver_, l, q.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKconservativeSolid: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAAdvectQUICKClamp(DeviceGrid& dqdt, const DeviceGrid& q, float dx) {
    if (dqdt.empty()) return true;
    KernelLaunch l(functions_[kClamp], kBlock2D);
    l.i32(pitchOf(q)).i32(int(q.width())).i32(int(q.height())).f32(-0.5f / dx).pointer(dqdt);
    l.pointer(pointerOf(u_)).pointer(pointerOf(v_)).pointer(q);
    return run(driver_, l, q.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKClamp: Failed to launch CUDA kernel");
}

bool SolverKernels::CUDAAdvectQUICKClampSolid(DeviceGrid& dqdt, const DeviceGrid& q,
                                              const DeviceGrid& mask, float dx) {
    if (dqdt.empty()) return true;
    KernelLaunch l(functions_[kClampSolid], kBlock2D);
    l.i32(pitchOf(q)).i32(int(q.width())).i32(int(q.height())).f32(-0.5f / dx).pointer(dqdt);
    l.pointer(pointerOf(u_)).pointer(pointerOf(v_)).pointer(q).pointer(mask);
    return run(driver_, l, q.launchGrid2D(kBlock2D.x, kBlock2D.y),
               "CUDAAdvectQUICKClampSolid: Failed to launch CUDA kernel");
}

}  // namespace skv
