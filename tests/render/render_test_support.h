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

    // The grid of a field (added, all 0, when absent). Interior cell (x, y) is grid(x + 1, y + 1).
    FloatGrid& grid(uint32_t type);
    // Interior cell (x, y) of a field.
    float& at(uint32_t type, uint32_t x, uint32_t y) { return grid(type)(x + 1, y + 1); }
    // Every cell of the padded grid, border included.
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
    void remove(uint32_t type) { grids_[type].reset(); }

    FrameFields fields() const;

  private:
    uint32_t gw_, gh_;
    std::array<std::unique_ptr<FloatGrid>, 24> grids_;
};

// Settings that show each field plainly: the default ramps, "Source" alpha.
RenderSettings plainSettings(int32_t mode);

// Renders at the grid's own size (the final resample is then a copy).
FloatImage renderAtGridSize(Renderer& renderer, const TestFrame& frame,
                            const RenderSettings& settings, const FloatImage* texture = nullptr);

// A texture whose texel (x, y) is (x / (w − 1), y / (h − 1), ((x + y) % 3) / 2, 1): every texel
// differs from its neighbours, so a shifted or filtered read shows.
FloatImage rampTexture(uint32_t width, uint32_t height);

// Largest absolute channel difference; infinity when the sizes differ.
float maxDifference(const FloatImage& a, const FloatImage& b);

// True when every channel of every pixel is a finite number.
bool allFinite(const FloatImage& image);

// Pixel as an array, for EXPECT_EQ-style comparisons.
std::array<float, 4> pixelAt(const FloatImage& image, uint32_t x, uint32_t y);

// Image I/O for the golden tests. PNG files hold 8-bit straight RGBA.
bool writeImageFile(const std::string& path, const FloatImage& image);
bool readImageFile(const std::string& path, FloatImage& image);

// Compares `image` with the golden file `name`.png within `tolerance` per channel. On a
// difference (or a missing golden file) the image and an amplified difference image are
// written to the test output folder and the failure says where. With SKV_UPDATE_GOLDEN=1 in
// the environment the golden file is rewritten instead.
::testing::AssertionResult matchesGolden(const std::string& name, const FloatImage& image,
                                         float tolerance);

}  // namespace skv::test
