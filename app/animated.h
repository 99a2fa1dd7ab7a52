#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace skv::app {

using Json = nlohmann::ordered_json;

// A value that may change over time: constant, or linear between keyframes [time, value]
// (held before the first and after the last).
template <size_t N>
class Animated {
  public:
    using Value = std::array<double, N>;

    Animated() = default;
    explicit Animated(Value constant) { keys_.push_back({0.0, constant}); }

    // Parses a number (N = 1), an array of N numbers, or {"keys": [[t, v], ...]}. Throws
    // std::invalid_argument describing what is wrong.
    static Animated parse(const Json& j);

    Value at(double time) const {
        if (keys_.size() == 1 || time <= keys_.front().first) return keys_.front().second;
        if (time >= keys_.back().first) return keys_.back().second;
        size_t k = 1;
        while (keys_[k].first < time)
            ++k;
        const auto& [t0, v0] = keys_[k - 1];
        const auto& [t1, v1] = keys_[k];
        const double f = t1 > t0 ? (time - t0) / (t1 - t0) : 1.0;
        Value v;
        for (size_t i = 0; i < N; ++i)
            v[i] = v0[i] + (v1[i] - v0[i]) * f;
        return v;
    }
    bool animated() const { return keys_.size() > 1; }
    // Whether component `i` of every keyframe lies in [low, high].
    bool within(size_t i, double low, double high) const {
        for (const auto& key : keys_)
            if (!(key.second[i] >= low && key.second[i] <= high)) return false;
        return true;
    }

    // Keyframe times and values are bounded so that interpolating between any two cannot
    // overflow: a scene needs neither times beyond a few days nor values beyond a billion.
    static constexpr double kMaxTime = 1e7;  // seconds
    static constexpr double kMaxValue = 1e9;

  private:
    static Value parseValue(const Json& j) {
        Value v{};
        if constexpr (N == 1) {
            if (j.is_number()) {
                v[0] = j.get<double>();
                checkValue(v);
                return v;
            }
        }
        if (!j.is_array() || j.size() != N)
            throw std::invalid_argument(N == 1 ? "expected a number"
                                               : "expected an array of " + std::to_string(N) +
                                                     " numbers");
        for (size_t i = 0; i < N; ++i) {
            if (!j[i].is_number()) throw std::invalid_argument("expected numbers");
            v[i] = j[i].get<double>();
        }
        checkValue(v);
        return v;
    }

    static void checkValue(const Value& v) {
        for (double x : v)
            if (!(std::fabs(x) <= kMaxValue))
                throw std::invalid_argument("the value " + numberText(x) + " is beyond +-1e9");
    }
    static std::string numberText(double x) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", x);
        return text;
    }

    std::vector<std::pair<double, Value>> keys_;
};

template <size_t N>
Animated<N> Animated<N>::parse(const Json& j) {
    Animated a;
    if (j.is_object()) {
        if (!j.contains("keys") || !j["keys"].is_array() || j["keys"].empty())
            throw std::invalid_argument("expected {\"keys\": [[time, value], ...]}");
        for (const Json& key : j["keys"]) {
            if (!key.is_array() || key.size() != 2 || !key[0].is_number())
                throw std::invalid_argument("a keyframe is [time, value]");
            if (!(std::fabs(key[0].get<double>()) <= kMaxTime))
                throw std::invalid_argument("the keyframe time " +
                                            numberText(key[0].get<double>()) +
                                            " is beyond +-1e7 seconds");
            a.keys_.push_back({key[0].get<double>(), parseValue(key[1])});
        }
        std::stable_sort(a.keys_.begin(), a.keys_.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
    } else {
        a.keys_.push_back({0.0, parseValue(j)});
    }
    return a;
}

}  // namespace skv::app
