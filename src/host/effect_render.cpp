// The effect's output: SmartFX pre-render and render of the cached frame of the current time.
#include <cmath>

#include "host/command_handlers.h"
#include "host/output_writer.h"
#include "host/parameters.h"
#include "host/plugin_context.h"
#include "host/simulation_run.h"
#include "host/suites.h"

namespace skv {
namespace {

// The checkout identifiers of the layers the render reads.
enum CheckoutId : A_long { kInputCheckout = 0, kTextureCheckout = 1 };

int bitsOf(const PF_InData* in, const PF_EffectWorld* world) {
    ScopedSuite<PF_WorldSuite2> worlds(in, kPFWorldSuite, kPFWorldSuiteVersion2);
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    if (worlds->PF_GetPixelFormat(world, &format) != PF_Err_NONE) return 0;
    switch (format) {
        case PF_PixelFormat_ARGB32:
            return 8;
        case PF_PixelFormat_ARGB64:
            return 16;
        case PF_PixelFormat_ARGB128:
            return 32;
        default:
            return 0;
    }
}

// A downsample factor as a fraction applied to a size, truncated.
A_long scaled(A_long size, const PF_RationalScale& factor) {
    if (factor.den == 0) return size;
    return A_long(int64_t(size) * factor.num / int64_t(factor.den));
}

}  // namespace

PF_Err smartPreRender(const CommandArgs& a) {
    auto* extra = static_cast<PF_PreRenderExtra*>(a.extra);
    PluginContext* context = contextFrom(a.in);
    if (!extra || !extra->cb || !extra->output) return PF_Err_BAD_CALLBACK_PARAM;
    if (context) {
        CheckedOutParam ram(a.in, kParamRamCacheSize, a.in->current_time);
        if (ram.error()) return ram.error();
        context->engine().frameStore().setMemoryBudget(
            uint64_t(std::max(0.0, std::trunc(ram.def().u.fs_d.value))) << 20);
        if (const PF_Err err = ram.checkIn()) return err;
        if (const PF_Err err =
                readRenderSettings(a.in->current_time, a.in, context->renderSettings))
            return err;
    }
    PF_CheckoutResult input{}, texture{};
    const PF_RenderRequest request = extra->input->output_request;
    if (const PF_Err err = extra->cb->checkout_layer(a.in->effect_ref, kParamInput, kInputCheckout,
                                                     &request, a.in->current_time, a.in->time_step,
                                                     a.in->time_scale, &input))
        return err;
    if (const PF_Err err = extra->cb->checkout_layer(a.in->effect_ref, kParamTextureLayer,
                                                     kTextureCheckout, &request, a.in->current_time,
                                                     a.in->time_step, a.in->time_scale, &texture))
        return err;
    extra->output->result_rect = input.result_rect;
    extra->output->max_result_rect = input.max_result_rect;
    extra->output->solid = 0;
    return PF_Err_NONE;
}

PF_Err smartRender(const CommandArgs& a) {
    auto* extra = static_cast<PF_SmartRenderExtra*>(a.extra);
    PluginContext* context = contextFrom(a.in);
    if (!extra || !extra->cb) return PF_Err_BAD_CALLBACK_PARAM;
    if (!context || a.in->time_step == 0) return PF_Err_NONE;
    const int frame = int(a.in->current_time / a.in->time_step);

    PF_EffectWorld* input = nullptr;
    PF_EffectWorld* texture = nullptr;
    PF_EffectWorld* output = nullptr;
    if (const PF_Err err =
            extra->cb->checkout_layer_pixels(a.in->effect_ref, kInputCheckout, &input))
        return err;
    if (const PF_Err err =
            extra->cb->checkout_layer_pixels(a.in->effect_ref, kTextureCheckout, &texture))
        return err;
    if (const PF_Err err = extra->cb->checkout_output(a.in->effect_ref, &output)) return err;
    if (!output) return PF_Err_NONE;

    const int bits = bitsOf(a.in, output);
    if (bits == 0) return PF_Err_NONE;  // a depth we do not render

    if (texture && texture->data)
        readWorldToImage(*texture, bits, context->renderTexture);
    else
        context->renderTexture.resize(0, 0);
    const A_long width = scaled(a.in->width, a.in->downsample_x);
    const A_long height = scaled(a.in->height, a.in->downsample_y);
    context->renderOutput.resize(uint32_t(std::max<A_long>(width, 0)),
                                 uint32_t(std::max<A_long>(height, 0)));
    const bool cached = renderFrame(*context, frame, context->renderOutput, &context->renderTexture,
                                    context->renderSettings);
    try {
        // A host that offers it learns whether the output is the frame or empty for want of it.
        ScopedSuite<SkvProgressSuite1> progress(a.in, kSkvProgressSuite, kSkvProgressSuiteVersion1);
        if (progress->FrameRendered)
            progress->FrameRendered(a.in->effect_ref, frame, cached ? 1 : 0);
    } catch (PF_Err) {
    }
    writeImageToWorld(context->renderOutput, *output, bits);
    if (input) multiplyByWorld(*output, *input, bits);
    return PF_Err_NONE;
}

}  // namespace skv
