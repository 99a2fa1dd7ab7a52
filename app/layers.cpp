#include "layers.h"

#include <dirent.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>

#include "command_line.h"
#include "host_error.h"
#include "image_io.h"

namespace skv::app {
namespace {

[[noreturn]] void fail(const std::string& layer, const std::string& what) {
    throw HostError(kExitScene, "layer \"" + layer + "\": " + what);
}

std::string joinPath(const std::string& dir, const std::string& path) {
    if (path.empty() || path[0] == '/' || dir.empty()) return path;
    return dir + "/" + path;
}

// ---- Image sequences and stills ----

class StillImageLayer final : public Layer {
  public:
    StillImageLayer(const std::string& name, Image image)
        : Layer(name, image.width, image.height), image_(std::move(image)) {}
    Image render(double, double) const override { return image_; }

  private:
    Image image_;
};

class ImageSequenceLayer final : public Layer {
  public:
    ImageSequenceLayer(const std::string& name, std::string dir, std::string prefix, int digits,
                       std::string suffix, int first, int last, int width, int height)
        : Layer(name, width, height),
          dir_(std::move(dir)),
          prefix_(std::move(prefix)),
          digits_(digits),
          suffix_(std::move(suffix)),
          first_(first),
          last_(last) {}

    Image render(double time, double fps) const override {
        const int frame = first_ + int(std::floor(time * fps + 1e-6));
        if (frame < first_ || frame > last_) return {};
        std::lock_guard<std::mutex> lock(mutex_);
        if (frame != cachedFrame_) {
            Image image = readImage(fileOf(frame));
            if (image.width != width() || image.height != height())
                fail(name(), fileOf(frame) + " is " + std::to_string(image.width) + "x" +
                                 std::to_string(image.height) +
                                 ", unlike the sequence's first image");
            cached_ = std::move(image);
            cachedFrame_ = frame;
        }
        return cached_;
    }

    std::string fileOf(int frame) const {
        char number[32];
        std::snprintf(number, sizeof number, "%0*d", digits_, frame);
        return joinPath(dir_, prefix_ + number + suffix_);
    }

  private:
    std::string dir_, prefix_;
    int digits_;
    std::string suffix_;
    int first_, last_;
    mutable std::mutex mutex_;
    mutable int cachedFrame_ = -1;
    mutable Image cached_;
};

std::unique_ptr<Layer> makeImageLayer(const std::string& name, const std::string& pattern,
                                      const std::string& baseDir) {
    const std::string full = joinPath(baseDir, pattern);
    const size_t hash = full.find('#');
    if (hash == std::string::npos) return std::make_unique<StillImageLayer>(name, readImage(full));

    size_t end = hash;
    while (end < full.size() && full[end] == '#')
        ++end;
    const size_t slash = full.find_last_of('/', hash);
    const std::string dir = slash == std::string::npos ? "." : full.substr(0, slash);
    const std::string prefix = full.substr(slash == std::string::npos ? 0 : slash + 1,
                                           hash - (slash == std::string::npos ? 0 : slash + 1));
    const std::string suffix = full.substr(end);
    if (suffix.find('/') != std::string::npos)
        fail(name, "the frame number must be in the file name: " + pattern);
    const int digits = int(end - hash);

    std::vector<int> frames;
    DIR* d = ::opendir(dir.c_str());
    if (!d) fail(name, "cannot read the folder " + dir + " of " + pattern);
    while (const dirent* e = ::readdir(d)) {
        const std::string file = e->d_name;
        if (file.size() < prefix.size() + suffix.size() + size_t(digits)) continue;
        if (file.compare(0, prefix.size(), prefix) != 0) continue;
        if (file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        const std::string number =
            file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
        if (number.size() < size_t(digits) || number.size() > 9 ||
            !std::all_of(number.begin(), number.end(), ::isdigit))
            continue;
        frames.push_back(std::stoi(number));
    }
    ::closedir(d);
    if (frames.empty()) fail(name, "no images match " + full);
    std::sort(frames.begin(), frames.end());
    for (size_t i = 1; i < frames.size(); ++i) {
        if (frames[i] == frames[i - 1])
            fail(name, "two files carry frame number " + std::to_string(frames[i]) + " in " + full);
        if (frames[i] != frames[i - 1] + 1) {
            char missing[32];
            std::snprintf(missing, sizeof missing, "%0*d", digits, frames[i - 1] + 1);
            fail(name, "the sequence " + full + " has a gap: " + prefix + missing + suffix +
                           " is missing");
        }
    }
    char first[32];
    std::snprintf(first, sizeof first, "%0*d", digits, frames.front());
    const Image probe = readImage(dir + "/" + prefix + first + suffix);
    return std::make_unique<ImageSequenceLayer>(name, dir, prefix, digits, suffix, frames.front(),
                                                frames.back(), probe.width, probe.height);
}

// ---- Procedural shapes ----

double smoothCoverage(double signedDistance, double softness) {
    // Coverage of a pixel whose centre lies `signedDistance` inside the edge.
    const double w = std::max(softness, 1e-3);
    return std::clamp(signedDistance / w + 0.5, 0.0, 1.0);
}

// Deterministic value noise in three dimensions (x, y, evolving time).
double hash3(int64_t x, int64_t y, int64_t z, uint32_t seed) {
    uint64_t h = uint64_t(x) * 0x9E3779B185EBCA87ull ^ uint64_t(y) * 0xC2B2AE3D27D4EB4Full ^
                 uint64_t(z) * 0x165667B19E3779F9ull ^ uint64_t(seed) * 0x27D4EB2F165667C5ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return double(h >> 11) * (1.0 / 9007199254740992.0);
}

double valueNoise(double x, double y, double z, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
    const int64_t ix = int64_t(fx), iy = int64_t(fy), iz = int64_t(fz);
    const auto fade = [](double t) { return t * t * (3 - 2 * t); };
    const double u = fade(x - fx), v = fade(y - fy), w = fade(z - fz);
    double result = 0;
    for (int dz = 0; dz < 2; ++dz)
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
                const double weight = (dx ? u : 1 - u) * (dy ? v : 1 - v) * (dz ? w : 1 - w);
                result += weight * hash3(ix + dx, iy + dy, iz + dz, seed);
            }
    return result;
}

class ShapeLayer final : public Layer {
  public:
    enum Kind { kDisc, kBox, kGradient, kNoise, kChecker };

    ShapeLayer(const std::string& name, const Json& spec, int width, int height)
        : Layer(name, width, height) {
        const std::string shape = spec["shape"].get<std::string>();
        if (shape == "disc")
            kind_ = kDisc;
        else if (shape == "box")
            kind_ = kBox;
        else if (shape == "gradient")
            kind_ = kGradient;
        else if (shape == "noise")
            kind_ = kNoise;
        else if (shape == "checker")
            kind_ = kChecker;
        else
            fail(name, "unknown shape \"" + shape + "\" (disc, box, gradient, noise or checker)");
        const double w = width, h = height;
        center_ = property<2>(spec, "center", {w / 2, h / 2});
        radius_ = property<1>(spec, "radius", {std::min(w, h) / 4});
        size_ = property<2>(spec, "size", {w / 2, h / 2});
        color_ = property<4>(spec, "color", {1, 1, 1, 1});
        color2_ = property<4>(spec, "color2", {0, 0, 0, 0});
        from_ = property<2>(spec, "from", {0, 0});
        to_ = property<2>(spec, "to", {0, h});
        softness_ = property<1>(spec, "softness", {1});
        scale_ = property<1>(spec, "scale", {32});
        speed_ = property<1>(spec, "speed", {1});
        octaves_ = int(property<1>(spec, "octaves", {3}).at(0)[0]);
        const auto seed = property<1>(spec, "seed", {1});
        if (!seed.within(0, 0, 1e9)) fail(name, "\"seed\" must be from 0 to 1000000000");
        seed_ = uint32_t(seed.at(0)[0]);
        masked_ = spec.contains("radius");
        // Bounds on what sizes the work of a pixel: every octave of noise is a pass over it.
        const auto bound = [&](const char* key, bool ok, const char* range) {
            if (!ok) fail(name, std::string("\"") + key + "\" must be " + range);
        };
        const auto octaves = property<1>(spec, "octaves", {3});
        bound("octaves", octaves.within(0, 1, kMaxOctaves) && !octaves.animated(),
              "a constant from 1 to 12");
        bound("scale", scale_.within(0, 1e-3, 1e6), "from 0.001 to 1000000 pixels");
        bound("radius", radius_.within(0, 0, 1e6), "from 0 to 1000000 pixels");
        bound("softness", softness_.within(0, 0, 1e6), "from 0 to 1000000 pixels");
        bound("size", size_.within(0, 0, 1e7) && size_.within(1, 0, 1e7),
              "from 0 to 10000000 pixels");
        rejectUnknownKeys("layer \"" + name + "\"", "", spec,
                          {"shape", "center", "radius", "size", "color", "color2", "from", "to",
                           "softness", "scale", "speed", "octaves", "seed", "width", "height"});
    }

    Image render(double time, double) const override {
        Image image(width(), height());
        const auto c = center_.at(time), sz = size_.at(time), f = from_.at(time), t = to_.at(time);
        const auto col = color_.at(time), col2 = color2_.at(time);
        const double r = radius_.at(time)[0], soft = softness_.at(time)[0];
        const double scale = std::max(scale_.at(time)[0], 1e-3), evolve = speed_.at(time)[0] * time;
#pragma omp parallel for schedule(static)
        for (int y = 0; y < height(); ++y) {
            for (int x = 0; x < width(); ++x) {
                const double px = x + 0.5, py = y + 0.5;
                double coverage = 0;
                std::array<double, 4> rgba = col;
                switch (kind_) {
                    case kDisc:
                        coverage = smoothCoverage(r - std::hypot(px - c[0], py - c[1]), soft);
                        break;
                    case kBox: {
                        const double dx = sz[0] / 2 - std::fabs(px - c[0]);
                        const double dy = sz[1] / 2 - std::fabs(py - c[1]);
                        coverage = smoothCoverage(dx, soft) * smoothCoverage(dy, soft);
                        break;
                    }
                    case kGradient: {
                        const double ax = t[0] - f[0], ay = t[1] - f[1];
                        const double len2 = std::max(ax * ax + ay * ay, 1e-12);
                        const double s =
                            std::clamp(((px - f[0]) * ax + (py - f[1]) * ay) / len2, 0.0, 1.0);
                        for (int k = 0; k < 4; ++k)
                            rgba[k] = col[k] + (col2[k] - col[k]) * s;
                        coverage = 1;
                        break;
                    }
                    case kChecker: {
                        const int cell = std::max(1, int(scale));
                        const bool odd = ((int(std::floor((px - c[0]) / cell)) +
                                           int(std::floor((py - c[1]) / cell))) &
                                          1) != 0;
                        if (odd) rgba = col2;
                        coverage = 1;
                        break;
                    }
                    case kNoise: {
                        // The mask first: most of a masked layer lies outside it, where the
                        // octaves need not run.
                        const double mask =
                            masked_ ? smoothCoverage(r - std::hypot(px - c[0], py - c[1]),
                                                     std::max(soft, r * 0.25))
                                    : 1.0;
                        if (mask <= 0) break;
                        double n = 0, amplitude = 0.5, frequency = 1.0 / scale, total = 0;
                        for (int o = 0; o < std::max(octaves_, 1); ++o) {
                            n += amplitude * valueNoise(px * frequency, py * frequency,
                                                        evolve * (o + 1), seed_ + uint32_t(o));
                            total += amplitude;
                            amplitude *= 0.5;
                            frequency *= 2;
                        }
                        coverage = n / total;
                        if (masked_) coverage *= mask;
                        break;
                    }
                }
                float* out = image.pixel(x, y);
                if (coverage <= 0) continue;
                out[0] = float(rgba[0]);
                out[1] = float(rgba[1]);
                out[2] = float(rgba[2]);
                out[3] = float(rgba[3] * coverage);
            }
        }
        return image;
    }

  private:
    template <size_t N>
    Animated<N> property(const Json& spec, const char* key, typename Animated<N>::Value fallback) {
        if (!spec.contains(key)) return Animated<N>(fallback);
        try {
            return Animated<N>::parse(spec[key]);
        } catch (const std::exception& e) {
            fail(name(), std::string("\"") + key + "\": " + e.what());
        }
    }

    Kind kind_ = kDisc;
    Animated<2> center_, size_, from_, to_;
    Animated<1> radius_, softness_, scale_, speed_;
    Animated<4> color_, color2_;
    int octaves_ = 3;
    static constexpr double kMaxOctaves = 12;
    uint32_t seed_ = 1;
    bool masked_ = false;
};

// Several shapes composited in order, each over the ones before (straight alpha).
class GroupLayer final : public Layer {
  public:
    GroupLayer(const std::string& name, std::vector<std::unique_ptr<Layer>> parts, int width,
               int height)
        : Layer(name, width, height), parts_(std::move(parts)) {}
    Image render(double time, double fps) const override {
        Image out(width(), height());
        for (const auto& part : parts_) {
            const Image in = part->render(time, fps);
            if (in.width != out.width || in.height != out.height) continue;
            for (size_t i = 0; i < out.rgba.size(); i += 4) {
                const float* s = &in.rgba[i];
                float* d = &out.rgba[i];
                const float a = s[3] + d[3] * (1 - s[3]);
                for (int c = 0; c < 3; ++c)
                    d[c] = a > 0 ? (s[c] * s[3] + d[c] * d[3] * (1 - s[3])) / a : 0;
                d[3] = a;
            }
        }
        return out;
    }

  private:
    std::vector<std::unique_ptr<Layer>> parts_;
};

}  // namespace

void rejectUnknownKeys(const std::string& file, const std::string& where, const Json& object,
                       const std::vector<std::string>& known) {
    if (!object.is_object()) return;
    for (const auto& item : object.items()) {
        if (std::find(known.begin(), known.end(), item.key()) != known.end()) continue;
        std::string list;
        for (const auto& k : known)
            list += (list.empty() ? "" : ", ") + k;
        throw HostError(kExitScene, file + ": " + where + "unknown key \"" + item.key() + "\"" +
                                        didYouMean(item.key(), known) + " (known: " + list + ")");
    }
}

std::unique_ptr<Layer> makeLayer(const std::string& name, const Json& spec,
                                 const std::string& baseDir, int compWidth, int compHeight) {
    if (!spec.is_object()) fail(name, "a layer is an object with \"shape\" or \"images\"");
    if (spec.contains("images") || spec.contains("image")) {
        const Json& path = spec.contains("images") ? spec["images"] : spec["image"];
        if (!path.is_string())
            fail(name, "\"images\" is a file name or a pattern such as frame_####.png");
        rejectUnknownKeys("layer \"" + name + "\"", "", spec,
                          {spec.contains("images") ? "images" : "image"});
        return makeImageLayer(name, path.get<std::string>(), baseDir);
    }
    int width = compWidth, height = compHeight;
    const auto dimension = [&](const char* key, int fallback) -> int {
        if (!spec.contains(key)) return fallback;
        const Json& v = spec[key];
        return v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 16384
                   ? int(v.get<int64_t>())
                   : -1;
    };
    width = dimension("width", width);
    height = dimension("height", height);
    if (width < 0 || height < 0 || width > 16384 || height > 16384)
        fail(name, "\"width\" and \"height\" are whole numbers from 0 to 16384");
    if (spec.contains("shapes")) {
        rejectUnknownKeys("layer \"" + name + "\"", "", spec, {"shapes", "width", "height"});
        if (!spec["shapes"].is_array() || spec["shapes"].empty())
            fail(name, "\"shapes\" is a list of shapes drawn in order");
        std::vector<std::unique_ptr<Layer>> parts;
        for (const Json& part : spec["shapes"]) {
            Json sized = part;
            sized["width"] = width;
            sized["height"] = height;
            parts.push_back(makeLayer(name, sized, baseDir, width, height));
        }
        return std::make_unique<GroupLayer>(name, std::move(parts), width, height);
    }
    if (!spec.contains("shape") || !spec["shape"].is_string())
        fail(name,
             "a layer needs \"shape\" (disc, box, gradient, noise, checker), \"shapes\" or "
             "\"images\"");
    return std::make_unique<ShapeLayer>(name, spec, width, height);
}

}  // namespace skv::app
