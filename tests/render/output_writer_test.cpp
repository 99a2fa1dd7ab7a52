#include "host/output_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "render_test_support.h"

namespace skv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A host world over its own memory, rows padded by `padding` bytes; every byte starts as `fill`.
// Channel 0 is alpha, then red, green, blue.
struct TestWorld {
    std::vector<uint8_t> bytes;
    PF_EffectWorld world{};
    size_t size;  // bytes per channel

    TestWorld(int width, int height, int bits, int padding = 0, uint8_t fill = 0xAB)
        : size(size_t(bits / 8)) {
        world.width = width;
        world.height = height;
        world.rowbytes = width * 4 * (bits / 8) + padding;
        bytes.assign(size_t(world.rowbytes) * size_t(height), fill);
        world.data = bytes.data();
    }
    uint8_t* at(int x, int y, int c) {
        return &bytes[size_t(y * world.rowbytes) + (4 * x + c) * size];
    }
    template <class V>
    V load(int x, int y, int c) {
        V v;
        std::memcpy(&v, at(x, y, c), sizeof v);
        return v;
    }
    double get(int x, int y, int c) {
        return size == 1   ? load<uint8_t>(x, y, c)
               : size == 2 ? load<uint16_t>(x, y, c)
                           : load<float>(x, y, c);
    }
    void put(int x, int y, int c, double value) {
        const uint8_t v8 = uint8_t(value);
        const uint16_t v16 = uint16_t(value);
        const float v32 = float(value);
        std::memcpy(at(x, y, c), size == 1 ? &v8 : size == 2 ? (const void*)&v16 : &v32, size);
    }
};

// One channel at a time, so that the order shows; read back, integers scale by 1/255 or 1/32768.
TEST(OutputWriter, ConvertsEachDepthRoundingAndClampingAndReadsBack) {
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
    struct Depth {
        int bits;
        bool alternate;
        float readScale;
    };
    for (const Case& k : cases)
        for (const Depth d : {Depth{8, false, 1.0f / 255.0f}, Depth{8, true, 1.0f / 255.0f},
                              Depth{16, false, 1.0f / 32768.0f}, Depth{32, false, 1.0f}})
            for (int channel = 0; channel < 4; ++channel) {
                SCOPED_TRACE(testing::Message() << "value " << k.value << ", " << d.bits << " bits "
                                                << d.alternate << ", ch " << channel);
                FloatImage image(1, 1), back;
                image.pixel(0, 0)[channel] = k.value;
                const int argb = channel == 3 ? 0 : channel + 1;
                // Image pixel (x, y) lands on world pixel (x + origin_x, y); the rest is left.
                TestWorld w(2, 1, d.bits);
                w.world.origin_x = 1;
                ASSERT_TRUE(writeImageToWorld(image, w.world, d.bits, d.alternate));
                const double expected = d.bits == 8    ? (d.alternate ? k.at8alternate : k.at8)
                                        : d.bits == 16 ? k.at16
                                                       : k.at32;
                for (int c = 0; c < 4; ++c)
                    EXPECT_EQ(w.get(1, 0, c), c == argb ? expected : 0.0) << "world ch " << c;
                EXPECT_EQ(std::count(w.bytes.begin(), w.bytes.end(), 0xAB), 4 * int(w.size));
                ASSERT_TRUE(readWorldToImage(w.world, d.bits, back));
                std::array<float, 4> read = {};
                read[size_t(channel)] = std::isfinite(expected) ? float(expected) * d.readScale : 0;
                EXPECT_EQ(test::pixelAt(back, 1, 0), read);
            }
    // A float world's NaN and infinities read as 0.
    TestWorld w(1, 1, 32);
    for (int c = 0; c < 4; ++c)
        w.put(0, 0, c, c == 0 ? 0.5 : c == 1 ? kNaN : c == 2 ? -kInf : 4.0);
    FloatImage back;
    ASSERT_TRUE(readWorldToImage(w.world, 32, back));
    EXPECT_EQ(test::pixelAt(back, 0, 0), (std::array<float, 4>{0, 0, 4, 0.5f}));
}

TEST(OutputWriter, MultipliesByTheInputLayerTruncatingAndBounded) {
    struct Case {
        int bits;
        double out, in, expected;
    };
    // Truncated (128 × 128 / 255 = 64.25) and bounded beyond full scale; NaN becomes 0.
    // clang-format off
    const Case cases[] = {
        {8, 255, 255, 255},          {8, 128, 128, 64},          {8, 200, 0, 0},
        {8, 77, 255, 77},            {16, 1000, 3, 0},           {16, 16384, 16384, 8192},
        {16, 32768, 32768, 32768},   {16, 65535, 65535, 32768},  {32, 0.5, 0.5, 0.25},
        {32, 2.0, -1.5, -3.0},       {32, kNaN, 1.0, 0.0},       {32, kInf, 0.0, 0.0},
    };
    // clang-format on
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

// Writing at an offset layer position: clipped to the world, the row padding never touched.
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
    FloatImage image(1, 1);
    std::fill(image.pixel(0, 0), image.pixel(0, 0) + 4, 1.0f);
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

}  // namespace
}  // namespace skv
