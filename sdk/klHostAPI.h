/*
 * The C interface between an effect module and its host.
 *
 * Plain C structs and function pointers only, so the boundary between the module (a shared object loaded
 * with dlopen) and the host is a real C ABI. Record and command names follow the host API this effect is
 * written for; only what the module and our substitute host use is declared. Numeric values that matter
 * to saved projects or to the host's behaviour (commands, error codes, flags) are fixed here; the rest are
 * this project's own choices and only need to agree between module and host.
 *
 * Times are integers in units of 1/time_scale seconds. Fixed-point values are 16.16.
 * Pixels are stored alpha first (A, R, G, B) at 8 bits, 16 bits (maximum 32768) or 32-bit float.
 */
#ifndef KL_HOST_API_H
#define KL_HOST_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint8_t A_u_char;
typedef uint8_t PF_Boolean;
typedef int32_t PF_Fixed;
typedef int32_t PF_Err;
typedef int32_t PF_ParamIndex;
typedef int32_t PF_ParamType;
typedef int32_t PF_ParamFlags;
typedef int32_t PF_ChangeFlags;
typedef int32_t PF_Quality;
typedef int32_t PF_Field;
typedef int32_t PF_ChannelMask;
typedef uint32_t PF_PixelFormat;
typedef void** PF_Handle;
typedef struct PF_ProgressInfo* PF_ProgPtr; /* the host's reference to one effect instance */

/* ---- commands ---------------------------------------------------------------------------------- */
typedef enum {
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
    /* Widens the type to every 32-bit code: hosts may send codes this list does not name. */
    PF_Cmd_RESERVED_MAX = 0x7FFFFFFF
} PF_Cmd;

/* ---- results ----------------------------------------------------------------------------------- */
enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516,
    PF_Interrupt_CANCEL = 517
};

/* ---- out flags (the module's answers in PF_OutData) -------------------------------------------- */
enum {
    PF_OutFlag_KEEP_RESOURCE_OPEN = 0x00000001,
    PF_OutFlag_WIDE_TIME_INPUT = 0x00000002,
    PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING = 0x00000010,
    PF_OutFlag_USE_OUTPUT_EXTENT = 0x00000040,
    PF_OutFlag_DISPLAY_ERROR_MESSAGE = 0x00000100,
    PF_OutFlag_REFRESH_UI = 0x00000800,
    PF_OutFlag_CUSTOM_UI = 0x00008000,
    PF_OutFlag_I_AM_OBSOLETE = 0x00200000,
    PF_OutFlag_DEEP_COLOR_AWARE = 0x02000000
};
enum {
    PF_OutFlag2_SUPPORTS_SMART_RENDER = 0x00000400,
    PF_OutFlag2_FLOAT_COLOR_AWARE = 0x00001000,
    PF_OutFlag2_I_AM_THREADSAFE = 0x00040000
};

/* ---- parameters -------------------------------------------------------------------------------- */
enum {
    PF_Param_LAYER = 0,
    PF_Param_SLIDER = 1,
    PF_Param_FIX_SLIDER = 2,
    PF_Param_ANGLE = 3,
    PF_Param_CHECKBOX = 4,
    PF_Param_COLOR = 5,
    PF_Param_POINT = 6,
    PF_Param_POPUP = 7,
    PF_Param_NO_DATA = 9,
    PF_Param_GROUP_START = 13,
    PF_Param_GROUP_END = 14
};
enum { PF_ParamFlag_CANNOT_TIME_VARY = 2, PF_ParamFlag_COLLAPSE_TWIRLY = 32, PF_ParamFlag_SUPERVISE = 64 };
enum { PF_PUI_CONTROL = 1, PF_PUI_DISABLED = 32 };
enum { PF_ChangeFlag_CHANGED_VALUE = 1 };
enum { PF_Quality_LO = 0, PF_Quality_HI = 1 };
enum { PF_WorldFlag_DEEP = 1 };

typedef struct {
    A_long left, top, right, bottom;
} PF_LRect;
typedef PF_LRect PF_Rect;
typedef struct {
    A_long num;
    A_u_long den;
} PF_RationalScale;
typedef struct {
    A_long h, v;
} PF_Point;
typedef struct {
    A_short major, minor;
} PF_SpecVersion;

typedef struct {
    A_u_char alpha, red, green, blue;
} PF_Pixel;
typedef struct {
    uint16_t alpha, red, green, blue;
} PF_Pixel16;
typedef struct {
    float alpha, red, green, blue;
} PF_PixelFloat;

/* An image: `data` points at row 0; rows are `rowbytes` apart. */
typedef struct PF_LayerDef {
    A_long world_flags; /* PF_WorldFlag_DEEP: 16 bits per channel */
    void* data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_Rect extent_hint;
    PF_RationalScale pix_aspect_ratio;
    A_long origin_x, origin_y;
    PF_PixelFormat pixel_format; /* host-private: what the world suite reports */
    void* host_reserved;
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

typedef struct {
    A_long value, valid_min, valid_max, slider_min, slider_max, dephault;
} PF_SliderDef;

enum { PF_ValueDisplayFlag_PERCENT = 1 };

typedef struct {
    PF_Fixed value, valid_min, valid_max, slider_min, slider_max, dephault;
    A_short precision; /* decimal places shown */
    A_short display_flags; /* PF_ValueDisplayFlag_PERCENT: shown as percent */
} PF_FixedSliderDef;

typedef struct {
    A_long value, dephault;
    const char* nameptr; /* the text beside the box */
} PF_CheckBoxDef;

typedef struct {
    PF_Pixel value, dephault;
} PF_ColorDef;

typedef struct {
    A_long value; /* 1-based item */
    A_short num_choices;
    A_short dephault; /* 1-based item */
    const char* namesptr; /* items joined by '|' */
} PF_PopupDef;

typedef struct {
    PF_Fixed value, dephault;
} PF_AngleDef;

typedef struct {
    PF_Fixed x_value, y_value;
    PF_Fixed x_dephault, y_dephault;
} PF_PointDef;

typedef union {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_FixedSliderDef fd;
    PF_CheckBoxDef bd;
    PF_ColorDef cd;
    PF_PopupDef pd;
    PF_AngleDef ad;
    PF_PointDef td;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    A_long uu_id;
    PF_ChangeFlags change_flags;
    PF_ParamType param_type;
    char name[32];
    A_long ui_flags;
    A_short ui_width, ui_height;
    PF_ParamFlags flags;
    PF_ParamDefUnion u;
} PF_ParamDef;

/* ---- callbacks the host hands the module ------------------------------------------------------- */
typedef struct {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_ParamDef* param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef* def);
    PF_Err (*abort)(PF_ProgPtr effect_ref);
    /* PF_Interrupt_CANCEL when the user has asked to stop */
    PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
} PF_InteractCallbacks;

enum { PF_PlatData_MAIN_WND = 0, PF_PlatData_RES_FILE_PATH = 2, PF_PlatData_INSTANCE = 4 };

typedef struct {
    int (*sprintf)(char* buffer, const char* format, ...);
    char* (*strcpy)(char* dest, const char* src);
} PF_ANSICallbacks;

typedef struct PF_UtilCallbacks {
    PF_Handle (*host_new_handle)(uint64_t size);
    void* (*host_lock_handle)(PF_Handle handle);
    void (*host_unlock_handle)(PF_Handle handle);
    void (*host_dispose_handle)(PF_Handle handle);
    uint64_t (*host_get_handle_size)(PF_Handle handle);
    /* MAIN_WND: a window id (unsigned long, 0 without a display); RES_FILE_PATH: char[260];
     INSTANCE: void* of the loaded module */
    PF_Err (*get_platform_data)(PF_ProgPtr effect_ref, A_long which, void* data);
    PF_ANSICallbacks ansi;
    /* The canvas of a custom-UI area: an 8-bit ARGB world valid during the event. */
    PF_Err (*get_drawing_reference)(PF_ProgPtr effect_ref, void* context, PF_EffectWorld** canvas);
} PF_UtilCallbacks;

/* ---- suites ------------------------------------------------------------------------------------ */
typedef struct SPBasicSuite {
    A_long (*AcquireSuite)(const char* name, A_long version, const void** suite);
    A_long (*ReleaseSuite)(const char* name, A_long version);
} SPBasicSuite;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2
typedef struct {
    PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_Boolean clear,
                          PF_PixelFormat format, PF_EffectWorld* world);
    PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
    PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion1 1
typedef struct {
    /* Tell the host that a control's flags or value changed. */
    PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex index, const PF_ParamDef* def);
} PF_ParamUtilsSuite1;

#define kPFAppSuite "PF AE App Suite"
#define kPFAppSuiteVersion1 1
typedef struct {
    /* *headless = 1 when the host has no user interface (a render engine, a batch renderer). */
    PF_Err (*PF_IsHeadless)(PF_Boolean* headless);
} PF_AppSuite1;

/* Keyframes of an effect control, as the host's stream suite exposes them. Times in host units. */
#define kAEGPStreamSuite "AEGP Stream Suite"
#define kAEGPStreamSuiteVersion1 1
typedef struct {
    PF_Err (*GetNumKeys)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long* num_keys);
    PF_Err (*GetKeyTime)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long key, A_long* time,
                         A_u_long* time_scale);
    PF_Err (*SetKey)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long time, A_u_long time_scale);
    PF_Err (*DeleteKey)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long key);
    PF_Err (*DeleteAllKeys)(PF_ProgPtr effect_ref, PF_ParamIndex index);
} AEGP_StreamSuite1;

/* Four-character pixel formats, compared as the bytes lie in memory ("ae32" is 'a','e','3','2'). */
#define KL_FOURCC(a, b, c, d)                                                                                \
    ((PF_PixelFormat)(uint8_t)(a) | ((PF_PixelFormat)(uint8_t)(b) << 8) |                                    \
     ((PF_PixelFormat)(uint8_t)(c) << 16) | ((PF_PixelFormat)(uint8_t)(d) << 24))
#define PF_PixelFormat_ARGB128 KL_FOURCC('a', 'e', '3', '2')
#define PF_PixelFormat_ARGB64 KL_FOURCC('a', 'e', '1', '6')
#define PF_PixelFormat_ARGB32 KL_FOURCC('a', 'r', 'g', 'b')
#define PF_PixelFormat_INVALID KL_FOURCC('b', 'a', 'd', 'f')

/* ---- smart render ------------------------------------------------------------------------------ */
typedef struct {
    PF_LRect rect;
    PF_Field field;
    PF_ChannelMask channel_mask;
    PF_Boolean preserve_rgb_of_zero_alpha;
    char unused[3];
    A_long reserved[4];
} PF_RenderRequest;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    A_long ref_width, ref_height;
} PF_CheckoutResult;

enum { PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS = 1 };

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;
} PF_PreRenderInput;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_Boolean solid;
    PF_Boolean reserved;
    A_long flags;
    void* pre_render_data;
} PF_PreRenderOutput;

typedef struct {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                             const PF_RenderRequest* request, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_CheckoutResult* result);
} PF_PreRenderCallbacks;

typedef struct {
    PF_PreRenderInput* input;
    PF_PreRenderOutput* output;
    PF_PreRenderCallbacks* cb;
} PF_PreRenderExtra;

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;
    void* pre_render_data;
} PF_SmartRenderInput;

typedef struct {
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id, PF_EffectWorld** pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct {
    PF_SmartRenderInput* input;
    PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;

/* ---- custom-UI events -------------------------------------------------------------------------- */
enum {
    PF_Event_NEW_CONTEXT = 0,
    PF_Event_ACTIVATE = 1,
    PF_Event_DO_CLICK = 2,
    PF_Event_DRAG = 3,
    PF_Event_DRAW = 4,
    PF_Event_DEACTIVATE = 5,
    PF_Event_CLOSE_CONTEXT = 6,
    PF_Event_IDLE = 7,
    PF_Event_ADJUST_CURSOR = 8
};
enum { PF_Window_COMP = 0, PF_Window_LAYER = 1, PF_Window_EFFECT = 2 };
enum { PF_EA_CONTROL = 1 };
enum { PF_EO_HANDLED_EVENT = 1 };

typedef struct {
    A_long magic;
    A_long w_type; /* PF_Window_* */
    void* saved_object[2]; /* the module's per-context objects */
} PF_Context;
typedef PF_Context* PF_ContextH;

typedef struct {
    PF_ParamIndex index;
    A_long area; /* PF_EA_CONTROL for a control's own area */
    PF_Rect current_frame; /* the control's frame in the canvas */
} PF_EffectArea;

typedef struct {
    PF_ContextH contextH;
    A_long e_type; /* PF_Event_* */
    PF_Point screen_point; /* for clicks */
    PF_EffectArea effect_win;
    A_long evt_out_flags; /* PF_EO_* */
} PF_EventExtra;

/* ---- PF_Cmd_USER_CHANGED_PARAM ------------------------------------------------------------------- */
typedef struct {
    PF_ParamIndex param_index; /* the control the user changed */
} PF_UserChangedParamExtra;

/* ---- the records of every call ----------------------------------------------------------------- */
#define KL_APPL_ID_HOST KL_FOURCC('F', 'X', 'T', 'C') /* the native host's application id */

typedef struct PF_InData {
    PF_InteractCallbacks inter;
    PF_UtilCallbacks* utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    PF_SpecVersion version;
    A_long appl_id;
    A_long num_params;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_u_long time_scale;
    PF_Field field;
    A_long width, height; /* the input layer's size */
    PF_Rect extent_hint;
    PF_RationalScale downsample_x, downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    PF_Handle global_data;
    PF_Handle sequence_data;
    SPBasicSuite* pica_basicP;
} PF_InData;

typedef struct PF_OutData {
    A_u_long my_version;
    char name[32];
    PF_Handle global_data;
    PF_Handle sequence_data;
    A_long num_params;
    A_long width, height;
    PF_Point origin;
    A_long out_flags;
    A_long out_flags2;
    char return_msg[256];
} PF_OutData;

typedef PF_Err (*PF_EntryFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                               PF_LayerDef* output, void* extra);

/* ---- registration: read by the host before the first call --------------------------------------- */
#define KL_REGISTRATION_SYMBOL "kiln_registration"
typedef struct {
    A_u_long kind; /* KL_FOURCC('e','F','K','T') */
    const char* name;
    const char* category;
    const char* entry_point; /* the exported entry function */
    A_long pipl_version;
    A_short spec_major, spec_minor;
    A_u_long effect_version;
    const char* match_name;
    A_long info_flags;
    A_long out_flags;
    A_long out_flags2;
    A_long ae_effect_flags[2];
} KlRegistration;

/* Optional second export: the script name of each control, indexed like the parameter array (index 0 is
   the input layer), ended by a null pointer. Hosts use it to let users address controls by name. */
#define KL_SCRIPT_NAMES_SYMBOL "kiln_param_script_names"
typedef const char* const* KlScriptNames;

/* Optional third export, shaped as the script names: a one-line description of each control ("" for
   none), for hosts that list controls to their users. */
#define KL_DESCRIPTIONS_SYMBOL "kiln_param_descriptions"

#ifdef __cplusplus
}
#endif
#endif
