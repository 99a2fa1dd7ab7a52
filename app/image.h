#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace skv::app {

// A float RGBA image with straight alpha, rows top to bottom.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<float> rgba;  // width × height × 4

    Image() = default;
    Image(int w, int h) : width(w), height(h), rgba(size_t(w) * size_t(h) * 4, 0.0f) {}
    float* pixel(int x, int y) { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
    const float* pixel(int x, int y) const {
        return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
    }
    bool empty() const { return width <= 0 || height <= 0; }
};

// A channel value as an integer from 0 to `top`: clamped to [0, 1] (NaN gives 0), scaled and
// rounded half away from zero, exactly as lroundf would. Written out because it runs for every
// channel of every frame, where the library call cost more than the rest of the conversion.
inline int quantized(float v, float top) {
    const float x = (v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f) * top;
    const int whole = int(x);
    return whole + (x - float(whole) >= 0.5f ? 1 : 0);
}

// Into the full range of an unsigned integer type.
template <typename T>
void quantize(const float* values, size_t count, T* out) {
    constexpr float top = float(std::numeric_limits<T>::max());
    for (size_t i = 0; i < count; ++i)
        out[i] = T(quantized(values[i], top));
}

}  // namespace skv::app
