#pragma once
// The filter's parameters: the effect's controls as frei0r parameters, and their values in one instance.
//
// Every control of the effect that means something to a filter that gets one frame and gives one frame
// is a parameter named by its script name, in the controls table's order, after the adapter's own
// "footageFps" (frames per second of the footage, which turns the host's time into frame numbers; 0, the
// default, takes the rate from the host's times, see klF0rClock.h).
// "Play Speed" is left out: it needs frames the host does not hand a filter. The controls table
// (effect/klWatchcamControls.h) says everything else; nothing here repeats it.
//
// frei0r's conventions, and how values reach the effect:
//   double    0..1 spans the control's slider range linearly (lensStrength: 0 is -500, 1 is 500);
//             values beyond 0..1 go on linearly up to the control's valid range and stop there
//             (the setter then says so: clamped).
//             Integer sliders round to whole numbers, the others to three decimals (what people type
//             as 1/6 is meant to be a whole 5 of 30) and then to the 1/65536 steps the plug-in module's
//             host stores, so that the effect sees the same numbers through both.
//   bool      0.5 and above is on.
//   colour    three channels 0..1, kept as 8-bit channels like the module's colour controls. The
//             edge colour's alpha is its own parameter, "SourceEdgeColourAlpha" (0..1: 0..100 %).
//   string    a choice: an entry name in any case, or its number counted from 1.
// A value that means nothing (NaN, a null or unknown choice name) is refused: the parameter keeps its
// value and the setter says false.
#include "effect/klWatchcamControls.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Kiln::Frei0r {

// frei0r's parameter type numbers.
enum class ParamType : int32_t { Bool = 0, Double = 1, Colour = 2, String = 4 };

struct ParamSpec {
    const char* name;
    ParamType type;
    int32_t control;  // index in Kiln::Watchcam::kControls; kFootageFpsControl for the adapter's own
    double low;  // what 0 and 1 stand for, in the control's units
    double high;
    double validLow;  // where values beyond 0..1 stop
    double validHigh;
    bool whole;  // integer slider
    bool fixed;  // stored in 1/65536 steps
    double dflt;  // in the control's units; a choice's default is its entry (0-based)
};

inline constexpr int32_t kFootageFpsControl = -1;
inline constexpr const char* kFootageFps = "footageFps";

namespace detail {

using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ControlType;

constexpr bool isFilterControl(const ControlSpec& c)
{
    return c.scriptName != nullptr && std::string_view(c.scriptName) != "playSpeed";
}

constexpr int32_t filterControlCount()
{
    int32_t n = 0;
    for (const ControlSpec& c : Kiln::Watchcam::kControls) n += isFilterControl(c) ? 1 : 0;
    return n;
}

constexpr ParamSpec specOf(const ControlSpec& c)
{
    switch (c.type) {
    case ControlType::Checkbox:
        return {c.scriptName, ParamType::Bool, c.index, 0, 1, 0, 1, false, false, c.dflt};
    case ControlType::Colour: return {c.scriptName, ParamType::Colour, c.index, 0, 1, 0, 1, false, false, 0};
    case ControlType::Popup:
        return {c.scriptName, ParamType::String, c.index, 0, 0, 0, 0, false, false, c.dflt - 1};
    case ControlType::IntSlider:
        return {c.scriptName, ParamType::Double, c.index, c.sliderMin, c.sliderMax,
                c.validMin,   c.validMax,        true,    false,       c.dflt};
    default:
        return {c.scriptName, ParamType::Double, c.index, c.sliderMin, c.sliderMax,
                c.validMin,   c.validMax,        false,   true,        c.dflt};
    }
}

}  // namespace detail

inline constexpr int32_t kParamCount = 1 + detail::filterControlCount();

constexpr std::array<ParamSpec, kParamCount> makeParams()
{
    std::array<ParamSpec, kParamCount> params{};
    // 0..1 spans 0..100 frames per second; 0 is "from the host's times", above it the rate is 1 to 1000.
    params[0] = {kFootageFps, ParamType::Double, kFootageFpsControl, 0, 100, 1, 1000, false, false, 0};
    int32_t i = 1;
    for (const Kiln::Watchcam::ControlSpec& c : Kiln::Watchcam::kControls)
        if (detail::isFilterControl(c)) params[size_t(i++)] = detail::specOf(c);
    return params;
}

inline constexpr std::array<ParamSpec, kParamCount> kParams = makeParams();

// The parameter of a name (exact, as frei0r names are), -1 for none.
int32_t paramIndex(std::string_view name);
// The control a parameter stands for; nullptr for the footage rate.
const Kiln::Watchcam::ControlSpec* controlOf(const ParamSpec& p);
// "Contrast: 0..1 is 0..100, beyond up to 5000" and the like: what a host shows beside the parameter.
const char* explanation(int32_t index);

// One instance's parameter values, in the control's units. Not shared between instances.
class ParamValues {
public:
    ParamValues();  // every parameter at its default

    // From a frei0r value (the pointer frei0r's set_param_value passes); false when refused.
    bool set(int32_t index, const void* value);
    // Whether the last value set was beyond the valid range and stopped at its end.
    bool clamped(int32_t index) const { return values_[size_t(index)].clamped; }
    // One parameter's value as another set holds it.
    void take(const ParamValues& from, int32_t index)
    {
        values_[size_t(index)] = from.values_[size_t(index)];
    }
    // Into a frei0r value (the pointer frei0r's get_param_value passes). A string stays valid until the
    // parameter is set again.
    void get(int32_t index, void* value) const;

    // Doubles: the control's units; booleans 0 or 1; choices the entry, 0-based.
    double number(int32_t index) const { return values_[size_t(index)].number; }
    // Colours, 8 bits per channel: red, green, blue.
    const std::array<uint8_t, 3>& colour(int32_t index) const { return values_[size_t(index)].rgb; }

    // Setting by the frei0r type, for callers that hold a plain value.
    bool setNumber(int32_t index, double frei0rValue);
    bool setColour(int32_t index, float r, float g, float b);
    bool setChoice(int32_t index, std::string_view text);

private:
    struct Value {
        double number = 0.0;
        std::array<uint8_t, 3> rgb{};
        std::string text;  // a choice's entry name, as get hands it out
        bool clamped = false;
    };
    std::array<Value, kParamCount> values_;
};

}  // namespace Kiln::Frei0r
