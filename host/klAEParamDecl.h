#pragma once
// How one control of the controls table becomes the host's parameter record (PF_Cmd_PARAMS_SETUP).
#include "effect/klWatchcamControls.h"
#include "sdk/klHostAPI.h"

namespace Kiln::AfterEffects {

// The About control's size when there is no title bitmap.
inline constexpr int32_t kAboutDefaultWidth = 300;
inline constexpr int32_t kAboutDefaultHeight = 50;

// A value as 16.16 fixed point, rounded and saturated to the 32-bit range.
PF_Fixed toFixed(double v);
// Decimal places a fixed slider shows: 1 when its slider maximum is above 10, else 2.
A_short fixedPrecision(double sliderMax);
// The record add_param receives for a control; the About control gets the given UI size.
PF_ParamDef controlDefinition(const Kiln::Watchcam::ControlSpec& control, int32_t aboutWidth,
                              int32_t aboutHeight);

}  // namespace Kiln::AfterEffects
