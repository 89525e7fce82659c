// The progress bar and the summary line of a render.
#include "render/klProgress.h"

#include <gtest/gtest.h>

using namespace Kiln::Footage;

TEST(Progress, BarAndSummaryTellFramesSpeedAndTime)
{
    EXPECT_EQ(clockText(7.4), "0:07");
    EXPECT_EQ(clockText(725), "12:05");
    EXPECT_EQ(clockText(3723), "1:02:03");
    EXPECT_EQ(progressLine(12, 75, 2),
              "[####..........................] 12/75 frames  6.0 fps  0:02 spent, 0:11 left");
    EXPECT_EQ(progressLine(75, 75, 12.5),
              "[##############################] 75/75 frames  6.0 fps  0:13 spent");
    EXPECT_EQ(summaryLine("out.mp4", 75, 12.34), "out.mp4: 75 frames in 12.3 s (6.1 fps)");
    EXPECT_EQ(summaryLine("a.png", 1, 90), "a.png: 1 frame in 1:30 (0.0 fps)");
}
