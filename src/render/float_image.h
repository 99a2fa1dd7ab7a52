#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace skv {

// A float RGBA image: four 32-bit floats per pixel in red, green, blue, alpha order, straight
// (not premultiplied) alpha, rows top to bottom. Pixel (x, y) starts at data()[y·pitch() + 4·x];
// the pitch is in floats and currently equals 4·width (rows are packed).
class FloatImage {
  public:
    static constexpr uint32_t kChannels = 4;
    // Refuses sizes whose float count would not fit the address space's practical limits
    // (2^31 pixels, 32 GiB), so that a corrupt size from a file or a host cannot make us
    // attempt an absurd allocation.
    static constexpr uint64_t kMaxPixels = uint64_t(1) << 31;

    FloatImage() = default;
    FloatImage(uint32_t width, uint32_t height) { resize(width, height); }

    // Keeps the storage (and the contents) when the size is unchanged; otherwise the contents
    // are undefined until written. Never shrinks the allocation, so alternating sizes settle
    // without further allocation. Throws std::bad_alloc for sizes above kMaxPixels.
    void resize(uint32_t width, uint32_t height) {
        if (width == width_ && height == height_) return;
        const uint64_t pixels = uint64_t(width) * height;
        if (pixels > kMaxPixels) throw std::bad_alloc();
        const size_t floats = size_t(pixels) * kChannels;
        if (floats > data_.size()) data_.resize(floats);
        width_ = width;
        height_ = height;
    }
    void release() {
        std::vector<float>().swap(data_);
        width_ = height_ = 0;
    }
    // Every channel of every pixel 0 (transparent black).
    void clear() { std::fill_n(data_.data(), size_t(width_) * height_ * kChannels, 0.0f); }
    void swap(FloatImage& other) noexcept {
        data_.swap(other.data_);
        std::swap(width_, other.width_);
        std::swap(height_, other.height_);
    }

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    size_t pitch() const { return size_t(width_) * kChannels; }  // floats per row
    bool empty() const { return width_ == 0 || height_ == 0; }

    float* data() { return data_.data(); }
    const float* data() const { return data_.data(); }
    float* row(uint32_t y) { return data_.data() + size_t(y) * pitch(); }
    const float* row(uint32_t y) const { return data_.data() + size_t(y) * pitch(); }
    float* pixel(uint32_t x, uint32_t y) { return row(y) + size_t(x) * kChannels; }
    const float* pixel(uint32_t x, uint32_t y) const { return row(y) + size_t(x) * kChannels; }

  private:
    std::vector<float> data_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

}  // namespace skv
