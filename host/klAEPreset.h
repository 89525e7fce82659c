#pragma once
// The preset writer: dumps the current value of every mapped parameter as source text that a
// developer pastes into an effect's table of factory presets. A render writes one when the
// effect has a boolean parameter "savePreset" that is on.
//
// File: "<directory>//HHMMSS_DDMMYYYY.preset" in the module's directory, from the local time with
// the month counted from 0 (3 January 2010 at 09:05:07 gives 090507_03002010.preset). Contents:
//   case(Kiln::<PluginName>Presets::e<PresetName>): {
//   \tsetBoolParam("name",1);                 one line per parameter, in the order of the
//   ...                                       adapter's mapping table (by name)
//   }
// Choices, and any kind without a line format, write nothing. The values are what the adapter's
// getters return at the render time: a scale as a fraction, an angle in radians, colours 0..1.
#include "host/klAEWrapperHost.h"

#include <ctime>
#include <iosfwd>
#include <string>

namespace Kiln::AfterEffects::Preset {

inline constexpr const char* kSwitchName = "savePreset";
inline constexpr const char* kHeader = "case(Kiln::<PluginName>Presets::e<PresetName>): {";
inline constexpr const char* kFooter = "}";
// The longest file name written, with its terminating NUL.
inline constexpr size_t kNameLimit = 256;

// The directory of the resource file: the path cut at its last '/', or "." when it has none.
std::string directoryOf(const char* resourcePath);
// The file name for that local time, "" when it would not fit in kNameLimit.
std::string fileName(const std::string& directory, const std::tm& localTime);

// The line of one parameter of that kind with its values (as many as the kind has: Bool and Int
// their number, colours r, g, b[, a], Double2 x, y), ending in a line feed; "" for a kind that
// writes no line.
std::string formatLine(Wrapper::ParamKind kind, const std::string& name, const double values[4]);
// The whole text for the adapter's parameters at `time`. A getter's exception propagates.
std::string presetText(Wrapper::Host& host, double time);
// Writes the text into `path` (created or truncated); false when the file cannot be written.
bool writeFile(const std::string& path, const std::string& text);
// Composes the text first, then writes it into fileName(directoryOf(resourcePath), localTime), so
// that a failing read leaves no file behind. Returns the path written, "" when nothing was.
std::string writePreset(Wrapper::Host& host, const char* resourcePath, const std::tm& localTime, double time);

// Whether the adapter maps a boolean "savePreset" that is on at `time`.
bool presetAsked(Wrapper::Host& host, double time);

}  // namespace Kiln::AfterEffects::Preset
