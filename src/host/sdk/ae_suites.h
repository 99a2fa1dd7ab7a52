#pragma once

// The host's callback suites that the plug-in acquires by name through `pica_basicP`.

#include "host/sdk/ae_types.h"

extern "C" {

enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x53214e46 /* 'S!NF' */ };

struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
    SPErr (*ReleaseSuite)(const char* name, int32_t version);
};

// ---- PF suites ----
#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1
struct PF_ANSICallbacksSuite1 {
    A_long (*sprintf)(A_char* buffer, const A_char* format, ...);
};

#define kPFHandleSuite "PF Handle Suite"
#define kPFHandleSuiteVersion1 1
struct PF_HandleSuite1 {
    PF_Handle (*host_new_handle)(A_u_longlong size);
    void* (*host_lock_handle)(PF_Handle handle);
    void (*host_unlock_handle)(PF_Handle handle);
    void (*host_dispose_handle)(PF_Handle handle);
    A_u_longlong (*host_get_handle_size)(PF_Handle handle);
    PF_Err (*host_resize_handle)(A_u_longlong new_size, PF_Handle* handle);
};

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion3 3
struct PF_ParamUtilsSuite3 {
    PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                               const PF_ParamDef* def);
};

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2
struct PF_WorldSuite2 {
    PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
};

#define kPFEffectCustomUISuite "PF Effect Custom UI Suite"
#define kPFEffectCustomUISuiteVersion1 1
struct _DRAWBOT_DrawRef;
typedef struct _DRAWBOT_DrawRef* DRAWBOT_DrawRef;
struct PF_EffectCustomUISuite1 {
    PF_Err (*PF_GetDrawingReference)(PF_ContextH context, DRAWBOT_DrawRef* drawing_ref);
};

// ---- AEGP suites ----
struct _AEGP_ProjectH;
typedef struct _AEGP_ProjectH* AEGP_ProjectH;
struct _AEGP_LayerH;
typedef struct _AEGP_LayerH* AEGP_LayerH;
typedef A_char AEGP_ProjBitDepth;
enum { AEGP_ProjBitDepth_8 = 0, AEGP_ProjBitDepth_16 = 1, AEGP_ProjBitDepth_32 = 2 };
typedef A_long AEGP_LTimeMode;
enum { AEGP_LTimeMode_LayerTime = 0, AEGP_LTimeMode_CompTime = 1 };
enum { AEGP_MAX_PATH_SIZE = 1024, AEGP_MAX_LAYER_NAME_SIZE = 64 };

#define kAEGPUtilitySuite "AEGP Utility Suite"
#define kAEGPUtilitySuiteVersion6 6
struct AEGP_UtilitySuite6 {
    A_Err (*AEGP_GetMainHWND)(void* main_hwnd);  // writes the main window handle (void*)
};

#define kAEGPProjSuite "AEGP Proj Suite"
#define kAEGPProjSuiteVersion5 5
struct AEGP_ProjSuite5 {
    A_Err (*AEGP_GetNumProjects)(A_long* num_projects);
    A_Err (*AEGP_GetProjectByIndex)(A_long index, AEGP_ProjectH* project);
    A_Err (*AEGP_GetProjectPath)(AEGP_ProjectH project, A_char* path /* AEGP_MAX_PATH_SIZE */);
    A_Err (*AEGP_GetProjectBitDepth)(AEGP_ProjectH project, AEGP_ProjBitDepth* bit_depth);
};

#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1
struct AEGP_PFInterfaceSuite1 {
    A_Err (*AEGP_GetEffectLayer)(PF_ProgPtr effect_ref, AEGP_LayerH* layer);
};

#define kAEGPLayerSuite "AEGP Layer Suite"
#define kAEGPLayerSuiteVersion8 8
struct AEGP_LayerSuite8 {
    A_Err (*AEGP_GetLayerName)(AEGP_LayerH layer, A_char* name /* AEGP_MAX_LAYER_NAME_SIZE */);
    A_Err (*AEGP_GetLayerIndex)(AEGP_LayerH layer, A_long* index);
    A_Err (*AEGP_GetLayerDuration)(AEGP_LayerH layer, AEGP_LTimeMode mode, A_Time* duration);
};

// ---- DRAWBOT: drawing into the custom UI ----
struct _DRAWBOT_SupplierRef;
typedef struct _DRAWBOT_SupplierRef* DRAWBOT_SupplierRef;
struct _DRAWBOT_SurfaceRef;
typedef struct _DRAWBOT_SurfaceRef* DRAWBOT_SurfaceRef;
struct _DRAWBOT_ObjectRef;
typedef struct _DRAWBOT_ObjectRef* DRAWBOT_ObjectRef;
typedef DRAWBOT_ObjectRef DRAWBOT_ImageRef;
typedef DRAWBOT_ObjectRef DRAWBOT_BrushRef;
typedef DRAWBOT_ObjectRef DRAWBOT_FontRef;
typedef uint16_t DRAWBOT_UTF16Char;

struct DRAWBOT_PointF32 {
    float x, y;
};
struct DRAWBOT_ColorRGBA {
    float red, green, blue, alpha;
};
typedef A_long DRAWBOT_PixelLayout;
enum {
    kDRAWBOT_PixelLayout_32RGB = 0,
    kDRAWBOT_PixelLayout_32BGR = 1,
    kDRAWBOT_PixelLayout_32ARGB_Straight = 2,
    kDRAWBOT_PixelLayout_32BGRA_Straight = 3,
    kDRAWBOT_PixelLayout_32RGBA_Straight = 4,  // bytes red, green, blue, alpha
};
typedef A_long DRAWBOT_TextAlignment;
enum {
    kDRAWBOT_TextAlignment_Left = 0,
    kDRAWBOT_TextAlignment_Center = 1,
    kDRAWBOT_TextAlignment_Right = 2
};

#define kDRAWBOT_DrawSuite "DRAWBOT Draw Suite"
#define kDRAWBOT_DrawSuite_Version1 1
struct DRAWBOT_DrawbotSuite1 {
    SPErr (*GetSupplier)(DRAWBOT_DrawRef drawing, DRAWBOT_SupplierRef* supplier);
    SPErr (*GetSurface)(DRAWBOT_DrawRef drawing, DRAWBOT_SurfaceRef* surface);
};

#define kDRAWBOT_SupplierSuite "DRAWBOT Supplier Suite"
#define kDRAWBOT_SupplierSuite_Version1 1
struct DRAWBOT_SupplierSuite1 {
    SPErr (*NewBrush)(DRAWBOT_SupplierRef supplier, const DRAWBOT_ColorRGBA* color,
                      DRAWBOT_BrushRef* brush);
    SPErr (*NewDefaultFont)(DRAWBOT_SupplierRef supplier, float size, DRAWBOT_FontRef* font);
    SPErr (*GetDefaultFontSize)(DRAWBOT_SupplierRef supplier, float* size);
    SPErr (*NewImageFromBuffer)(DRAWBOT_SupplierRef supplier, int width, int height, int row_bytes,
                                DRAWBOT_PixelLayout layout, const void* data,
                                DRAWBOT_ImageRef* image);
    SPErr (*GetPreferredPixelLayout)(DRAWBOT_SupplierRef supplier, DRAWBOT_PixelLayout* layout);
    SPErr (*ReleaseObject)(DRAWBOT_ObjectRef object);
};

#define kDRAWBOT_SurfaceSuite "DRAWBOT Surface Suite"
#define kDRAWBOT_SurfaceSuite_Version1 1
struct DRAWBOT_SurfaceSuite1 {
    SPErr (*DrawImage)(DRAWBOT_SurfaceRef surface, DRAWBOT_ImageRef image,
                       const DRAWBOT_PointF32* origin, float opacity);
    SPErr (*DrawString)(DRAWBOT_SurfaceRef surface, DRAWBOT_BrushRef brush, DRAWBOT_FontRef font,
                        const DRAWBOT_UTF16Char* text, const DRAWBOT_PointF32* origin,
                        DRAWBOT_TextAlignment alignment);
};

}  // extern "C"

extern "C" {

// ---- Headless host extension ----
// Our headless host offers this suite so that a simulation run can report its progress on the
// terminal; a host without it (the compositing application) simply is not told.
#define kSkvProgressSuite "Skyvane Host Progress Suite"
#define kSkvProgressSuiteVersion1 1
struct SkvProgressSuite1 {
    void (*FrameSimulated)(PF_ProgPtr effect_ref, A_long frame, A_long total_frames,
                           double last_frame_seconds, double mean_frame_seconds, A_Boolean gpu);
    // The run ended: frames now in the cache, whether it failed (unstable or an error), and
    // how many frames the disk cache could not keep.
    void (*RunEnded)(PF_ProgPtr effect_ref, A_long frames_cached, A_Boolean failed,
                     A_long frames_lost);
    // Polled by the run (on the host's thread, a few times a second): true when the host wants
    // the run to end as if the user had closed the preview window (Ctrl-C on a terminal).
    A_Boolean (*RunCancelled)(PF_ProgPtr effect_ref);
    // A render of `frame` found it in the cache (true), or found no frame or a damaged one, so
    // that the output is empty (false).
    void (*FrameRendered)(PF_ProgPtr effect_ref, A_long frame, A_Boolean cached);
};

}  // extern "C"
