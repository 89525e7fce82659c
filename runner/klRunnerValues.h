/*
 * Control values of the substitute host: conversion between the module's parameter records and display
 * units, checks against the declared ranges, and keyframe interpolation. Pure functions, no host state.
 *
 * Display units are what a user types: a fixed slider shows 15.0 where its record holds 15 * 65536, a popup
 * is the 1-based item, a colour is a, r, g, b in 0..255. Sliders, angles, points and colours interpolate
 * linearly between keys; popups and checkboxes hold a key's value until the next key. Before the first key
 * the first value holds, after the last key the last value.
 */
#ifndef KL_RUNNER_VALUES_H
#define KL_RUNNER_VALUES_H

#include "runner/klRunner.h"

#include <string>
#include <vector>

namespace Kiln::Runner {

// True for the control types that carry a value (sliders, angle, checkbox, colour, point, popup).
bool hasValue(PF_ParamType type);

// The value (or, with `dephault`, the default) a record holds, in display units.
ParamValue displayValueOf(const PF_ParamDef& def, bool dephault = false);
// Writes a display value into a record's value field (fixed values rounded to the nearest 1/65536).
void storeDisplayValue(PF_ParamDef& def, const ParamValue& value);

// Empty when `value` is allowed for the control, else what is wrong with it.
std::string checkValue(const ControlInfo& control, const ParamValue& value);

// Value at `frame` of keys sorted by frame (at least one key).
ParamValue interpolate(PF_ParamType type, const std::vector<Keyframe>& keys, double frame);

// The closest fraction with a denominator up to 1 << 16 (0.5 gives 1/2).
PF_RationalScale toRational(double value);

// "RGB|RGBA" gives {"RGB", "RGBA"}; a null pointer gives nothing.
std::vector<std::string> splitPopupNames(const char* names);

// "PF_Cmd_RENDER" and so on; "command 99" for codes without a name.
std::string commandName(PF_Cmd cmd);

}  // namespace Kiln::Runner

#endif
