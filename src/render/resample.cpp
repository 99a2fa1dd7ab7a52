#include "render/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "grid/float_grid.h"
#include "render/float_image.h"

namespace skv {
namespace {

// Interpolation position of target pixel i on an axis that grows (or keeps its size): corners
// map onto corners. Computed in double as i·(s − 1)/(d − 1) so that the last target pixel
// lands exactly on the last source pixel; a one-pixel target samples the first pixel.
inline double interpolationPosition(uint32_t i, uint32_t source, uint32_t target) {
    return target > 1 ? double(i) * double(source - 1) / double(target - 1) : 0.0;
}

// The source pixels [begin, end) that make up one target pixel along one axis, with their
// weights (which sum to 1).
struct AxisSpan {
    uint32_t begin = 0;
    uint32_t end = 0;
    bool interpolate = false;
    float t = 0.0f;  // interpolation: weights 1 − t for begin, t for begin + 1
    double lo = 0.0, hi = 0.0, scale = 1.0;  // averaging: footprint [lo, hi), 1 / its length

    float weight(uint32_t j) const {
        if (interpolate) return j == begin ? 1.0f - t : t;
        return float((std::min(double(j) + 1.0, hi) - std::max(double(j), lo)) * scale);
    }
};

class Axis {
  public:
    Axis(uint32_t source, uint32_t target)
        : source_(source), target_(target), grows_(target > source) {}

    AxisSpan span(uint32_t i) const {
        AxisSpan s;
        if (grows_) {
            const double p = interpolationPosition(i, source_, target_);
            const uint32_t i0 = std::min(uint32_t(p), source_ - 1);
            s.interpolate = true;
            s.begin = i0;
            s.t = float(p - double(i0));
            // A weight of exactly 0 must not touch the neighbour: it may lie beyond the edge.
            if (i0 + 1 < source_ && s.t > 0.0f) {
                s.end = i0 + 2;
            } else {
                s.end = i0 + 1;
                s.t = 0.0f;
            }
        } else {
            // Edges as i·s/d in double: the last footprint ends exactly at the source's edge.
            s.lo = double(i) * source_ / target_;
            s.hi = double(i + 1) * source_ / target_;
            s.begin = std::min(uint32_t(s.lo), source_ - 1);
            s.end = std::clamp(uint32_t(std::ceil(s.hi)), s.begin + 1, source_);
            s.scale = double(target_) / source_;
        }
        return s;
    }

  private:
    uint32_t source_;
    uint32_t target_;
    bool grows_;
};

template <uint32_t C>
void copyRows(const float* src, size_t srcPitch, float* dst, size_t dstPitch, uint32_t width,
              uint32_t height) {
#pragma omp parallel for schedule(dynamic, 4)
    for (int64_t y = 0; y < int64_t(height); ++y)
        std::memcpy(dst + size_t(y) * dstPitch, src + size_t(y) * srcPitch,
                    size_t(width) * C * sizeof(float));
}

// Both axes grow or keep their size: two taps per axis, the common case of rendering a grid
// to a larger output.
template <uint32_t C>
void resampleBilinear(const float* src, uint32_t sw, uint32_t sh, size_t srcPitch, float* dst,
                      uint32_t dw, uint32_t dh, size_t dstPitch) {
#pragma omp parallel for schedule(dynamic, 4)
    for (int64_t y = 0; y < int64_t(dh); ++y) {
        const double py = interpolationPosition(uint32_t(y), sh, dh);
        const uint32_t y0 = std::min(uint32_t(py), sh - 1);
        const uint32_t y1 = std::min(y0 + 1, sh - 1);
        const float ty = y1 == y0 ? 0.0f : float(py - double(y0));
        const float* r0 = src + size_t(y0) * srcPitch;
        const float* r1 = src + size_t(y1) * srcPitch;
        float* out = dst + size_t(y) * dstPitch;
        for (uint32_t x = 0; x < dw; ++x) {
            const double px = interpolationPosition(x, sw, dw);
            const uint32_t x0 = std::min(uint32_t(px), sw - 1);
            const uint32_t x1 = std::min(x0 + 1, sw - 1);
            const float tx = x1 == x0 ? 0.0f : float(px - double(x0));
            const float* a = r0 + size_t(x0) * C;
            const float* b = r0 + size_t(x1) * C;
            const float* c = r1 + size_t(x0) * C;
            const float* d = r1 + size_t(x1) * C;
            for (uint32_t k = 0; k < C; ++k) {
                const float top = a[k] + (b[k] - a[k]) * tx;
                const float bottom = c[k] + (d[k] - c[k]) * tx;
                out[size_t(x) * C + k] = top + (bottom - top) * ty;
            }
        }
    }
}

// Any axis shrinks: the weighted sum over each target pixel's source span.
template <uint32_t C>
void resampleSpans(const float* src, uint32_t sw, uint32_t sh, size_t srcPitch, float* dst,
                   uint32_t dw, uint32_t dh, size_t dstPitch) {
    const Axis ax(sw, dw), ay(sh, dh);
#pragma omp parallel for schedule(dynamic, 4)
    for (int64_t y = 0; y < int64_t(dh); ++y) {
        const AxisSpan sy = ay.span(uint32_t(y));
        float* out = dst + size_t(y) * dstPitch;
        for (uint32_t x = 0; x < dw; ++x) {
            const AxisSpan sx = ax.span(x);
            float sum[C] = {};
            for (uint32_t j = sy.begin; j < sy.end; ++j) {
                const float wy = sy.weight(j);
                const float* row = src + size_t(j) * srcPitch;
                for (uint32_t i = sx.begin; i < sx.end; ++i) {
                    const float w = wy * sx.weight(i);
                    for (uint32_t k = 0; k < C; ++k)
                        sum[k] += w * row[size_t(i) * C + k];
                }
            }
            for (uint32_t k = 0; k < C; ++k)
                out[size_t(x) * C + k] = sum[k];
        }
    }
}

template <uint32_t C>
void resampleChannels(const float* src, uint32_t sw, uint32_t sh, size_t srcPitch, float* dst,
                      uint32_t dw, uint32_t dh, size_t dstPitch) {
    if (sw == dw && sh == dh)
        copyRows<C>(src, srcPitch, dst, dstPitch, dw, dh);
    else if (dw >= sw && dh >= sh)
        resampleBilinear<C>(src, sw, sh, srcPitch, dst, dw, dh, dstPitch);
    else
        resampleSpans<C>(src, sw, sh, srcPitch, dst, dw, dh, dstPitch);
}

}  // namespace

void resample(const float* src, uint32_t srcWidth, uint32_t srcHeight, size_t srcPitch, float* dst,
              uint32_t dstWidth, uint32_t dstHeight, size_t dstPitch, uint32_t channels) {
    if (!dst || dstWidth == 0 || dstHeight == 0 || channels == 0 || channels > 4) return;
    if (!src || srcWidth == 0 || srcHeight == 0) {
        for (uint32_t y = 0; y < dstHeight; ++y)
            std::fill_n(dst + size_t(y) * dstPitch, size_t(dstWidth) * channels, 0.0f);
        return;
    }
    switch (channels) {
        case 1:
            resampleChannels<1>(src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight,
                                dstPitch);
            break;
        case 2:
            resampleChannels<2>(src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight,
                                dstPitch);
            break;
        case 3:
            resampleChannels<3>(src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight,
                                dstPitch);
            break;
        default:
            resampleChannels<4>(src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight,
                                dstPitch);
            break;
    }
}

void resample(const FloatImage& src, FloatImage& dst) {
    resample(src.data(), src.width(), src.height(), src.pitch(), dst.data(), dst.width(),
             dst.height(), dst.pitch(), FloatImage::kChannels);
}

void resample(const FloatGrid& src, FloatGrid& dst) {
    resample(src.data(), src.width(), src.height(), src.width(), dst.data(), dst.width(),
             dst.height(), dst.width(), 1);
}

}  // namespace skv
