#include "grid/rational.h"

#include <cmath>
#include <numeric>

namespace skv {
namespace {
constexpr double kTiny = 1e-6;
constexpr double kIntegerLimit = 4294967295.0;
constexpr double kScaleLimit = 1e18;
}  // namespace

Rational::Rational(double num, double den) {
    const double n = std::floor(std::fabs(num) + 0.5);
    const double d = std::floor(std::fabs(den) + 0.5);
    const bool negative = (num < 0) != (den < 0) && num != 0;
    num_ = negative ? -n : n;
    den_ = d;
    normalise();
}

Rational Rational::raw(double num, double den) {
    Rational r;
    r.num_ = num;
    r.den_ = den;
    r.normalise();
    return r;
}

void Rational::normalise() {
    if (num_ == 0 && den_ == 0) return;
    if (den_ < 0) {
        den_ = -den_;
        num_ = -num_;
    }
    if (std::fabs(num_) < kTiny) {
        num_ = 0;
        den_ = 1;
        return;
    }
    if (std::fabs(den_) < kTiny) {
        num_ = 1;
        den_ = 0;
        return;
    }
    const double a = std::fabs(num_), b = den_;
    if (a < kIntegerLimit && b < kIntegerLimit) {
        const uint64_t g = std::gcd(uint64_t(a), uint64_t(b));
        if (g > 1) {
            num_ /= double(g);
            den_ /= double(g);
        }
        return;
    }
    // Large values: Euclid on doubles after scaling both to at most 1e18.
    double x = a, y = b;
    const double biggest = std::fmax(x, y);
    if (biggest > kScaleLimit) {
        const double scale = kScaleLimit / biggest;
        x = std::floor(x * scale + 0.5);
        y = std::floor(y * scale + 0.5);
        num_ = num_ < 0 ? -x : x;
        den_ = y;
    }
    while (y >= 0.5) {
        const double r = std::fmod(x, y);
        x = y;
        y = r;
    }
    if (x > 1) {
        num_ = std::floor(num_ / x + (num_ < 0 ? -0.5 : 0.5));
        den_ = std::floor(den_ / x + 0.5);
    }
}

bool Rational::operator<(const Rational& other) const {
    if (den_ == other.den_) return num_ < other.num_;
    return std::floor(num_ * other.den_) < std::floor(other.num_ * den_);
}

Rational Rational::operator+(const Rational& other) const {
    if (den_ == other.den_) return raw(num_ + other.num_, den_);
    return raw(num_ * other.den_ + other.num_ * den_, den_ * other.den_);
}

Rational Rational::operator*(const Rational& other) const {
    return raw(num_ * other.num_, den_ * other.den_);
}

int32_t TimeCursor::frameIndex() const {
    // (tn/td) / (sn/sd) as one division of exact integer products, so that a time that is a
    // whole number of steps never lands just below its index.
    const double num = time.num() * step.den();
    const double den = time.den() * step.num();
    if (den == 0) return 0;
    const double index = std::floor(num / den);
    if (!(index > double(INT32_MIN) && index < double(INT32_MAX)))
        return index > 0 ? INT32_MAX : INT32_MIN;
    return static_cast<int32_t>(index);
}

}  // namespace skv
