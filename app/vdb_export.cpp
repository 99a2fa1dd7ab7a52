#include "vdb_export.h"

#include <openvdb/openvdb.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "field_export.h"
#include "host_error.h"

namespace skv::app {

int exportFrameVdb(const std::string& cacheFolder, int frame, const std::string& path,
                   double voxelSize) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { openvdb::initialize(); });
    const std::map<uint32_t, FloatGrid> byType = readFrameFields(cacheFolder, frame);
    const FloatGrid& any = byType.begin()->second;
    const int w = int(any.width()) - 2, h = int(any.height()) - 2;
    const auto field = [&](uint32_t type) {
        const auto it = byType.find(type);
        return it == byType.end() ? nullptr : &it->second;
    };
    // Index (i, j, 0) is interior cell (x, y) = (i, h - 1 - j): y runs up, as in Houdini and
    // Blender, where the image's rows run down.
    const openvdb::math::Transform::Ptr transform =
        openvdb::math::Transform::createLinearTransform(voxelSize);
    openvdb::GridPtrVec grids;
    const std::pair<uint32_t, const char*> scalars[] = {
        {2, "density"}, {3, "temperature"}, {4, "fuel"}};
    for (const auto& [type, name] : scalars) {
        const FloatGrid* g = field(type);
        if (!g) continue;
        openvdb::FloatGrid::Ptr grid = openvdb::FloatGrid::create(0.0f);
        grid->setName(name);
        grid->setTransform(transform);
        grid->setGridClass(type == 2 ? openvdb::GRID_FOG_VOLUME : openvdb::GRID_UNKNOWN);
        openvdb::FloatGrid::Accessor cells = grid->getAccessor();
        // Empty cells stay inactive: the grid is as sparse as the fluid.
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (const float v = (*g)(uint32_t(x + 1), uint32_t(y + 1)); v != 0.0f)
                    cells.setValue(openvdb::Coord(x, h - 1 - y, 0), v);
        grids.push_back(grid);
    }
    const FloatGrid* u = field(5);
    const FloatGrid* v = field(6);
    if (u && v) {
        openvdb::Vec3SGrid::Ptr grid = openvdb::Vec3SGrid::create(openvdb::Vec3s(0.0f));
        grid->setName("vel");
        grid->setTransform(transform);
        grid->setVectorType(openvdb::VEC_CONTRAVARIANT_RELATIVE);
        openvdb::Vec3SGrid::Accessor cells = grid->getAccessor();
        // Cell-centred, in world units a second: the faces averaged, cells a second times the
        // voxel size, y negated (the grid's v points down the image).
        const float scale = float(voxelSize);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t gx = uint32_t(x + 1), gy = uint32_t(y + 1);
                const float vx = 0.5f * ((*u)(gx - 1, gy) + (*u)(gx, gy)) * scale;
                const float vy = -0.5f * ((*v)(gx, gy - 1) + (*v)(gx, gy)) * scale;
                if (vx != 0.0f || vy != 0.0f)
                    cells.setValue(openvdb::Coord(x, h - 1 - y, 0), openvdb::Vec3s(vx, vy, 0.0f));
            }
        grids.push_back(grid);
    }
    if (grids.empty())
        throw HostError(kExitRender,
                        path + ": frame " + std::to_string(frame) + " holds no field a VDB takes");
    const std::string partial = path + ".partial-" + std::to_string(::getpid()) + ".vdb";
    try {
        openvdb::io::File file(partial);
        file.write(grids);
        file.close();
    } catch (const openvdb::Exception& e) {
        std::remove(partial.c_str());
        throw HostError(kExitRender, path + ": cannot write the fields (" + e.what() + ")");
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        throw HostError(kExitRender, path + ": cannot write the fields");
    }
    return int(grids.size());
}

}  // namespace skv::app
