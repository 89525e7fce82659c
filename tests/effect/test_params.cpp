// The effect's parameter reading: names a set lacks take their fallbacks, declared names are read by
// their class, and every name is asked for in the order of the two tables.
#include "effect/klWatchcamParams.h"
#include "param/klParamChoice.h"
#include "param/klParamSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace Kiln::Watchcam;

// A parameter set that records the names it is asked about.
class AskedSet : public Kiln::Param::ParamSet {
public:
    bool hasParam(const std::string& name) override
    {
        asked.push_back(name);
        return ParamSet::hasParam(name);
    }
    std::vector<std::string> asked;
};

TEST(WatchcamParams, AbsentNamesTakeTheirFallbacksInTableOrder)
{
    AskedSet empty;
    const Settings s = readSettings(empty, 3.0);
    // Listed fallbacks differ from the controls' defaults: the tint, seed 30, strength 0.3, 16 levels.
    EXPECT_FLOAT_EQ(s.tintColour.g, 0.6f);
    EXPECT_EQ(s.seed, 30);
    EXPECT_DOUBLE_EQ(s.lensStrength, 0.3);
    EXPECT_EQ(s.quantiseLevels, 16);
    EXPECT_DOUBLE_EQ(s.lensRadius, 450.0);  // no listed fallback: the control's default
    EXPECT_FALSE(s.hasFramesPerSec);
    EXPECT_FALSE(s.hasRepeatFrames);
    // Every name once, in the order of the two tables: 34 declared, 34 others.
    ASSERT_EQ(empty.asked.size(), 68u);
    EXPECT_EQ(empty.asked[0], "postAlphaYesNoNo");
    EXPECT_EQ(empty.asked[33], "SourceTop");
    EXPECT_EQ(empty.asked[34], "masterBreakup");
    EXPECT_EQ(empty.asked.back(), "shashThreshold");
    // Without a play speed the position is the fallback speed (1) times the time.
    EXPECT_DOUBLE_EQ(playPosition(empty, 12.0), 12.0);
}

TEST(WatchcamParams, DeclaredNamesAreReadByTheirClass)
{
    Kiln::Param::ParamSet set;
    set.createParam<Kiln::Param::Scale>("contrast", 0.5);
    set.createParam<Kiln::Param::Double>("framesPerSec", 12.0);
    set.createParam<Kiln::Param::Int>("repeatFrames", 4);
    set.createParam<Kiln::Param::Pos2D>("greenGunAlign", HvVec2(3, 4));
    auto* tv = set.createParam<Kiln::Param::Choice>("TVType", 0);
    tv->addOption("Colour", 0);
    tv->addOption("Tint", 2);
    tv->setValue(2);
    const Settings s = readSettings(set, 0.0);
    EXPECT_DOUBLE_EQ(s.contrast, 0.5);
    EXPECT_TRUE(s.hasFramesPerSec);
    EXPECT_DOUBLE_EQ(s.framesPerSec, 12.0);
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
