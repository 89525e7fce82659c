// The filter's parameters: frei0r's 0..1 onto each control's range, and the values refused.
#include "exceptions/klException.h"
#include "frei0r/klF0rHost.h"
#include "frei0r/klF0rParams.h"

extern "C" {
#include <frei0r.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <tuple>

using namespace Kiln::Frei0r;

namespace {

int32_t at(const char* name)
{
    const int32_t i = paramIndex(name);
    EXPECT_GE(i, 0) << name;
    return i;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(Frei0rParams, EveryControlButPlaySpeedIsAParameterOnce)
{
    std::set<std::string> names;
    for (const ParamSpec& p : kParams) EXPECT_TRUE(names.insert(p.name).second) << p.name;
    EXPECT_EQ(std::string(kParams[0].name), "footageFps");
    EXPECT_EQ(names.count("playSpeed"), 0u);
    for (const Kiln::Watchcam::ControlSpec& c : Kiln::Watchcam::kControls) {
        if (c.scriptName != nullptr && std::string(c.scriptName) != "playSpeed") {
            EXPECT_EQ(names.count(c.scriptName), 1u) << c.scriptName;
        }
    }
    // Names a GStreamer element would take for its own properties are not used.
    for (const char* reserved : {"name", "parent", "qos"}) EXPECT_EQ(names.count(reserved), 0u);
}

TEST(Frei0rParams, DoublesSpanTheSliderAndStopAtTheValidRange)
{
    struct Case {
        const char* name;
        double frei0r;
        double value;  // the control's units
    };
    const Case cases[] = {
        {"contrast", 0.0, 0.0},
        {"contrast", 0.15, 15.0},
        {"contrast", 1.0, 100.0},
        {"contrast", 50.0, 5000.0},
        {"contrast", 51.0, 5000.0},
        {"contrast", -1.0, 0.0},
        {"contrast", kInf, 5000.0},
        {"lensStrength", 0.5, 0.0},
        {"lensStrength", 0.54, 40.0},
        {"lensStrength", -5.0, -5000.0},
        {"framesPerSec", 1.0, 30.0},
        {"framesPerSec", 2.0, 50.0},
        {"blur", 0.05, 1.0},
        {"footageFps", 0.25, 25.0},
        {"footageFps", 0.0, 0.0},  // from the host's times
        {"footageFps", 0.005, 1.0},
        {"footageFps", 24.0, 1000.0},
        {"footageFps", 0.2997, 29.97},
        {"quantiseLevels", 0.5, 6.0},
        {"quantiseLevels", 0.0, 1.0},
        {"seed", 0.254, 25.0},
        {"seed", 0.256, 26.0},
        {"scanlineWidth", 3.0, 100.0},
        {"SourceEdgeColourAlpha", 0.5, 50.0},
        {"framesPerSec", 0.166667, 5.0},
        {"contrast", 0.15255, 15.255},
    };
    for (const Case& c : cases) {
        ParamValues v;
        const double f = c.frei0r;
        EXPECT_TRUE(v.set(at(c.name), &f)) << c.name << " " << f;
        EXPECT_NEAR(v.number(at(c.name)), c.value, 0.5 / 65536.0) << c.name << " " << f;
    }
    // Beyond the valid range the value stops there, and the set says so (the module then says it once).
    for (const auto& [name, f, clamped] :
         {std::tuple{"contrast", 51.0, true}, std::tuple{"contrast", 50.0, false},
          std::tuple{"contrast", -1.0, true}, std::tuple{"lensStrength", -4.5, false},
          std::tuple{"lensStrength", -5.0, true}, std::tuple{"footageFps", 24.0, true},
          std::tuple{"footageFps", 0.0, false}, std::tuple{"footageFps", 0.005, true},
          std::tuple{"footageFps", 0.24, false}}) {
        ParamValues v;
        EXPECT_TRUE(v.set(at(name), &f)) << name << " " << f;
        EXPECT_EQ(v.clamped(at(name)), clamped) << name << " " << f;
    }
    // Fixed sliders keep 1/65536 steps, as the module's host does: 15 exactly, not 15.000000000000002.
    ParamValues v;
    for (const auto& [name, f, value] :
         {std::tuple{"contrast", 0.15, 15.0}, std::tuple{"framesPerSec", 0.166667, 5.0}}) {
        v.setNumber(at(name), f);
        EXPECT_EQ(v.number(at(name)), value) << name;
    }
}

TEST(Frei0rParams, ChoicesTakeNamesInAnyCaseOrNumbersAndRefuseTheRest)
{
    struct Case {
        const char* text;
        bool taken;
        double item;  // after the set (the default, 1, when refused)
    };
    const Case cases[] = {{"Tint", true, 2}, {"tint", true, 2}, {" b AND w ", true, 1}, {"1", true, 0},
                          {"3", true, 2},    {"0", false, 1},   {"4", false, 1},        {"Purple", false, 1},
                          {"", false, 1},    {"2.5", false, 1}, {"-1", false, 1},       {"99999", false, 1}};
    for (const Case& c : cases) {
        ParamValues v;
        const char* text = c.text;
        EXPECT_EQ(v.set(at("TVType"), &text), c.taken) << c.text;
        EXPECT_EQ(v.number(at("TVType")), c.item) << c.text;
    }
    ParamValues v;
    const char* none = nullptr;
    EXPECT_FALSE(v.set(at("TVType"), &none));
    EXPECT_FALSE(v.set(at("TVType"), nullptr));
}

TEST(Frei0rParams, NaNIsRefusedAndBooleansSwitchAtOneHalf)
{
    ParamValues v;
    EXPECT_FALSE(v.set(at("contrast"), &kNaN));
    EXPECT_EQ(v.number(at("contrast")), 15.0);
    EXPECT_FALSE(v.set(at("lensEffect"), &kNaN));
    EXPECT_EQ(v.number(at("lensEffect")), 1.0);
    for (const auto& [f, on] :
         {std::pair{0.49, 0.0}, std::pair{0.5, 1.0}, std::pair{-3.0, 0.0}, std::pair{kInf, 1.0}}) {
        EXPECT_TRUE(v.set(at("quantise"), &f));
        EXPECT_EQ(v.number(at("quantise")), on) << f;
    }
    const f0r_param_color_t bad{0.5f, float(kNaN), 0.5f};
    EXPECT_FALSE(v.set(at("tintColour"), &bad));
    EXPECT_EQ(v.colour(at("tintColour"))[0], 63);
    // Colours are kept as 8-bit channels, limited to 0..1.
    const f0r_param_color_t c{0.5f, 2.0f, -1.0f};
    EXPECT_TRUE(v.set(at("tintColour"), &c));
    EXPECT_EQ(v.colour(at("tintColour")), (std::array<uint8_t, 3>{128, 255, 0}));
}

TEST(Frei0rParams, TheHostReadsThemAsTheEffectsKinds)
{
    ParamValues v;
    const double half = 0.5;
    v.set(at("SourceEdgeColourAlpha"), &half);
    KlTexture<Kiln::PixARGB8> output;
    Host host(v, 7, 25.0, output);
    EXPECT_EQ(host.currentTime(), 7.0);
    EXPECT_EQ(host.frameRate(), 25.0);
    EXPECT_DOUBLE_EQ(host.getScaleParam("contrast", 0), 0.15);
    EXPECT_DOUBLE_EQ(host.getDoubleParam("contrast", 0), 0.15);
    EXPECT_DOUBLE_EQ(host.getDoubleParam("lensRadius", 0), 450.0);
    EXPECT_EQ(host.getIntParam("TVType", 0), 1);
    // "Global Default" filtering resolves as a high-quality render; the blend method maps to its number.
    EXPECT_EQ(host.getIntParam("filtered", 0), 2);
    const char* composite = "Composite Source";
    v.set(at("blendMethod"), &composite);
    EXPECT_EQ(host.getIntParam("blendMethod", 0), 25);
    // The edge colour's alpha is its mirror slider: 50 % of 255, truncated.
    EXPECT_FLOAT_EQ(host.getRGBAParam("SourceEdgeColour", 0).a, 127.0f / 255.0f);
    EXPECT_FLOAT_EQ(host.getRGBAParam("tintColour", 0).a, 1.0f);
    EXPECT_TRUE(host.hasParam("seed"));
    EXPECT_FALSE(host.hasParam("playSpeed"));
    EXPECT_FALSE(host.hasParam("footageFps"));
    EXPECT_THROW(host.getScaleParam("lensRadius", 0), Kiln::Exceptions::WrongType);
    EXPECT_THROW(host.getScaleParam("playSpeed", 0), Kiln::Exceptions::Wrapper::ParameterUndefined);
    EXPECT_THROW(host.getClip("Matte"), Kiln::Exceptions::Wrapper::ClipUndefined);
}
