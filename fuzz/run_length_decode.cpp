// Fuzz target: the run-length decoder. Input: the cell count (the low 12 bits of 2 bytes,
// little-endian: runs longer than a few thousand cells take no other path), then the payload.
#include <cstring>

#include "cache/run_length.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace skv;
    if (size < 2) return 0;
    const size_t n = (size_t(data[0]) | size_t(data[1]) << 8) & 0x0FFF;
    constexpr float kGuard = 1234.5f;
    std::vector<float> cells(n + 4, kGuard);
    const bool decoded = decodeRunLength(data + 2, size - 2, cells.data(), n);
    for (size_t i = n; i < n + 4; ++i)
        SKV_FUZZ_CHECK(cells[i] == kGuard);
    if (decoded) {
        FloatGrid grid(uint32_t(n), 1, 1, false);
        if (n > 0) std::memcpy(grid.data(), cells.data(), n * sizeof(float));
        fuzz::checkRoundTrip(kCodecRunLength, grid);
    }
    return 0;
}
