#pragma once

#include "host/command_handlers.h"
#include "host/plugin_context.h"
#include "render/render_frame.h"

namespace skv {

// Runs the simulation from the context's saved cursor (or from frame 0 when the grid size
// changed or the engine was restarted) to the end of the effect's layer, on two threads with
// the preview window, and reports a failed run to the user afterwards.
void runSimulation(const CommandArgs& a, PluginContext& context);

// Reads the render parameters at `time` (host time units) into `settings`; returns the first
// check-out error.
PF_Err readRenderSettings(A_long time, const PF_InData* in, RenderSettings& settings);

// Renders cached frame `frameIndex` of the context's engine into `output` (whose size the
// caller sets); without the frame the output is transparent black. Returns whether the cache
// held the frame (in RAM, or in a readable file).
bool renderFrame(PluginContext& context, int frameIndex, FloatImage& output,
                 const FloatImage* texture, const RenderSettings& settings);

}  // namespace skv
