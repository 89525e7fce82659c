// Control logic outside renders: the enable/disable rules and the edge-colour alpha mirror.
#include "exceptions/klException.h"
#include "host/klAEHooks.h"
#include "host/klAEUIState.h"
#include "tests/host/adapterFakeHost.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using AdapterTest::FakeHost;
using namespace Kiln::AfterEffects;

constexpr int kBlend = 29, kEffectGain = 30, kSourceGain = 31, kClamp = 32, kTint = 4, kLevels = 8, kPeriod = 19;
constexpr int kEdgeColour = 37, kEdgeAlpha = 38;

bool disabled(FakeHost& fake, int index) { return (fake.at(index).ui_flags & PF_PUI_DISABLED) != 0; }

TEST(AdapterUIState, RulesAtTheDefaults) {
    Kiln::Errors::Initialise();
    FakeHost fake;
    ASSERT_EQ(updateParamUIState(&fake.in, &fake.out, fake.array()), PF_Err_NONE);
    // Method None, Process RGB, TV Type B and W, Quantise off, Shash Type Random.
    EXPECT_TRUE(disabled(fake, kBlend));
    EXPECT_TRUE(disabled(fake, kEffectGain));
    EXPECT_TRUE(disabled(fake, kSourceGain));
    EXPECT_TRUE(disabled(fake, kEdgeAlpha));
    EXPECT_TRUE(disabled(fake, kTint));
    EXPECT_TRUE(disabled(fake, kLevels));
    EXPECT_FALSE(disabled(fake, kPeriod));
    EXPECT_TRUE(disabled(fake, kClamp));
    // Each change is followed by PF_UpdateParamUI for that control, carrying the new flags.
    EXPECT_EQ(fake.uiUpdates, (std::vector<PF_ParamIndex>{kBlend, kEffectGain, kSourceGain, kEdgeAlpha, kTint, kLevels,
                                                          kPeriod, kClamp}));
    EXPECT_TRUE(fake.uiFlagsSeen[0] & PF_PUI_DISABLED);
    EXPECT_FALSE(fake.uiFlagsSeen[6] & PF_PUI_DISABLED);
    EXPECT_EQ(fake.acquired, fake.released);
    // Controls outside the rules keep their flags.
    EXPECT_EQ(fake.at(5).ui_flags, 0);
}

TEST(AdapterUIState, RulesFollowTheirControls) {
    Kiln::Errors::Initialise();
    FakeHost fake;
    fake.at(kBlend).ui_flags = PF_PUI_DISABLED;
    fake.at(28).u.pd.value = 2;   // Method: Mix
    fake.at(2).u.pd.value = 2;    // Process: RGBA
    fake.at(3).u.pd.value = 3;    // TV Type: Tint
    fake.at(7).u.bd.value = 1;    // Quantise on
    fake.at(17).u.pd.value = 5;   // Shash Type: Type 5
    ASSERT_EQ(updateParamUIState(&fake.in, &fake.out, fake.array()), PF_Err_NONE);
    EXPECT_FALSE(disabled(fake, kBlend));
    EXPECT_FALSE(disabled(fake, kEffectGain));
    EXPECT_FALSE(disabled(fake, kSourceGain));
    EXPECT_FALSE(disabled(fake, kEdgeAlpha));
    EXPECT_FALSE(disabled(fake, kTint));
    EXPECT_FALSE(disabled(fake, kLevels));
    EXPECT_TRUE(disabled(fake, kPeriod));
    EXPECT_TRUE(disabled(fake, kClamp));

    // The rules on their own: Process 3 disables the alpha slider as RGB does.
    auto states = dependentControls(25, 3, 1, false, 6);
    std::map<PF_ParamIndex, bool> enabled;
    for (const ControlEnable& s : states) enabled[s.index] = s.enabled;
    EXPECT_TRUE(enabled[kBlend]);
    EXPECT_FALSE(enabled[kEdgeAlpha]);
    EXPECT_FALSE(enabled[kTint]);
    EXPECT_TRUE(enabled[kPeriod]);
    EXPECT_FALSE(enabled[kClamp]);
    EXPECT_EQ(states.size(), 8u);

    // A parameter array that is missing, short or of the wrong shape is refused, never read past.
    EXPECT_THROW(updateParamUIState(&fake.in, &fake.out, nullptr), Kiln::Exceptions::NullPointer);
    fake.in.num_params = 10;
    EXPECT_THROW(updateParamUIState(&fake.in, &fake.out, fake.array()), Kiln::Exceptions::BadValue);
    fake.in.num_params = 44;
    fake.at(28).param_type = PF_Param_SLIDER;
    EXPECT_THROW(updateParamUIState(&fake.in, &fake.out, fake.array()), Kiln::Exceptions::WrongType);
}

TEST(AdapterUIState, EdgeColourMirror) {
    Kiln::Errors::Initialise();
    EXPECT_EQ(edgeAlphaFromSlider(50 * 65536), 127);
    EXPECT_EQ(edgeAlphaFromSlider(100 * 65536), 255);
    EXPECT_EQ(edgeAlphaFromSlider(0), 0);
    EXPECT_EQ(edgeAlphaFromSlider(-5 * 65536), 0);
    EXPECT_EQ(edgeAlphaFromSlider(400 * 65536), 255);
    EXPECT_EQ(sliderFromEdgeAlpha(255), 6553600);
    EXPECT_EQ(sliderFromEdgeAlpha(127), 3263949);  // trunc(127 / 255 × 6553600)
    EXPECT_EQ(sliderFromEdgeAlpha(0), 0);

    FakeHost fake;
    PF_UserChangedParamExtra changed{kEdgeAlpha};
    fake.at(kEdgeAlpha).u.fd.value = 50 * 65536;
    ASSERT_EQ(userChangedParam(&fake.in, &fake.out, fake.array(), &changed), PF_Err_NONE);
    EXPECT_EQ(fake.at(kEdgeColour).u.cd.value.alpha, 127);
    EXPECT_EQ(fake.at(kEdgeColour).u.cd.value.red, 0);
    EXPECT_TRUE(fake.at(kEdgeColour).change_flags & PF_ChangeFlag_CHANGED_VALUE);

    fake.at(kEdgeColour).u.cd.value.alpha = 51;
    changed.param_index = kEdgeColour;
    ASSERT_EQ(userChangedParam(&fake.in, &fake.out, fake.array(), &changed), PF_Err_NONE);
    EXPECT_EQ(fake.at(kEdgeAlpha).u.fd.value, 20 * 65536);
    EXPECT_EQ(fake.uiUpdates, (std::vector<PF_ParamIndex>{kEdgeAlpha}));

    // Other controls, the About control among them, change nothing.
    const std::vector<PF_ParamDef> before = fake.records;
    for (PF_ParamIndex other : {1, 5, 36, 39}) {
        changed.param_index = other;
        ASSERT_EQ(userChangedParam(&fake.in, &fake.out, fake.array(), &changed), PF_Err_NONE);
    }
    ASSERT_EQ(userChangedParam(&fake.in, &fake.out, fake.array(), nullptr), PF_Err_NONE);
    for (size_t i = 1; i < before.size(); ++i)
        EXPECT_EQ(std::memcmp(&before[i], &fake.records[i], sizeof(PF_ParamDef)), 0) << i;

    // Updating the controls: the slider from the colour, then the enable rules.
    fake.uiUpdates.clear();
    fake.at(kEdgeColour).u.cd.value.alpha = 255;
    fake.at(kEdgeAlpha).u.fd.value = 0;
    ASSERT_EQ(updateParamsUI(&fake.in, &fake.out, fake.array()), PF_Err_NONE);
    EXPECT_EQ(fake.at(kEdgeAlpha).u.fd.value, 100 * 65536);
    ASSERT_EQ(fake.uiUpdates.size(), 9u);
    EXPECT_EQ(fake.uiUpdates[0], kEdgeAlpha);
    EXPECT_TRUE(disabled(fake, kClamp));
}

}  // namespace
