#include "controls/klControlsTable.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace Kiln::Footage {

namespace {

std::string number(double v, int decimals)
{
    decimals = std::clamp(decimals, 0, 6);
    if (std::fabs(v) * std::pow(10.0, decimals) < 0.5) v = 0.0;  // "-0.0" would read as another default
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

int decimalsOf(const Runner::ControlInfo& c)
{
    switch (c.type) {
    case PF_Param_FIX_SLIDER: return c.precision;
    case PF_Param_ANGLE: return 1;
    case PF_Param_POINT: return 2;
    default: return 0;
    }
}

std::string range(const Runner::ControlInfo& c, double lo, double hi)
{
    if (c.type != PF_Param_SLIDER && c.type != PF_Param_FIX_SLIDER) return "";
    const int d = decimalsOf(c);
    const char* unit = c.percent ? "%" : "";
    return number(lo, d) + unit + ".." + number(hi, d) + unit;
}

}  // namespace

std::string controlTypeName(const Runner::ControlInfo& c)
{
    switch (c.type) {
    case PF_Param_LAYER: return "layer";
    case PF_Param_SLIDER: return "int";
    case PF_Param_FIX_SLIDER: return "float";
    case PF_Param_ANGLE: return "angle";
    case PF_Param_CHECKBOX: return "checkbox";
    case PF_Param_COLOR: return "colour";
    case PF_Param_POINT: return "point";
    case PF_Param_POPUP: return "choice";
    case PF_Param_GROUP_START: return "group";
    case PF_Param_GROUP_END: return "end";
    default: return "none";
    }
}

std::string formatControlValue(const Runner::ControlInfo& c, const Runner::ParamValue& value)
{
    const double v = value.v[0];
    switch (c.type) {
    case PF_Param_SLIDER: return number(v, 0);
    case PF_Param_FIX_SLIDER: return number(v, c.precision) + (c.percent ? "%" : "");
    case PF_Param_ANGLE: return number(v, 1);
    case PF_Param_CHECKBOX: return v != 0 ? "on" : "off";
    case PF_Param_COLOR: {
        char text[16];
        auto channel = [](double x) { return int(std::clamp(std::lround(x), 0L, 255L)); };
        std::snprintf(text, sizeof text, "#%02X%02X%02X", channel(value.v[1]), channel(value.v[2]),
                      channel(value.v[3]));
        return text;
    }
    case PF_Param_POINT: return number(value.v[0], 2) + "," + number(value.v[1], 2);
    case PF_Param_POPUP: {
        const long item = std::lround(v);
        if (item >= 1 && size_t(item) <= c.popupItems.size()) return c.popupItems[size_t(item - 1)];
        return number(v, 0);
    }
    default: return "";
    }
}

std::string formatSliderRange(const Runner::ControlInfo& c) { return range(c, c.sliderMin, c.sliderMax); }
std::string formatValidRange(const Runner::ControlInfo& c) { return range(c, c.validMin, c.validMax); }

std::string formatControls(const std::vector<Runner::ControlInfo>& controls)
{
    using Row = std::array<std::string, 9>;
    std::vector<Row> rows;
    rows.push_back(
        {"#", "Label", "Script name", "Type", "Default", "Slider", "Valid", "Description", "Choices"});
    for (const Runner::ControlInfo& c : controls) {
        if (c.type == PF_Param_GROUP_END) continue;
        std::string choices;
        for (const std::string& item : c.popupItems) choices += (choices.empty() ? "" : "|") + item;
        // A checkbox often has no label of its own, only the text beside the box.
        std::string label = c.label.empty() ? c.checkboxText : c.label;
        if (c.disabled()) label += " (disabled)";
        rows.push_back({std::to_string(c.index), label, c.scriptName.empty() ? "-" : c.scriptName,
                        controlTypeName(c),
                        c.type == PF_Param_LAYER || c.type == PF_Param_GROUP_START
                            ? ""
                            : formatControlValue(c, c.defaultValue),
                        formatSliderRange(c), formatValidRange(c), c.description, choices});
    }
    std::array<size_t, 9> width{};
    for (const Row& r : rows)
        for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    std::string out;
    for (const Row& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

}  // namespace Kiln::Footage
