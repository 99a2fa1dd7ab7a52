#pragma once

#include <cstddef>
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

}  // namespace skv::app
