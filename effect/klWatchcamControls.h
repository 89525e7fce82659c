// The effect's controls, in host order: the one place that says what each control is.
//
// The host declaration, the script-name mapping used by the render, the renderer's `watchcam controls`
// listing and presets are all derived from this table. Index 0 is the input layer; 43 controls follow.
// Numbers are in the units the host shows: fixed sliders as shown on the slider (percent for scale
// controls), popups as 1-based items, colours as 8-bit channels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Kiln::Watchcam {

enum class ControlType {
    Layer,
    About,
    Popup,
    Colour,
    FixedSlider,
    IntSlider,
    Checkbox,
    GroupStart,
    GroupEnd
};

// How a script name's value reaches the effect (the parameter class of its value).
enum class ValueKind : int32_t {
    None = 0,
    Bool = 1,
    Double = 3,
    Int = 4,
    RGBColour = 5,
    RGBAColour = 6,
    Choice = 7,
    Scale = 13
};

// Host parameter flags used below.
inline constexpr int32_t kCannotTimeVary = 2;
inline constexpr int32_t kCollapseTwirly = 32;
inline constexpr int32_t kSupervise = 64;

// A popup item whose effect value is supplied by the host's render quality (2 at high quality, else 1).
inline constexpr int32_t kQualityResolved = -1;

struct ControlSpec {
    int32_t index;
    ControlType type;
    const char* label;  // the host's name for the control ("" for the checkboxes)
    const char* checkboxText;  // text beside a checkbox, else nullptr
    const char* scriptName;  // name the effect reads it by, nullptr for layout controls
    ValueKind kind;
    double dflt;  // slider value, popup item (1-based) or checkbox state
    double sliderMin, sliderMax;
    double validMin, validMax;
    int32_t flags;
    const char* choices;  // popup items joined by '|'
    const int32_t* choiceValues;  // effect value of each popup item (nullptr: item k gives k-1)
    std::array<uint8_t, 4> colour;  // default colour: alpha, red, green, blue
};

inline constexpr int32_t kFilteringValues[] = {1, 2, kQualityResolved};
// Item order of the "Method" popup mapped to the blend processor's method numbers.
inline constexpr int32_t kBlendMethodValues[] = {0,  19, 22, 5, 21, 20, 4,  9,  1,  13, 8,  16, 17,
                                                 14, 15, 6,  2, 3,  7,  10, 11, 12, 18, 26, 25};

inline constexpr const char* kBlendMethodNames =
    "None|Mix|Add|Difference|Subtract Source|Subtract Effect|Darken|Lighten|Colour|Luminosity|Hue|"
    "Saturation|Screen|Multiply|Overlay|Exclusion|ColourBurn|ColourDodge|HardLight|LinearBurn|LinearDodge|"
    "LinearLight|SoftLight|Composite Effect|Composite Source";
inline constexpr const char* kEdgeMethodNames = "Colour|Repeat|Reflect|Wrap";

using CT = ControlType;
using VK = ValueKind;
inline constexpr std::array<uint8_t, 4> kNoColour{0, 0, 0, 0};

inline constexpr ControlSpec kControls[] = {
    {0, CT::Layer, "Source", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr, kNoColour},
    {1, CT::About, "About", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0x42, nullptr, nullptr, kNoColour},
    {2, CT::Popup, "Process", nullptr, "postAlphaYesNoNo", VK::Choice, 1, 0, 0, 0, 0, kCannotTimeVary,
     "RGB|RGBA", nullptr, kNoColour},
    {3, CT::Popup, "TV Type", nullptr, "TVType", VK::Choice, 2, 0, 0, 0, 0, kCannotTimeVary,
     "Colour|B and W|Tint", nullptr, kNoColour},
    {4,
     CT::Colour,
     "Tint Colour",
     nullptr,
     "tintColour",
     VK::RGBColour,
     0,
     0,
     0,
     0,
     0,
     0,
     nullptr,
     nullptr,
     {255, 63, 165, 76}},
    {5, CT::FixedSlider, "Contrast", nullptr, "contrast", VK::Scale, 15, 0, 100, 0, 5000, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {6, CT::FixedSlider, "Brightness", nullptr, "brightness", VK::Scale, 25, 0, 100, 0, 5000, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {7, CT::Checkbox, "", "Quantise", "quantise", VK::Bool, 0, 0, 0, 0, 0, 0, nullptr, nullptr, kNoColour},
    {8, CT::IntSlider, "Quantise Levels", nullptr, "quantiseLevels", VK::Int, 6, 1, 10, 1, 10,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {9, CT::FixedSlider, "Play Speed", nullptr, "playSpeed", VK::Scale, 100, -800, 800, -800, 800,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {10, CT::FixedSlider, "Frame Rate", nullptr, "framesPerSec", VK::Double, 5, 0, 30, 0, 50, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {11, CT::GroupStart, "Fisheye Lens", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
    {12, CT::Checkbox, "", "Lens Effect", "lensEffect", VK::Bool, 1, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
    {13, CT::FixedSlider, "Lens Radius", nullptr, "lensRadius", VK::Double, 450, 0, 1000, 0, 5000,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {14, CT::FixedSlider, "Lens Strength", nullptr, "lensStrength", VK::Scale, 40, -500, 500, -5000, 5000,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {15, CT::GroupEnd, "Fisheye Lens", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
    {16, CT::GroupStart, "Shash", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr, kNoColour},
    {17, CT::Popup, "Shash Type", nullptr, "shashType", VK::Choice, 6, 0, 0, 0, 0, kCannotTimeVary,
     "Type 1|Type 2|Type 3|Type 4|Type 5|Random", nullptr, kNoColour},
    {18, CT::IntSlider, "Seed", nullptr, "seed", VK::Int, 25, 0, 100, 0, 5000, kCollapseTwirly, nullptr,
     nullptr, kNoColour},
    {19, CT::IntSlider, "Shash Period", nullptr, "shashPeriod", VK::Int, 15, 0, 100, 0, 5000, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {20, CT::FixedSlider, "Shash Max", nullptr, "shashMax", VK::Scale, 0, 0, 100, 0, 100, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {21, CT::GroupEnd, "Shash", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr, kNoColour},
    {22, CT::FixedSlider, "EM Interference", nullptr, "EMInterference", VK::Scale, 15, 0, 100, 0, 5000,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {23, CT::FixedSlider, "White Dot", nullptr, "whiteDot", VK::Scale, 0, 0, 100, 0, 100, kCollapseTwirly,
     nullptr, nullptr, kNoColour},
    {24, CT::IntSlider, "Scanline Width", nullptr, "scanlineWidth", VK::Int, 3, 0, 100, 0, 100,
     kCollapseTwirly, nullptr, nullptr, kNoColour},
    {25, CT::FixedSlider, "Blur", nullptr, "blur", VK::Double, 1, 0, 20, 0, 5000, kCollapseTwirly, nullptr,
     nullptr, kNoColour},
    // Registered as item 4 of three; a new instance shows "Global Default".
    {26, CT::Popup, "Filtering", nullptr, "filtered", VK::Choice, 3, 0, 0, 0, 0, kCannotTimeVary,
     "Low|High|Global Default", kFilteringValues, kNoColour},
    {27, CT::GroupStart, "Blending", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
    {28, CT::Popup, "Method", nullptr, "blendMethod", VK::Choice, 1, 0, 0, 0, 0, kCannotTimeVary,
     kBlendMethodNames, kBlendMethodValues, kNoColour},
    {29, CT::FixedSlider, "Blend", nullptr, "blendMix", VK::Double, 50, 0, 100, 0, 100, 0, nullptr, nullptr,
     kNoColour},
    {30, CT::FixedSlider, "Effect Gain", nullptr, "blendEffect", VK::Double, 100, 0, 200, 0, 5000, 0, nullptr,
     nullptr, kNoColour},
    {31, CT::FixedSlider, "Source Gain", nullptr, "blendSrc", VK::Double, 100, 0, 200, 0, 5000, 0, nullptr,
     nullptr, kNoColour},
    {32, CT::Checkbox, "", "Clamp 0-1 (32 bpc)", "clampBlendAtFloat", VK::Bool, 0, 0, 0, 0, 0, 0, nullptr,
     nullptr, kNoColour},
    {33, CT::GroupEnd, "Blending", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr, kNoColour},
    {34, CT::GroupStart, "Source Crops", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
    {35, CT::Popup, "X Method", nullptr, "SourceXMethod", VK::Choice, 3, 0, 0, 0, 0, kCannotTimeVary,
     kEdgeMethodNames, nullptr, kNoColour},
    {36, CT::Popup, "Y Method", nullptr, "SourceYMethod", VK::Choice, 4, 0, 0, 0, 0, kCannotTimeVary,
     kEdgeMethodNames, nullptr, kNoColour},
    {37,
     CT::Colour,
     "Edge Colour",
     nullptr,
     "SourceEdgeColour",
     VK::RGBAColour,
     0,
     0,
     0,
     0,
     0,
     kSupervise,
     nullptr,
     nullptr,
     {255, 0, 0, 0}},
    {38, CT::FixedSlider, "Edge Colour Alpha", nullptr, "SourceEdgeColourAlpha", VK::Scale, 100, 0, 100, 0,
     100, kSupervise | kCollapseTwirly | kCannotTimeVary, nullptr, nullptr, kNoColour},
    {39, CT::FixedSlider, "Left", nullptr, "SourceLeft", VK::Double, 0, 0, 100, 0, 100, 0, nullptr, nullptr,
     kNoColour},
    {40, CT::FixedSlider, "Right", nullptr, "SourceRight", VK::Double, 100, 0, 100, 0, 100, 0, nullptr,
     nullptr, kNoColour},
    {41, CT::FixedSlider, "Bottom", nullptr, "SourceBottom", VK::Double, 0, 0, 100, 0, 100, 0, nullptr,
     nullptr, kNoColour},
    {42, CT::FixedSlider, "Top", nullptr, "SourceTop", VK::Double, 100, 0, 100, 0, 100, 0, nullptr, nullptr,
     kNoColour},
    {43, CT::GroupEnd, "Source Crops", nullptr, nullptr, VK::None, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     kNoColour},
};

inline constexpr int32_t kControlCount = int32_t(sizeof(kControls) / sizeof(kControls[0]));
static_assert(kControlCount == 44, "the input layer and 43 controls");

// What each control means to a user, in one line, and whether its number is a percentage (declared with
// the host's percent display, so hosts show "15%" and renderers take "15%"). Hosts that list controls
// show the line; group ends have none.
struct ControlText {
    int32_t index;
    bool percent;
    const char* description;
};
inline constexpr ControlText kControlTexts[] = {
    {0, false, "The footage the effect is applied to"},
    {1, false, "The effect's banner; it holds no value"},
    {2, false, "RGB keeps the source's alpha; RGBA keeps the alpha the effect made"},
    {3, false, "The monitor shows colour, black and white, or a tint of Tint Colour"},
    {4, false, "The colour of the picture when TV Type is Tint"},
    {5, true, "Contrast of the monitor's tone curve"},
    {6, true, "Brightness of the monitor's tone curve"},
    {7, false, "Reduces the picture to a small palette spanned by its own colours"},
    {8, false, "Steps per colour channel when Quantise is on"},
    {9, true, "Playback speed: 100 plays normally, 0 freezes, below 0 plays backwards"},
    {10, false, "Frames per second the camera records, each held until the next; 0 drops none"},
    {11, false, "Bends the picture as a wide camera lens does"},
    {12, false, "Turns the fisheye lens on"},
    {13, false, "Radius of the lens, in pixels of the full-size frame"},
    {14, true, "Above 0 bulges the middle, below 0 pinches it; -10 to 10 leaves the lens off"},
    {15, false, ""},
    {16, false, "Snow over the picture"},
    {17, false, "Pattern of the snow; Random draws another every Shash Period frames"},
    {18, false, "Starts the random numbers of the snow"},
    {19, false, "Frames between changes of pattern when Shash Type is Random"},
    {20, true, "How much snow is mixed over the picture; 0 shows none"},
    {21, false, ""},
    {22, true, "Strength of the soft bands of brighter and darker rows"},
    {23, true, "Collapses the picture towards the dot of a tube switched off; above 99 it is gone"},
    {24, false, "Rows from one scan line to the next; 1 or less draws none"},
    {25, false, "Softens the picture; 0.1 or less leaves it sharp"},
    {26, false, "Low or high quality sampling (kept with the settings; the lens always filters bilinearly)"},
    {27, false, "Blends the effect's picture with the source"},
    {28, false, "How the effect's picture and the source are combined; None shows the effect alone"},
    {29, true, "Amount of the blend"},
    {30, true, "Gain on the effect's picture before blending"},
    {31, true, "Gain on the source before blending"},
    {32, false, "Clamps blended values to 0..1 in float renders"},
    {33, false, ""},
    {34, false, "Crops the source and continues it beyond the crop"},
    {35, false, "How the source continues left and right of the crop"},
    {36, false, "How the source continues above and below the crop"},
    {37, false, "The colour beyond the crop where a method is Colour"},
    {38, true, "Opacity of Edge Colour (follows the colour's alpha)"},
    {39, true, "Left edge of the crop, from the left of the frame"},
    {40, true, "Right edge of the crop, from the left of the frame"},
    {41, true, "Bottom edge of the crop, from the bottom of the frame"},
    {42, true, "Top edge of the crop, from the bottom of the frame"},
    {43, false, ""},
};
constexpr bool textsFollowTheControls()
{
    if (sizeof(kControlTexts) / sizeof(kControlTexts[0]) != static_cast<std::size_t>(kControlCount))
        return false;
    for (int32_t i = 0; i < kControlCount; ++i)
        if (kControlTexts[i].index != i || (kControlTexts[i].percent && kControls[i].type != CT::FixedSlider))
            return false;
    return true;
}
static_assert(textsFollowTheControls(),
              "one text per control, in control order; only sliders are percentages");

// Values the render routine uses for names it asks about that this effect does not declare.
struct Fallback {
    const char* scriptName;
    ValueKind kind;
    double value;
};
inline constexpr Fallback kFallbacks[] = {
    {"masterBreakup", VK::Scale, 1.0},
    {"breakupVariation", VK::Scale, 0.0},
    {"saturation", VK::Scale, 1.0},
    {"redBrightness", VK::Scale, 0.0},
    {"greenBrightness", VK::Scale, 0.0},
    {"blueBrightness", VK::Scale, 0.0},
    {"colourDegrade", VK::Scale, 0.0},
    {"colourThreshold", VK::Scale, 1.0},
    {"ghostImages", VK::Int, 0},
    {"ghostThreshold", VK::Scale, 1.0},
    {"ghostDistance", VK::Double, 0.0},
    {"ghostStrength", VK::Scale, 0.0},
    {"edgeDistortion", VK::Double, 0.0},
    {"edgeJaggedness", VK::Double, 1.0},
    {"edgeThreshold", VK::Scale, 1.0},
    {"snowMax", VK::Scale, 1.0},
    {"snowSoftness", VK::Double, 100.0},
    {"snowSparseness", VK::Scale, 0.15},
    {"snowThreshold", VK::Scale, 1.0},
    {"lineSpacing", VK::Double, 50.0},
    {"lineSpeed", VK::Double, 100.0},
    {"lineThreshold", VK::Scale, 1.0},
    {"vertOffsetMax", VK::Scale, 0.0},
    {"vertOffThreshold", VK::Scale, 1.0},
    {"rollThreshold", VK::Scale, 1.0},
    {"vertRollSpeed", VK::Double, 0.0},
    {"playMode", VK::Int, 0},
    {"resolution", VK::Scale, 1.0},
    {"repeatFrames", VK::Int, 8},
    {"shashThreshold", VK::Scale, 0.0},
};
// `lineAngle` falls back to 10 degrees; the colour-gun alignments to offset 0 from the image centre.
inline constexpr double kLineAngleFallback = 0.174533;

// Values the render routine uses for declared names when a parameter set lacks them (never for this
// effect). A declared name not listed here falls back to its control's default.
inline constexpr Fallback kDeclaredFallbacks[] = {
    {"TVType", VK::Choice, 1},           {"seed", VK::Int, 30},
    {"contrast", VK::Scale, 0.15},       {"brightness", VK::Scale, 0.25},
    {"EMInterference", VK::Scale, 0.15}, {"whiteDot", VK::Scale, 0.0},
    {"blur", VK::Double, 1.0},           {"scanlineWidth", VK::Int, 3},
    {"lensStrength", VK::Scale, 0.3},    {"filtered", VK::Choice, 1},
    {"shashType", VK::Choice, 5},        {"shashMax", VK::Scale, 0.0},
    {"playSpeed", VK::Scale, 1.0},       {"quantiseLevels", VK::Int, 16},
};
// `tintColour` without the parameter: red, green, blue as fractions.
inline constexpr float kTintColourFallback[3] = {0.25f, 0.6f, 0.3f};

}  // namespace Kiln::Watchcam
