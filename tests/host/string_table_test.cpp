#include "host/string_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace skv {
namespace {

TEST(StringTableTest, HoldsTheUserVisibleTexts) {
    EXPECT_STREQ(lookupString(1), "Skyvane");
    EXPECT_STREQ(lookupString(2), "v1.2.5");
    EXPECT_EQ(std::string(lookupString(3)).rfind("\r2D Fluid Simulation\r\r", 0), 0u);
    EXPECT_STREQ(lookupString(68), "Skyvane Exception");
    EXPECT_STREQ(lookupString(80), "Skyvane Notice");
    EXPECT_STREQ(lookupString(67),
                 "Simulation became unstable and had to be aborted!\nPlease try less turbulent "
                 "parameters, i.e. less velocity, heat, burnrate and more heat diffusion");
    EXPECT_STREQ(lookupString(97),
                 "Current disk cache is temporary and will be deleted.\nDo you want to continue?");
    const char* groups[] = {"Density", "Color", "Temperature", "Fuel",
                            "Divergence", "Velocity", "Obstacles"};
    for (uint32_t id = 73; id <= 79; ++id) EXPECT_STREQ(lookupString(id), groups[id - 73]);
}

TEST(StringTableTest, UnknownIdentifiersHaveNoText) {
    EXPECT_STREQ(lookupString(0), "");
    EXPECT_STREQ(lookupString(82), "");
    EXPECT_STREQ(lookupString(100000), "");
}

TEST(StringTableTest, RecordsAreOrderedAndTerminatedWithinTheirSize) {
    uint32_t count = 0;
    const StringTableEntry* table = stringTable(&count);
    ASSERT_GT(count, 20u);
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_LT(std::strlen(table[i].text), sizeof table[i].text);
        if (i > 0) {
            EXPECT_LT(table[i - 1].id, table[i].id);
        }
    }
}

}  // namespace
}  // namespace skv
