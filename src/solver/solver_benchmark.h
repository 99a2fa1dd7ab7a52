#pragma once

#include <cstddef>
#include <cstdint>

namespace skv {

// Throughput of the pressure solvers, measured in one process so that the ratios are stable
// across machines. Field names are the keys of the bench command's JSON output.
struct SolverBenchmark {
    uint32_t size = 0;                 // simulation resolution: size × size interior cells
    int rounds = 0;                    // rounds of alternating trials
    double naive_sweeps_per_s = 0.0;   // plain red-black sweeps (one pass per colour), best round
    double sweeps_per_s = 0.0;         // the solver's sweeps within a solve (residual norms
                                       // of every batch included), best round
    double speedup = 0.0;              // solver over plain sweeps: the median of the rounds
    double copy_gbps = 0.0;            // a parallel copy of one grid: bytes read + written (the
                                       // grid may sit in the processor's caches)
    double copy_dram_gbps = 0.0;       // the same copy of buffers far larger than the caches
    double naive_gbps = 0.0;           // plain sweeps × 24 bytes per cell (two passes, each
                                       // reading p and d and writing p)
    bool bit_identical = false;        // the solver gives the plain order's bits
    double vcycle_naive_sweeps = 0.0;  // one multigrid cycle in plain sweeps: median of rounds
    int cycles_to_tolerance = 0;       // closed-domain cycles to reach 0.01 (-1: not within 50)
};

// Measures at size × size with the current OpenMP thread count. The kinds of work take turns,
// one trial of about `trialSeconds` each per round, over `rounds` rounds; rates are the best
// round, ratios the median of the rounds' ratios. The memory copy moves `dramCopyBytes` each
// way. Takes about 5 × rounds × trialSeconds, plus the checks.
SolverBenchmark runSolverBenchmark(uint32_t size = 1024, double trialSeconds = 0.15, int rounds = 7,
                                   size_t dramCopyBytes = size_t(256) << 20);

}  // namespace skv
