#include "render/render_frame.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <vector>

#include "grid_test_support.h"
#include "render_test_support.h"

namespace skv {
namespace {

using test::pixelAt;
using test::TestFrame;
using Pixel = std::array<float, 4>;
using T = FrameFields;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// Density, temperature, fuel, u, v, texture u and v, red, green, blue, alpha.
constexpr uint32_t kAllTypes[] = {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13};

// A channel of NaN in an expected pixel is not checked.
void expectPixelNear(const Pixel& actual, const Pixel& expected, float tolerance = 1e-6f) {
    for (size_t c = 0; c < 4; ++c)
        if (!std::isnan(expected[c])) {
            EXPECT_NEAR(actual[c], expected[c], tolerance) << "ch " << c;
        }
}

// Every field of one grid cell; a frame holds all of them, 0 where a case leaves them out.
struct Cell {
    float d = 0, t = 0, f = 0, r = 0, g = 0, b = 0, a = 0, u = 0, v = 0, tu = 0, tv = 0;
};

TestFrame rowOfCells(const std::vector<Cell>& cells) {
    TestFrame frame(uint32_t(cells.size()), 1);
    for (uint32_t type : kAllTypes)
        frame.fill(type, 0.0f);
    for (uint32_t x = 0; x < cells.size(); ++x) {
        const Cell& c = cells[x];
        const float values[] = {c.d, c.t, c.f, c.u, c.v, c.tu, c.tv, c.r, c.g, c.b, c.a};
        for (size_t i = 0; i < std::size(kAllTypes); ++i)
            frame.at(kAllTypes[i], x, 0) = values[i];
    }
    return frame;
}

enum Ramps { kDefault, kTemperatureOnly, kTwoStops };

void applyRamps(Ramps ramps, RenderSettings& s) {
    if (ramps == kTemperatureOnly) {
        s.temperatureColors = ColorRamp();
        s.temperatureColors.addStop({0, 0, 0, 0}, 0.0f);
        s.temperatureColors.addStop({1, 1, 1, 1}, 1.0f);
        s.densityColors = s.fuelColors = ColorRamp();
    } else if (ramps == kTwoStops) {
        s.densityColors = ColorRamp();
        s.densityColors.addStop({1, 0, 0, 1}, 0.25f);
        s.densityColors.addStop({0, 1, 0, 1}, 0.75f);
    }
}

TEST(FrameFields, TakesGridsByTypeAndLeavesOutGridsOfAnotherSize) {
    FloatGrid density(6, 5), wrong(7, 5), u(6, 5), tiny(2, 9);
    const FloatGrid* grids[24] = {};
    grids[T::kDensityType] = &density;
    grids[T::kFuelType] = &wrong;
    grids[T::kVelocityUType] = &u;
    const FrameFields f = FrameFields::fromGrids(grids, 24);
    EXPECT_EQ(f.width, 4u);
    EXPECT_EQ(f.height, 3u);
    EXPECT_EQ(f.density, density.data());
    EXPECT_EQ(f.u, u.data());
    EXPECT_EQ(f.fuel, nullptr);
    EXPECT_EQ(f.leftOut, 1u);
    grids[T::kDensityType] = &tiny;  // too small for an interior
    EXPECT_EQ(FrameFields::fromGrids(grids, T::kDensityType + 1).width, 0u);
}

// What each mode shows of a row of cells. In the source modes temperatures are normalised by
// the mean magnitude of the non-zero ones: t = T / (|T| + mean).
TEST(RenderModes, EachModeShowsItsFieldsThroughItsRampsAndAlphaRule) {
    using Cells = std::vector<std::pair<Cell, Pixel>>;  // a cell and what it shows
    struct Case {
        struct {
            const char* what;
            int32_t mode, alphaMode;
            float falloff = 0.0f;
            Ramps ramps = kDefault;
        } setup;
        Cells cells;
    };
    // Temperatures 100 and 300: mean 200, t = 1/3 and 0.6. Only alpha is checked.
    const auto mixed = [](float a0, float a1) {
        return Cells{{{.d = 0.2f, .t = 100, .f = 0.1f}, {kNaN, kNaN, kNaN, a0}},
                     {{.d = 0.1f, .t = 300, .f = 0.3f}, {kNaN, kNaN, kNaN, a1}},
                     {{}, {kNaN, kNaN, kNaN, 0}}};
    };
    const auto faint = [](float temperatureAlpha) {
        return Cells{{{.d = 0.001f}, {kNaN, kNaN, kNaN, 1}},
                     {{.t = 20}, {kNaN, kNaN, kNaN, temperatureAlpha}},
                     {{.f = 1e-6f}, {kNaN, kNaN, kNaN, 1}},
                     {{}, {kNaN, kNaN, kNaN, 0}}};
    };
    const float t0 = 1.0f / 3.0f, t1 = 0.6f, falloff = 0.5f;
    const auto fade = [&](float m) {
        return m > falloff ? 1.0f : 1.0f - ((falloff - m) / falloff) * ((falloff - m) / falloff);
    };
    const float k = 350.0f / 3.0f;  // mean of 100, 300 and −50
    const float m = 20.0f;          // the default "Max. Velocity"
    const Case cases[] = {
        {{"fire/smoke: density grey plus fuel blue, clamped", kRenderFireSmoke, kAlphaSource},
         {{{}, {0, 0, 0, 0}},
          {{.d = 0.25f}, {0.25f, 0.25f, 0.25f, 0.25f}},
          {{.d = 0.25f, .f = 0.5f}, {0.25f, 0.25f, 0.75f, 0.75f}},
          {{.d = 0.75f, .f = 0.5f}, {0.75f, 0.75f, 1, 1}},
          {{.d = 1.5f, .f = 2}, {1, 1, 1, 1}},
          {{.d = -0.5f, .f = 0.3f}, {0, 0, 0.3f, 0.3f}},
          {{.d = kNaN, .f = kNaN}, {0, 0, 0, 0}}}},
        {{"all, source", kRenderAllSources, kAlphaSource, falloff}, mixed(0.2f + t0 + 0.1f, 1)},
        {{"all, maximum", kRenderAllSources, kAlphaMaximum, falloff}, mixed(t0, t1)},
        {{"all, opaque", kRenderAllSources, kAlphaOpaque, falloff}, mixed(fade(t0), fade(t1))},
        {{"fire/smoke, source", kRenderFireSmoke, kAlphaSource, falloff}, mixed(0.3f, 0.4f)},
        {{"fire/smoke, maximum", kRenderFireSmoke, kAlphaMaximum, falloff}, mixed(0.2f, 0.3f)},
        {{"fire/smoke, opaque", kRenderFireSmoke, kAlphaOpaque, falloff},
         mixed(fade(0.2f), fade(0.3f))},
        {{"stylized, source", kRenderStylizedFire, kAlphaSource, falloff}, mixed(0.2f, 0.1f)},
        {{"stylized, maximum", kRenderStylizedFire, kAlphaMaximum, falloff}, mixed(0.2f, 0.3f)},
        {{"stylized, opaque", kRenderStylizedFire, kAlphaOpaque, falloff},
         mixed(fade(0.2f), fade(0.3f))},
        // Zero falloff: all or nothing; temperature counts in "All Sources" only.
        {{"all, opaque, no falloff", kRenderAllSources, kAlphaOpaque}, faint(1)},
        {{"fire/smoke, opaque, no falloff", kRenderFireSmoke, kAlphaOpaque}, faint(0)},
        {{"stylized, opaque, no falloff", kRenderStylizedFire, kAlphaOpaque}, faint(0)},
        {{"temperature through its mean magnitude; negative clamps to 0", kRenderAllSources,
          kAlphaSource, 0, kTemperatureOnly},
         {{{.t = 100}, {100 / (100 + k), kNaN, kNaN, kNaN}},
          {{.t = 300}, {300 / (300 + k), kNaN, kNaN, kNaN}},
          {{.t = -50}, {0, kNaN, kNaN, kNaN}},
          {{}, {0, kNaN, kNaN, kNaN}}}},
        {{"two-stop ramp at, between and beyond its stops", kRenderFireSmoke, kAlphaSource, 0,
          kTwoStops},
         {{{.d = 0}, {1, 0, 0, 0}},
          {{.d = 0.25f}, {1, 0, 0, 0.25f}},
          {{.d = 0.5f}, {0.5f, 0.5f, 0, 0.5f}},
          {{.d = 0.75f}, {0, 1, 0, 0.75f}},
          {{.d = 0.9f}, {0, 1, 0, 0.9f}}}},
        {{"colour fields, clamped", kRenderColor, kAlphaSource},
         {{{.r = 0.5f, .g = 0.25f, .b = 1, .a = 0.75f}, {0.5f, 0.25f, 1, 0.75f}},
          {{.r = 2, .g = -1, .b = kNaN, .a = 0.5f}, {1, 0, 0, 0.5f}}}},
        {{"velocity around mid-grey", kRenderVelocity, kAlphaSource},
         {{{}, {0.5f, 0.5f, 0, 1}},
          {{.u = m}, {1, 0.5f, 0, 1}},
          {{.v = m}, {0.5f, 0, 0, 1}},
          {{.v = -m / 2}, {0.5f, 0.75f, 0, 1}},
          {{.u = 10 * m, .v = -10 * m}, {1, 1, 0, 1}},
          {{.u = kNaN, .v = kInf}, {0, 0, 0, 1}}}},
        // Texel (x, y) = (x / 4, y / 2, ((x + y) % 3) / 2, 1); the last cell is between four.
        {{"texture at the clamped coordinates", kRenderTexture, kAlphaSource},
         {{{}, {0, 0, 0, 1}},
          {{.tu = 1, .tv = 1}, {1, 1, 0, 1}},
          {{.tu = 0.5f, .tv = 0.5f}, {0.5f, 0.5f, 0, 1}},
          {{.tu = -3, .tv = 7}, {0, 1, 1, 1}},
          {{.tu = 0.125f, .tv = 0.25f}, {0.125f, 0.25f, 0.5f, 1}}}},
    };
    const FloatImage texture = test::rampTexture(5, 3);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.setup.what);
        std::vector<Cell> cells;
        for (const auto& cell : k.cells)
            cells.push_back(cell.first);
        RenderSettings s = test::plainSettings(k.setup.mode);
        s.alphaMode = k.setup.alphaMode;
        s.alphaFalloff = k.setup.falloff;
        // Velocity is 0 but in the velocity mode, which is never blurred: nothing may smear.
        s.motionBlur = 3.0f;
        applyRamps(k.setup.ramps, s);
        Renderer renderer;
        const FloatImage out = test::renderAtGridSize(renderer, rowOfCells(cells), s, &texture);
        EXPECT_TRUE(test::allFinite(out));
        for (uint32_t x = 0; x < cells.size(); ++x) {
            SCOPED_TRACE(testing::Message() << "cell " << x);
            expectPixelNear(pixelAt(out, x, 0), k.cells[x].second);
        }
    }
}

// Refraction reads the texture where the velocity displaces it, at the level of detail its
// stretch asks for: still flow shows the texture (or, at twice the grid's size, the 2 × 2
// averages of the next level); uniform flow shifts it, the edge texels repeating beyond it.
TEST(RenderModes, RefractionDisplacesTheTextureAtItsLevelOfDetail) {
    Renderer renderer;
    const auto refract = [&](const FloatImage& texture, uint32_t w, uint32_t h, float u, float v,
                             float scale) {
        TestFrame frame(w, h);
        frame.fill(T::kVelocityUType, u);
        frame.fill(T::kVelocityVType, v);
        RenderSettings s = test::plainSettings(kRenderRefractedTexture);
        s.refractionScale = scale;
        return test::renderAtGridSize(renderer, frame, s, &texture);
    };
    const FloatImage same = test::rampTexture(12, 8);
    EXPECT_EQ(test::maxDifference(refract(same, 12, 8, 0, 0, 1.0f), same), 0.0f);

    const FloatImage twice = test::rampTexture(16, 8);
    const FloatImage level = refract(twice, 8, 4, 0, 0, 1.0f);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 4; ++c) {
                const auto at = [&](uint32_t tx, uint32_t ty) { return twice.pixel(tx, ty)[c]; };
                const float box = 0.25f * ((at(2 * x, 2 * y) + at(2 * x + 1, 2 * y)) +
                                           (at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1)));
                ASSERT_NEAR(level.pixel(x, y)[c], box, 1e-6f) << x << ", " << y << " ch " << c;
            }

    const FloatImage square = test::rampTexture(10, 10);
    const FloatImage shifted = refract(square, 10, 10, 4.0f, -2.0f, 0.5f);  // by (2, −1)
    for (uint32_t y = 1; y < 10; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            expectPixelNear(pixelAt(shifted, x, y), pixelAt(square, x + 2, y - 1));
    expectPixelNear(pixelAt(shifted, 9, 0), pixelAt(square, 9, 0));
}

TEST(RenderFailures, MissingFieldsOrInvalidModesGiveTransparentBlack) {
    struct Case {
        int32_t mode, alphaMode;
        std::vector<uint32_t> fields;
        bool withTexture;
    };
    const std::vector<uint32_t> all(std::begin(kAllTypes), std::end(kAllTypes));
    const Case cases[] = {
        {kRenderAllSources, kAlphaSource, {}, true},
        {kRenderStylizedFire, kAlphaSource, {T::kVelocityUType, T::kRedType}, false},
        {kRenderColor, kAlphaSource, {T::kRedType, T::kGreenType, T::kBlueType}, false},
        {kRenderTexture, kAlphaSource, {T::kTextureUType, T::kTextureVType}, false},
        {kRenderTexture, kAlphaSource, {T::kTextureUType}, true},
        {kRenderRefractedTexture, kAlphaSource, {T::kVelocityUType, T::kTextureVType}, true},
        {kRenderVelocity, kAlphaSource, {T::kVelocityVType, T::kDensityType}, false},
        {-1, kAlphaSource, all, true},
        {7, kAlphaSource, all, true},
        {kRenderFireSmoke, 3, all, true},
    };
    const FloatImage texture = test::rampTexture(4, 4);
    Renderer renderer;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << k.mode << " alpha " << k.alphaMode);
        TestFrame frame(3, 3);
        for (uint32_t type : k.fields)
            frame.fill(type, 0.7f);
        FloatImage out(5, 4);
        std::fill_n(out.row(0), 20, 0.9f);
        RenderSettings s = test::plainSettings(k.mode);
        s.alphaMode = k.alphaMode;
        renderer.render(frame.fields(), k.withTexture ? &texture : nullptr, s, out);
        EXPECT_EQ(test::maxDifference(out, FloatImage(5, 4)), 0.0f);
    }
}

TEST(RenderFailures, DamagedFieldsAndExtremeSettingsNeverGiveNaN) {
    TestFrame frame(9, 7);
    const float poison[] = {kNaN, kInf, -kInf, 1e30f, -1e30f, 0.5f, 3.0f};
    uint32_t n = 0;
    for (uint32_t type : kAllTypes)
        frame.set(type, [&](uint32_t, uint32_t) { return poison[n++ % std::size(poison)]; });
    Renderer renderer;
    for (auto [tw, th] : {std::pair{16u, 16u}, {1u, 1u}, {64u, 3u}})
        for (int32_t mode = kRenderAllSources; mode <= kRenderVelocity; ++mode)
            for (int32_t alphaMode = kAlphaSource; alphaMode <= kAlphaOpaque; ++alphaMode)
                for (float extreme : {0.0f, 0.5f, kNaN, kInf}) {
                    SCOPED_TRACE(testing::Message() << "m" << mode << " a" << alphaMode << " s"
                                                    << extreme << " t" << tw);
                    const FloatImage texture = test::rampTexture(tw, th);
                    RenderSettings s = test::plainSettings(mode);
                    s.alphaMode = alphaMode;
                    s.motionBlur = s.refractionSmoothness = s.refractionScale = extreme;
                    s.alphaFalloff = s.maxVelocity = extreme;
                    FloatImage out(13, 5);
                    renderer.render(frame.fields(), &texture, s, out);
                    EXPECT_TRUE(test::allFinite(out));
                }
}

TEST(RenderOutput, RendersDoNotDependOnTheThreadCountOrEarlierFrames) {
    TestFrame frame(37, 23);
    for (uint32_t type : kAllTypes)
        test::randomize(frame.grid(type), 21 + type, type == T::kTemperatureType ? -300 : -1,
                        type == T::kTemperatureType ? 300 : 1);
    const FloatImage texture = test::rampTexture(50, 30);
    const int threads = omp_get_max_threads();
    for (int32_t mode = kRenderAllSources; mode <= kRenderVelocity; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        RenderSettings s = test::plainSettings(mode);
        s.motionBlur = 0.4f;
        FloatImage serial(61, 40), parallel(61, 40), again(61, 40);
        Renderer a, b;
        omp_set_num_threads(1);
        a.render(frame.fields(), &texture, s, serial);
        omp_set_num_threads(std::max(threads, 3));
        b.render(frame.fields(), &texture, s, parallel);
        // The same renderer after a frame of another size and mode.
        TestFrame other(5, 9);
        other.fill(T::kDensityType, 1.0f);
        b.render(other.fields(), nullptr, test::plainSettings(kRenderFireSmoke), again);
        b.render(frame.fields(), &texture, s, again);
        omp_set_num_threads(threads);
        EXPECT_EQ(test::maxDifference(serial, parallel), 0.0f);
        EXPECT_EQ(test::maxDifference(serial, again), 0.0f);
    }
}

}  // namespace
}  // namespace skv
