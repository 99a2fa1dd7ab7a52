#pragma once

// Hand-built frames and image helpers for the renderer's tests.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "grid/float_grid.h"
#include "render/float_image.h"
#include "render/render_frame.h"

namespace skv::test {

// A frame of padded grids (gw + 2) × (gh + 2), each field added on demand and all 0 at first.
class TestFrame {
  public:
    TestFrame(uint32_t gw, uint32_t gh) : gw_(gw), gh_(gh) {}
    uint32_t width() const { return gw_; }
    uint32_t height() const { return gh_; }
    FloatGrid& grid(uint32_t type);  // added, all 0, when absent
    // Interior cell (x, y) of a field.
    float& at(uint32_t type, uint32_t x, uint32_t y) { return grid(type)(x + 1, y + 1); }
    void fill(uint32_t type, float value) { grid(type).fill(value); }
    // Interior cell (x, y) = f(x, y); the border copies its neighbours.
    template <class F>
    void set(uint32_t type, F&& f) {
        FloatGrid& g = grid(type);
        for (uint32_t y = 0; y < gh_; ++y)
            for (uint32_t x = 0; x < gw_; ++x)
                g(x + 1, y + 1) = float(f(x, y));
        g.copyBorder();
    }
    FrameFields fields() const {
        const FloatGrid* byType[24] = {};
        for (uint32_t type = 0; type < 24; ++type)
            byType[type] = grids_[type].get();
        return FrameFields::fromGrids(byType, 24);
    }

  private:
    uint32_t gw_, gh_;
    std::array<std::unique_ptr<FloatGrid>, 24> grids_;
};

// The default ramps and "Source" alpha.
inline RenderSettings plainSettings(int32_t mode) {
    RenderSettings s;
    s.renderMode = mode;
    s.alphaMode = kAlphaSource;
    return s;
}

// Renders at the grid's own size (the final resample is then a copy).
inline FloatImage renderAtGridSize(Renderer& renderer, const TestFrame& frame,
                                   const RenderSettings& settings,
                                   const FloatImage* texture = nullptr) {
    FloatImage out(frame.width(), frame.height());
    renderer.render(frame.fields(), texture, settings, out);
    return out;
}

inline std::array<float, 4> pixelAt(const FloatImage& image, uint32_t x, uint32_t y) {
    const float* p = image.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

// Texel (x, y) = (x / (w − 1), y / (h − 1), ((x + y) % 3) / 2, 1): every texel differs from its
// neighbours, so a shifted or filtered read shows.
FloatImage rampTexture(uint32_t width, uint32_t height);
// Largest absolute channel difference; infinity when the sizes differ or a NaN meets a number.
float maxDifference(const FloatImage& a, const FloatImage& b);
bool allFinite(const FloatImage& image);

// Compares `image` with the 8-bit golden file `name`.png within `tolerance` per channel, writing
// it to the test output folder on a difference; SKV_UPDATE_GOLDEN=1 rewrites the golden instead.
::testing::AssertionResult matchesGolden(const std::string& name, const FloatImage& image,
                                         float tolerance);

}  // namespace skv::test
