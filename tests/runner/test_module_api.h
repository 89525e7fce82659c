// What the runner's test module records about each call, and the functions it exports so the tests can
// read the records and tell it to misbehave. Shared by the module and the tests.
#ifndef KL_TEST_MODULE_API_H
#define KL_TEST_MODULE_API_H

#include "sdk/klHostAPI.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { TM_PARAMS = 13, TM_MAX_RECORDS = 256 };

// Parameter indexes of the test module's controls.
enum {
    TM_AMOUNT = 1,  // fixed slider 0..100 / 0..5000, default 15
    TM_COUNT = 2,  // int slider 1..10, default 6
    TM_MODE = 3,  // popup "One|Two|Three" default 2, declared with 2 choices
    TM_ENABLE = 4,  // checkbox "Enable", off
    TM_TINT = 5,  // colour 255,63,165,76
    TM_ALPHA = 6,  // fixed slider 0..100, supervised
    TM_EDGE = 7,  // colour 255,0,0,0, supervised
    TM_GROUP = 8,  // group start
    TM_ANGLE = 9,  // angle
    TM_GROUP_END = 10,
    TM_FIXED = 11,  // popup "A|B", cannot vary over time
    TM_CENTRE = 12  // point (10, 20)
};

typedef struct {
    PF_Cmd cmd;
    PF_Err result;
    A_long current_time, time_step, total_time;
    A_u_long time_scale;
    A_long width, height, appl_id, quality, num_params;
    A_short version_major, version_minor;
    PF_RationalScale downsample_x, downsample_y, pixel_aspect;
    int had_params;
    A_long values[TM_PARAMS][4];  // raw record values: fixed as 16.16, colour a r g b, point x y
    A_long ui_flags[TM_PARAMS];
    A_long extra_index;  // USER_CHANGED_PARAM
    A_long bitdepth;  // smart pre-render / render input
    PF_PixelFormat format;  // what PF_GetPixelFormat said about the checked-out layer
    A_long world_flags;  // legacy: output world flags
    double layer_red;  // red of the layer's pixel (0,0) at the render time
    double other_red;  // red of pixel (0,0) of the layer checked out at another time
    A_long other_amount;  // raw "Amount" checked out at another time
    A_long num_keys;  // keys of "Amount" through the stream suite
    A_long prerender_rect[4];  // result rect of the pre-render
} TmRecord;

typedef struct {
    char resource_path[260];
    void* instance;
    unsigned long main_window;
    PF_Boolean headless;
    // The host's tables as global set-up saw them, so tests can call the host directly.
    SPBasicSuite* basic;
    PF_UtilCallbacks* utils;
    PF_InteractCallbacks inter;
    PF_ProgPtr ref;
} TmInfo;

typedef void (*TmResetFunc)(void);
typedef void (*TmSetFunc)(const char* key, long value);
typedef int (*TmCountFunc)(void);
typedef const TmRecord* (*TmRecordFunc)(int index);
typedef const TmInfo* (*TmInfoFunc)(void);

/* Knobs of tm_set:
 *   "fail_cmd" / "fail_code": the command that fails and its result (message "test module failure")
 *   "fail_quiet": 1 = failures leave the return message empty
 *   "leak_handle": 1 = a render allocates a handle and keeps it
 *   "alloc_in_render": n = a render allocates n handles (returns out of memory when one fails)
 *   "other_time": k = a render checks out the layer and "Amount" k frames away (0 = none)
 *   "leak_param_checkout", "skip_layer_checkin": 1 = does not give those back
 *   "ignore_cancel": 1 = ends a cancelled render with PF_Err_NONE
 *   "num_params_off": n is added to out_data->num_params at parameter set-up
 *   "no_smart": 1 = global set-up claims no smart render
 */

#ifdef __cplusplus
}
#endif
#endif
