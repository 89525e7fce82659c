#include "frei0r/klF0rParams.h"

#include "effect/klWatchcamParams.h"

// The header declares the entry points without C linkage.
extern "C" {
#include <frei0r.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <vector>

namespace Kiln::Frei0r {

namespace {

using Kiln::Watchcam::ControlSpec;

constexpr double kFixedOne = 65536.0;

std::string lowered(std::string_view s)
{
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string describe(const ParamSpec& p)
{
    const ControlSpec* c = controlOf(p);
    std::string label = c == nullptr ? "Frames per second of the footage (0: from the host's times)"
                                     : (c->label[0] != '\0' ? c->label : c->checkboxText);
    switch (p.type) {
    case ParamType::Bool: return label + ": on at 0.5 and above";
    case ParamType::Colour:
        return p.name == std::string_view("SourceEdgeColour")
                   ? label + " (its alpha is SourceEdgeColourAlpha)"
                   : label;
    case ParamType::String: return label + ": " + std::string(c->choices) + " (a name or its number from 1)";
    case ParamType::Double: break;
    }
    std::string text = label + ": 0..1 is " + number(p.low) + ".." + number(p.high);
    if (p.validLow < p.low || p.validHigh > p.high)
        text += ", beyond up to " + number(p.validLow) + ".." + number(p.validHigh);
    return text;
}

}  // namespace

int32_t paramIndex(std::string_view name)
{
    for (int32_t i = 0; i < kParamCount; ++i)
        if (name == kParams[size_t(i)].name) return i;
    return -1;
}

const ControlSpec* controlOf(const ParamSpec& p)
{
    return p.control == kFootageFpsControl ? nullptr : &Kiln::Watchcam::kControls[p.control];
}

const char* explanation(int32_t index)
{
    // Built once, read by any thread afterwards.
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> t;
        for (const ParamSpec& p : kParams) t.push_back(describe(p));
        return t;
    }();
    return index >= 0 && index < kParamCount ? texts[size_t(index)].c_str() : "";
}

ParamValues::ParamValues()
{
    for (int32_t i = 0; i < kParamCount; ++i) {
        const ParamSpec& p = kParams[size_t(i)];
        Value& v = values_[size_t(i)];
        v.number = p.dflt;
        if (p.type == ParamType::Colour) {
            const auto& argb = controlOf(p)->colour;
            v.rgb = {argb[1], argb[2], argb[3]};
        }
        if (p.type == ParamType::String) v.text = Kiln::Watchcam::choiceNames(*controlOf(p))[size_t(p.dflt)];
    }
}

bool ParamValues::setNumber(int32_t index, double f)
{
    const ParamSpec& p = kParams[size_t(index)];
    if (std::isnan(f)) return false;
    Value& v = values_[size_t(index)];
    if (p.type == ParamType::Bool) {
        v.number = f >= 0.5 ? 1.0 : 0.0;
        return true;
    }
    if (p.type != ParamType::Double) return false;
    const double wanted = p.low + f * (p.high - p.low);
    v.clamped = false;
    if (p.control == kFootageFpsControl && wanted == 0.0) {
        v.number = 0.0;  // from the host's times
        return true;
    }
    double x = std::clamp(wanted, p.validLow, p.validHigh);
    v.clamped = x != wanted;
    // Three decimals in the control's units: a typed 0.166667 of 0..30 is the frame rate 5, not 5.00001.
    x = p.whole ? std::round(x) : std::round(x * 1000.0) / 1000.0;
    if (p.fixed) x = std::round(x * kFixedOne) / kFixedOne;
    v.number = x;
    return true;
}

bool ParamValues::setColour(int32_t index, float r, float g, float b)
{
    if (kParams[size_t(index)].type != ParamType::Colour) return false;
    if (std::isnan(r) || std::isnan(g) || std::isnan(b)) return false;
    auto byte = [](float c) { return uint8_t(std::lround(std::clamp(c, 0.0f, 1.0f) * 255.0f)); };
    values_[size_t(index)].rgb = {byte(r), byte(g), byte(b)};
    return true;
}

bool ParamValues::setChoice(int32_t index, std::string_view text)
{
    const ParamSpec& p = kParams[size_t(index)];
    if (p.type != ParamType::String) return false;
    const std::vector<std::string> names = Kiln::Watchcam::choiceNames(*controlOf(p));
    const std::string_view t = trimmed(text);
    int32_t item = -1;
    const std::string wanted = lowered(t);
    for (size_t k = 0; k < names.size() && item < 0; ++k)
        if (lowered(names[k]) == wanted) item = int32_t(k);
    if (item < 0 && !t.empty() && t.size() <= 3 && std::all_of(t.begin(), t.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        const int32_t n = std::stoi(std::string(t));
        if (n >= 1 && n <= int32_t(names.size())) item = n - 1;
    }
    if (item < 0) return false;
    Value& v = values_[size_t(index)];
    v.number = item;
    v.text = names[size_t(item)];
    return true;
}

bool ParamValues::set(int32_t index, const void* value)
{
    if (index < 0 || index >= kParamCount || value == nullptr) return false;
    switch (kParams[size_t(index)].type) {
    case ParamType::Bool:
    case ParamType::Double: return setNumber(index, *static_cast<const double*>(value));
    case ParamType::Colour: {
        const auto* c = static_cast<const f0r_param_color_t*>(value);
        return setColour(index, c->r, c->g, c->b);
    }
    case ParamType::String: {
        const char* text = *static_cast<const char* const*>(value);
        return text != nullptr && setChoice(index, text);
    }
    }
    return false;
}

void ParamValues::get(int32_t index, void* value) const
{
    if (index < 0 || index >= kParamCount || value == nullptr) return;
    const ParamSpec& p = kParams[size_t(index)];
    const Value& v = values_[size_t(index)];
    switch (p.type) {
    case ParamType::Bool: *static_cast<double*>(value) = v.number; break;
    case ParamType::Double: *static_cast<double*>(value) = (v.number - p.low) / (p.high - p.low); break;
    case ParamType::Colour: {
        auto* c = static_cast<f0r_param_color_t*>(value);
        c->r = v.rgb[0] / 255.0f;
        c->g = v.rgb[1] / 255.0f;
        c->b = v.rgb[2] / 255.0f;
        break;
    }
    case ParamType::String: *static_cast<const char**>(value) = v.text.c_str(); break;
    }
}

}  // namespace Kiln::Frei0r
