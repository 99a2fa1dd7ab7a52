#include "gpu/device_grid.h"

#include <cstring>
#include <new>
#include <utility>

#include "gpu/cuda_state.h"
#include "grid/float_grid.h"
#include "platform/log.h"

namespace skv {

using namespace cuda;

namespace {

unsigned blocksFor(uint64_t n, unsigned block) {
    return unsigned((n + block - 1) / block);
}

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

DeviceGrid::DeviceGrid(bool borrowed) : borrowed_(borrowed) {}

DeviceGrid::DeviceGrid(const CudaDriver& driver, bool borrowed)
    : driver_(&driver), borrowed_(borrowed) {}

DeviceGrid::~DeviceGrid() {
    release();
}

const CudaDriver& DeviceGrid::driver() {
    if (!driver_) driver_ = &CudaState::instance().driver();
    return *driver_;
}

void DeviceGrid::forgetSizes() {
    width_ = height_ = depth_ = 0;
    pitch_ = 0;
    data_ = 0;
}

bool DeviceGrid::resize(uint32_t width, uint32_t height, uint32_t depth, bool clearContents) {
    if (width == width_ && height == height_ && depth == depth_) return true;
    release();
    width_ = width;
    height_ = height;
    depth_ = depth;
    copy_.WidthInBytes = size_t(width) * sizeof(float);
    copy_.Height = size_t(height) * depth;
    if (borrowed_ || width == 0 || height == 0 || depth == 0) return true;
    CUdeviceptr data = 0;
    size_t pitch = 0;
    const CUresult r = driver().cuMemAllocPitch(&data, &pitch, size_t(width) * sizeof(float),
                                                size_t(height) * depth, sizeof(float));
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuMemAllocPitch returned " << r);
        forgetSizes();
        return false;
    }
    data_ = data;
    pitch_ = pitch;
    if (clearContents) clear();
    return true;
}

void DeviceGrid::release() {
    if (!borrowed_ && data_) driver().cuMemFree(data_);
    forgetSizes();
}

void DeviceGrid::clear() {
    if (!data_ || borrowed_) return;
    const CUresult r = driver().cuMemsetD8(data_, 0, size_t(byteSize()));
    if (r != CUDA_SUCCESS) SKV_LOG(Error, "cuMemsetD8 returned " << r);
}

void DeviceGrid::fill(float value) {
    if (!data_ || borrowed_) return;
    const CUresult r = driver().cuMemsetD32(data_, bitsOf(value), size_t(elementCount()));
    if (r != CUDA_SUCCESS) SKV_LOG(Error, "cuMemsetD32 returned " << r);
}

void DeviceGrid::setBorder(float value) {
    if (!data_ || width_ == 0 || height_ == 0) return;
    const CudaDriver& d = driver();
    const unsigned bits = bitsOf(value);
    const CUdeviceptr lastRow = data_ + CUdeviceptr(height_ - 1) * pitch_;
    const CUdeviceptr lastColumn = data_ + CUdeviceptr(width_ - 1) * sizeof(float);
    for (CUdeviceptr row : {data_, lastRow}) {
        const CUresult r = d.cuMemsetD32(row, bits, width_);
        if (r != CUDA_SUCCESS) SKV_LOG(Error, "cuMemsetD32 returned " << r);
    }
    for (CUdeviceptr column : {data_, lastColumn}) {
        const CUresult r = d.cuMemsetD2D32(column, pitch_, bits, 1, height_);
        if (r != CUDA_SUCCESS) SKV_LOG(Error, "cuMemsetD2D32 returned " << r);
    }
}

void DeviceGrid::copyBorderColumns() {
    if (!data_ || width_ < 2 || height_ == 0) return;
    const CudaDriver& d = driver();
    CUDA_MEMCPY2D c{};
    c.srcMemoryType = CU_MEMORYTYPE_DEVICE;
    c.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    c.srcDevice = c.dstDevice = data_;
    c.srcPitch = c.dstPitch = pitch_;
    c.WidthInBytes = sizeof(float);
    c.Height = height_;
    c.srcXInBytes = sizeof(float);
    c.dstXInBytes = 0;
    d.cuMemcpy2D(&c);
    c.srcXInBytes = size_t(width_ - 2) * sizeof(float);
    c.dstXInBytes = size_t(width_ - 1) * sizeof(float);
    d.cuMemcpy2D(&c);
}

void DeviceGrid::copyBorderRows() {
    if (!data_ || height_ < 2) return;
    const CudaDriver& d = driver();
    d.cuMemcpyDtoD(data_, data_ + pitch_, pitch_);
    d.cuMemcpyDtoD(data_ + CUdeviceptr(height_ - 1) * pitch_,
                   data_ + CUdeviceptr(height_ - 2) * pitch_, pitch_);
}

void DeviceGrid::copyBorder() {
    copyBorderColumns();
    copyBorderRows();
}

bool DeviceGrid::transfer(const float* fromHost, float* toHost) {
    if (elementCount() == 0 || !data_) return true;
    const size_t hostPitch = size_t(width_) * sizeof(float);
    copy_.srcXInBytes = copy_.dstXInBytes = 0;
    copy_.srcY = copy_.dstY = 0;
    copy_.srcArray = copy_.dstArray = nullptr;
    copy_.srcMemoryType = fromHost ? CU_MEMORYTYPE_HOST : CU_MEMORYTYPE_DEVICE;
    copy_.srcHost = fromHost;
    copy_.srcDevice = fromHost ? 0 : data_;
    copy_.srcPitch = fromHost ? hostPitch : pitch_;
    copy_.dstMemoryType = fromHost ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    copy_.dstHost = toHost;
    copy_.dstDevice = fromHost ? data_ : 0;
    copy_.dstPitch = fromHost ? pitch_ : hostPitch;
    copy_.WidthInBytes = hostPitch;
    copy_.Height = size_t(height_) * depth_;
    const CUresult r = driver().cuMemcpy2D(&copy_);
    if (r != CUDA_SUCCESS) {
        SKV_LOG(Error, "cuMemcpy2D returned " << r);
        return false;
    }
    return true;
}

bool DeviceGrid::upload(const FloatGrid& host) {
    if (!resize(host.width(), host.height(), host.depth(), false)) return false;
    return transfer(host.data(), nullptr);
}

bool DeviceGrid::download(FloatGrid& host) {
    try {
        host.resize(width_, height_, depth_, false);
    } catch (const std::bad_alloc&) {
        SKV_LOG(Error, "Out of memory for the host copy of a device grid");
        return false;
    }
    return transfer(nullptr, host.data());
}

void DeviceGrid::borrow(const DeviceGrid& owner, uint32_t width, uint32_t height) {
    release();
    borrowed_ = true;
    driver_ = owner.driver_;
    if (!owner.data_ || width > owner.rowLength() ||
        uint64_t(height) > uint64_t(owner.height_) * owner.depth_)
        return;
    width_ = width;
    height_ = height;
    depth_ = 1;
    pitch_ = owner.pitch_;
    data_ = owner.data_;
    copy_.WidthInBytes = size_t(width) * sizeof(float);
    copy_.Height = height;
}

LaunchDims DeviceGrid::launchGrid2D(unsigned bx, unsigned by) const {
    return {blocksFor(width_, bx), blocksFor(height_, by), 1};
}

LaunchDims DeviceGrid::launchGrid1D(unsigned bx) const {
    return {blocksFor(elementCount(), bx), 1, 1};
}

void DeviceGrid::swap(DeviceGrid& other) noexcept {
    std::swap(driver_, other.driver_);
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(depth_, other.depth_);
    std::swap(pitch_, other.pitch_);
    std::swap(data_, other.data_);
    std::swap(borrowed_, other.borrowed_);
    std::swap(copy_, other.copy_);
}

}  // namespace skv
