// A tiny effect module for the runner's tests: declares one control of each kind, copies its layer to the
// output (green channel = "Count"), records what every call receives, and misbehaves on request.
#include "tests/runner/test_module_api.h"

#include <cstring>
#include <map>
#include <string>

#define TM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

TmRecord g_records[TM_MAX_RECORDS];
int g_count = 0;
TmInfo g_info;
std::map<std::string, long> g_knobs;

long knob(const char* key)
{
    auto it = g_knobs.find(key);
    return it == g_knobs.end() ? 0 : it->second;
}

struct Sequence {
    int32_t words[5];
};

void record(PF_Cmd cmd, const PF_InData* in, PF_ParamDef* params[], TmRecord& r)
{
    std::memset(&r, 0, sizeof r);
    r.cmd = cmd;
    r.current_time = in->current_time;
    r.time_step = in->time_step;
    r.total_time = in->total_time;
    r.time_scale = in->time_scale;
    r.width = in->width;
    r.height = in->height;
    r.appl_id = in->appl_id;
    r.quality = in->quality;
    r.num_params = in->num_params;
    r.version_major = in->version.major;
    r.version_minor = in->version.minor;
    r.downsample_x = in->downsample_x;
    r.downsample_y = in->downsample_y;
    r.pixel_aspect = in->pixel_aspect_ratio;
    r.extra_index = -1;
    r.had_params = params != nullptr;
    if (!params) return;
    for (int i = 1; i < TM_PARAMS && i < in->num_params; ++i) {
        const PF_ParamDef* p = params[i];
        r.ui_flags[i] = p->ui_flags;
        A_long* v = r.values[i];
        switch (p->param_type) {
        case PF_Param_SLIDER: v[0] = p->u.sd.value; break;
        case PF_Param_FIX_SLIDER: v[0] = p->u.fd.value; break;
        case PF_Param_ANGLE: v[0] = p->u.ad.value; break;
        case PF_Param_CHECKBOX: v[0] = p->u.bd.value; break;
        case PF_Param_POPUP: v[0] = p->u.pd.value; break;
        case PF_Param_COLOR:
            v[0] = p->u.cd.value.alpha;
            v[1] = p->u.cd.value.red;
            v[2] = p->u.cd.value.green;
            v[3] = p->u.cd.value.blue;
            break;
        case PF_Param_POINT:
            v[0] = p->u.td.x_value;
            v[1] = p->u.td.y_value;
            break;
        default: break;
        }
    }
}

double redOf(const PF_EffectWorld* w)
{
    if (!w || !w->data) return -1;
    if (w->pixel_format == PF_PixelFormat_ARGB128) return static_cast<const PF_PixelFloat*>(w->data)->red;
    if (w->world_flags & PF_WorldFlag_DEEP) return static_cast<const PF_Pixel16*>(w->data)->red;
    return static_cast<const PF_Pixel*>(w->data)->red;
}

// 0 = 8 bits, 1 = 16 bits, 2 = float
int depthOf(const PF_EffectWorld* w, PF_PixelFormat format)
{
    if (format == PF_PixelFormat_ARGB128) return 2;
    if (format == PF_PixelFormat_ARGB64) return 1;
    if (format == PF_PixelFormat_ARGB32) return 0;
    return (w->world_flags & PF_WorldFlag_DEEP) ? 1 : 0;
}

PF_Err fail(PF_InData* in, PF_OutData* out, PF_Err code, const char* text)
{
    if (knob("fail_quiet")) return code;
    in->utils->ansi.strcpy(out->return_msg, text);
    out->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    return code;
}

// Copies the layer, sets green to "Count", asks progress once per row.
PF_Err copyLayer(PF_InData* in, PF_OutData* out, const PF_EffectWorld* src, PF_EffectWorld* dst, int depth,
                 long count)
{
    const int bpp = depth == 2 ? 16 : depth == 1 ? 8 : 4;
    for (A_long y = 0; y < dst->height; ++y) {
        if (in->inter.progress(in->effect_ref, y, dst->height) == PF_Interrupt_CANCEL)
            return knob("ignore_cancel") ? PF_Err_NONE : PF_Interrupt_CANCEL;
        auto* d = static_cast<char*>(dst->data) + y * dst->rowbytes;
        const auto* s = static_cast<const char*>(src->data) + y * src->rowbytes;
        std::memcpy(d, s, size_t(dst->width) * bpp);
        for (A_long x = 0; x < dst->width; ++x) {
            if (depth == 2)
                reinterpret_cast<PF_PixelFloat*>(d)[x].green = float(count) / 100.f;
            else if (depth == 1)
                reinterpret_cast<PF_Pixel16*>(d)[x].green = uint16_t(count);
            else
                reinterpret_cast<PF_Pixel*>(d)[x].green = uint8_t(count);
        }
    }
    (void)out;
    return PF_Err_NONE;
}

// The parts every render shares: memory and checkouts at another time.
PF_Err renderExtras(PF_InData* in, PF_OutData* out, TmRecord& r)
{
    PF_UtilCallbacks* u = in->utils;
    if (knob("leak_handle")) u->host_new_handle(32);
    const long n = knob("alloc_in_render");
    PF_Handle handles[64] = {};
    for (long i = 0; i < n && i < 64; ++i) {
        handles[i] = u->host_new_handle(64);
        if (!handles[i]) {
            for (long j = 0; j < i; ++j) u->host_dispose_handle(handles[j]);
            return fail(in, out, PF_Err_OUT_OF_MEMORY, "out of memory");
        }
    }
    for (long i = 0; i < n && i < 64; ++i) u->host_dispose_handle(handles[i]);

    if (const long k = knob("other_time")) {
        const A_long t = in->current_time + A_long(k) * in->time_step;
        PF_ParamDef layer, amount;
        PF_Err e = in->inter.checkout_param(in->effect_ref, 0, t, in->time_step, in->time_scale, &layer);
        if (e) return e;
        r.other_red = redOf(&layer.u.ld);
        e = in->inter.checkout_param(in->effect_ref, TM_AMOUNT, t, in->time_step, in->time_scale, &amount);
        if (e) return e;
        r.other_amount = amount.u.fd.value;
        if (!knob("leak_param_checkout")) {
            in->inter.checkin_param(in->effect_ref, &layer);
            in->inter.checkin_param(in->effect_ref, &amount);
        }
    }

    const AEGP_StreamSuite1* streams = nullptr;
    if (in->pica_basicP->AcquireSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion1, (const void**)&streams) ==
        0) {
        streams->GetNumKeys(in->effect_ref, TM_AMOUNT, &r.num_keys);
        in->pica_basicP->ReleaseSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion1);
    }
    return PF_Err_NONE;
}

PF_Err addParams(PF_InData* in, PF_OutData* out)
{
    auto add = [&](PF_ParamDef& d) { return in->inter.add_param(in->effect_ref, -1, &d); };
    PF_ParamDef d;
    PF_Err e = 0;
    auto fresh = [&](PF_ParamType type, const char* name, PF_ParamFlags flags) {
        std::memset(&d, 0, sizeof d);
        d.param_type = type;
        std::strncpy(d.name, name, sizeof d.name - 1);
        d.flags = flags;
    };
    auto fixed = [](double v) { return PF_Fixed(v * 65536); };

    fresh(PF_Param_FIX_SLIDER, "Amount", 0);
    d.u.fd = PF_FixedSliderDef{fixed(15), 0, fixed(5000), 0, fixed(100), fixed(15), 1, 0};
    if ((e = add(d))) return e;
    fresh(PF_Param_SLIDER, "Count", 0);
    d.u.sd = PF_SliderDef{6, 1, 10, 1, 10, 6};
    if ((e = add(d))) return e;
    {
        // The names live in a temporary: the host must keep its own copy.
        std::string names = "One|Two|Three";
        fresh(PF_Param_POPUP, "Mode", 0);
        d.u.pd.num_choices = 2;
        d.u.pd.dephault = 2;
        d.u.pd.value = 2;
        d.u.pd.namesptr = names.c_str();
        if ((e = add(d))) return e;
        names.assign(names.size(), 'X');
    }
    {
        std::string text = "Enable";
        fresh(PF_Param_CHECKBOX, "", 0);
        d.u.bd.nameptr = text.c_str();
        if ((e = add(d))) return e;
        text.assign(text.size(), 'X');
    }
    fresh(PF_Param_COLOR, "Tint", 0);
    d.u.cd.dephault = PF_Pixel{255, 63, 165, 76};
    d.u.cd.value = d.u.cd.dephault;
    if ((e = add(d))) return e;
    fresh(PF_Param_FIX_SLIDER, "Alpha", PF_ParamFlag_SUPERVISE);
    d.u.fd = PF_FixedSliderDef{fixed(100), 0, fixed(100), 0, fixed(100), fixed(100), 1, 0};
    if ((e = add(d))) return e;
    fresh(PF_Param_COLOR, "Edge", PF_ParamFlag_SUPERVISE);
    d.u.cd.dephault = PF_Pixel{255, 0, 0, 0};
    if ((e = add(d))) return e;
    fresh(PF_Param_GROUP_START, "Group", 0);
    if ((e = add(d))) return e;
    fresh(PF_Param_ANGLE, "Angle", 0);
    if ((e = add(d))) return e;
    fresh(PF_Param_GROUP_END, "Group", 0);
    if ((e = add(d))) return e;
    fresh(PF_Param_POPUP, "Fixed", PF_ParamFlag_CANNOT_TIME_VARY);
    d.u.pd = PF_PopupDef{1, 1, 1, "A|B"};
    if ((e = add(d))) return e;
    fresh(PF_Param_POINT, "Centre", 0);
    d.u.td = PF_PointDef{0, 0, fixed(10), fixed(20)};
    if ((e = add(d))) return e;
    out->num_params = TM_PARAMS + A_long(knob("num_params_off"));
    return PF_Err_NONE;
}

PF_Err sequenceSetup(PF_InData* in, PF_OutData* out)
{
    if (in->sequence_data) {
        in->utils->host_dispose_handle(in->sequence_data);
        out->sequence_data = nullptr;
    }
    PF_Handle h = in->utils->host_new_handle(sizeof(Sequence));
    if (!h) return fail(in, out, PF_Err_OUT_OF_MEMORY, "Failed to set up sequence data");
    auto* s = static_cast<Sequence*>(in->utils->host_lock_handle(h));
    std::memset(s, 0, sizeof *s);
    in->utils->host_unlock_handle(h);
    out->sequence_data = h;
    return PF_Err_NONE;
}

PF_Err updateUi(PF_InData* in, PF_ParamDef* params[])
{
    const PF_ParamUtilsSuite1* utils = nullptr;
    if (in->pica_basicP->AcquireSuite(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1, (const void**)&utils))
        return PF_Err_BAD_CALLBACK_PARAM;
    PF_ParamDef count = *params[TM_COUNT];
    if (params[TM_ENABLE]->u.bd.value)
        count.ui_flags &= ~PF_PUI_DISABLED;
    else
        count.ui_flags |= PF_PUI_DISABLED;
    const PF_Err e = utils->PF_UpdateParamUI(in->effect_ref, TM_COUNT, &count);
    in->pica_basicP->ReleaseSuite(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1);
    return e;
}

PF_Err dispatch(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef* output,
                void* extra, TmRecord& r)
{
    if (knob("fail_cmd") == cmd && knob("fail_code"))
        return fail(in, out, PF_Err(knob("fail_code")), "test module failure");
    PF_UtilCallbacks* u = in->utils;
    switch (cmd) {
    case PF_Cmd_GLOBAL_SETUP: {
        out->my_version = 0x00108605;
        out->out_flags |= PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING;
        if (!knob("no_smart"))
            out->out_flags2 |= PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
        PF_Handle g = u->host_new_handle(16);
        if (!g) return PF_Err_OUT_OF_MEMORY;
        out->global_data = g;
        u->get_platform_data(in->effect_ref, PF_PlatData_RES_FILE_PATH, g_info.resource_path);
        u->get_platform_data(in->effect_ref, PF_PlatData_INSTANCE, &g_info.instance);
        u->get_platform_data(in->effect_ref, PF_PlatData_MAIN_WND, &g_info.main_window);
        g_info.basic = in->pica_basicP;
        g_info.utils = in->utils;
        g_info.inter = in->inter;
        g_info.ref = in->effect_ref;
        const PF_AppSuite1* app = nullptr;
        if (in->pica_basicP->AcquireSuite(kPFAppSuite, kPFAppSuiteVersion1, (const void**)&app) == 0) {
            app->PF_IsHeadless(&g_info.headless);
            in->pica_basicP->ReleaseSuite(kPFAppSuite, kPFAppSuiteVersion1);
        }
        return PF_Err_NONE;
    }
    case PF_Cmd_GLOBAL_SETDOWN:
        if (in->global_data) u->host_dispose_handle(in->global_data);
        out->global_data = nullptr;
        return PF_Err_NONE;
    case PF_Cmd_PARAMS_SETUP: return addParams(in, out);
    case PF_Cmd_SEQUENCE_SETUP: return sequenceSetup(in, out);
    case PF_Cmd_SEQUENCE_RESETUP: return sequenceSetup(in, out);
    case PF_Cmd_SEQUENCE_SETDOWN:
        if (in->sequence_data) u->host_dispose_handle(in->sequence_data);
        out->sequence_data = nullptr;
        return PF_Err_NONE;
    case PF_Cmd_USER_CHANGED_PARAM: {
        const auto* changed = static_cast<const PF_UserChangedParamExtra*>(extra);
        r.extra_index = changed ? changed->param_index : -1;
        if (r.extra_index == TM_ALPHA) {
            params[TM_EDGE]->u.cd.value.alpha =
                A_u_char(params[TM_ALPHA]->u.fd.value / 65536.0 / 100.0 * 255.0);
            params[TM_EDGE]->change_flags = PF_ChangeFlag_CHANGED_VALUE;
        }
        return PF_Err_NONE;
    }
    case PF_Cmd_UPDATE_PARAMS_UI: return updateUi(in, params);
    case PF_Cmd_RENDER: {
        r.world_flags = output->world_flags;
        r.layer_red = redOf(&params[0]->u.ld);
        if (PF_Err e = renderExtras(in, out, r)) return e;
        const int depth = (output->world_flags & PF_WorldFlag_DEEP) ? 1 : 0;
        return copyLayer(in, out, &params[0]->u.ld, output, depth, params[TM_COUNT]->u.sd.value);
    }
    case PF_Cmd_SMART_PRE_RENDER: {
        auto* pre = static_cast<PF_PreRenderExtra*>(extra);
        r.bitdepth = pre->input->bitdepth;
        PF_CheckoutResult res;
        if (PF_Err e = pre->cb->checkout_layer(in->effect_ref, 0, 0, &pre->input->output_request,
                                               in->current_time, in->time_step, in->time_scale, &res))
            return e;
        pre->output->result_rect = res.result_rect;
        pre->output->max_result_rect = res.max_result_rect;
        r.prerender_rect[0] = res.result_rect.left;
        r.prerender_rect[1] = res.result_rect.top;
        r.prerender_rect[2] = res.result_rect.right;
        r.prerender_rect[3] = res.result_rect.bottom;
        return PF_Err_NONE;
    }
    case PF_Cmd_SMART_RENDER: {
        auto* smart = static_cast<PF_SmartRenderExtra*>(extra);
        r.bitdepth = smart->input->bitdepth;
        const PF_WorldSuite2* worlds = nullptr;
        if (in->pica_basicP->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, (const void**)&worlds))
            return PF_Err_BAD_CALLBACK_PARAM;
        PF_EffectWorld* layer = nullptr;
        PF_EffectWorld* dst = nullptr;
        PF_Err e = smart->cb->checkout_layer_pixels(in->effect_ref, 0, &layer);
        if (!e) e = smart->cb->checkout_output(in->effect_ref, &dst);
        if (!e) {
            r.format = PF_PixelFormat_INVALID;
            worlds->PF_GetPixelFormat(layer, &r.format);
            r.layer_red = redOf(layer);
            if (r.format != PF_PixelFormat_ARGB128 && r.format != PF_PixelFormat_ARGB64 &&
                r.format != PF_PixelFormat_ARGB32)
                e = PF_Err_BAD_CALLBACK_PARAM;
        }
        if (!e) e = renderExtras(in, out, r);
        if (!e) e = copyLayer(in, out, layer, dst, depthOf(layer, r.format), params[TM_COUNT]->u.sd.value);
        if (layer && !knob("skip_layer_checkin")) smart->cb->checkin_layer_pixels(in->effect_ref, 0);
        in->pica_basicP->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
        return e;
    }
    case PF_Cmd_EVENT: {
        // Draws a control's area in one colour: red = the control's index.
        auto* event = static_cast<PF_EventExtra*>(extra);
        r.extra_index = event->e_type;
        if (event->e_type != PF_Event_DRAW) return PF_Err_NONE;
        PF_EffectWorld* canvas = nullptr;
        if (PF_Err e = u->get_drawing_reference(in->effect_ref, event->contextH, &canvas)) return e;
        const PF_Rect f = event->effect_win.current_frame;
        for (A_long y = f.top; y < f.bottom; ++y)
            for (A_long x = f.left; x < f.right; ++x)
                reinterpret_cast<PF_Pixel*>(static_cast<char*>(canvas->data) + y * canvas->rowbytes)[x] =
                    PF_Pixel{255, A_u_char(event->effect_win.index), 0, 0};
        event->evt_out_flags = PF_EO_HANDLED_EVENT;
        return PF_Err_NONE;
    }
    default: return PF_Err_NONE;
    }
}

// The exported entry is `main`; its C++ name differs because main is the program's entry in C++.
PF_Err entry(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef* output,
             void* extra)
{
    TmRecord scratch;
    TmRecord& r = g_count < TM_MAX_RECORDS ? g_records[g_count++] : scratch;
    record(cmd, in, params, r);
    r.result = dispatch(cmd, in, out, params, output, extra, r);
    return r.result;
}

}  // namespace

TM_EXPORT PF_Err tm_main(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[],
                         PF_LayerDef* output, void* extra) __asm__("main");
TM_EXPORT PF_Err tm_main(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[],
                         PF_LayerDef* output, void* extra)
{
    return entry(cmd, in, out, params, output, extra);
}

TM_EXPORT const KlRegistration kiln_registration = {KL_FOURCC('e', 'F', 'K', 'T'),
                                                    "Runner Test",
                                                    "Tests",
                                                    "main",
                                                    2,
                                                    13,
                                                    28,
                                                    0x00108605,
                                                    "Runner Test 1",
                                                    0,
                                                    PF_OutFlag_DEEP_COLOR_AWARE,
                                                    PF_OutFlag2_SUPPORTS_SMART_RENDER,
                                                    {0, 0}};

TM_EXPORT const char* const kiln_param_script_names[] = {"",         "amount", "count",  "mode",  "enable",
                                                         "tint",     "alpha",  "edge",   "group", "angle",
                                                         "groupEnd", "fixed",  "centre", nullptr};

TM_EXPORT void tm_reset()
{
    g_count = 0;
    g_knobs.clear();
    std::memset(&g_info, 0, sizeof g_info);
}

TM_EXPORT void tm_set(const char* key, long value) { g_knobs[key] = value; }
TM_EXPORT int tm_count() { return g_count; }
TM_EXPORT const TmRecord* tm_record(int index)
{
    return index >= 0 && index < g_count ? &g_records[index] : nullptr;
}
TM_EXPORT const TmInfo* tm_info() { return &g_info; }
