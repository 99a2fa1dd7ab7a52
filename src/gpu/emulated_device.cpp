#include "gpu/emulated_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <sstream>

#include "gpu/emulated_kernels.h"

namespace skv::gpu {

using namespace cuda;

namespace {

EmulatedDevice* activeDevice = nullptr;
std::mutex activeMutex;

// The context stack of each thread; one context exists, this token.
thread_local std::vector<CUcontext> contextStack;
CUctx_st* const kContext = reinterpret_cast<CUctx_st*>(uintptr_t(0xc0de));

constexpr std::align_val_t kAllocationAlignment{512};
constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxSharedBytes = 48 * 1024;

std::string hex(uint64_t value) {
    std::ostringstream s;
    s << "0x" << std::hex << value;
    return s.str();
}

// The entry names of a PTX text: the identifiers after ".entry".
std::set<std::string, std::less<>> entriesOf(const char* text) {
    std::set<std::string, std::less<>> names;
    const std::string_view ptx(text);
    constexpr std::string_view kEntry = ".entry";
    for (size_t at = ptx.find(kEntry); at != std::string_view::npos;
         at = ptx.find(kEntry, at + kEntry.size())) {
        size_t begin = at + kEntry.size();
        while (begin < ptx.size() && (ptx[begin] == ' ' || ptx[begin] == '\t'))
            ++begin;
        size_t end = begin;
        while (end < ptx.size() && ptx[end] != '(' && ptx[end] != ' ' && ptx[end] != '\n' &&
               ptx[end] != '\r' && ptx[end] != '\t')
            ++end;
        if (end > begin) names.emplace(ptx.substr(begin, end - begin));
    }
    return names;
}

}  // namespace

struct EmulatedDevice::Function {
    const EmulatedKernel* kernel;
    Module* module;
};

struct EmulatedDevice::Module {
    std::set<std::string, std::less<>> entries;
    std::map<std::string, std::unique_ptr<Function>, std::less<>> functions;
};

EmulatedDevice::EmulatedDevice() : EmulatedDevice(Options{}) {}

EmulatedDevice::EmulatedDevice(const Options& options) : options_(options) {
    {
        std::lock_guard<std::mutex> lock(activeMutex);
        if (activeDevice) {
            std::fputs("EmulatedDevice: only one may exist at a time\n", stderr);
            std::abort();
        }
        activeDevice = this;
    }
    CudaDriver& d = driver_;
    d.cuInit = [](unsigned) { return CUDA_SUCCESS; };
    d.cuDeviceGetCount = [](int* count) {
        *count = 1;
        return CUDA_SUCCESS;
    };
    d.cuDeviceGet = [](CUdevice* device, int ordinal) {
        if (ordinal != 0) return CUDA_ERROR_INVALID_VALUE;
        *device = 0;
        return CUDA_SUCCESS;
    };
    d.cuDeviceGetName = [](char* name, int length, CUdevice) {
        std::snprintf(name, size_t(length), "%s", "Skyvane emulated device");
        return CUDA_SUCCESS;
    };
    d.cuDeviceGetAttribute = [](int* value, int attribute, CUdevice) {
        // The compute capability of the modules' PTX baseline.
        *value = attribute == CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR ? 7 : 5;
        return CUDA_SUCCESS;
    };
    d.cuCtxCreate = [](CUcontext* context, unsigned, CUdevice) {
        *context = kContext;
        contextStack.push_back(kContext);
        return CUDA_SUCCESS;
    };
    d.cuCtxGetDevice = [](CUdevice* device) {
        if (contextStack.empty()) return CUDA_ERROR_INVALID_CONTEXT;
        *device = 0;
        return CUDA_SUCCESS;
    };
    d.cuCtxGetCurrent = [](CUcontext* context) {
        *context = contextStack.empty() ? nullptr : contextStack.back();
        return CUDA_SUCCESS;
    };
    d.cuCtxPushCurrent = [](CUcontext context) {
        if (context != kContext) return CUDA_ERROR_INVALID_CONTEXT;
        contextStack.push_back(context);
        return CUDA_SUCCESS;
    };
    d.cuCtxPopCurrent = [](CUcontext* context) {
        if (contextStack.empty()) return CUDA_ERROR_INVALID_CONTEXT;
        if (context) *context = contextStack.back();
        contextStack.pop_back();
        return CUDA_SUCCESS;
    };
    d.cuCtxAttach = [](CUcontext* context, unsigned) {
        if (contextStack.empty()) return CUDA_ERROR_INVALID_CONTEXT;
        *context = contextStack.back();
        return CUDA_SUCCESS;
    };
    d.cuCtxDetach = [](CUcontext context) {
        return context == kContext ? CUDA_SUCCESS : CUDA_ERROR_INVALID_CONTEXT;
    };
    d.cuCtxSynchronize = []() {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuCtxSynchronize")) return CUDA_ERROR_INVALID_CONTEXT;
        ++e.counters_.synchronizations;
        return e.synchronizeResult_;
    };
    d.cuMemGetInfo = [](size_t* free, size_t* total) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        *total = size_t(e.options_.capacity);
        *free = size_t(e.options_.capacity - std::min(e.options_.capacity, e.bytesInUse_));
        return CUDA_SUCCESS;
    };
    d.cuMemAllocPitch = [](CUdeviceptr* dptr, size_t* pitch, size_t widthInBytes, size_t height,
                           unsigned elementSize) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemAllocPitch")) return CUDA_ERROR_INVALID_CONTEXT;
        if (widthInBytes == 0 || height == 0 ||
            (elementSize != 4 && elementSize != 8 && elementSize != 16))
            return e.misuse(CUDA_ERROR_INVALID_VALUE, "cuMemAllocPitch of an empty or odd shape");
        const size_t a = e.options_.pitchAlignment;
        const size_t p = (widthInBytes + a - 1) / a * a;
        if (height > SIZE_MAX / p) return CUDA_ERROR_OUT_OF_MEMORY;
        const CUresult r = e.allocate(dptr, p * height);
        if (r == CUDA_SUCCESS) *pitch = p;
        return r;
    };
    d.cuMemAlloc = [](CUdeviceptr* dptr, size_t bytes) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemAlloc")) return CUDA_ERROR_INVALID_CONTEXT;
        if (bytes == 0) return e.misuse(CUDA_ERROR_INVALID_VALUE, "cuMemAlloc of 0 bytes");
        return e.allocate(dptr, bytes);
    };
    d.cuMemFree = [](CUdeviceptr dptr) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        return e.free(dptr);
    };
    d.cuMemcpy2D = [](const CUDA_MEMCPY2D* copy) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemcpy2D")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.copy2D(*copy);
    };
    d.cuMemcpyDtoH = [](void* dst, CUdeviceptr src, size_t bytes) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemcpyDtoH")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.copyLinear(dst, reinterpret_cast<const void*>(src), bytes, false, true, true);
    };
    d.cuMemcpyHtoD = [](CUdeviceptr dst, const void* src, size_t bytes) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemcpyHtoD")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.copyLinear(reinterpret_cast<void*>(dst), src, bytes, true, false, true);
    };
    d.cuMemcpyDtoD = [](CUdeviceptr dst, CUdeviceptr src, size_t bytes) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemcpyDtoD")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.copyLinear(reinterpret_cast<void*>(dst), reinterpret_cast<const void*>(src), bytes,
                            true, true, false);
    };
    d.cuMemsetD8 = [](CUdeviceptr dst, unsigned char value, size_t count) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemsetD8")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.set(dst, count, &value, 1, count, 1, "cuMemsetD8");
    };
    d.cuMemsetD32 = [](CUdeviceptr dst, unsigned value, size_t count) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemsetD32")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.set(dst, count * 4, &value, 4, count, 1, "cuMemsetD32");
    };
    d.cuMemsetD2D32 = [](CUdeviceptr dst, size_t pitch, unsigned value, size_t width,
                         size_t height) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuMemsetD2D32")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.set(dst, pitch, &value, 4, width, height, "cuMemsetD2D32");
    };
    d.cuModuleLoadData = [](CUmodule* module, const void* image) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuModuleLoadData")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.loadModule(module, image);
    };
    d.cuModuleUnload = [](CUmodule module) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        return e.unloadModule(module);
    };
    d.cuModuleGetFunction = [](CUfunction* function, CUmodule module, const char* name) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuModuleGetFunction")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.getFunction(function, module, name);
    };
    d.cuLaunchKernel = [](CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                          unsigned by, unsigned bz, unsigned shared, CUstream, void** params,
                          void** extra) {
        EmulatedDevice& e = active();
        std::lock_guard<std::mutex> lock(e.mutex_);
        if (!e.hasContext("cuLaunchKernel")) return CUDA_ERROR_INVALID_CONTEXT;
        return e.launch(f, gx, gy, gz, bx, by, bz, shared, params, extra);
    };
    d.cuGetErrorName = [](CUresult, const char** name) {
        *name = "CUDA_ERROR (emulated device)";
        return CUDA_SUCCESS;
    };
    d.loaded = true;
}

EmulatedDevice::~EmulatedDevice() {
    for (auto& [address, a] : allocations_)
        ::operator delete(a.memory, kAllocationAlignment);
    allocations_.clear();
    modules_.clear();
    std::lock_guard<std::mutex> lock(activeMutex);
    activeDevice = nullptr;
}

EmulatedDevice& EmulatedDevice::active() {
    if (!activeDevice) {
        std::fputs("EmulatedDevice: driver entry called after the device was destroyed\n", stderr);
        std::abort();
    }
    return *activeDevice;
}

CUresult EmulatedDevice::misuse(CUresult result, const std::string& what) {
    misuses_.push_back(what);
    return result;
}

bool EmulatedDevice::hasContext(const char* call) {
    if (!contextStack.empty()) return true;
    misuse(CUDA_ERROR_INVALID_CONTEXT, std::string(call) + " without a current context");
    return false;
}

const EmulatedDevice::Allocation* EmulatedDevice::find(CUdeviceptr p, size_t bytes) const {
    auto it = allocations_.upper_bound(p);
    if (it == allocations_.begin()) return nullptr;
    --it;
    const CUdeviceptr base = it->first;
    const size_t size = it->second.bytes;
    if (p - base > size || bytes > size - (p - base)) return nullptr;
    if (bytes == 0 && p - base == size) return nullptr;  // one past the end
    return &it->second;
}

CUresult EmulatedDevice::allocate(CUdeviceptr* dptr, size_t bytes) {
    if (allocationsLeft_ == 0 ||
        bytes > options_.capacity - std::min(options_.capacity, bytesInUse_))
        return CUDA_ERROR_OUT_OF_MEMORY;
    if (allocationsLeft_ > 0) --allocationsLeft_;
    void* memory = ::operator new(bytes, kAllocationAlignment, std::nothrow);
    if (!memory) return CUDA_ERROR_OUT_OF_MEMORY;
    auto* words = static_cast<uint32_t*>(memory);
    std::fill(words, words + bytes / 4, kFreshMemory);
    std::memset(static_cast<char*>(memory) + bytes / 4 * 4, 0xff, bytes % 4);
    const CUdeviceptr address = reinterpret_cast<uintptr_t>(memory);
    allocations_[address] = {memory, bytes};
    bytesInUse_ += bytes;
    ++counters_.allocations;
    *dptr = address;
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::free(CUdeviceptr dptr) {
    const auto it = allocations_.find(dptr);
    if (it == allocations_.end())
        return misuse(CUDA_ERROR_INVALID_VALUE,
                      "cuMemFree of " + hex(dptr) + ", which is not a live allocation");
    bytesInUse_ -= it->second.bytes;
    ::operator delete(it->second.memory, kAllocationAlignment);
    allocations_.erase(it);
    ++counters_.frees;
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::copy2D(const CUDA_MEMCPY2D& c) {
    ++counters_.copies;
    const bool srcDevice = c.srcMemoryType == CU_MEMORYTYPE_DEVICE;
    const bool dstDevice = c.dstMemoryType == CU_MEMORYTYPE_DEVICE;
    if ((!srcDevice && c.srcMemoryType != CU_MEMORYTYPE_HOST) ||
        (!dstDevice && c.dstMemoryType != CU_MEMORYTYPE_HOST))
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuMemcpy2D with arrays or unified memory");
    if (c.WidthInBytes == 0 || c.Height == 0) return CUDA_SUCCESS;
    if (c.Height > 1 && (c.srcPitch < c.WidthInBytes || c.dstPitch < c.WidthInBytes))
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuMemcpy2D with a pitch below the width");
    if ((!srcDevice || !dstDevice) && transferResult_ != CUDA_SUCCESS) return transferResult_;
    const auto start = [](uintptr_t base, size_t x, size_t y, size_t pitch) {
        return base + y * pitch + x;
    };
    const uintptr_t src =
        start(srcDevice ? uintptr_t(c.srcDevice) : reinterpret_cast<uintptr_t>(c.srcHost),
              c.srcXInBytes, c.srcY, c.srcPitch);
    const uintptr_t dst =
        start(dstDevice ? uintptr_t(c.dstDevice) : reinterpret_cast<uintptr_t>(c.dstHost),
              c.dstXInBytes, c.dstY, c.dstPitch);
    const size_t srcSpan = (c.Height - 1) * c.srcPitch + c.WidthInBytes;
    const size_t dstSpan = (c.Height - 1) * c.dstPitch + c.WidthInBytes;
    if (srcDevice && !find(src, srcSpan))
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuMemcpy2D reads " + std::to_string(srcSpan) +
                                                    " bytes at " + hex(src) +
                                                    " outside every allocation");
    if (dstDevice && !find(dst, dstSpan))
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuMemcpy2D writes " + std::to_string(dstSpan) +
                                                    " bytes at " + hex(dst) +
                                                    " outside every allocation");
    for (size_t row = 0; row < c.Height; ++row)
        std::memmove(reinterpret_cast<void*>(dst + row * c.dstPitch),
                     reinterpret_cast<const void*>(src + row * c.srcPitch), c.WidthInBytes);
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::copyLinear(void* dst, const void* src, size_t bytes, bool deviceDst,
                                    bool deviceSrc, bool transfer) {
    ++counters_.copies;
    if (transfer && transferResult_ != CUDA_SUCCESS) return transferResult_;
    if (bytes == 0) return CUDA_SUCCESS;
    if (deviceSrc && !find(reinterpret_cast<uintptr_t>(src), bytes))
        return misuse(CUDA_ERROR_INVALID_VALUE,
                      "copy reads " + std::to_string(bytes) + " bytes outside every allocation");
    if (deviceDst && !find(reinterpret_cast<uintptr_t>(dst), bytes))
        return misuse(CUDA_ERROR_INVALID_VALUE,
                      "copy writes " + std::to_string(bytes) + " bytes outside every allocation");
    std::memmove(dst, src, bytes);
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::set(CUdeviceptr dst, size_t pitch, const void* pattern, size_t size,
                             size_t width, size_t height, const char* call) {
    ++counters_.memsets;
    if (width == 0 || height == 0) return CUDA_SUCCESS;
    const size_t span = (height - 1) * pitch + width * size;
    if ((height > 1 && pitch < width * size) || !find(dst, span))
        return misuse(CUDA_ERROR_INVALID_VALUE, std::string(call) + " of " + std::to_string(span) +
                                                    " bytes at " + hex(dst) +
                                                    " outside every allocation");
    for (size_t row = 0; row < height; ++row) {
        auto* p = reinterpret_cast<unsigned char*>(dst + row * pitch);
        for (size_t k = 0; k < width; ++k)
            std::memcpy(p + k * size, pattern, size);
    }
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::loadModule(CUmodule* module, const void* image) {
    ++counters_.moduleLoads;
    if (moduleLoadResult_ != CUDA_SUCCESS) return moduleLoadResult_;
    if (!image) return misuse(CUDA_ERROR_INVALID_VALUE, "cuModuleLoadData without an image");
    auto m = std::make_unique<Module>();
    m->entries = entriesOf(static_cast<const char*>(image));
    if (m->entries.empty()) return CUDA_ERROR_INVALID_IMAGE;
    Module* raw = m.get();
    modules_[raw] = std::move(m);
    *module = reinterpret_cast<CUmodule>(raw);
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::unloadModule(CUmodule module) {
    const auto it = modules_.find(reinterpret_cast<Module*>(module));
    if (it == modules_.end())
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuModuleUnload of an unknown module");
    modules_.erase(it);
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::getFunction(CUfunction* function, CUmodule module, const char* name) {
    const auto it = modules_.find(reinterpret_cast<Module*>(module));
    if (it == modules_.end())
        return misuse(CUDA_ERROR_INVALID_VALUE, "cuModuleGetFunction on an unknown module");
    Module& m = *it->second;
    if (std::find(failingLookups_.begin(), failingLookups_.end(), name) != failingLookups_.end())
        return CUDA_ERROR_NOT_FOUND;
    if (!m.entries.contains(std::string_view(name))) return CUDA_ERROR_NOT_FOUND;
    const EmulatedKernel* kernel = findEmulatedKernel(name);
    if (!kernel)
        return misuse(CUDA_ERROR_NOT_FOUND,
                      std::string("no host twin for the module's entry ") + name);
    auto& slot = m.functions[name];
    if (!slot) slot = std::make_unique<Function>(Function{kernel, &m});
    *function = reinterpret_cast<CUfunction>(slot.get());
    return CUDA_SUCCESS;
}

CUresult EmulatedDevice::launch(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                                unsigned by, unsigned bz, unsigned shared, void** params,
                                void** extra) {
    const Function* function = nullptr;
    for (const auto& [raw, module] : modules_)
        for (const auto& [name, fn] : module->functions)
            if (reinterpret_cast<CUfunction>(fn.get()) == f) function = fn.get();
    if (!function) return misuse(CUDA_ERROR_INVALID_VALUE, "cuLaunchKernel of an unknown function");
    const EmulatedKernel& kernel = *function->kernel;
    const std::string name = kernel.name;
    if (gx == 0 || gy == 0 || gz == 0 || bx == 0 || by == 0 || bz == 0 ||
        uint64_t(bx) * by * bz > kMaxThreadsPerBlock || bz > 64 || shared > kMaxSharedBytes ||
        extra || !params)
        return misuse(CUDA_ERROR_INVALID_VALUE,
                      "cuLaunchKernel of " + name + " with an impossible shape or arguments");
    for (size_t k = 0; k < kernel.params.size(); ++k) {
        if (kernel.params[k] != ParamKind::Pointer) continue;
        CUdeviceptr p;
        std::memcpy(&p, params[k], sizeof p);
        if (!find(p, 1))
            return misuse(CUDA_ERROR_INVALID_VALUE, "cuLaunchKernel of " + name + ": parameter " +
                                                        std::to_string(k) + " (" + hex(p) +
                                                        ") points outside every allocation");
    }
    if (std::find(failingLaunches_.begin(), failingLaunches_.end(), name) != failingLaunches_.end())
        return CUDA_ERROR_LAUNCH_FAILED;
    if (!kernel.run({{gx, gy, gz}, {bx, by, bz}, shared}, params))
        return misuse(CUDA_ERROR_INVALID_VALUE,
                      "cuLaunchKernel of " + name + " with a shape the kernel cannot run");
    ++counters_.launches;
    ++launchCounts_[name];
    return CUDA_SUCCESS;
}

void EmulatedDevice::failAllocationsAfter(int successful) {
    std::lock_guard<std::mutex> lock(mutex_);
    allocationsLeft_ = successful < 0 ? -1 : successful;
}

void EmulatedDevice::setCapacity(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.capacity = bytes;
}

void EmulatedDevice::failModuleLoads(CUresult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    moduleLoadResult_ = result;
}

void EmulatedDevice::failFunctionLookup(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    failingLookups_.push_back(entry);
}

void EmulatedDevice::failLaunches(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    failingLaunches_.push_back(entry);
}

void EmulatedDevice::failSynchronize(CUresult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    synchronizeResult_ = result;
}

void EmulatedDevice::failTransfers(CUresult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    transferResult_ = result;
}

void EmulatedDevice::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    allocationsLeft_ = -1;
    moduleLoadResult_ = synchronizeResult_ = transferResult_ = CUDA_SUCCESS;
    failingLookups_.clear();
    failingLaunches_.clear();
}

EmulatedDevice::Counters EmulatedDevice::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

int EmulatedDevice::launchesOf(std::string_view entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = launchCounts_.find(entry);
    return it == launchCounts_.end() ? 0 : it->second;
}

uint64_t EmulatedDevice::bytesInUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesInUse_;
}

size_t EmulatedDevice::liveAllocations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allocations_.size();
}

bool EmulatedDevice::owns(CUdeviceptr p, size_t bytes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return find(p, bytes) != nullptr;
}

std::vector<std::string> EmulatedDevice::misuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return misuses_;
}

}  // namespace skv::gpu
