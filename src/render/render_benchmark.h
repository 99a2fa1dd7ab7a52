#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skv {

// Time to render one frame in one configuration. Field names are the keys of the bench
// command's JSON output.
struct RenderBenchmark {
    std::string mode;           // render mode name, "+ blur" when motion blur is on
    double ms_per_frame = 0.0;  // best of the trials, whole render (shading, blur, resample)
    double output_mpixels_per_s = 0.0;
};

// Renders a synthetic plume (every field present, a texture of the output size) from a
// gridWidth × gridHeight grid to an outputWidth × outputHeight image in each of the seven
// modes, and in "Fire + Smoke" once more with motion blur. Each figure is the best of a few
// trials of about `trialSeconds`, after one untimed render that sizes the scratch buffers.
std::vector<RenderBenchmark> runRenderBenchmark(uint32_t gridWidth = 960, uint32_t gridHeight = 540,
                                                uint32_t outputWidth = 1920,
                                                uint32_t outputHeight = 1080,
                                                double trialSeconds = 0.2);

}  // namespace skv
