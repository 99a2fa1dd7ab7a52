#include "host/string_table.h"

#include <algorithm>
#include <iterator>

namespace skv {
namespace {

// In identifier order: lookups search it by bisection.
constexpr StringTableEntry kTable[] = {
    {kStrName, "Skyvane"},
    {kStrVersion, "v1.2.5"},
    {kStrDescription,
     "\r2D Fluid Simulation\r\r"
     "Smoke, fire and combustion simulated on the CPU or an NVIDIA GPU.\r"
     "By the Skyvane developers."},
    {kStrSimulationUnstable,
     "Simulation became unstable and had to be aborted!\nPlease try less turbulent "
     "parameters, i.e. less velocity, heat, burnrate and more heat diffusion"},
    {kStrExceptionTitle, "Skyvane Exception"},
    {kStrSaveCacheFailed,
     "Failed to save simulation cache to the path below.\nChoose a different directory."},
    {kStrOpenCacheFailed,
     "Failed to open simulation cache from the path below.\nChoose a different directory."},
    {kStrChooseCacheLocation, "Choose location for simulation cache"},
    {kStrChooseCacheOrTemporary,
     "Choose location for simulation cache or Cancel to use a temporary directory."},
    {kStrGroupDensity, "Density"},
    {kStrGroupColor, "Color"},
    {kStrGroupTemperature, "Temperature"},
    {kStrGroupFuel, "Fuel"},
    {kStrGroupDivergence, "Divergence"},
    {kStrGroupVelocity, "Velocity"},
    {kStrGroupObstacles, "Obstacles"},
    {kStrNoticeTitle, "Skyvane Notice"},
    {kStrNoticeColorMode,
     "Color render mode is enabled, but no color source layer is specified.\nOutput will be "
     "empty."},
    {kStrNoticeFireSmokeMode,
     "dens+fuel render mode is enabled, but either no density or no fuel source layer is "
     "specified.\nOutput will be empty."},
    {kStrNoticeAllSourcesMode,
     "dens+temp+fuel render mode is enabled, but no density, no temperature and no fuel "
     "source layers are specified.\nOutput will be empty."},
    {kStrNoticeStylizedFireMode,
     "dens*temp+fuel render mode is enabled, but either no density, no temperature or no "
     "fuel source layer is specified.\nOutput will be empty."},
    {kStrOverwriteCacheFiles, "Overwrite existing cache files?"},
    {kStrTemporaryCacheDeleted,
     "Current disk cache is temporary and will be deleted.\nDo you want to continue?"},
};

static_assert(std::is_sorted(std::begin(kTable), std::end(kTable),
                             [](const StringTableEntry& a, const StringTableEntry& b) {
                                 return a.id < b.id;
                             }),
              "the string table must be in identifier order");

}  // namespace

const char* lookupString(uint32_t id) {
    const auto it =
        std::lower_bound(std::begin(kTable), std::end(kTable), id,
                         [](const StringTableEntry& e, uint32_t v) { return e.id < v; });
    return it != std::end(kTable) && it->id == id ? it->text : "";
}

const StringTableEntry* stringTable(uint32_t* count) {
    if (count) *count = static_cast<uint32_t>(std::size(kTable));
    return kTable;
}

}  // namespace skv
