#include "solver/gpu_benchmark.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "gpu/cuda_state.h"
#include "gpu/device_grid.h"
#include "gpu/field_kernels.h"
#include "gpu/solver_kernels.h"
#include "grid/float_grid.h"
#include "platform/timer.h"
#include "solver/sor.h"

namespace skv {
namespace {

constexpr int kBatch = 5;       // sweeps per launcher call, the solver's steady batch
constexpr float kOmega = 1.9f;  // a typical factor once the ramp is done
constexpr float kSigma = 2.0f;  // open domain
constexpr double kBytesPerPlainSweepCell = 24.0;

void randomize(FloatGrid& g, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

// The best rate of `work` (doing `units` per call) over trials of about `seconds`.
double bestRate(double units, double seconds, const std::function<void()>& work, double best) {
    Timer timer;
    int calls = 0;
    do {
        work();
        ++calls;
    } while (timer.elapsed() < seconds);
    return std::max(best, calls * units / timer.elapsed());
}

}  // namespace

DeviceSolverBenchmark runDeviceSolverBenchmark(uint32_t size, double trialSeconds, int rounds) {
    DeviceSolverBenchmark result;
    result.size = size;
    CudaState& cuda = CudaState::instance();
    if (!cuda.available()) {
        result.error = "no CUDA device";
        return result;
    }
    const bool enabled = cuda.enabled();
    cuda.setEnabled(true);
    {
        CudaContextGuard guard(cuda);
        const uint32_t padded = size + 2;
        FloatGrid host(padded, padded);
        DeviceGrid p, d, t, copy;
        SolverKernels& kernels = cuda.solverKernels();
        FieldKernels& field = cuda.fieldKernels();
        bool ready = p.resize(padded, padded, true) && d.resize(padded, padded, true) &&
                     t.resize(padded, padded, true) && copy.resize(padded, padded, true);
        randomize(host, 1);
        ready = ready && d.upload(host) && p.upload(host);
        ready = ready && kernels.initSolverKernels(p, p, p) && field.initFieldKernels();
        if (!ready) {
            result.error = "the device set-up failed (see the log)";
        } else {
            const double cells = double(padded) * padded;
            double sweeps = 0, copies = 0, residuals = 0;
            for (int round = 0; round < rounds; ++round) {
                sweeps = bestRate(
                    kBatch, trialSeconds,
                    [&] { kernels.CUDASORsolve2D(p, d, kBatch, kOmega, kSigma); }, sweeps);
                copies = bestRate(
                    2.0 * double(d.byteSize()) * 1e-9, trialSeconds,
                    [&] { field.ax(copy, 1.0f, d); }, copies);
                residuals = bestRate(
                    1.0, trialSeconds,
                    [&] {
                        kernels.CUDAPressureMatrixMul2D(t, kSigma);
                        field.axpy(t, -1.0f, t, d);
                        field.absMax(t);
                    },
                    residuals);
            }
            result.sweeps_per_s = sweeps;
            result.sweep_gbps = sweeps * kBytesPerPlainSweepCell * cells * 1e-9;
            result.copy_gbps = copies;
            result.copy_fraction = copies > 0 ? result.sweep_gbps / copies : 0.0;
            result.residual_per_s = residuals;

            // Bit for bit against the CPU's plain sweeps, on a grid of the same shape.
            FloatGrid start(padded, padded), divergence(padded, padded), back;
            randomize(start, 2);
            randomize(divergence, 3);
            bool same = p.upload(start) && d.upload(divergence);
            for (int count : {1, 4, 5}) {
                same = same && kernels.CUDASORsolve2D(p, d, count, kOmega, kSigma);
                sorSweepsPlain(start, divergence, count, kOmega, kSigma);
            }
            same = same && p.download(back);
            result.bit_identical =
                same && std::memcmp(back.data(), start.data(), start.byteSize()) == 0;
        }
    }
    cuda.setEnabled(enabled);
    return result;
}

}  // namespace skv
