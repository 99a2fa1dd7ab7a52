#pragma once

#include <cstdint>
#include <string>

namespace skv {

// Throughput of the device's pressure sweeps, measured in one process against a device copy
// kernel, so that the fraction of the memory bandwidth holds across devices. Field names are
// the keys of the bench command's JSON output.
struct DeviceSolverBenchmark {
    uint32_t size = 0;            // simulation resolution: size × size interior cells
    double sweeps_per_s = 0.0;    // plain red-black sweeps (one launch per colour)
    double sweep_gbps = 0.0;      // sweeps × 24 bytes per cell, the CPU figure's accounting
    double copy_gbps = 0.0;       // the field module's y = 1·x over the same grid: read + write
    double copy_fraction = 0.0;   // sweep_gbps / copy_gbps
    double residual_per_s = 0.0;  // residual evaluations (matrix, axpy, reduction) per second
    bool bit_identical = false;   // the device's sweeps give the CPU's plain sweeps' bits
    std::string error;            // why nothing was measured (no device, set-up failed)
};

// Measures on the process CUDA device, which must be available; enables CUDA for the duration
// and holds its own context guard. Kinds of work take turns, `rounds` trials of about
// `trialSeconds` each, and each figure is the best trial of its kind.
DeviceSolverBenchmark runDeviceSolverBenchmark(uint32_t size = 2048, double trialSeconds = 0.15,
                                               int rounds = 5);

}  // namespace skv
