#include "cache/codec_benchmark.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cache/grid_file.h"
#include "grid/float_grid.h"
#include "platform/files.h"
#include "platform/timer.h"

namespace skv {
namespace {

constexpr uint32_t kSize = 1024;
constexpr uint32_t kGridTypes[4] = {2, 3, 5, 6};  // density, temperature, velocity u and v

// A rising plume: non-zero inside a wavy column around the middle (about a tenth of the
// cells), zero elsewhere, smooth inside as a simulated field is.
void fillPlume(FloatGrid& grid, int variant) {
    for (uint32_t y = 0; y < kSize; ++y) {
        const float t = float(y) / kSize;
        const float centre = 0.5f + 0.08f * std::sin(9.0f * t + float(variant));
        const float radius = 0.02f + 0.06f * t;
        for (uint32_t x = 0; x < kSize; ++x) {
            const float r = std::fabs(float(x) / kSize - centre) / radius;
            float value = 0.0f;
            if (r < 1.0f) {
                const float profile = 1.0f - r * r;
                value = variant < 2
                            ? profile * (1.0f - 0.5f * t) * (variant + 1)
                            : profile * std::sin(31.0f * t + r) * (variant == 2 ? 1.0f : 0.3f);
            }
            grid(x, y) = value;
        }
    }
}

}  // namespace

std::vector<CodecThroughput> benchmarkCodecs(const std::string& folder, int repeats) {
    std::vector<FloatGrid> grids(4);
    for (int i = 0; i < 4; ++i) {
        grids[size_t(i)].resize(kSize, kSize, 1);
        fillPlume(grids[size_t(i)], i);
    }
    const double megabytes = 4.0 * kSize * kSize * sizeof(float) / 1e6;
    const std::string path = folder + "/skv_codec_benchmark.bcf";
    std::vector<CodecThroughput> results;
    std::vector<FloatGrid> readBack(4);
    for (uint32_t codec : {uint32_t(kCodecRunLength), uint32_t(kCodecPredictive)}) {
        CodecThroughput result;
        result.codec = codec;
        double bestWrite = 1e30, bestRead = 1e30;
        for (int run = 0; run < std::max(repeats, 1); ++run) {
            Timer timer;
            GridFile writer;
            if (!writer.openForWriting(path, true)) return {};
            for (int i = 0; i < 4; ++i)
                if (!writer.writeGrid(kGridTypes[i], codec, TimeCursor{}, {0, 0, 0},
                                      grids[size_t(i)]))
                    return {};
            writer.close();
            bestWrite = std::min(bestWrite, timer.elapsed());

            timer.restart();
            GridFile reader;
            if (!reader.openForReading(path)) return {};
            GridChunkHeader header;
            AuxVector aux;
            for (auto& grid : readBack)
                if (!reader.readChunk(header) || !reader.readFloatGrid(header, aux, grid))
                    return {};
            reader.close();
            bestRead = std::min(bestRead, timer.elapsed());
            for (size_t i = 0; i < 4; ++i)
                if (std::memcmp(readBack[i].data(), grids[i].data(), grids[i].byteSize()) != 0)
                    return {};
        }
        FileHandle file;
        if (file.openRead(path)) result.fileBytes = file.size();
        result.writeMBps = megabytes / bestWrite;
        result.readMBps = megabytes / bestRead;
        results.push_back(result);
    }
    removeFile(path);
    return results;
}

}  // namespace skv
