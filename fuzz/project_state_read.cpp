// Fuzz target: the project state beside a scene. A file that is not one is a scene error that
// names it; one that is gives a sequence-data record the host can read.
#include <string>

#include "fuzz_support.h"
#include "host_error.h"
#include "project_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    try {
        const skv::app::ProjectState state = skv::app::parseProjectState(
            std::string(reinterpret_cast<const char*>(data), size), "scene.json.project");
        const std::string folder = skv::app::cacheFolderOf(state.sequenceData);
        SKV_FUZZ_CHECK(folder.size() + 8 <= state.sequenceData.size() || folder.empty());
        skv::app::outdatedMarkOf(state.sequenceData);
        const std::vector<uint8_t> record =
            skv::app::sequenceRecord(folder, skv::app::outdatedMarkOf(state.sequenceData));
        SKV_FUZZ_CHECK(skv::app::cacheFolderOf(record) == folder);
    } catch (const skv::app::HostError& e) {
        SKV_FUZZ_CHECK(e.code() == skv::app::kExitScene);
    }
    return 0;
}
