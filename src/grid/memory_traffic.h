#pragma once

#include <cstddef>
#include <cstdint>

namespace skv {

// The bytes that the host solver's passes move through memory, counted by each pass as it
// runs: a pass adds the cells of every grid it reads and every grid it writes (a grid updated
// in place counts twice), so that the bench can set the total beside the machine's bandwidth
// and express it in passes over one grid. One relaxed addition per pass, never per cell.
void countTraffic(size_t cells, int grids);
// The total since the program started.
uint64_t trafficBytes();

}  // namespace skv
