#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skv::app {

// Writes the cached simulation fields of frame `frame` (read from the frame file in
// `cacheFolder`) as one multi-channel 32-bit EXR at grid resolution: density, temperature,
// fuel, velocity (u, v at cell centres, cells per second), colour (R, G, B, A) and texture
// coordinates, each channel present when the frame holds it. Returns the number of channels
// written; throws HostError (render) when the frame file is missing or unreadable.
int exportFrameFields(const std::string& cacheFolder, int frame, const std::string& path);

}  // namespace skv::app
