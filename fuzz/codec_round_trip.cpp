// Fuzz target: encode -> decode with each codec. Input: one byte each for width - 1 (mod 32),
// height - 1 (mod 32) and depth - 1 (mod 2), then the values' bytes (repeated as needed).
// Grids of up to 32 x 32 x 2 have every structure the codecs know (runs across rows and
// planes, predictions from the row above) at a cost that keeps the search fast.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace skv;
    if (size < 3) return 0;
    const uint32_t w = 1 + data[0] % 32, h = 1 + data[1] % 32, d = 1 + data[2] % 2;
    FloatGrid grid(w, h, d, true);
    const uint8_t* bytes = data + 3;
    const size_t available = size - 3;
    if (available > 0) {
        auto* out = reinterpret_cast<uint8_t*>(grid.data());
        for (size_t i = 0; i < grid.byteSize(); i += available)
            std::memcpy(out + i, bytes, std::min<size_t>(available, grid.byteSize() - i));
    }
    for (uint32_t codec :
         {uint32_t(kCodecRaw), uint32_t(kCodecRunLength), uint32_t(kCodecPredictive)})
        fuzz::checkRoundTrip(codec, grid);
    return 0;
}
