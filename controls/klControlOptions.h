/*
 * The effect's control values as the user gives them: `--set NAME=VALUE`, `--preset FILE` and
 * `controls --write-preset FILE`.
 *
 * Everything is in the units the control shows, the same for --set, presets and the `watchcam controls`
 * listing: a slider's number as on the slider (a percent slider such as "Contrast" takes 30 or 30% for 30), a
 * choice's entry name (any case) or 1-based entry number, a colour as r,g,b[,a] in 0..255 or #rrggbb, a
 * checkbox as on/off (true/false, yes/no, 1/0). FRAME:VALUE,FRAME:VALUE... animates a control; frames are
 * the input's frame numbers (which the output keeps, also when --frames renders part of it) and values
 * run linearly between keys (choices and checkboxes hold).
 *
 * A control is named by script name ("contrast"), label ("TV Type") or checkbox text ("Lens Effect"),
 * exactly or in any case. Every value is checked against the control's valid range before anything is
 * rendered; an error names the control and what it takes.
 */
#ifndef KL_CONTROL_OPTIONS_H
#define KL_CONTROL_OPTIONS_H

#include "runner/klRunner.h"

#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Kiln::Footage {

// What is wrong with a control name or value, naming the control: "\"Contrast\" takes 0 to 5000". The
// caller adds where it came from (the option, or the preset file and line).
class ControlOptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A control's value: a constant, or two or more keyframes sorted by frame (the input's frame numbers).
struct ControlSetting {
    Runner::ParamValue value;  // the constant; the first key's value when animated
    std::vector<Runner::Keyframe> keys;  // empty for a constant
    bool animated() const { return !keys.empty(); }
    bool operator==(const ControlSetting&) const = default;
};

using ControlSettings = std::map<int, ControlSetting>;  // by position in the control list

// `message` with every run of more than 60 non-blank characters cut to its first few ("7777777777...
// (1048576 characters)") and the whole kept to a few hundred: what a user typed or a file held may be
// megabytes long, and a message quotes only enough to find it.
std::string abridged(const std::string& message);

// The name a user sees: the label, else the checkbox text, else the script name.
std::string controlDisplayName(const Runner::ControlInfo& control);
// The control a name stands for (script name, label, checkbox text; exact, then in any case), as its
// position in `controls` (a host's controls sit at their own index). Throws ControlOptionError for a name that matches nothing (suggesting the nearest
// names), that is ambiguous, or that names a control without a value (groups, About, the input layer).
int findControlByName(const std::vector<Runner::ControlInfo>& controls, const std::string& name);
// Script names (or labels, for controls without one) of the value controls nearest to `name`, best first.
std::vector<std::string> similarControlNames(const std::vector<Runner::ControlInfo>& controls,
                                             const std::string& name, size_t most = 3);

// What a control takes, for messages: "0 to 5000", "whole numbers 1 to 10", "on or off", ...
std::string acceptedValues(const Runner::ControlInfo& control);
// One value in the control's units; ControlOptionError when the form is wrong or it is outside the
// valid range.
Runner::ParamValue parseControlValue(const Runner::ControlInfo& control, const std::string& text);
// "0:100,48:0": two or more keys become keyframes, one key a constant. ControlOptionError for a syntax
// error, a repeated frame, a bad value, or keyframes on a control that cannot vary over time.
ControlSetting parseKeyframes(const Runner::ControlInfo& control, const std::string& text);
// A value or keyframes, whichever the text is (keyframes contain ':').
ControlSetting parseControlSetting(const Runner::ControlInfo& control, const std::string& text);
// Text that parseControlValue reads back to the same value (numbers with every digit they need).
std::string formatSettingValue(const Runner::ControlInfo& control, const Runner::ParamValue& value);
// "0:100,48:0"; reads back through parseKeyframes.
std::string formatKeyframes(const Runner::ControlInfo& control, const std::vector<Runner::Keyframe>& keys);

// The values of one command: defaults, then a preset, then --set options, each overriding the last.
class ControlOptions {
public:
    explicit ControlOptions(std::vector<Runner::ControlInfo> controls);

    const std::vector<Runner::ControlInfo>& controls() const { return controls_; }
    // Controls given a value so far (by preset or --set), by index.
    const ControlSettings& settings() const { return settings_; }
    // What a control holds now: its setting, else its default.
    ControlSetting current(int index) const;
    // Every value control that has a script name, with what it holds now.
    ControlSettings currentValues() const;

    // --set NAME=VALUE. UsageError "--set NAME=VALUE: <what is wrong>".
    void set(const std::string& assignment);
    // --preset FILE. On any error nothing changes: FootageError naming the file and the line.
    void readPreset(const std::string& path);
    // The same for a document in memory; `name` stands for the file in errors.
    void readPresetText(const std::string& text, const std::string& name);
    // The current values as a preset document.
    void writePreset(std::ostream& out) const;
    // Written under a temporary name and renamed, so a failed write leaves no half file; an existing file
    // is replaced only with `overwrite`, and never anything but a regular file. FootageError.
    void writePresetFile(const std::string& path, bool overwrite = false) const;

    // Gives the host every setting, in control order: constants with setValue (skipped when the host holds
    // that value already), keyframes with setKeyframes at host frame (frame - firstFrame), where firstFrame
    // is the input's frame number of host frame 0. FootageError when the host refuses one.
    void applyTo(Runner::Host& host, int firstFrame = 0) const;
    // Every value control with a script name takes what the host holds. A module may move controls that
    // follow each other ("Edge Colour Alpha" follows "Edge Colour"), so a preset written after applyTo and
    // takeFrom gives the same controls when it is applied again.
    void takeFrom(const Runner::Host& host, int firstFrame = 0);

private:
    std::vector<Runner::ControlInfo> controls_;
    ControlSettings settings_;
};

// The values of a command line: the preset (when `presetPath` is not empty), then every --set in order.
ControlOptions controlOptionsFrom(const std::vector<Runner::ControlInfo>& controls,
                                  const std::string& presetPath, const std::vector<std::string>& assignments);

}  // namespace Kiln::Footage

#endif
