#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skv {

// Throughput of the frame file codecs on a typical frame: writing and reading back a
// 1024 x 1024 frame of four sparse grids (smoke: density, temperature and the two velocity
// components, most cells 0) as one grid file.
struct CodecThroughput {
    uint32_t codec = 0;
    double writeMBps = 0;    // grid megabytes (10^6 bytes of floats) encoded and written per second
    double readMBps = 0;     // grid megabytes read and decoded per second
    uint64_t fileBytes = 0;  // size of the frame file
};

// Measures codecs 1 and 2 with files in `folder`: the best of `repeats` runs each. Empty when
// a file cannot be written or read back exactly.
std::vector<CodecThroughput> benchmarkCodecs(const std::string& folder, int repeats = 5);

}  // namespace skv
