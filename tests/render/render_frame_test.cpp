#include "render/render_frame.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <random>

#include "render_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

using test::pixelAt;
using test::TestFrame;
using Pixel = std::array<float, 4>;

constexpr uint32_t kD = FrameFields::kDensityType;
constexpr uint32_t kT = FrameFields::kTemperatureType;
constexpr uint32_t kF = FrameFields::kFuelType;
constexpr uint32_t kU = FrameFields::kVelocityUType;
constexpr uint32_t kV = FrameFields::kVelocityVType;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void expectPixelNear(const Pixel& actual, const Pixel& expected, float tolerance = 1e-6f) {
    for (size_t c = 0; c < 4; ++c)
        EXPECT_NEAR(actual[c], expected[c], tolerance) << "channel " << c;
}

// A ramp that returns its input in every channel: shows the normalised value itself.
ColorRamp identityRamp() {
    ColorRamp r;
    r.addStop({0, 0, 0, 0}, 0.0f);
    r.addStop({1, 1, 1, 1}, 1.0f);
    return r;
}

ColorRamp emptyRamp() {
    return ColorRamp();
}

// ---- Frame fields ----

TEST(FrameFields, TakesGridsByTypeAndDropsGridsOfAnotherSize) {
    test::freshLog();
    FloatGrid density(6, 5), temperature(6, 5), wrong(7, 5), u(6, 5);
    const FloatGrid* grids[24] = {};
    grids[kD] = &density;
    grids[kT] = &temperature;
    grids[kF] = &wrong;
    grids[kU] = &u;
    const FrameFields f = FrameFields::fromGrids(grids, 24);
    EXPECT_EQ(f.width, 4u);
    EXPECT_EQ(f.height, 3u);
    EXPECT_EQ(f.stride(), 6u);
    EXPECT_EQ(f.index(0, 0), 7u);
    EXPECT_EQ(f.density, density.data());
    EXPECT_EQ(f.temperature, temperature.data());
    EXPECT_EQ(f.fuel, nullptr);
    EXPECT_EQ(f.u, u.data());
    EXPECT_EQ(f.v, nullptr);
    EXPECT_TRUE(test::logContains("Ignoring cached grid of type 4"));

    // Too small for an interior, or no grids at all: an empty frame.
    FloatGrid tiny(2, 9);
    const FloatGrid* onlyTiny[24] = {};
    onlyTiny[kD] = &tiny;
    EXPECT_EQ(FrameFields::fromGrids(onlyTiny, 24).width, 0u);
    EXPECT_EQ(FrameFields::fromGrids(onlyTiny, 24).density, nullptr);
    EXPECT_EQ(FrameFields::fromGrids(nullptr, 0).density, nullptr);
    // A short table has no entries beyond its length.
    EXPECT_EQ(FrameFields::fromGrids(grids, kT).temperature, nullptr);
}

// ---- Source modes ----

TEST(SourceModes, FireAndSmokeWithDefaultRampsGiveDensityAndFuelClamped) {
    struct Case {
        float density, fuel;
        Pixel expected;
    };
    const Case cases[] = {
        {0.0f, 0.0f, {0, 0, 0, 0}},
        {0.25f, 0.0f, {0.25f, 0.25f, 0.25f, 0.25f}},
        {0.25f, 0.5f, {0.25f, 0.25f, 0.75f, 0.75f}},
        {0.0f, 0.4f, {0, 0, 0.4f, 0.4f}},
        {0.75f, 0.5f, {0.75f, 0.75f, 1, 1}},
        {1.5f, 2.0f, {1, 1, 1, 1}},
        {-0.5f, 0.3f, {0, 0, 0.3f, 0.3f}},
        {kNaN, kNaN, {0, 0, 0, 0}},
    };
    TestFrame frame(std::size(cases), 1);
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        frame.at(kD, i, 0) = cases[i].density;
        frame.at(kF, i, 0) = cases[i].fuel;
    }
    Renderer renderer;
    const FloatImage out =
        test::renderAtGridSize(renderer, frame, test::plainSettings(kRenderFireSmoke));
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "D " << cases[i].density << " F " << cases[i].fuel);
        expectPixelNear(pixelAt(out, i, 0), cases[i].expected);
    }
}

// Temperatures 100 and 300 in two cells, 0 elsewhere: mean of the non-zero values 200, so
// t = T / (|T| + 200) = 1/3 and 0.6.
TEST(SourceModes, AlphaModesFollowTheTableForEachMode) {
    TestFrame frame(3, 1);
    frame.at(kD, 0, 0) = 0.2f;
    frame.at(kF, 0, 0) = 0.1f;
    frame.at(kT, 0, 0) = 100.0f;
    frame.at(kD, 1, 0) = 0.1f;
    frame.at(kF, 1, 0) = 0.3f;
    frame.at(kT, 1, 0) = 300.0f;
    // Cell 2 stays empty.
    const float t0 = 1.0f / 3.0f, t1 = 0.6f;
    const float falloff = 0.5f;
    const auto fade = [&](float m) {
        return m > falloff ? 1.0f : 1.0f - ((falloff - m) / falloff) * ((falloff - m) / falloff);
    };
    struct Case {
        int32_t mode, alphaMode;
        float alpha0, alpha1;
    };
    const Case cases[] = {
        {kRenderAllSources, kAlphaSource, 0.2f + t0 + 0.1f, 0.1f + t1 + 0.3f},
        {kRenderAllSources, kAlphaMaximum, t0, t1},
        {kRenderAllSources, kAlphaOpaque, fade(t0), fade(t1)},
        {kRenderFireSmoke, kAlphaSource, 0.3f, 0.4f},
        {kRenderFireSmoke, kAlphaMaximum, 0.2f, 0.3f},
        {kRenderFireSmoke, kAlphaOpaque, fade(0.2f), fade(0.3f)},
        {kRenderStylizedFire, kAlphaSource, 0.2f, 0.1f},
        {kRenderStylizedFire, kAlphaMaximum, 0.2f, 0.3f},
        {kRenderStylizedFire, kAlphaOpaque, fade(0.2f), fade(0.3f)},
    };
    Renderer renderer;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << k.mode << " alpha mode " << k.alphaMode);
        RenderSettings s = test::plainSettings(k.mode);
        s.alphaMode = k.alphaMode;
        s.alphaFalloff = falloff;
        const FloatImage out = test::renderAtGridSize(renderer, frame, s);
        EXPECT_NEAR(out.pixel(0, 0)[3], std::min(k.alpha0, 1.0f), 1e-6f);
        EXPECT_NEAR(out.pixel(1, 0)[3], std::min(k.alpha1, 1.0f), 1e-6f);
        EXPECT_EQ(out.pixel(2, 0)[3], 0.0f);
    }
    const TemperatureStatistics& stats = renderer.lastTemperatureStatistics();
    EXPECT_EQ(stats.count, 2u);
    EXPECT_FLOAT_EQ(stats.mean, 200.0f);
}

TEST(SourceModes, TemperatureMapsThroughItsMeanMagnitude) {
    TestFrame frame(4, 1);
    const float temperatures[] = {100.0f, 300.0f, -50.0f, 0.0f};
    for (uint32_t x = 0; x < 4; ++x)
        frame.at(kT, x, 0) = temperatures[x];
    RenderSettings s = test::plainSettings(kRenderAllSources);
    s.temperatureColors = identityRamp();
    s.densityColors = emptyRamp();
    s.fuelColors = emptyRamp();
    Renderer renderer;
    const FloatImage out = test::renderAtGridSize(renderer, frame, s);
    // Non-zero values 100, 300, −50: mean 350/3.
    const float k = 350.0f / 3.0f;
    EXPECT_NEAR(out.pixel(0, 0)[0], 100.0f / (100.0f + k), 1e-6f);
    EXPECT_NEAR(out.pixel(1, 0)[0], 300.0f / (300.0f + k), 1e-6f);
    EXPECT_EQ(out.pixel(2, 0)[0], 0.0f) << "a negative temperature clamps to 0";
    EXPECT_EQ(out.pixel(3, 0)[0], 0.0f);
    const TemperatureStatistics& stats = renderer.lastTemperatureStatistics();
    EXPECT_EQ(stats.count, 3u);
    EXPECT_FLOAT_EQ(stats.minimum, -50.0f);
    EXPECT_FLOAT_EQ(stats.maximum, 300.0f);
}

TEST(SourceModes, OpaqueAlphaWithZeroFalloffIsAllOrNothing) {
    TestFrame frame(4, 1);
    frame.at(kD, 0, 0) = 0.001f;
    frame.at(kT, 1, 0) = 20.0f;
    frame.at(kF, 2, 0) = 1e-6f;
    // Cell 3 stays empty.
    Renderer renderer;
    for (int32_t mode : {kRenderAllSources, kRenderFireSmoke, kRenderStylizedFire}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        RenderSettings s = test::plainSettings(mode);
        s.alphaMode = kAlphaOpaque;
        s.alphaFalloff = 0.0f;
        const FloatImage out = test::renderAtGridSize(renderer, frame, s);
        EXPECT_EQ(out.pixel(0, 0)[3], 1.0f);
        // Temperature counts in mode 0 only; the other modes take max(D, F).
        EXPECT_EQ(out.pixel(1, 0)[3], mode == kRenderAllSources ? 1.0f : 0.0f);
        EXPECT_EQ(out.pixel(2, 0)[3], 1.0f);
        EXPECT_EQ(out.pixel(3, 0)[3], 0.0f);
        EXPECT_TRUE(test::allFinite(out));
    }
}

TEST(SourceModes, StylizedFireWithAllZeroTemperatureShowsOnlyTheFuelColours) {
    TestFrame frame(3, 1);
    frame.fill(kT, 0.0f);
    const float densities[] = {1.0f, 0.3f, 0.0f};
    for (uint32_t x = 0; x < 3; ++x) {
        frame.at(kD, x, 0) = densities[x];
        frame.at(kF, x, 0) = 0.5f;
    }
    Renderer renderer;
    const FloatImage out =
        test::renderAtGridSize(renderer, frame, test::plainSettings(kRenderStylizedFire));
    for (uint32_t x = 0; x < 3; ++x) {
        SCOPED_TRACE(testing::Message() << "cell " << x);
        // The fire ramp at 0 is opaque black; the fuel ramp at 0.5 is (0, 0, 0.5, 0.5).
        // Colour = their sum; alpha ("Source") = the density.
        expectPixelNear(pixelAt(out, x, 0), {0.0f, 0.0f, 0.5f, densities[x]});
    }
    EXPECT_EQ(renderer.lastTemperatureStatistics().count, 0u);
}

TEST(SourceModes, RampLookupsAtAndBeyondStops) {
    ColorRamp ramp;
    ramp.addStop({1, 0, 0, 1}, 0.25f);
    ramp.addStop({0, 1, 0, 1}, 0.75f);
    struct Case {
        float density;
        Pixel rgbAndDensity;
    };
    const Case cases[] = {
        {0.0f, {1, 0, 0, 0.0f}},       {0.1f, {1, 0, 0, 0.1f}},   {0.25f, {1, 0, 0, 0.25f}},
        {0.5f, {0.5f, 0.5f, 0, 0.5f}}, {0.75f, {0, 1, 0, 0.75f}}, {0.9f, {0, 1, 0, 0.9f}},
        {1.0f, {0, 1, 0, 1.0f}},
    };
    TestFrame frame(std::size(cases), 1);
    for (uint32_t i = 0; i < std::size(cases); ++i)
        frame.at(kD, i, 0) = cases[i].density;
    RenderSettings s = test::plainSettings(kRenderFireSmoke);
    s.densityColors = ramp;
    Renderer renderer;
    const FloatImage out = test::renderAtGridSize(renderer, frame, s);
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "density " << cases[i].density);
        expectPixelNear(pixelAt(out, i, 0), cases[i].rgbAndDensity);
    }

    // A one-stop ramp gives its colour everywhere; an empty ramp gives nothing.
    ColorRamp single;
    single.addStop({0.2f, 0.4f, 0.6f, 1}, 0.5f);
    s.densityColors = single;
    s.fuelColors = emptyRamp();
    const FloatImage one = test::renderAtGridSize(renderer, frame, s);
    for (uint32_t i = 0; i < std::size(cases); ++i)
        expectPixelNear(pixelAt(one, i, 0), {0.2f, 0.4f, 0.6f, cases[i].density});
}

// ---- Colour, velocity and texture modes ----

TEST(ColorMode, ShowsTheColourFieldsClamped) {
    TestFrame frame(2, 1);
    const float values[4][2] = {{0.5f, 2.0f}, {0.25f, -1.0f}, {1.0f, kNaN}, {0.75f, 0.5f}};
    const uint32_t types[4] = {FrameFields::kRedType, FrameFields::kGreenType,
                               FrameFields::kBlueType, FrameFields::kAlphaType};
    for (int c = 0; c < 4; ++c)
        for (uint32_t x = 0; x < 2; ++x)
            frame.at(types[c], x, 0) = values[c][x];
    Renderer renderer;
    const FloatImage out =
        test::renderAtGridSize(renderer, frame, test::plainSettings(kRenderColor));
    expectPixelNear(pixelAt(out, 0, 0), {0.5f, 0.25f, 1.0f, 0.75f});
    expectPixelNear(pixelAt(out, 1, 0), {1.0f, 0.0f, 0.0f, 0.5f});
}

TEST(VelocityMode, MapsVelocityAroundMidGrey) {
    struct Case {
        float u, v;
        Pixel expected;
    };
    const float m = 20.0f;  // the default "Max. Velocity"
    const Case cases[] = {
        {0.0f, 0.0f, {0.5f, 0.5f, 0, 1}},    {m, 0.0f, {1.0f, 0.5f, 0, 1}},
        {-m, 0.0f, {0.0f, 0.5f, 0, 1}},      {0.0f, m, {0.5f, 0.0f, 0, 1}},
        {0.0f, -m / 2, {0.5f, 0.75f, 0, 1}}, {10 * m, -10 * m, {1.0f, 1.0f, 0, 1}},
        {kNaN, kInf, {0.0f, 0.0f, 0, 1}},
    };
    TestFrame frame(std::size(cases), 1);
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        frame.at(kU, i, 0) = cases[i].u;
        frame.at(kV, i, 0) = cases[i].v;
    }
    RenderSettings s = test::plainSettings(kRenderVelocity);
    s.maxVelocity = m;
    s.motionBlur = 3.0f;  // never applied to this mode
    Renderer renderer;
    const FloatImage out = test::renderAtGridSize(renderer, frame, s);
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "u " << cases[i].u << " v " << cases[i].v);
        expectPixelNear(pixelAt(out, i, 0), cases[i].expected);
    }
}

TEST(TextureMode, LooksUpTheTextureAtTheClampedCoordinates) {
    const FloatImage texture = test::rampTexture(5, 3);
    TestFrame frame(5, 1);
    const float u[5] = {0.0f, 1.0f, 0.5f, -3.0f, 0.125f};
    const float v[5] = {0.0f, 1.0f, 0.5f, 7.0f, 0.25f};
    for (uint32_t x = 0; x < 5; ++x) {
        frame.at(FrameFields::kTextureUType, x, 0) = u[x];
        frame.at(FrameFields::kTextureVType, x, 0) = v[x];
    }
    Renderer renderer;
    const FloatImage out =
        test::renderAtGridSize(renderer, frame, test::plainSettings(kRenderTexture), &texture);
    expectPixelNear(pixelAt(out, 0, 0), pixelAt(texture, 0, 0));
    expectPixelNear(pixelAt(out, 1, 0), pixelAt(texture, 4, 2));
    expectPixelNear(pixelAt(out, 2, 0), pixelAt(texture, 2, 1));
    expectPixelNear(pixelAt(out, 3, 0), pixelAt(texture, 0, 2));
    // (0.5, 0.5) in texels: the mean of four texels.
    Pixel mean = {};
    for (auto [x, y] : {std::pair{0u, 0u}, {1u, 0u}, {0u, 1u}, {1u, 1u}})
        for (size_t c = 0; c < 4; ++c)
            mean[c] += 0.25f * texture.pixel(x, y)[c];
    expectPixelNear(pixelAt(out, 4, 0), mean);
}

TEST(RefractedTexture, ZeroVelocityReproducesTheTexture) {
    const FloatImage texture = test::rampTexture(12, 8);
    TestFrame frame(12, 8);
    frame.fill(kU, 0.0f);
    frame.fill(kV, 0.0f);
    Renderer renderer;
    RenderSettings s = test::plainSettings(kRenderRefractedTexture);
    s.refractionScale = 1.0f;
    const FloatImage out = test::renderAtGridSize(renderer, frame, s, &texture);
    EXPECT_EQ(test::maxDifference(out, texture), 0.0f);
}

TEST(RefractedTexture, TextureOfTwiceTheGridSizeReadsTheNextLevel) {
    // Zero velocity: stretch 1, scale factors 2, level of detail exactly 1: the 2 × 2 average.
    const FloatImage texture = test::rampTexture(16, 8);
    TestFrame frame(8, 4);
    frame.fill(kU, 0.0f);
    frame.fill(kV, 0.0f);
    Renderer renderer;
    const FloatImage out = test::renderAtGridSize(
        renderer, frame, test::plainSettings(kRenderRefractedTexture), &texture);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 4; ++c) {
                const float box =
                    0.25f *
                    ((texture.pixel(2 * x, 2 * y)[c] + texture.pixel(2 * x + 1, 2 * y)[c]) +
                     (texture.pixel(2 * x, 2 * y + 1)[c] + texture.pixel(2 * x + 1, 2 * y + 1)[c]));
                ASSERT_NEAR(out.pixel(x, y)[c], box, 1e-6f) << x << ", " << y << " channel " << c;
            }
}

TEST(RefractedTexture, UniformVelocityShiftsTheTexture) {
    // Every face moves by the same amount: no stretch, displacement (scale·u, scale·v).
    const FloatImage texture = test::rampTexture(10, 10);
    TestFrame frame(10, 10);
    frame.fill(kU, 4.0f);
    frame.fill(kV, -2.0f);
    RenderSettings s = test::plainSettings(kRenderRefractedTexture);
    s.refractionScale = 0.5f;  // shift (2, −1)
    Renderer renderer;
    const FloatImage out = test::renderAtGridSize(renderer, frame, s, &texture);
    for (uint32_t y = 1; y < 10; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            expectPixelNear(pixelAt(out, x, y), pixelAt(texture, x + 2, y - 1));
    // Beyond the texture the edge texels repeat.
    expectPixelNear(pixelAt(out, 9, 0), pixelAt(texture, 9, 0));
}

TEST(RefractedTexture, GaussianKernelIsNormalisedAndDecreasing) {
    for (float sigma : {0.5f, 1.0f, 3.0f, 10.0f, -3.0f}) {
        SCOPED_TRACE(testing::Message() << "sigma " << sigma);
        const auto k = gaussianKernel(sigma);
        EXPECT_NEAR(k[0] + 2.0f * (k[1] + k[2] + k[3]), 1.0f, 1e-6f);
        EXPECT_GT(k[0], k[1]);
        EXPECT_GT(k[1], k[2]);
        EXPECT_GT(k[2], k[3]);
        EXPECT_GT(k[3], 0.0f);
    }
    // σ = 1: the ratios of the unnormalised Gaussian.
    const auto k1 = gaussianKernel(1.0f);
    EXPECT_NEAR(k1[1] / k1[0], std::exp(-0.5f), 1e-6f);
    EXPECT_NEAR(k1[3] / k1[0], std::exp(-4.5f), 1e-6f);
    for (float degenerate : {0.0f, kNaN, kInf, 1e-40f}) {
        const std::array<float, 4> identity = {1.0f, 0.0f, 0.0f, 0.0f};
        EXPECT_EQ(gaussianKernel(degenerate), identity) << degenerate;
    }
}

TEST(RefractedTexture, PyramidLevelCount) {
    const std::pair<uint32_t, uint32_t> cases[] = {{1, 2},    {2, 2},    {15, 2},   {16, 2},
                                                   {64, 3},   {255, 3},  {256, 4},  {1024, 5},
                                                   {1920, 5}, {4096, 6}, {65536, 8}};
    for (auto [width, levels] : cases)
        EXPECT_EQ(mipLevelCount(width), levels) << width;
}

// ---- Missing data and invalid settings ----

TEST(RenderFailures, MissingFieldsGiveTransparentBlackAndALogLine) {
    struct Case {
        int32_t mode;
        std::vector<uint32_t> fields;
        bool withTexture;
    };
    const Case cases[] = {
        {kRenderAllSources, {kU, kV, FrameFields::kRedType}, false},
        {kRenderFireSmoke, {}, false},
        {kRenderStylizedFire, {kU}, false},
        {kRenderColor,
         {FrameFields::kRedType, FrameFields::kGreenType, FrameFields::kBlueType},
         false},
        {kRenderTexture, {FrameFields::kTextureUType, FrameFields::kTextureVType}, false},
        {kRenderTexture, {FrameFields::kTextureUType}, true},
        {kRenderRefractedTexture, {kU, kV}, false},
        {kRenderRefractedTexture, {kU, FrameFields::kTextureVType}, true},
        {kRenderVelocity, {kV, kD}, false},
    };
    const FloatImage texture = test::rampTexture(4, 4);
    Renderer renderer;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << k.mode << ", " << k.fields.size()
                                        << " fields, texture " << k.withTexture);
        TestFrame frame(3, 3);
        for (uint32_t type : k.fields)
            frame.fill(type, 0.7f);
        FloatImage out(5, 4);
        for (uint32_t y = 0; y < 4; ++y)
            std::fill_n(out.row(y), 20, 0.9f);
        test::freshLog();
        renderer.render(frame.fields(), k.withTexture ? &texture : nullptr,
                        test::plainSettings(k.mode), out);
        EXPECT_TRUE(test::logHasLine("No sim data available"));
        EXPECT_EQ(test::maxDifference(out, FloatImage(5, 4)), 0.0f);
    }
}

TEST(RenderFailures, AnEmptyFrameHasNoData) {
    Renderer renderer;
    FloatImage out(2, 2);
    out.pixel(1, 1)[3] = 1.0f;
    test::freshLog();
    renderer.render(FrameFields(), nullptr, test::plainSettings(kRenderAllSources), out);
    EXPECT_EQ(test::logCount("No sim data available"), 1);
    EXPECT_EQ(out.pixel(1, 1)[3], 0.0f);
}

TEST(RenderFailures, ModesOutOfRangeAreRejected) {
    TestFrame frame(2, 2);
    for (uint32_t type = 2; type < 14; ++type)
        frame.fill(type, 0.5f);
    Renderer renderer;
    for (int32_t mode : {-1, 7, 1000}) {
        FloatImage out(2, 2);
        out.pixel(0, 0)[0] = 1.0f;
        test::freshLog();
        renderer.render(frame.fields(), nullptr, test::plainSettings(mode), out);
        EXPECT_TRUE(test::logHasLine("Invalid rendering mode")) << mode;
        EXPECT_EQ(out.pixel(0, 0)[0], 0.0f);
    }
    RenderSettings s = test::plainSettings(kRenderFireSmoke);
    s.alphaMode = 3;
    FloatImage out(2, 2);
    out.pixel(0, 0)[3] = 1.0f;
    test::freshLog();
    renderer.render(frame.fields(), nullptr, s, out);
    EXPECT_TRUE(test::logHasLine("Invalid alpha mode"));
    EXPECT_EQ(out.pixel(0, 0)[3], 0.0f);
}

// ---- Robustness ----

TEST(RenderRobustness, DamagedFieldsAndExtremeSettingsNeverGiveNaN) {
    TestFrame frame(9, 7);
    const float poison[] = {kNaN, kInf, -kInf, 1e30f, -1e30f, 0.5f, 3.0f};
    uint32_t n = 0;
    for (uint32_t type = 2; type < 14; ++type)
        frame.set(type, [&](uint32_t, uint32_t) { return poison[n++ % std::size(poison)]; });
    Renderer renderer;
    for (auto [tw, th] : {std::pair{16u, 16u}, {1u, 1u}, {64u, 3u}})
        for (int32_t mode = kRenderAllSources; mode <= kRenderVelocity; ++mode)
            for (int32_t alphaMode = kAlphaSource; alphaMode <= kAlphaOpaque; ++alphaMode)
                for (float extreme : {0.0f, 0.5f, kNaN, kInf}) {
                    SCOPED_TRACE(testing::Message()
                                 << "texture " << tw << "x" << th << " mode " << mode << " alpha "
                                 << alphaMode << " setting " << extreme);
                    const FloatImage texture = test::rampTexture(tw, th);
                    RenderSettings s = test::plainSettings(mode);
                    s.alphaMode = alphaMode;
                    s.motionBlur = extreme;
                    s.refractionSmoothness = extreme;
                    s.refractionScale = extreme;
                    s.alphaFalloff = extreme;
                    s.maxVelocity = extreme;
                    FloatImage out(13, 5);
                    renderer.render(frame.fields(), &texture, s, out);
                    EXPECT_TRUE(test::allFinite(out));
                }
}

// ---- Motion blur ----

// A single opaque dot in an otherwise transparent frame with uniform velocity.
TestFrame movingDot(uint32_t size, uint32_t cx, uint32_t cy, float u, float v) {
    TestFrame frame(size, size);
    frame.at(FrameFields::kRedType, cx, cy) = 1.0f;
    frame.at(FrameFields::kGreenType, cx, cy) = 0.5f;
    frame.at(FrameFields::kBlueType, cx, cy) = 0.25f;
    frame.at(FrameFields::kAlphaType, cx, cy) = 1.0f;
    frame.fill(kU, u);
    frame.fill(kV, v);
    return frame;
}

TEST(MotionBlur, LeavesAStillFrameUnchanged) {
    TestFrame frame(16, 12);
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (uint32_t type : {kD, kT, kF})
        frame.set(type, [&](uint32_t, uint32_t) { return dist(rng); });
    frame.fill(kU, 0.0f);
    frame.fill(kV, 0.0f);
    Renderer renderer;
    RenderSettings s = test::plainSettings(kRenderAllSources);
    const FloatImage sharp = test::renderAtGridSize(renderer, frame, s);
    s.motionBlur = 3.0f;
    EXPECT_EQ(test::maxDifference(test::renderAtGridSize(renderer, frame, s), sharp), 0.0f);
    // Moving, but by less than a cell while the shutter is open (0.25 cells/s × 3 s): still
    // unchanged.
    frame.fill(kU, 0.2f);
    frame.fill(kV, -0.15f);
    EXPECT_EQ(test::maxDifference(test::renderAtGridSize(renderer, frame, s), sharp), 0.0f);
}

TEST(MotionBlur, SmearsAMovingDotAlongItsVelocityByTheBlurLength) {
    struct Case {
        float u, v;
        bool alongX;
        int first, last;  // cells, relative to the dot, that the smear covers
    };
    // Speed 16 cells/s, shutter 0.5 s: a smear of exactly 8 cells, each with 1/8 of the dot.
    // The samples of cell c run from c − 4 in unit steps along the motion, 8 of them, so the
    // covered cells reach one further against the motion than along it.
    for (const Case& k : {Case{16, 0, true, -3, 4}, Case{-16, 0, true, -4, 3},
                          Case{0, 16, false, -3, 4}, Case{0, -16, false, -4, 3}}) {
        SCOPED_TRACE(testing::Message() << "velocity " << k.u << ", " << k.v);
        const TestFrame frame = movingDot(24, 12, 12, k.u, k.v);
        RenderSettings s = test::plainSettings(kRenderColor);
        s.motionBlur = 0.5f;
        Renderer renderer;
        const FloatImage out = test::renderAtGridSize(renderer, frame, s);
        int covered = 0;
        for (uint32_t y = 0; y < 24; ++y)
            for (uint32_t x = 0; x < 24; ++x) {
                const Pixel p = pixelAt(out, x, y);
                const int along = k.alongX ? int(x) - 12 : int(y) - 12;
                const int across = k.alongX ? int(y) - 12 : int(x) - 12;
                if (across == 0 && along >= k.first && along <= k.last) {
                    ++covered;
                    expectPixelNear(p, {1.0f, 0.5f, 0.25f, 1.0f / 8.0f});
                } else {
                    // Nothing but transparent samples: no colour (and no 0 / 0).
                    expectPixelNear(p, {0, 0, 0, 0});
                }
            }
        EXPECT_EQ(covered, 8);
    }
}

TEST(MotionBlur, FractionalBlurLengthKeepsTheDotsOpacity) {
    // Diagonal motion and a length that is not a whole number: bilinear samples and a partial
    // last sample. Away from the edges, the smear's total alpha equals the dot's.
    for (float shutter : {0.3f, 0.55f, 0.8f}) {
        SCOPED_TRACE(testing::Message() << "shutter " << shutter);
        const TestFrame frame = movingDot(40, 20, 20, 9.0f, 12.0f);  // 15 cells/s
        RenderSettings s = test::plainSettings(kRenderColor);
        s.motionBlur = shutter;
        Renderer renderer;
        const FloatImage out = test::renderAtGridSize(renderer, frame, s);
        double total = 0.0;
        float farthest = 0.0f;
        for (uint32_t y = 0; y < 40; ++y)
            for (uint32_t x = 0; x < 40; ++x) {
                const float a = out.pixel(x, y)[3];
                total += a;
                if (a > 0.0f) {
                    farthest = std::max(farthest, std::hypot(float(x) - 20.0f, float(y) - 20.0f));
                    // Bilinear samples mix the dot's colour with its transparent black
                    // surroundings, so only the hue is kept exactly.
                    EXPECT_NEAR(out.pixel(x, y)[1], 0.5f * out.pixel(x, y)[0], 1e-6f);
                    EXPECT_LE(out.pixel(x, y)[0], 1.0f);
                }
            }
        const float length = 15.0f * shutter;
        EXPECT_NEAR(total, 1.0, 1e-4);
        // Half the smear on each side of the dot, plus the reach of a bilinear sample.
        EXPECT_LE(farthest, length / 2 + std::sqrt(2.0f));
        EXPECT_GE(farthest, length / 2 - 1.0f);
    }
}

// ---- Output size and reuse ----

TEST(RenderOutput, ResamplesTheGridImageToTheOutputSize) {
    TestFrame frame(4, 3);
    frame.set(kD, [](uint32_t x, uint32_t y) { return 0.1f * x + 0.2f * y; });
    Renderer renderer;
    const RenderSettings s = test::plainSettings(kRenderFireSmoke);
    const FloatImage grid = test::renderAtGridSize(renderer, frame, s);
    FloatImage large(10, 5);
    renderer.render(frame.fields(), nullptr, s, large);
    expectPixelNear(pixelAt(large, 0, 0), pixelAt(grid, 0, 0));
    expectPixelNear(pixelAt(large, 9, 4), pixelAt(grid, 3, 2));
    FloatImage small(2, 1);
    renderer.render(frame.fields(), nullptr, s, small);
    // Shrinking averages: the red channel is linear, so each half's mean is its centre's value.
    EXPECT_NEAR(small.pixel(0, 0)[0], 0.1f * 0.5f + 0.2f, 1e-6f);
    EXPECT_NEAR(small.pixel(1, 0)[0], 0.1f * 2.5f + 0.2f, 1e-6f);
}

TEST(RenderOutput, RendersDoNotDependOnTheThreadCountOrEarlierFrames) {
    TestFrame frame(37, 23);
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint32_t type = 2; type < 14; ++type)
        frame.set(type,
                  [&](uint32_t, uint32_t) { return type == kT ? 300 * dist(rng) : dist(rng); });
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
        other.fill(kD, 1.0f);
        b.render(other.fields(), nullptr, test::plainSettings(kRenderFireSmoke), again);
        b.render(frame.fields(), &texture, s, again);
        omp_set_num_threads(threads);
        EXPECT_EQ(test::maxDifference(serial, parallel), 0.0f);
        EXPECT_EQ(test::maxDifference(serial, again), 0.0f);
    }
}

}  // namespace
}  // namespace skv
