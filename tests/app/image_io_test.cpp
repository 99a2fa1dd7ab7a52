#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "image.h"

namespace skv::app {
namespace {

// Pixels go to files and to the host's 8- and 16-bit worlds through this rounding: it must give
// the integers lroundf gives, since golden images and the round trip through the host rely on
// them. Every 61st float from -2 to 2 (several per step of 1/65535), the ends and NaN.
TEST(QuantizationTest, GivesLroundfOfTheClampedScaledValue) {
    const float ends[] = {0.0f,
                          -0.0f,
                          1.0f,
                          std::nextafter(1.0f, 2.0f),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN()};
    for (const float top : {255.0f, 32768.0f, 65535.0f}) {
        const auto expected = [top](float v) {
            return std::isnan(v) ? 0 : int(std::lround(std::clamp(v, 0.0f, 1.0f) * top));
        };
        for (const float v : ends)
            ASSERT_EQ(quantized(v, top), expected(v)) << v << " of " << top;
        for (const uint32_t sign : {0u, 0x80000000u})
            for (uint32_t bits = 0; bits <= 0x40000000u; bits += 61) {
                float v;
                const uint32_t pattern = bits | sign;
                std::memcpy(&v, &pattern, sizeof v);
                ASSERT_EQ(quantized(v, top), expected(v)) << std::hexfloat << v << " of " << top;
            }
    }
    uint16_t deep[2];
    const float values[2] = {0.5f, 1.0f};
    quantize(values, 2, deep);
    EXPECT_EQ(deep[0], 32768);
    EXPECT_EQ(deep[1], 65535);
}

}  // namespace
}  // namespace skv::app
