#include "host/output_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace skv {
namespace {

int bytesPerPixel(int bitsPerChannel) {
    switch (bitsPerChannel) {
        case 8:
            return 4;
        case 16:
            return 8;
        case 32:
            return 16;
        default:
            return 0;
    }
}

enum class WorldState { kInvalid, kEmpty, kUsable };

// Whether a host world can be walked as its fields claim: rows must hold the pixels of its width.
WorldState checkWorld(const PF_EffectWorld& world, int pixelBytes) {
    if (pixelBytes == 0) return WorldState::kInvalid;
    if (world.width <= 0 || world.height <= 0) return WorldState::kEmpty;
    if (!world.data || int64_t(world.rowbytes) < int64_t(world.width) * pixelBytes)
        return WorldState::kInvalid;
    return WorldState::kUsable;
}

uint8_t* worldRow(const PF_EffectWorld& world, int64_t y) {
    return static_cast<uint8_t*>(world.data) + y * int64_t(world.rowbytes);
}

inline float clamp01(float v) {
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}
inline float nanToZero(float v) {
    return std::isnan(v) ? 0.0f : v;
}

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void store16(uint8_t* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
inline float loadFloat(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void storeFloat(uint8_t* p, float v) {
    std::memcpy(p, &v, 4);
}

}  // namespace

bool writeImageToWorld(const FloatImage& image, PF_EffectWorld& world, int bitsPerChannel,
                       bool eightBitFullScale254) {
    const int pixelBytes = bytesPerPixel(bitsPerChannel);
    const WorldState state = checkWorld(world, pixelBytes);
    if (state == WorldState::kInvalid) return false;
    if (state == WorldState::kEmpty || image.empty()) return true;
    const float scale8 = eightBitFullScale254 ? k8BitAlternateFullScale : k8BitFullScale;
    // The image rows and columns that land inside the world.
    const int64_t ox = world.origin_x, oy = world.origin_y;
    const int64_t xBegin = std::max<int64_t>(0, -ox);
    const int64_t xEnd = std::min<int64_t>(image.width(), int64_t(world.width) - ox);
    const int64_t yBegin = std::max<int64_t>(0, -oy);
    const int64_t yEnd = std::min<int64_t>(image.height(), int64_t(world.height) - oy);
    if (xBegin >= xEnd || yBegin >= yEnd) return true;
#pragma omp parallel for schedule(static)
    for (int64_t y = yBegin; y < yEnd; ++y) {
        const float* p = image.pixel(uint32_t(xBegin), uint32_t(y));
        uint8_t* out = worldRow(world, y + oy) + (xBegin + ox) * pixelBytes;
        for (int64_t x = xBegin; x < xEnd; ++x, p += 4, out += pixelBytes) {
            const float argb[4] = {p[3], p[0], p[1], p[2]};
            for (int c = 0; c < 4; ++c) {
                if (bitsPerChannel == 8)
                    out[c] = uint8_t(clamp01(argb[c]) * scale8 + 0.5f);
                else if (bitsPerChannel == 16)
                    store16(out + 2 * c, uint16_t(clamp01(argb[c]) * k16BitFullScale + 0.5f));
                else
                    storeFloat(out + 4 * c, nanToZero(argb[c]));
            }
        }
    }
    return true;
}

bool multiplyByWorld(PF_EffectWorld& output, const PF_EffectWorld& input, int bitsPerChannel) {
    const int pixelBytes = bytesPerPixel(bitsPerChannel);
    const WorldState outState = checkWorld(output, pixelBytes);
    const WorldState inState = checkWorld(input, pixelBytes);
    if (outState == WorldState::kInvalid || inState == WorldState::kInvalid) return false;
    if (outState == WorldState::kEmpty) return true;
    // Output world pixel (x, y) is layer pixel (x − origin), which the input holds at
    // (x − output origin + input origin).
    const int64_t dx = int64_t(input.origin_x) - output.origin_x;
    const int64_t dy = int64_t(input.origin_y) - output.origin_y;
    const bool hasInput = inState == WorldState::kUsable;
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < int64_t(output.height); ++y) {
        uint8_t* out = worldRow(output, y);
        const int64_t iy = y + dy;
        const bool rowInside = hasInput && iy >= 0 && iy < input.height;
        const uint8_t* inRow = rowInside ? worldRow(input, iy) : nullptr;
        for (int64_t x = 0; x < output.width; ++x, out += pixelBytes) {
            const int64_t ix = x + dx;
            if (!rowInside || ix < 0 || ix >= input.width) {
                std::memset(out, 0, size_t(pixelBytes));
                continue;
            }
            const uint8_t* in = inRow + ix * pixelBytes;
            for (int c = 0; c < 4; ++c) {
                if (bitsPerChannel == 8) {
                    out[c] = uint8_t(uint32_t(out[c]) * in[c] / 255u);
                } else if (bitsPerChannel == 16) {
                    // Values above full scale are not valid 16-bit channels; bounding them keeps
                    // the product inside 16 bits.
                    const uint32_t o = std::min<uint32_t>(load16(out + 2 * c), 32768u);
                    const uint32_t i = std::min<uint32_t>(load16(in + 2 * c), 32768u);
                    store16(out + 2 * c, uint16_t(o * i / 32768u));
                } else {
                    storeFloat(out + 4 * c,
                               nanToZero(loadFloat(out + 4 * c) * loadFloat(in + 4 * c)));
                }
            }
        }
    }
    return true;
}

bool readWorldToImage(const PF_EffectWorld& world, int bitsPerChannel, FloatImage& image) {
    const int pixelBytes = bytesPerPixel(bitsPerChannel);
    const WorldState state = checkWorld(world, pixelBytes);
    if (state == WorldState::kInvalid) return false;
    if (state == WorldState::kEmpty) {
        image.resize(0, 0);
        return true;
    }
    image.resize(uint32_t(world.width), uint32_t(world.height));
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < int64_t(world.height); ++y) {
        const uint8_t* in = worldRow(world, y);
        float* p = image.row(uint32_t(y));
        for (int64_t x = 0; x < world.width; ++x, in += pixelBytes, p += 4) {
            float argb[4];
            for (int c = 0; c < 4; ++c) {
                if (bitsPerChannel == 8) {
                    argb[c] = float(in[c]) * k8BitSampleScale;
                } else if (bitsPerChannel == 16) {
                    argb[c] = float(load16(in + 2 * c)) * k16BitSampleScale;
                } else {
                    const float v = loadFloat(in + 4 * c);
                    argb[c] = std::isfinite(v) ? v : 0.0f;
                }
            }
            p[0] = argb[1];
            p[1] = argb[2];
            p[2] = argb[3];
            p[3] = argb[0];
        }
    }
    return true;
}

}  // namespace skv
