#pragma once

#include <cstdint>

namespace skv {

// A time value of the host as a reduced fraction of two doubles, kept normalised:
// 0/0 stays; a negative denominator moves its sign up; magnitudes below 1e-6 become 0/1
// (numerator) or 1/0 (denominator); otherwise both are divided by their common divisor.
class Rational {
  public:
    Rational() : num_(0), den_(1) {}
    // Rounds each magnitude half up and gives the result the sign of num / den.
    Rational(double num, double den);

    double num() const { return num_; }
    double den() const { return den_; }
    double value() const { return num_ / den_; }

    bool operator<(const Rational& other) const;
    bool operator==(const Rational& other) const {
        return num_ == other.num_ && den_ == other.den_;
    }
    Rational operator+(const Rational& other) const;
    Rational operator*(const Rational& other) const;

  private:
    static Rational raw(double num, double den);  // no rounding, only normalisation
    void normalise();
    double num_;
    double den_;
};

// A point in host time and the step to the next frame.
struct TimeCursor {
    Rational time;
    Rational step{1, 1};

    // floor(time / step).
    int32_t frameIndex() const;
};

}  // namespace skv
