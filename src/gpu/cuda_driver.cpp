#include "gpu/cuda_driver.h"

#include <dlfcn.h>

namespace skv::cuda {
namespace {

CudaDriver loadSystemDriver() {
    CudaDriver driver;
    // The library stays loaded for the life of the process: contexts and modules live there.
    void* library = ::dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = ::dlerror();
        driver.failure = error ? error : "libcuda.so.1 not found";
        return driver;
    }
#define SKV_CUDA_BIND_ENTRY(member, symbol, required, ret, params)             \
    driver.member = reinterpret_cast<ret(*) params>(::dlsym(library, symbol)); \
    if (!driver.member && required && driver.failure.empty())                  \
        driver.failure = std::string("libcuda.so.1 lacks ") + symbol;
    SKV_CUDA_DRIVER_ENTRIES(SKV_CUDA_BIND_ENTRY)
#undef SKV_CUDA_BIND_ENTRY
    driver.loaded = driver.failure.empty();
    return driver;
}

}  // namespace

const CudaDriver& systemCudaDriver() {
    static const CudaDriver driver = loadSystemDriver();
    return driver;
}

}  // namespace skv::cuda
