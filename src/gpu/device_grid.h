#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/cuda_driver.h"

namespace skv {

class FloatGrid;

// Grid dimensions of a kernel launch (blocks per axis), or the block's threads per axis.
struct LaunchDims {
    unsigned x = 1, y = 1, z = 1;
};

// The GPU twin of FloatGrid: a pitched array of 32-bit floats in device memory. Rows of all
// slices lie one after another, `pitch()` bytes apart as the driver chose; cell (x, y) of slice
// 0 is element y · rowLength() + x. The padding at the end of each row belongs to the grid:
// element-wise operations (fill, the field kernels) cover it, transfers and 2D kernels do not.
//
// Every operation expects the process CUDA context to be current on the calling thread (a
// CudaContextGuard). Driver failures are logged as "<driver function> returned <code>" and
// reported as false; nothing throws. A borrowed grid never allocates, frees or clears memory:
// it records sizes, or views the memory of another grid (borrow).
class DeviceGrid {
  public:
    // Uses the driver of the process CUDA state (resolved at the first driver call).
    explicit DeviceGrid(bool borrowed = false);
    // Uses the given driver table, which must outlive the grid.
    explicit DeviceGrid(const cuda::CudaDriver& driver, bool borrowed = false);
    ~DeviceGrid();
    DeviceGrid(const DeviceGrid&) = delete;
    DeviceGrid& operator=(const DeviceGrid&) = delete;

    // Allocates for width × height × depth. The same size returns true at once (nothing is
    // cleared, the driver is not called); another size frees the old memory first, and a
    // failed allocation leaves the grid empty (all sizes 0) and returns false.
    [[nodiscard]] bool resize(uint32_t width, uint32_t height, uint32_t depth, bool clear);
    [[nodiscard]] bool resize(uint32_t width, uint32_t height, bool clear) {
        return resize(width, height, 1, clear);
    }
    [[nodiscard]] bool resize(uint32_t count, bool clear) { return resize(count, 1, 1, clear); }
    // Frees the memory (unless borrowed) and zeroes every size.
    void release();

    void clear();                 // every byte 0, padding included; nothing when empty or borrowed
    void fill(float value);       // every element, padding included; nothing when empty or borrowed
    void setBorder(float value);  // first and last row and column of the first slice
    void copyBorderColumns();     // column 1 into 0, column width − 2 into width − 1
    void copyBorderRows();        // row 1 into 0, row height − 2 into height − 1
    void copyBorder();            // columns, then rows

    // Whole-grid transfers through the grid's one copy descriptor: width · 4 bytes per row.
    // upload sizes the device grid like the host grid (without clearing); download sizes the
    // host grid like this one.
    [[nodiscard]] bool upload(const FloatGrid& host);
    [[nodiscard]] bool download(FloatGrid& host);

    // Makes this (borrowed) grid a view of the first height rows and width columns of owner,
    // with the owner's pitch.
    void borrow(const DeviceGrid& owner, uint32_t width, uint32_t height);

    // Blocks for a launch of blocks of bx × by threads over the cells (2D) or of bx threads over
    // the elements, padding included (1D). Block dimensions must not be 0.
    LaunchDims launchGrid2D(unsigned bx, unsigned by) const;
    LaunchDims launchGrid1D(unsigned bx) const;

    cuda::CUdeviceptr devicePointer() const { return data_; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    uint32_t depth() const { return depth_; }
    size_t pitch() const { return pitch_; }
    uint64_t rowLength() const { return pitch_ / sizeof(float); }
    uint64_t elementCount() const { return rowLength() * height_ * depth_; }
    uint64_t byteSize() const { return uint64_t(pitch_) * height_ * depth_; }
    bool borrowed() const { return borrowed_; }
    bool empty() const { return data_ == 0; }

    // Exchanges everything, memory and driver included (no copy).
    void swap(DeviceGrid& other) noexcept;

  private:
    const cuda::CudaDriver& driver();
    void forgetSizes();
    // One whole-grid copy through the grid's descriptor: from fromHost, or to toHost.
    bool transfer(const float* fromHost, float* toHost);

    const cuda::CudaDriver* driver_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t depth_ = 0;
    size_t pitch_ = 0;
    cuda::CUdeviceptr data_ = 0;
    bool borrowed_ = false;
    cuda::CUDA_MEMCPY2D copy_{};
};

inline void swap(DeviceGrid& a, DeviceGrid& b) noexcept {
    a.swap(b);
}

}  // namespace skv
