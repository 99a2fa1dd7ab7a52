// Writes the seed corpus of the fuzz targets: skv_fuzz_seeds <corpus folder>. The committed
// corpus under fuzz/corpus was made with it; rerun it after a format change.
#include <bit>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "cache/grid_file.h"
#include "cache/range_coder.h"
#include "cache/run_length.h"
#include "platform/files.h"

namespace {

using namespace skv;

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

FloatGrid grid(uint32_t w, uint32_t h, uint32_t d, const std::vector<float>& values) {
    FloatGrid g(w, h, d);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = values[i % values.size()];
    return g;
}

struct Chunk {
    uint32_t type, codec;
    FloatGrid grid;
};

std::vector<uint8_t> gridFile(const std::string& scratch, std::vector<Chunk> chunks,
                              const TimeCursor& times) {
    GridFile file;
    file.openForWriting(scratch, true);
    float aux = 0.5f;
    for (auto& c : chunks)
        file.writeGrid(c.type, c.codec, times, {aux, -aux, 2 * aux}, c.grid), aux += 1;
    file.close();
    return load(scratch);
}

std::vector<uint8_t> withDims(uint32_t w, uint32_t h, uint32_t d, std::vector<uint8_t> rest) {
    std::vector<uint8_t> out = {uint8_t(w - 1), uint8_t(h - 1), uint8_t(d - 1)};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

std::vector<uint8_t> floatBytes(const std::vector<float>& values) {
    const auto* b = reinterpret_cast<const uint8_t*>(values.data());
    return std::vector<uint8_t>(b, b + values.size() * 4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    for (const char* target :
         {"grid_file_read", "run_length_decode", "range_decode", "codec_round_trip"})
        Directory().create(root + "/" + target);
    const std::string scratch = root + "/scratch.bcf";
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    const std::vector<float> specials = {0.0f, -0.0f, 1.5f, nan, inf, -inf, 3e-41f, -7.25f};
    const std::vector<float> sparse = {0, 0, 0, 0.25f, 0.5f, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0};

    const std::string g = root + "/grid_file_read/";
    save(g + "header_only", load((GridFile().openForWriting(scratch, true), scratch)));
    std::vector<Chunk> ones;
    ones.push_back({2, kCodecRunLength, grid(2, 1, 1, {1.0f})});
    save(g + "two_ones_run_length", gridFile(scratch, std::move(ones), TimeCursor{}));
    std::vector<Chunk> mixed;
    mixed.push_back({2, kCodecRunLength, grid(4, 3, 1, sparse)});
    mixed.push_back({5, kCodecPredictive, grid(5, 3, 1, specials)});
    mixed.push_back({6, kCodecRaw, grid(4, 4, 1, {1, 2, 3, 4, 5})});
    save(g + "three_codecs",
         gridFile(scratch, std::move(mixed), {Rational(7, 1), Rational(1, 24)}));
    std::vector<Chunk> layered;
    layered.push_back({13, kCodecPredictive, grid(3, 2, 2, specials)});
    save(g + "predictive_layers",
         gridFile(scratch, std::move(layered), {Rational(3, 2), Rational(1, 2)}));
    std::vector<Chunk> empty;
    empty.push_back({9, kCodecRunLength, FloatGrid(0, 0, 0)});
    empty.push_back({10, kCodecRunLength, grid(6, 1, 1, {5, 5, 5, 5, 1, 2})});
    save(g + "empty_and_runs", gridFile(scratch, std::move(empty), TimeCursor{}));
    {
        // Empty grids that claim a billion empty layers or rows (once a slow input).
        GridFile file;
        file.openForWriting(scratch, true);
        std::vector<uint8_t> fourBytes;
        encodePredictive(nullptr, 0, 0, 0, fourBytes);
        file.addFloatGrid(3, kCodecPredictive, TimeCursor{}, {0, 0, 0}, {5, 0, 1090519040},
                          fourBytes.data(), fourBytes.size());
        file.addFloatGrid(4, kCodecRunLength, TimeCursor{}, {0, 0, 0}, {0, 4190208, 0}, nullptr, 0);
        file.close();
        save(g + "empty_huge_dimensions", load(scratch));
    }
    removeFile(scratch);

    const std::string r = root + "/run_length_decode/";
    const auto runLength = [](const std::vector<float>& values) {
        std::vector<uint8_t> out = {uint8_t(values.size()), uint8_t(values.size() >> 8)};
        encodeRunLength(values.data(), values.size(), out);
        return out;
    };
    save(r + "five_fives", runLength({5, 5, 5, 5, 1, 2}));
    save(r + "final_pair", runLength({1, 2, 3, 3}));
    save(r + "single", runLength({7}));
    std::vector<float> longSparse(64);
    for (size_t i = 0; i < longSparse.size(); ++i)
        longSparse[i] = sparse[i % sparse.size()];
    save(r + "sparse", runLength(longSparse));

    const std::string p = root + "/range_decode/";
    const auto predictive = [](uint32_t w, uint32_t h, uint32_t d,
                               const std::vector<float>& values) {
        const FloatGrid src = grid(w, h, d, values);
        std::vector<uint8_t> payload;
        encodePredictive(src.data(), w, h, d, payload);
        return withDims(w, h, d, payload);
    };
    save(p + "zeros", predictive(4, 4, 1, {0.0f}));
    save(p + "edge_values", predictive(5, 3, 2, specials));
    std::vector<float> noise(64);
    uint32_t state = 12345;
    for (float& v : noise)
        v = std::bit_cast<float>(state = state * 1664525u + 1013904223u);
    save(p + "noise", predictive(8, 8, 1, noise));

    const std::string c = root + "/codec_round_trip/";
    save(c + "small", withDims(3, 2, 1, floatBytes({1, 2, 3, 3, 3, 0})));
    save(c + "edge_values", withDims(4, 4, 2, floatBytes(specials)));
    save(c + "sparse", withDims(16, 1, 1, floatBytes(sparse)));
    return 0;
}
