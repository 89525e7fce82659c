#pragma once
// The filter's settings: the effect's controls as OBS properties, and their values in one filter.
//
// Every control that means something to a live filter is a setting named by its script name, in the
// controls table's order (effect/klWatchcamControls.h says label, range, default and description; nothing
// here repeats it). "Play Speed" is left out: a live filter is handed each frame once, when it is shown,
// and can neither run ahead of the source nor go back.
//
// Values are kept in the controls' own units, as the user sees them:
//   sliders    the slider's number; beyond the slider's range up to the control's valid range (a scene
//              file or obs-websocket can store what the slider cannot reach). Whole-number sliders round,
//              the others keep the 1/65536 steps the plug-in module's host stores, so that the effect sees
//              the numbers `watchcam --set` gives it.
//   check box  0 or 1
//   choice     the entry, 0-based; stored in OBS by entry name, which keeps scene files readable
//   colour     8-bit red, green, blue; OBS stores 0xAABBGGRR and the alpha is ignored (the edge colour's
//              alpha is its own slider)
// A value OBS can store but that means nothing here is clamped into the valid range (out of range) or
// refused, keeping the value before it (NaN, an unknown entry, a value of the wrong type); either way the
// setter says so in one line for OBS's log.
#include "effect/klWatchcamControls.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Kiln::Obs {

// Whether a control of the table is one of the filter's settings.
bool isSetting(const Kiln::Watchcam::ControlSpec& c);

// What became of a stored value.
enum class Outcome { Taken, Clamped, Refused };

class Values {
public:
    Values();  // every setting at its default

    // Sliders and check boxes, in the control's units (a check box is on at 0.5 and above).
    Outcome setNumber(int32_t control, double value, std::string& why);
    // A choice by entry name (exact, then in any case).
    Outcome setChoice(int32_t control, std::string_view entry, std::string& why);
    // A colour as OBS stores it: 0xAABBGGRR.
    Outcome setColour(int32_t control, uint32_t abgr, std::string& why);

    // Sliders in their units, check boxes 0 or 1, choices the 0-based entry.
    double number(int32_t control) const { return number_[size_t(control)]; }
    const std::array<uint8_t, 3>& colour(int32_t control) const { return rgb_[size_t(control)]; }

    // A choice's entry name.
    std::string entryName(int32_t control) const;

    bool operator==(const Values&) const = default;

private:
    std::array<double, Kiln::Watchcam::kControlCount> number_{};
    std::array<std::array<uint8_t, 3>, Kiln::Watchcam::kControlCount> rgb_{};
};

// A colour's OBS form: opaque 0xFFBBGGRR.
uint32_t obsColour(const std::array<uint8_t, 3>& rgb);
// The default colour of a colour control, OBS's form.
uint32_t defaultObsColour(const Kiln::Watchcam::ControlSpec& c);
// A choice's default entry (0-based).
int32_t defaultEntry(const Kiln::Watchcam::ControlSpec& c);
// Decimals a fixed slider shows: two up to a slider maximum of 10, else one.
double sliderStep(const Kiln::Watchcam::ControlSpec& c);

}  // namespace Kiln::Obs
