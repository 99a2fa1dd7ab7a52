#include "cache/range_coder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace skv {

// ---- AdaptiveModel ----

void AdaptiveModel::reset() {
    // A short first interval lets the table leave the flat start after a few symbols.
    interval_ = (kSymbols >> 4) | 2;
    nextLeft_ = 0;
    const uint32_t share = kTotal / kSymbols, extra = kTotal % kSymbols;
    for (uint32_t s = 0; s < kSymbols; ++s)
        accumulated_[s] = share + (s < extra ? 1 : 0);
    cumulative_[0] = 0;
    cumulative_[kSymbols] = kTotal;
    rescale();
}

void AdaptiveModel::rescale() {
    // The increments of one interval are spread so that the counts add up to kTotal again at
    // the next rescale: `increment_` per symbol, one more for the last `nextLeft_` symbols.
    if (nextLeft_ > 0) {
        left_ = nextLeft_;
        nextLeft_ = 0;
        ++increment_;
        return;
    }
    if (interval_ < kTargetInterval) interval_ = std::min(interval_ * 2, kTargetInterval);
    uint32_t total = kTotal, missing = kTotal;
    for (int s = int(kSymbols) - 1; s >= 0; --s) {
        total -= accumulated_[s];
        cumulative_[s] = total;
        // Halving forgets old statistics; "| 1" keeps every symbol codable.
        accumulated_[s] = (accumulated_[s] >> 1) | 1;
        missing -= accumulated_[s];
    }
    increment_ = missing / interval_;
    nextLeft_ = missing % interval_;
    left_ = interval_ - nextLeft_;
}

uint32_t AdaptiveModel::find(uint32_t q) const {
    uint32_t lo = 0, hi = kSymbols;  // cumulative_[lo] <= q < cumulative_[hi]
    while (hi - lo > 1) {
        const uint32_t mid = (lo + hi) / 2;
        if (cumulative_[mid] <= q)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

// ---- RangeEncoder ----

void RangeEncoder::encode(uint32_t start, uint32_t frequency) {
    range_ >>= AdaptiveModel::kTotalBits;
    low_ += range_ * start;
    range_ *= frequency;
    normalise();
}

void RangeEncoder::encodeRaw(uint32_t value, uint32_t n) {
    range_ >>= n;
    low_ += range_ * value;
    normalise();
}

void RangeEncoder::normalise() {
    // Emit bytes once the top byte is settled. Without carries the top byte can stay
    // unsettled while the range collapses; then the interval is cut at the next byte
    // boundary above `low` (range = -low), which costs a little precision but no carry.
    while (((low_ ^ (low_ + range_)) >> 24) == 0) {
        put();
        range_ <<= 8;
    }
    if (range_ < 0x10000u) {
        put();
        put();
        range_ = 0u - low_;
    }
}

void RangeEncoder::finish() {
    for (int i = 0; i < 4; ++i)
        put();
}

// ---- RangeDecoder ----

RangeDecoder::RangeDecoder(const uint8_t* data, size_t size) : data_(data), size_(size) {
    for (int i = 0; i < 4; ++i)
        get();
}

void RangeDecoder::normalise() {
    while (((low_ ^ (low_ + range_)) >> 24) == 0) {
        get();
        range_ <<= 8;
    }
    if (range_ < 0x10000u) {
        get();
        get();
        range_ = 0u - low_;
    }
}

bool RangeDecoder::decodeSymbol(AdaptiveModel& model, uint32_t& symbol) {
    range_ >>= AdaptiveModel::kTotalBits;
    if (range_ == 0) return false;
    const uint32_t q = (code_ - low_) / range_;
    if (q >= AdaptiveModel::kTotal) return false;
    symbol = model.find(q);
    low_ += range_ * model.start(symbol);
    range_ *= model.frequency(symbol);
    normalise();
    model.use(symbol);
    return !exhausted_;
}

bool RangeDecoder::decodeRaw(uint32_t n, uint32_t& value) {
    range_ >>= n;
    if (range_ == 0) return false;
    const uint32_t q = (code_ - low_) / range_;
    if ((q >> n) != 0) return false;
    low_ += range_ * q;
    normalise();
    value = q;
    return !exhausted_;
}

// ---- Predictive float codec ----

uint32_t floatImage(uint32_t bits) {
    uint32_t u = ~bits;
    if (u & 0x80000000u) u ^= 0x7FFFFFFFu;
    return u;
}

uint32_t floatFromImage(uint32_t image) {
    if (image & 0x80000000u) image ^= 0x7FFFFFFFu;
    return ~image;
}

namespace {

// Symbol 32 means "equal to the prediction"; 31 - k and 33 + k mean a difference below or
// above it whose highest set bit is k, followed by the k bits below that one.
constexpr uint32_t kExactSymbol = 32;
constexpr uint32_t kRawPiece = 16;
constexpr uint32_t kPredictedNaN = 0x7FC00000u;  // the quiet NaN

uint32_t bitsOf(float f) {
    return std::bit_cast<uint32_t>(f);
}

// Walks the grid in storage order and hands each cell's prediction to `code`, which codes or
// decodes the cell's value and stores it, so later predictions see it. The prediction uses
// the seven neighbours before the cell in x, y and z (zero outside the grid), summed left to
// right in single precision: the order is part of the format.
template <typename Code>
bool traverse(float* values, uint32_t width, uint32_t height, uint32_t depth, Code&& code) {
    const size_t row = width, plane = size_t(width) * height;
    // An empty grid may still claim a billion empty layers or rows: nothing to walk.
    if (plane == 0 || depth == 0) return true;
    for (uint32_t z = 0; z < depth; ++z)
        for (uint32_t y = 0; y < height; ++y) {
            const size_t rowStart = z * plane + y * row;
            for (uint32_t x = 0; x < width; ++x) {
                const size_t i = rowStart + x;
                const auto at = [&](uint32_t dx, uint32_t dy, uint32_t dz) -> float {
                    if (x < dx || y < dy || z < dz) return 0.0f;
                    return values[i - dx - dy * row - dz * plane];
                };
                float p = at(1, 1, 1) + at(1, 0, 0);
                p = p - at(0, 1, 1);
                p = p + at(0, 1, 0);
                p = p - at(1, 0, 1);
                p = p + at(0, 0, 1);
                p = p - at(1, 1, 0);
                // Which NaN a sum of NaNs gives depends on the order of the operands, which the
                // compiler may swap (addition commutes): every NaN prediction is the same one,
                // so that encoder and decoder always predict alike.
                if (p != p) p = std::bit_cast<float>(kPredictedNaN);
                if (!code(i, p)) return false;
            }
        }
    return true;
}

void encodeBits(RangeEncoder& encoder, uint32_t bits, uint32_t n) {
    if (n > kRawPiece) {
        encoder.encodeRaw(bits & 0xFFFFu, kRawPiece);
        encoder.encodeRaw(bits >> kRawPiece, n - kRawPiece);
    } else if (n > 0) {
        encoder.encodeRaw(bits, n);
    }
}

bool decodeBits(RangeDecoder& decoder, uint32_t n, uint32_t& bits) {
    bits = 0;
    if (n > kRawPiece) {
        uint32_t low = 0, high = 0;
        if (!decoder.decodeRaw(kRawPiece, low) || !decoder.decodeRaw(n - kRawPiece, high))
            return false;
        bits = low | (high << kRawPiece);
        return true;
    }
    return n == 0 || decoder.decodeRaw(n, bits);
}

}  // namespace

void encodePredictive(const float* values, uint32_t width, uint32_t height, uint32_t depth,
                      std::vector<uint8_t>& out) {
    AdaptiveModel model;
    RangeEncoder encoder(out);
    // The traversal only reads the values; it takes a mutable pointer so that the decoder can
    // share it.
    traverse(const_cast<float*>(values), width, height, depth, [&](size_t i, float p) {
        const uint32_t a = floatImage(bitsOf(values[i])), pi = floatImage(bitsOf(p));
        if (a == pi) {
            encoder.encodeSymbol(model, kExactSymbol);
        } else if (pi > a) {
            const uint32_t d = pi - a, k = 31 - uint32_t(std::countl_zero(d));
            encoder.encodeSymbol(model, 31 - k);
            encodeBits(encoder, d - (1u << k), k);
        } else {
            const uint32_t d = a - pi, k = 31 - uint32_t(std::countl_zero(d));
            encoder.encodeSymbol(model, 33 + k);
            encodeBits(encoder, d - (1u << k), k);
        }
        return true;
    });
    encoder.finish();
}

bool decodePredictive(const uint8_t* payload, size_t size, float* values, uint32_t width,
                      uint32_t height, uint32_t depth) {
    AdaptiveModel model;
    RangeDecoder decoder(payload, size);
    if (decoder.exhausted()) return false;
    return traverse(values, width, height, depth, [&](size_t i, float p) {
        uint32_t symbol = 0;
        if (!decoder.decodeSymbol(model, symbol)) return false;
        if (symbol == kExactSymbol) {
            values[i] = p;
            return true;
        }
        const uint32_t pi = floatImage(bitsOf(p));
        uint32_t a;
        if (symbol < kExactSymbol) {
            const uint32_t k = 31 - symbol;
            uint32_t bits;
            if (!decodeBits(decoder, k, bits)) return false;
            const uint64_t d = uint64_t(bits) + (1ull << k);
            if (d > pi) return false;  // an encoder never produces a difference below zero
            a = pi - uint32_t(d);
        } else {
            const uint32_t k = symbol - 33;
            uint32_t bits;
            if (!decodeBits(decoder, k, bits)) return false;
            const uint64_t d = uint64_t(bits) + (1ull << k);
            if (d > 0xFFFFFFFFull - pi) return false;
            a = pi + uint32_t(d);
        }
        values[i] = std::bit_cast<float>(floatFromImage(a));
        return true;
    });
}

}  // namespace skv
