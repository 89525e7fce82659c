/*
 * The effect's controls as `watchcam controls` lists them: one row per control with its parameter number,
 * label, script name, type, default, slider and valid range, the module's one-line description and the
 * choices, in display units. Group ends are left out; group starts appear as headings of type "group".
 */
#ifndef KL_CONTROLS_TABLE_H
#define KL_CONTROLS_TABLE_H

#include "runner/klRunner.h"

#include <string>
#include <vector>

namespace Kiln::Footage {

// "float", "int", "angle", "checkbox", "colour", "point", "choice", "group", "layer".
std::string controlTypeName(const Runner::ControlInfo& control);
// A value of the control as the user writes it: "15.0", "50%", "on", "#FF8000", "0.5,0.5", "Normal".
std::string formatControlValue(const Runner::ControlInfo& control, const Runner::ParamValue& value);
// "lo..hi" for sliders, empty otherwise.
std::string formatSliderRange(const Runner::ControlInfo& control);
std::string formatValidRange(const Runner::ControlInfo& control);

// The whole table, columns aligned, ending in a newline.
std::string formatControls(const std::vector<Runner::ControlInfo>& controls);

}  // namespace Kiln::Footage

#endif
