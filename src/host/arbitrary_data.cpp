#include "host/arbitrary_data.h"

#include <cstring>
#include <memory>

#include "host/command_handlers.h"
#include "host/parameters.h"
#include "host/suites.h"
#include "platform/log.h"

namespace skv {
namespace {

ColorRamp* rampIn(const PF_HandleSuite1& handles, PF_ArbitraryH handle) {
    if (!handle) return nullptr;
    void* block = handles.host_lock_handle(handle);
    ColorRamp* ramp = nullptr;
    if (block && handles.host_get_handle_size(handle) >= sizeof ramp)
        std::memcpy(&ramp, block, sizeof ramp);
    handles.host_unlock_handle(handle);
    return ramp;
}

PF_ArbitraryH newHandleFor(const PF_HandleSuite1& handles, ColorRamp* ramp) {
    PF_Handle handle = handles.host_new_handle(sizeof ramp);
    if (!handle) return nullptr;
    void* block = handles.host_lock_handle(handle);
    std::memcpy(block, &ramp, sizeof ramp);
    handles.host_unlock_handle(handle);
    return handle;
}

// Allocates the handle for a ramp built by `make`; out of memory when the handle cannot be had.
template <typename Make>
PF_Err produce(const PF_HandleSuite1& handles, PF_ArbitraryH* out, Make make) {
    auto ramp = std::make_unique<ColorRamp>(make());
    PF_ArbitraryH handle = newHandleFor(handles, ramp.get());
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    ramp.release();
    if (out) *out = handle;
    return PF_Err_NONE;
}

}  // namespace

PF_ArbitraryH newRampHandle(const PF_InData* in, const ColorRamp& ramp) {
    HandleSuite handles = acquireHandleSuite(in);
    PF_ArbitraryH handle = nullptr;
    return produce(handles.get(), &handle, [&] { return ramp; }) == PF_Err_NONE ? handle : nullptr;
}

ColorRamp* rampFromHandle(const PF_InData* in, PF_ArbitraryH handle) {
    if (!handle) return nullptr;
    HandleSuite handles = acquireHandleSuite(in);
    return rampIn(handles.get(), handle);
}

PF_Err handleArbitraryCallback(const CommandArgs& a) {
    auto* extra = static_cast<PF_ArbParamsExtra*>(a.extra);
    if (!extra) return PF_Err_NONE;
    const auto refcon = reinterpret_cast<intptr_t>(extra->refconPV);
    if (refcon != kUIDensityColor && refcon != kUITemperatureColor && refcon != kUIFuelColor)
        return PF_Err_NONE;
    if (extra->which_function > PF_Arbitrary_SCAN_FUNC) return PF_Err_NONE;
    HandleSuite suite = acquireHandleSuite(a.in);
    const PF_HandleSuite1& handles = suite.get();
    auto& u = extra->u;
    switch (extra->which_function) {
        case PF_Arbitrary_NEW_FUNC:
            return produce(handles, u.new_func_params.arbPH, [] { return ColorRamp(); });
        case PF_Arbitrary_DISPOSE_FUNC:
            if (PF_ArbitraryH h = u.dispose_func_params.arbH) {
                delete rampIn(handles, h);
                handles.host_dispose_handle(h);
            }
            return PF_Err_NONE;
        case PF_Arbitrary_COPY_FUNC: {
            const ColorRamp* source = rampIn(handles, u.copy_func_params.src_arbH);
            return produce(handles, u.copy_func_params.dst_arbPH, [&] {
                ColorRamp copy;
                if (source) copy.copy(*source);
                return copy;
            });
        }
        case PF_Arbitrary_FLAT_SIZE_FUNC: {
            const ColorRamp* ramp = rampIn(handles, u.flat_size_func_params.arbH);
            if (ramp && u.flat_size_func_params.flat_data_sizePLu)
                *u.flat_size_func_params.flat_data_sizePLu = A_u_long(ramp->flatSize());
            return PF_Err_NONE;
        }
        case PF_Arbitrary_FLATTEN_FUNC: {
            const ColorRamp* ramp = rampIn(handles, u.flatten_func_params.arbH);
            if (!ramp || !u.flatten_func_params.flat_dataPV ||
                u.flatten_func_params.buf_sizeLu != ramp->flatSize())
                return PF_Err_INTERNAL_STRUCT_DAMAGED;
            ramp->flatten(static_cast<uint8_t*>(u.flatten_func_params.flat_dataPV));
            return PF_Err_NONE;
        }
        case PF_Arbitrary_UNFLATTEN_FUNC: {
            const auto& p = u.unflatten_func_params;
            ColorRamp ramp;
            const uint64_t used =
                ramp.unflatten(static_cast<const uint8_t*>(p.flat_dataPV), p.buf_sizeLu);
            if (used == 0 || used != p.buf_sizeLu) return PF_Err_INTERNAL_STRUCT_DAMAGED;
            return produce(handles, p.arbPH, [&] { return ramp; });
        }
        case PF_Arbitrary_INTERP_FUNC: {
            const auto& p = u.interp_func_params;
            const ColorRamp* left = rampIn(handles, p.left_arbH);
            const ColorRamp* right = rampIn(handles, p.right_arbH);
            if (!left || !right) return PF_Err_NONE;
            return produce(handles, p.interpPH,
                           [&] { return ColorRamp::interpolate(*left, *right, float(p.tF)); });
        }
        case PF_Arbitrary_COMPARE_FUNC: {
            const auto& p = u.compare_func_params;
            PF_ArbCompareResult result = PF_ArbCompare_EQUAL;
            if (!p.a_arbH != !p.b_arbH) {
                result = PF_ArbCompare_NOT_EQUAL;
            } else if (p.a_arbH) {
                const ColorRamp* ra = rampIn(handles, p.a_arbH);
                const ColorRamp* rb = rampIn(handles, p.b_arbH);
                if (ra && rb && !(*ra == *rb)) result = PF_ArbCompare_NOT_EQUAL;
            }
            if (p.compareP) *p.compareP = result;
            return PF_Err_NONE;
        }
        case PF_Arbitrary_PRINT_SIZE_FUNC:
            SKV_LOG(Info, "PF_Arbitrary_PRINT_SIZE_FUNC " << extra->param_index);
            return PF_Err_NONE;
        case PF_Arbitrary_PRINT_FUNC:
            SKV_LOG(Info, "PF_Arbitrary_PRINT_FUNC " << extra->param_index);
            return PF_Err_NONE;
        case PF_Arbitrary_SCAN_FUNC:
            SKV_LOG(Info, "PF_Arbitrary_SCAN_FUNC " << extra->param_index);
            return PF_Err_NONE;
        default:
            return PF_Err_NONE;
    }
}

}  // namespace skv
