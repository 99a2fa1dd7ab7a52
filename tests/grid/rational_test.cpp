#include "grid/rational.h"

#include <gtest/gtest.h>

namespace skv {
namespace {

TEST(RationalTest, ConstructionRoundsAndReduces) {
    const Rational a(2.4, 4.6);  // rounds to 2/5
    EXPECT_EQ(a.num(), 2);
    EXPECT_EQ(a.den(), 5);
    const Rational b(1001, 30030);
    EXPECT_EQ(b.num(), 1);
    EXPECT_EQ(b.den(), 30);
    const Rational c(3, -6);  // the sign goes to the numerator
    EXPECT_EQ(c.num(), -1);
    EXPECT_EQ(c.den(), 2);
}

TEST(RationalTest, DegenerateValues) {
    const Rational zero(0, 0);
    EXPECT_EQ(zero.num(), 0);
    EXPECT_EQ(zero.den(), 0);
    const Rational tinyNum(0.2, 7);
    EXPECT_EQ(tinyNum.num(), 0);
    EXPECT_EQ(tinyNum.den(), 1);
    const Rational tinyDen(7, 0.2);
    EXPECT_EQ(tinyDen.num(), 1);
    EXPECT_EQ(tinyDen.den(), 0);
}

TEST(RationalTest, LargeValuesReduceByDoubleEuclid) {
    const Rational big(6e12, 4e12);
    EXPECT_EQ(big.num(), 3);
    EXPECT_EQ(big.den(), 2);
}

TEST(RationalTest, ArithmeticAndOrder) {
    const Rational third(1, 3), sixth(1, 6);
    const Rational sum = third + sixth;
    EXPECT_EQ(sum.num(), 1);
    EXPECT_EQ(sum.den(), 2);
    const Rational product = third * Rational(3, 4);
    EXPECT_EQ(product.num(), 1);
    EXPECT_EQ(product.den(), 4);
    EXPECT_TRUE(sixth < third);
    EXPECT_FALSE(third < sixth);
    EXPECT_FALSE(third < third);
    EXPECT_TRUE(Rational(1, 5) < Rational(2, 5));  // equal denominators
}

TEST(RationalTest, FrameIndexOfACursor) {
    TimeCursor cursor{Rational(0, 1), Rational(1, 24)};
    for (int frame = 0; frame < 100; ++frame) {
        EXPECT_EQ(cursor.frameIndex(), frame);
        cursor.time = cursor.time + cursor.step;
    }
    // NTSC steps: 1001/30000 per frame.
    TimeCursor ntsc{Rational(1001 * 7, 30000), Rational(1001, 30000)};
    EXPECT_EQ(ntsc.frameIndex(), 7);
    TimeCursor noStep{Rational(5, 1), Rational(0, 1)};
    EXPECT_EQ(noStep.frameIndex(), 0);
}

}  // namespace
}  // namespace skv
