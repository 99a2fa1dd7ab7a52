#include "cache/grid_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "test_support.h"

namespace skv {
namespace {

using test::TempDir;

const TimeCursor kFrameTime{Rational(7, 1), Rational(1, 24)};

FloatGrid makeGrid(uint32_t w, uint32_t h, uint32_t d, unsigned seed) {
    FloatGrid g(w, h, d);
    std::mt19937 rng(seed);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = rng() % 3 ? 0.0f : float(rng() % 1000) * 0.125f;
    return g;
}

bool sameBits(const FloatGrid& a, const FloatGrid& b) {
    return a.width() == b.width() && a.height() == b.height() && a.depth() == b.depth() &&
           std::memcmp(a.data(), b.data(), a.byteSize()) == 0;
}

template <typename T>
void append(std::string& s, T value) {
    s.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string exceptionText(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.message();
    }
    return "(nothing thrown)";
}

class GridFileTest : public ::testing::Test {
  protected:
    void TearDown() override { fileFaults::clear(); }

    // Writes `grids` (type i + 2, codec i % 3) into `name`; returns its path.
    std::string writeFile(const std::string& name, const std::vector<const FloatGrid*>& grids) {
        const std::string path = dir_.file(name);
        GridFile file;
        EXPECT_TRUE(file.openForWriting(path, true));
        for (size_t i = 0; i < grids.size(); ++i)
            EXPECT_TRUE(file.writeGrid(uint32_t(i + 2), uint32_t(i % 3), kFrameTime,
                                       {float(i), 0.5f, -2.0f}, *grids[i]));
        file.close();
        return path;
    }

    TempDir dir_;
};

TEST_F(GridFileTest, TwoOnesWithRunLengthCodingAreTheWorkedExampleByteForByte) {
    FloatGrid ones(2, 1, 1);
    ones.fill(1.0f);
    GridFile file;
    ASSERT_TRUE(file.openForWriting(dir_.file("f.bcf"), true));
    ASSERT_TRUE(file.writeGrid(2, kCodecRunLength, TimeCursor{}, {0, 0, 0}, ones));
    file.close();

    std::string expected = "qelmor bcf";
    expected.push_back('\x02');
    append<uint32_t>(expected, 32);  // L = 8 payload bytes + 24
    expected.push_back('\x02');      // type
    expected.push_back('\x01');      // codec
    for (double t : {0.0, 1.0, 1.0, 1.0})
        append(expected, t);
    for (float a : {0.0f, 0.0f, 0.0f})
        append(expected, a);
    for (uint32_t n : {2u, 1u, 1u})
        append(expected, n);
    expected += std::string("\xFE\xFF\xFF\xFF\x00\x00\x80\x3F", 8);
    append<uint32_t>(expected, 32);
    const std::string written = test::readFile(dir_.file("f.bcf"));
    EXPECT_EQ(written.size(), 11u + 74u);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.substr(written.size() - 4), std::string("\x20\x00\x00\x00", 4));
}

TEST_F(GridFileTest, EveryCodecRoundTripsGridsHeadersAndAuxVectors) {
    const FloatGrid a = makeGrid(5, 4, 1, 1), b = makeGrid(7, 3, 2, 2), c = makeGrid(33, 1, 1, 3);
    FloatGrid empty(0, 0, 0);
    const std::string path = writeFile("all.bcf", {&a, &b, &c, &empty});
    GridFile file;
    ASSERT_TRUE(file.openForReading(path));
    const FloatGrid* expected[] = {&a, &b, &c, &empty};
    GridChunkHeader header;
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(file.readChunk(header)) << i;
        EXPECT_EQ(header.gridType, i + 2);
        EXPECT_EQ(header.codec, i % 3);
        EXPECT_EQ(header.timeCursor().time, kFrameTime.time);
        EXPECT_EQ(header.timeCursor().step, kFrameTime.step);
        AuxVector aux;
        FloatGrid grid;
        ASSERT_TRUE(file.readFloatGrid(header, aux, grid)) << file.error();
        EXPECT_EQ(aux, (AuxVector{float(i), 0.5f, -2.0f}));
        EXPECT_TRUE(sameBits(grid, *expected[i])) << "chunk " << i;
    }
    EXPECT_FALSE(file.readChunk(header));
    EXPECT_FALSE(file.failed());
    EXPECT_EQ(file.chunksRead(), 4u);
}

TEST_F(GridFileTest, HeadersCanBeReadWithoutTheDataAndOnlyOncePerChunk) {
    const FloatGrid a = makeGrid(4, 4, 1, 4), b = makeGrid(2, 9, 1, 5);
    const std::string path = writeFile("two.bcf", {&a, &b});
    GridFile file;
    ASSERT_TRUE(file.openForReading(path));
    GridChunkHeader header;
    AuxVector aux;
    GridDimensions dims;
    ASSERT_TRUE(file.readChunk(header));
    ASSERT_TRUE(file.readFloatGridHeader(header, aux, dims, true));
    EXPECT_EQ(dims.width, 4u);
    EXPECT_EQ(exceptionText([&] { file.readFloatGridHeader(header, aux, dims, true); }),
              "readFloatGridHeader without readChunk");
    ASSERT_TRUE(file.readChunk(header));  // skipped past the first payload
    FloatGrid grid;
    ASSERT_TRUE(file.readFloatGrid(header, aux, grid));
    EXPECT_TRUE(sameBits(grid, b));
    // An unread chunk is skipped by the next readChunk.
    ASSERT_TRUE(file.openForReading(path));
    ASSERT_TRUE(file.readChunk(header));
    ASSERT_TRUE(file.readChunk(header));
    ASSERT_TRUE(file.readFloatGrid(header, aux, grid));
    EXPECT_TRUE(sameBits(grid, b));
}

TEST_F(GridFileTest, OnlyTheRightMagicAndVersionOpenAndAHeaderAloneHoldsNoGrids) {
    std::string header = "qelmor bcf";
    header.push_back('\x02');
    test::writeFile(dir_.file("empty.bcf"), header);
    GridFile file;
    ASSERT_TRUE(file.openForReading(dir_.file("empty.bcf")));
    GridChunkHeader chunk;
    EXPECT_FALSE(file.readChunk(chunk));
    EXPECT_FALSE(file.failed());

    const std::pair<const char*, std::string> bad[] = {
        {"version 1", std::string("qelmor bcf\x01", 11)},
        {"other magic", std::string("qelmor bcx\x02", 11)},
        {"short", std::string("qelmor", 6)},
        {"nothing", std::string()},
    };
    for (const auto& [what, contents] : bad) {
        test::writeFile(dir_.file("bad.bcf"), contents);
        EXPECT_FALSE(file.openForReading(dir_.file("bad.bcf"))) << what;
        EXPECT_FALSE(file.canRead()) << what;
    }
    EXPECT_FALSE(file.openForReading(dir_.file("missing.bcf")));
}

TEST_F(GridFileTest, MisuseThrowsTheFixedMessages) {
    const FloatGrid g = makeGrid(2, 2, 1, 6);
    GridFile file;
    GridChunkHeader header;
    AuxVector aux;
    EXPECT_EQ(exceptionText([&] { file.readChunk(header); }),
              "Failed to read float grid. No file opened for reading.");
    EXPECT_EQ(exceptionText([&] { file.writeGrid(2, 1, kFrameTime, aux, g); }),
              "Failed to add float grid. No file opened for writing.");
    ASSERT_TRUE(file.openForWriting(dir_.file("w.bcf"), true));
    EXPECT_EQ(exceptionText([&] { file.readChunk(header); }),
              "Failed to read float grid. No file opened for reading.");
    for (uint32_t type : {0u, 24u, 255u}) {
        EXPECT_EQ(exceptionText([&] { file.writeGrid(type, 1, kFrameTime, aux, g); }),
                  "Invalid grid type.");
        EXPECT_EQ(exceptionText([&] {
                      file.addFloatGrid(type, 0, kFrameTime, aux, {1, 1, 1}, nullptr, 0);
                  }),
                  "Invalid grid type.");
    }
    EXPECT_EQ(exceptionText([&] { file.writeGrid(2, 3, kFrameTime, aux, g); }), "Unknown codec");
}

// Patches one chunk field of a one-chunk file and reports what reading it throws.
TEST_F(GridFileTest, ChunksWithBadFieldsThrowOnReading) {
    const FloatGrid g = makeGrid(3, 2, 1, 7);
    const std::string good = test::readFile(writeFile("one.bcf", {&g}));
    struct Case {
        size_t offset;
        uint8_t value;
        const char* message;
    };
    const Case cases[] = {
        {11 + 4, 0, "Invalid grid type."},
        {11 + 4, 24, "Invalid grid type."},
        {11 + 5, 7, "Unknown codec"},
    };
    for (const auto& c : cases) {
        std::string bytes = good;
        bytes[c.offset] = char(c.value);
        test::writeFile(dir_.file("patched.bcf"), bytes);
        GridFile file;
        ASSERT_TRUE(file.openForReading(dir_.file("patched.bcf")));
        GridChunkHeader header;
        ASSERT_TRUE(file.readChunk(header));
        AuxVector aux;
        FloatGrid grid;
        EXPECT_EQ(exceptionText([&] { file.readFloatGrid(header, aux, grid); }), c.message);
    }
    std::string zeroLength = good;
    std::memset(&zeroLength[11], 0, 4);
    test::writeFile(dir_.file("zero.bcf"), zeroLength);
    GridFile file;
    ASSERT_TRUE(file.openForReading(dir_.file("zero.bcf")));
    GridChunkHeader header;
    ASSERT_TRUE(file.readChunk(header));
    AuxVector aux;
    FloatGrid grid;
    EXPECT_EQ(exceptionText([&] { file.readFloatGrid(header, aux, grid); }),
              "Trying to read empty grid");
}

TEST_F(GridFileTest, HostileLengthsDimensionsAndTrailersAreRejectedBeforeAllocating) {
    const FloatGrid g = makeGrid(3, 2, 1, 8);
    const std::string good = test::readFile(writeFile("one.bcf", {&g}));  // raw codec
    const size_t chunk = 11, dims = chunk + 38 + 12, trailer = good.size() - 4;
    const auto patch32 = [&](size_t offset, uint32_t value) {
        std::string bytes = good;
        std::memcpy(&bytes[offset], &value, 4);
        return bytes;
    };
    const auto patchDouble = [&](size_t offset, double value) {
        std::string bytes = good;
        std::memcpy(&bytes[offset], &value, 8);
        return bytes;
    };
    const std::pair<const char*, std::string> cases[] = {
        {"length beyond the file", patch32(chunk, 0xFFFFFFF0u)},
        {"length below the fixed fields", patch32(chunk, 10)},
        {"width overflowing the cell count", patch32(dims, 0xFFFFFFFFu)},
        {"raw payload of another size", patch32(dims + 4, 5)},
        {"trailer unlike the length", patch32(trailer, 0x12345678u)},
        {"time not a number", patchDouble(chunk + 6, std::numeric_limits<double>::quiet_NaN())},
        {"step infinite", patchDouble(chunk + 22, std::numeric_limits<double>::infinity())},
        {"cut in the trailer", good.substr(0, good.size() - 2)},
        {"cut in the chunk header", good.substr(0, chunk + 20)},
    };
    for (const auto& [what, bytes] : cases) {
        test::writeFile(dir_.file("hostile.bcf"), bytes);
        GridFile file;
        ASSERT_TRUE(file.openForReading(dir_.file("hostile.bcf"))) << what;
        GridChunkHeader header;
        AuxVector aux;
        FloatGrid grid;
        const bool read = file.readChunk(header) && file.readFloatGrid(header, aux, grid);
        EXPECT_FALSE(read) << what;
        EXPECT_TRUE(file.failed()) << what;
        EXPECT_FALSE(file.error().empty()) << what;
        EXPECT_LE(grid.count(), g.count()) << what;
    }
    // Dimensions that fit 64 bits but not the cell limit, with a run-length payload that
    // would fill them.
    FloatGrid big(4, 4, 1);
    GridFile writer;
    ASSERT_TRUE(writer.openForWriting(dir_.file("big.bcf"), true));
    ASSERT_TRUE(writer.writeGrid(2, kCodecRunLength, kFrameTime, {0, 0, 0}, big));
    writer.close();
    std::string bytes = test::readFile(dir_.file("big.bcf"));
    const uint32_t huge = 1u << 20;
    std::memcpy(&bytes[dims], &huge, 4);
    std::memcpy(&bytes[dims + 4], &huge, 4);
    test::writeFile(dir_.file("big.bcf"), bytes);
    GridFile file;
    ASSERT_TRUE(file.openForReading(dir_.file("big.bcf")));
    GridChunkHeader header;
    AuxVector aux;
    FloatGrid grid;
    ASSERT_TRUE(file.readChunk(header));
    EXPECT_FALSE(file.readFloatGrid(header, aux, grid));
    EXPECT_EQ(grid.count(), 0u);
}

TEST_F(GridFileTest, WritingWithoutTruncateKeepsAValidFileAndReplacesAForeignOne) {
    const FloatGrid a = makeGrid(3, 3, 1, 12), b = makeGrid(5, 1, 1, 13);
    const std::string path = writeFile("keep.bcf", {&a});
    {
        // Read to the end, then append.
        GridFile file;
        ASSERT_TRUE(file.openForWriting(path, false));
        GridChunkHeader header;
        ASSERT_TRUE(file.readChunk(header));
        EXPECT_FALSE(file.readChunk(header));
        ASSERT_TRUE(file.writeGrid(9, kCodecPredictive, kFrameTime, {1, 2, 3}, b));
    }
    GridFile file;
    ASSERT_TRUE(file.openForReading(path));
    GridChunkHeader header;
    AuxVector aux;
    FloatGrid grid;
    ASSERT_TRUE(file.readChunk(header));
    ASSERT_TRUE(file.readFloatGrid(header, aux, grid));
    EXPECT_TRUE(sameBits(grid, a));
    ASSERT_TRUE(file.readChunk(header));
    ASSERT_TRUE(file.readFloatGrid(header, aux, grid));
    EXPECT_EQ(header.gridType, 9);
    EXPECT_TRUE(sameBits(grid, b));

    for (const std::string& foreign : {std::string(), std::string("not a grid file at all")}) {
        test::writeFile(dir_.file("foreign"), foreign);
        GridFile writer;
        ASSERT_TRUE(writer.openForWriting(dir_.file("foreign"), false));
        ASSERT_TRUE(writer.writeGrid(3, kCodecRunLength, kFrameTime, {0, 0, 0}, b));
        writer.close();
        GridFile reader;
        ASSERT_TRUE(reader.openForReading(dir_.file("foreign")));
        ASSERT_TRUE(reader.readChunk(header));
        ASSERT_TRUE(reader.readFloatGrid(header, aux, grid));
        EXPECT_TRUE(sameBits(grid, b));
        EXPECT_FALSE(reader.readChunk(header));
        EXPECT_FALSE(reader.failed());
    }
}

// Every file operation of a write, then of a read, failing in turn: the failure is always
// reported, and a read never reports success with other values than were written.
TEST_F(GridFileTest, AFailingFileOperationIsAlwaysReported) {
    const FloatGrid a = makeGrid(6, 5, 1, 14), b = makeGrid(4, 4, 2, 15);
    const auto writeBoth = [&](const std::string& path) {
        GridFile file;
        bool ok = file.openForWriting(path, true);
        ok = ok && file.writeGrid(2, kCodecRunLength, kFrameTime, {0, 0, 0}, a);
        ok = ok && file.writeGrid(3, kCodecPredictive, kFrameTime, {0, 0, 0}, b);
        return ok;
    };
    const auto readBoth = [&](const std::string& path) {
        GridFile file;
        if (!file.openForReading(path)) return false;
        GridChunkHeader header;
        AuxVector aux;
        FloatGrid grid;
        int grids = 0;
        while (file.readChunk(header)) {
            if (!file.readFloatGrid(header, aux, grid)) return false;
            EXPECT_TRUE(sameBits(grid, grids == 0 ? a : b));
            ++grids;
        }
        return !file.failed() && grids == 2;
    };
    fileFaults::clear();
    ASSERT_TRUE(writeBoth(dir_.file("clean.bcf")));
    const uint64_t writeOps = fileFaults::operationCount();
    fileFaults::clear();
    ASSERT_TRUE(readBoth(dir_.file("clean.bcf")));
    const uint64_t readOps = fileFaults::operationCount();
    ASSERT_GT(writeOps, 5u);
    ASSERT_GT(readOps, 5u);
    for (bool persistent : {false, true}) {
        for (uint64_t n = 1; n <= writeOps + 1; ++n) {
            fileFaults::failOperation(n, persistent);
            EXPECT_EQ(writeBoth(dir_.file("w.bcf")), n > writeOps) << n << " " << persistent;
            fileFaults::clear();
        }
        for (uint64_t n = 1; n <= readOps + 1; ++n) {
            fileFaults::failOperation(n, persistent);
            EXPECT_EQ(readBoth(dir_.file("clean.bcf")), n > readOps) << n << " " << persistent;
            fileFaults::clear();
        }
    }
}

}  // namespace
}  // namespace skv
