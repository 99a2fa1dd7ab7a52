#pragma once

#include <cstddef>
#include <cstdint>

namespace skv {

// A dense row-major 2D (or layered 3D) array of 32-bit floats: the CPU type of every field.
// Element (x, y) of plane 0 is data()[y * width() + x]. Engine grids are the simulation
// resolution plus a one-cell border on each side; cells with x = 0, x = width - 1, y = 0 or
// y = height - 1 are the border.
//
// The data start is aligned to 64 bytes (a cache line, and more than the 16 that the aligned
// vector loops need), so rows of widths that are multiples of 16 stay aligned too.
class FloatGrid {
  public:
    static constexpr size_t kAlignment = 64;

    FloatGrid() = default;
    FloatGrid(uint32_t width, uint32_t height, uint32_t depth = 1, bool clear = true) {
        resize(width, height, depth, clear);
    }
    ~FloatGrid();
    FloatGrid(const FloatGrid&) = delete;
    FloatGrid& operator=(const FloatGrid&) = delete;
    FloatGrid(FloatGrid&& other) noexcept { swap(other); }
    FloatGrid& operator=(FloatGrid&& other) noexcept {
        swap(other);
        return *this;
    }

    // Reallocates only when the grid has no data or a size differs (the old contents are then
    // lost, the new ones undefined unless `clear`). Throws std::bad_alloc when memory runs out,
    // leaving the grid empty.
    void resize(uint32_t width, uint32_t height, uint32_t depth = 1, bool clear = false);
    void release();

    void clear();            // every element 0
    void fill(float value);  // every element `value`

    float* data() { return data_; }
    const float* data() const { return data_; }
    uint64_t count() const { return count_; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    uint32_t depth() const { return depth_; }
    uint64_t byteSize() const { return count_ * sizeof(float); }
    bool empty() const { return data_ == nullptr; }

    float& operator()(uint32_t x, uint32_t y) { return data_[size_t(y) * width_ + x]; }
    float operator()(uint32_t x, uint32_t y) const { return data_[size_t(y) * width_ + x]; }
    float& operator[](size_t i) { return data_[i]; }
    float operator[](size_t i) const { return data_[i]; }

    // Whole-grid operations of the solver's sub-step. The grids involved have equal sizes
    // unless stated.
    void copyFrom(const FloatGrid& src);   // resizes to the source when the sizes differ
    void swap(FloatGrid& other) noexcept;  // exchanges storage, no copy
    void setBorder(float value);           // outermost rows and columns
    void copyBorder();                     // zero-gradient border: columns, then rows
    void setMax(float value);              // element = max(element, value)
    // element = src element wherever mask element > threshold, over the smallest count.
    void setMasked(const FloatGrid& src, const FloatGrid& mask, float threshold);
    void zeroInMask(const FloatGrid& mask);  // element = 0 wherever mask element != 0
    void axpbypz(float a, const FloatGrid& x, float b, const FloatGrid& y);  // += a·x + b·y
    void axpy(float a, const FloatGrid& x);                                  // += a·x

  private:
    float* data_ = nullptr;
    void* allocation_ = nullptr;
    uint64_t count_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t depth_ = 0;
};

inline void swap(FloatGrid& a, FloatGrid& b) noexcept {
    a.swap(b);
}

}  // namespace skv
