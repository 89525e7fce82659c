// Control values from the command line and preset files: every value form, the edges of the valid ranges,
// keyframe syntax, name lookup, presets written and read back, and bad preset documents reported with
// their line.
#include "footage/klFootageError.h"
#include "controls/klControlOptions.h"
#include "controls/klPresetFile.h"
#include "runner/klRunnerValues.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace Kiln::Footage;
using Kiln::Runner::ControlInfo;
using Kiln::Runner::Keyframe;
using Kiln::Runner::ParamValue;

ParamValue pv(double a, double b = 0, double c = 0, double d = 0)
{
    ParamValue v;
    v.v[0] = a;
    v.v[1] = b;
    v.v[2] = c;
    v.v[3] = d;
    return v;
}

// A cut-down copy of the effect's controls, in the same shapes the host reports them.
std::vector<ControlInfo> sampleControls()
{
    std::vector<ControlInfo> cs;
    auto add = [&cs](PF_ParamType type, const char* label, const char* script) -> ControlInfo& {
        ControlInfo c;
        c.index = int(cs.size());
        c.type = type;
        c.label = label;
        c.scriptName = script;
        cs.push_back(c);
        return cs.back();
    };
    auto slider = [&](PF_ParamType type, const char* label, const char* script, double dflt, double lo,
                      double hi) {
        ControlInfo& c = add(type, label, script);
        c.defaultValue = pv(dflt);
        c.validMin = lo;
        c.validMax = hi;
        c.sliderMin = std::max(lo, -100.0);
        c.sliderMax = std::min(hi, 100.0);
        return std::ref(c);
    };
    add(PF_Param_LAYER, "Input", "");  // 0
    add(PF_Param_NO_DATA, "About", "");  // 1
    ControlInfo& tv = add(PF_Param_POPUP, "TV Type", "TVType");  // 2
    tv.popupItems = {"Colour", "B and W", "Tint"};
    tv.defaultValue = pv(2);
    tv.flags = PF_ParamFlag_CANNOT_TIME_VARY;
    add(PF_Param_COLOR, "Tint Colour", "tintColour").defaultValue = pv(255, 63, 165, 76);  // 3
    slider(PF_Param_FIX_SLIDER, "Contrast", "contrast", 15, 0, 5000);  // 4
    ControlInfo& quantise = add(PF_Param_CHECKBOX, "", "quantise");  // 5
    quantise.checkboxText = "Quantise";
    slider(PF_Param_SLIDER, "Quantise Levels", "quantiseLevels", 6, 1, 10);  // 6
    slider(PF_Param_FIX_SLIDER, "Play Speed", "playSpeed", 100, -800, 800);  // 7
    add(PF_Param_GROUP_START, "Fisheye Lens", "");  // 8
    ControlInfo& lens = add(PF_Param_CHECKBOX, "", "lensEffect");  // 9
    lens.checkboxText = "Lens Effect";
    lens.defaultValue = pv(1);
    add(PF_Param_GROUP_END, "Fisheye Lens", "");  // 10
    ControlInfo& alpha =
        slider(PF_Param_FIX_SLIDER, "Edge Colour Alpha", "SourceEdgeColourAlpha", 100, 0, 100);  // 11
    alpha.flags = PF_ParamFlag_CANNOT_TIME_VARY;
    ControlInfo& mix = slider(PF_Param_FIX_SLIDER, "Mix", "blendMix", 50, 0, 100);  // 12
    mix.percent = true;
    return cs;
}

enum {
    kTV = 2,
    kTint = 3,
    kContrast = 4,
    kQuantise = 5,
    kLevels = 6,
    kSpeed = 7,
    kLens = 9,
    kAlpha = 11,
    kMix = 12
};

// The message of the ControlOptionError `f` raises, or "" when it raises none.
template <class F>
std::string errorOf(F f)
{
    try {
        f();
    } catch (const ControlOptionError& e) {
        return e.what();
    } catch (const FootageError& e) {
        return e.what();
    }
    return "";
}

TEST(ControlOptions, NumbersAsOnTheSliderWithinTheValidRange)
{
    const auto cs = sampleControls();
    const ControlInfo& contrast = cs[kContrast];
    EXPECT_EQ(parseControlValue(contrast, "30").v[0], 30);
    EXPECT_EQ(parseControlValue(contrast, " 15.5 ").v[0], 15.5);
    EXPECT_EQ(parseControlValue(contrast, "+7").v[0], 7);
    EXPECT_EQ(parseControlValue(contrast, "2.5e3").v[0], 2500);
    // Both ends of the valid range (not the slider's 0..100) are allowed; a hair beyond is not.
    EXPECT_EQ(parseControlValue(contrast, "0").v[0], 0);
    EXPECT_EQ(parseControlValue(contrast, "5000").v[0], 5000);
    EXPECT_EQ(errorOf([&] { parseControlValue(contrast, "5000.001"); }), "\"Contrast\" takes 0 to 5000");
    EXPECT_EQ(errorOf([&] { parseControlValue(contrast, "-0.001"); }), "\"Contrast\" takes 0 to 5000");
    EXPECT_EQ(parseControlValue(cs[kSpeed], "-800").v[0], -800);
    EXPECT_EQ(errorOf([&] { parseControlValue(cs[kSpeed], "-800.5"); }), "\"Play Speed\" takes -800 to 800");
    for (const char* bad : {"", "abc", "0x10", "inf", "nan", "1e3x", "3,5", "30%", "- 3"})
        EXPECT_EQ(errorOf([&] { parseControlValue(contrast, bad); }),
                  "\"Contrast\" takes a number from 0 to 5000")
            << bad;
    // A percent slider also takes the sign it shows.
    EXPECT_EQ(parseControlValue(cs[kMix], "30%").v[0], 30);
    EXPECT_EQ(parseControlValue(cs[kMix], "30").v[0], 30);

    const ControlInfo& levels = cs[kLevels];
    EXPECT_EQ(parseControlValue(levels, "1").v[0], 1);
    EXPECT_EQ(parseControlValue(levels, "10").v[0], 10);
    EXPECT_EQ(parseControlValue(levels, "6.0").v[0], 6);
    for (const char* bad : {"0", "11", "5.5", "x", ""})
        EXPECT_EQ(errorOf([&] { parseControlValue(levels, bad); }),
                  "\"Quantise Levels\" takes whole numbers 1 to 10")
            << bad;
}

TEST(ControlOptions, CheckboxesChoicesAndColours)
{
    const auto cs = sampleControls();
    for (const char* on : {"on", "ON", "true", "yes", "1", " On "})
        EXPECT_EQ(parseControlValue(cs[kLens], on).v[0], 1) << on;
    for (const char* off : {"off", "false", "No", "0"})
        EXPECT_EQ(parseControlValue(cs[kLens], off).v[0], 0) << off;
    EXPECT_NE(errorOf([&] { parseControlValue(cs[kLens], "maybe"); }).find("\"Lens Effect\" takes on or off"),
              std::string::npos);
    EXPECT_EQ(errorOf([&] { parseControlValue(cs[kLens], "2"); }).find("\"Lens Effect\""), 0u);

    const ControlInfo& tv = cs[kTV];
    EXPECT_EQ(parseControlValue(tv, "Tint").v[0], 3);
    EXPECT_EQ(parseControlValue(tv, "tint").v[0], 3);
    EXPECT_EQ(parseControlValue(tv, "b AND w").v[0], 2);
    EXPECT_EQ(parseControlValue(tv, "1").v[0], 1);
    EXPECT_EQ(parseControlValue(tv, "3").v[0], 3);
    const std::string choices = "\"TV Type\" takes one of \"Colour\", \"B and W\" or \"Tint\" (or 1 to 3)";
    for (const char* bad : {"0", "4", "2.5", "Grey", ""})
        EXPECT_EQ(errorOf([&] { parseControlValue(tv, bad); }), choices) << bad;

    const ControlInfo& tint = cs[kTint];
    EXPECT_EQ(parseControlValue(tint, "63,165,76"), pv(255, 63, 165, 76));
    EXPECT_EQ(parseControlValue(tint, "1, 2, 3, 4"), pv(4, 1, 2, 3));
    EXPECT_EQ(parseControlValue(tint, "#3FA54C"), pv(255, 63, 165, 76));
    EXPECT_EQ(parseControlValue(tint, "#3fa54c"), pv(255, 63, 165, 76));
    EXPECT_EQ(parseControlValue(tint, "0,0,0,0"), pv(0, 0, 0, 0));
    EXPECT_EQ(parseControlValue(tint, "255,255,255"), pv(255, 255, 255, 255));
    for (const char* bad :
         {"256,0,0", "-1,0,0", "1,2", "1,2,3,4,5", "1.5,2,3", "#12345", "#GG0000", "red", ""})
        EXPECT_EQ(errorOf([&] { parseControlValue(tint, bad); }),
                  "\"Tint Colour\" takes r,g,b or r,g,b,a with channels 0 to 255, or #rrggbb")
            << bad;

    EXPECT_EQ(errorOf([&] { parseControlValue(cs[1], "1"); }), "\"About\" has no value to set");
}

TEST(ControlOptions, KeyframeSyntax)
{
    const auto cs = sampleControls();
    const ControlInfo& speed = cs[kSpeed];
    ControlSetting s = parseControlSetting(speed, "0:100,48:0");
    ASSERT_TRUE(s.animated());
    EXPECT_EQ(s.keys, (std::vector<Keyframe>{{0, pv(100)}, {48, pv(0)}}));
    EXPECT_EQ(s.value, pv(100));
    // Any order, spaces allowed; kept sorted by frame.
    s = parseControlSetting(speed, " 48 : 0 , 0:100, 24:-50");
    EXPECT_EQ(s.keys, (std::vector<Keyframe>{{0, pv(100)}, {24, pv(-50)}, {48, pv(0)}}));
    // One key is a constant.
    s = parseControlSetting(speed, "10:50");
    EXPECT_FALSE(s.animated());
    EXPECT_EQ(s.value, pv(50));
    // Colours hold commas of their own.
    s = parseControlSetting(cs[kTint], "0:255,0,0,24:#0000ff,30:1,2,3,4");
    EXPECT_EQ(s.keys, (std::vector<Keyframe>{
                          {0, pv(255, 255, 0, 0)}, {24, pv(255, 0, 0, 255)}, {30, pv(4, 1, 2, 3)}}));

    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "0:100,48:"); }), "keyframe at frame 48 has no value");
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "0:100,x:5"); }),
              "keyframe \"x:5\": the frame must be a whole number, 0 or more");
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "-1:100,5:0"); }),
              "keyframe \"-1:100\": the frame must be a whole number, 0 or more");
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "1.5:100,5:0"); }),
              "keyframe \"1.5:100\": the frame must be a whole number, 0 or more");
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "0:100,0:50"); }), "two keyframes at frame 0");
    EXPECT_EQ(
        errorOf([&] { parseControlSetting(speed, "100,48:0"); }).find("keyframes are FRAME:VALUE pairs"), 0u);
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, ":5"); }),
              "keyframe \":5\": the frame must be a whole number, 0 or more");
    EXPECT_EQ(errorOf([&] { parseControlSetting(speed, "0:100,48:900"); }),
              "keyframe at frame 48: \"Play Speed\" takes -800 to 800");
    // Controls that cannot vary over time refuse keyframes, but a single key is just a value.
    EXPECT_EQ(errorOf([&] { parseControlSetting(cs[kTV], "0:Colour,24:Tint"); }),
              "\"TV Type\" cannot vary over time: give one value, not keyframes");
    EXPECT_EQ(errorOf([&] { parseControlSetting(cs[kAlpha], "0:10,5:20"); }),
              "\"Edge Colour Alpha\" cannot vary over time: give one value, not keyframes");
    EXPECT_EQ(parseControlSetting(cs[kTV], "0:Tint").value, pv(3));
}

TEST(ControlOptions, NamesByScriptNameLabelOrCheckboxText)
{
    const auto cs = sampleControls();
    EXPECT_EQ(findControlByName(cs, "contrast"), kContrast);
    EXPECT_EQ(findControlByName(cs, "Contrast"), kContrast);
    EXPECT_EQ(findControlByName(cs, "CONTRAST"), kContrast);
    EXPECT_EQ(findControlByName(cs, "TVType"), kTV);
    EXPECT_EQ(findControlByName(cs, "TV Type"), kTV);
    EXPECT_EQ(findControlByName(cs, "tv type"), kTV);
    EXPECT_EQ(findControlByName(cs, "Lens Effect"), kLens);
    EXPECT_EQ(findControlByName(cs, "lenseffect"), kLens);
    EXPECT_EQ(findControlByName(cs, " Quantise "), kQuantise);

    EXPECT_EQ(errorOf([&] { findControlByName(cs, "constrast"); }),
              "no control is called \"constrast\" (did you mean contrast?)");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, "speed"); }),
              "no control is called \"speed\" (did you mean playSpeed?)");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, "zzzzzzzz"); }),
              "no control is called \"zzzzzzzz\" (watchcam controls lists them all)");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, "Fisheye Lens"); }),
              "\"Fisheye Lens\" is a group heading, not a control with a value");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, "about"); }), "\"about\" has no value to set");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, "Input"); }),
              "\"Input\" is the input layer, not a control");
    EXPECT_EQ(errorOf([&] { findControlByName(cs, ""); }), "no control name given");

    // An exact name wins; names equal in any case but not exactly are ambiguous.
    auto twins = cs;
    twins[kMix].label = "contrast";
    EXPECT_EQ(findControlByName(twins, "contrast"), kContrast);
    EXPECT_EQ(errorOf([&] { findControlByName(twins, "CONTRAST"); }),
              "\"CONTRAST\" could be contrast or blendMix; give the exact name");
}

TEST(ControlOptions, SetOptionsReportTheOptionAndLaterOnesWin)
{
    ControlOptions o(sampleControls());
    o.set("contrast=30");
    o.set("TV Type=Tint");
    o.set("Lens Effect=off");
    o.set("playSpeed=0:100,48:0");
    o.set("contrast = 40");
    EXPECT_EQ(o.current(kContrast).value, pv(40));
    EXPECT_EQ(o.current(kTV).value, pv(3));
    EXPECT_EQ(o.current(kLens).value, pv(0));
    EXPECT_TRUE(o.current(kSpeed).animated());
    EXPECT_EQ(o.current(kLevels).value, pv(6));  // untouched: the default
    EXPECT_EQ(o.settings().size(), 4u);

    auto usage = [&o](const std::string& a) {
        try {
            o.set(a);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(usage("contrast=6000"), "--set contrast=6000: \"Contrast\" takes 0 to 5000");
    EXPECT_EQ(usage("contrast"),
              "--set contrast: expected NAME=VALUE, such as contrast=30 or \"TV Type=Tint\"");
    EXPECT_EQ(usage("=5"), "--set =5: expected NAME=VALUE, such as contrast=30 or \"TV Type=Tint\"");
    EXPECT_EQ(usage("contrst=5"),
              "--set contrst=5: no control is called \"contrst\" (did you mean contrast?)");
    EXPECT_EQ(
        usage("TVType=0:Colour,5:Tint"),
        "--set TVType=0:Colour,5:Tint: \"TV Type\" cannot vary over time: give one value, not keyframes");
    EXPECT_EQ(o.current(kContrast).value, pv(40));  // refused values change nothing
}

// Writes every value as a preset and reads it into fresh options.
ControlSettings roundTrip(const ControlOptions& o)
{
    std::ostringstream out;
    o.writePreset(out);
    ControlOptions back(o.controls());
    back.readPresetText(out.str(), "look.xml");
    return back.currentValues();
}

TEST(ControlOptions, PresetsReadBackToTheSameValues)
{
    ControlOptions defaults(sampleControls());
    EXPECT_EQ(roundTrip(defaults), defaults.currentValues());
    EXPECT_EQ(defaults.currentValues().size(), 9u);  // value controls with script names

    ControlOptions o(sampleControls());
    for (const char* a : {"contrast=15.123456789012", "TV Type=b and w", "tintColour=1,2,3,4", "Quantise=on",
                          "quantiseLevels=10", "playSpeed=0:100,24:-33.3,48:0", "Lens Effect=off",
                          "SourceEdgeColourAlpha=0.1", "blendMix=0:0,10:100"})
        o.set(a);
    const ControlSettings back = roundTrip(o);
    EXPECT_EQ(back, o.currentValues());
    EXPECT_EQ(back.at(kContrast).value.v[0], 15.123456789012);

    std::ostringstream out;
    o.writePreset(out);
    const std::string text = out.str();
    EXPECT_NE(text.find("<paramset>\n"), std::string::npos);
    EXPECT_NE(text.find("  <double name='contrast' value='15.123456789012' />\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  <choice name='TVType' value='B and W' />\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  <rgb name='tintColour' value='1,2,3,4' />\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  <bool name='lensEffect' value='off' />\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  <int name='quantiseLevels' value='10' />\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  <double name='playSpeed' keys='0:100,24:-33.3,48:0' />\n"), std::string::npos)
        << text;
}

class PresetFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "watchcam-preset-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string dir_;
};

TEST_F(PresetFiles, PresetThenSetOptionsAndFilesWrittenWhole)
{
    const auto cs = sampleControls();
    const std::string preset = write("look.xml", "<paramset>\n"
                                                 "  <double name='contrast' value='30'/>\n"
                                                 "  <choice name='TVType' value='Tint'/>\n"
                                                 "  <double name='playSpeed' keys='0:100,48:0'/>\n"
                                                 "</paramset>\n");
    const ControlOptions o = controlOptionsFrom(cs, preset, {"contrast=45"});
    EXPECT_EQ(o.current(kContrast).value, pv(45));  // --set after the preset
    EXPECT_EQ(o.current(kTV).value, pv(3));
    EXPECT_EQ(o.current(kSpeed).keys, (std::vector<Keyframe>{{0, pv(100)}, {48, pv(0)}}));
    EXPECT_EQ(o.current(kLevels).value, pv(6));

    const std::string written = dir_ + "/out.xml";
    o.writePresetFile(written);
    ControlOptions back(cs);
    back.readPreset(written);
    EXPECT_EQ(back.currentValues(), o.currentValues());
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_TRUE(entry.path().filename() == "look.xml" || entry.path().filename() == "out.xml")
            << entry.path();

    EXPECT_EQ(errorOf([&] { back.readPreset(dir_ + "/missing.xml"); }),
              dir_ + "/missing.xml: cannot read the preset: No such file or directory");
    EXPECT_EQ(errorOf([&] {
                  o.writePresetFile(dir_ + "/no/such/dir/p.xml");
              }).find(dir_ + "/no/such/dir/p.xml: cannot write into"),
              0u);
}

TEST_F(PresetFiles, BadPresetsNameTheLineAndChangeNothing)
{
    const auto cs = sampleControls();
    auto fails = [&cs](const std::string& body) {
        ControlOptions o(cs);
        o.set("contrast=20");
        const ControlSettings before = o.settings();
        const std::string e = errorOf([&] { o.readPresetText(body, "look.xml"); });
        EXPECT_EQ(o.settings(), before) << body;
        return e;
    };
    const std::string head = "<?xml version='1.0'?>\n<paramset>\n";  // elements start on line 3
    EXPECT_EQ(fails(head + "  <double name='contrast' value='6000'/>\n</paramset>\n"),
              "look.xml: line 3: contrast=6000: \"Contrast\" takes 0 to 5000");
    EXPECT_EQ(
        fails(
            head +
            "  <double name='contrast' value='40'/>\n  <double name='constrast' value='30'/>\n</paramset>\n"),
        "look.xml: line 4: no control is called \"constrast\" (did you mean contrast?)");
    EXPECT_EQ(
        fails(head + "  <choice name='TV Type' value='Tint'/>\n</paramset>\n"),
        "look.xml: line 3: \"TV Type\" is not a script name; presets name controls by script name (TVType)");
    EXPECT_EQ(fails(head + "  <int name='contrast' value='30'/>\n</paramset>\n"),
              "look.xml: line 3: contrast: \"Contrast\" is written <double name='contrast' value='...' />, "
              "not <int>");
    EXPECT_EQ(fails(head + "  <string name='contrast' value='30'/>\n</paramset>\n"),
              "look.xml: line 3: <string> is not a preset element (double, int, bool, choice, rgb, angle or "
              "pos2d)");
    EXPECT_EQ(fails(head + "  <double name='playSpeed' keys='0:100,48:'/>\n</paramset>\n"),
              "look.xml: line 3: playSpeed=0:100,48:: keyframe at frame 48 has no value");
    EXPECT_EQ(fails(head + "  <choice name='TVType' keys='0:Colour,5:Tint'/>\n</paramset>\n"),
              "look.xml: line 3: TVType=0:Colour,5:Tint: \"TV Type\" cannot vary over time: give one value, "
              "not keyframes");
    EXPECT_EQ(
        fails(
            head +
            "  <double name='contrast' value='1'/>\n\n  <double name='contrast' value='2'/>\n</paramset>\n"),
        "look.xml: line 5: contrast is given twice, on lines 3 and 5");
    EXPECT_EQ(fails(head + "  <double name='contrast' value='1' keys='0:1,2:3'/>\n</paramset>\n"),
              "look.xml: line 3: contrast: give a value or keys attribute, not both");
    EXPECT_EQ(fails(head + "  <double name='contrast'/>\n</paramset>\n"),
              "look.xml: line 3: contrast: needs a value='...' or keys='FRAME:VALUE,...' attribute");
    EXPECT_EQ(fails(head + "  <double value='3'/>\n</paramset>\n"),
              "look.xml: line 3: <double> needs a name attribute: the script name of a control");
    // The XML layer's own failures keep their words, with the line in front.
    EXPECT_EQ(fails(head + "  <double name='contrast' value='3' colour='red'/>\n</paramset>\n"),
              "look.xml: line 3: element 'double' Unknown attributes 'colour'");
    EXPECT_EQ(fails("<preset>\n</preset>\n"),
              "look.xml: line 1: element 'preset' Expecting root XML element 'paramset'");
    EXPECT_EQ(fails(head + "  <double name='contrast' value='3'>\n</paramset>\n"),
              "look.xml: line 4, column 2: mismatched tag");
    EXPECT_EQ(fails(head + "  <double name='contrast' value='3'/>\n"),
              "look.xml: line 4, column 0: no element found");
    EXPECT_EQ(fails(""), "look.xml: not a preset: there is no \"paramset\" element");
    EXPECT_EQ(fails("<!-- nothing -->\n"), "look.xml: not a preset: there is no \"paramset\" element");
    // A preset may be empty, and may set only some controls.
    EXPECT_EQ(fails("<paramset/>"), "");

    // The same through a file, whose name is what the error starts with.
    const std::string path =
        write("bad.xml", head + "\n  <bool name='quantise' value='perhaps'/>\n</paramset>\n");
    ControlOptions o(cs);
    EXPECT_EQ(errorOf([&] { o.readPreset(path); }),
              path + ": line 4: quantise=perhaps: \"Quantise\" takes on or off (or true/false, yes/no, 1/0)");
}

#ifdef WATCHCAM_EFFECT_MODULE
// The real module: every default reads back through the value parser, and settings reach the host.
TEST(ControlOptionsModule, RealControlsTakeTheirOwnDefaultsAndReachTheHost)
{
    struct stat s { };
    if (stat(WATCHCAM_EFFECT_MODULE, &s) != 0) GTEST_SKIP() << "the effect module is not built";
    auto module = Kiln::Runner::Module::load(WATCHCAM_EFFECT_MODULE);
    Kiln::Runner::HostSettings settings;
    settings.width = settings.height = 32;
    settings.frameCount = 50;
    Kiln::Runner::Host host(*module, settings);
    const auto& cs = host.controls();

    ControlOptions o(cs);
    ASSERT_EQ(o.currentValues().size(), 34u);  // 44 less the layer, About and four groups of two
    for (const auto& [index, setting] : o.currentValues()) {
        const ControlInfo& c = cs[size_t(index)];
        EXPECT_EQ(parseControlValue(c, formatSettingValue(c, setting.value)), c.defaultValue) << c.label;
    }
    EXPECT_EQ(roundTrip(o), o.currentValues());

    o.set("contrast=30");
    o.set("TV Type=Tint");
    o.set("Lens Effect=off");
    o.set("tintColour=#ff8000");
    o.set("playSpeed=1000:100,1048:0");
    try {
        o.set("contrast=6000");
        ADD_FAILURE();
    } catch (const UsageError& e) {
        EXPECT_STREQ(e.what(), "--set contrast=6000: \"Contrast\" takes 0 to 5000");
    }
    o.applyTo(host, 1000);  // output frame 1000 is host frame 0
    EXPECT_EQ(host.valueAt(host.findControl("contrast"), 0), pv(30));
    EXPECT_EQ(host.valueAt(host.findControl("TVType"), 0), pv(3));
    EXPECT_EQ(host.valueAt(host.findControl("lensEffect"), 0), pv(0));
    EXPECT_EQ(host.valueAt(host.findControl("tintColour"), 0), pv(255, 255, 128, 0));
    const int speed = host.findControl("playSpeed");
    EXPECT_EQ(host.valueAt(speed, 24), pv(50));
    EXPECT_EQ(host.keyframes(speed), (std::vector<Keyframe>{{0, pv(100)}, {48, pv(0)}}));
    ControlOptions taken(cs);
    taken.takeFrom(host, 1000);
    EXPECT_EQ(taken.current(speed).keys, (std::vector<Keyframe>{{1000, pv(100)}, {1048, pv(0)}}));
    EXPECT_EQ(taken.current(host.findControl("contrast")).value, pv(30));
}

// A preset written from what the host holds applies to the same values, although the module moves
// "Edge Colour Alpha" whenever "Edge Colour" changes and back.
TEST(ControlOptionsModule, PresetTakenFromTheHostAppliesToTheSameValues)
{
    struct stat s { };
    if (stat(WATCHCAM_EFFECT_MODULE, &s) != 0) GTEST_SKIP() << "the effect module is not built";
    auto module = Kiln::Runner::Module::load(WATCHCAM_EFFECT_MODULE);
    Kiln::Runner::HostSettings settings;
    settings.width = settings.height = 32;
    settings.frameCount = 50;
    auto valuesOf = [](const Kiln::Runner::Host& host) {
        std::vector<ParamValue> values;
        for (const ControlInfo& c : host.controls())
            values.push_back(Kiln::Runner::hasValue(c.type) ? host.valueAt(c.index, 7) : ParamValue{});
        return values;
    };
    std::string preset;
    std::vector<ParamValue> first;
    {
        Kiln::Runner::Host host(*module, settings);
        ControlOptions o(host.controls());
        o.set("SourceEdgeColour=10,20,30,128");
        o.set("contrast=33");
        o.set("playSpeed=0:100,10:0");
        o.applyTo(host);
        const int alpha = host.findControl("SourceEdgeColourAlpha");
        EXPECT_NEAR(host.valueAt(alpha, 0).v[0], 128 / 2.55, 0.01);  // the slider followed the colour
        o.takeFrom(host);
        EXPECT_EQ(o.current(alpha).value, host.valueAt(alpha, 0));
        std::ostringstream out;
        o.writePreset(out);
        preset = out.str();
        first = valuesOf(host);
    }
    Kiln::Runner::Host host(*module, settings);
    ControlOptions o(host.controls());
    o.readPresetText(preset, "taken.xml");
    o.applyTo(host);
    EXPECT_EQ(valuesOf(host), first);
    EXPECT_EQ(host.valueAt(host.findControl("SourceEdgeColour"), 0), pv(128, 10, 20, 30));
}
#endif

}  // namespace

TEST_F(PresetFiles, LargePresetsAreReadWholeUpToALimitAndErrorsQuoteLittleOfThem)
{
    const auto cs = sampleControls();
    // 200,000 keyframes and a comment of 4 MB read as any preset does.
    std::string keys;
    for (int f = 0; f < 200000; ++f)
        keys += (f ? "," : "") + std::to_string(f) + ":" + std::to_string(f % 100);
    const std::string big =
        write("big.xml", "<paramset><!-- " + std::string(4 << 20, 'x') +
                             " --><double name='playSpeed' keys='" + keys + "'/></paramset>");
    ControlOptions o(cs);
    o.readPreset(big);
    ASSERT_EQ(o.current(kSpeed).keys.size(), 200000u);
    EXPECT_EQ(o.current(kSpeed).keys[123456], (Keyframe{123456, pv(56)}));

    // Past the limit the file is refused before it is read (a sparse file takes no room).
    const std::string huge = write("huge.xml", "<paramset>");
    std::filesystem::resize_file(huge, std::uintmax_t(65) << 20);
    EXPECT_EQ(errorOf([&] { o.readPreset(huge); }), huge + ": is 65.0 MB; a preset may be at most 64 MB");

    // A bad value, name or element of a megabyte is quoted by its first few characters only.
    const std::string mega(1 << 20, '7');
    for (const std::string& body :
         {"<double name='contrast' value='" + mega + "'/>",
          "<double name='playSpeed' keys='0:1,2:" + mega + "'/>",
          "<double name='playSpeed' keys='" + mega + ",1:2'/>", "<double name='c" + mega + "'/>",
          "<d" + mega + " name='contrast'/>", "<double name='contrast' value='1' z" + mega + "='1'/>"}) {
        const std::string e =
            errorOf([&] { o.readPresetText("<paramset>" + body + "</paramset>", "x.xml"); });
        EXPECT_LT(e.size(), 300u) << e.substr(0, 300);
        EXPECT_NE(e.find("7777..."), std::string::npos) << e.substr(0, 300);
    }
    EXPECT_LT(errorOf([&] { o.set("contrast=" + mega); }).size(), 300u);
}
