// Parameter set-up: every control declared as the controls table says, captured from add_param, and
// the exported script names.
#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"
#include "host/klAEParamDecl.h"
#include "tests/host/adapterFakeHost.h"
#include "tests/host/klTestHost.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <array>
#include <string>

extern "C" const std::array<const char*, Kiln::Watchcam::kControlCount + 1> kiln_param_script_names;

namespace {

using AdapterTest::FakeHost;
using Kiln::AfterEffects::declareParams;

constexpr PF_Fixed fx(double v) { return PF_Fixed(v * 65536); }

TEST(AdapterParams, DeclaresEveryControlInOrder) {
    FakeHost fake;
    ASSERT_EQ(declareParams(&fake.in, &fake.out), PF_Err_NONE);
    EXPECT_EQ(fake.out.num_params, 44);
    const std::vector<PF_ParamDef>& d = fake.declared;
    ASSERT_EQ(d.size(), 43u);

    const char* labels[43] = {"About", "Process", "TV Type", "Tint Colour", "Contrast", "Brightness", "",
                              "Quantise Levels", "Play Speed", "Frame Rate", "Fisheye Lens", "", "Lens Radius",
                              "Lens Strength", "Fisheye Lens", "Shash", "Shash Type", "Seed", "Shash Period",
                              "Shash Max", "Shash", "EM Interference", "White Dot", "Scanline Width", "Blur",
                              "Filtering", "Blending", "Method", "Blend", "Effect Gain", "Source Gain", "", "Blending",
                              "Source Crops", "X Method", "Y Method", "Edge Colour", "Edge Colour Alpha", "Left",
                              "Right", "Bottom", "Top", "Source Crops"};
    for (size_t i = 0; i < 43; ++i) EXPECT_STREQ(d[i].name, labels[i]) << "control " << i + 1;
    // d[k] is host control k + 1.
    auto control = [&](int index) -> const PF_ParamDef& { return d[size_t(index - 1)]; };

    const PF_ParamDef& about = control(1);
    EXPECT_EQ(about.param_type, PF_Param_NO_DATA);
    EXPECT_EQ(about.ui_flags, PF_PUI_CONTROL);
    EXPECT_EQ(about.ui_width, 300);
    EXPECT_EQ(about.ui_height, 50);
    EXPECT_EQ(about.flags, 0x42);

    const PF_ParamDef& process = control(2);
    EXPECT_EQ(process.param_type, PF_Param_POPUP);
    EXPECT_EQ(process.u.pd.num_choices, 2);
    EXPECT_EQ(process.u.pd.dephault, 1);
    EXPECT_STREQ(process.u.pd.namesptr, "RGB|RGBA");
    EXPECT_EQ(process.flags, PF_ParamFlag_CANNOT_TIME_VARY);
    EXPECT_STREQ(control(3).u.pd.namesptr, "Colour|B and W|Tint");
    EXPECT_EQ(control(3).u.pd.dephault, 2);
    EXPECT_EQ(control(3).u.pd.num_choices, 3);

    const PF_ParamDef& tint = control(4);
    EXPECT_EQ(tint.param_type, PF_Param_COLOR);
    EXPECT_EQ(tint.u.cd.dephault.alpha, 255);
    EXPECT_EQ(tint.u.cd.dephault.red, 63);
    EXPECT_EQ(tint.u.cd.dephault.green, 165);
    EXPECT_EQ(tint.u.cd.dephault.blue, 76);
    EXPECT_EQ(tint.u.cd.value.green, 165);
    EXPECT_EQ(tint.flags, 0);

    const PF_ParamDef& contrast = control(5);
    EXPECT_EQ(contrast.param_type, PF_Param_FIX_SLIDER);
    EXPECT_EQ(contrast.u.fd.dephault, fx(15));
    EXPECT_EQ(contrast.u.fd.value, fx(15));
    EXPECT_EQ(contrast.u.fd.slider_min, 0);
    EXPECT_EQ(contrast.u.fd.slider_max, fx(100));
    EXPECT_EQ(contrast.u.fd.valid_min, 0);
    EXPECT_EQ(contrast.u.fd.valid_max, fx(5000));
    EXPECT_EQ(contrast.u.fd.precision, 1);
    EXPECT_EQ(contrast.flags, PF_ParamFlag_COLLAPSE_TWIRLY);

    const PF_ParamDef& quantise = control(7);
    EXPECT_EQ(quantise.param_type, PF_Param_CHECKBOX);
    EXPECT_STREQ(quantise.u.bd.nameptr, "Quantise");
    EXPECT_EQ(quantise.u.bd.dephault, 0);
    EXPECT_EQ(control(12).u.bd.dephault, 1);
    EXPECT_STREQ(control(12).u.bd.nameptr, "Lens Effect");
    EXPECT_STREQ(control(32).u.bd.nameptr, "Clamp 0-1 (32 bpc)");

    const PF_ParamDef& levels = control(8);
    EXPECT_EQ(levels.param_type, PF_Param_SLIDER);
    EXPECT_EQ(levels.u.sd.dephault, 6);
    EXPECT_EQ(levels.u.sd.slider_min, 1);
    EXPECT_EQ(levels.u.sd.slider_max, 10);
    EXPECT_EQ(levels.u.sd.valid_min, 1);
    EXPECT_EQ(levels.u.sd.valid_max, 10);
    EXPECT_EQ(levels.flags, 32);

    EXPECT_EQ(control(9).u.fd.dephault, fx(100));
    EXPECT_EQ(control(9).u.fd.slider_min, fx(-800));
    EXPECT_EQ(control(9).u.fd.valid_max, fx(800));
    EXPECT_EQ(control(10).u.fd.slider_max, fx(30));
    EXPECT_EQ(control(10).u.fd.valid_max, fx(50));
    EXPECT_EQ(control(14).u.fd.valid_min, fx(-5000));
    EXPECT_EQ(control(11).param_type, PF_Param_GROUP_START);
    EXPECT_EQ(control(15).param_type, PF_Param_GROUP_END);
    EXPECT_EQ(control(16).param_type, PF_Param_GROUP_START);
    EXPECT_EQ(control(43).param_type, PF_Param_GROUP_END);

    // Popups register their full count of entries.
    EXPECT_EQ(control(17).u.pd.num_choices, 6);
    EXPECT_EQ(control(17).u.pd.dephault, 6);
    EXPECT_EQ(control(18).u.sd.valid_max, 5000);
    EXPECT_EQ(control(25).u.fd.slider_max, fx(20));
    EXPECT_EQ(control(25).u.fd.precision, 1);
    const PF_ParamDef& filtering = control(26);
    EXPECT_EQ(filtering.u.pd.num_choices, 3);
    EXPECT_EQ(filtering.u.pd.dephault, 3);  // "Global Default"
    EXPECT_STREQ(filtering.u.pd.namesptr, "Low|High|Global Default");
    const PF_ParamDef& method = control(28);
    EXPECT_EQ(method.u.pd.num_choices, 25);
    EXPECT_EQ(method.u.pd.dephault, 1);
    EXPECT_EQ(std::string(method.u.pd.namesptr).rfind("None|Mix|Add|Difference|", 0), 0u);
    EXPECT_NE(std::string(method.u.pd.namesptr).find("|SoftLight|Composite Effect|Composite Source"),
              std::string::npos);

    EXPECT_EQ(control(29).flags, 0);
    EXPECT_EQ(control(29).u.fd.dephault, fx(50));
    EXPECT_EQ(control(30).u.fd.slider_max, fx(200));
    EXPECT_EQ(control(35).u.pd.dephault, 3);
    EXPECT_EQ(control(36).u.pd.dephault, 4);
    EXPECT_EQ(control(36).u.pd.num_choices, 4);
    EXPECT_EQ(control(37).flags, PF_ParamFlag_SUPERVISE);
    EXPECT_EQ(control(37).u.cd.dephault.alpha, 255);
    EXPECT_EQ(control(37).u.cd.dephault.red, 0);
    EXPECT_EQ(control(38).flags, 98);
    EXPECT_EQ(control(38).u.fd.dephault, fx(100));
    EXPECT_EQ(control(40).u.fd.dephault, fx(100));
    EXPECT_EQ(control(42).u.fd.dephault, fx(100));
    EXPECT_EQ(control(41).u.fd.dephault, 0);
}

TEST(AdapterParams, PrecisionAndFixedPoint) {
    using namespace Kiln::AfterEffects;
    EXPECT_EQ(fixedPrecision(10.0), 2);
    EXPECT_EQ(fixedPrecision(10.5), 1);
    EXPECT_EQ(fixedPrecision(1.0), 2);
    EXPECT_EQ(toFixed(-800), -52428800);
    EXPECT_EQ(toFixed(0.5), 32768);
    EXPECT_EQ(toFixed(1e6), INT32_MAX);
    EXPECT_EQ(toFixed(-1e6), INT32_MIN);
}

TEST(AdapterParams, AboutTakesTheTitleBitmapsSize) {
    FakeHost fake;
    static const KlBitmap title{120, 40, 480, nullptr};
    static Kiln::AfterEffects::GlobalData global{};
    global.titleBitmap = &title;
    static void* block = &global;
    fake.utils.host_lock_handle = [](PF_Handle h) { return *h; };
    fake.utils.host_unlock_handle = [](PF_Handle) {};
    fake.utils.host_get_handle_size = [](PF_Handle) { return uint64_t(sizeof(Kiln::AfterEffects::GlobalData)); };
    fake.in.global_data = &block;
    ASSERT_EQ(declareParams(&fake.in, &fake.out), PF_Err_NONE);
    EXPECT_EQ(fake.declared[0].ui_width, 120);
    EXPECT_EQ(fake.declared[0].ui_height, 40);
}

TEST(AdapterParams, StopsAtTheFirstFailure) {
    FakeHost fake;
    fake.addParamFailAt = 4;
    fake.addParamError = PF_Err_OUT_OF_MEMORY;
    EXPECT_EQ(declareParams(&fake.in, &fake.out), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(fake.declared.size(), 4u);
    EXPECT_EQ(fake.out.num_params, 0);
    fake.in.inter.add_param = nullptr;
    EXPECT_EQ(declareParams(&fake.in, &fake.out), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(declareParams(nullptr, &fake.out), PF_Err_BAD_CALLBACK_PARAM);
}

TEST(AdapterParams, ScriptNamesAreExported) {
    const auto& names = kiln_param_script_names;
    EXPECT_STREQ(names[0], "");
    EXPECT_STREQ(names[1], "");
    EXPECT_STREQ(names[2], "postAlphaYesNoNo");
    EXPECT_STREQ(names[5], "contrast");
    EXPECT_STREQ(names[11], "");
    EXPECT_STREQ(names[26], "filtered");
    EXPECT_STREQ(names[42], "SourceTop");
    EXPECT_STREQ(names[43], "");
    EXPECT_EQ(names[44], nullptr);

    // The built module exports the array itself under that name, and declares through the table.
    const KlTest::Module& module = KlTest::builtModule();
    ASSERT_NE(module.handle, nullptr);
    const auto* exported = static_cast<const char* const*>(dlsym(module.handle, KL_SCRIPT_NAMES_SYMBOL));
    ASSERT_NE(exported, nullptr);
    int count = 0;
    while (exported[count] != nullptr) ++count;
    EXPECT_EQ(count, 44);
    EXPECT_STREQ(exported[9], "playSpeed");

    KlTest::Host host(module);
    host.start();
    EXPECT_EQ(host.out.num_params, 44);
    ASSERT_EQ(host.declared.size(), 43u);
    EXPECT_STREQ(host.declared[27].name, "Method");
    host.stop();
}

}  // namespace
