// The effect's parameter reading: table look-ups, the name mapping a host gets, and readSettings with
// declared names and fallbacks for absent ones.
#include "effect/klWatchcamParams.h"
#include "param/klParamChoice.h"
#include "param/klParamSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace Kiln::Watchcam;

// A parameter set that records the names it is asked about.
class AskedSet : public Kiln::Param::ParamSet {
public:
    bool hasParam(const std::string& name) override {
        asked.push_back(name);
        return ParamSet::hasParam(name);
    }
    std::vector<std::string> asked;
};

// Records what registerMappings hands a host.
struct RecordingHost {
    std::vector<std::pair<std::string, int32_t>> clips;
    std::vector<std::tuple<int32_t, std::string, int32_t>> params;
    std::vector<std::tuple<int32_t, std::string, std::vector<int32_t>>> popups;
    void addClipMapping(const std::string& name, int32_t index) { clips.push_back({name, index}); }
    void addParamMapping(int32_t index, const std::string& name, int32_t kind) { params.push_back({index, name, kind}); }
    void addPopupMapping(int32_t index, const std::string& name, const std::vector<int32_t>& values) {
        popups.push_back({index, name, values});
    }
};

TEST(WatchcamParams, TableLookupsAndTheMappingAHostGets) {
    EXPECT_EQ(controlIndex("SourceTop"), 42);
    EXPECT_EQ(controlIndex("nothing"), -1);
    // Choices map host items to effect values: "Method" item 2 (Mix) is 19, "Filtering" Global Default
    // resolves by quality; defaults are in the effect's units.
    const ControlSpec& method = *findControl("blendMethod");
    EXPECT_EQ(choiceCount(method), 25);
    EXPECT_EQ(choiceValue(method, 1), 19);
    EXPECT_EQ(choiceValue(*findControl("filtered"), 2), kQualityResolved);
    EXPECT_DOUBLE_EQ(effectDefault(*findControl("contrast")), 0.15);
    EXPECT_DOUBLE_EQ(effectDefault(*findControl("filtered")), 1.0);  // "Global Default" counts as low quality
    EXPECT_FLOAT_EQ(defaultColour("tintColour").g, 165 / 255.0f);
    // Fallbacks: the listed ones first, else the control's default.
    EXPECT_DOUBLE_EQ(fallbackValue("quantiseLevels"), 16.0);
    EXPECT_DOUBLE_EQ(fallbackValue("lensRadius"), 450.0);
    EXPECT_DOUBLE_EQ(fallbackValue("unknown"), 0.0);

    RecordingHost h;
    registerMappings(h);
    EXPECT_EQ(h.clips, (std::vector<std::pair<std::string, int32_t>>{{"Source", 0}}));
    EXPECT_EQ(h.params.size() + h.popups.size(), 34u);
    EXPECT_EQ(h.params.front(), (std::tuple<int32_t, std::string, int32_t>(4, "tintColour", 5)));
    for (const auto& [index, name, values] : h.popups) {
        if (name == "blendMethod") {
            EXPECT_EQ(values[2], 22) << "Add";
        }
    }
}

TEST(WatchcamParams, AbsentNamesTakeTheirFallbacks) {
    AskedSet empty;
    const Settings s = readSettings(empty, 3.0);
    // Declared names with listed fallbacks.
    EXPECT_EQ(s.tvType, 1);
    EXPECT_FLOAT_EQ(s.tintColour.r, 0.25f);
    EXPECT_FLOAT_EQ(s.tintColour.g, 0.6f);
    EXPECT_FLOAT_EQ(s.tintColour.b, 0.3f);
    EXPECT_EQ(s.seed, 30);
    EXPECT_DOUBLE_EQ(s.contrast, 0.15);
    EXPECT_DOUBLE_EQ(s.brightness, 0.25);
    EXPECT_DOUBLE_EQ(s.emInterference, 0.15);
    EXPECT_DOUBLE_EQ(s.whiteDot, 0.0);
    EXPECT_DOUBLE_EQ(s.blur, 1.0);
    EXPECT_EQ(s.scanlineWidth, 3);
    EXPECT_DOUBLE_EQ(s.lensStrength, 0.3);
    EXPECT_EQ(s.filtered, 1);
    EXPECT_EQ(s.shashType, 5);
    EXPECT_DOUBLE_EQ(s.shashMax, 0.0);
    EXPECT_DOUBLE_EQ(s.playSpeed, 1.0);
    EXPECT_EQ(s.quantiseLevels, 16);
    // Without a frame rate the host's rate applies; without repeatFrames nothing repeats.
    EXPECT_FALSE(s.hasFramesPerSec);
    EXPECT_FALSE(s.hasRepeatFrames);
    // Names this effect never declares.
    EXPECT_DOUBLE_EQ(s.masterBreakup, 1.0);
    EXPECT_DOUBLE_EQ(s.colourThreshold, 1.0);
    EXPECT_EQ(s.ghostImages, 0);
    EXPECT_DOUBLE_EQ(s.edgeJaggedness, 1.0);
    EXPECT_DOUBLE_EQ(s.snowSoftness, 100.0);
    EXPECT_DOUBLE_EQ(s.snowSparseness, 0.15);
    EXPECT_DOUBLE_EQ(s.lineAngle, 0.174533);
    EXPECT_DOUBLE_EQ(s.lineSpacing, 50.0);
    EXPECT_DOUBLE_EQ(s.lineSpeed, 100.0);
    EXPECT_DOUBLE_EQ(s.resolution, 1.0);
    EXPECT_EQ(s.repeatFrames, 8);
    EXPECT_FALSE(s.hasGunAlign[1]);

    // Every name is asked for once, in the order of the two tables: 34 declared, 34 others.
    ASSERT_EQ(empty.asked.size(), 68u);
    EXPECT_EQ(empty.asked[0], "postAlphaYesNoNo");
    EXPECT_EQ(empty.asked[1], "TVType");
    EXPECT_EQ(empty.asked[2], "tintColour");
    EXPECT_EQ(empty.asked[3], "contrast");
    EXPECT_EQ(empty.asked.back(), "shashThreshold");
    auto position = [&](const std::string& name) {
        return std::find(empty.asked.begin(), empty.asked.end(), name) - empty.asked.begin();
    };
    EXPECT_LT(position("SourceTop"), position("masterBreakup"));
    EXPECT_LT(position("lineAngle"), position("lineSpacing"));
    EXPECT_LT(position("blueGunAlign"), position("playMode"));
    // Without a play speed the position is the fallback speed (1) times the time.
    EXPECT_DOUBLE_EQ(playPosition(empty, 12.0), 12.0);
}

TEST(WatchcamParams, DeclaredNamesAreReadByTheirType) {
    Kiln::Param::ParamSet set;
    set.createParam<Kiln::Param::Scale>("contrast", 0.5);
    set.createParam<Kiln::Param::Int>("seed", 7);
    set.createParam<Kiln::Param::Bool>("quantise", true);
    set.createParam<Kiln::Param::Double>("framesPerSec", 12.0);
    set.createParam<Kiln::Param::RGBColour>("tintColour", KlRGBColF(0.1f, 0.2f, 0.3f));
    set.createParam<Kiln::Param::RGBAColour>("SourceEdgeColour", KlRGBAColF(1, 0, 0, 0.5f));
    set.createParam<Kiln::Param::Angle>("lineAngle", 0.5);
    set.createParam<Kiln::Param::Int>("repeatFrames", 4);
    set.createParam<Kiln::Param::Pos2D>("greenGunAlign", HvVec2(3, 4));
    auto* tv = set.createParam<Kiln::Param::Choice>("TVType", 0);
    tv->addOption("Colour", 0);
    tv->addOption("B and W", 1);
    tv->addOption("Tint", 2);
    tv->setValue(2);

    const Settings s = readSettings(set, 0.0);
    EXPECT_DOUBLE_EQ(s.contrast, 0.5);
    EXPECT_EQ(s.seed, 7);
    EXPECT_TRUE(s.quantise);
    EXPECT_TRUE(s.hasFramesPerSec);
    EXPECT_DOUBLE_EQ(s.framesPerSec, 12.0);
    EXPECT_FLOAT_EQ(s.tintColour.b, 0.3f);
    EXPECT_FLOAT_EQ(s.sourceEdgeColour.a, 0.5f);
    EXPECT_DOUBLE_EQ(s.lineAngle, 0.5);
    EXPECT_TRUE(s.hasRepeatFrames);
    EXPECT_EQ(s.repeatFrames, 4);
    EXPECT_TRUE(s.hasGunAlign[1]);
    EXPECT_FLOAT_EQ(s.gunAlign[1].y, 4.0f);
    EXPECT_EQ(s.tvType, 2);
    // A name of the wrong class is an error of the set, not a silent fallback.
    Kiln::Param::ParamSet wrong;
    wrong.createParam<Kiln::Param::Double>("contrast", 0.5);
    EXPECT_ANY_THROW(readSettings(wrong, 0.0));
}

}  // namespace
