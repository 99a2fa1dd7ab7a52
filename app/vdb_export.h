#pragma once

#include <string>

namespace skv::app {

// Writes the cached fields of frame `frame` as an OpenVDB file, one voxel thick, named as
// Houdini and Blender expect: float grids "density", "temperature" (degrees Celsius) and "fuel",
// and the vector grid "vel" (cell-centred, world units a second). Index (i, j, 0) is the grid
// cell of column i counted from the left and row j counted from the bottom: y runs up. The
// transform scales an index to world units by `voxelSize`. Cells whose value is 0 stay inactive
// (the grids are sparse). Returns the number of grids; throws HostError (render) naming the
// frame when it is missing or damaged, or the file when it cannot be written.
int exportFrameVdb(const std::string& cacheFolder, int frame, const std::string& path,
                   double voxelSize);

// World units a composition pixel is exported as: a hundred pixels make one unit (a 1920 x 1080
// composition is 19.2 x 10.8 units).
constexpr double kWorldUnitsPerPixel = 0.01;

}  // namespace skv::app
