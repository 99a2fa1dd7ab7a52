// Fuzz target: the predictive range decoder. Input: one byte each for width - 1 (mod 64),
// height - 1 (mod 64) and depth - 1 (mod 4), then the payload.
#include <cstring>

#include "cache/range_coder.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace skv;
    if (size < 3) return 0;
    const uint32_t w = 1 + data[0] % 64, h = 1 + data[1] % 64, d = 1 + data[2] % 4;
    const size_t n = size_t(w) * h * d;
    constexpr uint32_t kGuard = 0xDEADBEEFu;
    std::vector<float> cells(n + 4, std::bit_cast<float>(kGuard));
    const bool decoded = decodePredictive(data + 3, size - 3, cells.data(), w, h, d);
    for (size_t i = n; i < n + 4; ++i)
        SKV_FUZZ_CHECK(std::bit_cast<uint32_t>(cells[i]) == kGuard);
    if (decoded) {
        FloatGrid grid(w, h, d, false);
        std::memcpy(grid.data(), cells.data(), n * sizeof(float));
        fuzz::checkRoundTrip(kCodecPredictive, grid);
    }
    return 0;
}
