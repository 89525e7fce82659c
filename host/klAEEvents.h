#pragma once
// The About control and the About command: custom-UI events and PF_Cmd_ABOUT.
#include "host/resources/klResources.h"
#include "sdk/klHostAPI.h"

namespace Kiln::AfterEffects {

// The parameter index of the About control.
inline constexpr PF_ParamIndex kAboutControl = 1;

// Top-left corner of a width x height picture centred in frame, never left of or above the frame.
PF_Point titleOrigin(const PF_Rect& frame, A_long width, A_long height);
// Copies the bitmap into an 8-bit canvas with its top-left corner at (x, y), only inside clip
// and the canvas (canvas pixel coordinates).
void blitBitmap(const KlBitmap& bitmap, PF_EffectWorld& canvas, A_long x, A_long y, const PF_Rect& clip);

// PF_Cmd_EVENT.
PF_Err handleEvent(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra);
// PF_Cmd_ABOUT: the About box over the host's main window, then an empty return message. Returns
// the host's answer to the main-window query.
PF_Err about(PF_InData* in_data, PF_OutData* out_data);

}  // namespace Kiln::AfterEffects
