// Fuzz target: a cached frame file as export and render read it. A damaged frame must end in
// the render error that names it; a frame that passes the checks must render (at a small size)
// without reading outside a grid, and with no NaN in the output.
#include <cmath>
#include <map>
#include <string>

#include "cache/frame_store.h"
#include "field_export.h"
#include "fuzz_support.h"
#include "host_error.h"
#include "platform/log.h"
#include "render/render_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        skv::setLogEnabled(false);
        const std::string file = skv::fuzz::scratchFile("skv_sim_cache_0000000000.bcf");
        return file.substr(0, file.find_last_of('/'));
    }();
    {
        skv::FileHandle out;
        SKV_FUZZ_CHECK(out.openWrite(folder + "/skv_sim_cache_0000000000.bcf"));
        SKV_FUZZ_CHECK(size == 0 || out.write(data, size) == size);
    }
    try {
        // Grids of a few thousand cells exercise every path of the decoder and the renderer.
        const std::map<uint32_t, skv::FloatGrid> grids =
            skv::app::readFrameFields(folder, 0, 1 << 12);
        const skv::FloatGrid* byType[skv::CacheFrameGuard::kGridTypes] = {};
        for (const auto& [type, grid] : grids)
            if (type < skv::CacheFrameGuard::kGridTypes) byType[type] = &grid;
        const skv::FrameFields fields =
            skv::FrameFields::fromGrids(byType, skv::CacheFrameGuard::kGridTypes);
        SKV_FUZZ_CHECK(fields.leftOut == 0);
        static skv::Renderer renderer;
        skv::RenderSettings settings;
        // One render mode an input (the sources, the colour, the velocity), chosen by its size.
        {
            const int32_t modes[] = {skv::kRenderAllSources, skv::kRenderColor,
                                     skv::kRenderVelocity};
            settings.renderMode = modes[size % 3];
            skv::FloatImage output;
            output.resize(16, 12);
            renderer.render(fields, nullptr, settings, output);
            for (uint32_t y = 0; y < output.height(); ++y)
                for (uint32_t x = 0; x < output.width(); ++x)
                    for (int c = 0; c < 4; ++c)
                        SKV_FUZZ_CHECK(!std::isnan(output.pixel(x, y)[c]));
        }
    } catch (const skv::app::HostError& e) {
        SKV_FUZZ_CHECK(e.code() == skv::app::kExitRender);
    }
    return 0;
}
