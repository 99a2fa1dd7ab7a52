#pragma once

#include "host/sdk/ae_types.h"
#include "render/float_image.h"

namespace skv {

// Conversions between our float RGBA images and the host's pixel worlds (alpha, red, green,
// blue per pixel; rows of `rowbytes` bytes) at 8, 16 or 32 bits per channel. The host tells
// the depth of a world separately (its world suite), so every call takes it. A world is used
// only when it has data and its rows are long enough for its width; otherwise, and for any
// other depth, a call changes nothing and returns false. A world of no pixels is fine (true).

// Full-scale values of the integer depths.
constexpr float k8BitFullScale = 255.0f;
constexpr float k8BitAlternateFullScale = 254.0f;  // chosen by the caller's flag
constexpr float k16BitFullScale = 32768.0f;
// Scales from integer channels to floats: 1/255 as the single-precision value the host's
// input conversion has always used, and 1/32768.
constexpr float k8BitSampleScale = 0.003921569f;
constexpr float k16BitSampleScale = 1.0f / 32768.0f;

// Writes `image` into `world`: image pixel (x, y) lands on world pixel (x + origin_x,
// y + origin_y), whatever falls outside the world is clipped. 8 bits: truncate(c·s + 0.5) with
// s = 255, or 254 when `eightBitFullScale254`; 16 bits: truncate(c·32768 + 0.5); both after
// clamping c to [0, 1], so that no value wraps around. 32 bits: c unchanged. A NaN channel is
// written as 0 at every depth. World pixels outside the image are left as they are.
bool writeImageToWorld(const FloatImage& image, PF_EffectWorld& world, int bitsPerChannel,
                       bool eightBitFullScale254 = false);

// Multiplies every channel (alpha included) of `output` by the same channel of `input` at the
// same layer position (world pixel minus the world's origin): 8 bits truncate(out·in / 255),
// 16 bits truncate(out·in / 32768), 32 bits out·in (NaN written as 0). Output pixels outside
// the input world have no input pixel and become 0. Both worlds have the given depth.
bool multiplyByWorld(PF_EffectWorld& output, const PF_EffectWorld& input, int bitsPerChannel);

// Converts a whole world into `image` (resized to the world's size): 8 bits × 0.003921569,
// 16 bits × 1/32768, 32 bits unchanged except that NaN and infinities become 0 (they would
// spread through every filter that reads them).
bool readWorldToImage(const PF_EffectWorld& world, int bitsPerChannel, FloatImage& image);

}  // namespace skv
