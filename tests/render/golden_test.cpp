// Whole renders of a hand-built frame against reviewed images in tests/render/golden/; after an
// intended change, regenerate them with SKV_UPDATE_GOLDEN=1 and look at them before committing.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "render/render_frame.h"
#include "render_test_support.h"

namespace skv {
namespace {

// Stored as 8-bit PNG and compared after the same quantisation: a tolerance of one step and a
// half absorbs last-bit differences of the maths library between machines.
constexpr float kTolerance = 1.5f / 255.0f;

// A hot plume with fuel at its foot in a swirling, rising flow; colour and texture coordinates
// that vary smoothly across the frame.
test::TestFrame goldenFrame() {
    using T = FrameFields;
    const double pi = std::numbers::pi;
    test::TestFrame f(48, 32);
    const auto plume = [](double x, double y) {
        const double dx = x - 24.0, dy = y - 17.0;
        return std::exp(-(dx * dx / 60.0 + dy * dy / 40.0));
    };
    f.set(T::kDensityType, [&](uint32_t x, uint32_t y) {
        return 1.3 * plume(x, y) + 0.2 * std::sin(x * 0.7) * plume(x, y);
    });
    f.set(T::kTemperatureType, [&](uint32_t x, uint32_t y) {
        return 900.0 * plume(x, y + 4.0) * plume(x, y + 4.0) - 5.0;
    });
    f.set(T::kFuelType, [](uint32_t x, uint32_t y) {
        const double dx = x - 24.0, dy = y - 27.0;
        return std::exp(-(dx * dx / 18.0 + dy * dy / 6.0));
    });
    f.set(T::kVelocityUType,
          [&](uint32_t x, uint32_t y) { return -12.0 * (y - 16.0) / 16.0 * plume(x, y) + 2.0; });
    f.set(T::kVelocityVType, [&](uint32_t x, uint32_t y) {
        return 12.0 * (x - 24.0) / 24.0 * plume(x, y) - 14.0 * plume(x, y + 6.0);
    });
    f.set(T::kTextureUType,
          [&](uint32_t x, uint32_t y) { return x / 47.0 + 0.06 * std::sin(2 * pi * y / 16.0); });
    f.set(T::kTextureVType,
          [&](uint32_t x, uint32_t y) { return y / 31.0 + 0.04 * std::cos(2 * pi * x / 24.0); });
    f.set(T::kRedType, [](uint32_t x, uint32_t) { return x / 47.0; });
    f.set(T::kGreenType, [](uint32_t, uint32_t y) { return y / 31.0; });
    f.set(T::kBlueType, [&](uint32_t x, uint32_t y) { return plume(x, y); });
    f.set(T::kAlphaType, [&](uint32_t x, uint32_t y) { return 0.15 + 1.5 * plume(x, y); });
    return f;
}

// A checkerboard of 8-texel squares with a colour gradient, 64 × 48.
FloatImage goldenTexture() {
    FloatImage t(64, 48);
    for (uint32_t y = 0; y < 48; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            const bool dark = ((x / 8) + (y / 8)) % 2 == 0;
            float* p = t.pixel(x, y);
            p[0] = dark ? 0.1f : 0.9f;
            p[1] = dark ? 0.2f : 0.3f + 0.6f * float(y) / 47.0f;
            p[2] = dark ? 0.5f : float(x) / 63.0f;
            p[3] = 1.0f;
        }
    return t;
}

TEST(GoldenRender, EveryModeMatchesItsReviewedImage) {
    struct Case {
        const char* name;
        int32_t mode, alphaMode;
        uint32_t width, height;  // output size
        float motionBlur = 0.0f;
    };
    const Case cases[] = {
        {"all_sources_opaque", kRenderAllSources, kAlphaOpaque, 96, 64},
        {"fire_smoke_source", kRenderFireSmoke, kAlphaSource, 96, 64},
        {"stylized_fire_maximum", kRenderStylizedFire, kAlphaMaximum, 96, 64},
        {"color_shrunk", kRenderColor, kAlphaSource, 30, 20},
        {"texture", kRenderTexture, kAlphaSource, 96, 64},
        {"refracted_texture", kRenderRefractedTexture, kAlphaSource, 96, 64},
        {"velocity", kRenderVelocity, kAlphaSource, 96, 64},
        {"fire_smoke_motion_blur", kRenderFireSmoke, kAlphaOpaque, 96, 64, 0.4f},
    };
    const test::TestFrame frame = goldenFrame();
    const FloatImage texture = goldenTexture();
    for (const Case& k : cases) {
        RenderSettings s = test::plainSettings(k.mode);
        s.alphaMode = k.alphaMode;
        s.alphaFalloff = 0.25f;
        s.motionBlur = k.motionBlur;
        s.refractionScale = 0.5f;
        s.refractionSmoothness = 2.0f;
        Renderer renderer;
        FloatImage out(k.width, k.height);
        renderer.render(frame.fields(), &texture, s, out);
        EXPECT_TRUE(test::allFinite(out)) << k.name;
        EXPECT_TRUE(test::matchesGolden(k.name, out, kTolerance));
    }
}

}  // namespace
}  // namespace skv
