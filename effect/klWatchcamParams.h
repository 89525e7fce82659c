#pragma once
// The effect's parameters as the render sees them: look-ups in the controls table, the name mapping a
// host adapter is given, and the reading of every parameter the render routine uses.
//
// Reading follows one rule for every name: ask whether the parameter set has the name, then make the
// typed read at the render time; a name the set lacks takes its fallback (klWatchcamControls.h:
// kFallbacks for names this effect never declares, kDeclaredFallbacks for declared ones, otherwise the
// control's own default). Values are in the effect's units: scales as fractions, colours 0..1, choices
// as the values their entries map to.
#include "effect/klWatchcamControls.h"
#include "param/klNamedParamSet.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Kiln::Watchcam {

// ---- the controls table -----------------------------------------------------------------------

// The host index of a script name, -1 for none. (Look-ups go by index rather than by pointer, so that
// they stay constant expressions under every compiler's instrumentation.)
constexpr int32_t controlIndex(std::string_view scriptName)
{
    for (const ControlSpec& c : kControls)
        if (c.scriptName != nullptr && scriptName == c.scriptName) return c.index;
    return -1;
}
// The control a script name belongs to, nullptr for none.
constexpr const ControlSpec* findControl(std::string_view scriptName)
{
    const int32_t i = controlIndex(scriptName);
    return i < 0 ? nullptr : &kControls[i];
}
// Host index of a name that must exist (a compile-time error otherwise).
consteval int32_t indexOf(std::string_view scriptName)
{
    const int32_t i = controlIndex(scriptName);
    if (i < 0) throw "no control has this script name";
    return i;
}
// The table is in host order: entry i is control i.
constexpr bool controlsInOrder()
{
    for (int32_t i = 0; i < kControlCount; ++i)
        if (kControls[i].index != i) return false;
    return true;
}
static_assert(controlsInOrder());

// Number of popup entries (names between '|'); 0 without choices.
constexpr int32_t choiceCount(const ControlSpec& c)
{
    if (c.choices == nullptr || c.choices[0] == '\0') return 0;
    int32_t n = 1;
    for (const char* p = c.choices; *p; ++p)
        if (*p == '|') ++n;
    return n;
}
// The effect value of popup entry item (0-based): the table's value, kQualityResolved, or item itself.
constexpr int32_t choiceValue(const ControlSpec& c, int32_t item)
{
    return c.choiceValues != nullptr ? c.choiceValues[item] : item;
}
// The entry names of a popup.
std::vector<std::string> choiceNames(const ControlSpec& c);

// A control's default in the effect's units (scale ÷ 100, choice -> its entry's value, bool 0/1).
// A default entry resolved from the render quality counts as 1 (low quality).
constexpr double effectDefault(const ControlSpec& c)
{
    switch (c.kind) {
    case ValueKind::Scale: return c.dflt / 100.0;
    case ValueKind::Choice: {
        const int32_t v = choiceValue(c, int32_t(c.dflt) - 1);
        return v == kQualityResolved ? 1.0 : double(v);
    }
    case ValueKind::Bool: return c.dflt != 0 ? 1.0 : 0.0;
    default: return c.dflt;
    }
}

// The value used when a parameter set lacks a name (see the header comment).
constexpr double fallbackValue(std::string_view scriptName)
{
    for (const Fallback& f : kFallbacks)
        if (scriptName == f.scriptName) return f.value;
    for (const Fallback& f : kDeclaredFallbacks)
        if (scriptName == f.scriptName) return f.value;
    const int32_t i = controlIndex(scriptName);
    return i < 0 ? 0.0 : effectDefault(kControls[i]);
}

// A colour control's default as fractions (alpha included); transparent black for other names.
constexpr KlRGBAColF defaultColour(std::string_view scriptName)
{
    const int32_t i = controlIndex(scriptName);
    if (i < 0) return {};
    const std::array<uint8_t, 4>& c = kControls[i].colour;
    return {c[1] / 255.0f, c[2] / 255.0f, c[3] / 255.0f, c[0] / 255.0f};
}

// ---- the name mapping -------------------------------------------------------------------------

// Adds every mapping of the table to a host adapter: the "Source" clip on layer 0, each popup with its
// entries' values (kQualityResolved marks an entry the host resolves from its render quality), every
// other named control with its value kind. HostT provides
//   addClipMapping(const std::string& name, int32_t index)
//   addParamMapping(int32_t index, const std::string& name, int32_t kind)
//   addPopupMapping(int32_t index, const std::string& name, const std::vector<int32_t>& values)
inline constexpr const char* kSourceClip = "Source";

template <class HostT>
void registerMappings(HostT& host)
{
    host.addClipMapping(kSourceClip, 0);
    for (const ControlSpec& c : kControls) {
        if (c.scriptName == nullptr) continue;
        if (c.kind == ValueKind::Choice) {
            std::vector<int32_t> values;
            for (int32_t i = 0; i < choiceCount(c); ++i) values.push_back(choiceValue(c, i));
            host.addPopupMapping(c.index, c.scriptName, values);
        } else {
            host.addParamMapping(c.index, c.scriptName, static_cast<int32_t>(c.kind));
        }
    }
}

// ---- reading ----------------------------------------------------------------------------------

// Every parameter the render routine reads, in the order it reads them.
struct Settings {
    // Declared controls, in host order. Defaults are the fallbacks.
    int32_t postAlphaYesNoNo = int32_t(fallbackValue("postAlphaYesNoNo"));  // 0 RGB, 1 RGBA
    int32_t tvType = int32_t(fallbackValue("TVType"));  // 0 Colour, 1 B and W, 2 Tint
    KlRGBColF tintColour{kTintColourFallback[0], kTintColourFallback[1], kTintColourFallback[2]};
    double contrast = fallbackValue("contrast");
    double brightness = fallbackValue("brightness");
    bool quantise = fallbackValue("quantise") != 0;
    int32_t quantiseLevels = int32_t(fallbackValue("quantiseLevels"));
    double playSpeed = fallbackValue("playSpeed");  // at the render time; playPosition integrates it
    bool hasFramesPerSec = false;  // without the parameter the frame rate is the host's (no dropping)
    double framesPerSec = fallbackValue("framesPerSec");
    bool lensEffect = fallbackValue("lensEffect") != 0;
    double lensRadius = fallbackValue("lensRadius");
    double lensStrength = fallbackValue("lensStrength");
    int32_t shashType = int32_t(fallbackValue("shashType"));
    int32_t seed = int32_t(fallbackValue("seed"));
    int32_t shashPeriod = int32_t(fallbackValue("shashPeriod"));
    double shashMax = fallbackValue("shashMax");
    double emInterference = fallbackValue("EMInterference");
    double whiteDot = fallbackValue("whiteDot");
    int32_t scanlineWidth = int32_t(fallbackValue("scanlineWidth"));
    double blur = fallbackValue("blur");
    int32_t filtered = int32_t(fallbackValue("filtered"));
    int32_t blendMethod = int32_t(fallbackValue("blendMethod"));  // the blend processor's method number
    double blendMix = fallbackValue("blendMix");  // percent, as are the gains and crops
    double blendEffect = fallbackValue("blendEffect");
    double blendSrc = fallbackValue("blendSrc");
    bool clampBlendAtFloat = fallbackValue("clampBlendAtFloat") != 0;
    int32_t sourceXMethod = int32_t(fallbackValue("SourceXMethod"));  // 0 colour, 1 repeat, 2 reflect, 3 wrap
    int32_t sourceYMethod = int32_t(fallbackValue("SourceYMethod"));
    KlRGBAColF sourceEdgeColour = defaultColour("SourceEdgeColour");
    double sourceEdgeColourAlpha = fallbackValue("SourceEdgeColourAlpha");
    double sourceLeft = fallbackValue("SourceLeft");
    double sourceRight = fallbackValue("SourceRight");
    double sourceBottom = fallbackValue("SourceBottom");
    double sourceTop = fallbackValue("SourceTop");

    // Names of the shared render routine that this effect does not declare.
    double masterBreakup = fallbackValue("masterBreakup");
    double breakupVariation = fallbackValue("breakupVariation");
    double saturation = fallbackValue("saturation");
    double redBrightness = fallbackValue("redBrightness");
    double greenBrightness = fallbackValue("greenBrightness");
    double blueBrightness = fallbackValue("blueBrightness");
    double colourDegrade = fallbackValue("colourDegrade");
    double colourThreshold = fallbackValue("colourThreshold");
    int32_t ghostImages = int32_t(fallbackValue("ghostImages"));
    double ghostThreshold = fallbackValue("ghostThreshold");
    double ghostDistance = fallbackValue("ghostDistance");
    double ghostStrength = fallbackValue("ghostStrength");
    double edgeDistortion = fallbackValue("edgeDistortion");
    double edgeJaggedness = fallbackValue("edgeJaggedness");
    double edgeThreshold = fallbackValue("edgeThreshold");
    double snowMax = fallbackValue("snowMax");
    double snowSoftness = fallbackValue("snowSoftness");
    double snowSparseness = fallbackValue("snowSparseness");
    double snowThreshold = fallbackValue("snowThreshold");
    double lineAngle = kLineAngleFallback;  // radians
    double lineSpacing = fallbackValue("lineSpacing");
    double lineSpeed = fallbackValue("lineSpeed");
    double lineThreshold = fallbackValue("lineThreshold");
    double vertOffsetMax = fallbackValue("vertOffsetMax");
    double vertOffThreshold = fallbackValue("vertOffThreshold");
    double rollThreshold = fallbackValue("rollThreshold");
    double vertRollSpeed = fallbackValue("vertRollSpeed");
    // Colour-gun alignments (red, green, blue): positions as the set gives them, which the render takes
    // relative to the image centre; offset 0 when absent.
    bool hasGunAlign[3] = {false, false, false};
    HvVec2 gunAlign[3] = {};
    int32_t playMode = int32_t(fallbackValue("playMode"));
    double resolution = fallbackValue("resolution");
    bool hasRepeatFrames = false;  // frame repetition applies only when the set declares it
    int32_t repeatFrames = int32_t(fallbackValue("repeatFrames"));
    double shashThreshold = fallbackValue("shashThreshold");
};

// Reads every parameter at `time` (frames), in order.
Settings readSettings(Kiln::Param::NamedParamSetI& params, double time);

// The play position S at `time` (frames): the integral of `playSpeed` over the layer's frames up to
// `time`, as the parameter set's host sums it; without the parameter the fallback speed times `time`.
double playPosition(Kiln::Param::NamedParamSetI& params, double time);

}  // namespace Kiln::Watchcam
