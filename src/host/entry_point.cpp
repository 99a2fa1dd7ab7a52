// The plug-in's one exported function: every host command enters here and is sent to the unit
// that owns it, inside the exception barrier. Linked only into the plug-in library.
#include "host/command_handlers.h"

namespace skv {

namespace {

PF_Err dispatch(const CommandArgs& a) {
    switch (a.cmd) {
        case PF_Cmd_ABOUT:
            return about(a);
        case PF_Cmd_GLOBAL_SETUP:
            return globalSetup(a);
        case PF_Cmd_GLOBAL_SETDOWN:
            return globalSetdown(a);
        case PF_Cmd_PARAMS_SETUP:
            return setupParameters(a);
        case PF_Cmd_SEQUENCE_SETUP:
            return createSequenceData(a);
        case PF_Cmd_SEQUENCE_RESETUP:
            return resetupSequenceData(a);
        case PF_Cmd_SEQUENCE_FLATTEN:
            return flattenSequenceData(a);
        case PF_Cmd_SEQUENCE_SETDOWN:
            return destroySequenceData(a);
        case PF_Cmd_USER_CHANGED_PARAM:
            return parameterChanged(a);
        case PF_Cmd_UPDATE_PARAMS_UI:
            updateParameterUI(a);
            return PF_Err_NONE;
        case PF_Cmd_EVENT:
            return handleEvent(a);
        case PF_Cmd_ARBITRARY_CALLBACK:
            return handleArbitraryCallback(a);
        case PF_Cmd_SMART_PRE_RENDER:
            return smartPreRender(a);
        case PF_Cmd_SMART_RENDER:
            return smartRender(a);
        default:
            return PF_Err_NONE;  // PF_Cmd_RENDER included: the effect renders only SmartFX
    }
}

}  // namespace

}  // namespace skv

extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra) {
    const skv::CommandArgs args{cmd, in_data, out_data, params, output, extra};
    return skv::runWithBarrier(cmd, [&] { return skv::dispatch(args); });
}
