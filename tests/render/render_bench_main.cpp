// Prints the render benchmark as JSON lines, one per mode:
//   render_bench [gridWidth gridHeight outputWidth outputHeight]   (default 960 540 1920 1080)
#include <omp.h>

#include <cstdio>
#include <cstdlib>

#include "render/render_benchmark.h"

int main(int argc, char** argv) {
    unsigned size[4] = {960, 540, 1920, 1080};
    for (int i = 1; i < argc && i <= 4; ++i)
        size[i - 1] = unsigned(std::strtoul(argv[i], nullptr, 10));
    for (const skv::RenderBenchmark& r :
         skv::runRenderBenchmark(size[0], size[1], size[2], size[3])) {
        std::printf(
            "{\"grid\": \"%ux%u\", \"output\": \"%ux%u\", \"threads\": %d, \"mode\": \"%s\", "
            "\"ms_per_frame\": %.2f, \"output_mpixels_per_s\": %.1f}\n",
            size[0], size[1], size[2], size[3], omp_get_max_threads(), r.mode.c_str(),
            r.ms_per_frame, r.output_mpixels_per_s);
        std::fflush(stdout);
    }
    return 0;
}
