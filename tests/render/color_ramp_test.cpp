#include "render/color_ramp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace skv {
namespace {

ColorRamp twoStops() {
    ColorRamp r;
    r.addStop({0, 0, 0, 0}, 0.0f);
    r.addStop({1, 0.5f, 0, 1}, 1.0f);
    return r;
}

TEST(ColorRampTest, SamplingAtBetweenAndBeyondStops) {
    const ColorRamp r = twoStops();
    EXPECT_EQ(r.sample(-1), (RGBA{0, 0, 0, 0}));
    EXPECT_EQ(r.sample(0), (RGBA{0, 0, 0, 0}));
    EXPECT_EQ(r.sample(0.5f), (RGBA{0.5f, 0.25f, 0, 0.5f}));
    EXPECT_EQ(r.sample(1), (RGBA{1, 0.5f, 0, 1}));
    EXPECT_EQ(r.sample(7), (RGBA{1, 0.5f, 0, 1}));
    ColorRamp one;
    one.addStop({0.2f, 0.3f, 0.4f, 0.5f}, 0.6f);
    for (float x : {-1.0f, 0.0f, 0.6f, 0.9f}) EXPECT_EQ(one.sample(x), (RGBA{0.2f, 0.3f, 0.4f, 0.5f}));
    EXPECT_EQ(ColorRamp().sample(0.5f), (RGBA{0, 0, 0, 0}));
}

TEST(ColorRampTest, AddingAtAnExistingPositionOnlyChangesTheColour) {
    ColorRamp r = twoStops();
    EXPECT_EQ(r.addStop({0, 1, 0, 1}, 1.0f), 1u);
    EXPECT_EQ(r.size(), 2u);
    EXPECT_EQ(r.stop(1).color, (RGBA{0, 1, 0, 1}));
    EXPECT_EQ(r.addStop({1, 1, 1, 1}, 0.25f), 1u);
    EXPECT_EQ(r.size(), 3u);
}

TEST(ColorRampTest, InterpolationTakesEitherRampAtItsEndsAndTheUnionOfPositions) {
    ColorRamp a = twoStops();
    ColorRamp b;
    b.addStop({0, 0, 1, 1}, 0.5f);
    const ColorRamp atA = ColorRamp::interpolate(a, b, 0);
    const ColorRamp atB = ColorRamp::interpolate(a, b, 1);
    ASSERT_EQ(atA.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(atA.stop(i).color, a.sample(atA.stop(i).position));
        EXPECT_EQ(atB.stop(i).color, b.sample(atB.stop(i).position));
    }
}

TEST(ColorRampTest, FlatFormRoundTripsAndRejectsNonFinitePositions) {
    const ColorRamp fire = ColorRamp::temperatureDefault();
    EXPECT_EQ(fire.size(), 28u);
    EXPECT_EQ(fire.flatSize(), 564u);
    std::vector<uint8_t> flat(fire.flatSize());
    fire.flatten(flat.data());
    ColorRamp back;
    EXPECT_EQ(back.unflatten(flat.data(), flat.size()), 564u);
    EXPECT_TRUE(back == fire);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(flat.data() + 4 + 16, &nan, 4);
    EXPECT_EQ(back.unflatten(flat.data(), flat.size()), 0u);
    EXPECT_TRUE(back == fire) << "a rejected buffer leaves the ramp as it was";
    EXPECT_EQ(back.unflatten(flat.data(), 3), 0u);
}

TEST(ColorRampTest, MovingAStopKeepsTheOrderAndNeverTwoStopsAtOnePosition) {
    ColorRamp r = twoStops();
    r.addStop({1, 1, 1, 1}, 0.3f);
    EXPECT_EQ(r.moveStop(1, 1.0f), 1u) << "placed before the stop it would coincide with";
    EXPECT_LT(r.stop(1).position, 1.0f);
    EXPECT_EQ(r.moveStop(1, -0.5f), 0u);
    for (size_t i = 1; i < r.size(); ++i) EXPECT_LT(r.stop(i - 1).position, r.stop(i).position);
    r.removeStop(0);
    EXPECT_EQ(r.size(), 2u);
}

}  // namespace
}  // namespace skv
