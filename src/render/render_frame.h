#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "grid/float_grid.h"
#include "render/color_ramp.h"
#include "render/float_image.h"

namespace skv {

// "Render Mode" popup value − 1.
enum RenderMode : int32_t {
    kRenderAllSources = 0,
    kRenderFireSmoke = 1,
    kRenderStylizedFire = 2,
    kRenderColor = 3,
    kRenderTexture = 4,
    kRenderRefractedTexture = 5,
    kRenderVelocity = 6,
};

// "Alpha Mode" popup value − 1; used by the three source modes only.
enum AlphaMode : int32_t {
    kAlphaSource = 0,
    kAlphaMaximum = 1,
    kAlphaOpaque = 2,
};

// The render parameters of one frame. Defaults are those of the effect's parameters.
struct RenderSettings {
    int32_t renderMode = kRenderAllSources;
    int32_t alphaMode = kAlphaOpaque;
    float maxVelocity = 20.0f;          // grid cells per second shown at full saturation
    float refractionScale = 0.25f;      // texture shift in cells per cell/s of smoothed velocity
    float refractionSmoothness = 3.0f;  // σ of the velocity smoothing, in cells
    float alphaFalloff = 0.0f;          // "Opaque": the value below which alpha fades out
    float motionBlur = 0.0f;            // simulated seconds the shutter is open (0: no blur)
    ColorRamp densityColors = ColorRamp::densityDefault();
    ColorRamp temperatureColors = ColorRamp::temperatureDefault();
    ColorRamp fuelColors = ColorRamp::fuelDefault();
};

// The fields of one cached frame as the renderer reads them. Every grid present has the padded
// size (width + 2) × (height + 2): cell (x, y) of the width × height interior is at
// index(x, y) = (y + 1)·(width + 2) + x + 1. Velocity is staggered (u[i] on the face between
// cell i and its right neighbour, v[i] on the face towards the next row), in grid cells per
// second; temperatures in degrees Celsius. A field the frame does not hold is null.
struct FrameFields {
    // Grid type numbers under which the frame store keeps these fields.
    enum GridType : uint32_t {
        kDensityType = 2,
        kTemperatureType = 3,
        kFuelType = 4,
        kVelocityUType = 5,
        kVelocityVType = 6,
        kTextureUType = 8,
        kTextureVType = 9,
        kRedType = 10,
        kGreenType = 11,
        kBlueType = 12,
        kAlphaType = 13,
    };

    uint32_t width = 0;  // interior size
    uint32_t height = 0;
    const float* density = nullptr;
    const float* temperature = nullptr;
    const float* fuel = nullptr;
    const float* u = nullptr;
    const float* v = nullptr;
    const float* textureU = nullptr;
    const float* textureV = nullptr;
    const float* red = nullptr;
    const float* green = nullptr;
    const float* blue = nullptr;
    const float* alpha = nullptr;
    // Grids that fromGrids left out: the frame is damaged and must not pass for a rendered one.
    uint32_t leftOut = 0;

    size_t stride() const { return size_t(width) + 2; }
    size_t index(uint32_t x, uint32_t y) const { return (size_t(y) + 1) * stride() + x + 1; }

    // Takes the fields from grids indexed by grid type (`grids[type]`, null where absent), as
    // the frame store hands them out. The interior size comes from the first present field
    // (in the order of the members above); a grid of another size, or of a size too small to
    // have an interior, or of a depth other than 1, is left out (logged, and counted in
    // leftOut), so that a damaged frame cannot make the renderer read outside a grid.
    static FrameFields fromGrids(const FloatGrid* const* grids, uint32_t typeCount);
};

// Count, sum, minimum and maximum of the temperature values that are not 0 (non-finite values
// are left out too); mean = sum / count, all 0 when no value counts.
struct TemperatureStatistics {
    uint64_t count = 0;
    double sum = 0.0;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float mean = 0.0f;
};

// Over all width × height values of a grid, border included. `rowScratch` holds per-row
// partial results (resized to `height`; no allocation once it has that size), which are
// combined in row order so that the result does not depend on the thread count.
TemperatureStatistics temperatureStatistics(const float* temperature, uint32_t width,
                                            uint32_t height,
                                            std::vector<TemperatureStatistics>& rowScratch);

// The 4-tap half kernel k[0..3] of a Gaussian of standard deviation `sigma` (in cells),
// normalised so that k[0] + 2·(k[1] + k[2] + k[3]) = 1. A sigma that is 0, not finite or so
// small that the kernel degenerates gives the identity kernel {1, 0, 0, 0}.
std::array<float, 4> gaussianKernel(float sigma);

// Levels of the refraction mip-map pyramid of a texture `textureWidth` wide:
// max(2, floor(log2(width)) / 2), level 0 being the texture itself.
uint32_t mipLevelCount(uint32_t textureWidth);

// Turns cached frames into pixels. Owns every scratch buffer a render needs, sized on first
// use and only resized afterwards, so that rendering frames of one size allocates nothing.
// One Renderer serves one caller at a time (it is not safe to render from two threads at
// once); the per-cell passes themselves run in parallel over rows.
class Renderer {
  public:
    // Renders `frame` with `settings` into `output`, whose size the caller sets: the frame is
    // shaded at its grid size, optionally smeared along its velocity (motion blur), then
    // resampled to the output size. `texture` (may be null or empty) feeds the two texture
    // modes. A mode whose fields are missing logs "No sim data available", a render mode out of
    // range "Invalid rendering mode"; both leave `output` transparent black. No output channel
    // is ever NaN.
    void render(const FrameFields& frame, const FloatImage* texture, const RenderSettings& settings,
                FloatImage& output);

    // The statistics of the last frame rendered in a source mode with a temperature field.
    const TemperatureStatistics& lastTemperatureStatistics() const { return temperature_; }

  private:
    void shadeSources(const FrameFields& frame, const RenderSettings& settings);
    void shadeColor(const FrameFields& frame);
    void shadeTexture(const FrameFields& frame, const FloatImage& texture);
    void shadeRefraction(const FrameFields& frame, const FloatImage& texture,
                         const RenderSettings& settings);
    void shadeVelocity(const FrameFields& frame, const RenderSettings& settings);
    void buildPyramid(const FloatImage& texture, uint32_t levels);
    void smoothVelocity(const FrameFields& frame, float sigma);
    void blur(const FloatImage& source, const FrameFields& frame, float motionBlur);

    FloatImage shading_;               // grid size: source, colour and velocity modes
    FloatImage textureShading_;        // grid size: the two texture modes
    FloatImage blurTarget_;            // grid size: motion blur
    std::vector<FloatImage> pyramid_;  // refraction levels 1 and up (level 0 is the texture)
    std::array<float, 4> kernel_ = {1.0f, 0.0f, 0.0f, 0.0f};
    FloatGrid smoothTemp_;  // padded grid size: the row pass of the velocity smoothing
    FloatGrid smoothU_;
    FloatGrid smoothV_;
    std::vector<TemperatureStatistics> rowStatistics_;
    TemperatureStatistics temperature_;
};

}  // namespace skv
