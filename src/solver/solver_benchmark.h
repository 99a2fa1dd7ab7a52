#pragma once

#include <cstdint>

namespace skv {

// Throughput of the pressure solvers, measured in one process so that the ratios are stable
// across machines. Field names are the keys of the bench command's JSON output.
struct SolverBenchmark {
    uint32_t size = 0;                 // simulation resolution: size × size interior cells
    double naive_sweeps_per_s = 0.0;   // plain red-black sweeps (one pass per colour)
    double sweeps_per_s = 0.0;         // the solver's sweeps within a solve (residual norms
                                       // of every batch included)
    double copy_gbps = 0.0;            // a parallel copy of one grid: bytes read + written
    double naive_gbps = 0.0;           // plain sweeps × 24 bytes per cell (two passes, each
                                       // reading p and d and writing p)
    bool bit_identical = false;        // the solver gives the plain order's bits
    double vcycle_naive_sweeps = 0.0;  // time of one multigrid cycle / time of a plain sweep
    int cycles_to_tolerance = 0;       // closed-domain cycles to reach 0.01 (-1: not within 50)
};

// Measures at size × size with the current OpenMP thread count. The kinds of work take turns,
// one trial of about `trialSeconds` each per round, and each figure is the best trial of its
// kind over `rounds` rounds, so that a machine busy with other work skews the ratios as little
// as possible. Takes about 4 × rounds × trialSeconds, plus the checks.
SolverBenchmark runSolverBenchmark(uint32_t size = 1024, double trialSeconds = 0.15,
                                   int rounds = 7);

}  // namespace skv
