#include "render/render_frame.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string_view>

#include "platform/log.h"
#include "render/resample.h"

namespace skv {
namespace {

// Keeps the blur direction defined for a cell that does not move (|p1 − p0| = 0).
constexpr float kBlurLengthGuard = 1e-30f;

// A smear longer than this many grid sizes (width + height) only repeats clamped edge samples;
// the bound keeps a frame with absurd velocities from taking unbounded time per cell.
constexpr float kMaxBlurGridSizes = 2.0f;

// [0, 1]; NaN gives 0.
inline float clamp01(float v) {
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}

inline float finiteOrZero(float v) {
    return std::isfinite(v) ? v : 0.0f;
}

// A sample coordinate in [0, max]; NaN gives 0.
inline float clampCoordinate(float c, float max) {
    return c > 0.0f ? (c < max ? c : max) : 0.0f;
}

inline RGBA operator+(const RGBA& a, const RGBA& b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b, a.a + b.a};
}

// Bilinear sample of an image at pixel coordinates (integers hit pixel centres), clamped to the
// edge pixels.
void sampleBilinear(const FloatImage& image, float x, float y, float out[4]) {
    const uint32_t w = image.width(), h = image.height();
    x = clampCoordinate(x, float(w - 1));
    y = clampCoordinate(y, float(h - 1));
    const uint32_t x0 = std::min(uint32_t(x), w - 1), y0 = std::min(uint32_t(y), h - 1);
    const uint32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const float tx = x - float(x0), ty = y - float(y0);
    const float* a = image.pixel(x0, y0);
    const float* b = image.pixel(x1, y0);
    const float* c = image.pixel(x0, y1);
    const float* d = image.pixel(x1, y1);
    for (int k = 0; k < 4; ++k) {
        const float top = a[k] + (b[k] - a[k]) * tx;
        const float bottom = c[k] + (d[k] - c[k]) * tx;
        out[k] = top + (bottom - top) * ty;
    }
}

// "Opaque" alpha: 1 above the fall-off value, fading quadratically to 0 at 0. A fall-off of 0
// makes 0 / 0 at m = 0, which the final clamp turns into alpha 0.
inline float falloffAlpha(float m, float falloff) {
    if (m > falloff) return 1.0f;
    const float r = (falloff - m) / falloff;
    return 1.0f - r * r;
}

inline void storeClamped(float* out, const RGBA& c) {
    out[0] = clamp01(c.r);
    out[1] = clamp01(c.g);
    out[2] = clamp01(c.b);
    out[3] = clamp01(c.a);
}

// One pass of the separable 7-tap smoothing, along rows or along columns. The taps near the
// edges read the edge cell again (the grid carries no cells beyond its border).
void smoothPass(const float* src, float* dst, uint32_t width, uint32_t height, bool alongRows,
                const std::array<float, 4>& k) {
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(height); ++yy) {
        const uint32_t y = uint32_t(yy);
        for (uint32_t x = 0; x < width; ++x) {
            const auto at = [&](int64_t offset) {
                if (alongRows) {
                    const int64_t xi = std::clamp<int64_t>(int64_t(x) + offset, 0, width - 1);
                    return src[size_t(y) * width + size_t(xi)];
                }
                const int64_t yi = std::clamp<int64_t>(int64_t(y) + offset, 0, height - 1);
                return src[size_t(yi) * width + x];
            };
            float sum = k[0] * at(0);
            for (int j = 1; j < 4; ++j)
                sum += k[size_t(j)] * (at(-j) + at(j));
            dst[size_t(y) * width + x] = sum;
        }
    }
}

}  // namespace

FrameFields FrameFields::fromGrids(const FloatGrid* const* grids, uint32_t typeCount) {
    struct Slot {
        uint32_t type;
        const float* FrameFields::*field;
    };
    static constexpr Slot kSlots[] = {
        {kDensityType, &FrameFields::density},   {kTemperatureType, &FrameFields::temperature},
        {kFuelType, &FrameFields::fuel},         {kVelocityUType, &FrameFields::u},
        {kVelocityVType, &FrameFields::v},       {kTextureUType, &FrameFields::textureU},
        {kTextureVType, &FrameFields::textureV}, {kRedType, &FrameFields::red},
        {kGreenType, &FrameFields::green},       {kBlueType, &FrameFields::blue},
        {kAlphaType, &FrameFields::alpha},
    };
    FrameFields f;
    if (!grids) return f;
    uint32_t paddedWidth = 0, paddedHeight = 0;
    for (const Slot& slot : kSlots) {
        const FloatGrid* g = slot.type < typeCount ? grids[slot.type] : nullptr;
        if (!g) continue;
        if (g->empty() || g->depth() != 1) {
            SKV_LOG(Warning,
                    "Ignoring cached grid of type " << slot.type << ": depth " << g->depth());
            ++f.leftOut;
            continue;
        }
        if (paddedWidth == 0) {
            if (g->width() < 3 || g->height() < 3) {
                ++f.leftOut;
                SKV_LOG(Warning, "Ignoring cached grid of type "
                                     << slot.type << ": size " << g->width() << "x" << g->height());
                continue;
            }
            paddedWidth = g->width();
            paddedHeight = g->height();
        } else if (g->width() != paddedWidth || g->height() != paddedHeight) {
            ++f.leftOut;
            SKV_LOG(Warning, "Ignoring cached grid of type "
                                 << slot.type << ": size " << g->width() << "x" << g->height()
                                 << " in a frame of " << paddedWidth << "x" << paddedHeight);
            continue;
        }
        f.*slot.field = g->data();
    }
    if (paddedWidth != 0) {
        f.width = paddedWidth - 2;
        f.height = paddedHeight - 2;
    }
    return f;
}

TemperatureStatistics temperatureStatistics(const float* temperature, uint32_t width,
                                            uint32_t height,
                                            std::vector<TemperatureStatistics>& rowScratch) {
    TemperatureStatistics total;
    if (!temperature || width == 0 || height == 0) return total;
    rowScratch.resize(height);
#pragma omp parallel for schedule(dynamic, 4)
    for (int64_t y = 0; y < int64_t(height); ++y) {
        TemperatureStatistics r;
        const float* row = temperature + size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) {
            const float v = row[x];
            // A non-finite value would poison the mean of the whole frame.
            if (v == 0.0f || !std::isfinite(v)) continue;
            if (r.count == 0) {
                r.minimum = r.maximum = v;
            } else {
                r.minimum = std::min(r.minimum, v);
                r.maximum = std::max(r.maximum, v);
            }
            ++r.count;
            r.sum += v;
        }
        rowScratch[size_t(y)] = r;
    }
    for (uint32_t y = 0; y < height; ++y) {
        const TemperatureStatistics& r = rowScratch[y];
        if (r.count == 0) continue;
        if (total.count == 0) {
            total.minimum = r.minimum;
            total.maximum = r.maximum;
        } else {
            total.minimum = std::min(total.minimum, r.minimum);
            total.maximum = std::max(total.maximum, r.maximum);
        }
        total.count += r.count;
        total.sum += r.sum;
    }
    if (total.count > 0) total.mean = float(total.sum / double(total.count));
    return total;
}

std::array<float, 4> gaussianKernel(float sigma) {
    const std::array<float, 4> identity = {1.0f, 0.0f, 0.0f, 0.0f};
    const double s = std::fabs(double(sigma));
    if (!(s > 0.0) || !std::isfinite(s)) return identity;
    const double norm = 1.0 / (std::sqrt(2.0 * std::numbers::pi) * s);
    std::array<float, 4> k;
    for (int j = 0; j < 4; ++j) {
        const double r = j / s;
        k[size_t(j)] = float(std::exp(-0.5 * r * r) * norm);
    }
    const float sum = k[0] + 2.0f * (k[1] + k[2] + k[3]);
    if (!(sum > 0.0f) || !std::isfinite(sum)) return identity;
    for (float& w : k)
        w /= sum;
    return k;
}

uint32_t mipLevelCount(uint32_t textureWidth) {
    uint32_t log2Width = 0;
    while ((textureWidth >> (log2Width + 1)) != 0)
        ++log2Width;
    return std::max(2u, log2Width / 2);
}

void Renderer::render(const FrameFields& frame, const FloatImage* texture,
                      const RenderSettings& settings, FloatImage& output) {
    // A frame that cannot be shown leaves a transparent black image, not the previous one.
    const auto fail = [&output](LogChannel channel, std::string_view message) {
        log(channel, message);
        output.clear();
    };
    const auto noData = [&fail] { fail(LogChannel::Warning, "No sim data available"); };
    const bool hasGrid = frame.width > 0 && frame.height > 0;
    const bool hasTexture = texture && !texture->empty();
    const bool hasVelocity = hasGrid && frame.u && frame.v;
    const FloatImage* shaded = nullptr;
    switch (settings.renderMode) {
        case kRenderAllSources:
        case kRenderFireSmoke:
        case kRenderStylizedFire:
            if (!hasGrid || (!frame.density && !frame.temperature && !frame.fuel)) return noData();
            if (settings.alphaMode < kAlphaSource || settings.alphaMode > kAlphaOpaque)
                return fail(LogChannel::Error, "Invalid alpha mode");
            shadeSources(frame, settings);
            shaded = &shading_;
            break;
        case kRenderColor:
            if (!hasGrid || !frame.red || !frame.green || !frame.blue || !frame.alpha)
                return noData();
            shadeColor(frame);
            shaded = &shading_;
            break;
        case kRenderTexture:
            if (!hasGrid || !hasTexture || !frame.textureU || !frame.textureV) return noData();
            shadeTexture(frame, *texture);
            shaded = &textureShading_;
            break;
        case kRenderRefractedTexture:
            if (!hasTexture || !hasVelocity) return noData();
            shadeRefraction(frame, *texture, settings);
            shaded = &textureShading_;
            break;
        case kRenderVelocity:
            if (!hasVelocity) return noData();
            shadeVelocity(frame, settings);
            shaded = &shading_;
            break;
        default:
            return fail(LogChannel::Error, "Invalid rendering mode");
    }
    if (settings.renderMode != kRenderVelocity && settings.motionBlur > 0.0f && hasVelocity) {
        blur(*shaded, frame, settings.motionBlur);
        shaded = &blurTarget_;
    }
    resample(*shaded, output);
}

void Renderer::shadeSources(const FrameFields& f, const RenderSettings& s) {
    shading_.resize(f.width, f.height);
    float k = 0.0f;
    temperature_ = TemperatureStatistics();
    if (f.temperature) {
        temperature_ =
            temperatureStatistics(f.temperature, f.width + 2, f.height + 2, rowStatistics_);
        k = std::fabs(temperature_.mean);
    }
    const int32_t mode = s.renderMode, alphaMode = s.alphaMode;
    const float falloff = s.alphaFalloff;
    const ColorRamp& densityColors = s.densityColors;
    const ColorRamp& temperatureColors = s.temperatureColors;
    const ColorRamp& fuelColors = s.fuelColors;
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        float* out = shading_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, out += 4) {
            const size_t i = f.index(x, y);
            const float D = f.density ? clamp01(f.density[i]) : 0.0f;
            const float F = f.fuel ? clamp01(f.fuel[i]) : 0.0f;
            float t = 0.0f;
            if (f.temperature && k > 0.0f) {
                const float T = f.temperature[i];
                t = clamp01(T / (std::fabs(T) + k));
            }
            RGBA c;
            float sourceAlpha, largest;
            if (mode == kRenderAllSources) {
                c = temperatureColors.sample(t) + densityColors.sample(D) + fuelColors.sample(F);
                sourceAlpha = D + t + F;
                largest = std::max({D, t, F});
            } else if (mode == kRenderFireSmoke) {
                c = densityColors.sample(D) + fuelColors.sample(F);
                sourceAlpha = D + F;
                largest = std::max(D, F);
            } else {
                c = temperatureColors.sample(t * D) + fuelColors.sample(F);
                sourceAlpha = D;
                largest = std::max(D, F);
            }
            c.a = alphaMode == kAlphaSource    ? sourceAlpha
                  : alphaMode == kAlphaMaximum ? largest
                                               : falloffAlpha(largest, falloff);
            storeClamped(out, c);
        }
    }
}

void Renderer::shadeColor(const FrameFields& f) {
    shading_.resize(f.width, f.height);
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        float* out = shading_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, out += 4) {
            const size_t i = f.index(x, y);
            storeClamped(out, {f.red[i], f.green[i], f.blue[i], f.alpha[i]});
        }
    }
}

void Renderer::shadeTexture(const FrameFields& f, const FloatImage& texture) {
    textureShading_.resize(f.width, f.height);
    const float maxU = float(texture.width() - 1), maxV = float(texture.height() - 1);
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        float* out = textureShading_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, out += 4) {
            const size_t i = f.index(x, y);
            sampleBilinear(texture, clamp01(f.textureU[i]) * maxU, clamp01(f.textureV[i]) * maxV,
                           out);
            // A float texture may carry NaN or infinities; they must not reach the output.
            for (int k = 0; k < 4; ++k)
                out[k] = finiteOrZero(out[k]);
        }
    }
}

void Renderer::buildPyramid(const FloatImage& texture, uint32_t levels) {
    if (pyramid_.size() < levels - 1) pyramid_.resize(levels - 1);
    for (uint32_t l = 1; l < levels; ++l) {
        const FloatImage& src = l == 1 ? texture : pyramid_[l - 2];
        FloatImage& dst = pyramid_[l - 1];
        const uint32_t sw = src.width(), sh = src.height();
        dst.resize(std::max(1u, sw / 2), std::max(1u, sh / 2));
        const uint32_t dw = dst.width(), dh = dst.height();
#pragma omp parallel for schedule(static)
        for (int64_t yy = 0; yy < int64_t(dh); ++yy) {
            const uint32_t y = uint32_t(yy);
            // A level of an odd or one-pixel size repeats its last texel.
            const uint32_t y0 = std::min(2 * y, sh - 1), y1 = std::min(2 * y + 1, sh - 1);
            float* out = dst.row(y);
            for (uint32_t x = 0; x < dw; ++x, out += 4) {
                const uint32_t x0 = std::min(2 * x, sw - 1), x1 = std::min(2 * x + 1, sw - 1);
                const float* a = src.pixel(x0, y0);
                const float* b = src.pixel(x1, y0);
                const float* c = src.pixel(x0, y1);
                const float* d = src.pixel(x1, y1);
                for (int k = 0; k < 4; ++k)
                    out[k] = 0.25f * ((a[k] + b[k]) + (c[k] + d[k]));
            }
        }
    }
}

void Renderer::smoothVelocity(const FrameFields& f, float sigma) {
    kernel_ = gaussianKernel(sigma);
    const uint32_t w = f.width + 2, h = f.height + 2;
    smoothTemp_.resize(w, h);
    smoothU_.resize(w, h);
    smoothV_.resize(w, h);
    smoothPass(f.u, smoothTemp_.data(), w, h, true, kernel_);
    smoothPass(smoothTemp_.data(), smoothU_.data(), w, h, false, kernel_);
    smoothPass(f.v, smoothTemp_.data(), w, h, true, kernel_);
    smoothPass(smoothTemp_.data(), smoothV_.data(), w, h, false, kernel_);
}

void Renderer::shadeRefraction(const FrameFields& f, const FloatImage& texture,
                               const RenderSettings& settings) {
    const uint32_t levels = mipLevelCount(texture.width());
    buildPyramid(texture, levels);
    smoothVelocity(f, settings.refractionSmoothness);
    textureShading_.resize(f.width, f.height);
    const float s = settings.refractionScale;
    const float cx = float(texture.width()) / float(f.width);
    const float cy = float(texture.height()) / float(f.height);
    const float lastLevel = float(levels - 1);
    const float* U = smoothU_.data();
    const float* V = smoothV_.data();
    const auto level = [&](uint32_t l) -> const FloatImage& {
        return l == 0 ? texture : pyramid_[l - 1];
    };
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        float* out = textureShading_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, out += 4) {
            const size_t i = f.index(x, y);
            // Displacement from the face velocities around the cell, and how much the
            // displacement stretches the texture there: the level of detail that avoids
            // aliasing where the texture is squeezed.
            const float a = s * U[i], aPrev = s * U[i - 1];
            const float b = s * V[i], bNext = s * V[i + 1];
            const float px = float(x) + (a + aPrev) * 0.5f;
            const float py = float(y) + (b + bNext) * 0.5f;
            const float sx = std::fabs(a + 1.0f - aPrev);
            const float sy = std::fabs(b + 1.0f - bNext);
            const float lambda = clampCoordinate(std::max(sx * cx, sy * cy) - 1.0f, lastLevel);
            const uint32_t L = uint32_t(lambda);
            const float scale = std::ldexp(1.0f, -int(L));
            const float tx = px * cx * scale, ty = py * cy * scale;
            sampleBilinear(level(L), tx, ty, out);
            if (L + 1 < levels && lambda != float(L)) {
                float coarse[4];
                sampleBilinear(level(L + 1), tx * 0.5f, ty * 0.5f, coarse);
                const float blend = lambda - float(L);
                for (int k = 0; k < 4; ++k)
                    out[k] += (coarse[k] - out[k]) * blend;
            }
            for (int k = 0; k < 4; ++k)
                out[k] = finiteOrZero(out[k]);
        }
    }
}

void Renderer::shadeVelocity(const FrameFields& f, const RenderSettings& settings) {
    shading_.resize(f.width, f.height);
    const float q = 0.5f / settings.maxVelocity;
#pragma omp parallel for schedule(static)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        float* out = shading_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, out += 4) {
            const size_t i = f.index(x, y);
            // Image rows run downwards, so positive v (towards the next row) darkens green.
            out[0] = clamp01(0.5f + f.u[i] * q);
            out[1] = clamp01(0.5f - f.v[i] * q);
            out[2] = 0.0f;
            out[3] = 1.0f;
        }
    }
}

void Renderer::blur(const FloatImage& source, const FrameFields& f, float motionBlur) {
    blurTarget_.resize(f.width, f.height);
    const float maxLength = kMaxBlurGridSizes * float(f.width + f.height);
#pragma omp parallel for schedule(dynamic, 4)
    for (int64_t yy = 0; yy < int64_t(f.height); ++yy) {
        const uint32_t y = uint32_t(yy);
        const float* in = source.row(y);
        float* out = blurTarget_.row(y);
        for (uint32_t x = 0; x < f.width; ++x, in += 4, out += 4) {
            const size_t i = f.index(x, y);
            const float uc = 0.5f * (f.u[i] + f.u[i - 1]);
            const float vc = 0.5f * (f.v[i] + f.v[i - 1]);
            float length = motionBlur * std::sqrt(uc * uc + vc * vc);  // in cells
            if (!(length > 1.0f) || !std::isfinite(length)) {
                std::copy_n(in, 4, out);
                continue;
            }
            float hx = uc * motionBlur * 0.5f, hy = vc * motionBlur * 0.5f;
            if (length > maxLength) {
                const float shorten = maxLength / length;
                hx *= shorten;
                hy *= shorten;
                length = maxLength;
            }
            const float x0 = float(x) - hx, y0 = float(y) - hy;
            const float x1 = float(x) + hx, y1 = float(y) + hy;
            const float dx = x1 - x0, dy = y1 - y0;
            const float norm = std::sqrt(dx * dx + dy * dy + kBlurLengthGuard);
            const float stepX = dx / norm, stepY = dy / norm;
            float r = 0.0f, g = 0.0f, b = 0.0f, alphaSum = 0.0f, weight = 0.0f;
            float c[4];
            // Colours are weighted by their alpha so that transparent samples do not darken
            // the smear; alpha itself is the plain average along the path.
            for (int step = 0; float(step) < length; ++step) {
                sampleBilinear(source, x0 + float(step) * stepX, y0 + float(step) * stepY, c);
                r += c[3] * c[0];
                g += c[3] * c[1];
                b += c[3] * c[2];
                alphaSum += c[3];
                weight += 1.0f;
            }
            const float partial = 1.0f - (std::ceil(length) - length);
            if (partial < 1.0f) {
                sampleBilinear(source, x1, y1, c);
                r += partial * c[3] * c[0];
                g += partial * c[3] * c[1];
                b += partial * c[3] * c[2];
                alphaSum += partial * c[3];
                weight += partial;
            }
            // A path through transparent cells only has no colour to average.
            if (alphaSum > 0.0f) {
                out[0] = r / alphaSum;
                out[1] = g / alphaSum;
                out[2] = b / alphaSum;
            } else {
                out[0] = out[1] = out[2] = 0.0f;
            }
            out[3] = alphaSum / weight;
        }
    }
}

}  // namespace skv
