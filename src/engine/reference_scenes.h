#pragma once

#include <cstdint>

#include "grid/float_grid.h"
#include "grid/simulation_parameters.h"

namespace skv {

class Simulation;

// The scenes every measurement and every CPU/device comparison of the engine runs: what
// `skyvane bench` times and what the tests simulate, at any square size.
enum class ReferenceScene {
    OpenPlume,     // hot smoke from a disc near the bottom, open walls
    ClosedPlume,   // the same in a closed box (the multigrid path)
    Fire,          // fuel and heat burning with the unoxidized model, vorticity confinement
    Box,           // a jet from the left wall against a disc obstacle in a closed box
    MovingBox,     // the box with the obstacle moving
    OxidizedFire,  // the oxidized model with divergence, differential heat and a velocity source
    PaintedPlume,  // the open plume carrying colour and texture coordinates
};

struct ReferenceSceneName {
    ReferenceScene scene;
    const char* name;
};

// The scenes `skyvane bench` reports, under their names there.
inline constexpr ReferenceSceneName kBenchScenes[] = {
    {ReferenceScene::OpenPlume, "plume-open"},
    {ReferenceScene::ClosedPlume, "plume-closed"},
    {ReferenceScene::Fire, "fire"},
    {ReferenceScene::Box, "box"},
};

// The record as the effect's default parameter values fill it.
SimulationParameters effectDefaultParameters();
// The frame store's RAM budget at the effect's default "RAM Cache Size (in MB)", 250: with
// none, the store holds two frames and a simulation waits for its writer at every frame.
constexpr uint64_t kEffectDefaultRamCacheBytes = uint64_t(250) << 20;

// Sets `value` in the interior cells of a padded grid within radius r of (cx, cy).
void paintDisc(FloatGrid& grid, float cx, float cy, float r, float value);

// Paints the scene's sources into the simulation's inputs at its current size and sets the
// record's entries the scene depends on; the rest of the record is left as it is.
void paintReferenceScene(Simulation& sim, ReferenceScene scene);

}  // namespace skv
