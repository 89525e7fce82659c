#include "runner/klRunnerValues.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace Kiln::Runner {

namespace {

constexpr double kFixedOne = 65536.0;

double fromFixed(PF_Fixed f) { return double(f) / kFixedOne; }

PF_Fixed toFixed(double v)
{
    const double f = std::round(v * kFixedOne);
    return PF_Fixed(std::clamp(f, -2147483648.0, 2147483647.0));
}

A_long toLong(double v) { return A_long(std::clamp(std::round(v), -2147483648.0, 2147483647.0)); }

A_u_char toByte(double v) { return A_u_char(std::clamp(std::lround(v), 0L, 255L)); }

std::string number(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

bool isWhole(double v) { return std::isfinite(v) && v == std::floor(v); }

// Popups and checkboxes hold; everything else with a value is linear per component.
bool isStepped(PF_ParamType type) { return type == PF_Param_POPUP || type == PF_Param_CHECKBOX; }

}  // namespace

bool hasValue(PF_ParamType type)
{
    switch (type) {
    case PF_Param_SLIDER:
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE:
    case PF_Param_CHECKBOX:
    case PF_Param_COLOR:
    case PF_Param_POINT:
    case PF_Param_POPUP: return true;
    default: return false;
    }
}

ParamValue displayValueOf(const PF_ParamDef& def, bool dephault)
{
    ParamValue v;
    const PF_ParamDefUnion& u = def.u;
    switch (def.param_type) {
    case PF_Param_SLIDER: v.v[0] = dephault ? u.sd.dephault : u.sd.value; break;
    case PF_Param_FIX_SLIDER: v.v[0] = fromFixed(dephault ? u.fd.dephault : u.fd.value); break;
    case PF_Param_ANGLE: v.v[0] = fromFixed(dephault ? u.ad.dephault : u.ad.value); break;
    case PF_Param_CHECKBOX: v.v[0] = (dephault ? u.bd.dephault : u.bd.value) != 0 ? 1 : 0; break;
    case PF_Param_COLOR: {
        const PF_Pixel& p = dephault ? u.cd.dephault : u.cd.value;
        v.v[0] = p.alpha;
        v.v[1] = p.red;
        v.v[2] = p.green;
        v.v[3] = p.blue;
        break;
    }
    case PF_Param_POINT:
        v.v[0] = fromFixed(dephault ? u.td.x_dephault : u.td.x_value);
        v.v[1] = fromFixed(dephault ? u.td.y_dephault : u.td.y_value);
        break;
    case PF_Param_POPUP: v.v[0] = dephault ? u.pd.dephault : u.pd.value; break;
    default: break;
    }
    return v;
}

void storeDisplayValue(PF_ParamDef& def, const ParamValue& value)
{
    PF_ParamDefUnion& u = def.u;
    const double* v = value.v;
    switch (def.param_type) {
    case PF_Param_SLIDER: u.sd.value = toLong(v[0]); break;
    case PF_Param_FIX_SLIDER: u.fd.value = toFixed(v[0]); break;
    case PF_Param_ANGLE: u.ad.value = toFixed(v[0]); break;
    case PF_Param_CHECKBOX: u.bd.value = v[0] != 0 ? 1 : 0; break;
    case PF_Param_COLOR: u.cd.value = PF_Pixel{toByte(v[0]), toByte(v[1]), toByte(v[2]), toByte(v[3])}; break;
    case PF_Param_POINT:
        u.td.x_value = toFixed(v[0]);
        u.td.y_value = toFixed(v[1]);
        break;
    case PF_Param_POPUP: u.pd.value = toLong(v[0]); break;
    default: break;
    }
}

std::string checkValue(const ControlInfo& c, const ParamValue& value)
{
    const double* v = value.v;
    const std::string who = "control " + std::to_string(c.index) + " \"" + c.label + "\"";
    for (double x : value.v)
        if (!std::isfinite(x)) return who + ": the value is not a finite number";
    switch (c.type) {
    case PF_Param_SLIDER:
    case PF_Param_FIX_SLIDER:
        if (v[0] < c.validMin || v[0] > c.validMax)
            return who + ": " + number(v[0]) + " is outside the valid range " + number(c.validMin) + " to " +
                   number(c.validMax);
        return {};
    case PF_Param_ANGLE:
    case PF_Param_POINT: return {};
    case PF_Param_CHECKBOX:
        if (v[0] != 0 && v[0] != 1) return who + ": a checkbox is 0 or 1, not " + number(v[0]);
        return {};
    case PF_Param_POPUP:
        if (!isWhole(v[0]) || v[0] < 1 || v[0] > double(c.popupItems.size()))
            return who + ": item " + number(v[0]) + " is not one of 1 to " +
                   std::to_string(c.popupItems.size());
        return {};
    case PF_Param_COLOR:
        for (double x : value.v)
            if (x < 0 || x > 255) return who + ": colour channels are 0 to 255, not " + number(x);
        return {};
    default: return who + ": this control has no value";
    }
}

ParamValue interpolate(PF_ParamType type, const std::vector<Keyframe>& keys, double frame)
{
    if (keys.empty()) return {};
    if (frame <= keys.front().first) return keys.front().second;
    if (frame >= keys.back().first) return keys.back().second;
    // First key after `frame`; the one before it exists because frame > the first key.
    const auto next = std::upper_bound(keys.begin(), keys.end(), frame,
                                       [](double f, const Keyframe& k) { return f < k.first; });
    const auto prev = next - 1;
    if (isStepped(type)) return prev->second;
    const double t = (frame - prev->first) / (next->first - prev->first);
    ParamValue out;
    for (int i = 0; i < 4; ++i) out.v[i] = prev->second.v[i] + (next->second.v[i] - prev->second.v[i]) * t;
    return out;
}

PF_RationalScale toRational(double value)
{
    if (!std::isfinite(value) || value <= 0) return {0, 1};
    // Continued fraction, stopped before the denominator grows past 1 << 16.
    long long h0 = 0, h1 = 1, k0 = 1, k1 = 0;
    double x = value;
    for (int i = 0; i < 40; ++i) {
        const double a = std::floor(x);
        const long long h2 = (long long)a * h1 + h0, k2 = (long long)a * k1 + k0;
        if (k2 > 65536 || h2 > 2147483647LL) break;
        h0 = h1;
        h1 = h2;
        k0 = k1;
        k1 = k2;
        if (std::fabs(double(h1) / double(k1) - value) < 1e-12 || x - a < 1e-12) break;
        x = 1.0 / (x - a);
    }
    if (k1 == 0) return {A_long(std::lround(value)), 1};
    return {A_long(h1), A_u_long(k1)};
}

std::vector<std::string> splitPopupNames(const char* names)
{
    std::vector<std::string> items;
    if (!names) return items;
    std::string current;
    for (const char* p = names;; ++p) {
        if (*p == '|' || *p == '\0') {
            items.push_back(current);
            current.clear();
            if (*p == '\0') break;
        } else {
            current += *p;
        }
    }
    return items;
}

std::string commandName(PF_Cmd cmd)
{
    static const char* const names[] = {"PF_Cmd_ABOUT",
                                        "PF_Cmd_GLOBAL_SETUP",
                                        "PF_Cmd_UNUSED_0",
                                        "PF_Cmd_GLOBAL_SETDOWN",
                                        "PF_Cmd_PARAMS_SETUP",
                                        "PF_Cmd_SEQUENCE_SETUP",
                                        "PF_Cmd_SEQUENCE_RESETUP",
                                        "PF_Cmd_SEQUENCE_FLATTEN",
                                        "PF_Cmd_SEQUENCE_SETDOWN",
                                        "PF_Cmd_DO_DIALOG",
                                        "PF_Cmd_FRAME_SETUP",
                                        "PF_Cmd_RENDER",
                                        "PF_Cmd_FRAME_SETDOWN",
                                        "PF_Cmd_USER_CHANGED_PARAM",
                                        "PF_Cmd_UPDATE_PARAMS_UI",
                                        "PF_Cmd_EVENT",
                                        "PF_Cmd_GET_EXTERNAL_DEPENDENCIES",
                                        "PF_Cmd_COMPLETELY_GENERAL",
                                        "PF_Cmd_QUERY_DYNAMIC_FLAGS",
                                        "PF_Cmd_AUDIO_RENDER",
                                        "PF_Cmd_AUDIO_SETUP",
                                        "PF_Cmd_AUDIO_SETDOWN",
                                        "PF_Cmd_ARBITRARY_CALLBACK",
                                        "PF_Cmd_SMART_PRE_RENDER",
                                        "PF_Cmd_SMART_RENDER"};
    const int c = int(cmd);
    if (c >= 0 && c < int(sizeof(names) / sizeof(names[0]))) return names[c];
    return "command " + std::to_string(c);
}

}  // namespace Kiln::Runner
