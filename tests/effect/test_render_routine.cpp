// The render routine's decisions: which frame is fetched, which stages run with what settings, and how
// much of the source a rectangle of output needs.
#include "effect/klRenderRoutine.h"
#include "effect/klWornScreenEffect.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kiln::Watchcam;

namespace {

Settings withFrameRate(double fps) {
    Settings s;
    s.hasFramesPerSec = true;
    s.framesPerSec = fps;
    return s;
}

}  // namespace

TEST(RenderRoutine, SourceFrameFromPlayPositionAndFrameRate) {
    // Frame Rate 5 on 25 fps: 0..4 show 0, 5..9 show 5.
    const Settings five = withFrameRate(5);
    for (int t = 0; t < 12; ++t) EXPECT_EQ(sourceFrame(five, t, 25).fetched, t / 5 * 5) << t;
    // Play speed 200 (S = 2t): output frame 10 plays 20, which the camera rate keeps.
    EXPECT_EQ(sourceFrame(five, 20.0, 25).played, 20);
    EXPECT_EQ(sourceFrame(five, 20.0, 25).fetched, 20);
    // Halves go up from -0.5; below it the truncation goes toward zero.
    EXPECT_EQ(sourceFrame(five, 3.5, 25).played, 4);
    EXPECT_EQ(sourceFrame(five, -9.7, 25).played, -9);
    EXPECT_EQ(sourceFrame(five, -10.0, 25).played, -9);
    // 30 fps layer at 50: r = 0.6, P = 7 -> trunc(11 * 0.6) = 6.
    EXPECT_EQ(sourceFrame(withFrameRate(50), 7.0, 30).fetched, 6);
    // Rate 0, or no framesPerSec (F = H), or no host (H = 0): nothing dropped.
    EXPECT_EQ(sourceFrame(withFrameRate(0), 7.0, 25).fetched, 7);
    EXPECT_EQ(sourceFrame(Settings{}, 7.0, 25).fetched, 7);
    EXPECT_EQ(sourceFrame(withFrameRate(5), 7.0, 0).fetched, 7);
    // A set that declares repeatFrames holds every N frames instead, the remainder following P's sign.
    Settings repeat = withFrameRate(5);
    repeat.hasRepeatFrames = true;
    repeat.repeatFrames = 4;
    EXPECT_EQ(sourceFrame(repeat, 7.0, 25).fetched, 4);
    EXPECT_EQ(sourceFrame(repeat, -7.0, 25).fetched, -4);
}

TEST(RenderRoutine, StageSwitches) {
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

    // The host's 16.16 value of a typed 0.1 (6554 / 65536) is still 0.1.
    EXPECT_FALSE(blurOn(0.1));
    EXPECT_FALSE(blurOn(6554.0 / 65536.0));
    EXPECT_TRUE(blurOn(0.2));
    EXPECT_FALSE(blurOn(0.0));

    s.whiteDot = 0.99;
    EXPECT_FALSE(isBlank(s));
    s.whiteDot = 0.995;
    EXPECT_TRUE(isBlank(s));
    s.whiteDot = 0.0;
    s.resolution = 0.005;
    EXPECT_TRUE(isBlank(s));
}

TEST(RenderRoutine, StageSettingsFollowTheRenderScale) {
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

TEST(RenderRoutine, FactsWithoutAHostAndTheSamplerSettings) {
    const RenderFacts f = renderFacts(nullptr);
    EXPECT_EQ(f.time, 0.0);
    EXPECT_EQ(f.sx, 1.0);
    EXPECT_EQ(f.syAdj, 1.0);
    EXPECT_EQ(f.pixelAspect, 1.0);
    EXPECT_EQ(f.hostRate, 0.0);
    EXPECT_EQ(f.meanScale, 1.0);

    Settings s;
    s.tvType = 2;
    s.tintColour = {0.25f, 0.65f, 0.3f};
    s.emInterference = 0.15;
    s.seed = 25;
    s.shashType = 3;
    s.shashMax = 0.5;
    RenderFacts half;
    half.sx = 0.5;
    half.syAdj = 0.25;
    const Kiln::WornScreenSettings w = samplerSettings(s, half, 12, 960.0f, 540.0f);
    EXPECT_EQ(w.tvType, 2);
    EXPECT_FLOAT_EQ(w.tintGreen, 0.65f);
    EXPECT_FLOAT_EQ(w.emAmount, 0.15f);
    EXPECT_EQ(w.seed, 25);
    EXPECT_EQ(w.frame, 12);
    EXPECT_EQ(w.shashType, 3);
    EXPECT_FLOAT_EQ(w.shashMax, 0.5f);
    EXPECT_FLOAT_EQ(w.scaleX, 0.5f);
    EXPECT_FLOAT_EQ(w.scaleY, 0.25f);
    EXPECT_FLOAT_EQ(w.frameHeight, 540.0f);
    EXPECT_EQ(frameNumber(12.9), 12);
    EXPECT_EQ(frameNumber(-1.5), -1);
}

TEST(WornScreenRegion, BlurAndLensGrowTheRectangle) {
    const float in[4] = {50, 60, 40, 50};  // x0, x1, y0, y1
    float out[4];
    RegionInputs r;
    r.frameWidth = 200;
    r.frameHeight = 100;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{50, 60, 40, 50}));
    // Blur 1: three passes of radius 1/3, one pixel each; blur 0.1 none.
    r.blur = 1;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{47, 63, 37, 53}));
    r.blur = 0.1;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(out[0], 50.0f);
    // Blur 7.5 at half horizontal scale: radius 1.25 -> 2 pixels per pass in x, radius 2.5 -> 3 in y.
    r.blur = 7.5;
    r.sx = 0.5;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{44, 66, 31, 59}));
    // Near the edge the answer is clipped to the layer.
    const float corner[4] = {0, 10, 0, 10};
    ASSERT_TRUE(sourceRegionNeeded(r, corner, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{0, 16, 0, 19}));
    // Wrapped rows bring in the bottom of the layer.
    r.edgeModeY = KlEdgeWrap;
    ASSERT_TRUE(sourceRegionNeeded(r, corner, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{0, 16, 0, 100}));

    // The lens: union with its box around (100, 50), radius 30 and one pixel more.
    r = RegionInputs{};
    r.frameWidth = 200;
    r.frameHeight = 100;
    r.lensOn = true;
    r.lensRadius = 30;
    r.lensStrength = 0.4;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{50, 131, 19, 81}));
    // Without the layer's size the lens box is unknown.
    r.frameWidth = 0;
    EXPECT_FALSE(sourceRegionNeeded(r, in, out));
}

TEST(WornScreenRegion, WholeLayerAndBlankFrame) {
    const float in[4] = {50, 60, 40, 50};
    float out[4];
    RegionInputs r;
    r.frameWidth = 200;
    r.frameHeight = 100;
    r.whiteDot = 0.3;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{0, 200, 0, 100}));
    r.whiteDot = 1.0;  // a blank frame: only the request
    r.blur = 5;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{50, 60, 40, 50}));
    r.whiteDot = 0;
    r.wholeLayer = true;
    ASSERT_TRUE(sourceRegionNeeded(r, in, out));
    EXPECT_EQ(out[1], 200.0f);
    r.frameHeight = 0;
    EXPECT_FALSE(sourceRegionNeeded(r, in, out));
}

TEST(WornScreenRegion, HowFarTheLensReads) {
    // A point at unit radius r reads from r k / (1 + (k - 1) r^2): at most the rim for k <= 2.
    EXPECT_EQ(lensReadReach(std::exp(-0.4)), 1.0);
    EXPECT_EQ(lensReadReach(2.0), 1.0);
    const double k = std::exp(5.0);
    EXPECT_NEAR(lensReadReach(k), k / (2.0 * std::sqrt(k - 1.0)), 1e-12);
    // The reach is the largest read radius over the disc.
    double most = 0;
    for (int i = 1; i <= 1000; ++i) {
        const double r = i / 1000.0;
        most = std::max(most, r * k / (1.0 + (k - 1.0) * r * r));
    }
    EXPECT_NEAR(most, lensReadReach(k), 1e-3);
}

TEST(WornScreenEffectObject, DescriptionAndPictureForm) {
    Kiln::Wrapper::WornScreenEffect effect;
    EXPECT_EQ(effect.name(), "Q_Watchcam");
    ASSERT_NE(effect.clipDescription("Source"), nullptr);
    EXPECT_FALSE(effect.clipDescription("Source")->optional());
    EXPECT_FALSE(effect.isStraight());
    const auto depths = effect.attributes().bitdepths;
    EXPECT_EQ(depths, uint32_t(Kiln::Wrapper::EffectI::Depth8 | Kiln::Wrapper::EffectI::Depth16 |
                               Kiln::Wrapper::EffectI::DepthFloat));
    float out[4];
    const float in[4] = {0, 1, 0, 1};
    EXPECT_FALSE(effect.regionOfInterest("Matte", in, out));
}
