#pragma once

// Grid helpers shared by the tests of every layer.

#include <cstring>
#include <random>

#include "grid/float_grid.h"

namespace skv::test {

// Every element, padding and border included, uniform in [lo, hi) from the seed.
inline void randomize(FloatGrid& g, unsigned seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

// A grid of 0 and 1 with about `fraction` ones.
inline void randomMask(FloatGrid& g, unsigned seed, float fraction) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng) < fraction ? 1.0f : 0.0f;
}

// Same size and the same bits in every element.
inline bool sameBits(const FloatGrid& a, const FloatGrid& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           std::memcmp(a.data(), b.data(), a.count() * sizeof(float)) == 0;
}

// The largest absolute difference of two grids of one size.
inline float maxDifference(const FloatGrid& a, const FloatGrid& b) {
    float worst = 0.0f;
    for (uint64_t i = 0; i < a.count(); ++i) {
        const float d = a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
        if (!(d <= worst)) worst = d;
    }
    return worst;
}

}  // namespace skv::test
