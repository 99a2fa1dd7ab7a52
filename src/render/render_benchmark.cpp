#include "render/render_benchmark.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "grid/float_grid.h"
#include "platform/timer.h"
#include "render/render_frame.h"

namespace skv {
namespace {

constexpr int kTrials = 5;
constexpr const char* kModeNames[] = {"All Sources", "Fire + Smoke",      "Stylized Fire", "Color",
                                      "Texture",     "Refracted Texture", "Velocity"};
// Enough to smear over several cells in the swirl, as a typical setting would.
constexpr float kBenchmarkMotionBlur = 0.05f;

// A rising plume with a swirl: smooth fields of the kind a simulation leaves in the cache.
struct SyntheticFrame {
    FloatGrid grids[14];
    FrameFields fields;

    SyntheticFrame(uint32_t gw, uint32_t gh) {
        const uint32_t w = gw + 2, h = gh + 2;
        for (uint32_t type = 2; type < 14; ++type)
            grids[type].resize(w, h, 1, true);
        const double pi = std::numbers::pi;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const double sx = double(x) / w, sy = double(y) / h;
                const double dx = sx - 0.5, dy = sy - 0.6;
                const double plume = std::exp(-(dx * dx * 40 + dy * dy * 10));
                grids[FrameFields::kDensityType](x, y) = float(plume * 1.2);
                grids[FrameFields::kTemperatureType](x, y) = float(plume * 600 - 20);
                grids[FrameFields::kFuelType](x, y) =
                    float(std::exp(-(dx * dx + (sy - 0.9) * (sy - 0.9)) * 80));
                grids[FrameFields::kVelocityUType](x, y) = float(-dy * 120);
                grids[FrameFields::kVelocityVType](x, y) = float(dx * 120 - 40 * plume);
                grids[FrameFields::kTextureUType](x, y) = float(sx + 0.05 * std::sin(6 * pi * sy));
                grids[FrameFields::kTextureVType](x, y) = float(sy);
                grids[FrameFields::kRedType](x, y) = float(sx);
                grids[FrameFields::kGreenType](x, y) = float(sy);
                grids[FrameFields::kBlueType](x, y) = float(plume);
                grids[FrameFields::kAlphaType](x, y) = float(std::min(1.0, plume * 2));
            }
        const FloatGrid* byType[14] = {};
        for (uint32_t type = 2; type < 14; ++type)
            byType[type] = &grids[type];
        fields = FrameFields::fromGrids(byType, 14);
    }
};

void checkerTexture(FloatImage& texture) {
    for (uint32_t y = 0; y < texture.height(); ++y)
        for (uint32_t x = 0; x < texture.width(); ++x) {
            const float on = ((x / 32) + (y / 32)) % 2 ? 1.0f : 0.2f;
            float* p = texture.pixel(x, y);
            p[0] = on;
            p[1] = on * 0.8f;
            p[2] = 0.5f;
            p[3] = 1.0f;
        }
}

}  // namespace

std::vector<RenderBenchmark> runRenderBenchmark(uint32_t gridWidth, uint32_t gridHeight,
                                                uint32_t outputWidth, uint32_t outputHeight,
                                                double trialSeconds) {
    const SyntheticFrame frame(gridWidth, gridHeight);
    FloatImage texture(outputWidth, outputHeight);
    checkerTexture(texture);
    FloatImage output(outputWidth, outputHeight);
    Renderer renderer;
    std::vector<RenderBenchmark> results;
    // The seven modes, then "Fire + Smoke" with motion blur.
    for (int run = 0; run <= kRenderVelocity + 1; ++run) {
        RenderSettings settings;
        settings.alphaMode = kAlphaOpaque;
        if (run <= kRenderVelocity) {
            settings.renderMode = run;
        } else {
            settings.renderMode = kRenderFireSmoke;
            settings.motionBlur = kBenchmarkMotionBlur;
        }
        renderer.render(frame.fields, &texture, settings, output);
        double best = 1e30;
        for (int trial = 0; trial < kTrials; ++trial) {
            Timer timer;
            int frames = 0;
            do {
                renderer.render(frame.fields, &texture, settings, output);
                ++frames;
            } while (timer.elapsed() < trialSeconds);
            best = std::min(best, timer.elapsed() / frames);
        }
        RenderBenchmark r;
        r.mode = kModeNames[settings.renderMode];
        if (settings.motionBlur > 0.0f) r.mode += " + blur";
        r.ms_per_frame = best * 1e3;
        r.output_mpixels_per_s = double(outputWidth) * outputHeight / best * 1e-6;
        results.push_back(r);
    }
    return results;
}

}  // namespace skv
