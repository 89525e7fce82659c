/*
 * Preset files: a parameter-set document (root element "paramset") holding control values. Each child
 * element names one control by its script name; the element name is the control's kind and the value is
 * written exactly as --set takes it:
 *
 *   <paramset>
 *     <choice name='TVType' value='Tint' />
 *     <rgb name='tintColour' value='63,165,76' />
 *     <double name='contrast' value='30' />
 *     <bool name='quantise' value='on' />
 *     <int name='quantiseLevels' value='6' />
 *     <double name='playSpeed' keys='0:100,48:0' />
 *   </paramset>
 *
 * Kinds: "double" (sliders with decimals), "int" (whole-number sliders), "bool" (checkboxes), "choice",
 * "rgb" (colours; "rgba" is read too), "angle", "pos2d". `keys` animates a control (FRAME:VALUE pairs,
 * the input's frame numbers). Controls a preset leaves out keep their values. Unknown names, values of the
 * wrong form or outside a control's valid range, and a control given twice are errors; every error names
 * the file and the line, and quotes at most the first few characters of a long value.
 */
#ifndef KL_PRESET_FILE_H
#define KL_PRESET_FILE_H

#include "controls/klControlOptions.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace Kiln::Footage {

// The element a control's value is written as; empty for a control without a value.
std::string presetTypeName(const Runner::ControlInfo& control);

// The largest preset read: more is refused before reading, with its size.
inline constexpr long kMaxPresetBytes = 64L << 20;

// The settings a document gives, by position in `controls`. FootageError(name, "line N: ...") for any
// error in the document.
ControlSettings readPresetText(const std::vector<Runner::ControlInfo>& controls, const std::string& text,
                               const std::string& name);
// The same for a file; FootageError(path, ...) also when it cannot be read.
ControlSettings readPresetFile(const std::vector<Runner::ControlInfo>& controls, const std::string& path);

// One element per entry of `values` that is a value control with a script name, in control order.
void writePreset(std::ostream& out, const std::vector<Runner::ControlInfo>& controls,
                 const ControlSettings& values);

}  // namespace Kiln::Footage

#endif
