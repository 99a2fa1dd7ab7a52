#include "render/color_ramp.h"

#include <cmath>
#include <cstring>

namespace skv {
namespace {

struct FireRecord {
    float r, g, b, a, position;
};

// The fire ramp, ended by a record beyond 1.0 that building the default stops at.
constexpr FireRecord kFireRamp[] = {
    {0.0f, 0.0f, 0.0f, 1.0f, 0.0f},
    {1.0f, 0.013489f, 0.0f, 1.0f, 0.16141f},
    {1.0f, 0.193559f, 0.0f, 1.0f, 0.183673f},
    {1.0f, 0.317245f, 0.0f, 1.0f, 0.220779f},
    {1.0f, 0.368937f, 0.0f, 1.0f, 0.243043f},
    {1.0f, 0.436806f, 0.0f, 1.0f, 0.280148f},
    {1.0f, 0.470005f, 0.0f, 1.0f, 0.302412f},
    {1.0f, 0.520533f, 0.0f, 1.0f, 0.343228f},
    {1.0f, 0.562798f, 0.082288f, 1.0f, 0.380334f},
    {1.0f, 0.58872f, 0.146573f, 1.0f, 0.402597f},
    {1.0f, 0.631566f, 0.232433f, 1.0f, 0.443414f},
    {1.0f, 0.666133f, 0.297243f, 1.0f, 0.480519f},
    {1.0f, 0.685173f, 0.332797f, 1.0f, 0.502783f},
    {1.0f, 0.71722f, 0.393389f, 1.0f, 0.543599f},
    {1.0f, 0.743541f, 0.444374f, 1.0f, 0.580705f},
    {1.0f, 0.7582f, 0.473384f, 1.0f, 0.602968f},
    {1.0f, 0.780945f, 0.5194f, 1.0f, 0.640074f},
    {1.0f, 0.793667f, 0.545722f, 1.0f, 0.662338f},
    {1.0f, 0.815367f, 0.59168f, 1.0f, 0.703154f},
    {1.0f, 0.833447f, 0.631066f, 1.0f, 0.74026f},
    {1.0f, 0.843611f, 0.653676f, 1.0f, 0.762523f},
    {1.0f, 0.861035f, 0.693264f, 1.0f, 0.80334f},
    {1.0f, 0.875633f, 0.727281f, 1.0f, 0.840445f},
    {1.0f, 0.890457f, 0.762675f, 1.0f, 0.881262f},
    {1.0f, 0.898043f, 0.781137f, 1.0f, 0.903525f},
    {1.0f, 0.909967f, 0.810655f, 1.0f, 0.940631f},
    {1.0f, 0.916717f, 0.827647f, 1.0f, 0.962894f},
    {1.0f, 0.927345f, 0.854832f, 1.0f, 1.0f},
    {1.0f, 1.0f, 1.0f, 1.0f, 2.0f},
};

void putFloat(uint8_t* out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    for (int k = 0; k < 4; ++k)
        out[k] = uint8_t(bits >> (8 * k));
}

uint32_t getU32(const uint8_t* in) {
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

float getFloat(const uint8_t* in) {
    const uint32_t bits = getU32(in);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

RGBA lerp(const RGBA& a, const RGBA& b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
            a.a + (b.a - a.a) * t};
}

}  // namespace

size_t ColorRamp::addStop(const RGBA& color, float position) {
    size_t i = 0;
    for (; i < stops_.size(); ++i) {
        if (stops_[i].position == position) {
            stops_[i].color = color;
            return i;
        }
        if (stops_[i].position > position) break;
    }
    stops_.insert(stops_.begin() + std::ptrdiff_t(i), ColorStop{color, position});
    return i;
}

RGBA ColorRamp::sample(float x) const {
    if (stops_.empty()) return {};
    if (x < stops_.front().position) return stops_.front().color;
    if (x >= stops_.back().position) return stops_.back().color;
    // Neighbours p (position <= x) and q (position > x).
    size_t q = 1;
    while (stops_[q].position <= x)
        ++q;
    const ColorStop& lo = stops_[q - 1];
    const ColorStop& hi = stops_[q];
    return lerp(lo.color, hi.color, (x - lo.position) / (hi.position - lo.position));
}

ColorRamp ColorRamp::interpolate(const ColorRamp& a, const ColorRamp& b, float t) {
    ColorRamp result;
    result.stops_.reserve(a.size() + b.size());
    const auto blend = [&](float x) { return lerp(a.sample(x), b.sample(x), t); };
    for (const ColorStop& s : a.stops_)
        result.stops_.push_back({blend(s.position), s.position});
    for (const ColorStop& s : b.stops_)
        result.addStop(blend(s.position), s.position);
    return result;
}

void ColorRamp::flatten(uint8_t* out) const {
    const uint32_t n = uint32_t(stops_.size());
    for (int k = 0; k < 4; ++k)
        out[k] = uint8_t(n >> (8 * k));
    uint8_t* p = out + 4;
    for (const ColorStop& s : stops_) {
        putFloat(p, s.color.r);
        putFloat(p + 4, s.color.g);
        putFloat(p + 8, s.color.b);
        putFloat(p + 12, s.color.a);
        putFloat(p + 16, s.position);
        p += kStopBytes;
    }
}

uint64_t ColorRamp::unflatten(const uint8_t* data, uint64_t size) {
    if (!data || size < 4) return 0;
    const uint64_t n = getU32(data);
    const uint64_t needed = 4 + kStopBytes * n;  // cannot overflow 64 bits
    if (size < needed) return 0;
    ColorRamp read;
    const uint8_t* p = data + 4;
    for (uint64_t i = 0; i < n; ++i, p += kStopBytes) {
        const float position = getFloat(p + 16);
        // A position that is not a number would break the ordering every lookup relies on.
        if (!std::isfinite(position)) return 0;
        read.addStop({getFloat(p), getFloat(p + 4), getFloat(p + 8), getFloat(p + 12)}, position);
    }
    stops_ = std::move(read.stops_);
    return needed;
}

size_t ColorRamp::moveStop(size_t i, float position) {
    ColorStop moved = stops_[i];
    stops_.erase(stops_.begin() + std::ptrdiff_t(i));
    for (const ColorStop& s : stops_)
        if (s.position == position) {
            position = std::nextafter(position, moved.position);
            break;
        }
    moved.position = position;
    size_t j = 0;
    while (j < stops_.size() && stops_[j].position < position)
        ++j;
    stops_.insert(stops_.begin() + std::ptrdiff_t(j), moved);
    return j;
}

void ColorRamp::removeStop(size_t i) {
    stops_.erase(stops_.begin() + std::ptrdiff_t(i));
}

bool ColorRamp::operator==(const ColorRamp& other) const {
    if (stops_.size() != other.stops_.size()) return false;
    for (size_t i = 0; i < stops_.size(); ++i)
        if (stops_[i].position != other.stops_[i].position ||
            !(stops_[i].color == other.stops_[i].color))
            return false;
    return true;
}

ColorRamp ColorRamp::densityDefault() {
    ColorRamp r;
    r.addStop({0, 0, 0, 0}, 0.0f);
    r.addStop({1, 1, 1, 1}, 1.0f);
    return r;
}

ColorRamp ColorRamp::fuelDefault() {
    ColorRamp r;
    r.addStop({0, 0, 0, 0}, 0.0f);
    r.addStop({0, 0, 1, 1}, 1.0f);
    return r;
}

ColorRamp ColorRamp::temperatureDefault() {
    ColorRamp r;
    for (const FireRecord& f : kFireRamp) {
        if (f.position > 1.0f) break;
        r.addStop({f.r, f.g, f.b, f.a}, f.position);
    }
    return r;
}

}  // namespace skv
