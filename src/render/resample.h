#pragma once

#include <cstddef>
#include <cstdint>

namespace skv {

class FloatGrid;
class FloatImage;

// Brings an image of `channels` floats per pixel (1 to 4) from one size to another, each axis
// on its own:
//  - equal sizes copy;
//  - an axis that grows is interpolated linearly, mapping the first and last pixel of the
//    source onto the first and last of the target (factor (source − 1)/(target − 1));
//  - an axis that shrinks (or keeps its size while the other changes) averages each target
//    pixel's footprint [i·s, (i + 1)·s) exactly, with s = source / target and the pixels cut
//    by the footprint's edges weighted by the part that it covers. The average of the whole
//    image is therefore kept, for ratios that are not whole numbers too.
// Both axes shrinking gives the area average of the footprint rectangle; one growing and one
// shrinking gives the average along one axis of the linear interpolation along the other.
// Pitches are in floats. An empty source leaves the target all 0. Rows run in parallel.
void resample(const float* src, uint32_t srcWidth, uint32_t srcHeight, size_t srcPitch, float* dst,
              uint32_t dstWidth, uint32_t dstHeight, size_t dstPitch, uint32_t channels);

// RGBA images; the target keeps its size.
void resample(const FloatImage& src, FloatImage& dst);

// Single-channel grids (plane 0); the target keeps its size.
void resample(const FloatGrid& src, FloatGrid& dst);

}  // namespace skv
