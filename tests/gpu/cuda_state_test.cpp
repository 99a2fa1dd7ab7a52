#include "gpu/cuda_state.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace skv {
namespace {

using namespace cuda;

// A driver whose every entry counts its calls, keeps a per-thread context stack, and can be
// told to fail. Plain function pointers need their state in globals.
struct Fake {
    static inline std::map<std::string, int> calls;
    static inline std::map<std::string, CUresult> failing;
    static inline int deviceCount = 1;
    static inline std::vector<int> ordinalsAsked;
    static inline thread_local std::vector<CUcontext> stack;
    static inline CUctx_st* const kContext = reinterpret_cast<CUctx_st*>(0x1000);

    static CUresult enter(const char* name) {
        calls[name]++;
        const auto it = failing.find(name);
        return it == failing.end() ? CUDA_SUCCESS : it->second;
    }

    static CudaDriver table() {
        CudaDriver d;
        d.loaded = true;
        d.cuInit = [](unsigned) { return enter("cuInit"); };
        d.cuDeviceGetCount = [](int* n) {
            *n = deviceCount;
            return enter("cuDeviceGetCount");
        };
        d.cuDeviceGet = [](CUdevice* dev, int ordinal) {
            ordinalsAsked.push_back(ordinal);
            *dev = ordinal;
            return enter("cuDeviceGet");
        };
        d.cuDeviceGetName = [](char* name, int len, CUdevice dev) {
            std::snprintf(name, size_t(len), "Fake GPU %d", dev);
            return enter("cuDeviceGetName");
        };
        d.cuDeviceGetAttribute = [](int* value, int attribute, CUdevice) {
            *value = attribute == CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR ? 8 : 6;
            return enter("cuDeviceGetAttribute");
        };
        d.cuCtxCreate = [](CUcontext* ctx, unsigned, CUdevice) {
            const CUresult r = enter("cuCtxCreate");
            if (r == CUDA_SUCCESS) {
                *ctx = kContext;
                stack.push_back(kContext);
            }
            return r;
        };
        d.cuCtxGetDevice = [](CUdevice* dev) {
            calls["cuCtxGetDevice"]++;
            *dev = 0;
            return stack.empty() ? CUDA_ERROR_INVALID_CONTEXT : CUDA_SUCCESS;
        };
        d.cuCtxPushCurrent = [](CUcontext ctx) {
            const CUresult r = enter("cuCtxPushCurrent");
            if (r == CUDA_SUCCESS) stack.push_back(ctx);
            return r;
        };
        d.cuCtxPopCurrent = [](CUcontext* ctx) {
            const CUresult r = enter("cuCtxPopCurrent");
            if (r == CUDA_SUCCESS && !stack.empty()) {
                *ctx = stack.back();
                stack.pop_back();
            }
            return r;
        };
        d.cuCtxAttach = [](CUcontext* ctx, unsigned) {
            *ctx = stack.empty() ? nullptr : stack.back();
            return enter("cuCtxAttach");
        };
        d.cuCtxDetach = [](CUcontext) { return enter("cuCtxDetach"); };
        return d;
    }

    static void reset() {
        calls.clear();
        failing.clear();
        deviceCount = 1;
        ordinalsAsked.clear();
        stack.clear();
    }

    static int totalCalls() {
        int n = 0;
        for (const auto& [name, count] : calls) n += count;
        return n;
    }
};

class CudaStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        Fake::reset();
        test::freshLog();
        driver_ = Fake::table();
    }
    CudaDriver driver_;
};

TEST_F(CudaStateTest, WithoutTheDriverLibraryNoEntryIsCalledAndNoDeviceIsReportedOnce) {
    driver_.loaded = false;
    CudaState state(driver_);
    EXPECT_FALSE(state.available());
    state.setEnabled(true);
    EXPECT_FALSE(state.isActive());
    EXPECT_FALSE(state.hasCurrentContext());
    { CudaContextGuard guard(state); }
    EXPECT_EQ(Fake::totalCalls(), 0);
    EXPECT_EQ(test::logCount("No CUDA device found"), 1);
}

TEST_F(CudaStateTest, FailingInitIsLoggedBeforeNoDevice) {
    Fake::failing["cuInit"] = CUDA_ERROR_NOT_INITIALIZED;
    CudaState state(driver_);
    EXPECT_FALSE(state.available());
    const auto lines = test::logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with("] cuInit failed"));
    EXPECT_TRUE(lines[1].ends_with("] No CUDA device found"));
}

TEST_F(CudaStateTest, NoDevicesOrAFailingQueryMeansNoDevice) {
    Fake::deviceCount = 0;
    EXPECT_FALSE(CudaState(driver_).available());
    Fake::deviceCount = 1;
    Fake::failing["cuDeviceGetName"] = CUDA_ERROR_INVALID_VALUE;
    EXPECT_FALSE(CudaState(driver_).available());
    EXPECT_EQ(test::logCount("No CUDA device found"), 2);
}

TEST_F(CudaStateTest, TheFirstOfSeveralDevicesIsUsedAndNamedInTheLog) {
    Fake::deviceCount = 2;
    CudaState state(driver_);
    ASSERT_TRUE(state.available());
    EXPECT_EQ(Fake::ordinalsAsked, std::vector<int>{0});
    EXPECT_EQ(state.deviceName(), "Fake GPU 0");
    EXPECT_TRUE(test::logHasLine("Using CUDA device Fake GPU 0 of compute capability 8.6"));
    EXPECT_FALSE(state.isActive());  // not until the user enables it
    state.setEnabled(true);
    EXPECT_TRUE(state.isActive());
}

TEST_F(CudaStateTest, GuardWhileInactiveLeavesTheThreadAlone) {
    CudaState state(driver_);
    const int before = Fake::totalCalls();
    {
        CudaContextGuard guard(state);
        EXPECT_FALSE(guard.pushed());
        EXPECT_EQ(guard.attached(), nullptr);
    }
    EXPECT_EQ(Fake::totalCalls(), before);
}

TEST_F(CudaStateTest, FirstGuardCreatesTheContextLaterGuardsPushIt) {
    CudaState state(driver_);
    state.setEnabled(true);
    {
        CudaContextGuard guard(state);
        EXPECT_TRUE(guard.pushed());
        EXPECT_EQ(state.context(), Fake::kContext);
        EXPECT_TRUE(state.hasCurrentContext());
    }
    EXPECT_TRUE(Fake::stack.empty());
    EXPECT_FALSE(state.hasCurrentContext());
    {
        CudaContextGuard guard(state);
        EXPECT_TRUE(guard.pushed());
    }
    EXPECT_EQ(Fake::calls["cuCtxCreate"], 1);
    EXPECT_EQ(Fake::calls["cuCtxPushCurrent"], 1);
    EXPECT_EQ(Fake::calls["cuCtxPopCurrent"], 2);
    EXPECT_TRUE(Fake::stack.empty());
}

TEST_F(CudaStateTest, NestedGuardAttachesInsteadOfPushing) {
    CudaState state(driver_);
    state.setEnabled(true);
    CudaContextGuard outer(state);
    {
        CudaContextGuard inner(state);
        EXPECT_FALSE(inner.pushed());
        EXPECT_EQ(inner.attached(), Fake::kContext);
        EXPECT_EQ(Fake::stack.size(), 1u);
    }
    EXPECT_EQ(Fake::calls["cuCtxAttach"], 1);
    EXPECT_EQ(Fake::calls["cuCtxDetach"], 1);
    EXPECT_EQ(Fake::calls["cuCtxPopCurrent"], 0);
}

TEST_F(CudaStateTest, ContextFailuresAreLoggedAndIgnored) {
    CudaState state(driver_);
    state.setEnabled(true);
    Fake::failing["cuCtxCreate"] = CUDA_ERROR_OUT_OF_MEMORY;
    {
        CudaContextGuard guard(state);
        EXPECT_FALSE(guard.pushed());
        EXPECT_EQ(state.context(), nullptr);
    }
    EXPECT_TRUE(test::logHasLine("Failed to create CUDA context"));

    Fake::failing.clear();
    { CudaContextGuard create(state); }
    Fake::failing["cuCtxPushCurrent"] = CUDA_ERROR_INVALID_CONTEXT;
    { CudaContextGuard push(state); }
    EXPECT_TRUE(test::logHasLine("Failed to push CUDA context"));

    Fake::failing.clear();
    Fake::failing["cuCtxPopCurrent"] = CUDA_ERROR_INVALID_CONTEXT;
    { CudaContextGuard pop(state); }
    EXPECT_TRUE(test::logHasLine("Failed to pop CUDA context"));
    Fake::stack.clear();

    Fake::failing.clear();
    CudaContextGuard outer(state);
    Fake::failing["cuCtxAttach"] = CUDA_ERROR_INVALID_CONTEXT;
    { CudaContextGuard attach(state); }
    EXPECT_TRUE(test::logHasLine("Failed to attach to CUDA context"));
    Fake::failing.clear();
    Fake::failing["cuCtxDetach"] = CUDA_ERROR_INVALID_CONTEXT;
    { CudaContextGuard detach(state); }
    EXPECT_TRUE(test::logHasLine("Failed to detach from CUDA context"));
    Fake::failing.clear();
}

TEST_F(CudaStateTest, ProcessStateCanBeReplacedAndFollowsTheEnabledSwitch) {
    auto fake = std::make_unique<CudaState>(driver_);
    CudaState* raw = fake.get();
    CudaState::setInstance(std::move(fake));
    EXPECT_EQ(&CudaState::instance(), raw);
    setCudaEnabled(true);
    EXPECT_TRUE(isCudaActive());
    EXPECT_FALSE(hasCurrentCudaContext());
    {
        CudaContextGuard guard;  // the process state by default
        EXPECT_TRUE(hasCurrentCudaContext());
    }
    setCudaEnabled(false);
    EXPECT_FALSE(isCudaActive());
    CudaState::setInstance(nullptr);
}

TEST(SystemCudaDriverTest, LoadsOrSaysWhyNot) {
    const CudaDriver& driver = systemCudaDriver();
    if (!driver.loaded) {
        EXPECT_FALSE(driver.failure.empty());
        GTEST_SKIP() << "no CUDA driver on this machine: " << driver.failure;
    }
    EXPECT_NE(driver.cuInit, nullptr);
    EXPECT_NE(driver.cuLaunchKernel, nullptr);
}

}  // namespace
}  // namespace skv
