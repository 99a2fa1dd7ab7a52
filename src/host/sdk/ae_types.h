#pragma once

// The host's effect protocol as this plug-in and our headless host use it: commands, the
// in/out data records, parameter definitions, pixel worlds, custom-UI events and the SmartFX
// records. Our own declarations under the host's names; numeric values are the protocol's,
// structure layouts are ours (both sides compile against this header).

#include <cstdint>

extern "C" {

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef uint8_t A_u_char;
typedef char A_char;
typedef uint8_t A_Boolean;
typedef uint64_t A_u_longlong;
typedef int32_t A_Err;
typedef double PF_FpLong;
typedef float PF_FpShort;
typedef int32_t PF_ParamIndex;
typedef int32_t PF_Err;
typedef int32_t SPErr;

// ---- Errors ----
enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516,
    PF_Interrupt_CANCEL = 517,
};

// ---- Commands ----
typedef A_long PF_Cmd;
enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_SEQUENCE_SETUP = 5,
    PF_Cmd_SEQUENCE_RESETUP = 6,
    PF_Cmd_SEQUENCE_FLATTEN = 7,
    PF_Cmd_SEQUENCE_SETDOWN = 8,
    PF_Cmd_DO_DIALOG = 9,
    PF_Cmd_FRAME_SETUP = 10,
    PF_Cmd_RENDER = 11,
    PF_Cmd_FRAME_SETDOWN = 12,
    PF_Cmd_USER_CHANGED_PARAM = 13,
    PF_Cmd_UPDATE_PARAMS_UI = 14,
    PF_Cmd_EVENT = 15,
    PF_Cmd_GET_EXTERNAL_DEPENDENCIES = 16,
    PF_Cmd_COMPLETELY_GENERAL = 17,
    PF_Cmd_QUERY_DYNAMIC_FLAGS = 18,
    PF_Cmd_AUDIO_RENDER = 19,
    PF_Cmd_AUDIO_SETUP = 20,
    PF_Cmd_AUDIO_SETDOWN = 21,
    PF_Cmd_ARBITRARY_CALLBACK = 22,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24,
};

// ---- Out flags ----
enum {
    PF_OutFlag_NONE = 0,
    PF_OutFlag_KEEP_RESOURCE_OPEN = 1L << 0,
    PF_OutFlag_WIDE_TIME_INPUT = 1L << 1,
    PF_OutFlag_NON_PARAM_VARY = 1L << 2,
    PF_OutFlag_RESERVED6 = 1L << 3,
    PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING = 1L << 4,
    PF_OutFlag_I_DO_DIALOG = 1L << 5,
    PF_OutFlag_USE_OUTPUT_EXTENT = 1L << 6,
    PF_OutFlag_SEND_DO_DIALOG = 1L << 7,
    PF_OutFlag_DISPLAY_ERROR_MESSAGE = 1L << 8,
    PF_OutFlag_I_EXPAND_BUFFER = 1L << 9,
    PF_OutFlag_PIX_INDEPENDENT = 1L << 10,
    PF_OutFlag_I_WRITE_INPUT_BUFFER = 1L << 11,
    PF_OutFlag_I_SHRINK_BUFFER = 1L << 12,
    PF_OutFlag_WORKS_IN_PLACE = 1L << 13,
    PF_OutFlag_SQUARE_PIX_ONLY = 1L << 14,
    PF_OutFlag_CUSTOM_UI = 1L << 15,
    PF_OutFlag_RESERVED5 = 1L << 16,
    PF_OutFlag_REFRESH_UI = 1L << 17,
    PF_OutFlag_NOP_RENDER = 1L << 18,
    PF_OutFlag_I_USE_SHUTTER_ANGLE = 1L << 19,
    PF_OutFlag_I_USE_AUDIO = 1L << 20,
    PF_OutFlag_I_AM_OBSOLETE = 1L << 21,
    PF_OutFlag_FORCE_RERENDER = 1L << 22,
    PF_OutFlag_PiPL_OVERRIDES_OUTDATA_OUTFLAGS = 1L << 23,
    PF_OutFlag_I_HAVE_EXTERNAL_DEPENDENCIES = 1L << 24,
    PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25,
    PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1L << 26,
};
enum {
    PF_OutFlag2_NONE = 0,
    PF_OutFlag2_SUPPORTS_SMART_RENDER = 1L << 10,
    PF_OutFlag2_FLOAT_COLOR_AWARE = 1L << 12,
};

// ---- Basic records ----
struct PF_LRect {
    A_long left, top, right, bottom;
};
typedef PF_LRect PF_Rect;
struct PF_Point {
    A_long h, v;
};
struct PF_RationalScale {
    A_long num;
    A_u_long den;
};
struct A_Time {
    A_long value;
    A_u_long scale;
};

// Memory handles: a pointer to the pointer of the block (the block may move between locks).
typedef void** PF_Handle;
typedef PF_Handle PF_ArbitraryH;

// Opaque references handed out by the host.
struct _PF_ProgressInfo;
typedef struct _PF_ProgressInfo* PF_ProgPtr;
struct _PF_Context;
typedef struct _PF_Context* PF_ContextH;

// ---- Pixels and worlds ----
struct PF_Pixel8 {
    A_u_char alpha, red, green, blue;
};
typedef PF_Pixel8 PF_Pixel;
struct PF_Pixel16 {
    A_u_short alpha, red, green, blue;
};
struct PF_PixelFloat {
    PF_FpShort alpha, red, green, blue;
};
constexpr A_long PF_MAX_CHAN8 = 255;
constexpr A_long PF_MAX_CHAN16 = 32768;

typedef A_long PF_WorldFlags;
enum {
    PF_WorldFlag_DEEP = 1L << 0,  // 16 bits per channel
    PF_WorldFlag_WRITEABLE = 1L << 1,
};

// A pixel buffer: rows of `rowbytes` bytes, top to bottom, pixels alpha-red-green-blue. The
// pixel format (8, 16 or 32 bits per channel) is told by the world suite.
struct PF_LayerDef {
    PF_WorldFlags world_flags;
    void* data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_LRect extent_hint;
    PF_RationalScale pix_aspect_ratio;
    A_long origin_x;
    A_long origin_y;
    A_long dephault;  // for layer parameters: PF_LayerDefault_*
    void* platform_ref;
};
typedef PF_LayerDef PF_EffectWorld;
enum { PF_LayerDefault_MYSELF = -1, PF_LayerDefault_NONE = 0 };

typedef A_long PF_PixelFormat;
enum {
    PF_PixelFormat_ARGB32 = 0x38624741,   // 8 bits per channel
    PF_PixelFormat_ARGB64 = 0x36314741,   // 16
    PF_PixelFormat_ARGB128 = 0x32334741,  // 32 (float)
    PF_PixelFormat_INVALID = 0x3F3F3F3F,
};

// ---- Parameters ----
typedef A_long PF_ParamType;
enum {
    PF_Param_LAYER = 0,
    PF_Param_SLIDER = 1,
    PF_Param_FIX_SLIDER = 2,
    PF_Param_ANGLE = 3,
    PF_Param_CHECKBOX = 4,
    PF_Param_COLOR = 5,
    PF_Param_POINT = 6,
    PF_Param_POPUP = 7,
    PF_Param_CUSTOM = 8,
    PF_Param_NO_DATA = 9,
    PF_Param_FLOAT_SLIDER = 10,
    PF_Param_ARBITRARY_DATA = 11,
    PF_Param_PATH = 12,
    PF_Param_GROUP_START = 13,
    PF_Param_GROUP_END = 14,
    PF_Param_BUTTON = 15,
};

typedef A_long PF_ParamFlags;
enum {
    PF_ParamFlag_CANNOT_TIME_VARY = 1L << 1,
    PF_ParamFlag_CANNOT_INTERP = 1L << 2,
    PF_ParamFlag_COLLAPSE_TWIRLY = 1L << 5,
    PF_ParamFlag_SUPERVISE = 1L << 6,
    PF_ParamFlag_START_COLLAPSED = PF_ParamFlag_COLLAPSE_TWIRLY,
};

typedef A_long PF_ParamUIFlags;
enum {
    PF_PUI_NONE = 0,
    PF_PUI_TOPIC = 1L << 0,
    PF_PUI_CONTROL = 1L << 1,
    PF_PUI_STD_CONTROL_ONLY = 1L << 2,
    PF_PUI_NO_ECW_UI = 1L << 3,
    PF_PUI_ECW_SEPARATOR = 1L << 4,
    PF_PUI_DISABLED = 1L << 5,
    PF_PUI_DONT_ERASE_TOPIC = 1L << 6,
    PF_PUI_DONT_ERASE_CONTROL = 1L << 7,
    PF_PUI_RADIO_BUTTON = 1L << 8,
    PF_PUI_INVISIBLE = 1L << 9,
};

typedef A_long PF_ChangeFlags;
enum { PF_ChangeFlag_NONE = 0, PF_ChangeFlag_CHANGED_VALUE = 1L << 0 };

enum { PF_MAX_EFFECT_PARAM_NAME_LEN = 31, PF_MAX_EFFECT_MSG_LEN = 255 };

struct PF_FloatSliderDef {
    PF_FpLong value;
    PF_FpShort valid_min, valid_max;
    PF_FpShort slider_min, slider_max;
    PF_FpShort dephault;
    A_short precision;
    A_short display_flags;
    PF_FpShort curve_tolerance;
};

struct PF_CheckBoxDef {
    A_long value;
    A_long dephault;
    const A_char* nameptr;  // the label beside the box
};

struct PF_PopupDef {
    A_long value;  // 1-based choice
    A_short num_choices;
    A_short dephault;
    const A_char* namesptr;  // "one|two|three"
};

struct PF_ArbitraryDef {
    A_short id;
    A_short pad;
    PF_ArbitraryH dephault;
    PF_ArbitraryH value;
    void* refconPV;
};

union PF_ParamDefUnion {
    PF_LayerDef ld;
    PF_FloatSliderDef fs_d;
    PF_CheckBoxDef bd;
    PF_PopupDef pd;
    PF_ArbitraryDef arb_d;
};

struct PF_ParamDef {
    union {
        A_long id;            // when adding
        A_long change_flags;  // when the plug-in changes a value during an event
    } uu;
    PF_ParamType param_type;
    A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamFlags flags;
    PF_ParamDefUnion u;
};
typedef PF_ParamDef* PF_ParamDefPtr;
typedef PF_ParamDef** PF_ParamList;

// ---- Custom UI registration ----
enum {
    PF_CustomEFlag_NONE = 0,
    PF_CustomEFlag_COMP = 1L << 0,
    PF_CustomEFlag_LAYER = 1L << 1,
    PF_CustomEFlag_EFFECT = 1L << 2
};
struct PF_CustomUIInfo {
    A_long reserved;
    A_long events;
};

// ---- Host callbacks ----
struct PF_InteractCallbacks {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                             A_long time_step, A_u_long time_scale, PF_ParamDef* param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
    PF_Err (*register_ui)(PF_ProgPtr effect_ref, PF_CustomUIInfo* cust_info);
};

struct SPBasicSuite;

struct PF_InData {
    PF_InteractCallbacks inter;
    PF_ProgPtr effect_ref;
    A_long version_major, version_minor;
    A_long num_params;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_long local_time_step;
    A_u_long time_scale;
    A_long width;  // the input layer's size
    A_long height;
    PF_LRect extent_hint;
    A_long output_origin_x, output_origin_y;
    PF_RationalScale downsample_x, downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    PF_Handle global_data;
    PF_Handle sequence_data;
    PF_Handle frame_data;
    const SPBasicSuite* pica_basicP;
};

struct PF_OutData {
    A_u_long my_version;
    A_char name[32];
    PF_Handle global_data;
    A_long num_params;
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width, height;
    PF_Point origin;
    A_long out_flags;
    A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
    A_long out_flags2;
};

// ---- Extras of individual commands ----
struct PF_UserChangedParamExtra {
    PF_ParamIndex param_index;
};

// Custom-UI events.
typedef A_long PF_EventType;
enum {
    PF_Event_NEW_CONTEXT = 0,
    PF_Event_ACTIVATE = 1,
    PF_Event_DO_CLICK = 2,
    PF_Event_DRAG = 3,
    PF_Event_DRAW = 4,
    PF_Event_DEACTIVATE = 5,
    PF_Event_CLOSE_CONTEXT = 6,
    PF_Event_IDLE = 7,
    PF_Event_ADJUST_CURSOR = 9,
    PF_Event_KEYDOWN = 10,
    PF_Event_MOUSE_EXITED = 11,
};
typedef A_long PF_EventOutFlags;
enum {
    PF_EO_NONE = 0,
    PF_EO_HANDLED_EVENT = 1L << 0,
    PF_EO_ALWAYS_UPDATE = 1L << 1,
    PF_EO_UPDATE_NOW = 1L << 2
};
typedef A_long PF_WindowType;
enum { PF_Window_NONE = -1, PF_Window_COMP = 0, PF_Window_LAYER = 1, PF_Window_EFFECT = 2 };

struct PF_DoClickEventInfo {
    A_u_long when;
    PF_Point screen_point;  // in the effect window's coordinates
    A_long modifiers;
    A_long continue_refcon[4];
    A_Boolean double_click;  // the host saw more than one click
    A_Boolean send_drag;     // set by the plug-in: send drag events until the button is released
    A_Boolean last_time;     // the last drag event of this click
};
struct PF_AdjustCursorEventInfo {
    PF_Point screen_point;
    A_long modifiers;
    A_long set_cursor;
};
struct PF_DrawEventInfo {
    PF_Rect update_rect;
    A_long depth;
};
union PF_EventUnion {
    PF_DoClickEventInfo do_click;
    PF_DrawEventInfo draw;
    PF_AdjustCursorEventInfo adjust_cursor;
};
struct PF_EffectWindowInfo {
    PF_ParamIndex index;    // the parameter whose custom UI receives the event
    PF_Rect current_frame;  // the parameter's area in the window
};
struct PF_EventExtra {
    PF_ContextH contextH;
    PF_EventType e_type;
    PF_EventUnion u;
    PF_EffectWindowInfo effect_win;
    PF_WindowType window_type;
    PF_EventOutFlags evt_out_flags;
};

// Arbitrary-data callbacks.
typedef A_long PF_FunctionSelector;
enum {
    PF_Arbitrary_NEW_FUNC = 0,
    PF_Arbitrary_DISPOSE_FUNC = 1,
    PF_Arbitrary_COPY_FUNC = 2,
    PF_Arbitrary_FLAT_SIZE_FUNC = 3,
    PF_Arbitrary_FLATTEN_FUNC = 4,
    PF_Arbitrary_UNFLATTEN_FUNC = 5,
    PF_Arbitrary_INTERP_FUNC = 6,
    PF_Arbitrary_COMPARE_FUNC = 7,
    PF_Arbitrary_PRINT_SIZE_FUNC = 8,
    PF_Arbitrary_PRINT_FUNC = 9,
    PF_Arbitrary_SCAN_FUNC = 10,
};
typedef A_long PF_ArbCompareResult;
enum {
    PF_ArbCompare_EQUAL = 0,
    PF_ArbCompare_LESS = 1,
    PF_ArbCompare_MORE = 2,
    PF_ArbCompare_NOT_EQUAL = 3
};

struct PF_ArbParamsExtra {
    A_long id;
    void* refconPV;
    PF_ParamIndex param_index;
    PF_FunctionSelector which_function;
    union {
        struct {
            PF_ArbitraryH* arbPH;
        } new_func_params;
        struct {
            PF_ArbitraryH arbH;
        } dispose_func_params;
        struct {
            PF_ArbitraryH src_arbH;
            PF_ArbitraryH* dst_arbPH;
        } copy_func_params;
        struct {
            PF_ArbitraryH arbH;
            A_u_long* flat_data_sizePLu;
        } flat_size_func_params;
        struct {
            PF_ArbitraryH arbH;
            A_u_long buf_sizeLu;
            void* flat_dataPV;
        } flatten_func_params;
        struct {
            A_u_long buf_sizeLu;
            const void* flat_dataPV;
            PF_ArbitraryH* arbPH;
        } unflatten_func_params;
        struct {
            PF_ArbitraryH left_arbH;
            PF_ArbitraryH right_arbH;
            PF_FpLong tF;
            PF_ArbitraryH* interpPH;
        } interp_func_params;
        struct {
            PF_ArbitraryH a_arbH;
            PF_ArbitraryH b_arbH;
            PF_ArbCompareResult* compareP;
        } compare_func_params;
        struct {
            PF_ArbitraryH arbH;
            A_u_long* print_sizePLu;
        } print_size_func_params;
        struct {
            PF_ArbitraryH arbH;
            A_u_long print_sizeLu;
            A_char* print_bufferPC;
        } print_func_params;
        struct {
            const A_char* bufPC;
            A_u_long bytes_to_scanLu;
            PF_ArbitraryH* arbPH;
        } scan_func_params;
    } u;
};

// ---- SmartFX ----
struct PF_RenderRequest {
    PF_LRect rect;
    A_long channel_mask;
    A_Boolean preserve_rgb_of_zero_alpha;
};
struct PF_CheckoutResult {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    A_long ref_width, ref_height;
};
struct PF_PreRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
};
struct PF_PreRenderOutput {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    A_Boolean solid;
    A_long flags;
    void* pre_render_data;
    void (*delete_pre_render_data_func)(void* pre_render_data);
};
struct PF_PreRenderCallbacks {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                             const PF_RenderRequest* req, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_CheckoutResult* checkout_result);
};
struct PF_PreRenderExtra {
    PF_PreRenderInput* input;
    PF_PreRenderOutput* output;
    PF_PreRenderCallbacks* cb;
};
struct PF_SmartRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
    void* pre_render_data;
};
struct PF_SmartRenderCallbacks {
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id,
                                    PF_EffectWorld** pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
};
struct PF_SmartRenderExtra {
    PF_SmartRenderInput* input;
    PF_SmartRenderCallbacks* cb;
};

// ---- The entry point ----
typedef PF_Err (*PF_EntryPointFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                    PF_ParamDef* params[], PF_LayerDef* output, void* extra);

}  // extern "C"
