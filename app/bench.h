#pragma once

#include <string>

namespace skv::app {

struct BenchOptions {
    bool json = false;
    bool quick = false;  // small sizes and short trials (the test suite's run)
    unsigned size = 0;   // only this size (0: 256, 512 and 1024)
    int contention = 0;  // the scenes again with this many busy processes beside them
};

// Runs the reference scenes on the engine alone (no plug-in) and the solver, render and cache
// benchmarks, and prints a table or one JSON object. Returns the exit status.
int runBench(const BenchOptions& options);

}  // namespace skv::app
