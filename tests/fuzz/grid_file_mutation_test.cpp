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

std::vector<Seed> gridFileSeeds() {
    Directory folder;
    std::vector<std::string> names;
    std::vector<Seed> seeds;
    if (!folder.set(SKV_FUZZ_CORPUS)) return seeds;
    folder.list(names);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        Seed seed{name, test::readFile(folder.path() + "/" + name), {}, {}};
        size_t offset = GridFile::kHeaderSize;
        while (offset + 4 <= seed.bytes.size()) {
            seed.chunkStarts.push_back(offset);
            uint32_t length;
            std::memcpy(&length, &seed.bytes[offset], 4);
            offset += size_t(length) + 42;
        }
        seed.chunkStarts.push_back(offset);
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

GridFileOutcome read(const std::string& bytes) {
    return fuzz::readGridFileBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool sameChunks(const std::vector<fuzz::ChunkRead>& a, const std::vector<fuzz::ChunkRead>& b,
                size_t count) {
    if (a.size() < count || b.size() < count) return false;
    for (size_t i = 0; i < count; ++i) {
        if (a[i].values.size() != b[i].values.size() || a[i].aux != b[i].aux) return false;
        if (!a[i].values.empty() &&
            std::memcmp(a[i].values.data(), b[i].values.data(), a[i].values.size() * 4) != 0)
            return false;
    }
    return true;
}

class GridFileMutation : public ::testing::Test {
  protected:
    void SetUp() override {
        seeds_ = gridFileSeeds();
        ASSERT_GE(seeds_.size(), 3u);
        for (auto& seed : seeds_) {
            seed.outcome = read(seed.bytes);
            ASSERT_FALSE(seed.outcome.rejected) << seed.name << ": " << seed.outcome.why;
            ASSERT_EQ(seed.outcome.chunks.size() + 1, seed.chunkStarts.size()) << seed.name;
            ASSERT_EQ(seed.chunkStarts.back(), seed.bytes.size()) << seed.name;
        }
    }
    std::vector<Seed> seeds_;
};

TEST_F(GridFileMutation, EveryTruncationIsRejectedUnlessItEndsBetweenChunks) {
    for (const auto& seed : seeds_)
        for (size_t size = 0; size < seed.bytes.size(); ++size) {
            const auto outcome = read(seed.bytes.substr(0, size));
            const auto boundary = std::find(seed.chunkStarts.begin(), seed.chunkStarts.end(), size);
            if (boundary == seed.chunkStarts.end()) {
                EXPECT_TRUE(outcome.rejected) << seed.name << " cut to " << size;
            } else {
                const size_t chunks = size_t(boundary - seed.chunkStarts.begin());
                EXPECT_FALSE(outcome.rejected) << seed.name << " cut to " << size;
                EXPECT_EQ(outcome.chunks.size(), chunks) << seed.name << " cut to " << size;
                EXPECT_TRUE(sameChunks(outcome.chunks, seed.outcome.chunks, chunks)) << seed.name;
            }
        }
}

TEST_F(GridFileMutation, EveryBitFlipInTheFileHeaderIsRejected) {
    for (const auto& seed : seeds_)
        for (size_t byte = 0; byte < GridFile::kHeaderSize; ++byte)
            for (int bit = 0; bit < 8; ++bit) {
                std::string mutated = seed.bytes;
                mutated[byte] = char(uint8_t(mutated[byte]) ^ (1u << bit));
                const auto outcome = read(mutated);
                EXPECT_FALSE(outcome.opened) << seed.name << " byte " << byte << " bit " << bit;
                EXPECT_TRUE(outcome.rejected);
            }
}

// In the 38-byte chunk header a flipped length is always caught (by the trailer, or by the
// chunk no longer fitting the file); a flipped grid type or codec is caught unless it names
// another valid one; a flipped time value is caught when it is no longer a finite number and
// otherwise read as stored: the format has no checksum to tell it from an intended one.
TEST_F(GridFileMutation, EveryBitFlipInAChunkHeaderIsRejectedOrReadAsItsBytesSay) {
    int rejected = 0, accepted = 0;
    for (const auto& seed : seeds_)
        for (size_t chunk = 0; chunk + 1 < seed.chunkStarts.size(); ++chunk)
            for (size_t field = 0; field < GridChunkHeader::kSize; ++field)
                for (int bit = 0; bit < 8; ++bit) {
                    const size_t at = seed.chunkStarts[chunk] + field;
                    std::string mutated = seed.bytes;
                    mutated[at] = char(uint8_t(mutated[at]) ^ (1u << bit));
                    const auto outcome = read(mutated);
                    const std::string where = seed.name + " chunk " + std::to_string(chunk) +
                                              " byte " + std::to_string(field) + " bit " +
                                              std::to_string(bit);
                    GridChunkHeader flipped;
                    flipped.load(
                        reinterpret_cast<const uint8_t*>(&mutated[seed.chunkStarts[chunk]]));
                    outcome.rejected ? ++rejected : ++accepted;
                    if (field < 4) {
                        EXPECT_TRUE(outcome.rejected) << where;
                    } else if (field == 4) {
                        const bool valid =
                            flipped.gridType >= kMinGridType && flipped.gridType <= kMaxGridType;
                        EXPECT_EQ(outcome.rejected, !valid) << where;
                        if (valid) {
                            ASSERT_EQ(outcome.chunks.size(), seed.outcome.chunks.size()) << where;
                            EXPECT_EQ(outcome.chunks[chunk].header.gridType, flipped.gridType)
                                << where;
                            EXPECT_TRUE(sameChunks(outcome.chunks, seed.outcome.chunks,
                                                   outcome.chunks.size()))
                                << where;
                        }
                    } else if (field == 5) {
                        if (flipped.codec > kCodecPredictive) {
                            EXPECT_TRUE(outcome.rejected) << where;
                        } else if (!outcome.rejected) {
                            // Another codec that happens to decode: the grid keeps its size.
                            ASSERT_GT(outcome.chunks.size(), chunk) << where;
                            EXPECT_EQ(outcome.chunks[chunk].values.size(),
                                      seed.outcome.chunks[chunk].values.size())
                                << where;
                        }
                    } else {
                        const double t = flipped.times[(field - 6) / 8];
                        EXPECT_EQ(outcome.rejected, !std::isfinite(t)) << where;
                        if (!outcome.rejected) {
                            ASSERT_EQ(outcome.chunks.size(), seed.outcome.chunks.size()) << where;
                            EXPECT_EQ(std::memcmp(outcome.chunks[chunk].header.times, flipped.times,
                                                  sizeof flipped.times),
                                      0)
                                << where;
                            EXPECT_TRUE(sameChunks(outcome.chunks, seed.outcome.chunks,
                                                   outcome.chunks.size()))
                                << where;
                        }
                    }
                }
    std::printf("chunk header bit flips: %d rejected, %d read as stored\n", rejected, accepted);
    EXPECT_GT(rejected, 0);
}

}  // namespace
}  // namespace skv
