#pragma once

// Shared by the fuzz targets, which libFuzzer drives (make fuzz) and which the test suite
// compiles again to replay their seed corpus.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cache/grid_file.h"
#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A broken property: crash, so that the fuzzer keeps the input and the replay test fails.
#define SKV_FUZZ_CHECK(condition)                                                         \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                       \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace skv::fuzz {

// Grids the targets may decode: large enough for every structure of the format, small
// enough that an input claiming the maximum costs milliseconds, not seconds.
constexpr uint64_t kCellLimit = uint64_t(1) << 20;

// Whether a value survived coding with `codec`: bit for bit, except that run-length coding
// compares floats, so 0.0 and -0.0 share runs.
inline bool sameValue(uint32_t codec, float a, float b) {
    if (std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b)) return true;
    return codec == kCodecRunLength && a == b;
}

// Encodes `grid` with `codec` and decodes it again: the values must come back.
inline void checkRoundTrip(uint32_t codec, const FloatGrid& grid) {
    std::vector<uint8_t> payload;
    encodeGridPayload(codec, grid, payload);
    if (codec == kCodecRunLength) SKV_FUZZ_CHECK(payload.size() <= 4 * grid.count() + 4);
    FloatGrid decoded(grid.width(), grid.height(), grid.depth(), false);
    SKV_FUZZ_CHECK(decodeGridPayload(codec, payload.data(), payload.size(), decoded));
    for (uint64_t i = 0; i < grid.count(); ++i)
        SKV_FUZZ_CHECK(sameValue(codec, grid[i], decoded[i]));
}

// A file of this process's own scratch folder, removed when the process ends.
inline std::string scratchFile(const std::string& name) {
    static const std::string folder = [] {
        const std::string base = Directory().set("/dev/shm") ? "/dev/shm" : tempPath();
        std::string path = makeTemporaryFolder("skvfuzz", base);
        if (path.empty()) std::abort();
        static std::string removeAtExit;
        removeAtExit = path;
        std::atexit([] { deleteTree(removeAtExit); });
        return path;
    }();
    return folder + "/" + name;
}

// What reading bytes as a grid file gave: whether the header opened, whether a read failed or
// threw (`why`), and every chunk read before that.
struct ChunkRead {
    GridChunkHeader header;
    AuxVector aux{};
    GridDimensions dims;
    std::vector<float> values;
};
struct GridFileOutcome {
    bool opened = false;
    bool rejected = false;
    std::string why;
    std::vector<ChunkRead> chunks;
};
GridFileOutcome readGridFileBytes(const uint8_t* data, size_t size);

}  // namespace skv::fuzz
