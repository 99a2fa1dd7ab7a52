#include "field_export.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "cache/grid_file.h"
#include "host_error.h"
#include "platform/exception.h"

namespace skv::app {
namespace fs = std::filesystem;

std::string cacheFrameFile(const std::string& cacheFolder, int frame) {
    char name[48];
    std::snprintf(name, sizeof name, "/skv_sim_cache_%010d.bcf", frame);
    return cacheFolder + name;
}

std::vector<int> cachedFrames(const std::string& cacheFolder) {
    std::vector<int> frames;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(cacheFolder, error)) {
        const std::string name = entry.path().filename().string();
        constexpr std::string_view prefix = "skv_sim_cache_", suffix = ".bcf";
        if (name.size() != prefix.size() + 10 + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix))
            continue;
        const std::string digits = name.substr(prefix.size(), 10);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        frames.push_back(std::stoi(digits));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::map<uint32_t, FloatGrid> readFrameFields(const std::string& cacheFolder, int frame,
                                              uint64_t cellLimit) {
    const std::string file = cacheFrameFile(cacheFolder, frame);
    GridFile grids;
    grids.setCellLimit(cellLimit);
    if (!grids.openForReading(file))
        throw HostError(kExitRender,
                        file + ": frame " + std::to_string(frame) + " is not in the cache");
    std::map<uint32_t, FloatGrid> byType;
    try {
        GridChunkHeader header;
        while (grids.readChunk(header)) {
            AuxVector aux;
            FloatGrid grid;
            if (!grids.readFloatGrid(header, aux, grid)) break;
            byType[header.gridType] = std::move(grid);
        }
    } catch (const Exception& e) {
        // The reader's own exceptions (a chunk it cannot read): the frame is damaged.
        throw HostError(kExitRender,
                        file + ": frame " + std::to_string(frame) + " is damaged: " + e.message());
    }
    if (grids.failed()) throw HostError(kExitRender, file + ": " + grids.error());
    if (byType.empty()) throw HostError(kExitRender, file + ": the frame holds no fields");

    // Every field of a frame has one size; a frame whose grids disagree in any dimension is
    // damaged (the fields are read by each other's size).
    const FloatGrid& any = byType.begin()->second;
    const std::string frameName = file + ": frame " + std::to_string(frame) + " is damaged: ";
    if (any.width() < 3 || any.height() < 3)
        throw HostError(kExitRender, frameName + "its grids are too small");
    for (const auto& [type, grid] : byType)
        if (grid.depth() != 1 || grid.width() != any.width() || grid.height() != any.height() ||
            grid.count() != uint64_t(any.width()) * any.height())
            throw HostError(kExitRender,
                            frameName + "grid type " + std::to_string(type) + " is " +
                                std::to_string(grid.width()) + "x" + std::to_string(grid.height()) +
                                "x" + std::to_string(grid.depth()) + " in a frame of " +
                                std::to_string(any.width()) + "x" + std::to_string(any.height()));
    return byType;
}

int exportFrameFields(const std::string& cacheFolder, int frame, const std::string& path) {
    const std::map<uint32_t, FloatGrid> byType = readFrameFields(cacheFolder, frame);
    // The interior of the padded grids.
    const FloatGrid& any = byType.begin()->second;
    const uint32_t w = any.width() - 2, h = any.height() - 2;
    struct Channel {
        uint32_t type;
        const char* name;
    };
    const Channel scalars[] = {{2, "density"}, {3, "temperature"}, {4, "fuel"},
                               {10, "R"},      {11, "G"},          {12, "B"},
                               {13, "A"},      {8, "texture.u"},   {9, "texture.v"}};
    std::vector<std::string> names;
    std::vector<std::function<float(uint32_t, uint32_t)>> sources;
    const auto usable = [&](uint32_t type) {
        const auto it = byType.find(type);
        return it != byType.end() && it->second.width() == w + 2 && it->second.height() == h + 2
                   ? &it->second
                   : nullptr;
    };
    for (const Channel& c : scalars)
        if (const FloatGrid* g = usable(c.type)) {
            names.push_back(c.name);
            sources.push_back([g](uint32_t x, uint32_t y) { return (*g)(x + 1, y + 1); });
        }
    // Velocity lives on faces: u(i) between cells i and i + 1. Cell centres take the mean.
    if (const FloatGrid* u = usable(5)) {
        names.push_back("velocity.u");
        sources.push_back(
            [u](uint32_t x, uint32_t y) { return 0.5f * ((*u)(x, y + 1) + (*u)(x + 1, y + 1)); });
    }
    if (const FloatGrid* v = usable(6)) {
        names.push_back("velocity.v");
        sources.push_back(
            [v](uint32_t x, uint32_t y) { return 0.5f * ((*v)(x + 1, y) + (*v)(x + 1, y + 1)); });
    }
    const size_t channels = names.size();
    std::vector<float> pixels(size_t(w) * h * channels);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (size_t c = 0; c < channels; ++c)
                pixels[(size_t(y) * w + x) * channels + c] = sources[c](x, y);

    OIIO::ImageSpec spec(int(w), int(h), int(channels), OIIO::TypeDesc::FLOAT);
    spec.channelnames = names;
    spec.attribute("compression", "zip");
    const std::string partial = path + ".partial-" + std::to_string(::getpid()) + ".exr";
    auto out = OIIO::ImageOutput::create("exr");
    if (!out || !out->open(partial, spec) ||
        !out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) || !out->close() ||
        std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        throw HostError(kExitRender, path + ": cannot write the fields");
    }
    return int(channels);
}

}  // namespace skv::app
