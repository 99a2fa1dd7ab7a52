#include "cache/run_length.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace skv {
namespace {

// The payload is little-endian; so is every machine we build for, which lets whole runs of
// floats be copied as they are.
static_assert(std::endian::native == std::endian::little, "run-length payloads are little-endian");

void putCount(std::vector<uint8_t>& out, int32_t count) {
    uint8_t bytes[4];
    std::memcpy(bytes, &count, 4);
    out.insert(out.end(), bytes, bytes + 4);
}

void putFloats(std::vector<uint8_t>& out, const float* values, size_t n) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(values);
    out.insert(out.end(), bytes, bytes + n * sizeof(float));
}

// Runs longer than a record can count are split into several records.
constexpr size_t kMaxRecord = INT32_MAX;

void emitLiteral(std::vector<uint8_t>& out, const float* values, size_t begin, size_t end) {
    while (begin < end) {
        const size_t n = std::min(end - begin, kMaxRecord);
        putCount(out, static_cast<int32_t>(n));
        putFloats(out, values + begin, n);
        begin += n;
    }
}

void emitRepeat(std::vector<uint8_t>& out, float value, size_t n) {
    while (n > 0) {
        const size_t part = std::min(n, kMaxRecord);
        putCount(out, -static_cast<int32_t>(part));
        putFloats(out, &value, 1);
        n -= part;
    }
}

}  // namespace

void encodeRunLength(const float* values, size_t n, std::vector<uint8_t>& out) {
    if (n == 0) return;
    float runValue = values[0];
    size_t runStart = 0, literalStart = 0;
    for (size_t i = 1; i < n; ++i) {
        if (values[i] == runValue) continue;
        // Only runs of three or more pay for a record of their own inside the sequence.
        if (i - runStart > 2) {
            emitLiteral(out, values, literalStart, runStart);
            emitRepeat(out, runValue, i - runStart);
            literalStart = i;
        }
        runStart = i;
        runValue = values[i];
    }
    if (literalStart < n) {
        if (n - runStart < 2) runStart = n;  // a final run of one value is a literal
        emitLiteral(out, values, literalStart, runStart);
        literalStart = runStart;
        if (literalStart < n) emitRepeat(out, runValue, n - runStart);
    }
}

bool decodeRunLength(const uint8_t* payload, size_t size, float* values, size_t n) {
    size_t pos = 0, filled = 0;
    while (filled < n) {
        if (size - pos < 4) return false;
        int32_t count;
        std::memcpy(&count, payload + pos, 4);
        pos += 4;
        if (count < 0) {
            if (size - pos < 4) return false;
            float value;
            std::memcpy(&value, payload + pos, 4);
            pos += 4;
            // -INT32_MIN does not fit an int32: widen before negating.
            const uint64_t run = std::min<uint64_t>(uint64_t(-int64_t(count)), n - filled);
            std::fill_n(values + filled, run, value);
            filled += run;
        } else if (count > 0) {
            const size_t available = (size - pos) / 4;
            const size_t present = std::min<size_t>(size_t(count), available);
            const size_t copied = std::min(present, n - filled);
            std::memcpy(values + filled, payload + pos, copied * sizeof(float));
            filled += copied;
            pos += present * 4;
            if (present < size_t(count) && filled < n) return false;
        }
    }
    return true;
}

}  // namespace skv
