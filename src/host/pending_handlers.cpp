// Handlers whose units are still being built answer with an honest error.
#include "host/command_handlers.h"
#include "platform/log.h"

namespace skv {
namespace {
PF_Err notBuiltYet(const char* what) {
    SKV_LOG(Error, what << " is not built yet");
    return PF_Err_INVALID_CALLBACK;
}
}  // namespace

PF_Err globalSetdown(const CommandArgs&) { return notBuiltYet("global set-down"); }
PF_Err parameterChanged(const CommandArgs&) { return notBuiltYet("parameter change"); }
PF_Err createSequenceData(const CommandArgs&) { return notBuiltYet("sequence set-up"); }
PF_Err resetupSequenceData(const CommandArgs&) { return notBuiltYet("sequence re-set-up"); }
PF_Err flattenSequenceData(const CommandArgs&) { return notBuiltYet("sequence flatten"); }
PF_Err destroySequenceData(const CommandArgs&) { return notBuiltYet("sequence set-down"); }
PF_Err handleEvent(const CommandArgs&) { return notBuiltYet("custom UI event"); }
PF_Err smartPreRender(const CommandArgs&) { return notBuiltYet("pre-render"); }
PF_Err smartRender(const CommandArgs&) { return notBuiltYet("render"); }

}  // namespace skv
