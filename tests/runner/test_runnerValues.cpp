#include "runner/klRunnerValues.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kiln::Runner;

namespace {

ParamValue pv(double a, double b = 0, double c = 0, double d = 0) { return ParamValue{{a, b, c, d}}; }

}  // namespace

TEST(RunnerValues, SlidersInterpolateLinearlyAndHoldOutsideTheKeys) {
  const std::vector<Keyframe> keys{{2, pv(10)}, {6, pv(30)}, {10, pv(-10)}};
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, -5).v[0], 10);  // before the first key
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 2).v[0], 10);
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 3).v[0], 15);   // 10 + 20 * 1/4
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 6).v[0], 30);
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 7.5).v[0], 15);  // 30 - 40 * 3/8
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 10).v[0], -10);
  EXPECT_DOUBLE_EQ(interpolate(PF_Param_FIX_SLIDER, keys, 99).v[0], -10);  // after the last key

  // Colours move every channel.
  const std::vector<Keyframe> colour{{0, pv(255, 0, 100, 200)}, {4, pv(55, 40, 100, 0)}};
  const ParamValue c = interpolate(PF_Param_COLOR, colour, 1);
  EXPECT_DOUBLE_EQ(c.v[0], 205);
  EXPECT_DOUBLE_EQ(c.v[1], 10);
  EXPECT_DOUBLE_EQ(c.v[2], 100);
  EXPECT_DOUBLE_EQ(c.v[3], 150);
}

TEST(RunnerValues, PopupsAndCheckboxesHoldUntilTheNextKey) {
  const std::vector<Keyframe> keys{{0, pv(1)}, {5, pv(3)}, {8, pv(2)}};
  for (PF_ParamType t : {PF_Param_POPUP, PF_Param_CHECKBOX}) {
    EXPECT_EQ(interpolate(t, keys, -1).v[0], 1);
    EXPECT_EQ(interpolate(t, keys, 4.999).v[0], 1);
    EXPECT_EQ(interpolate(t, keys, 5).v[0], 3);
    EXPECT_EQ(interpolate(t, keys, 7.9).v[0], 3);
    EXPECT_EQ(interpolate(t, keys, 8).v[0], 2);
    EXPECT_EQ(interpolate(t, keys, 100).v[0], 2);
  }
  const std::vector<Keyframe> one{{3, pv(7)}};
  EXPECT_EQ(interpolate(PF_Param_SLIDER, one, 0).v[0], 7);
  EXPECT_EQ(interpolate(PF_Param_SLIDER, one, 9).v[0], 7);
}

TEST(RunnerValues, RecordsAndDisplayUnitsConvertBothWays) {
  PF_ParamDef d{};
  d.param_type = PF_Param_FIX_SLIDER;
  d.u.fd.dephault = 15 * 65536;
  EXPECT_DOUBLE_EQ(displayValueOf(d, true).v[0], 15.0);
  storeDisplayValue(d, pv(-2.5));
  EXPECT_EQ(d.u.fd.value, -163840);
  storeDisplayValue(d, pv(1.0 / 3.0));  // rounded to the nearest 1/65536
  EXPECT_EQ(d.u.fd.value, 21845);

  d = PF_ParamDef{};
  d.param_type = PF_Param_COLOR;
  storeDisplayValue(d, pv(255, 63.4, 165.6, 300));
  EXPECT_EQ(d.u.cd.value.alpha, 255);
  EXPECT_EQ(d.u.cd.value.red, 63);
  EXPECT_EQ(d.u.cd.value.green, 166);
  EXPECT_EQ(d.u.cd.value.blue, 255);  // clamped to the byte
  EXPECT_EQ(displayValueOf(d), pv(255, 63, 166, 255));

  d = PF_ParamDef{};
  d.param_type = PF_Param_POINT;
  storeDisplayValue(d, pv(10, -20.5));
  EXPECT_EQ(d.u.td.x_value, 10 * 65536);
  EXPECT_EQ(d.u.td.y_value, -20 * 65536 - 32768);

  d = PF_ParamDef{};
  d.param_type = PF_Param_CHECKBOX;
  d.u.bd.value = 5;
  EXPECT_EQ(displayValueOf(d).v[0], 1);
}

TEST(RunnerValues, ValuesAreCheckedAgainstTheDeclaration) {
  ControlInfo slider;
  slider.index = 5;
  slider.label = "Contrast";
  slider.type = PF_Param_FIX_SLIDER;
  slider.validMin = 0;
  slider.validMax = 5000;
  EXPECT_EQ(checkValue(slider, pv(0)), "");
  EXPECT_EQ(checkValue(slider, pv(5000)), "");
  EXPECT_NE(checkValue(slider, pv(5000.01)).find("outside the valid range 0 to 5000"), std::string::npos);
  EXPECT_NE(checkValue(slider, pv(-1)).find("\"Contrast\""), std::string::npos);
  EXPECT_NE(checkValue(slider, pv(std::nan(""))), "");

  ControlInfo popup;
  popup.type = PF_Param_POPUP;
  popup.popupItems = {"Low", "High", "Global Default"};
  EXPECT_EQ(checkValue(popup, pv(3)), "");  // every name is selectable
  EXPECT_NE(checkValue(popup, pv(4)), "");
  EXPECT_NE(checkValue(popup, pv(0)), "");
  EXPECT_NE(checkValue(popup, pv(1.5)), "");

  ControlInfo box;
  box.type = PF_Param_CHECKBOX;
  EXPECT_EQ(checkValue(box, pv(1)), "");
  EXPECT_NE(checkValue(box, pv(2)), "");

  ControlInfo colour;
  colour.type = PF_Param_COLOR;
  EXPECT_EQ(checkValue(colour, pv(0, 255, 0, 0)), "");
  EXPECT_NE(checkValue(colour, pv(0, 256, 0, 0)), "");

  ControlInfo group;
  group.type = PF_Param_GROUP_START;
  EXPECT_NE(checkValue(group, pv(0)).find("has no value"), std::string::npos);
}

TEST(RunnerValues, RationalsAndNames) {
  auto eq = [](PF_RationalScale r, A_long n, A_u_long d) { return r.num == n && r.den == d; };
  EXPECT_TRUE(eq(toRational(1), 1, 1));
  EXPECT_TRUE(eq(toRational(0.5), 1, 2));
  EXPECT_TRUE(eq(toRational(0.25), 1, 4));
  EXPECT_TRUE(eq(toRational(1.0 / 3.0), 1, 3));
  EXPECT_TRUE(eq(toRational(0.9), 9, 10));
  EXPECT_TRUE(eq(toRational(1.0925), 437, 400));
  EXPECT_TRUE(eq(toRational(-1), 0, 1));

  EXPECT_EQ(splitPopupNames("Colour|B and W|Tint"), (std::vector<std::string>{"Colour", "B and W", "Tint"}));
  EXPECT_EQ(splitPopupNames("One"), (std::vector<std::string>{"One"}));
  EXPECT_EQ(splitPopupNames("a||b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(splitPopupNames(nullptr).empty());

  EXPECT_EQ(commandName(PF_Cmd_SMART_RENDER), "PF_Cmd_SMART_RENDER");
  EXPECT_EQ(commandName(PF_Cmd(99)), "command 99");
}
