#include "effect/klTimeRemap.h"

#include <gtest/gtest.h>

#include <limits>

using namespace Kiln::Watchcam;

TEST(TimeRemap, PlayedFrameRoundsHalvesUpAndTruncatesBelowMinusHalf)
{
    EXPECT_EQ(playedFrame(0.0), 0);
    EXPECT_EQ(playedFrame(0.49), 0);
    EXPECT_EQ(playedFrame(0.5), 1);
    EXPECT_EQ(playedFrame(20.0), 20);
    EXPECT_EQ(playedFrame(-0.5), 0);
    EXPECT_EQ(playedFrame(-9.7), -9);
    EXPECT_EQ(playedFrame(-10.0), -9);
    EXPECT_EQ(playedFrame(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(playedFrame(1e300), std::numeric_limits<int32_t>::max());
}

TEST(TimeRemap, FrameRateHoldsFramesOnMultiplesOfTheRatio)
{
    // 5 fps on 25 is checked through the module (test_e2e_time).
    // 50 fps camera on a 30 fps layer: r = 0.6, P = 7 gives trunc(11 * 0.6) = 6.
    EXPECT_EQ(droppedFrame(7, 30.0, 50.0), 6);
    // Same rate: every frame shows itself.
    for (int p = 0; p < 30; ++p) EXPECT_EQ(droppedFrame(p, 25.0, 25.0), p);
    // A rate of 0 turns dropping off; negative frames move toward zero.
    EXPECT_EQ(droppedFrame(13, 25.0, 0.0), 13);
    EXPECT_EQ(droppedFrame(-7, 25.0, 5.0), -5);
    // Without a host rate (0) every frame is a multiple of 0 ratio's reciprocal: q is infinite.
    EXPECT_EQ(droppedFrame(3, 0.0, 5.0), 3);
}

TEST(TimeRemap, RepeatFramesUsesTheRemainderOfIntegerDivision)
{
    EXPECT_EQ(repeatedFrame(17, 8), 16);
    EXPECT_EQ(repeatedFrame(-17, 8), -16);
    EXPECT_EQ(repeatedFrame(5, 0), 5);
}
