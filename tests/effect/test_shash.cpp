// Shash layer: per-frame seeding, the pattern choice, pattern arithmetic, the mix, and independence from
// the thread split.
#include "effect/klShash.h"
#include "image/klHash.h"
#include "stagesTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

using namespace Kiln;

using KilnStagesTest::ProcessorCount;

// The layer of a w x h frame; with `part`, only that part is drawn (anchored to the frame), the rest
// keeps the fill value 7.
template <class Px>
std::vector<Px> drawLayer(int type, uint32_t seed, int32_t frame, float scale, int w, int h, int threads,
                          bool colour = false, const KlRect* part = nullptr)
{
    std::vector<Px> pixels(size_t(w * h), Px::filled(typename Px::Channel(7)));
    KlTexture<Px> layer(pixels.data(), w, h, int32_t(w * sizeof(Px)));
    ProcessorCount count(threads < 1 ? 1 : threads);
    KlShashProc<Px> proc;
    proc.setDestination(&layer);
    if (part != nullptr) {
        proc.setRect(*part);
        proc.setAnchor({0, 0, w, h});
    }
    proc.setMultiThreaded(threads > 1);
    proc.setSeed(seed);
    proc.setFrame(frame);
    proc.setScale(scale);
    proc.setType(type);
    proc.setColour(colour);
    proc.execute();
    return pixels;
}

TEST(ShashSeeding, FrameBaseTypeAndNoiseSeed)
{
    EXPECT_EQ(Shash::frameBase(30, 2), 230u);
    // 4294967295 + 100 = 4294967395, kept to 32 bits: 99.
    EXPECT_EQ(Shash::frameBase(0xffffffffu, 1), 99u);
    // 30 - 100 = -70 wraps to 2^32 - 70.
    EXPECT_EQ(Shash::frameBase(30, -1), 4294967226u);
    EXPECT_EQ(Shash::frameBase(0, 2147483647), uint32_t(214748364700ull % 4294967296ull));

    for (int t = 0; t < 5; ++t) {
        EXPECT_EQ(Shash::resolveType(t, 15, 123, 30), t);
    }
    // Random with period 0 is always pattern 0.
    for (int f : {0, 1, 99, -5}) {
        EXPECT_EQ(Shash::resolveType(Shash::kRandom, 0, f, 30), 0);
    }
    // Seed 30, period 15: frames 0..14 draw from state 30 (7786 / 32767 * 5 = 1.19 -> 1), frames 15..29
    // from state 31 (268 -> 0.04 -> 0), frame 30 from state 32 (25775 -> 3.93 -> 3).
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 15, 0, 30), 1);
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 15, 14, 30), 1);
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 15, 15, 30), 0);
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 15, 29, 30), 0);
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 15, 30, 30), 3);
    // A draw of exactly 32767 gives 5: no pattern that frame.
    uint32_t top = 0;
    for (uint32_t s = 0;; ++s) {
        RandomGenerator g(s);
        if (g.draw() == 32767) {
            top = s;
            break;
        }
    }
    EXPECT_EQ(Shash::resolveType(Shash::kRandom, 1, 0, int32_t(top)), Shash::kNone);
    EXPECT_EQ(Shash::resolveType(6, 15, 0, 30), Shash::kNone);
    EXPECT_EQ(Shash::resolveType(-1, 15, 0, 30), Shash::kNone);

    EXPECT_EQ(Shash::noiseSeed(0), 1u);
    EXPECT_EQ(Shash::noiseSeed(2), 25083u);
    EXPECT_EQ(Shash::noiseSeed(-2), 25083u);
}

TEST(ShashPatternMaths, LevelsSpansAndBands)
{
    EXPECT_EQ(Shash::streakLevel(0.45f), 1.0f);
    EXPECT_EQ(Shash::streakLevel(0.418f), 0.0f);
    EXPECT_EQ(Shash::streakLevel(0.1f), 0.0f);
    EXPECT_NEAR(Shash::streakLevel(0.429f), 0.5f, 1e-4);
    // The top of the ramp stays just under 1, so an 8-bit grey there is 254, never white.
    EXPECT_LT(Shash::streakLevel(0.44f), 1.0f);
    EXPECT_EQ(int(Shash::streakLevel(0.44f) * 255.0f), 254);

    // Run of length 3.5 from counter 0 keeps columns with counter 0..3.
    EXPECT_EQ(Shash::runSpan(3.5f, 0), 4);
    EXPECT_EQ(Shash::runSpan(3.5f, 2), 2);
    EXPECT_EQ(Shash::runSpan(0.0f, 0), 1);
    EXPECT_EQ(Shash::runSpan(-2.0f, 0), 1);
    EXPECT_EQ(Shash::runSpan(-INFINITY, 3), 1);
    EXPECT_EQ(Shash::runSpan(-1e30f, 0), 1);
    EXPECT_GT(Shash::runSpan(NAN, 0), int64_t(1) << 31);
    EXPECT_GT(Shash::runSpan(INFINITY, 0), int64_t(1) << 31);

    // Band wave of hash h: length (((h + 1) / 2) * 400 + 100) * scale * pixelScale.
    const float h = hashSigned(11u);
    const Shash::BandWave w = Shash::bandWave(11u, 2.0f, 0.5f);
    EXPECT_NEAR(w.length, ((h + 1.0f) * 0.5f) * 400.0f + 100.0f, 1e-3);
    EXPECT_NEAR(w.phase, 6.2831855f * ((hashSigned(12u) + 1.0f) * 0.5f), 1e-5);
    // x = 0 with both phases 0: sin 0 + sin 0 = 0, so the brightness is the frame offset.
    EXPECT_FLOAT_EQ(Shash::bandBrightness(0, 100.0f, 0.0f, 200.0f, 0.0f, 0.2f), 0.2f);
    // x = 25 on wavelength 100 is a quarter wave: (1 + sin(pi/4)) * 0.2 = 0.3414.
    EXPECT_NEAR(Shash::bandBrightness(25, 100.0f, 0.0f, 200.0f, 0.0f, 0.0f), 0.34142f, 1e-4);
    EXPECT_EQ(Shash::bandBrightness(25, 100.0f, 0.0f, 100.0f, 0.0f, 0.9f), 1.0f);
    EXPECT_EQ(Shash::bandBrightness(5, 0.0f, 0.0f, 0.0f, 0.0f, 0.1f), 0.0f);

    // Speckles: pattern 3 is 0.9 u; pattern 4 is 1.32 * 0.1 * scale * pixelScale * |10 (2u - 1)|, limited to 1.
    struct Speckle {
        int pattern;
        float u, scale, pixelScale, level;
    };
    for (const Speckle& c :
         {Speckle{3, 0.5f, 1, 1, 0.45f}, Speckle{3, 0.0f, 1, 1, 0.0f}, Speckle{4, 0.5f, 1, 1, 0.0f},
          Speckle{4, 0.6f, 1, 1, 0.264f}, Speckle{4, 0.2f, 1, 1, 0.792f}, Speckle{4, 0.9f, 1, 1, 1.0f},
          Speckle{4, 0.9f, 1, 0.5f, 0.528f}, Speckle{4, 0.9f, NAN, 1, 0.0f}, Speckle{2, 0.9f, 1, 1, 0.0f}})
        EXPECT_NEAR(Shash::speckleLevel(c.pattern, c.u, c.scale, c.pixelScale), c.level, 1e-5)
            << c.pattern << " " << c.u << " " << c.pixelScale;
}

TEST(ShashPatterns, ValuesWorkedByHand)
{
    // Seed 30, frame 10 (base 1030, noise seed 125411), 8 bits. Pattern 1 at scale 0.05: the frame offset
    // is the base's first unit draw * 0.3 = 0.26153; row y's phase is the unit draw after y + 1 draws * 100.
    //   (20, 0): phase 90.652, a = |3-octave noise at 20 / 2.5 + 90.652| = 0.50364, grey (a - 0.305) / 0.305
    //            * 255 = 166 on all four channels (even row: no lift).
    //   (0, 1):  a = 0.08073, clear; odd row lifted by the two band waves (L1 = L2 = 10.341, phases 1.7488)
    //            plus the offset: 0.65521 * 255 = 167 in red, green and blue, alpha 0.
    //   (6, 1):  a = 0.40553, grey 84; the waves cancel the offset (lift 0).
    // Pattern 2 at scale 0.05 (run size 0.5 px): row 0 draws its offset 87.176, then runs of grey 231.16
    // (length 2.86: columns 0..2), 114.54 (3..7), 167.03 (8..12), 252.65 (13..14), ...; a pixel shows its
    // run's grey where the 2-octave noise at x / 0.5 + offset is above 0.15, a ramp over (0.12, 0.15].
    //   (6, 0): a = 0.177, grey 114.   (14, 0): a = 0.154, grey 252.
    //   (4, 3): run of grey 70.421, a = 0.14896: 70.421 * (a - 0.12) / 0.03 = 67.
    //   (20, 3): a run turned white (its draw above 0.7), a = 0.207: 255.
    // Patterns 3 and 4 at scale 1: u = hashMasked(y * 17387 + x * 7907 + 125411) / 2^31.
    //   (3, 1): n = 166519, u = 0.88802: pattern 3 0.9 u * 255 = 203; pattern 4 1.32 * |10 (2u - 1)| * 0.1 > 1: 255.
    //   (7, 2): n = 215534, u = 0.35517: pattern 3 81; pattern 4 1.32 * 0.28967 * 255 = 97.
    //   (10, 4): n = 274029, u = 0.090566: pattern 3 20; pattern 4 255.
    struct Worked {
        int pattern;
        float scale;
        int x, y;
        PixARGB8 expected;
    };
    const Worked cases[] = {{1, 0.05f, 20, 0, {166, 166, 166, 166}},  {1, 0.05f, 0, 1, {0, 167, 167, 167}},
                            {1, 0.05f, 6, 1, {84, 84, 84, 84}},       {2, 0.05f, 6, 0, PixARGB8::filled(114)},
                            {2, 0.05f, 14, 0, PixARGB8::filled(252)}, {2, 0.05f, 4, 3, PixARGB8::filled(67)},
                            {2, 0.05f, 20, 3, PixARGB8::filled(255)}, {3, 1.0f, 3, 1, PixARGB8::filled(203)},
                            {3, 1.0f, 7, 2, PixARGB8::filled(81)},    {3, 1.0f, 10, 4, PixARGB8::filled(20)},
                            {4, 1.0f, 3, 1, PixARGB8::filled(255)},   {4, 1.0f, 7, 2, PixARGB8::filled(97)},
                            {4, 1.0f, 10, 4, PixARGB8::filled(255)}};
    const int w = 80, h = 12;
    for (const Worked& c : cases) {
        const auto layer = drawLayer<PixARGB8>(c.pattern, 30, 10, c.scale, w, h, 2);
        EXPECT_EQ(layer[size_t(c.y * w + c.x)], c.expected)
            << "pattern " << c.pattern << " at " << c.x << "," << c.y;
    }
}

TEST(ShashPattern0, RowsFollowOneSweepOfTheGenerator)
{
    const int w = 97, h = 23;
    const uint32_t seed = 30;
    const int32_t frame = 4;
    const auto layer = drawLayer<PixARGB8>(0, seed, frame, 0.01f, w, h, 1);
    // Row y's sine seed is the state after y + 1 draws from the frame base 430.
    RandomGenerator g(430);
    SineNoise sine;
    const float period = 0.01f * 2000.0f;
    int white = 0, clear = 0;
    for (int y = 0; y < h; ++y) {
        g.draw();
        for (int x = 0; x < w; ++x) {
            const float a = std::fabs(sine.value(float(x) / period, 4, g.state()));
            const float level =
                a > 0.44f ? 255.0f : (a > 0.418f ? (a - 0.418f) / 0.022000015f * 255.0f : 0.0f);
            const PixARGB8& p = layer[size_t(y * w + x)];
            ASSERT_EQ(int(p.r), int(level)) << x << "," << y;
            ASSERT_TRUE(p.a == p.r && p.g == p.r && p.b == p.r);
            white += p.r == 255;
            clear += p.r == 0;
        }
    }
    EXPECT_GT(white, 0);
    EXPECT_GT(clear, 0);

    // A scale of 0 gives an infinite period: every pixel of a row reads the same noise value.
    const auto flat = drawLayer<PixARGB8>(0, seed, frame, 0.0f, w, h, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 1; x < w; ++x) ASSERT_EQ(flat[size_t(y * w + x)], flat[size_t(y * w)]);
}

template <class Px>
void checkPatternsAtDepth()
{
    constexpr float M = Px::M;
    const int w = 131, h = 37;
    for (int type = 0; type < 5; ++type) {
        SCOPED_TRACE(type);
        const auto a = drawLayer<Px>(type, 30, 10, 0.05f, w, h, 1);
        const auto b = drawLayer<Px>(type, 30, 10, 0.05f, w, h, 1);
        const auto next = drawLayer<Px>(type, 30, 11, 0.05f, w, h, 1);
        EXPECT_EQ(a, b);
        EXPECT_NE(a, next);
        for (int threads : {2, 3, 7, 64}) {
            EXPECT_EQ(drawLayer<Px>(type, 30, 10, 0.05f, w, h, threads), a) << threads << " threads";
        }
        // A part of the frame has the whole layer's pixels there (and leaves the rest alone).
        const KlRect part{17, 5, 90, 30};
        const auto drawn = drawLayer<Px>(type, 30, 10, 0.05f, w, h, 3, false, &part);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const bool inside = x >= part.x0 && x < part.x1 && y >= part.y0 && y < part.y1;
                ASSERT_EQ(drawn[size_t(y * w + x)],
                          inside ? a[size_t(y * w + x)] : Px::filled(typename Px::Channel(7)))
                    << x << "," << y;
            }
        }
        for (const Px& p : a) {
            for (int c = 0; c < 4; ++c) {
                ASSERT_GE(float(p[c]), 0.0f);
                ASSERT_LE(float(p[c]), M);
            }
        }
    }
    // Pattern 1: even rows are plain greys; odd rows lift the colour channels above the alpha grey.
    const auto bands = drawLayer<Px>(1, 30, 10, 0.05f, w, h, 2);
    int lifted = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Px& p = bands[size_t(y * w + x)];
            ASSERT_TRUE(p.g == p.r && p.b == p.r);
            if (y % 2 == 0 || p.a == typename Px::Channel(M)) {
                ASSERT_EQ(p.r, p.a);
            } else {
                ASSERT_GE(p.r, p.a);
                lifted += p.r > p.a;
            }
        }
    }
    EXPECT_GT(lifted, 0);
    // Pattern 2 with colour runs: channels may differ; alpha is the largest of them.
    const auto runs = drawLayer<Px>(2, 30, 10, 0.05f, w, h, 3, true);
    EXPECT_EQ(runs, drawLayer<Px>(2, 30, 10, 0.05f, w, h, 1, true));
    for (const Px& p : runs) {
        ASSERT_GE(p.a, p.r);
        ASSERT_GE(p.a, p.g);
        ASSERT_GE(p.a, p.b);
    }
    // Patterns 3 and 4 are grey speckles: pattern 3 never white, pattern 4 a quarter white and hardly
    // any clear, both about as bright as mid-grey or brighter, so the mix does not darken the picture.
    for (int type : {3, 4}) {
        double sum = 0;
        int white = 0, clear = 0;
        const auto layer = drawLayer<Px>(type, 30, 10, 1.0f, 200, 150, 2);
        for (const Px& p : layer) {
            ASSERT_TRUE(p.a == p.r && p.g == p.r && p.b == p.r);
            sum += double(p.r) / M;
            white += p.r == typename Px::Channel(M);
            clear += p.r == typename Px::Channel(0);
        }
        const double n = double(layer.size());
        EXPECT_NEAR(sum / n, type == 3 ? 0.45 : 0.62, 0.01) << type;
        EXPECT_NEAR(white / n, type == 3 ? 0.0 : 0.24, 0.01) << type;
        EXPECT_LT(clear / n, 0.01) << type;
    }
}

TEST(ShashPatterns, DeterministicAndIndependentOfThreadsAndPart)
{
    checkPatternsAtDepth<PixARGB8>();
    checkPatternsAtDepth<PixARGB16>();
    checkPatternsAtDepth<PixARGBF>();
}

TEST(ShashPatterns, NoPatternDrawsNothing)
{
    const auto untouched = drawLayer<PixARGB8>(Shash::kNone, 30, 10, 1.0f, 9, 5, 2);
    for (const PixARGB8& p : untouched) {
        ASSERT_EQ(p, PixARGB8::filled(7));
    }
}

template <class Px>
void checkMix()
{
    using Ch = typename Px::Channel;
    constexpr float M = Px::M;
    const int w = 5, h = 4;
    std::vector<Px> layer(size_t(w * h)), picture(size_t(w * h));
    for (int i = 0; i < w * h; ++i) {
        layer[size_t(i)] = Px::filled(Ch(0));
        layer[size_t(i)].r = Ch(M);
        picture[size_t(i)] = Px::filled(Ch(M));
        picture[size_t(i)].g = Ch(0);
    }
    KlTexture<Px> lt(layer.data(), w, h, int32_t(w * sizeof(Px)));
    KlTexture<Px> pt(picture.data(), w, h, int32_t(w * sizeof(Px)));
    const auto before = picture;
    mixShashLayer(lt, pt, {0, 0, w, h}, 0.0f, nullptr);
    EXPECT_EQ(picture, before);

    // Weight 0.25: alpha and blue M * 0.75 (8 bits: 191.25 -> 191), red stays M, green 0.
    mixShashLayer(lt, pt, {0, 0, w, h}, 0.25f, nullptr);
    for (const Px& p : picture) {
        EXPECT_EQ(p.a, Pixel::storeChannel<Ch>(M * 0.75f));
        EXPECT_EQ(p.b, Pixel::storeChannel<Ch>(M * 0.75f));
        EXPECT_EQ(p.r, Ch(M));
        EXPECT_EQ(p.g, Ch(0));
    }
    // Weight 1 (and anything above) is the layer itself, only inside the rectangle.
    mixShashLayer(lt, pt, {1, 1, 3, 2}, 5.0f, nullptr);
    EXPECT_EQ(picture[size_t(1 * w + 1)], layer[0]);
    EXPECT_EQ(picture[size_t(1 * w + 2)], layer[0]);
    EXPECT_NE(picture[size_t(1 * w + 3)], layer[0]);
    EXPECT_NE(picture[0], layer[0]);
}

TEST(ShashMix, WeightsAtEachDepth)
{
    checkMix<PixARGB8>();
    checkMix<PixARGB16>();
    checkMix<PixARGBF>();
}

}  // namespace
