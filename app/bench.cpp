#include "bench.h"

#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cache/codec_benchmark.h"
#include "engine/reference_scenes.h"
#include "engine/simulation.h"
#include "gpu/cuda_state.h"
#include "platform/files.h"
#include "render/render_benchmark.h"
#include "solver/gpu_benchmark.h"
#include "solver/solver_benchmark.h"

namespace skv::app {
namespace {

using Json = nlohmann::ordered_json;

Json runScene(const ReferenceSceneName& scene, uint32_t size, int warmup, int frames) {
    Simulation sim;
    sim.parameters() = effectDefaultParameters();
    sim.resize(size, size, true);
    paintReferenceScene(sim, scene.scene);
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    for (int f = 0; f < warmup; ++f)
        sim.update(nullptr);

    double advection = 0, vorticity = 0, pressure = 0, total = 0;
    int substeps = 0, iterations = 0;
    for (int f = 0; f < frames; ++f) {
        const auto start = std::chrono::steady_clock::now();
        sim.update(nullptr);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        FluidSolver* solver = sim.solver();
        advection += solver->advectionSeconds();
        vorticity += solver->vorticitySeconds();
        pressure += solver->pressureSeconds();
        substeps += sim.stepsDone();
        iterations += solver->pressureIterations() * sim.stepsDone();
    }
    Json j;
    j["name"] = scene.name;
    j["size"] = size;
    j["device"] = sim.solver()->onGpu() ? "gpu" : "cpu";
    j["cell_substeps_per_s"] = double(size) * size * substeps / total;
    j["substeps_per_frame"] = double(substeps) / frames;
    j["seconds_per_frame"] = total / frames;
    j["phase_seconds"] = {
        {"advection", advection / frames},
        {"vorticity", vorticity / frames},
        {"pressure", pressure / frames},
        {"other", std::max(0.0, total - advection - vorticity - pressure) / frames}};
    j["pressure_iterations"] = substeps ? double(iterations) / substeps : 0.0;
    return j;
}

}  // namespace

int runBench(const BenchOptions& options) {
    const auto say = [&](const char* format, auto... args) {
        if (!options.json) {
            std::printf(format, args...);
            std::fflush(stdout);
        }
    };
    // With --json the table is not printed: progress goes to stderr as each measurement ends,
    // so that a long bench shows it is alive.
    const auto progress = [&](const std::string& what) {
        if (!options.json) return;
        std::fprintf(stderr, "bench: %s measured\n", what.c_str());
        std::fflush(stderr);
    };
    Json out;
    out["threads"] = omp_get_max_threads();
    out["gpu"] = CudaState::instance().available() ? CudaState::instance().deviceName() : "";
    std::vector<uint32_t> sizes =
        options.quick ? std::vector<uint32_t>{64, 128} : std::vector<uint32_t>{256, 512, 1024};
    if (options.size) sizes = {options.size};

    say("%-14s %6s %6s %16s %9s %9s %9s %9s %9s %8s\n", "scene", "size", "device",
        "cell-substeps/s", "steps/fr", "s/frame", "advect", "vortic", "pressure", "iters");
    out["scenes"] = Json::array();
    // Every scene on the CPU and, where a CUDA device is usable, on it too (a row whose GPU
    // set-up fell back says "cpu").
    const bool gpu = CudaState::instance().available();
    std::vector<bool> onGpu{false};
    if (gpu) onGpu.push_back(true);
    for (uint32_t size : sizes) {
        for (const ReferenceSceneName& scene : kBenchScenes) {
            for (const bool device : onGpu) {
                setCudaEnabled(device);
                const int frames = options.quick ? 2 : (size >= 1024 ? 4 : 8);
                // Measured once the flow has developed (two seconds of it): the first frames move
                // little, and their pressure solves converge at once.
                const int warmup = options.quick ? 1 : (size >= 1024 ? 32 : 48);
                const Json j = runScene(scene, size, warmup, frames);
                const double seconds = j["seconds_per_frame"].get<double>();
                const auto share = [&](const char* phase) {
                    return 100.0 * j["phase_seconds"][phase].get<double>() / seconds;
                };
                say("%-14s %6u %6s %16.3e %9.1f %9.4f %8.0f%% %8.0f%% %8.0f%% %8.1f\n", scene.name,
                    size, j["device"].get<std::string>().c_str(),
                    j["cell_substeps_per_s"].get<double>(), j["substeps_per_frame"].get<double>(),
                    seconds, share("advection"), share("vorticity"), share("pressure"),
                    j["pressure_iterations"].get<double>());
                out["scenes"].push_back(j);
                progress(std::string(scene.name) + " " + std::to_string(size) + "² " +
                         j["device"].get<std::string>());
            }
        }
    }
    setCudaEnabled(false);

    const uint32_t solverSize = options.quick ? 128 : 1024;
    const SolverBenchmark s = runSolverBenchmark(solverSize, options.quick ? 0.02 : 0.15);
    out["sor"] = {{"size", s.size},
                  {"naive_sweeps_per_s", s.naive_sweeps_per_s},
                  {"sweeps_per_s", s.sweeps_per_s},
                  {"copy_gbps", s.copy_gbps},
                  {"naive_gbps", s.naive_gbps},
                  {"bit_identical", s.bit_identical}};
    out["multigrid"] = {{"size", s.size},
                        {"vcycle_naive_sweeps", s.vcycle_naive_sweeps},
                        {"cycles_to_tolerance", s.cycles_to_tolerance}};
    progress("SOR and multigrid");
    say("\nred-black SOR at %u²: plain %.0f sweeps/s (%.1f GB/s), fast %.0f sweeps/s (%.2fx), copy "
        "%.1f GB/s, bit-identical: %s\n",
        s.size, s.naive_sweeps_per_s, s.naive_gbps, s.sweeps_per_s,
        s.sweeps_per_s / s.naive_sweeps_per_s, s.copy_gbps, s.bit_identical ? "yes" : "NO");
    say("multigrid at %u²: one V-cycle costs %.1f plain sweeps; %d cycles to the tolerance\n",
        s.size, s.vcycle_naive_sweeps, s.cycles_to_tolerance);
    if (gpu) {
        const DeviceSolverBenchmark g =
            runDeviceSolverBenchmark(options.quick ? 128 : 2048, options.quick ? 0.02 : 0.15);
        out["sor_gpu"] = {{"size", g.size},
                          {"sweeps_per_s", g.sweeps_per_s},
                          {"sweep_gbps", g.sweep_gbps},
                          {"copy_gbps", g.copy_gbps},
                          {"copy_fraction", g.copy_fraction},
                          {"residual_per_s", g.residual_per_s},
                          {"bit_identical", g.bit_identical},
                          {"error", g.error}};
        if (g.error.empty())
            say("red-black SOR on the GPU at %u²: %.0f sweeps/s (%.1f GB/s, %.0f%% of a %.1f GB/s "
                "copy), %.0f residual norms/s, "
                "bit-identical: %s\n",
                g.size, g.sweeps_per_s, g.sweep_gbps, 100.0 * g.copy_fraction, g.copy_gbps,
                g.residual_per_s, g.bit_identical ? "yes" : "NO");
        else
            say("red-black SOR on the GPU: %s\n", g.error.c_str());
    }

    out["render"] = Json::array();
    const auto renders =
        options.quick ? runRenderBenchmark(96, 54, 192, 108, 0.02) : runRenderBenchmark();
    say("\nrender %s:", options.quick ? "192x108 from 96x54" : "1920x1080 from 960x540");
    for (const RenderBenchmark& r : renders) {
        out["render"].push_back({{"mode", r.mode},
                                 {"ms_per_frame", r.ms_per_frame},
                                 {"output_mpixels_per_s", r.output_mpixels_per_s}});
        say(" %s %.1f ms;", r.mode.c_str(), r.ms_per_frame);
    }
    say("\n");
    progress("render");

    const std::string folder = makeTemporaryFolder("skvbench");
    out["cache"] = Json::array();
    if (!folder.empty()) {
        for (const CodecThroughput& c : benchmarkCodecs(folder, options.quick ? 1 : 5)) {
            out["cache"].push_back({{"codec", c.codec},
                                    {"write_mbps", c.writeMBps},
                                    {"read_mbps", c.readMBps},
                                    {"file_bytes", c.fileBytes}});
            say("frame files, codec %u: write %.0f MB/s, read %.0f MB/s, %llu bytes per 1024² "
                "frame\n",
                c.codec, c.writeMBps, c.readMBps, static_cast<unsigned long long>(c.fileBytes));
        }
        deleteTree(folder);
        progress("frame files");
    }
    if (options.json) std::printf("%s\n", out.dump(2).c_str());
    return 0;
}

}  // namespace skv::app
