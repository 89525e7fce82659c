#include "cli/klCommandLine.h"
#include "controls/klControlsTable.h"

#include <gtest/gtest.h>

using namespace Kiln::Footage;

namespace {

std::string usageError(const std::function<void()>& f)
{
    try {
        f();
    } catch (const UsageError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(CommandLine, ValuesAreParsedStrictlyAndBadOnesNameTheOption)
{
    EXPECT_EQ(parseDepth("--depth", "16"), Depth::Sixteen);
    EXPECT_EQ(parseDepth("--depth", "float"), Depth::Float);
    EXPECT_EQ(usageError([] { parseDepth("--depth", "32"); }), "--depth 32: expected 8, 16 or float");

    EXPECT_EQ(parseFrameRange("--frames", "3-7"), std::make_pair(3, 7));
    EXPECT_EQ(parseFrameRange("--frames", "12"), std::make_pair(12, 12));
    EXPECT_NE(usageError([] { parseFrameRange("--frames", "7-3"); }).find("first frame comes after the last"),
              std::string::npos);
    EXPECT_NE(usageError([] { parseFrameRange("--frames", "-2-3"); }).find("never negative"),
              std::string::npos);
    EXPECT_NE(usageError([] { parseFrameRange("--frames", "1-x"); }).find("expected a frame range"),
              std::string::npos);
    EXPECT_NE(usageError([] { parseFrameRange("--frames", "1-"); }).find("expected a frame range"),
              std::string::npos);

    EXPECT_EQ(parseSize("--demo-size", "1920x1080"), std::make_pair(1920, 1080));
    EXPECT_NE(usageError([] { parseSize("--demo-size", "8x8"); }).find("16 to 16384"), std::string::npos);
    EXPECT_NE(usageError([] { parseSize("--demo-size", "1920"); }).find("WIDTHxHEIGHT"), std::string::npos);

    FrameRate r = parseFrameRate("--fps", "29.97");
    EXPECT_EQ(std::make_pair(r.num, r.den), std::make_pair(30000, 1001));
    r = parseFrameRate("--fps", "12.5");
    EXPECT_EQ(std::make_pair(r.num, r.den), std::make_pair(25, 2));
    r = parseFrameRate("--fps", "24000/1001");
    EXPECT_EQ(std::make_pair(r.num, r.den), std::make_pair(24000, 1001));
    EXPECT_NE(usageError([] { parseFrameRate("--fps", "0"); }).find("frame rate"), std::string::npos);
    EXPECT_NE(usageError([] { parseFrameRate("--fps", "nan"); }).find("frame rate"), std::string::npos);

    EXPECT_DOUBLE_EQ(parseScale("--scale", "0.5"), 0.5);
    EXPECT_NE(usageError([] { parseScale("--scale", "1.5"); }).find("at most 1"), std::string::npos);
    EXPECT_NE(usageError([] { parseScale("--scale", "0"); }).find("above 0"), std::string::npos);
    EXPECT_EQ(parseMemorySize("--max-memory", "1.5G"), 3u << 29);
    EXPECT_EQ(parseMemorySize("--max-memory", "512kb"), 512u << 10);
    EXPECT_EQ(parseMemorySize("--max-memory", "1000"), 1000u);
    EXPECT_NE(usageError([] { parseMemorySize("--max-memory", "0.1"); }).find("such as 512M"),
              std::string::npos);
    EXPECT_EQ(parseCount("--threads", "4", 1, 1024), 4);
    EXPECT_NE(usageError([] { parseCount("--threads", "0", 1, 1024); }).find("from 1 to 1024"),
              std::string::npos);
    EXPECT_FALSE(parseChoice("--quality", "low", "high", "low"));
    EXPECT_NE(
        usageError([] { parseChoice("--quality", "best", "high", "low"); }).find("expected high or low"),
        std::string::npos);
}

TEST(CommandLine, RenderOptionsCheckWhatGoesTogether)
{
    ParsedArgs args;
    args.positionals = {"in.mov", "out.mp4"};
    args.values = {{"--depth", "16"},           {"--frames", "2-9"},  {"--scale", "0.25"},
                   {"--render-path", "legacy"}, {"--quality", "low"}, {"--threads", "3"},
                   {"--module", "m.so"}};
    args.switches = {"--overwrite"};
    RenderOptions o = renderOptionsFrom(args);
    EXPECT_EQ(o.input, "in.mov");
    EXPECT_EQ(o.output, "out.mp4");
    EXPECT_EQ(*o.depth, Depth::Sixteen);
    EXPECT_EQ(*o.frames, std::make_pair(2, 9));
    EXPECT_DOUBLE_EQ(o.scale, 0.25);
    EXPECT_FALSE(o.smartPath);
    EXPECT_FALSE(o.highQuality);
    EXPECT_EQ(*o.threads, 3);
    EXPECT_EQ(o.modulePath, "m.so");
    EXPECT_TRUE(o.overwrite);
    EXPECT_FALSE(o.demo);

    ParsedArgs demo;
    demo.switches = {"--demo"};
    demo.positionals = {"out.mp4"};
    demo.values = {{"--demo-size", "320x240"}, {"--demo-frames", "10"}};
    o = renderOptionsFrom(demo);
    EXPECT_TRUE(o.demo);
    EXPECT_EQ(o.demoWidth, 320);
    EXPECT_EQ(o.demoFrames, 10);

    demo.positionals = {"in.png", "out.mp4"};
    EXPECT_NE(usageError([&] { renderOptionsFrom(demo); }).find("one file name"), std::string::npos);
    ParsedArgs sizeAlone;
    sizeAlone.positionals = {"a.png", "b.png"};
    sizeAlone.values = {{"--demo-size", "320x240"}};
    EXPECT_EQ(usageError([&] { renderOptionsFrom(sizeAlone); }), "--demo-size goes with --demo");
    ParsedArgs one;
    one.positionals = {"a.png"};
    EXPECT_NE(usageError([&] { renderOptionsFrom(one); }).find("INPUT and OUTPUT"), std::string::npos);
}

TEST(CommandLine, EveryOptionBelongsToACommand)
{
    unsigned all = 0;
    for (const CommandSpec& c : commandTable()) all |= c.id;
    for (const OptionSpec& o : optionTable()) {
        EXPECT_NE(o.commands & all, 0u) << o.name;
        EXPECT_EQ(std::string(o.name).rfind("--", 0), 0u) << o.name;
    }
}

TEST(ControlsTable, ValuesAreShownInDisplayUnits)
{
    using Kiln::Runner::ControlInfo;
    ControlInfo fixed;
    fixed.index = 3;
    fixed.label = "Amount";
    fixed.scriptName = "amount";
    fixed.type = PF_Param_FIX_SLIDER;
    fixed.precision = 1;
    fixed.percent = true;
    fixed.defaultValue.v[0] = 50;
    fixed.sliderMin = 0;
    fixed.sliderMax = 100;
    fixed.validMin = -0.01;
    fixed.validMax = 200;
    EXPECT_EQ(formatControlValue(fixed, fixed.defaultValue), "50.0%");
    EXPECT_EQ(formatSliderRange(fixed), "0.0%..100.0%");
    EXPECT_EQ(formatValidRange(fixed), "0.0%..200.0%");  // -0.01 shows as 0.0, never -0.0

    ControlInfo popup;
    popup.index = 1;
    popup.label = "Mode";
    popup.type = PF_Param_POPUP;
    popup.popupItems = {"Copy", "Earlier"};
    popup.defaultValue.v[0] = 2;
    EXPECT_EQ(formatControlValue(popup, popup.defaultValue), "Earlier");
    EXPECT_EQ(formatSliderRange(popup), "");

    ControlInfo colour;
    colour.type = PF_Param_COLOR;
    colour.defaultValue = Kiln::Runner::ParamValue{{255, 255, 128, 0}};
    EXPECT_EQ(formatControlValue(colour, colour.defaultValue), "#FF8000");
    ControlInfo box;
    box.type = PF_Param_CHECKBOX;
    EXPECT_EQ(formatControlValue(box, Kiln::Runner::ParamValue{{1, 0, 0, 0}}), "on");
    ControlInfo point;
    point.type = PF_Param_POINT;
    EXPECT_EQ(formatControlValue(point, Kiln::Runner::ParamValue{{0.5, 0.25, 0, 0}}), "0.50,0.25");

    ControlInfo groupEnd;
    groupEnd.type = PF_Param_GROUP_END;
    groupEnd.label = "hidden";
    popup.description = "What to show";
    const std::string table = formatControls({popup, fixed, groupEnd});
    EXPECT_EQ(
        table,
        "#  Label   Script name  Type    Default  Slider        Valid         Description   Choices\n"
        "1  Mode    -            choice  Earlier                              What to show  Copy|Earlier\n"
        "3  Amount  amount       float   50.0%    0.0%..100.0%  0.0%..200.0%\n");
}
