#include "cache/run_length.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace skv {
namespace {

std::vector<uint8_t> encode(const std::vector<float>& values) {
    std::vector<uint8_t> out;
    encodeRunLength(values.data(), values.size(), out);
    return out;
}

// Records written by hand: a count, then its floats.
struct Record {
    int32_t count;
    std::vector<float> values;
};

std::vector<uint8_t> bytesOf(const std::vector<Record>& records) {
    std::vector<uint8_t> out;
    for (const auto& r : records) {
        uint8_t b[4];
        std::memcpy(b, &r.count, 4);
        out.insert(out.end(), b, b + 4);
        for (float v : r.values) {
            std::memcpy(b, &v, 4);
            out.insert(out.end(), b, b + 4);
        }
    }
    return out;
}

bool sameValue(float a, float b) {
    // The codec compares floats: 0.0 and -0.0 may trade places; NaNs travel bit for bit.
    return a == b || (std::isnan(a) && std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b));
}

TEST(RunLengthTest, WorkedExamplesEncodeToTheirRecords) {
    struct Case {
        std::vector<float> values;
        std::vector<Record> records;
    };
    const Case cases[] = {
        {{5, 5, 5, 5, 1, 2}, {{-4, {5.0f}}, {2, {1.0f, 2.0f}}}},
        {{1, 2, 3, 3}, {{2, {1.0f, 2.0f}}, {-2, {3.0f}}}},  // a final run of two repeats
        {{7}, {{1, {7.0f}}}},
        {{1, 1}, {{-2, {1.0f}}}},
        {{1, 1, 1, 2, 2, 3}, {{-3, {1.0f}}, {3, {2.0f, 2.0f, 3.0f}}}},
        {{0, 0, 4, 4, 4, 4, 9}, {{2, {0.0f, 0.0f}}, {-4, {4.0f}}, {1, {9.0f}}}},
    };
    for (const auto& c : cases) {
        const auto encoded = encode(c.values);
        EXPECT_EQ(encoded, bytesOf(c.records)) << "values of size " << c.values.size();
        std::vector<float> decoded(c.values.size(), -1.0f);
        ASSERT_TRUE(
            decodeRunLength(encoded.data(), encoded.size(), decoded.data(), decoded.size()));
        EXPECT_EQ(decoded, c.values);
    }
    EXPECT_EQ(encode({5, 5, 5, 5, 1, 2}).size(), 20u);
    const std::vector<uint8_t> twoOnes = {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(encode({1.0f, 1.0f}), twoOnes);
    EXPECT_TRUE(encode({}).empty());
}

TEST(RunLengthTest, SparseAndRandomDataRoundTripWithinTheSizeBound) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const size_t n = rng() % 500 + 1;
        std::vector<float> values(n, 0.0f);
        const int style = trial % 3;
        for (size_t i = 0; i < n; ++i) {
            if (style == 0 && rng() % 10 == 0) values[i] = float(rng() % 4);    // sparse, runs
            if (style == 1) values[i] = std::bit_cast<float>(uint32_t(rng()));  // any pattern
            if (style == 2) values[i] = (rng() % 3 == 0) ? -0.0f : float(rng() % 2);
        }
        const auto encoded = encode(values);
        EXPECT_LE(encoded.size(), 4 * n + 4);
        EXPECT_EQ(encoded.size() % 4, 0u);
        std::vector<float> decoded(n);
        ASSERT_TRUE(decodeRunLength(encoded.data(), encoded.size(), decoded.data(), n));
        for (size_t i = 0; i < n; ++i)
            ASSERT_TRUE(sameValue(values[i], decoded[i])) << "trial " << trial << " cell " << i;
    }
}

TEST(RunLengthTest, NaNsNeverJoinARunAndSignedZerosDo) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto encodedNaN = encode({nan, nan, nan});
    EXPECT_EQ(encodedNaN.size(), 16u);  // one literal record of three
    const auto encodedZeros = encode({-0.0f, 0.0f, 0.0f, 0.0f});
    ASSERT_EQ(encodedZeros.size(), 8u);  // one repeat record
    std::vector<float> decoded(4);
    ASSERT_TRUE(decodeRunLength(encodedZeros.data(), 8, decoded.data(), 4));
    for (float v : decoded)
        EXPECT_TRUE(std::signbit(v));  // the run keeps its first value
}

TEST(RunLengthTest, PayloadsThatEndEarlyAreRejected) {
    const auto full = encode({1, 2, 3, 3, 3, 3, 4, 5});
    std::vector<float> decoded(8);
    for (size_t cut = 0; cut < full.size(); ++cut)
        EXPECT_FALSE(decodeRunLength(full.data(), cut, decoded.data(), 8)) << "cut at " << cut;
    EXPECT_TRUE(decodeRunLength(full.data(), full.size(), decoded.data(), 8));
}

TEST(RunLengthTest, RecordsBeyondTheGridAreCutNeverWritten) {
    struct Case {
        const char* what;
        std::vector<Record> records;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"long repeat", {{-1000, {2.0f}}}, {2, 2, 2}},
        {"most negative count", {{INT32_MIN, {3.0f}}}, {3, 3, 3}},
        {"long literal", {{5, {1, 2, 3, 4, 5}}}, {1, 2, 3}},
        {"empty records", {{0, {}}, {0, {}}, {-3, {4.0f}}}, {4, 4, 4}},
        {"extra records", {{-3, {6.0f}}, {2, {7, 8}}}, {6, 6, 6}},
    };
    for (const auto& c : cases) {
        const auto payload = bytesOf(c.records);
        std::vector<float> cells(5, -9.0f);  // three cells, then two guards
        EXPECT_TRUE(decodeRunLength(payload.data(), payload.size(), cells.data(), 3)) << c.what;
        EXPECT_EQ(std::vector<float>(cells.begin(), cells.begin() + 3), c.expected) << c.what;
        EXPECT_EQ(cells[3], -9.0f) << c.what;
        EXPECT_EQ(cells[4], -9.0f) << c.what;
    }
    // A literal that claims more floats than the payload holds is cut to what is there.
    auto cutLiteral = bytesOf({{10, {1, 2}}});
    std::vector<float> two(2);
    EXPECT_TRUE(decodeRunLength(cutLiteral.data(), cutLiteral.size(), two.data(), 2));
    std::vector<float> three(3);
    EXPECT_FALSE(decodeRunLength(cutLiteral.data(), cutLiteral.size(), three.data(), 3));
}

}  // namespace
}  // namespace skv
