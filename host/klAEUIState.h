#pragma once
// Control logic outside renders: which dependent controls are enabled, and the mirror between
// "Edge Colour"'s alpha and its own "Edge Colour Alpha" slider.
//
// The command handlers (PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI and
// updateParamUIState) are declared in klAEHooks.h; these are the rules they apply.
#include "sdk/klHostAPI.h"

#include <vector>

namespace Kiln::AfterEffects {

// Edge alpha from the slider: (value ÷ 65536) ÷ 100 × 255, clamped into 0..255, truncated (50 gives 127).
A_u_char edgeAlphaFromSlider(PF_Fixed slider);
// The slider from the edge alpha: trunc(alpha ÷ 255 × 100 × 65536).
PF_Fixed sliderFromEdgeAlpha(A_u_char alpha);

// Whether a control is enabled, by host index.
struct ControlEnable {
    PF_ParamIndex index;
    bool enabled;
};

// The state of every dependent control from the controls it depends on (popups as 1-based host
// items), in the order the rules are applied:
//   "Blend", "Effect Gain", "Source Gain"  enabled when "Method" is above 1 (not None)
//   "Edge Colour Alpha"                    disabled when "Process" is 1 (RGB) or 3
//   "Tint Colour"                          enabled when "TV Type" is 3 (Tint)
//   "Quantise Levels"                      enabled when "Quantise" is on
//   "Shash Period"                         enabled when "Shash Type" is 6 (Random)
//   "Clamp 0-1 (32 bpc)"                   always disabled
std::vector<ControlEnable> dependentControls(A_long methodItem, A_long processItem, A_long tvTypeItem,
                                             bool quantise, A_long shashTypeItem);

}  // namespace Kiln::AfterEffects
