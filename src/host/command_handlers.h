#pragma once

// The handlers behind the entry point, one per command, grouped by the unit that owns them.

#include <functional>

#include "host/sdk/ae_types.h"

namespace skv {

struct CommandArgs {
    PF_Cmd cmd;
    PF_InData* in;
    PF_OutData* out;
    PF_ParamDef** params;
    PF_LayerDef* output;
    void* extra;
};

// Runs a handler inside the exception barrier: no exception crosses into the host. A thrown
// host error code is reported and returned; an skv::Exception or anything else is reported
// and the command returns 0. Reports are message boxes titled "Skyvane Exception".
PF_Err runWithBarrier(PF_Cmd cmd, const std::function<PF_Err()>& handler);

// Global commands (entry point).
PF_Err about(const CommandArgs& a);
PF_Err globalSetup(const CommandArgs& a);
PF_Err globalSetdown(const CommandArgs& a);

// Parameters.
PF_Err setupParameters(const CommandArgs& a);
PF_Err updateParameterUI(const CommandArgs& a);
PF_Err parameterChanged(const CommandArgs& a);
PF_Err handleArbitraryCallback(const CommandArgs& a);

// Sequence data.
PF_Err createSequenceData(const CommandArgs& a);
PF_Err resetupSequenceData(const CommandArgs& a);
PF_Err flattenSequenceData(const CommandArgs& a);
PF_Err destroySequenceData(const CommandArgs& a);

// Custom UI events.
PF_Err handleEvent(const CommandArgs& a);

// SmartFX rendering.
PF_Err smartPreRender(const CommandArgs& a);
PF_Err smartRender(const CommandArgs& a);

}  // namespace skv
