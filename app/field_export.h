#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "grid/float_grid.h"

namespace skv::app {

// The name of frame `frame`'s file in a cache folder.
std::string cacheFrameFile(const std::string& cacheFolder, int frame);
// The frames whose files a cache folder holds, in order.
std::vector<int> cachedFrames(const std::string& cacheFolder);

// Writes the cached simulation fields of frame `frame` (read from the frame file in
// `cacheFolder`) as one multi-channel 32-bit EXR at grid resolution: density, temperature,
// fuel, velocity (u, v at cell centres, cells per second), colour (R, G, B, A) and texture
// coordinates, each channel present when the frame holds it. Returns the number of channels
// written; throws HostError (render) when the frame file is missing or unreadable.
// The grids of cached frame `frame` by grid type, checked: every grid of the frame has the
// same size, one plane deep. Throws HostError (render) naming the file and the frame when it is
// missing, unreadable or damaged (a grid of more than `cellLimit` cells included: by default
// those of the largest composition).
constexpr uint64_t kLargestFrameCells = uint64_t(16386) * 16386;
std::map<uint32_t, FloatGrid> readFrameFields(const std::string& cacheFolder, int frame,
                                              uint64_t cellLimit = kLargestFrameCells);

int exportFrameFields(const std::string& cacheFolder, int frame, const std::string& path);

}  // namespace skv::app
