// The demo clip: the test card's colours where they can be worked out, and its motion.
#include "footage/klDemoClip.h"

#include <gtest/gtest.h>

using namespace Kiln::Footage;

TEST(DemoClip, PicturesAreTheTestCardAndMove)
{
    // Top quarter: the bars, left to right; 1280 / 8 = 160 pixels each.
    const DemoColour white = demoColour(10, 10, 0, 1280, 720);
    EXPECT_FLOAT_EQ(white.r, 0.75f);
    EXPECT_FLOAT_EQ(white.b, 0.75f);
    const DemoColour yellow = demoColour(170, 10, 0, 1280, 720);
    EXPECT_FLOAT_EQ(yellow.b, 0.0f);
    const DemoColour black = demoColour(1279, 179, 0, 1280, 720);
    EXPECT_FLOAT_EQ(black.g, 0.0f);
    // Bottom eighth: a grey ramp, black before 5 % of the width and white after 95 %.
    EXPECT_FLOAT_EQ(demoColour(0, 700, 0, 1280, 720).g, 0.0f);
    EXPECT_FLOAT_EQ(demoColour(1279, 700, 0, 1280, 720).g, 1.0f);
    EXPECT_NEAR(demoColour(639, 700, 0, 1280, 720).g, 0.5f, 0.001f);  // u = 0.5 -> (0.5-0.05)/0.9
    // The disc's centre 2 s in: (0.5 * 1.3 - 0.15) * 1280 = 640, 0.45 * 720 = 324: orange.
    const DemoColour disc = demoColour(640, 324, 50, 1280, 720);
    EXPECT_FLOAT_EQ(disc.r, 0.95f);
    EXPECT_FLOAT_EQ(disc.g, 0.55f);
    // A second later the disc has moved on.
    EXPECT_NE(demoColour(640, 324, 75, 1280, 720).g, 0.55f);

    DemoReader demo(64, 48, 3);
    const Image eight = demo.read(1, Depth::Eight);
    const Image deep = demo.read(1, Depth::Sixteen);
    EXPECT_EQ(eight.row<uint8_t>(0)[0], 255);
    EXPECT_EQ(eight.row<uint8_t>(0)[1], 191);  // 0.75 * 255 + 0.5
    EXPECT_EQ(deep.row<uint16_t>(0)[1], 24576);  // 0.75 * 32768
    EXPECT_EQ(demo.read(1, Depth::Eight).pixels, eight.pixels);  // the same every time
    EXPECT_THROW(DemoReader(8, 8, 1), FootageError);
}
