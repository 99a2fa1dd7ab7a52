// The deterministic mutation pass over the grid file seeds: every truncation, and every bit
// flip in the file header and in each chunk header, is either rejected with an error or, where
// the bytes still form a valid file, read as exactly what they say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "test_support.h"

namespace skv {
namespace {

using fuzz::GridFileOutcome;

struct Seed {
    std::string name, bytes;
    std::vector<size_t> chunkStarts;  // offsets of the chunks; then the end of the file
    GridFileOutcome outcome;          // the seed read unmutated
};

GridFileOutcome read(const std::string& bytes) {
    return fuzz::readGridFileBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string flipped(std::string bytes, size_t at, int bit) {
    bytes[at] = char(uint8_t(bytes[at]) ^ (1u << bit));
    return bytes;
}

// Whether the first `count` chunks of both hold the same aux vectors and values, bit for bit.
bool sameChunks(const std::vector<fuzz::ChunkRead>& a, const std::vector<fuzz::ChunkRead>& b,
                size_t count) {
    if (a.size() < count || b.size() < count) return false;
    for (size_t i = 0; i < count; ++i)
        if (a[i].values.size() != b[i].values.size() || a[i].aux != b[i].aux ||
            (!a[i].values.empty() &&
             std::memcmp(a[i].values.data(), b[i].values.data(), a[i].values.size() * 4) != 0))
            return false;
    return true;
}

class GridFileMutation : public ::testing::Test {
  protected:
    void SetUp() override {
        Directory folder;
        std::vector<std::string> names;
        ASSERT_TRUE(folder.set(SKV_FUZZ_CORPUS));
        folder.list(names);
        std::sort(names.begin(), names.end());
        ASSERT_GE(names.size(), 3u);
        for (const auto& name : names) {
            Seed seed{name, test::readFile(folder.path() + "/" + name), {}, {}};
            size_t at = GridFile::kHeaderSize;
            for (uint32_t length; at + 4 <= seed.bytes.size(); at += size_t(length) + 42) {
                seed.chunkStarts.push_back(at);
                std::memcpy(&length, &seed.bytes[at], 4);
            }
            seed.chunkStarts.push_back(at);
            seed.outcome = read(seed.bytes);
            ASSERT_FALSE(seed.outcome.rejected) << name << ": " << seed.outcome.why;
            ASSERT_EQ(seed.outcome.chunks.size() + 1, seed.chunkStarts.size()) << name;
            ASSERT_EQ(seed.chunkStarts.back(), seed.bytes.size()) << name;
            seeds_.push_back(std::move(seed));
        }
    }
    std::vector<Seed> seeds_;
};

TEST_F(GridFileMutation, EveryTruncationIsRejectedUnlessItEndsBetweenChunks) {
    for (const auto& seed : seeds_)
        for (size_t size = 0; size < seed.bytes.size(); ++size) {
            SCOPED_TRACE(seed.name + " cut to " + std::to_string(size));
            const auto outcome = read(seed.bytes.substr(0, size));
            const auto boundary = std::find(seed.chunkStarts.begin(), seed.chunkStarts.end(), size);
            EXPECT_EQ(outcome.rejected, boundary == seed.chunkStarts.end());
            if (boundary == seed.chunkStarts.end()) continue;
            const size_t chunks = size_t(boundary - seed.chunkStarts.begin());
            EXPECT_EQ(outcome.chunks.size(), chunks);
            EXPECT_TRUE(sameChunks(outcome.chunks, seed.outcome.chunks, chunks));
        }
}

TEST_F(GridFileMutation, EveryBitFlipInTheFileHeaderIsRejected) {
    for (const auto& seed : seeds_)
        for (size_t byte = 0; byte < GridFile::kHeaderSize; ++byte)
            for (int bit = 0; bit < 8; ++bit) {
                const auto outcome = read(flipped(seed.bytes, byte, bit));
                EXPECT_FALSE(outcome.opened) << seed.name << " byte " << byte << " bit " << bit;
                EXPECT_TRUE(outcome.rejected);
            }
}

// In the 38-byte chunk header a flipped length is always caught (by the trailer, or by the
// chunk no longer fitting the file); a flipped grid type or codec is caught unless it names
// another valid one; a flipped time value is caught when it is no longer a finite number and
// otherwise read as stored: the format has no checksum to tell it from an intended one.
TEST_F(GridFileMutation, EveryBitFlipInAChunkHeaderIsRejectedOrReadAsItsBytesSay) {
    int rejected = 0;
    for (const auto& seed : seeds_)
        for (size_t chunk = 0; chunk + 1 < seed.chunkStarts.size(); ++chunk)
            for (size_t field = 0; field < GridChunkHeader::kSize; ++field)
                for (int bit = 0; bit < 8; ++bit) {
                    SCOPED_TRACE(seed.name + " chunk " + std::to_string(chunk) + " byte " +
                                 std::to_string(field) + " bit " + std::to_string(bit));
                    const std::string mutated =
                        flipped(seed.bytes, seed.chunkStarts[chunk] + field, bit);
                    const auto outcome = read(mutated);
                    GridChunkHeader header;
                    header.load(
                        reinterpret_cast<const uint8_t*>(&mutated[seed.chunkStarts[chunk]]));
                    rejected += outcome.rejected;
                    bool expectRejected = false;
                    if (field < 4)
                        expectRejected = true;
                    else if (field == 4)
                        expectRejected =
                            header.gridType < kMinGridType || header.gridType > kMaxGridType;
                    else if (field == 5)
                        expectRejected = header.codec > kCodecPredictive ? true : outcome.rejected;
                    else
                        expectRejected = !std::isfinite(header.times[(field - 6) / 8]);
                    EXPECT_EQ(outcome.rejected, expectRejected);
                    if (outcome.rejected) continue;
                    ASSERT_EQ(outcome.chunks.size(), seed.outcome.chunks.size());
                    const auto& read = outcome.chunks[chunk];
                    if (field == 5) {  // another codec that happens to decode: the size stays
                        EXPECT_EQ(read.values.size(), seed.outcome.chunks[chunk].values.size());
                        continue;
                    }
                    EXPECT_EQ(read.header.gridType, header.gridType);
                    EXPECT_EQ(std::memcmp(read.header.times, header.times, sizeof header.times), 0);
                    EXPECT_TRUE(
                        sameChunks(outcome.chunks, seed.outcome.chunks, outcome.chunks.size()));
                }
    EXPECT_GT(rejected, 0);
}

}  // namespace
}  // namespace skv
