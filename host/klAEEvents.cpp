#include "host/klAEEvents.h"

#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"

#include <algorithm>
#include <cstring>

namespace Kiln::AfterEffects {

PF_Point titleOrigin(const PF_Rect& frame, A_long width, A_long height)
{
    const A_long left = frame.left + ((frame.right - frame.left) / 2 - width / 2);
    const A_long top = frame.top + ((frame.bottom - frame.top) / 2 - height / 2);
    return {std::max(left, frame.left), std::max(top, frame.top)};
}

void blitBitmap(const KlBitmap& bitmap, PF_EffectWorld& canvas, A_long x, A_long y, const PF_Rect& clip)
{
    if (canvas.data == nullptr || bitmap.pixels == nullptr) return;
    const A_long x0 = std::max({x, clip.left, A_long(0)});
    const A_long y0 = std::max({y, clip.top, A_long(0)});
    const A_long x1 = std::min({x + bitmap.width, clip.right, canvas.width});
    const A_long y1 = std::min({y + bitmap.height, clip.bottom, canvas.height});
    if (x1 <= x0 || y1 <= y0) return;
    for (A_long row = y0; row < y1; ++row) {
        const uint8_t* src = bitmap.pixels + static_cast<ptrdiff_t>(row - y) * bitmap.rowBytes + (x0 - x) * 4;
        auto* dst =
            static_cast<uint8_t*>(canvas.data) + static_cast<ptrdiff_t>(row) * canvas.rowbytes + x0 * 4;
        std::memcpy(dst, src, static_cast<size_t>(x1 - x0) * 4);
    }
}

namespace {

bool onAboutControl(const PF_EventExtra& e)
{
    return e.contextH->w_type == PF_Window_EFFECT && e.effect_win.index == kAboutControl &&
           e.effect_win.area == PF_EA_CONTROL;
}

void drawAboutControl(PF_InData* in_data, PF_EventExtra& e)
{
    const KlBitmap* title = titleBitmap(in_data);
    PF_UtilCallbacks* u = in_data->utils;
    PF_EffectWorld* canvas = nullptr;
    if (title && u && u->get_drawing_reference &&
        u->get_drawing_reference(in_data->effect_ref, e.contextH, &canvas) == PF_Err_NONE && canvas &&
        (canvas->world_flags & PF_WorldFlag_DEEP) == 0) {
        const PF_Rect& frame = e.effect_win.current_frame;
        const PF_Point at = titleOrigin(frame, title->width, title->height);
        // The picture stays inside the control's own area.
        blitBitmap(*title, *canvas, at.h, at.v, frame);
    }
    e.evt_out_flags |= PF_EO_HANDLED_EVENT;
}

unsigned long mainWindow(PF_InData* in_data, PF_Err* err)
{
    unsigned long window = 0;
    *err = PF_Err_NONE;
    if (in_data && in_data->utils && in_data->utils->get_platform_data)
        *err = in_data->utils->get_platform_data(in_data->effect_ref, PF_PlatData_MAIN_WND, &window);
    return window;
}

void openAboutBox(PF_InData* in_data, unsigned long window)
{
    char path[260];
    resourcePath(in_data, path);
    if (path[0] == '\0' && in_data && in_data->utils && in_data->utils->get_platform_data) {
        in_data->utils->get_platform_data(in_data->effect_ref, PF_PlatData_RES_FILE_PATH, path);
        path[sizeof(path) - 1] = '\0';
    }
    showAboutBox(in_data, window, path);
}

}  // namespace

PF_Err handleEvent(PF_InData* in_data, PF_OutData*, PF_EventExtra* extra)
{
    if (in_data == nullptr || extra == nullptr || extra->contextH == nullptr) return PF_Err_NONE;
    PF_EventExtra& e = *extra;
    switch (e.e_type) {
    case PF_Event_NEW_CONTEXT:
        // The effect-controls window keeps no objects of ours; no overlay is installed elsewhere.
        if (e.contextH->w_type == PF_Window_EFFECT) {
            e.contextH->saved_object[0] = nullptr;
            e.contextH->saved_object[1] = nullptr;
        }
        break;
    case PF_Event_DRAW:
        if (onAboutControl(e)) drawAboutControl(in_data, e);
        break;
    case PF_Event_DO_CLICK:
        if (onAboutControl(e)) {
            PF_Err ignored;
            openAboutBox(in_data, mainWindow(in_data, &ignored));
            e.evt_out_flags |= PF_EO_HANDLED_EVENT;
        }
        break;
    default: break;
    }
    return PF_Err_NONE;
}

PF_Err about(PF_InData* in_data, PF_OutData* out_data)
{
    PF_Err err = PF_Err_NONE;
    const unsigned long window = mainWindow(in_data, &err);
    openAboutBox(in_data, window);
    setReturnMessage(out_data, "");
    return err;
}

}  // namespace Kiln::AfterEffects
