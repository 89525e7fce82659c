#include "controls/klControlOptions.h"

#include "footage/klFootageError.h"
#include "controls/klPresetFile.h"
#include "footage/klFootagePath.h"
#include "footage/klOutputFiles.h"
#include "runner/klRunnerValues.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

using Runner::ControlInfo;
using Runner::Keyframe;
using Runner::ParamValue;

std::string trim(const std::string& s)
{
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t a = 0, b = s.size();
    while (a < b && space(s[a])) ++a;
    while (b > a && space(s[b - 1])) --b;
    return s.substr(a, b - a);
}

std::string lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A plain decimal number ("12", "-0.5", "1e3"); no hexadecimal, infinities or trailing text.
bool readNumber(const std::string& text, double& value)
{
    const char* p = text.data();
    const char* end = p + text.size();
    if (p != end && *p == '+') ++p;
    if (p == end || !(std::isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.')) return false;
    const auto [ptr, ec] = std::from_chars(p, end, value, std::chars_format::general);
    return ec == std::errc() && ptr == end && std::isfinite(value);
}

bool readWhole(const std::string& text, double& value)
{
    return readNumber(text, value) && value == std::floor(value);
}

// Shortest text that reads back to exactly `v`, without an exponent for the numbers controls hold.
std::string formatNumber(double v)
{
    if (v == 0) return "0";  // also -0, which would read back as another value than the one shown
    char text[64];
    if (std::fabs(v) >= 1e-4 && std::fabs(v) < 1e15) {
        for (int decimals = 0; decimals <= 17; ++decimals) {
            std::snprintf(text, sizeof text, "%.*f", decimals, v);
            if (std::strtod(text, nullptr) == v) return text;
        }
    }
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// "a", "a or b", "a, b or c".
std::string alternatives(const std::vector<std::string>& items)
{
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += i + 1 == items.size() ? " or " : ", ";
        out += items[i];
    }
    return out;
}

[[noreturn]] void refuse(const ControlInfo& c, const std::string& what)
{
    throw ControlOptionError(quoted(controlDisplayName(c)) + " " + what);
}

size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool isValueControl(const ControlInfo& c) { return Runner::hasValue(c.type); }

std::vector<std::string> namesOf(const ControlInfo& c)
{
    std::vector<std::string> names;
    for (const std::string* s : {&c.scriptName, &c.label, &c.checkboxText})
        if (!s->empty()) names.push_back(*s);
    return names;
}

// How a control is named in suggestions: by its script name when it has one.
std::string canonicalName(const ControlInfo& c)
{
    const std::string& n = c.scriptName.empty() ? controlDisplayName(c) : c.scriptName;
    return n.find(' ') == std::string::npos ? n : quoted(n);
}

ParamValue parseColour(const ControlInfo& c, const std::string& text)
{
    ParamValue v;
    v.v[0] = 255;
    if (!text.empty() && text[0] == '#') {
        const std::string hex = text.substr(1);
        if (hex.size() != 6 || !std::all_of(hex.begin(), hex.end(), [](char ch) {
                return std::isxdigit(static_cast<unsigned char>(ch));
            }))
            refuse(c, "takes " + acceptedValues(c));
        for (int i = 0; i < 3; ++i)
            v.v[i + 1] = double(std::strtol(hex.substr(size_t(i) * 2, 2).c_str(), nullptr, 16));
        return v;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(trim(text.substr(start, comma - start)));
    parts.push_back(trim(text.substr(start)));
    if (parts.size() != 3 && parts.size() != 4) refuse(c, "takes " + acceptedValues(c));
    double channel[4] = {0, 0, 0, 255};
    for (size_t i = 0; i < parts.size(); ++i)
        if (!readWhole(parts[i], channel[i]) || channel[i] < 0 || channel[i] > 255)
            refuse(c, "takes " + acceptedValues(c));
    v.v[0] = channel[3];
    for (int i = 0; i < 3; ++i) v.v[i + 1] = channel[i];
    return v;
}

int popupItem(const ControlInfo& c, const std::string& text)
{
    const auto& items = c.popupItems;
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] == text) return int(i) + 1;
    const std::string wanted = lower(text);
    for (size_t i = 0; i < items.size(); ++i)
        if (lower(items[i]) == wanted) return int(i) + 1;
    double n = 0;
    if (readWhole(text, n) && n >= 1 && n <= double(items.size())) return int(n);
    return 0;
}

// Splits "0:255,0,0,24:0,0,255" into ("0", "255,0,0") and ("24", "0,0,255"): a piece with a ':' starts a
// key, a piece without one belongs to the value before it (colours and points hold commas).
std::vector<std::pair<std::string, std::string>> splitKeys(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> keys;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string piece =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t colon = piece.find(':');
        if (colon != std::string::npos) {
            keys.emplace_back(trim(piece.substr(0, colon)), trim(piece.substr(colon + 1)));
        } else {
            if (keys.empty())
                throw ControlOptionError(
                    "keyframes are FRAME:VALUE pairs separated by commas, such as 0:100,48:0; " +
                    quoted(trim(piece)) + " has no frame");
            keys.back().second += ',';
            keys.back().second += trim(piece);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return keys;
}

}  // namespace

std::string abridged(const std::string& message)
{
    constexpr size_t kLongRun = 60, kKept = 24, kMost = 400;
    std::string out;
    size_t i = 0;
    while (i < message.size()) {
        size_t end = i;
        while (end < message.size() && !std::isspace(static_cast<unsigned char>(message[end]))) ++end;
        if (end - i > kLongRun)
            out += message.substr(i, kKept) + "... (" + std::to_string(end - i) + " characters)";
        else
            out.append(message, i, end - i);
        while (end < message.size() && std::isspace(static_cast<unsigned char>(message[end])))
            out += message[end++];
        i = end;
    }
    if (out.size() > kMost)
        out = out.substr(0, kMost / 2) + " ... " + out.substr(out.size() - kMost / 2 + 10);
    return out;
}

std::string controlDisplayName(const ControlInfo& c)
{
    if (!c.label.empty()) return c.label;
    if (!c.checkboxText.empty()) return c.checkboxText;
    return c.scriptName;
}

std::vector<std::string> similarControlNames(const std::vector<ControlInfo>& controls,
                                             const std::string& name, size_t most)
{
    const std::string wanted = lower(trim(name));
    const size_t near = std::max<size_t>(2, wanted.size() / 3);
    std::vector<std::pair<size_t, size_t>> scored;  // distance, position
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlInfo& c = controls[i];
        if (!isValueControl(c)) continue;
        size_t best = SIZE_MAX;
        for (const std::string& n : namesOf(c)) {
            const std::string candidate = lower(n);
            best = std::min(best, editDistance(wanted, candidate));
            // "speed" is near "playSpeed" although many letters are missing.
            if (wanted.size() >= 3 && candidate.find(wanted) != std::string::npos)
                best = std::min<size_t>(best, 1);
        }
        if (best <= near) scored.emplace_back(best, i);
    }
    std::stable_sort(scored.begin(), scored.end());
    std::vector<std::string> names;
    for (const auto& entry : scored) {
        const std::string n = canonicalName(controls[entry.second]);
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        if (names.size() == most) break;
    }
    return names;
}

int findControlByName(const std::vector<ControlInfo>& controls, const std::string& rawName)
{
    const std::string name = trim(rawName);
    if (name.empty()) throw ControlOptionError("no control name given");
    // Exact names first, script names before labels before checkbox texts.
    for (const auto field : {&ControlInfo::scriptName, &ControlInfo::label, &ControlInfo::checkboxText})
        for (size_t i = 0; i < controls.size(); ++i)
            if (isValueControl(controls[i]) && controls[i].*field == name) return int(i);
    const std::string wanted = lower(name);
    std::vector<int> found;
    for (size_t i = 0; i < controls.size(); ++i) {
        if (!isValueControl(controls[i])) continue;
        for (const std::string& n : namesOf(controls[i]))
            if (lower(n) == wanted) {
                found.push_back(int(i));
                break;
            }
    }
    if (found.size() == 1) return found[0];
    if (found.size() > 1) {
        std::vector<std::string> names;
        for (int i : found) names.push_back(canonicalName(controls[size_t(i)]));
        throw ControlOptionError(quoted(name) + " could be " + alternatives(names) + "; give the exact name");
    }
    for (const ControlInfo& c : controls) {
        bool named = false;
        for (const std::string& n : namesOf(c)) named = named || lower(n) == wanted;
        if (!named) continue;
        if (c.type == PF_Param_LAYER)
            throw ControlOptionError(quoted(name) + " is the input layer, not a control");
        if (c.type == PF_Param_GROUP_START || c.type == PF_Param_GROUP_END)
            throw ControlOptionError(quoted(name) + " is a group heading, not a control with a value");
        throw ControlOptionError(quoted(name) + " has no value to set");
    }
    const std::vector<std::string> near = similarControlNames(controls, name);
    throw ControlOptionError("no control is called " + quoted(name) +
                             (near.empty() ? " (watchcam controls lists them all)"
                                           : " (did you mean " + alternatives(near) + "?)"));
}

std::string acceptedValues(const ControlInfo& c)
{
    switch (c.type) {
    case PF_Param_FIX_SLIDER: return formatNumber(c.validMin) + " to " + formatNumber(c.validMax);
    case PF_Param_SLIDER:
        return "whole numbers " + formatNumber(c.validMin) + " to " + formatNumber(c.validMax);
    case PF_Param_ANGLE: return "a number of degrees";
    case PF_Param_CHECKBOX: return "on or off";
    case PF_Param_COLOR: return "r,g,b or r,g,b,a with channels 0 to 255, or #rrggbb";
    case PF_Param_POINT: return "a point x,y";
    case PF_Param_POPUP: {
        std::vector<std::string> items;
        for (const std::string& item : c.popupItems) items.push_back(quoted(item));
        return "one of " + alternatives(items) + " (or 1 to " + std::to_string(c.popupItems.size()) + ")";
    }
    default: return "no value";
    }
}

ParamValue parseControlValue(const ControlInfo& c, const std::string& rawText)
{
    const std::string text = trim(rawText);
    ParamValue v;
    double x = 0;
    switch (c.type) {
    case PF_Param_FIX_SLIDER: {
        std::string number = text;
        if (c.percent && !number.empty() && number.back() == '%')
            number = trim(number.substr(0, number.size() - 1));
        if (!readNumber(number, x)) refuse(c, "takes a number from " + acceptedValues(c));
        if (x < c.validMin || x > c.validMax) refuse(c, "takes " + acceptedValues(c));
        v.v[0] = x;
        return v;
    }
    case PF_Param_SLIDER:
        if (!readWhole(text, x) || x < c.validMin || x > c.validMax) refuse(c, "takes " + acceptedValues(c));
        v.v[0] = x;
        return v;
    case PF_Param_ANGLE:
        if (!readNumber(text, x)) refuse(c, "takes " + acceptedValues(c));
        v.v[0] = x;
        return v;
    case PF_Param_CHECKBOX: {
        const std::string t = lower(text);
        if (t == "on" || t == "true" || t == "yes" || t == "1")
            v.v[0] = 1;
        else if (t == "off" || t == "false" || t == "no" || t == "0")
            v.v[0] = 0;
        else
            refuse(c, "takes on or off (or true/false, yes/no, 1/0)");
        return v;
    }
    case PF_Param_POPUP: {
        const int item = popupItem(c, text);
        if (item == 0) refuse(c, "takes " + acceptedValues(c));
        v.v[0] = item;
        return v;
    }
    case PF_Param_COLOR: return parseColour(c, text);
    case PF_Param_POINT: {
        const size_t comma = text.find(',');
        if (comma == std::string::npos || !readNumber(trim(text.substr(0, comma)), v.v[0]) ||
            !readNumber(trim(text.substr(comma + 1)), v.v[1]))
            refuse(c, "takes " + acceptedValues(c));
        return v;
    }
    default: refuse(c, "has no value to set");
    }
}

ControlSetting parseKeyframes(const ControlInfo& c, const std::string& text)
{
    const auto pieces = splitKeys(trim(text));
    if (pieces.size() > 1 && !c.animatable())
        refuse(c, "cannot vary over time: give one value, not keyframes");
    std::vector<Keyframe> keys;
    for (const auto& [frameText, valueText] : pieces) {
        double frame = 0;
        if (!readWhole(frameText, frame) || frame < 0)
            throw ControlOptionError("keyframe " + quoted(frameText + ":" + valueText) +
                                     ": the frame must be a whole number, 0 or more");
        const std::string at = "keyframe at frame " + formatNumber(frame);
        if (valueText.empty()) throw ControlOptionError(at + " has no value");
        try {
            keys.emplace_back(frame, parseControlValue(c, valueText));
        } catch (const ControlOptionError& e) {
            throw ControlOptionError(at + ": " + e.what());
        }
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Keyframe& a, const Keyframe& b) { return a.first < b.first; });
    for (size_t i = 1; i < keys.size(); ++i)
        if (keys[i].first == keys[i - 1].first)
            throw ControlOptionError("two keyframes at frame " + formatNumber(keys[i].first));
    ControlSetting s;
    s.value = keys.front().second;
    if (keys.size() > 1) s.keys = std::move(keys);
    return s;
}

ControlSetting parseControlSetting(const ControlInfo& c, const std::string& rawText)
{
    const std::string text = trim(rawText);
    // An entry name may hold a ':' of its own.
    const bool entry = c.type == PF_Param_POPUP && popupItem(c, text) != 0;
    if (!entry && text.find(':') != std::string::npos) return parseKeyframes(c, text);
    ControlSetting s;
    s.value = parseControlValue(c, text);
    return s;
}

std::string formatSettingValue(const ControlInfo& c, const ParamValue& value)
{
    const double* v = value.v;
    switch (c.type) {
    case PF_Param_CHECKBOX: return v[0] != 0 ? "on" : "off";
    case PF_Param_POPUP: {
        const double item = v[0];
        if (item >= 1 && item <= double(c.popupItems.size()) && item == std::floor(item))
            return c.popupItems[size_t(item) - 1];
        return formatNumber(item);
    }
    case PF_Param_COLOR: {
        std::string text = formatNumber(v[1]) + "," + formatNumber(v[2]) + "," + formatNumber(v[3]);
        if (v[0] != 255) text += "," + formatNumber(v[0]);
        return text;
    }
    case PF_Param_POINT: return formatNumber(v[0]) + "," + formatNumber(v[1]);
    default: return formatNumber(v[0]);
    }
}

std::string formatKeyframes(const ControlInfo& c, const std::vector<Keyframe>& keys)
{
    std::string text;
    for (const Keyframe& k : keys) {
        if (!text.empty()) text += ',';
        text += formatNumber(k.first);
        text += ':';
        text += formatSettingValue(c, k.second);
    }
    return text;
}

// ---- ControlOptions -------------------------------------------------------------------------------------

ControlOptions::ControlOptions(std::vector<ControlInfo> controls) : controls_(std::move(controls)) { }

ControlSetting ControlOptions::current(int index) const
{
    if (const auto it = settings_.find(index); it != settings_.end()) return it->second;
    ControlSetting s;
    if (index >= 0 && size_t(index) < controls_.size()) s.value = controls_[size_t(index)].defaultValue;
    return s;
}

ControlSettings ControlOptions::currentValues() const
{
    ControlSettings values;
    for (size_t i = 0; i < controls_.size(); ++i)
        if (isValueControl(controls_[i]) && !controls_[i].scriptName.empty())
            values[int(i)] = current(int(i));
    return values;
}

void ControlOptions::set(const std::string& assignment)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos || trim(assignment.substr(0, eq)).empty())
        throw UsageError(abridged("--set " + assignment +
                                  ": expected NAME=VALUE, such as contrast=30 or \"TV Type=Tint\""));
    try {
        const int index = findControlByName(controls_, assignment.substr(0, eq));
        settings_[index] = parseControlSetting(controls_[size_t(index)], assignment.substr(eq + 1));
    } catch (const ControlOptionError& e) {
        throw UsageError(abridged("--set " + assignment + ": " + e.what()));
    }
}

void ControlOptions::readPreset(const std::string& path)
{
    for (auto& [index, setting] : readPresetFile(controls_, path)) settings_[index] = std::move(setting);
}

void ControlOptions::readPresetText(const std::string& text, const std::string& name)
{
    for (auto& [index, setting] : Footage::readPresetText(controls_, text, name))
        settings_[index] = std::move(setting);
}

void ControlOptions::writePreset(std::ostream& out) const
{
    Footage::writePreset(out, controls_, currentValues());
}

void ControlOptions::writePresetFile(const std::string& path, bool overwrite) const
{
    FootagePath target;
    target.path = path;
    OutputFiles files(target, long(getpid()));
    files.claim(0, 0);
    files.check({}, 0, 0, overwrite);
    const std::string temporary = files.temporaryFor(0);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) writePreset(out);
    out.close();
    if (!out) throw FootageError(path, std::string("cannot write the preset: ") + std::strerror(errno));
    files.commit();
}

void ControlOptions::applyTo(Runner::Host& host, int firstFrame) const
{
    for (const auto& [index, setting] : settings_) {
        const ControlInfo& c = controls_[size_t(index)];
        try {
            if (!setting.animated()) {
                // Setting a supervised control again would have the module move the controls that follow it.
                if (host.keyframes(c.index).empty() && host.valueAt(c.index, 0) == setting.value) continue;
                host.setValue(c.index, setting.value);
                continue;
            }
            std::vector<Keyframe> keys = setting.keys;
            for (Keyframe& k : keys) k.first -= firstFrame;
            host.setKeyframes(c.index, std::move(keys));
        } catch (const Runner::RunnerError& e) {
            throw FootageError("", quoted(controlDisplayName(c)) + ": " + e.what());
        }
    }
}

void ControlOptions::takeFrom(const Runner::Host& host, int firstFrame)
{
    ControlSettings taken;
    for (size_t i = 0; i < controls_.size(); ++i) {
        const ControlInfo& c = controls_[i];
        if (!isValueControl(c) || c.scriptName.empty()) continue;
        ControlSetting s;
        try {
            const std::vector<Keyframe>& keys = host.keyframes(c.index);
            if (keys.size() > 1) {
                s.keys = keys;
                for (Keyframe& k : s.keys) k.first += firstFrame;
                s.value = s.keys.front().second;
            } else {
                s.value = host.valueAt(c.index, 0);
            }
        } catch (const Runner::RunnerError& e) {
            throw FootageError("", quoted(controlDisplayName(c)) + ": " + e.what());
        }
        taken[int(i)] = std::move(s);
    }
    settings_ = std::move(taken);
}

ControlOptions controlOptionsFrom(const std::vector<ControlInfo>& controls, const std::string& presetPath,
                                  const std::vector<std::string>& assignments)
{
    ControlOptions options(controls);
    if (!presetPath.empty()) options.readPreset(presetPath);
    for (const std::string& a : assignments) options.set(a);
    return options;
}

}  // namespace Kiln::Footage
