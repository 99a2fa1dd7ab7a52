#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skv {

struct RGBA {
    float r = 0, g = 0, b = 0, a = 0;
    bool operator==(const RGBA&) const = default;
};

struct ColorStop {
    RGBA color;
    float position = 0;
};

// A function from [0, 1] to colours, given by stops sorted by ascending position with no two
// at the same position. May be empty (it then samples transparent black).
//
// Stored form, little-endian: u32 stop count n, then per stop red, green, blue, alpha and
// position as f32: 4 + 20·n bytes.
class ColorRamp {
  public:
    static constexpr size_t kStopBytes = 20;

    ColorRamp() = default;

    // A stop at an existing position only takes the new colour; otherwise the stop is inserted
    // before the first stop with a greater position. Returns the stop's index.
    size_t addStop(const RGBA& color, float position);
    RGBA sample(float position) const;
    void copy(const ColorRamp& source) { stops_ = source.stops_; }
    void clear() { stops_.clear(); }

    // Stop positions: the union of a's and b's; colours a(x) + (b(x) − a(x))·t.
    static ColorRamp interpolate(const ColorRamp& a, const ColorRamp& b, float t);

    uint64_t flatSize() const { return 4 + kStopBytes * uint64_t(stops_.size()); }
    // Writes exactly flatSize() bytes.
    void flatten(uint8_t* out) const;
    // Replaces the stops by those of a stored ramp (sorted and de-duplicated through addStop).
    // Returns the bytes consumed (4 + 20·n), or 0 when the buffer is too short or holds a
    // position that is not a finite number; the ramp is then left unchanged.
    uint64_t unflatten(const uint8_t* data, uint64_t size);

    size_t size() const { return stops_.size(); }
    bool empty() const { return stops_.empty(); }
    const ColorStop& stop(size_t i) const { return stops_[i]; }
    const std::vector<ColorStop>& stops() const { return stops_; }
    void setStopColor(size_t i, const RGBA& color) { stops_[i].color = color; }
    // Moves stop i to `position`, keeping the list sorted; returns the stop's new index. A
    // position equal to another stop's is nudged back towards where the stop came from, so
    // that no two stops coincide and positions stay within the range they had.
    size_t moveStop(size_t i, float position);
    void removeStop(size_t i);

    bool operator==(const ColorRamp& other) const;

    // The parameters' defaults.
    static ColorRamp densityDefault();      // transparent black to opaque white
    static ColorRamp temperatureDefault();  // the 28-stop fire ramp
    static ColorRamp fuelDefault();         // transparent black to opaque blue

  private:
    std::vector<ColorStop> stops_;
};

}  // namespace skv
