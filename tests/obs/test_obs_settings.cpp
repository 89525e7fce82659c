// The filter's settings and its host: defaults and units, what OBS can store that means nothing, and
// the values the effect reads.
#include "effect/klWatchcamParams.h"
#include "exceptions/klException.h"
#include "obs/klObsHost.h"
#include "obs/klObsRenderer.h"
#include "obs/klObsSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace Kiln::Obs;
using Kiln::Watchcam::indexOf;

namespace {

double number(const Values& v, const char* name) { return v.number(Kiln::Watchcam::controlIndex(name)); }

}  // namespace

TEST(ObsSettings, EveryControlButPlaySpeedIsASettingWithItsDefault)
{
    const Values v;
    int32_t settings = 0;
    for (const auto& c : Kiln::Watchcam::kControls) {
        if (!isSetting(c)) continue;
        ++settings;
        if (c.type == Kiln::Watchcam::ControlType::Popup) {
            EXPECT_EQ(v.number(c.index), c.dflt - 1) << c.scriptName;
        } else if (c.type != Kiln::Watchcam::ControlType::Colour) {
            EXPECT_EQ(v.number(c.index), c.dflt) << c.scriptName;
        }
    }
    EXPECT_EQ(settings, 33);
    EXPECT_FALSE(isSetting(Kiln::Watchcam::kControls[indexOf("playSpeed")]));
    EXPECT_EQ(v.entryName(indexOf("filtered")), "Global Default");
    EXPECT_EQ(v.entryName(indexOf("shashType")), "Random");
    // Tint colour 63, 165, 76 as OBS stores it: 0xAABBGGRR.
    EXPECT_EQ(defaultObsColour(Kiln::Watchcam::kControls[indexOf("tintColour")]), 0xFF4CA53Fu);
    EXPECT_EQ(sliderStep(Kiln::Watchcam::kControls[indexOf("contrast")]), 0.1);
    EXPECT_EQ(sliderStep(Kiln::Watchcam::kControls[indexOf("quantiseLevels")]), 1.0);
}

TEST(ObsSettings, OutOfRangeIsClampedNaNAndUnknownChoicesAreRefusedWithOneLine)
{
    Values v;
    std::string why;
    EXPECT_EQ(v.setNumber(indexOf("contrast"), 40.0, why), Outcome::Taken);
    EXPECT_TRUE(why.empty());
    // Beyond the slider, within the valid range: taken as it is.
    EXPECT_EQ(v.setNumber(indexOf("contrast"), 4000.0, why), Outcome::Taken);
    EXPECT_EQ(number(v, "contrast"), 4000.0);
    EXPECT_EQ(v.setNumber(indexOf("contrast"), 9000.0, why), Outcome::Clamped);
    EXPECT_EQ(number(v, "contrast"), 5000.0);
    EXPECT_EQ(why, "\"Contrast\": 9000 is beyond 0..5000; using 5000");
    EXPECT_EQ(v.setNumber(indexOf("lensStrength"), -1e300, why), Outcome::Clamped);
    EXPECT_EQ(number(v, "lensStrength"), -5000.0);
    EXPECT_EQ(v.setNumber(indexOf("framesPerSec"), std::numeric_limits<double>::infinity(), why),
              Outcome::Clamped);
    EXPECT_EQ(number(v, "framesPerSec"), 50.0);

    why.clear();
    EXPECT_EQ(v.setNumber(indexOf("blur"), std::nan(""), why), Outcome::Refused);
    EXPECT_EQ(number(v, "blur"), 1.0);
    EXPECT_EQ(why, "\"Blur\": NaN refused; keeping 1");
    EXPECT_EQ(why.find('\n'), std::string::npos);

    EXPECT_EQ(v.setChoice(indexOf("TVType"), "Tint", why), Outcome::Taken);
    EXPECT_EQ(number(v, "TVType"), 2.0);
    EXPECT_EQ(v.setChoice(indexOf("TVType"), "colour", why), Outcome::Taken);
    EXPECT_EQ(number(v, "TVType"), 0.0);
    EXPECT_EQ(v.setChoice(indexOf("TVType"), "Sepia", why), Outcome::Refused);
    EXPECT_EQ(number(v, "TVType"), 0.0);
    EXPECT_EQ(why, "\"TV Type\": unknown choice \"Sepia\" refused; keeping \"Colour\"");
    EXPECT_EQ(v.setChoice(indexOf("blendMethod"), "", why), Outcome::Refused);
    EXPECT_EQ(number(v, "blendMethod"), 0.0);
}

TEST(ObsSettings, SlidersKeepTheStepsWatchcamGivesTheEffect)
{
    Values v;
    std::string why;
    // Whole-number sliders round; the others keep 1/65536 steps.
    EXPECT_EQ(v.setNumber(indexOf("seed"), 7.5, why), Outcome::Taken);
    EXPECT_EQ(number(v, "seed"), 8.0);
    EXPECT_EQ(v.setNumber(indexOf("quantiseLevels"), 0.2, why), Outcome::Clamped);
    EXPECT_EQ(number(v, "quantiseLevels"), 1.0);
    EXPECT_EQ(v.setNumber(indexOf("blur"), 0.1, why), Outcome::Taken);
    EXPECT_EQ(number(v, "blur"), std::round(0.1 * 65536.0) / 65536.0);
    // Check boxes: on at 0.5 and above.
    EXPECT_EQ(v.setNumber(indexOf("quantise"), 0.7, why), Outcome::Taken);
    EXPECT_EQ(number(v, "quantise"), 1.0);
    // Colours ignore OBS's alpha byte.
    EXPECT_EQ(v.setColour(indexOf("tintColour"), 0x00332211u, why), Outcome::Taken);
    EXPECT_EQ(v.colour(indexOf("tintColour")), (std::array<uint8_t, 3>{0x11, 0x22, 0x33}));
}

TEST(ObsHost, TheEffectReadsItsOwnUnits)
{
    Values v;
    std::string why;
    v.setNumber(indexOf("contrast"), 40.0, why);
    v.setNumber(indexOf("SourceEdgeColourAlpha"), 50.0, why);
    v.setChoice(indexOf("blendMethod"), "Mix", why);
    v.setColour(indexOf("SourceEdgeColour"), 0xFF0000FFu, why);
    installHeapMemory();
    KlTexture<Kiln::PixARGB8> out(4, 4);
    Host host(v, 12, 59.94, out);
    EXPECT_EQ(host.currentTime(), 12.0);
    EXPECT_EQ(host.frameRate(), 59.94);
    EXPECT_DOUBLE_EQ(host.getScaleParam("contrast", 12), 0.4);
    EXPECT_DOUBLE_EQ(host.getDoubleParam("contrast", 12), 0.4);
    EXPECT_EQ(host.getDoubleParam("lensRadius", 12), 450.0);
    EXPECT_EQ(host.getIntParam("blendMethod", 12), 19);  // "Mix" is method 19
    EXPECT_EQ(host.getIntParam("filtered", 12), 2);  // "Global Default": high quality
    EXPECT_EQ(host.getIntParam("shashType", 12), 5);
    EXPECT_TRUE(host.getBoolParam("lensEffect", 12));
    const KlRGBAColF edge = host.getRGBAParam("SourceEdgeColour", 12);
    EXPECT_EQ(edge.r, 1.0f);
    EXPECT_EQ(edge.b, 0.0f);
    EXPECT_EQ(edge.a, 127.0f / 255.0f);  // 50 % of 255, truncated
    const KlRGBColF tint = host.getRGBParam("tintColour", 12);
    EXPECT_EQ(tint.g, 165.0f / 255.0f);
    // Play speed is no setting: the render falls back to normal speed.
    EXPECT_FALSE(host.hasParam("playSpeed"));
    EXPECT_THROW(host.getScaleParam("playSpeed", 12), Kiln::Exceptions::ExceptionI);
    EXPECT_THROW(host.getIntParam("contrast", 12), Kiln::Exceptions::ExceptionI);
    EXPECT_THROW(host.getClip("Other"), Kiln::Exceptions::ExceptionI);
    EXPECT_EQ(host.integrateScaleParam("contrast", -1, 10), 4.0);
}
