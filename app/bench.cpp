#include "bench.h"

#include <omp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "cache/codec_benchmark.h"
#include "engine/reference_scenes.h"
#include "engine/simulation.h"
#include "gpu/cuda_state.h"
#include "grid/memory_traffic.h"
#include "platform/files.h"
#include "render/render_benchmark.h"
#include "solver/gpu_benchmark.h"
#include "solver/solver_benchmark.h"

namespace skv::app {
namespace {

using Json = nlohmann::ordered_json;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

Json loadAverage() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return nullptr;
    return {load[0], load[1], load[2]};
}

// One scene at one size: `warmup` frames, then at least `frames` measured, more until
// `seconds` have passed (a frame of a small grid takes a millisecond, which the machine's
// noise would swamp). With `threads` > 0 the simulation runs with that many OpenMP threads;
// the process CPU time is measured too.
Json runScene(const ReferenceSceneName& scene, uint32_t size, int warmup, int frames,
              double seconds, int threads = 0) {
    const int previousThreads = omp_get_max_threads();
    if (threads > 0) omp_set_num_threads(threads);
    Simulation sim;
    sim.frameStore().setMemoryBudget(kEffectDefaultRamCacheBytes);
    sim.parameters() = effectDefaultParameters();
    sim.resize(size, size, true);
    paintReferenceScene(sim, scene.scene);
    sim.setCurrentTime(TimeCursor{Rational(0, 1), Rational(1, 24)});
    sim.setFrameDuration(Rational(1, 24));
    for (int f = 0; f < warmup; ++f)
        sim.update(nullptr);

    double advection = 0, vorticity = 0, pressure = 0, total = 0;
    int substeps = 0, iterations = 0;
    const double cpuStart = processCpuSeconds();
    const uint64_t trafficStart = trafficBytes();
    constexpr int kMaxFrames = 1000;
    int measured = 0;
    for (; measured < frames || (total < seconds && measured < kMaxFrames); ++measured) {
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
    const double cpu = processCpuSeconds() - cpuStart;
    const double traffic = double(trafficBytes() - trafficStart);
    omp_set_num_threads(previousThreads);
    Json j;
    j["name"] = scene.name;
    j["size"] = size;
    j["warmup_frames"] = warmup;
    j["frames"] = measured;
    j["device"] = sim.solver()->onGpu() ? "gpu" : "cpu";
    j["cell_substeps_per_s"] = double(size) * size * substeps / total;
    j["substeps_per_frame"] = double(substeps) / measured;
    j["seconds_per_frame"] = total / measured;
    j["cpu_seconds_per_frame"] = cpu / measured;
    j["phase_seconds"] = {
        {"advection", advection / measured},
        {"vorticity", vorticity / measured},
        {"pressure", pressure / measured},
        {"other", std::max(0.0, total - advection - vorticity - pressure) / measured}};
    j["pressure_iterations"] = substeps ? double(iterations) / substeps : 0.0;
    // What the host passes counted as they ran (the device's are not counted).
    if (!sim.solver()->onGpu() && substeps > 0) {
        const double gridBytes = double(sim.solver()->output(kOutputVelocityU)->byteSize());
        j["traffic_bytes_per_substep"] = traffic / substeps;
        j["grid_passes_per_substep"] = traffic / substeps / gridBytes;
        j["traffic_gbps"] = traffic / total * 1e-9;
    }
    return j;
}

// Processes that keep one processor each busy for as long as they live, as other programs
// on the machine do (a compositing host rendering beside the simulation).
class BusyProcesses {
  public:
    explicit BusyProcesses(int count) {
        for (int k = 0; k < count; ++k) {
            const pid_t child = fork();
            if (child == 0) {
                volatile uint64_t spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (child > 0) children_.push_back(child);
        }
    }
    ~BusyProcesses() {
        for (const pid_t child : children_) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    int count() const { return int(children_.size()); }

  private:
    std::vector<pid_t> children_;
};

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
    out["processors"] = omp_get_num_procs();
    out["load_average_start"] = loadAverage();
    out["gpu"] = CudaState::instance().available() ? CudaState::instance().deviceName() : "";
    std::vector<uint32_t> sizes =
        options.quick ? std::vector<uint32_t>{64, 128} : std::vector<uint32_t>{256, 512, 1024};
    if (options.size) sizes = {options.size};

    say("%-14s %6s %6s %16s %9s %9s %9s %9s %9s %9s %8s\n", "scene", "size", "device",
        "cell-substeps/s", "steps/fr", "s/frame", "1t cpu s", "advect", "vortic", "pressure",
        "iters");
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
                Json j = runScene(scene, size, warmup, frames, options.quick ? 0.0 : 0.25);
                // The same frames on one thread: the work itself, without the second thread's
                // share or its waiting.
                if (!device) {
                    const Json single =
                        runScene(scene, size, warmup, j["frames"].get<int>(), 0.0, 1);
                    j["single_thread_seconds_per_frame"] = single["seconds_per_frame"];
                    j["single_thread_cpu_seconds_per_frame"] = single["cpu_seconds_per_frame"];
                }
                const double seconds = j["seconds_per_frame"].get<double>();
                const auto share = [&](const char* phase) {
                    return 100.0 * j["phase_seconds"][phase].get<double>() / seconds;
                };
                say("%-14s %6u %6s %16.3e %9.1f %9.4f %9.4f %8.0f%% %8.0f%% %8.0f%% %8.1f\n",
                    scene.name, size, j["device"].get<std::string>().c_str(),
                    j["cell_substeps_per_s"].get<double>(), j["substeps_per_frame"].get<double>(),
                    seconds, j.value("single_thread_cpu_seconds_per_frame", 0.0),
                    share("advection"), share("vorticity"), share("pressure"),
                    j["pressure_iterations"].get<double>());
                out["scenes"].push_back(j);
                progress(std::string(scene.name) + " " + std::to_string(size) + "² " +
                         j["device"].get<std::string>());
            }
        }
    }
    setCudaEnabled(false);

    if (options.contention > 0) {
        // The scenes again with busy processes beside them. Fair share: with P processors and
        // T threads of ours among T + K busy ones, the simulation may expect P·T/(T + K)
        // processors where it had min(T, P) alone.
        const int threads = omp_get_max_threads(), processors = omp_get_num_procs();
        const double fair =
            std::max(1.0, double(std::min(threads, processors)) * (threads + options.contention) /
                              (double(processors) * threads));
        Json rows = Json::array();
        say("\nwith %d busy processes beside (fair slow-down %.2fx):\n", options.contention, fair);
        say("%-14s %6s %12s %12s %10s %10s\n", "scene", "size", "s/frame", "loaded", "slow-down",
            "vs fair");
        for (const Json& alone : out["scenes"]) {
            if (alone["device"] != "cpu") continue;
            const ReferenceSceneName* scene = nullptr;
            for (const ReferenceSceneName& candidate : kBenchScenes)
                if (alone["name"] == candidate.name) scene = &candidate;
            const uint32_t size = alone["size"].get<uint32_t>();
            Json loaded;
            {
                // The frames measured alone, from the same state of the flow.
                BusyProcesses busy(options.contention);
                loaded = runScene(*scene, size, alone["warmup_frames"].get<int>(),
                                  alone["frames"].get<int>(), 0.0);
            }
            const double slowdown = loaded["seconds_per_frame"].get<double>() /
                                    alone["seconds_per_frame"].get<double>();
            rows.push_back({{"name", scene->name},
                            {"size", size},
                            {"seconds_per_frame", alone["seconds_per_frame"]},
                            {"loaded_seconds_per_frame", loaded["seconds_per_frame"]},
                            {"slowdown", slowdown},
                            {"slowdown_vs_fair", slowdown / fair}});
            say("%-14s %6u %12.4f %12.4f %9.2fx %9.2fx\n", scene->name, size,
                alone["seconds_per_frame"].get<double>(), loaded["seconds_per_frame"].get<double>(),
                slowdown, slowdown / fair);
            progress(std::string(scene->name) + " " + std::to_string(size) + "² loaded");
        }
        out["contention"] = {{"busy_processes", options.contention},
                             {"processors", processors},
                             {"threads", threads},
                             {"fair_slowdown", fair},
                             {"scenes", rows}};
    }

    const uint32_t solverSize = options.quick ? 128 : 1024;
    const SolverBenchmark s = options.quick
                                  ? runSolverBenchmark(solverSize, 0.02, 3, size_t(16) << 20)
                                  : runSolverBenchmark(solverSize, 0.15, 9);
    out["sor"] = {{"size", s.size},
                  {"rounds", s.rounds},
                  {"naive_sweeps_per_s", s.naive_sweeps_per_s},
                  {"sweeps_per_s", s.sweeps_per_s},
                  {"speedup_median", s.speedup},
                  {"copy_gbps", s.copy_gbps},
                  {"copy_dram_gbps", s.copy_dram_gbps},
                  {"naive_gbps", s.naive_gbps},
                  {"naive_fraction_of_dram_copy", s.naive_gbps / s.copy_dram_gbps},
                  {"bit_identical", s.bit_identical}};
    out["multigrid"] = {{"size", s.size},
                        {"vcycle_naive_sweeps_median", s.vcycle_naive_sweeps},
                        {"cycles_to_tolerance", s.cycles_to_tolerance}};
    progress("SOR and multigrid");
    say("\nred-black SOR at %u²: plain %.0f sweeps/s (%.1f GB/s), fast %.0f sweeps/s (median "
        "%.2fx over %d rounds), bit-identical: %s\n",
        s.size, s.naive_sweeps_per_s, s.naive_gbps, s.sweeps_per_s, s.speedup, s.rounds,
        s.bit_identical ? "yes" : "NO");
    say("memory copy: %.1f GB/s of a cache-sized grid, %.1f GB/s of DRAM-sized buffers\n",
        s.copy_gbps, s.copy_dram_gbps);
    say("multigrid at %u²: one V-cycle costs %.1f plain sweeps (median); %d cycles to the "
        "tolerance\n",
        s.size, s.vcycle_naive_sweeps, s.cycles_to_tolerance);
    // The scenes' memory traffic against the bandwidth just measured.
    say("\n%-14s %6s %16s %14s %10s %14s\n", "scene", "size", "grid passes/step", "MB/sub-step",
        "GB/s", "of DRAM copy");
    for (Json& j : out["scenes"]) {
        if (!j.contains("traffic_gbps")) continue;
        j["traffic_fraction_of_dram"] = j["traffic_gbps"].get<double>() / s.copy_dram_gbps;
        say("%-14s %6u %16.1f %14.1f %10.1f %13.0f%%\n", j["name"].get<std::string>().c_str(),
            j["size"].get<uint32_t>(), j["grid_passes_per_substep"].get<double>(),
            j["traffic_bytes_per_substep"].get<double>() * 1e-6, j["traffic_gbps"].get<double>(),
            100.0 * j["traffic_fraction_of_dram"].get<double>());
    }
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
    out["load_average_end"] = loadAverage();
    if (options.json) std::printf("%s\n", out.dump(2).c_str());
    return 0;
}

}  // namespace skv::app
