// A pass-through effect module for the renderer's tests and benchmark: the output is the input layer,
// exactly, at every depth and on both render paths, so whole renders have pixels known in advance.
// With "Mode" at "Earlier" it shows the layer "Delay" frames back (as time remapping asks for frames).
// It asks for progress on every row (so interrupts land) and, when PASSTHROUGH_ROW_DELAY_US is set,
// sleeps that long per row so a test can interrupt it mid-frame. With PASSTHROUGH_ASPECT_FILE set it
// writes the layer's pixel aspect there ("num/den") at every render. PASSTHROUGH_FAIL_FRAME=N makes it refuse
// frame N with a message, as a module out of memory would.
#include "sdk/klHostAPI.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#define PT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum { PT_MODE = 1, PT_DELAY = 2, PT_AMOUNT = 3, PT_PARAMS = 4 };

long rowDelayMicroseconds()
{
    const char* v = std::getenv("PASSTHROUGH_ROW_DELAY_US");
    return v ? std::atol(v) : 0;
}

// The host's frame being rendered refused on request (see above): an error code and a return message.
PF_Err refusal(const PF_InData* in, PF_OutData* out)
{
    const char* v = std::getenv("PASSTHROUGH_FAIL_FRAME");
    if (!v || in->time_step <= 0 || in->current_time / in->time_step != std::atol(v)) return PF_Err_NONE;
    std::strncpy(out->return_msg, "not enough memory for this frame", sizeof out->return_msg - 1);
    return PF_Err_OUT_OF_MEMORY;
}

A_long sourceTime(const PF_InData* in, PF_ParamDef* params[])
{
    if (params[PT_MODE]->u.pd.value != 2) return in->current_time;
    return in->current_time - params[PT_DELAY]->u.sd.value * in->time_step;
}

void reportAspect(const PF_InData* in)
{
    const char* file = std::getenv("PASSTHROUGH_ASPECT_FILE");
    if (!file) return;
    if (std::FILE* f = std::fopen(file, "w")) {
        std::fprintf(f, "%d/%u", int(in->pixel_aspect_ratio.num), unsigned(in->pixel_aspect_ratio.den));
        std::fclose(f);
    }
}

PF_Err copyRows(PF_InData* in, const PF_EffectWorld* src, PF_EffectWorld* dst, int bytesPerPixel)
{
    reportAspect(in);
    const long delay = rowDelayMicroseconds();
    for (A_long y = 0; y < dst->height; ++y) {
        if (in->inter.progress(in->effect_ref, y, dst->height) == PF_Interrupt_CANCEL)
            return PF_Interrupt_CANCEL;
        if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
        std::memcpy(static_cast<char*>(dst->data) + size_t(y) * size_t(dst->rowbytes),
                    static_cast<const char*>(src->data) + size_t(y) * size_t(src->rowbytes),
                    size_t(dst->width) * bytesPerPixel);
    }
    return PF_Err_NONE;
}

PF_Err addParams(PF_InData* in, PF_OutData* out)
{
    PF_ParamDef d;
    auto fresh = [&](PF_ParamType type, const char* name) {
        std::memset(&d, 0, sizeof d);
        d.param_type = type;
        std::strncpy(d.name, name, sizeof d.name - 1);
    };
    fresh(PF_Param_POPUP, "Mode");
    d.u.pd = PF_PopupDef{1, 2, 1, "Copy|Earlier"};
    if (PF_Err e = in->inter.add_param(in->effect_ref, -1, &d)) return e;
    fresh(PF_Param_SLIDER, "Delay");
    d.u.sd = PF_SliderDef{2, 0, 100, 0, 10, 2};
    if (PF_Err e = in->inter.add_param(in->effect_ref, -1, &d)) return e;
    fresh(PF_Param_FIX_SLIDER, "Amount");
    d.u.fd = PF_FixedSliderDef{50 << 16, 0, 200 << 16, 0, 100 << 16, 50 << 16, 1, 1};
    if (PF_Err e = in->inter.add_param(in->effect_ref, -1, &d)) return e;
    out->num_params = PT_PARAMS;
    return PF_Err_NONE;
}

PF_Err smartRender(PF_InData* in, PF_SmartRenderExtra* extra)
{
    PF_EffectWorld* layer = nullptr;
    PF_EffectWorld* output = nullptr;
    PF_Err e = extra->cb->checkout_layer_pixels(in->effect_ref, 0, &layer);
    if (!e) e = extra->cb->checkout_output(in->effect_ref, &output);
    const int bytes = extra->input->bitdepth == 32 ? 16 : extra->input->bitdepth == 16 ? 8 : 4;
    if (!e) e = copyRows(in, layer, output, bytes);
    if (layer) extra->cb->checkin_layer_pixels(in->effect_ref, 0);
    return e;
}

PF_Err legacyRender(PF_InData* in, PF_ParamDef* params[], PF_LayerDef* output)
{
    const int bytes = (output->world_flags & PF_WorldFlag_DEEP) ? 8 : 4;
    const A_long t = sourceTime(in, params);
    if (t == in->current_time) return copyRows(in, &params[0]->u.ld, output, bytes);
    PF_ParamDef layer;
    if (PF_Err e = in->inter.checkout_param(in->effect_ref, 0, t, in->time_step, in->time_scale, &layer))
        return e;
    const PF_Err e = copyRows(in, &layer.u.ld, output, bytes);
    in->inter.checkin_param(in->effect_ref, &layer);
    return e;
}

PF_Err entry(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef* output,
             void* extra)
{
    switch (cmd) {
    case PF_Cmd_GLOBAL_SETUP:
        out->out_flags |= PF_OutFlag_DEEP_COLOR_AWARE;
        out->out_flags2 |= PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
        return PF_Err_NONE;
    case PF_Cmd_PARAMS_SETUP: return addParams(in, out);
    case PF_Cmd_SMART_PRE_RENDER: {
        auto* pre = static_cast<PF_PreRenderExtra*>(extra);
        PF_CheckoutResult result;
        if (PF_Err e =
                pre->cb->checkout_layer(in->effect_ref, 0, 0, &pre->input->output_request,
                                        sourceTime(in, params), in->time_step, in->time_scale, &result))
            return e;
        pre->output->result_rect = result.result_rect;
        pre->output->max_result_rect = result.max_result_rect;
        return PF_Err_NONE;
    }
    case PF_Cmd_SMART_RENDER:
        if (PF_Err e = refusal(in, out)) return e;
        return smartRender(in, static_cast<PF_SmartRenderExtra*>(extra));
    case PF_Cmd_RENDER:
        if (PF_Err e = refusal(in, out)) return e;
        return legacyRender(in, params, output);
    default: return PF_Err_NONE;
    }
}

}  // namespace

// The entry is exported as `main`; in C++ that name belongs to programs, hence the assembler name.
PT_EXPORT PF_Err pt_main(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[],
                         PF_LayerDef* output, void* extra) __asm__("main");
PT_EXPORT PF_Err pt_main(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[],
                         PF_LayerDef* output, void* extra)
{
    return entry(cmd, in, out, params, output, extra);
}

PT_EXPORT const KlRegistration kiln_registration = {KL_FOURCC('e', 'F', 'K', 'T'),
                                                    "Pass Through",
                                                    "Tests",
                                                    "main",
                                                    2,
                                                    13,
                                                    28,
                                                    0x00010000,
                                                    "Pass Through",
                                                    0,
                                                    PF_OutFlag_DEEP_COLOR_AWARE,
                                                    PF_OutFlag2_SUPPORTS_SMART_RENDER |
                                                        PF_OutFlag2_FLOAT_COLOR_AWARE,
                                                    {0, 0}};

PT_EXPORT const char* const kiln_param_script_names[] = {"", "mode", "delay", "amount", nullptr};
