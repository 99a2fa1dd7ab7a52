#include "host/output_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "render/render_frame.h"
#include "render_test_support.h"

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A host world over its own memory, rows padded by `padding` bytes; every byte starts as `fill`.
struct TestWorld {
    std::vector<uint8_t> bytes;
    PF_EffectWorld world{};
    int bits;

    TestWorld(int width, int height, int bitsPerChannel, int padding = 0, uint8_t fill = 0xAB)
        : bits(bitsPerChannel) {
        world.width = width;
        world.height = height;
        world.rowbytes = width * 4 * (bits / 8) + padding;
        bytes.assign(size_t(world.rowbytes) * size_t(height), fill);
        world.data = bytes.data();
        world.world_flags = PF_WorldFlag_WRITEABLE | (bits == 16 ? PF_WorldFlag_DEEP : 0);
    }

    uint8_t* address(int x, int y, int channel) {
        return bytes.data() + size_t(y) * size_t(world.rowbytes) +
               size_t(x) * 4 * size_t(bits / 8) + size_t(channel) * size_t(bits / 8);
    }
    // Channel 0 alpha, 1 red, 2 green, 3 blue, as raw integer or float value.
    double get(int x, int y, int channel) {
        const uint8_t* p = address(x, y, channel);
        if (bits == 8) return *p;
        if (bits == 16) {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    void put(int x, int y, int channel, double value) {
        uint8_t* p = address(x, y, channel);
        if (bits == 8) {
            *p = uint8_t(value);
        } else if (bits == 16) {
            const uint16_t v = uint16_t(value);
            std::memcpy(p, &v, 2);
        } else {
            const float v = float(value);
            std::memcpy(p, &v, 4);
        }
    }
};

FloatImage onePixel(float r, float g, float b, float a) {
    FloatImage image(1, 1);
    float* p = image.pixel(0, 0);
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
    return image;
}

TEST(OutputWriter, ConvertsEachDepthAndWritesAlphaRedGreenBlue) {
    struct Case {
        float value;
        double at8, at8alternate, at16, at32;
    };
    const Case cases[] = {
        {0.0f, 0, 0, 0, 0.0},
        {1.0f, 255, 254, 32768, 1.0},
        {0.5f, 128, 127, 16384, 0.5},
        {0.2f, 51, 51, 6554, 0.2f},
        {0.003f, 1, 1, 98, 0.003f},
        {1.5f, 255, 254, 32768, 1.5f},  // out of range: clamped, except in float
        {-0.25f, 0, 0, 0, -0.25f},
        {kNaN, 0, 0, 0, 0.0},
        {kInf, 255, 254, 32768, kInf},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "value " << k.value);
        // Put the value in one channel at a time, the others distinct, to check the order.
        for (int channel = 0; channel < 4; ++channel) {
            float rgba[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            rgba[channel] = k.value;
            const FloatImage image = onePixel(rgba[0], rgba[1], rgba[2], rgba[3]);
            const int argb = channel == 3 ? 0 : channel + 1;
            for (int bits : {8, 16, 32}) {
                for (bool alternate : {false, true}) {
                    if (bits != 8 && alternate) continue;
                    TestWorld w(1, 1, bits);
                    ASSERT_TRUE(writeImageToWorld(image, w.world, bits, alternate));
                    const double expected = bits == 8    ? (alternate ? k.at8alternate : k.at8)
                                            : bits == 16 ? k.at16
                                                         : k.at32;
                    EXPECT_EQ(w.get(0, 0, argb), expected) << bits << " bits";
                    for (int other = 0; other < 4; ++other) {
                        if (other != argb) {
                            EXPECT_EQ(w.get(0, 0, other), 0.0) << bits << " bits";
                        }
                    }
                }
            }
        }
    }
}

TEST(OutputWriter, DepthsAgreeWithinOneQuantisationStep) {
    // A rendered frame (soft plume in every channel) and random values, written at each depth
    // and read back through the input conversion.
    test::TestFrame frame(32, 20);
    frame.set(FrameFields::kDensityType, [](uint32_t x, uint32_t y) {
        return std::exp(-((x - 16.0) * (x - 16.0) + (y - 10.0) * (y - 10.0)) / 40.0);
    });
    frame.set(FrameFields::kTemperatureType, [](uint32_t x, uint32_t) { return 20.0 * x; });
    frame.set(FrameFields::kFuelType, [](uint32_t, uint32_t y) { return y / 19.0; });
    Renderer renderer;
    FloatImage rendered(45, 31);
    RenderSettings settings;
    renderer.render(frame.fields(), nullptr, settings, rendered);

    FloatImage noise(17, 9);
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t i = 0; i < 17 * 4; ++i)
            noise.row(y)[i] = dist(rng);

    for (const FloatImage* image : {&rendered, &noise}) {
        FloatImage back[3];
        const int depths[3] = {8, 16, 32};
        for (int d = 0; d < 3; ++d) {
            TestWorld w(int(image->width()), int(image->height()), depths[d], 12);
            ASSERT_TRUE(writeImageToWorld(*image, w.world, depths[d]));
            ASSERT_TRUE(readWorldToImage(w.world, depths[d], back[d]));
        }
        EXPECT_EQ(test::maxDifference(back[2], *image), 0.0f);
        // Rounding to the nearest step: within half a step, plus the float error of the scale.
        EXPECT_LE(test::maxDifference(back[0], *image), 0.5f / 255.0f + 1e-6f);
        EXPECT_LE(test::maxDifference(back[1], *image), 0.5f / 32768.0f + 1e-7f);
        EXPECT_LE(test::maxDifference(back[0], back[1]), 1.0f / 255.0f);
    }
}

TEST(OutputWriter, WritesAtTheOriginOffsetClippedToTheWorld) {
    FloatImage image(4, 3);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 4; ++x) {
            float* p = image.pixel(x, y);
            p[0] = float(x) / 4.0f;
            p[1] = float(y) / 4.0f;
            p[2] = 1.0f;
            p[3] = 1.0f;
        }
    struct Case {
        int width, height, originX, originY;
    };
    for (const Case& k : {Case{4, 3, 0, 0}, Case{6, 5, 2, 1}, Case{3, 2, -1, -1}, Case{5, 5, 4, 0},
                          Case{2, 2, -9, 0}, Case{8, 8, 3, 6}}) {
        SCOPED_TRACE(testing::Message()
                     << k.width << "x" << k.height << " origin " << k.originX << ", " << k.originY);
        TestWorld w(k.width, k.height, 8, 4, 7);
        w.world.origin_x = k.originX;
        w.world.origin_y = k.originY;
        ASSERT_TRUE(writeImageToWorld(image, w.world, 8));
        for (int y = 0; y < k.height; ++y)
            for (int x = 0; x < k.width; ++x) {
                const int ix = x - k.originX, iy = y - k.originY;
                const bool inside = ix >= 0 && ix < 4 && iy >= 0 && iy < 3;
                EXPECT_EQ(w.get(x, y, 1), inside ? std::trunc(ix / 4.0 * 255 + 0.5) : 7.0)
                    << x << ", " << y;
                EXPECT_EQ(w.get(x, y, 2), inside ? std::trunc(iy / 4.0 * 255 + 0.5) : 7.0);
                EXPECT_EQ(w.get(x, y, 3), inside ? 255.0 : 7.0);
            }
        // The row padding is never written.
        for (int y = 0; y < k.height; ++y)
            for (int b = k.width * 4; b < w.world.rowbytes; ++b)
                EXPECT_EQ(w.bytes[size_t(y * w.world.rowbytes + b)], 7);
    }
}

TEST(OutputWriter, RefusesUnusableWorldsAndDepths) {
    const FloatImage image = onePixel(1, 1, 1, 1);
    TestWorld w(2, 2, 8, 0, 9);
    EXPECT_FALSE(writeImageToWorld(image, w.world, 10));
    EXPECT_FALSE(writeImageToWorld(image, w.world, 0));
    PF_EffectWorld shortRows = w.world;
    shortRows.rowbytes = 7;  // less than 2 pixels of 4 bytes
    EXPECT_FALSE(writeImageToWorld(image, shortRows, 8));
    PF_EffectWorld noData = w.world;
    noData.data = nullptr;
    EXPECT_FALSE(writeImageToWorld(image, noData, 8));
    FloatImage read;
    EXPECT_FALSE(readWorldToImage(shortRows, 8, read));
    EXPECT_FALSE(multiplyByWorld(w.world, noData, 8));
    for (uint8_t b : w.bytes)
        EXPECT_EQ(b, 9);

    // No pixels: nothing to do, which is fine.
    PF_EffectWorld none = w.world;
    none.width = 0;
    none.data = nullptr;
    EXPECT_TRUE(writeImageToWorld(image, none, 16));
    EXPECT_TRUE(readWorldToImage(none, 32, read));
    EXPECT_TRUE(read.empty());
}

TEST(OutputWriter, MultipliesByTheInputLayer) {
    struct Case {
        int bits;
        double out, in, expected;
    };
    const Case cases[] = {
        {8, 255, 255, 255},
        {8, 128, 128, 64},  // 64.25 truncated
        {8, 200, 0, 0},
        {8, 77, 255, 77},
        {16, 32768, 32768, 32768},
        {16, 16384, 16384, 8192},
        {16, 1000, 3, 0},
        {16, 65535, 65535, 32768},  // beyond full scale: bounded
        {32, 0.5, 0.5, 0.25},
        {32, 2.0, -1.5, -3.0},
        {32, kNaN, 1.0, 0.0},
        {32, kInf, 0.0, 0.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.bits << " bits: " << k.out << " × " << k.in);
        TestWorld out(1, 1, k.bits), in(1, 1, k.bits);
        for (int c = 0; c < 4; ++c) {
            out.put(0, 0, c, k.out);
            in.put(0, 0, c, k.in);
        }
        ASSERT_TRUE(multiplyByWorld(out.world, in.world, k.bits));
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(out.get(0, 0, c), k.expected) << "channel " << c;
    }
}

TEST(OutputWriter, MultiplyMatchesLayerPositionsAndClearsWhatTheInputLacks) {
    TestWorld out(4, 2, 8, 3), in(3, 2, 8, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 4; ++c)
                out.put(x, y, c, 200);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 4; ++c)
                in.put(x, y, c, 51 * (x + 1) + c);
    // The output's layer origin sits one pixel in: output pixel x is input pixel x − 1.
    out.world.origin_x = 1;
    ASSERT_TRUE(multiplyByWorld(out.world, in.world, 8));
    for (int y = 0; y < 2; ++y)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(out.get(0, y, c), 0.0) << "no input pixel";
            for (int x = 1; x < 4; ++x)
                EXPECT_EQ(out.get(x, y, c), std::trunc(200.0 * (51 * x + c) / 255.0));
        }
}

TEST(OutputWriter, ReadsWorldsIntoStraightRgba) {
    TestWorld w8(2, 1, 8, 5), w16(1, 1, 16), w32(1, 2, 32);
    const double argb8[4] = {255, 0, 128, 51};
    for (int c = 0; c < 4; ++c) {
        w8.put(0, 0, c, argb8[c]);
        w8.put(1, 0, c, 1);
        w16.put(0, 0, c, c == 0 ? 32768 : 8192 * c);
    }
    const double argb32[4] = {0.5, kNaN, -kInf, 4.0};
    for (int c = 0; c < 4; ++c) {
        w32.put(0, 0, c, argb32[c]);
        w32.put(0, 1, c, 0.25 * c);
    }
    FloatImage image;
    ASSERT_TRUE(readWorldToImage(w8.world, 8, image));
    ASSERT_EQ(image.width(), 2u);
    EXPECT_EQ(k8BitSampleScale, 1.0f / 255.0f);  // the single-precision value of 1/255
    EXPECT_EQ(image.pixel(0, 0)[0], 0.0f);
    EXPECT_EQ(image.pixel(0, 0)[1], 128 * k8BitSampleScale);
    EXPECT_EQ(image.pixel(0, 0)[2], 51 * k8BitSampleScale);
    EXPECT_EQ(image.pixel(0, 0)[3], 255 * k8BitSampleScale);
    EXPECT_EQ(image.pixel(1, 0)[3], k8BitSampleScale);

    ASSERT_TRUE(readWorldToImage(w16.world, 16, image));
    EXPECT_EQ(test::pixelAt(image, 0, 0), (std::array<float, 4>{0.25f, 0.5f, 0.75f, 1.0f}));

    ASSERT_TRUE(readWorldToImage(w32.world, 32, image));
    ASSERT_EQ(image.height(), 2u);
    EXPECT_EQ(test::pixelAt(image, 0, 0), (std::array<float, 4>{0.0f, 0.0f, 4.0f, 0.5f}));
    EXPECT_EQ(test::pixelAt(image, 0, 1), (std::array<float, 4>{0.25f, 0.5f, 0.75f, 0.0f}));
}

}  // namespace
}  // namespace skv
