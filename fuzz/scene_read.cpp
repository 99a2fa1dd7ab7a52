// Fuzz target: a scene file as the headless host reads it, from JSON text to the layers it
// hands to the plug-in. Bad scenes must end in the program's own scene error; layers that are
// built (small ones are drawn too) must give images of their own size with finite pixels.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "host_error.h"
#include "scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Scenes are small texts: longer inputs only slow the search down.
    if (size > 8192) return 0;
    static const std::string path = skv::fuzz::scratchFile("scene.json");
    try {
        const skv::app::Scene scene =
            skv::app::parseScene(std::string(reinterpret_cast<const char*>(data), size), path);
        SKV_FUZZ_CHECK(scene.comp.frameCount() >= 0 && scene.comp.frameCount() <= 1000000);
        for (const auto& layer : scene.layers) {
            if (int64_t(layer->width()) * layer->height() > 4096) continue;
            const skv::app::Image image = layer->render(0.5, scene.comp.fps);
            SKV_FUZZ_CHECK(image.empty() ||
                           (image.width == layer->width() && image.height == layer->height()));
            for (float v : image.rgba)
                SKV_FUZZ_CHECK(std::isfinite(v));
        }
    } catch (const skv::app::HostError& e) {
        SKV_FUZZ_CHECK(e.code() == skv::app::kExitScene);
    }
    return 0;
}
