// Values between display units and the module's records, and the rules keyframes and declarations hold
// that renders through the host (test_runnerHost) do not reach.
#include "runner/klRunnerValues.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kiln::Runner;

namespace {

ParamValue pv(double a, double b = 0, double c = 0, double d = 0) { return ParamValue{{a, b, c, d}}; }

}  // namespace

TEST(RunnerValues, KeysInterpolateOrHoldByType)
{
    const std::vector<Keyframe> keys{{2, pv(10)}, {6, pv(30)}, {10, pv(-10)}};
    EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, -5).v[0], 10);  // before the first key
    EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 7.5).v[0], 15);  // 30 - 40 * 3/8
    EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 99).v[0], -10);  // after the last key
    // Popups and checkboxes hold until the next key.
    for (PF_ParamType t : {PF_Param_POPUP, PF_Param_CHECKBOX}) {
        EXPECT_EQ(interpolate(t, keys, 5.999).v[0], 10);
        EXPECT_EQ(interpolate(t, keys, 6).v[0], 30);
    }
}

TEST(RunnerValues, RecordsAndDisplayUnitsConvertBothWays)
{
    PF_ParamDef d{};
    d.param_type = PF_Param_FIX_SLIDER;
    storeDisplayValue(d, pv(-2.5));
    EXPECT_EQ(d.u.fd.value, -163840);
    storeDisplayValue(d, pv(1.0 / 3.0));  // rounded to the nearest 1/65536
    EXPECT_EQ(d.u.fd.value, 21845);

    d = PF_ParamDef{};
    d.param_type = PF_Param_COLOR;
    storeDisplayValue(d, pv(255, 63.4, 165.6, 300));
    EXPECT_EQ(displayValueOf(d), pv(255, 63, 166, 255));  // rounded, and clamped to the byte

    d = PF_ParamDef{};
    d.param_type = PF_Param_POINT;
    storeDisplayValue(d, pv(10, -20.5));
    EXPECT_EQ(d.u.td.y_value, -20 * 65536 - 32768);

    d = PF_ParamDef{};
    d.param_type = PF_Param_CHECKBOX;
    d.u.bd.value = 5;
    EXPECT_EQ(displayValueOf(d).v[0], 1);
}

TEST(RunnerValues, ValuesAreCheckedAgainstTheDeclaration)
{
    ControlInfo slider;
    slider.label = "Contrast";
    slider.type = PF_Param_FIX_SLIDER;
    slider.validMax = 5000;
    EXPECT_EQ(checkValue(slider, pv(5000)), "");
    EXPECT_NE(checkValue(slider, pv(-1)).find("\"Contrast\""), std::string::npos);
    EXPECT_NE(checkValue(slider, pv(std::nan(""))), "");
    ControlInfo popup;
    popup.type = PF_Param_POPUP;
    popup.popupItems = {"Low", "High", "Global Default"};
    EXPECT_NE(checkValue(popup, pv(1.5)), "");
    ControlInfo box;
    box.type = PF_Param_CHECKBOX;
    EXPECT_NE(checkValue(box, pv(2)), "");
    ControlInfo colour;
    colour.type = PF_Param_COLOR;
    EXPECT_NE(checkValue(colour, pv(0, 256, 0, 0)), "");
}

TEST(RunnerValues, RationalsAndNames)
{
    auto eq = [](PF_RationalScale r, A_long n, A_u_long d) { return r.num == n && r.den == d; };
    EXPECT_TRUE(eq(toRational(1.0 / 3.0), 1, 3));
    EXPECT_TRUE(eq(toRational(1.0925), 437, 400));
    EXPECT_TRUE(eq(toRational(-1), 0, 1));
    EXPECT_EQ(splitPopupNames("a||b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(splitPopupNames(nullptr).empty());
    EXPECT_EQ(commandName(PF_Cmd(99)), "command 99");
}
