// The embedded PTX of the two kernel modules: every name the launchers look up is there with
// the parameters the emulated twin takes, nvcc contracted no multiply-add (the device computes
// the host's bits), and ptxas accepts both modules for sm_90.
#include "gpu/kernel_modules.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "gpu/emulated_kernels.h"
#include "gpu/field_kernels.h"
#include "gpu/kernel_launch.h"
#include "gpu/solver_kernels.h"
#include "gpu_test_support.h"
#include "test_support.h"

namespace skv {
namespace {

// Entry name → PTX types of its parameters, in order.
std::map<std::string, std::vector<std::string>> entriesOf(std::string_view ptx) {
    std::map<std::string, std::vector<std::string>> entries;
    const std::string text(ptx);
    const std::regex entry(R"(\.entry\s+([A-Za-z0-9_]+)\s*\(([^)]*)\))");
    const std::regex param(R"(\.param\s+\.(\w+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it) {
        std::vector<std::string> types;
        const std::string list = (*it)[2];
        for (auto p = std::sregex_iterator(list.begin(), list.end(), param);
             p != std::sregex_iterator(); ++p)
            types.push_back((*p)[1]);
        entries[(*it)[1]] = types;
    }
    return entries;
}

struct Module {
    const char* name;
    std::string_view ptx;
    std::vector<const char*> entries;
};

std::vector<Module> modules() {
    return {
        {"solver",
         gpu::solverModulePtx(),
         {gpu::kSolverEntries.begin(), gpu::kSolverEntries.end()}},
        {"field", gpu::fieldModulePtx(), {gpu::kFieldEntries.begin(), gpu::kFieldEntries.end()}}};
}

TEST(KernelModulesTest, EveryEntryTheLaunchersLookUpIsInThePtxWithTheTwinsParameters) {
    SKV_REQUIRE_KERNEL_MODULES();
    for (const Module& m : modules()) {
        const auto entries = entriesOf(m.ptx);
        EXPECT_EQ(entries.size(), m.entries.size()) << m.name << ": the module has other kernels";
        for (const char* name : m.entries) {
            const auto it = entries.find(name);
            ASSERT_NE(it, entries.end()) << m.name << " lacks " << name;
            const gpu::EmulatedKernel* twin = gpu::findEmulatedKernel(name);
            ASSERT_NE(twin, nullptr) << "no emulated twin of " << name;
            std::vector<std::string> expected;
            for (gpu::ParamKind kind : twin->params)
                expected.push_back(gpu::ptxType(kind));
            EXPECT_EQ(it->second, expected) << name;
        }
    }
}

TEST(KernelModulesTest, TheDeviceCodeNeitherContractsNorApproximates) {
    SKV_REQUIRE_KERNEL_MODULES();
    for (const Module& m : modules()) {
        const std::string text(m.ptx);
        EXPECT_EQ(text.find("fma."), std::string::npos) << m.name << ": contracted multiply-add";
        EXPECT_EQ(text.find(".approx"), std::string::npos) << m.name << ": approximate maths";
        EXPECT_EQ(text.find(".ftz"), std::string::npos) << m.name << ": flushed denormals";
        EXPECT_NE(text.find(".target sm_75"), std::string::npos) << m.name;
    }
}

TEST(KernelModulesTest, PtxasAcceptsBothModulesForHopper) {
    SKV_REQUIRE_KERNEL_MODULES();
    const std::string ptxas = SKV_PTXAS;
    if (ptxas.empty()) GTEST_SKIP() << "ptxas was not found at configure";
    test::TempDir dir;
    for (const Module& m : modules()) {
        const std::string ptx = dir.file(std::string(m.name) + ".ptx");
        test::writeFile(ptx, std::string(m.ptx));
        const std::string command = "'" + ptxas + "' -arch=sm_90 -o '" +
                                    dir.file(std::string(m.name) + ".cubin") + "' '" + ptx +
                                    "' > '" + dir.file("ptxas.log") + "' 2>&1";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << m.name << ": " << test::readFile(dir.file("ptxas.log"));
    }
}

TEST(KernelModulesTest, AnEmptyModuleFailsToLoadWithoutCallingTheDriver) {
    test::freshLog();
    test::EmulatedGpu gpu;
    cuda::CUmodule module = nullptr;
    const int loads = gpu.device().counters().moduleLoads;
    EXPECT_FALSE(gpu::loadModule(gpu.driver(), {}, module));
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(gpu.device().counters().moduleLoads, loads);
    EXPECT_TRUE(test::logHasLine("cuModuleLoadData returned 200"));
}

// What a build without nvcc embeds: the modules initialise to nothing, the reason is logged,
// and the fast solver falls back (see fast_solver_gpu_test).
TEST(KernelModulesTest, ModulesWithoutTextDoNotInitialise) {
    test::freshLog();
    test::EmulatedGpu gpu;
    DeviceGrid g;
    ASSERT_TRUE(g.resize(8, 8, true));
    SolverKernels solver(gpu.driver(), {});
    FieldKernels field(gpu.driver(), {});
    EXPECT_FALSE(solver.initSolverKernels(g, g, g));
    EXPECT_FALSE(field.initFieldKernels());
    EXPECT_TRUE(test::logHasLine("Failed to initialize CUDA kernels"));
    EXPECT_EQ(test::logCount("cuModuleLoadData returned 200"), 2);
    EXPECT_FALSE(solver.CUDANegDivergence(g)) << "nothing to launch";
    EXPECT_TRUE(std::isnan(field.absMax(g)));
    EXPECT_EQ(gpu.device().counters().launches, 0);
}

}  // namespace
}  // namespace skv
