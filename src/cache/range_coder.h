#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skv {

// Quasi-static adaptive frequency model over 65 symbols with a 16-bit total. Symbol counts
// accumulate between rescales; the coding table (the cumulative frequencies) changes only at a
// rescale, so an encoder and a decoder that use the same symbols stay in step. The rescale
// interval starts small so the table adapts quickly, then settles at kTargetInterval symbols.
class AdaptiveModel {
  public:
    static constexpr uint32_t kSymbols = 65;
    static constexpr uint32_t kTotalBits = 16;
    static constexpr uint32_t kTotal = 1u << kTotalBits;
    static constexpr uint32_t kTargetInterval = 1024;

    AdaptiveModel() { reset(); }
    void reset();

    uint32_t start(uint32_t symbol) const { return cumulative_[symbol]; }
    uint32_t frequency(uint32_t symbol) const {
        return cumulative_[symbol + 1] - cumulative_[symbol];
    }
    // The symbol whose interval [start, start + frequency) holds q (q < kTotal).
    uint32_t find(uint32_t q) const;
    // Counts one use of `symbol`, after it was coded.
    void use(uint32_t symbol) {
        if (left_ == 0) rescale();
        --left_;
        accumulated_[symbol] += increment_;
    }

  private:
    void rescale();

    uint32_t cumulative_[kSymbols + 1];
    uint32_t accumulated_[kSymbols];
    uint32_t left_ = 0;
    uint32_t nextLeft_ = 0;
    uint32_t increment_ = 0;
    uint32_t interval_ = 0;
};

// 32-bit carry-less range encoder. Output bytes are appended to the vector, which grows as
// needed (incompressible data codes to slightly more than its own size).
class RangeEncoder {
  public:
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}
    // Codes the symbol interval [start, start + frequency) of a 16-bit total.
    void encode(uint32_t start, uint32_t frequency);
    // Codes the n low bits of `value` (n <= 16) with equal probability.
    void encodeRaw(uint32_t value, uint32_t n);
    void encodeSymbol(AdaptiveModel& model, uint32_t symbol) {
        encode(model.start(symbol), model.frequency(symbol));
        model.use(symbol);
    }
    // Flushes the state: four more bytes.
    void finish();

  private:
    void put() {
        out_.push_back(static_cast<uint8_t>(low_ >> 24));
        low_ <<= 8;
    }
    void normalise();

    std::vector<uint8_t>& out_;
    uint32_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
};

// The decoder twin of RangeEncoder. Input is untrusted: every operation reports failure
// instead of dividing by zero, decoding a value outside its alphabet or reading past the end.
class RangeDecoder {
  public:
    RangeDecoder(const uint8_t* data, size_t size);
    bool decodeSymbol(AdaptiveModel& model, uint32_t& symbol);
    bool decodeRaw(uint32_t n, uint32_t& value);  // n <= 16
    // True once the decoder needed a byte beyond the end of its input.
    bool exhausted() const { return exhausted_; }

  private:
    void get() {
        uint32_t byte = 0;
        if (pos_ < size_)
            byte = data_[pos_++];
        else
            exhausted_ = true;
        code_ = (code_ << 8) | byte;
        low_ <<= 8;
    }
    void normalise();

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint32_t code_ = 0;
    uint32_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    bool exhausted_ = false;
};

// Grid codec 2: a lossless predictive coder for floats. Each value is predicted from its
// already coded neighbours in the previous column, row and layer (zero outside the grid); the
// difference of the order-preserving integer images of value and prediction is coded as a
// magnitude class (one of 65 symbols of an adaptive model) followed by raw bits. Every bit
// pattern survives, NaNs and negative zero included. Values are in storage order, x fastest.
void encodePredictive(const float* values, uint32_t width, uint32_t height, uint32_t depth,
                      std::vector<uint8_t>& out);
// Decodes into values[0, width * height * depth); false when the payload is corrupt or ends
// before the grid is filled. Trailing bytes after a complete grid are ignored.
bool decodePredictive(const uint8_t* payload, size_t size, float* values, uint32_t width,
                      uint32_t height, uint32_t depth);

// The order-preserving map between a float's bit pattern and an unsigned integer.
uint32_t floatImage(uint32_t bits);
uint32_t floatFromImage(uint32_t image);

}  // namespace skv
