#pragma once

#include <string>

namespace skv::app {

struct BenchOptions {
    bool json = false;
    bool quick = false;  // small sizes and short trials (the test suite's run)
};

// Runs the reference scenes on the engine alone (no plug-in) and the solver, render and cache
// benchmarks, and prints a table or one JSON object. Returns the exit status.
int runBench(const BenchOptions& options);

}  // namespace skv::app
