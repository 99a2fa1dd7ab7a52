// Commands that concern the plug-in as a whole, and the barrier every command runs in.
#include <omp.h>

#include <string>

#include "cache/cache_directory.h"
#include "host/command_handlers.h"
#include "host/messages.h"
#include "host/plugin_info.h"
#include "host/string_table.h"
#include "host/suites.h"
#include "platform/exception.h"
#include "platform/processors.h"

namespace skv {

PF_Err runWithBarrier(PF_Cmd cmd, const std::function<PF_Err()>& handler) {
    const std::string title = lookupString(kStrExceptionTitle);
    try {
        return handler();
    } catch (PF_Err code) {
        showMessage(title, "PF_Err " + std::to_string(code) + " thrown when handling PF_cmd " +
                               std::to_string(cmd));
        return code;
    } catch (const Exception& e) {
        showMessage(title, "Skyvane Exception when handling PF_cmd " + std::to_string(cmd) +
                               "\nin " + e.location() + ":\n" + e.message());
    } catch (...) {
        showMessage(title, "Unknown Exception when handling PF_cmd " + std::to_string(cmd));
    }
    return PF_Err_NONE;
}

PF_Err about(const CommandArgs& a) {
    ScopedSuite<PF_ANSICallbacksSuite1> ansi(a.in, kPFANSISuite, kPFANSISuiteVersion1);
    ansi->sprintf(a.out->return_msg, "%s %s\r%s", lookupString(kStrName), lookupString(kStrVersion),
                  lookupString(kStrDescription));
    return PF_Err_NONE;
}

PF_Err globalSetup(const CommandArgs& a) {
    // The simulation's two-thread run region must leave its inner loops full teams.
    omp_set_dynamic(0);
    omp_set_max_active_levels(omp_get_supported_active_levels());
    omp_set_num_threads(availableProcessors());
    a.out->my_version = kPluginVersion;
    a.out->out_flags = kGlobalOutFlags;
    a.out->out_flags2 = kGlobalOutFlags2;
    return PF_Err_NONE;
}

PF_Err globalSetdown(const CommandArgs& a) {
    ScopedSuite<AEGP_UtilitySuite6> utility(a.in, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion6);
    void* mainWindow = nullptr;
    utility->AEGP_GetMainHWND(&mainWindow);
    purgeTempFolders();
    return PF_Err_NONE;
}

}  // namespace skv
