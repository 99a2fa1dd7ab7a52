// The codecs of the cache (run-length, predictive range coder) and the grid file around them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cache/grid_file.h"
#include "cache/range_coder.h"
#include "cache/run_length.h"
#include "platform/exception.h"
#include "test_support.h"

namespace skv {
namespace {

using test::TempDir;

const TimeCursor kFrameTime{Rational(7, 1), Rational(1, 24)};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint8_t> runLength(const std::vector<float>& values) {
    std::vector<uint8_t> out;
    encodeRunLength(values.data(), values.size(), out);
    return out;
}

std::vector<uint8_t> predictive(const std::vector<float>& v, uint32_t w, uint32_t h, uint32_t d) {
    std::vector<uint8_t> out;
    encodePredictive(v.data(), w, h, d, out);
    return out;
}

// Run-length records written by hand: a count, then its floats.
std::vector<uint8_t> records(const std::vector<std::pair<int32_t, std::vector<float>>>& list) {
    std::vector<uint8_t> out;
    const auto put = [&](const void* p) {
        out.insert(out.end(), (const uint8_t*)p, (const uint8_t*)p + 4);
    };
    for (const auto& [count, values] : list) {
        put(&count);
        for (float v : values)
            put(&v);
    }
    return out;
}

// Bit for bit, except that run-length coding compares floats: 0.0 and -0.0 share runs.
bool sameValue(uint32_t codec, float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) ||
           (codec == kCodecRunLength && a == b);
}

struct Values {
    std::string what;
    uint32_t w, h, d;
    std::vector<float> values;
};

std::vector<Values> edgeCases() {
    // Signed zeros and ones, infinities, quiet and signalling NaNs, a NaN of every bit, the
    // smallest and largest denormals and normals: next to each other, so that predictions mix
    // them.
    const uint32_t bits[] = {0x0,        0x80000000, 0x3F800000, 0xBF800000, 0x7F800000, 0xFF800000,
                             0x7FC00000, 0xFFC00000, 0x7F800001, 0xFFFFFFFF, 0x1,        0x80000001,
                             0x807FFFFF, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF};
    std::vector<float> oddValues;
    for (uint32_t b : bits)
        oddValues.push_back(std::bit_cast<float>(b));
    std::vector<Values> cases = {
        {"one zero", 1, 1, 1, {0.0f}},
        {"two ones", 2, 1, 1, {1.0f, 1.0f}},
        {"runs and literals", 7, 1, 1, {0, 0, 4, 4, 4, 4, 9}},
        {"NaNs and signed zeros", 4, 2, 1, {kNaN, kNaN, kNaN, -0.0f, 0.0f, 0.0f, -0.0f, kNaN}},
        {"every kind of odd value", 4, 2, 2, oddValues},
        {"zeros", 17, 9, 3, std::vector<float>(17 * 9 * 3, 0.0f)},
        {"a sweep of the bit patterns", 1024, 1024, 1, {}},
    };
    for (uint64_t b = 0; b <= 0xFFFFFFFFull; b += 4099)
        cases.back().values.push_back(std::bit_cast<float>(uint32_t(b)));
    cases.back().values.resize(1024 * 1024);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        Values c{"random mix " + std::to_string(trial), 0, 0, 0, {}};
        c.w = rng() % 40 + 1, c.h = rng() % 12 + 1, c.d = rng() % 4 + 1;
        c.values.resize(size_t(c.w) * c.h * c.d);
        for (float& v : c.values) {
            const uint32_t pick = rng() % 4;
            v = pick == 0   ? std::bit_cast<float>(uint32_t(rng()))
                : pick == 1 ? oddValues[rng() % oddValues.size()]
                : pick == 2 ? 0.0f
                            : float(rng() % 100) * 0.25f;
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

// Each case through a grid file that holds it once per codec.
TEST(CodecTest, EdgeCasesRoundTripThroughEveryCodecAndTheGridFile) {
    TempDir dir;
    for (const Values& c : edgeCases()) {
        SCOPED_TRACE(c.what);
        const size_t n = c.values.size();
        EXPECT_LE(runLength(c.values).size(), 4 * n + 4);
        if (c.what == "zeros") {
            EXPECT_LT(predictive(c.values, c.w, c.h, c.d).size(), n / 4);  // far below a byte each
        }
        FloatGrid grid(c.w, c.h, c.d);
        std::memcpy(grid.data(), c.values.data(), n * sizeof(float));
        GridFile file;
        ASSERT_TRUE(file.openForWriting(dir.file("f.bcf"), true));
        for (uint32_t codec : {kCodecRaw, kCodecRunLength, kCodecPredictive})
            ASSERT_TRUE(
                file.writeGrid(codec + 2, codec, kFrameTime, {float(codec), 0.5f, -2}, grid));
        ASSERT_TRUE(file.openForReading(dir.file("f.bcf")));
        GridChunkHeader header;
        for (uint32_t codec : {kCodecRaw, kCodecRunLength, kCodecPredictive}) {
            ASSERT_TRUE(file.readChunk(header));
            EXPECT_EQ(header.gridType, codec + 2);
            EXPECT_EQ(header.codec, codec);
            EXPECT_EQ(header.timeCursor().time, kFrameTime.time);
            EXPECT_EQ(header.timeCursor().step, kFrameTime.step);
            AuxVector aux;
            FloatGrid read;
            ASSERT_TRUE(file.readFloatGrid(header, aux, read)) << file.error();
            EXPECT_EQ(aux, (AuxVector{float(codec), 0.5f, -2.0f}));
            ASSERT_EQ(std::tuple(read.count(), read.depth()), std::tuple(grid.count(), c.d));
            for (size_t i = 0; i < n; ++i)
                ASSERT_TRUE(sameValue(codec, read[i], grid[i]))
                    << "codec " << codec << " cell " << i;
        }
        EXPECT_FALSE(file.readChunk(header));
        EXPECT_FALSE(file.failed());
    }
    EXPECT_TRUE(runLength({}).empty());
}

// Bytes worked out by hand from the format, so that caches stay readable by other builds.
// (The grid file around them is pinned by the fuzz seed corpus, which must still read.)
TEST(CodecTest, WorkedExamplesCodeToTheirBytes) {
    const std::pair<std::vector<float>, std::vector<uint8_t>> runLengthCases[] = {
        {{5, 5, 5, 5, 1, 2}, records({{-4, {5}}, {2, {1, 2}}})},
        {{1, 2, 3, 3}, records({{2, {1, 2}}, {-2, {3}}})},  // a final run of two repeats
        {{0, 0, 4, 4, 4, 4, 9}, records({{2, {0, 0}}, {-4, {4}}, {1, {9}}})},
        {{kNaN, kNaN, kNaN}, records({{3, {kNaN, kNaN, kNaN}}})},  // NaNs never join a run
        {{-0.0f, 0.0f, 0.0f, 0.0f}, records({{-4, {-0.0f}}})},     // the run keeps its first
    };
    for (const auto& [values, bytes] : runLengthCases)
        EXPECT_EQ(runLength(values), bytes) << values.size() << " values";
    EXPECT_EQ(predictive({0.0f}, 1, 1, 1), (std::vector<uint8_t>{0x7e, 0x0f, 0x81, 0xf0}));
    EXPECT_EQ(predictive({0.0f, 1.0f}, 2, 1, 1),
              (std::vector<uint8_t>{0x81, 0xd0, 0x0a, 0xcf, 0x3f, 0x0c, 0x00, 0x00, 0x00}));
}

// Whole payloads decode and cut ones fail, neither writing outside the grid. (The fuzz
// targets' replay flips bits in payloads.)
TEST(CodecTest, CutPayloadsFailAndNoPayloadWritesOutsideTheGrid) {
    const uint32_t w = 8, h = 6, d = 2, n = w * h * d;
    std::mt19937 rng(13);
    std::vector<float> values(n);
    for (float& v : values)
        v = rng() % 3 ? 0.0f : float(rng() % 1000) / 7.0f;
    std::vector<float> cells(n + 1);
    for (bool rc : {false, true}) {
        SCOPED_TRACE(rc ? "range coder" : "run-length");
        const auto payload = rc ? predictive(values, w, h, d) : runLength(values);
        const auto decode = [&](const std::vector<uint8_t>& p, size_t size) {
            cells.back() = 55.0f;
            const bool ok = rc ? decodePredictive(p.data(), size, cells.data(), w, h, d)
                               : decodeRunLength(p.data(), size, cells.data(), n);
            EXPECT_EQ(cells.back(), 55.0f);
            return ok;
        };
        EXPECT_TRUE(decode(payload, payload.size()));
        EXPECT_EQ(std::vector<float>(cells.begin(), cells.end() - 1), values);
        for (size_t cut = 0; cut < payload.size(); ++cut)
            EXPECT_FALSE(decode(payload, cut)) << "cut at " << cut;
    }
    // Run-length records beyond the grid are cut, never written.
    const std::pair<std::vector<uint8_t>, std::vector<float>> beyond[] = {
        {records({{-1000, {2}}}), {2, 2, 2}},
        {records({{INT32_MIN, {3}}}), {3, 3, 3}},
        {records({{5, {1, 2, 3, 4, 5}}}), {1, 2, 3}},
        {records({{0, {}}, {0, {}}, {-3, {4}}}), {4, 4, 4}},
        {records({{-3, {6}}, {2, {7, 8}}}), {6, 6, 6}},
    };
    for (const auto& [payload, expected] : beyond) {
        std::vector<float> three(5, -9.0f);  // three cells, then two guards
        EXPECT_TRUE(decodeRunLength(payload.data(), payload.size(), three.data(), 3));
        EXPECT_EQ(three, (std::vector<float>{expected[0], expected[1], expected[2], -9, -9}));
    }
    // A literal that claims more floats than the payload holds is cut to what is there.
    const auto cutLiteral = records({{10, {1, 2}}});
    EXPECT_TRUE(decodeRunLength(cutLiteral.data(), cutLiteral.size(), cells.data(), 2));
    EXPECT_FALSE(decodeRunLength(cutLiteral.data(), cutLiteral.size(), cells.data(), 3));
}

// A grid file with one field patched, cut or with another header: it does not open, or
// reading its grid throws or fails with an error, and nothing is allocated for hostile values.
TEST(GridFileTest, DamagedAndHostileFilesAreRejectedBeforeAllocating) {
    TempDir dir;
    const auto write = [&](uint32_t codec) {
        GridFile file;
        EXPECT_TRUE(file.openForWriting(dir.file("f.bcf"), true));
        EXPECT_TRUE(file.writeGrid(2, codec, kFrameTime, {0, 0, 0}, FloatGrid(4, 4)));
        file.close();
        return test::readFile(dir.file("f.bcf"));
    };
    const std::string good = write(kCodecRaw), runs = write(kCodecRunLength);
    const size_t chunk = GridFile::kHeaderSize, dims = chunk + GridChunkHeader::kSize + 12;
    const auto patchOf = [](std::string bytes, size_t offset, auto value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return bytes;
    };
    const auto patch = [&](size_t offset, auto value) { return patchOf(good, offset, value); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    enum Outcome { kNoOpen, kThrows, kFails };
    const std::tuple<const char*, std::string, Outcome> cases[] = {
        {"nothing", "", kNoOpen},
        {"cut in the header", good.substr(0, 6), kNoOpen},
        {"version 1", patch(10, uint8_t(1)), kNoOpen},
        {"another magic", patch(9, 'x'), kNoOpen},
        {"grid type 0", patch(chunk + 4, uint8_t(0)), kThrows},
        {"grid type 24", patch(chunk + 4, uint8_t(24)), kThrows},
        {"codec 7", patch(chunk + 5, uint8_t(7)), kThrows},
        {"zero length", patch(chunk, 0u), kThrows},
        {"length beyond the file", patch(chunk, 0xFFFFFFF0u), kFails},
        {"length below the fixed fields", patch(chunk, 10u), kFails},
        {"width overflowing the cell count", patch(dims, 0xFFFFFFFFu), kFails},
        {"raw payload of another size", patch(dims + 4, 5u), kFails},
        {"trailer unlike the length", patch(good.size() - 4, 0x12345678u), kFails},
        {"time not a number", patch(chunk + 6, nan), kFails},
        {"step infinite", patch(chunk + 22, std::numeric_limits<double>::infinity()), kFails},
        {"cut in the trailer", good.substr(0, good.size() - 2), kFails},
        {"cut in the chunk header", good.substr(0, chunk + 20), kFails},
        // Dimensions that fit 64 bits but not the cell limit, with a payload to fill them.
        {"more cells than the limit", patchOf(patchOf(runs, dims, 1 << 20), dims + 4, 1 << 20),
         kFails}};
    for (const auto& [what, bytes, outcome] : cases) {
        SCOPED_TRACE(what);
        test::writeFile(dir.file("hostile.bcf"), bytes);
        GridFile file;
        ASSERT_EQ(file.openForReading(dir.file("hostile.bcf")), outcome != kNoOpen);
        if (outcome == kNoOpen) continue;
        GridChunkHeader header;
        AuxVector aux;
        FloatGrid read;
        bool ok = false, threw = false;
        try {
            ok = file.readChunk(header) && file.readFloatGrid(header, aux, read);
        } catch (const Exception&) {
            threw = true;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(threw, outcome == kThrows);
        EXPECT_TRUE(threw || (file.failed() && !file.error().empty()));
        EXPECT_LE(read.count(), 16u);
    }
    GridFile file;  // a header alone holds no grids, and is no failure
    ASSERT_TRUE(file.openForReading(dir.file("f.bcf")));  // the last written, whole
    test::writeFile(dir.file("empty.bcf"), good.substr(0, chunk));
    ASSERT_TRUE(file.openForReading(dir.file("empty.bcf")));
    GridChunkHeader header;
    EXPECT_FALSE(file.readChunk(header) || file.failed());
    EXPECT_FALSE(file.openForReading(dir.file("missing.bcf")));
}

}  // namespace
}  // namespace skv
