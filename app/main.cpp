// skyvane: the headless host of the Skyvane effect.
#include <omp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gpu/cuda_state.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: skyvane <command> [arguments]\n"
                 "\n"
                 "commands:\n"
                 "  info         version, processor threads and GPU status\n"
                 "  --version    the program's version\n");
}

int commandInfo() {
    std::printf("skyvane %s\n", SKV_VERSION);
    std::printf("OpenMP threads: %d (of %d processors)\n", omp_get_max_threads(), omp_get_num_procs());
    const skv::CudaState& cuda = skv::CudaState::instance();
    if (cuda.available()) {
        std::printf("CUDA: %s, compute capability %d.%d\n", cuda.deviceName().c_str(),
                    cuda.computeMajor(), cuda.computeMinor());
    } else {
        const std::string& why = cuda.driver().failure;
        std::printf("CUDA: no usable device%s%s%s\n", why.empty() ? "" : " (", why.c_str(),
                    why.empty() ? "" : ")");
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--version") {
        std::printf("skyvane %s\n", SKV_VERSION);
        return kExitOk;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    if (command == "info") return commandInfo();
    std::fprintf(stderr, "skyvane: unknown command '%s'\n\n", command.c_str());
    printUsage(stderr);
    return kExitUsage;
}
