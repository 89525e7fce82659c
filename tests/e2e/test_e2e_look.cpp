// The look through the real module: each stage switched on alone over a known picture, on both
// render paths and at every depth, with the expected pixels worked out by hand.
#include "tests/e2e/e2eSupport.h"

#include <cmath>

using namespace E2E;

namespace {

// Tolerance of the float depth's table look-ups (interpolated between entries 1/65535 apart).
constexpr double kFloatTolerance = 2e-5;

void expectNear(const Px& got, const Px& want, Depth d, const std::string& where)
{
    const double tol = d == Depth::Float ? kFloatTolerance : 0.0;
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], want[c], tol) << where << " channel " << c;
}

}  // namespace

TEST(EndToEnd, WhiteDotAbove99IsABlankFrame)
{
    // A source that is neither black nor transparent anywhere.
    const Painter painter = uniform([](Depth d, int) {
        const double M = channelMax(d);
        return Px{M, M, std::floor(0.5 * M), std::floor(0.25 * M)};
    });
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(9, 7, 1, c.smart), painter);
        rig.set("whiteDot", 100).set("postAlphaYesNoNo", 2);  // RGBA: the effect's own alpha
        Image out = rig.render(0, c.depth);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 9; ++x) expectNear(getPixel(out, x, y), Px{0, 0, 0, 0}, c.depth, "RGBA");
        // RGB takes the layer's alpha back over the black picture.
        rig.set("postAlphaYesNoNo", 1);
        out = rig.render(0, c.depth);
        const double M = channelMax(c.depth);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 9; ++x) expectNear(getPixel(out, x, y), Px{M, 0, 0, 0}, c.depth, "RGB");
        // 99 still draws a picture: the dot in the middle of a frame large enough to hold it.
        Rig large(layer(200, 200, 1, c.smart), painter);
        large.set("whiteDot", 99);
        out = large.render(0, c.depth);
        EXPECT_GT(getPixel(out, 100, 99)[1], 0.0);
    }
}

TEST(EndToEnd, ScanlineWidthTwoDarkensEveryOtherRow)
{
    // Rows repeat with period 2: y even x 0.25, y odd x 0.625, alpha included in the effect's picture.
    const Painter painter = uniform([](Depth d, int) {
        if (d == Depth::Eight) return Px{200, 200, 100, 40};
        if (d == Depth::Sixteen) return Px{20000, 20000, 10000, 4000};
        return Px{0.8, 0.8, 0.4, 0.16};
    });
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(5, 6, 1, c.smart), painter);
        rig.neutral().set("scanlineWidth", 2);
        const Image& in = rig.source(0, c.depth);
        const Px s = getPixel(in, 0, 0);
        auto scaled = [&](double v, float f) {
            const float p = float(v) * f;
            return c.depth == Depth::Float ? double(p) : std::trunc(double(p));
        };
        // Process RGB: the colour rows darken, the layer keeps its own alpha.
        Image out = rig.render(0, c.depth);
        for (int y = 0; y < 6; ++y) {
            const float f = (y % 2 == 0) ? 0.25f : 0.625f;
            for (int x = 0; x < 5; ++x)
                expectNear(getPixel(out, x, y), Px{s[0], scaled(s[1], f), scaled(s[2], f), scaled(s[3], f)},
                           c.depth, "row " + std::to_string(y));
        }
        // Process RGBA: the scan lines are in the alpha of a premultiplied picture.
        rig.set("postAlphaYesNoNo", 2);
        out = rig.render(0, c.depth);
        for (int y = 0; y < 6; ++y) {
            const float f = (y % 2 == 0) ? 0.25f : 0.625f;
            EXPECT_NEAR(getPixel(out, 0, y)[0], scaled(s[0], f),
                        c.depth == Depth::Float ? kFloatTolerance : 0.0)
                << "row " << y;
        }
    }
}

TEST(EndToEnd, ScanlineWidthThreeAtHalfVerticalScaleDrawsNoLines)
{
    // 3 becomes 1.5, truncated to 1 (width 1 itself is the neutral look, passed through in tests/host).
    for (bool smart : {true, false}) {
        HostSettings s = layer(6, 6, 1, smart);
        s.downsampleY = 0.5;
        Rig half(s, uniform([](Depth, int) { return Px{255, 200, 100, 40}; }));
        half.neutral().set("scanlineWidth", 3);
        EXPECT_TRUE(samePixels(half.render(0, Depth::Eight), half.source(0, Depth::Eight)));
    }
}

TEST(EndToEnd, LensStrengthTenDoesNotWarpElevenDoes)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        // A lens ellipse inside the 40 x 30 frame (radius 12 around the centre (20, 15)).
        Rig rig(layer(40, 30, 1, c.smart), pattern());
        rig.neutral().set("lensEffect", 1).set("lensRadius", 12).set("lensStrength", 10);
        const Image& in = rig.source(0, c.depth);
        const Image flat = rig.render(0, c.depth);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x)
                expectNear(getPixel(flat, x, y), getPixel(in, x, y), c.depth, "strength 10");

        rig.set("lensStrength", 11);
        const Image warped = rig.render(0, c.depth);
        int moved = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                const double dx = (x + 0.5 - 20.0) / 12.0, dy = (y + 0.5 - 15.0) / 12.0;
                const bool inside = dx * dx + dy * dy < 1.0;
                const Px got = getPixel(warped, x, y), want = getPixel(in, x, y);
                if (!inside)
                    expectNear(got, want, c.depth, "outside the ellipse");
                else if (std::fabs(got[1] - want[1]) > 1e-3 * channelMax(c.depth))
                    ++moved;
            }
        EXPECT_GT(moved, 100) << "pixels inside the ellipse read from elsewhere";
        // Off switches it off whatever the strength.
        rig.set("lensEffect", 0).set("lensStrength", 200);
        EXPECT_TRUE(c.depth == Depth::Float || samePixels(rig.render(0, c.depth), in));
    }
}

TEST(EndToEnd, BlackAndWhiteWithoutToneCurveIsTheMeanOfTheColours)
{
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Px v;
        double mean;
        if (c.depth == Depth::Eight) {
            v = {255, 30, 60, 91};  // mean 60.33: 60
            mean = 60;
        } else if (c.depth == Depth::Sixteen) {
            v = {32768, 1000, 2000, 3001};  // mean 2000.33: 2000
            mean = 2000;
        } else {
            v = {1.0, 0.1, 0.2, 0.3};
            mean = (0.1f + 0.2f + 0.3f) / 3.0f;
        }
        Rig rig(layer(4, 3, 1, c.smart), uniform([v](Depth, int) { return v; }));
        rig.neutral().set("TVType", 2);
        const Image out = rig.render(0, c.depth);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                expectNear(getPixel(out, x, y), Px{v[0], mean, mean, mean}, c.depth, "pixel");
    }
}

TEST(EndToEnd, BlurBelowATenthLeavesThePictureSharp)
{
    Rig rig(layer(16, 12, 1, true), pattern());
    rig.neutral().set("blur", 0.1);
    EXPECT_TRUE(samePixels(rig.render(0, Depth::Eight), rig.source(0, Depth::Eight)));
    rig.set("blur", 2);
    EXPECT_FALSE(samePixels(rig.render(0, Depth::Eight), rig.source(0, Depth::Eight)));
}

TEST(EndToEnd, QuantiseSeesTheLensAndBlurResult)
{
    // A flat picture keeps its colour.
    Rig flat(layer(8, 8, 1, true), uniform([](Depth, int) { return Px{255, 120, 60, 30}; }));
    flat.neutral().set("quantise", 1).set("quantiseLevels", 3);
    EXPECT_TRUE(samePixels(flat.render(0, Depth::Eight), flat.source(0, Depth::Eight)));

    // At one level every pixel takes the mean colour of the picture the quantiser sees: the lens-warped
    // and blurred one (whose mean the warp moves away from the source's), not the source.
    for (const Case& c : everyCase()) {
        SCOPED_TRACE(caseName(c));
        Rig rig(layer(40, 30, 1, c.smart), pattern());
        rig.neutral().set("lensEffect", 1).set("lensRadius", 18).set("lensStrength", 150).set("blur", 3);
        auto meanRed = [](const Image& img) {
            double sum = 0;
            for (int y = 0; y < img.height; ++y)
                for (int x = 0; x < img.width; ++x) sum += getPixel(img, x, y)[1];
            return sum / (img.width * img.height);
        };
        const double warped = meanRed(rig.render(0, c.depth));
        const double lsb = c.depth == Depth::Float ? 1e-5 : 1.0;
        ASSERT_GT(std::fabs(warped - meanRed(rig.source(0, c.depth))), 3 * lsb);
        rig.set("quantise", 1).set("quantiseLevels", 1);
        const Image out = rig.render(0, c.depth);
        EXPECT_NEAR(getPixel(out, 0, 0)[1], c.depth == Depth::Float ? warped : std::trunc(warped), lsb);
        EXPECT_EQ(getPixel(out, 39, 29), getPixel(out, 0, 0));
    }
}
