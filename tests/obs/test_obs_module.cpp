// The built module inside libobs (no video, no OBS window): it registers the filter, whose properties are
// the controls with their labels, ranges, defaults, tool tips and groups, and whose defaults are the
// controls' defaults in their own units. libobs needs an X display: run under with_xvfb.py.
#include "effect/klWatchcamControls.h"
#include "effect/klWatchcamParams.h"

#include <obs-module.h>
#include <obs-nix-platform.h>
#include <obs.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// Xlib's two calls used here (its header's macros clash with GoogleTest's names).
struct _XDisplay;
extern "C" _XDisplay* XOpenDisplay(const char* name);
extern "C" int XCloseDisplay(_XDisplay* display);

namespace {

using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ControlType;
using Kiln::Watchcam::kControls;

class ObsModule : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        display_ = XOpenDisplay(nullptr);
        ASSERT_NE(display_, nullptr) << "no X display (DISPLAY unset?)";
        obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
        obs_set_nix_platform_display(display_);
        ASSERT_TRUE(obs_startup("en-US", nullptr, nullptr));
        obs_module_t* module = nullptr;
        ASSERT_EQ(obs_open_module(&module, KL_OBS_MODULE, KL_OBS_DATA), MODULE_SUCCESS);
        ASSERT_TRUE(obs_init_module(module));
    }
    static void TearDownTestSuite()
    {
        obs_shutdown();
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    static inline _XDisplay* display_ = nullptr;
};

struct Seen {
    obs_property_t* property;
    std::string group;  // the group it is in, "" at the top
};

void collect(obs_properties_t* props, const std::string& group, std::map<std::string, Seen>& seen,
             std::vector<std::string>& groups)
{
    for (obs_property_t* p = obs_properties_first(props); p != nullptr; obs_property_next(&p)) {
        if (obs_property_get_type(p) == OBS_PROPERTY_GROUP) {
            groups.push_back(obs_property_description(p));
            collect(obs_property_group_content(p), obs_property_description(p), seen, groups);
        } else {
            seen[obs_property_name(p)] = {p, group};
        }
    }
}

}  // namespace

TEST_F(ObsModule, PropertiesAreTheControlsGroupedWithTheirTexts)
{
    EXPECT_STREQ(obs_source_get_display_name("watchcam_filter"), "Security Camera");
    obs_properties_t* props = obs_get_source_properties("watchcam_filter");
    ASSERT_NE(props, nullptr);
    std::map<std::string, Seen> seen;
    std::vector<std::string> groups;
    collect(props, "", seen, groups);
    EXPECT_EQ(groups, (std::vector<std::string>{"Fisheye Lens", "Shash", "Blending", "Source Crops"}));
    EXPECT_EQ(seen.size(), 33u);
    EXPECT_EQ(seen.count("playSpeed"), 0u);

    std::string group;
    for (const ControlSpec& c : kControls) {
        if (c.type == ControlType::GroupStart) group = c.label;
        if (c.type == ControlType::GroupEnd) group.clear();
        if (c.scriptName == nullptr || seen.count(c.scriptName) == 0) continue;
        const Seen& s = seen[c.scriptName];
        SCOPED_TRACE(c.scriptName);
        EXPECT_EQ(s.group, group);
        EXPECT_STREQ(obs_property_description(s.property), c.label[0] != '\0' ? c.label : c.checkboxText);
        EXPECT_STREQ(obs_property_long_description(s.property),
                     Kiln::Watchcam::kControlTexts[c.index].description);
        switch (c.type) {
        case ControlType::FixedSlider:
            EXPECT_EQ(obs_property_get_type(s.property), OBS_PROPERTY_FLOAT);
            EXPECT_EQ(obs_property_float_min(s.property), c.sliderMin);
            EXPECT_EQ(obs_property_float_max(s.property), c.sliderMax);
            EXPECT_STREQ(obs_property_float_suffix(s.property),
                         Kiln::Watchcam::kControlTexts[c.index].percent ? "%" : nullptr);
            break;
        case ControlType::IntSlider:
            EXPECT_EQ(obs_property_get_type(s.property), OBS_PROPERTY_INT);
            EXPECT_EQ(obs_property_int_min(s.property), int(c.sliderMin));
            EXPECT_EQ(obs_property_int_max(s.property), int(c.sliderMax));
            break;
        case ControlType::Popup: {
            EXPECT_EQ(obs_property_get_type(s.property), OBS_PROPERTY_LIST);
            const std::vector<std::string> names = Kiln::Watchcam::choiceNames(c);
            ASSERT_EQ(obs_property_list_item_count(s.property), names.size());
            for (size_t k = 0; k < names.size(); ++k)
                EXPECT_EQ(obs_property_list_item_string(s.property, k), names[k]);
            break;
        }
        case ControlType::Colour: EXPECT_EQ(obs_property_get_type(s.property), OBS_PROPERTY_COLOR); break;
        case ControlType::Checkbox: EXPECT_EQ(obs_property_get_type(s.property), OBS_PROPERTY_BOOL); break;
        default: ADD_FAILURE() << "unexpected control type";
        }
    }
    obs_properties_destroy(props);
}

TEST_F(ObsModule, DefaultsAreTheControlsDefaultsInTheirOwnUnits)
{
    obs_data_t* d = obs_get_source_defaults("watchcam_filter");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(obs_data_get_double(d, "contrast"), 15.0);
    EXPECT_EQ(obs_data_get_double(d, "lensStrength"), 40.0);
    EXPECT_EQ(obs_data_get_double(d, "framesPerSec"), 5.0);
    EXPECT_EQ(obs_data_get_int(d, "seed"), 25);
    EXPECT_TRUE(obs_data_get_bool(d, "lensEffect"));
    EXPECT_STREQ(obs_data_get_string(d, "TVType"), "B and W");
    EXPECT_STREQ(obs_data_get_string(d, "filtered"), "Global Default");
    EXPECT_STREQ(obs_data_get_string(d, "SourceYMethod"), "Wrap");
    EXPECT_EQ(obs_data_get_int(d, "tintColour"), 0xFF4CA53F);  // 63, 165, 76 as 0xAABBGGRR
    EXPECT_FALSE(obs_data_has_default_value(d, "playSpeed"));
    obs_data_release(d);
}
