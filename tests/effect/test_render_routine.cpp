// The render routine's decisions: which frame is fetched, which stages run with what settings, and how
// much of the source a rectangle of output needs.
#include "effect/klRenderRoutine.h"
#include "effect/klWornScreenEffect.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kiln::Watchcam;

namespace {

Settings withFrameRate(double fps)
{
    Settings s;
    s.hasFramesPerSec = true;
    s.framesPerSec = fps;
    return s;
}

}  // namespace

TEST(RenderRoutine, SourceFrameFromPlayPositionAndFrameRate)
{
    // The arithmetic is klTimeRemap's; here which rule applies. Frame Rate 5 on 25 fps, play speed 200
    // (S = 2t): output frame 10 plays 20, which the camera rate keeps; 3.5 plays 4 and shows 0.
    const Settings five = withFrameRate(5);
    EXPECT_EQ(sourceFrame(five, 20.0, 25).played, 20);
    EXPECT_EQ(sourceFrame(five, 20.0, 25).fetched, 20);
    EXPECT_EQ(sourceFrame(five, 3.5, 25).played, 4);
    EXPECT_EQ(sourceFrame(five, 3.5, 25).fetched, 0);
    // Rate 0, or no framesPerSec (F = H), or no host (H = 0): nothing dropped.
    EXPECT_EQ(sourceFrame(withFrameRate(0), 7.0, 25).fetched, 7);
    EXPECT_EQ(sourceFrame(Settings{}, 7.0, 25).fetched, 7);
    EXPECT_EQ(sourceFrame(withFrameRate(5), 7.0, 0).fetched, 7);
    // A set that declares repeatFrames holds every N frames instead.
    Settings repeat = withFrameRate(5);
    repeat.hasRepeatFrames = true;
    repeat.repeatFrames = 4;
    EXPECT_EQ(sourceFrame(repeat, 7.0, 25).fetched, 4);
}

TEST(RenderRoutine, StageSwitches)
{
    Settings s;
    s.lensEffect = true;
    s.lensStrength = 0.1;  // "Lens Strength" 10
    EXPECT_FALSE(lensOn(s));
    s.lensStrength = -0.1;
    EXPECT_FALSE(lensOn(s));
    s.lensStrength = 0.11;
    EXPECT_TRUE(lensOn(s));
    s.lensStrength = -0.11;
    EXPECT_TRUE(lensOn(s));
    s.lensEffect = false;
    EXPECT_FALSE(lensOn(s));

    // Blur 0.1 as the host's 16.16 value is the module's end-to-end test's.
    s.whiteDot = 0.99;
    EXPECT_FALSE(isBlank(s));
    s.whiteDot = 0.995;
    EXPECT_TRUE(isBlank(s));
    s.whiteDot = 0.0;
    s.resolution = 0.005;
    EXPECT_TRUE(isBlank(s));
}

TEST(RenderRoutine, StageSettingsFollowTheRenderScale)
{
    Settings s;
    s.lensStrength = 1.0;
    s.lensRadius = 450;
    s.blur = 3;
    s.scanlineWidth = 3;
    s.filtered = 0;
    RenderFacts full;
    const LensGeometry g = lensGeometry(s, full, 1920, 1080);
    EXPECT_FLOAT_EQ(g.k, std::exp(-1.0f));
    EXPECT_FLOAT_EQ(g.radiusX, 450.0f);
    EXPECT_FLOAT_EQ(g.radiusY, 450.0f);
    EXPECT_FLOAT_EQ(g.centreX, 960.0f);
    EXPECT_FLOAT_EQ(g.centreY, 540.0f);
    EXPECT_EQ(g.filter, 0);
    EXPECT_FLOAT_EQ(blurSizes(s, full).x, 1.0f);
    EXPECT_EQ(blurSizes(s, full).iterations, 3);
    EXPECT_EQ(scanlineSpacing(s, full), 3);

    // Half resolution halves the radii, the box sizes and the scan-line period; a pixel aspect of 2
    // stretches the lens's vertical radius and the scan-line period alike (3 * 0.5 * 2 = 3 rows).
    RenderFacts half;
    half.sx = half.sy = half.syAdj = 0.5;
    half.pixelAspect = 2.0;
    s.filtered = 2;
    const LensGeometry h = lensGeometry(s, half, 960, 540);
    EXPECT_FLOAT_EQ(h.radiusX, 225.0f);
    EXPECT_FLOAT_EQ(h.radiusY, 450.0f);
    EXPECT_EQ(h.filter, 1);
    EXPECT_FLOAT_EQ(blurSizes(s, half).y, 0.5f);
    EXPECT_EQ(scanlineSpacing(s, half), 3);
    half.pixelAspect = 1.0;  // 1.5 -> 1: no lines
    EXPECT_EQ(scanlineSpacing(s, half), 1);
    s.blur = 0.2;
    EXPECT_NEAR(blurSizes(s, full).x, 0.0667f, 1e-4);
}

TEST(RenderRoutine, FactsWithoutAHostAndTheSamplerScales)
{
    const RenderFacts f = renderFacts(nullptr);
    EXPECT_EQ(f.time, 0.0);
    EXPECT_EQ(f.sx, 1.0);
    EXPECT_EQ(f.syAdj, 1.0);
    EXPECT_EQ(f.pixelAspect, 1.0);
    EXPECT_EQ(f.hostRate, 0.0);
    // The sampler draws at the horizontal scale and the vertical scale the pixel aspect adjusts.
    RenderFacts half;
    half.sx = 0.5;
    half.syAdj = 0.25;
    const Kiln::WornScreenSettings w = samplerSettings(Settings{}, half, 12, 960.0f, 540.0f);
    EXPECT_FLOAT_EQ(w.scaleX, 0.5f);
    EXPECT_FLOAT_EQ(w.scaleY, 0.25f);
    EXPECT_EQ(w.frame, 12);
    EXPECT_EQ(frameNumber(-1.5), -1);
}

TEST(WornScreenRegion, BlurGrowsTheRectangleAtItsScale)
{
    // The module's pre-render checks blur 3, the lens box and the stages that read anywhere; here what
    // only the routine's inputs reach.
    const float in[4] = {50, 60, 40, 50};  // x0, x1, y0, y1
    float out[4];
    RegionInputs r;
    r.frameWidth = 200;
    r.frameHeight = 100;
    // Blur 7.5 at half horizontal scale: radius 1.25 -> 2 pixels per pass in x, radius 2.5 -> 3 in y.
    r.blur = 7.5;
    r.sx = 0.5;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{44, 66, 31, 59}));
    // Near the edge the answer is clipped to the layer.
    const float corner[4] = {0, 10, 0, 10};
    ASSERT_TRUE(sourceRegionNeeded(r, corner, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{0, 16, 0, 19}));
    // A blank frame needs only the request; the whole layer without the layer's size is no answer.
    r.whiteDot = 1.0;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{50, 60, 40, 50}));
    r.whiteDot = 0;
    r.wholeLayer = true;
    r.frameHeight = 0;
    EXPECT_FALSE(sourceRegionNeeded(r, in, out));
}
