#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skv {

// Run-length coding on whole 32-bit floats (grid codec 1). The payload is a sequence of
// records, each a little-endian signed 32-bit count c followed by floats:
//   c < 0: one float, repeated -c times;  c > 0: c floats copied as they are;  c = 0: nothing.
// Values are compared as floats, so 0.0 and -0.0 join one run (the run keeps the sign of its
// first value) and a NaN never joins a run (NaNs are stored bit for bit as literals).

// Appends the records for values[0, n) to `out`: at most 4 n + 4 bytes, none for n = 0.
void encodeRunLength(const float* values, size_t n, std::vector<uint8_t>& out);

// Decodes `payload` into values[0, n). Records after the last cell are cut (a repeat run never
// writes past the last cell, a literal run is cut to the cells left). Returns false when the
// payload ends, mid-record or not, before all n cells are filled; cells not reached are then
// left as they were.
bool decodeRunLength(const uint8_t* payload, size_t size, float* values, size_t n);

}  // namespace skv
