// Prints the solver benchmark as JSON lines, one per size given (default 512 and 1024).
// SKV_BENCH_ROUNDS sets the number of measuring rounds (default 7).
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "solver/solver_benchmark.h"

int main(int argc, char** argv) {
    std::vector<unsigned> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(unsigned(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty()) sizes = {512, 1024};
    const char* roundsText = std::getenv("SKV_BENCH_ROUNDS");
    const int rounds = roundsText ? std::atoi(roundsText) : 7;
    for (unsigned size : sizes) {
        const skv::SolverBenchmark r = skv::runSolverBenchmark(size, 0.15, rounds);
        std::printf(
            "{\"size\": %u, \"threads\": %d, \"naive_sweeps_per_s\": %.0f, \"sweeps_per_s\": %.0f, "
            "\"speedup\": %.2f, \"copy_gbps\": %.1f, \"naive_gbps\": %.1f, \"bit_identical\": %s, "
            "\"vcycle_naive_sweeps\": %.2f, \"cycles_to_tolerance\": %d}\n",
            r.size, omp_get_max_threads(), r.naive_sweeps_per_s, r.sweeps_per_s,
            r.sweeps_per_s / r.naive_sweeps_per_s, r.copy_gbps, r.naive_gbps,
            r.bit_identical ? "true" : "false", r.vcycle_naive_sweeps, r.cycles_to_tolerance);
        std::fflush(stdout);
    }
    return 0;
}
