// The shared finish through the real module: gains and the blend amount, and a crop window reaching the
// effect's own stages. The "Process" choice is checked with the scan lines (test_e2e_look.cpp); the
// methods' formulas and the crop rules at their limits are the wrapper tests' (tests/wrapper).
#include "tests/e2e/e2eSupport.h"

#include <cmath>
#include <tuple>
#include <utility>

using namespace E2E;

namespace {

constexpr double kTol = 2e-5;

double tolerance(Depth d) { return d == Depth::Float ? kTol : 0.0; }
double stored(Depth d, double v) { return d == Depth::Float ? v : std::trunc(v); }

void expectEverywhere(const Image& out, const Px& want, const std::string& what)
{
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const Px got = getPixel(out, x, y);
            for (int c = 0; c < 4; ++c)
                ASSERT_NEAR(got[c], want[c], tolerance(out.depth))
                    << what << " at " << x << "," << y << " channel " << c;
        }
}

// Opaque, colour 0.78 / 0.39 / 0.16 of the range (8 bits: 200, 100, 40).
Px warm(Depth d)
{
    if (d == Depth::Eight) return {255, 200, 100, 40};
    if (d == Depth::Sixteen) return {32768, 25700, 12850, 5140};
    return {1.0, 0.78, 0.39, 0.16};
}

}  // namespace

TEST(EndToEndPost, MixBlendsTheGainedSourceWithTheEffect)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        const Px s = warm(c.depth);
        Rig rig(layer(4, 3, 1, c.smart), uniform([s](Depth, int) { return s; }));
        // The effect: B and W without a tone curve, the mean of the three colours.
        rig.neutral().set("TVType", 2).set("blendMethod", 2).set("blendSrc", 50);
        const double e =
            stored(c.depth, c.depth == Depth::Float ? (float(s[1]) + float(s[2]) + float(s[3])) / 3.0f
                                                    : (s[1] + s[2] + s[3]) / 3.0);
        const Px gained{s[0], s[1] * 0.5, s[2] * 0.5, s[3] * 0.5};

        // The amount applies in the Mix formula and again in the final step: the effect's share is
        // 2t(1 - t) below one half and 1 - 2t(1 - t) above (Blend 25 and 75: 0.375 and 0.625).
        for (const auto& [blend, share] :
             {std::pair{0, 0.0}, {25, 0.375}, {50, 0.5}, {75, 0.625}, {100, 1.0}}) {
            SCOPED_TRACE("blend " + std::to_string(blend));
            rig.set("blendMix", blend);
            const Image out = rig.render(0, c.depth);
            // Blend 25 and 75 round on the way; the others are exact.
            const double slack = c.depth == Depth::Float ? kTol : (blend % 50 ? 1.0 : 0.0);
            for (int ch = 1; ch < 4; ++ch) {
                const double want = stored(c.depth, gained[ch] + (e - gained[ch]) * share);
                EXPECT_NEAR(getPixel(out, 1, 1)[ch], want, slack) << "channel " << ch;
            }
            EXPECT_EQ(getPixel(out, 1, 1)[0], s[0]);
            expectEverywhere(out, getPixel(out, 0, 0), "one value everywhere");
        }
    }
}

TEST(EndToEndPost, ACropWindowReachesTheEffectsOwnStages)
{
    // Left 50 with X Method Colour (opaque black): the blur (3: six pixels of reach) and the lens see
    // black left of column 50, so columns left of 44 outside the lens stay exactly black.
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(100, 40, 3, c.smart), pattern());
        rig.neutral().set("blur", 3).set("lensEffect", 1).set("lensRadius", 10);
        rig.set("SourceLeft", 50).set("SourceXMethod", 1);
        const Image out = rig.render(0, c.depth);
        const double M = channelMax(c.depth);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 44; ++x) ASSERT_EQ(getPixel(out, x, y), (Px{M, 0, 0, 0})) << x << "," << y;
        int lit = 0;
        for (int y = 0; y < 40; ++y)
            for (int x = 57; x < 100; ++x) lit += getPixel(out, x, y)[1] > 0 ? 1 : 0;
        EXPECT_GT(lit, 40 * 40);
        // Another frame checked out (Frame Rate 5 holds frame 0 at frame 2) takes the same crop.
        rig.set("framesPerSec", 5);
        EXPECT_TRUE(samePixels(rig.render(2, c.depth), out));
    }
}

TEST(EndToEndPost, ProcessRgbGivesEveryPixelTheCroppedLayersAlpha)
{
    // Alpha varying over the picture; left of column 10 the crop's edge colour (opaque black) stands in.
    const Painter painter = [](Image& img, int frame) {
        const double M = channelMax(img.depth);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                const double a = double((x * 23 + y * 7 + frame) % 256) / 255.0 * M;
                const double v = img.depth == Depth::Float ? a : std::trunc(a);
                setPixel(img, x, y, {v, std::trunc(v / 2), std::trunc(v / 3), std::trunc(v / 4)});
            }
    };
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        const double M = channelMax(c.depth);
        // The default look (its scan lines), with snow mixed over it, with a white dot, and frames of a
        // held source frame shown again.
        for (const auto& [what, name, value] : {std::tuple{"default look", "", 0.0},
                                                {"snow", "shashMax", 40.0},
                                                {"white dot", "whiteDot", 20.0},
                                                {"held", "framesPerSec", 5.0}}) {
            SCOPED_TRACE(what);
            Rig rig(layer(40, 30, 3, c.smart), painter);
            rig.set("SourceLeft", 25).set("SourceXMethod", 1);  // 25% of 40: from column 10
            if (*name) rig.set(name, value);
            for (int frame : {0, 1, 2}) {
                const Image out = rig.render(frame, c.depth);
                const Image& in = rig.source(frame, c.depth);
                for (int y = 0; y < 30; ++y)
                    for (int x = 0; x < 40; ++x)
                        ASSERT_EQ(getPixel(out, x, y)[0], x < 10 ? M : getPixel(in, x, y)[0])
                            << "frame " << frame << " at " << x << "," << y;
            }
        }
    }
}
