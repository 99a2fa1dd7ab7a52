#pragma once

#include <cstdint>

#include "host/sdk/ae_types.h"

namespace skv {

// The effect's identity, shared by its description record and global set-up.
inline constexpr uint32_t kPluginVersion = 0x00093601;  // 1.2.5, release, build 1
inline constexpr A_long kGlobalOutFlags = PF_OutFlag_WIDE_TIME_INPUT | PF_OutFlag_NON_PARAM_VARY |
                                          PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING |
                                          PF_OutFlag_CUSTOM_UI | PF_OutFlag_DEEP_COLOR_AWARE |
                                          PF_OutFlag_SEND_UPDATE_PARAMS_UI;
inline constexpr A_long kGlobalOutFlags2 =
    PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;

static_assert(kGlobalOutFlags == 0x06008016);
static_assert(kGlobalOutFlags2 == 0x00001400);

}  // namespace skv
