#include "obs/klObsSettings.h"

#include "effect/klWatchcamParams.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <vector>

namespace Kiln::Obs {

namespace {

using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ControlType;
using Kiln::Watchcam::kControls;

std::string quoted(const ControlSpec& c)
{
    return std::string("\"") + (c.label[0] != '\0' ? c.label : c.checkboxText) + "\"";
}

std::string shown(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

bool sameInAnyCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool isSetting(const ControlSpec& c)
{
    return c.scriptName != nullptr && std::string_view(c.scriptName) != "playSpeed";
}

uint32_t obsColour(const std::array<uint8_t, 3>& rgb)
{
    return 0xFF000000u | uint32_t(rgb[2]) << 16 | uint32_t(rgb[1]) << 8 | uint32_t(rgb[0]);
}

uint32_t defaultObsColour(const ControlSpec& c) { return obsColour({c.colour[1], c.colour[2], c.colour[3]}); }

int32_t defaultEntry(const ControlSpec& c) { return int32_t(c.dflt) - 1; }

double sliderStep(const ControlSpec& c)
{
    if (c.type == ControlType::IntSlider) return 1.0;
    return c.sliderMax <= 10.0 ? 0.01 : 0.1;
}

Values::Values()
{
    for (const ControlSpec& c : kControls) {
        if (!isSetting(c)) continue;
        const size_t i = size_t(c.index);
        if (c.type == ControlType::Colour) rgb_[i] = {c.colour[1], c.colour[2], c.colour[3]};
        number_[i] = c.type == ControlType::Popup ? defaultEntry(c) : c.dflt;
    }
}

std::string Values::entryName(int32_t control) const
{
    const std::vector<std::string> names = Kiln::Watchcam::choiceNames(kControls[control]);
    const size_t item = size_t(number_[size_t(control)]);
    return item < names.size() ? names[item] : std::string();
}

Outcome Values::setNumber(int32_t control, double value, std::string& why)
{
    const ControlSpec& c = kControls[control];
    double& kept = number_[size_t(control)];
    if (std::isnan(value)) {
        why = quoted(c) + ": NaN refused; keeping " + shown(kept);
        return Outcome::Refused;
    }
    if (c.type == ControlType::Checkbox) {
        kept = value >= 0.5 ? 1.0 : 0.0;
        return Outcome::Taken;
    }
    double v = std::clamp(value, c.validMin, c.validMax);
    const Outcome outcome = v == value ? Outcome::Taken : Outcome::Clamped;
    if (outcome == Outcome::Clamped)
        why = quoted(c) + ": " + shown(value) + " is beyond " + shown(c.validMin) + ".." + shown(c.validMax) +
              "; using " + shown(v);
    v = c.type == ControlType::IntSlider ? std::round(v) : std::round(v * 65536.0) / 65536.0;
    kept = v;
    return outcome;
}

Outcome Values::setChoice(int32_t control, std::string_view entry, std::string& why)
{
    const ControlSpec& c = kControls[control];
    const std::vector<std::string> names = Kiln::Watchcam::choiceNames(c);
    for (int pass = 0; pass < 2; ++pass)
        for (size_t k = 0; k < names.size(); ++k)
            if (pass == 0 ? names[k] == entry : sameInAnyCase(names[k], entry)) {
                number_[size_t(control)] = double(k);
                return Outcome::Taken;
            }
    why = quoted(c) + ": unknown choice \"" + std::string(entry) + "\" refused; keeping \"" +
          entryName(control) + "\"";
    return Outcome::Refused;
}

Outcome Values::setColour(int32_t control, uint32_t abgr, std::string&)
{
    rgb_[size_t(control)] = {uint8_t(abgr & 0xFF), uint8_t(abgr >> 8 & 0xFF), uint8_t(abgr >> 16 & 0xFF)};
    return Outcome::Taken;
}

}  // namespace Kiln::Obs
