#pragma once

#include "host/sdk/ae_types.h"
#include "render/color_ramp.h"

namespace skv {

// The value of a colour-ramp parameter is a host handle of 8 bytes holding a pointer to its
// ColorRamp (the ramp lives outside the handle).

// A new handle holding a new ramp copied from `ramp`; null when the handle cannot be
// allocated. Throws the host error 516 when the handle suite is unavailable.
PF_ArbitraryH newRampHandle(const PF_InData* in, const ColorRamp& ramp);

// The ramp a handle points at, or null for a null handle or one without a ramp.
ColorRamp* rampFromHandle(const PF_InData* in, PF_ArbitraryH handle);

}  // namespace skv
