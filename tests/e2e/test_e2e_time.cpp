// Time remapping through the real module: which source frame each output frame shows. Every source
// frame is one flat colour that names it, and the rest of the look is off, so the output's red channel
// tells the frame.
#include "tests/e2e/e2eSupport.h"

using namespace E2E;

namespace {

constexpr int kFrames = 30;

// Frame f is red 8 f, green 255 - 8 f (8 bits; the same fractions at the other depths).
Painter numbered()
{
    return uniform([](Depth d, int frame) {
        const double M = channelMax(d);
        const double r = 8.0 * frame / 255.0, g = (255.0 - 8.0 * frame) / 255.0;
        if (d == Depth::Float) return Px{M, r, g, 0.5};
        return Px{M, double(int64_t(r * M)), double(int64_t(g * M)), double(int64_t(0.5 * M))};
    });
}

// The source frame shown at output frame `frame`.
int shown(Rig& rig, int frame, Depth d = Depth::Eight)
{
    const Image out = rig.render(frame, d);
    const Px p = getPixel(out, 2, 1);
    for (int f = 0; f < kFrames; ++f)
        if (samePixels(out, rig.source(f, d))) return f;
    ADD_FAILURE() << "output frame " << frame << " shows no source frame (red " << p[1] << ")";
    return -1;
}

}  // namespace

TEST(EndToEndTime, FrameRateFiveOnATwentyFiveFrameLayerHoldsEveryFifthFrame)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        Rig rig(layer(6, 4, kFrames, smart), numbered());
        rig.neutral().set("framesPerSec", 5);
        for (int f = 0; f < 12; ++f) EXPECT_EQ(shown(rig, f), f / 5 * 5) << "output frame " << f;
        // Frame Rate 0 drops nothing; the layer's own rate neither.
        rig.set("framesPerSec", 0);
        for (int f : {3, 7, 11}) EXPECT_EQ(shown(rig, f), f);
        rig.set("framesPerSec", 25);
        for (int f : {3, 7, 11}) EXPECT_EQ(shown(rig, f), f);
    }
}

TEST(EndToEndTime, PlaySpeedMovesThePlayPosition)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        Rig rig(layer(6, 4, kFrames, smart), numbered());
        rig.neutral();
        rig.set("playSpeed", 200);
        EXPECT_EQ(shown(rig, 10), 20);
        EXPECT_EQ(shown(rig, 3), 6);
        EXPECT_EQ(shown(rig, 20), kFrames - 1) << "held at the last frame";
        rig.set("playSpeed", 0);
        for (int f : {0, 1, 9, 29}) EXPECT_EQ(shown(rig, f), 0) << "frozen at the first frame";
        rig.set("playSpeed", 50);  // S = 3.5 at frame 7: halves go up
        EXPECT_EQ(shown(rig, 7), 4);
        // Backwards from the start asks for frames before the first: the host gives its first frame.
        rig.set("playSpeed", -100);
        EXPECT_EQ(shown(rig, 10), 0);
    }
}

TEST(EndToEndTime, AnAnimatedSpeedAccumulates)
{
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        Rig rig(layer(6, 4, kFrames, smart), numbered());
        rig.neutral();
        // 100 for frames 0..9, then 0: the position stops at 10, not at speed x time.
        rig.keys("playSpeed", {{0, 100}, {9, 100}, {10, 0}});
        EXPECT_EQ(shown(rig, 5), 5);
        EXPECT_EQ(shown(rig, 10), 10);
        EXPECT_EQ(shown(rig, 15), 10);
        EXPECT_EQ(shown(rig, 29), 10);
        // 200 for the first five frames, then 100: frame 8 shows 10 + 3.
        rig.keys("playSpeed", {{0, 200}, {4, 200}, {5, 100}});
        EXPECT_EQ(shown(rig, 8), 13);
        EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0);
    }
}

TEST(EndToEndTime, OtherFramesAtEveryDepth)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(6, 4, kFrames, c.smart), numbered());
        rig.neutral().set("playSpeed", 200);
        const Image out = rig.render(6, c.depth);
        const Px want = getPixel(rig.source(12, c.depth), 0, 0);
        const Px got = getPixel(out, 3, 2);
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(got[k], want[k], c.depth == Depth::Float ? 2e-5 : 0.0) << k;
        EXPECT_EQ(rig.host().stats().liveParamCheckouts, 0) << "the other frame is checked back in";
    }
}
