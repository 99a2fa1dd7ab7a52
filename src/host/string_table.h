#pragma once

#include <cstdint>

namespace skv {

// Identifiers of the user-visible texts.
enum StringId : uint32_t {
    kStrName = 1,
    kStrVersion = 2,
    kStrDescription = 3,
    kStrSimulationUnstable = 67,
    kStrExceptionTitle = 68,
    kStrSaveCacheFailed = 69,
    kStrOpenCacheFailed = 70,
    kStrChooseCacheLocation = 71,
    kStrChooseCacheOrTemporary = 72,
    kStrGroupDensity = 73,
    kStrGroupColor = 74,
    kStrGroupTemperature = 75,
    kStrGroupFuel = 76,
    kStrGroupDivergence = 77,
    kStrGroupVelocity = 78,
    kStrGroupObstacles = 79,
    kStrNoticeTitle = 80,
    kStrNoticeColorMode = 81,
    kStrNoticeFireSmokeMode = 85,
    kStrNoticeAllSourcesMode = 86,
    kStrNoticeStylizedFireMode = 87,
    kStrOverwriteCacheFiles = 96,
    kStrTemporaryCacheDeleted = 97,
};

struct StringTableEntry {
    uint32_t id;
    char text[256];
};

// The table text of `id`; "" for an identifier without a text.
const char* lookupString(uint32_t id);

// The whole table, in identifier order.
const StringTableEntry* stringTable(uint32_t* count);

}  // namespace skv
