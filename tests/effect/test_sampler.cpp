// The monitor sampler: tone curve, tables per depth, EM row gain, white-dot geometry, and whole renders at
// each depth and thread count.
#include "effect/klScanLines.h"
#include "effect/klWornScreenSampler.h"
#include "exceptions/klException.h"
#include "image/klBlur.h"

#include "stagesTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

using namespace Kiln;
using WornScreen::toneCurve;

using KilnStagesTest::ProcessorCount;

WornScreenSettings plain(int tvType)
{
    WornScreenSettings s;
    s.tvType = tvType;
    s.brightness = 0.0f;
    s.contrast = 0.0f;
    s.emAmount = 0.0f;
    s.whiteDot = 0.0f;
    s.shashMax = 0.0f;
    return s;
}

// A picture with every channel varying over the whole range, alpha included.
template <class Px>
std::vector<Px> testPicture(int w, int h)
{
    std::vector<Px> p(size_t(w * h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto level = [](int k) {
                return Px::isInteger ? float(int64_t(k) * Px::maxInt / 255) : float(k) / 255.0f;
            };
            Px& q = p[size_t(y * w + x)];
            q.a = typename Px::Channel(level((x * 5 + 255) % 256));
            q.r = typename Px::Channel(level((x * 7 + y * 3) % 256));
            q.g = typename Px::Channel(level((x * 11 + y * 13) % 256));
            q.b = typename Px::Channel(level((x + y * 17) % 256));
        }
    }
    return p;
}

// The sampler over a w x h picture; with `part`, only that part of the frame is rendered (an output
// image of the part's size placed there) and returned.
template <class Px>
std::vector<Px> render(const std::vector<Px>& source, int w, int h, WornScreenSettings s, int threads = 1,
                       const KlRect* part = nullptr, int32_t scanLines = 0, bool* linesDrawn = nullptr,
                       const std::vector<Px>* alphaFrom = nullptr)
{
    std::vector<Px> in = source;
    const KlRect r = part ? *part : KlRect{0, 0, w, h};
    if (part) {
        s.frameWidth = float(w);
        s.frameHeight = float(h);
    }
    std::vector<Px> out(size_t(r.width() * r.height()), Px::filled(typename Px::Channel(3)));
    KlTexture<Px> tin(in.data(), w, h, int32_t(w * sizeof(Px)));
    KlTexture<Px> tout(out.data(), r.width(), r.height(), int32_t(r.width() * sizeof(Px)), r.x0, r.y0);
    ProcessorCount count(threads);
    WornScreenSampler<Px> sampler;
    sampler.setSource(&tin);
    sampler.setDestination(&tout);
    sampler.setSettings(s);
    sampler.setMultiThreaded(threads > 1);
    sampler.setScanLines(scanLines);
    std::vector<Px> alphas = alphaFrom ? *alphaFrom : std::vector<Px>();
    KlTexture<Px> talpha(alphas.data(), w, h, int32_t(w * sizeof(Px)));
    if (alphaFrom) sampler.setAlphaFrom(&talpha);
    sampler.execute();
    if (linesDrawn) *linesDrawn = sampler.scanLinesDrawn();
    return out;
}

TEST(ToneCurve, Checkpoints)
{
    // B = C = 0 is the identity, exactly, on every 8-bit and 16-bit input.
    for (int i = 0; i <= 255; ++i) {
        ASSERT_EQ(toneCurve(float(i) / 255.0f, 0.0f, 0.0f), float(i) / 255.0f);
    }
    for (int i = 0; i <= 32768; i += 7) {
        ASSERT_EQ(toneCurve(float(i) / 32768.0f, 0.0f, 0.0f), float(i) / 32768.0f);
    }
    // Brightness 0.25: y = x + (1 - x) / 4, so black -> 0.25, mid -> 0.625, white stays 1.
    EXPECT_FLOAT_EQ(toneCurve(0.0f, 0.25f, 0.0f), 0.25f);
    EXPECT_FLOAT_EQ(toneCurve(0.5f, 0.25f, 0.0f), 0.625f);
    EXPECT_FLOAT_EQ(toneCurve(1.0f, 0.25f, 0.0f), 1.0f);
    // Negative brightness scales: (1 - 0.5) x.
    EXPECT_FLOAT_EQ(toneCurve(1.0f, -0.5f, 0.0f), 0.5f);
    EXPECT_FLOAT_EQ(toneCurve(0.5f, -0.5f, 0.0f), 0.25f);
    // C = 0.25: exponent 0.5 / 0.25 = 2; x = 0.25 -> 0.5 * 0.5^2 = 0.125, mirrored above the middle.
    EXPECT_FLOAT_EQ(toneCurve(0.25f, 0.0f, 0.25f), 0.125f);
    EXPECT_FLOAT_EQ(toneCurve(0.75f, 0.0f, 0.25f), 0.875f);
    EXPECT_FLOAT_EQ(toneCurve(0.5f, 0.0f, 0.25f), 0.5f);
    // C >= 0.5: a hard threshold at 0.5; exactly 0.5 stays 0.5 (2m = 1).
    EXPECT_EQ(toneCurve(0.49f, 0.0f, 0.5f), 0.0f);
    EXPECT_EQ(toneCurve(0.51f, 0.0f, 0.5f), 1.0f);
    EXPECT_EQ(toneCurve(0.5f, 0.0f, 0.7f), 0.5f);
    // With brightness first: 0.3 + 0.7 / 4 = 0.475 stays below the threshold, 0.4 + 0.6 / 4 = 0.55 passes.
    EXPECT_EQ(toneCurve(0.3f, 0.25f, 1.0f), 0.0f);
    EXPECT_EQ(toneCurve(0.4f, 0.25f, 1.0f), 1.0f);
    // C = -0.25: exponent 1 + 2 (-0.25) = 0.5; x = 0.125 -> 0.5 sqrt(0.25) = 0.25.
    EXPECT_FLOAT_EQ(toneCurve(0.125f, 0.0f, -0.25f), 0.25f);
    EXPECT_FLOAT_EQ(toneCurve(0.875f, 0.0f, -0.25f), 0.75f);
    // Black with C < 0 uses m' = 1/65535: 0.5 sqrt(2 / 65535).
    EXPECT_NEAR(toneCurve(0.0f, 0.0f, -0.25f), 0.5 * std::sqrt(2.0 / 65535.0), 1e-7);
    // Undefined inputs give 0.
    EXPECT_EQ(toneCurve(NAN, 0.0f, 0.0f), 0.0f);
    EXPECT_EQ(toneCurve(0.3f, NAN, 0.2f), 0.0f);
}

TEST(ToneCurve, PowerMatchesLongDouble)
{
    // Every base the float tables use, for the exponents of common contrasts and the threshold.
    for (float e : {0.5f / 0.35f, 0.5f, 0.7f, 0.5f / 0.01f, 1.0f, std::numeric_limits<float>::max()}) {
        for (int i = 0; i <= 65535; ++i) {
            const float base = float(i) / 65535.0f * 1.0000001f;
            const float want = float(std::pow(static_cast<long double>(base), static_cast<long double>(e)));
            ASSERT_EQ(WornScreen::extendedPower(base, e), want) << base << "^" << e;
        }
    }
    EXPECT_TRUE(std::isnan(WornScreen::extendedPower(-0.5f, 0.7f)));
}

TEST(ToneCurve, TintGradient)
{
    // Dark 0, middle 100, light 255.
    EXPECT_EQ(WornScreen::tintChannel(0.5f, 0.0f, 100.0f, 255.0f, true), 100.0f);
    EXPECT_EQ(WornScreen::tintChannel(0.0f, 0.0f, 100.0f, 255.0f, true), 0.0f);
    EXPECT_EQ(WornScreen::tintChannel(1.0f, 0.0f, 100.0f, 255.0f, true), 255.0f);
    EXPECT_EQ(WornScreen::tintChannel(0.25f, 0.0f, 101.0f, 255.0f, true), 50.0f);  // 50.5 truncated
    EXPECT_FLOAT_EQ(WornScreen::tintChannel(0.25f, 0.0f, 101.0f, 255.0f, false), 50.5f);
    EXPECT_EQ(WornScreen::tintChannel(0.75f, 0.0f, 100.0f, 255.0f, true), 177.0f);  // 100 + trunc(77.5)
}

TEST(EMInterference, RowGain)
{
    const SmoothNoise& noise = SmoothNoise::standard();
    // Seed 30's first draw is 7786: phase 7786 / 32767 * 100.
    EXPECT_NEAR(WornScreen::emPhase(30), 23.761712, 1e-4);
    const float phase = WornScreen::emPhase(30);
    for (int y : {0, 1, 17, 540, 1079}) {
        EXPECT_EQ(WornScreen::emRowGain(y, 1080.0f, 0.0f, phase, noise), 1.0f);
        EXPECT_EQ(WornScreen::emRowGain(y, 1080.0f, -0.3f, phase, noise), 1.0f);
        // A frame height of 0 leaves no finite position: gain 1, never a fault.
        EXPECT_EQ(WornScreen::emRowGain(y, 0.0f, 0.15f, phase, noise), 1.0f);
    }
    // Row 40 of 1080: u = 40 / 43.2 + phase; gain = 1 + 0.15 (T0(u) + 0.5 T1(2u + 0.5)).
    const float u = 40.0f / (1080.0f / 25.0f) + phase;
    const float n = noise.octave(0, u) + 0.5f * noise.octave(1, 2.0f * u + 0.5f);
    EXPECT_FLOAT_EQ(WornScreen::emRowGain(40, 1080.0f, 0.15f, phase, noise), 1.0f + 0.15f * n);
    // The gain wanders: over a frame some rows are brighter and some darker.
    float lo = 2.0f, hi = 0.0f;
    for (int y = 0; y < 1080; ++y) {
        const float g = WornScreen::emRowGain(y, 1080.0f, 0.15f, phase, noise);
        lo = std::min(lo, g);
        hi = std::max(hi, g);
    }
    EXPECT_LT(lo, 1.0f);
    EXPECT_GT(hi, 1.0f);
}

TEST(WhiteDot, Geometry)
{
    EXPECT_EQ(WornScreen::truncToInt(-2.7), -2);
    EXPECT_EQ(WornScreen::truncToInt(NAN), 0);
    EXPECT_EQ(WornScreen::truncToInt(1e20), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(WornScreen::truncToInt(-INFINITY), std::numeric_limits<int32_t>::min());

    EXPECT_TRUE(WornScreen::isBlankFrame(1.0f));
    EXPECT_FALSE(WornScreen::isBlankFrame(0.99f));

    // wd 0.5 on 100 x 80: v = exp(-7.5) + 0.005 = 0.0055531, rows trunc(40 * 0.9944469) = 39 ..
    // trunc(80 - 39.7779) = 40; h = exp(-2.5) + 0.005 = 0.087085, columns trunc(50 * 0.912915) = 45 ..
    // trunc(54.354) = 54.
    const WornScreen::Collapse c = WornScreen::collapse(0.5f, {0, 0, 100, 80});
    EXPECT_NEAR(c.vertical, 0.0055531f, 1e-6);
    EXPECT_NEAR(c.horizontal, 0.0870850f, 1e-6);
    EXPECT_EQ(c.rowStart, 39);
    EXPECT_EQ(c.rowEnd, 40);
    EXPECT_EQ(c.colStart, 45);
    EXPECT_EQ(c.colEnd, 54);
    EXPECT_NEAR(c.step, 11.4831f, 1e-3);
    // wd 0.01: v = exp(-0.15) + 0.005 = 0.865708, rows trunc(5.3717) = 5 .. 74; row 15 reads 10 / v -> 11.
    const WornScreen::Collapse d = WornScreen::collapse(0.01f, {0, 0, 100, 80});
    EXPECT_EQ(d.rowStart, 5);
    EXPECT_EQ(d.rowEnd, 74);
    EXPECT_EQ(WornScreen::collapseSourceRow(d, 5), 0);
    EXPECT_EQ(WornScreen::collapseSourceRow(d, 15), 11);

    EXPECT_EQ(WornScreen::glowRadius(0.5f, 1.0f), 2);
    EXPECT_EQ(WornScreen::glowRadius(0.5f, 0.5f), 1);
    EXPECT_EQ(WornScreen::glowRadius(0.05f, 1.0f), 0);
}

TEST(SamplerTables, SizesAndEntriesPerDepth)
{
    WornScreenSettings s = plain(WornScreen::kColour);
    s.brightness = 0.25f;
    WornScreenTables<PixARGB8> t8;
    t8.build(s);
    ASSERT_EQ(t8.colour(0).size(), 257u);
    EXPECT_EQ(t8.colour(0)[0], 63);  // 0.25 * 255 = 63.75, truncated
    EXPECT_EQ(t8.colour(2)[255], 255);
    EXPECT_EQ(t8.colour(1)[256], 255);  // the pad repeats the last entry
    WornScreenTables<PixARGB16> t16;
    t16.build(s);
    ASSERT_EQ(t16.colour(0).size(), 32770u);
    EXPECT_EQ(t16.colour(0)[0], 8192);
    EXPECT_EQ(t16.colour(0)[32768], 32768);
    WornScreenTables<PixARGBF> tf;
    s.redBrightness = 0.5f;
    tf.build(s);
    ASSERT_EQ(tf.colour(0).size(), 65537u);
    EXPECT_FLOAT_EQ(tf.colour(0)[0], 0.75f);
    EXPECT_FLOAT_EQ(tf.colour(1)[0], 0.25f);

    // "B and W": a mean of M reads the last entry without going past it.
    WornScreenSettings g = plain(WornScreen::kBlackAndWhite);
    g.brightness = 0.25f;
    g.contrast = 0.15f;
    t8.build(g);
    ASSERT_EQ(t8.grey().size(), 257u);
    EXPECT_EQ(t8.greyAt(255.0f), t8.grey()[255]);
    EXPECT_EQ(t8.greyAt(255.0f), 255.0f);
    EXPECT_EQ(t8.greyAt(300.0f), 255.0f);
    EXPECT_FLOAT_EQ(t8.greyAt(254.5f), 0.5f * (t8.grey()[254] + t8.grey()[255]));
    // Black: y = 0.25, exponent 0.5 / 0.35, so 0.5 * 0.5^(1/0.7) * 255 = 47.366.
    EXPECT_NEAR(t8.greyAt(0.0f), 0.5 * std::pow(0.5, 0.5 / 0.35) * 255.0, 1e-3);
    tf.build(g);
    EXPECT_EQ(tf.greyAt(1.0f), tf.grey()[65535]);
    EXPECT_EQ(tf.greyAt(2.0f), 1.0f);

    // "Tint" with a mid-grey middle stop: black, the tint itself at mid-tone, white.
    WornScreenSettings tint = plain(WornScreen::kTint);
    tint.tintRed = tint.tintGreen = tint.tintBlue = 0.5f;
    t8.build(tint);
    ASSERT_EQ(t8.tint().size(), 257u);
    EXPECT_EQ(t8.tint()[0], PixARGB8({{255, 0, 0, 0}}));
    EXPECT_EQ(t8.tint()[128].r, 127);  // v = 0.50196: 127 + trunc(128 * 0.00196 / 0.5) = 127
    EXPECT_EQ(t8.tint()[255].g, 255);
}

template <class Px>
void checkToneAtDepth()
{
    using Ch = typename Px::Channel;
    constexpr float M = Px::M;
    const int w = 61, h = 29;
    const auto pic = testPicture<Px>(w, h);
    const float tolerance = Px::isInteger ? 0.0f : 2e-6f;

    // "Colour" at B = C = 0 is the input itself (the module's pass-through test); with EM, the input times
    // the row gain.
    WornScreenSettings em = plain(WornScreen::kColour);
    em.emAmount = 0.15f;
    em.frameHeight = 1080.0f;
    const auto banded = render(pic, w, h, em);
    const float phase = WornScreen::emPhase(em.seed);
    for (int y = 0; y < h; ++y) {
        const float g = WornScreen::emRowGain(y, 1080.0f, 0.15f, phase, SmoothNoise::standard());
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y * w + x);
            ASSERT_EQ(banded[i].a, pic[i].a);
            const float want = std::min(float(pic[i].r) * g, M);
            ASSERT_NEAR(float(banded[i].r), float(Pixel::storeChannel<Ch>(want)), tolerance + 2e-6f);
        }
    }

    // "B and W" at B = C = 0 is the mean of R, G, B (checked through the module at every depth).
    const auto grey = render(pic, w, h, plain(WornScreen::kBlackAndWhite));
    // "Tint" with a mid-grey stop matches "B and W" up to truncation.
    WornScreenSettings tint = plain(WornScreen::kTint);
    tint.tintRed = tint.tintGreen = tint.tintBlue = 0.5f;
    const auto tinted = render(pic, w, h, tint);
    for (size_t i = 0; i < pic.size(); ++i) {
        ASSERT_NEAR(float(tinted[i].g), float(grey[i].g), Px::isInteger ? 1.0f : 1e-5f);
    }

    // Contrast 0.5 with brightness 0.1: black below x = 0.4 / 0.9 and white above it. Only a mean within
    // one table step of the threshold interpolates between the two.
    WornScreenSettings hard = plain(WornScreen::kBlackAndWhite);
    hard.contrast = 0.5f;
    hard.brightness = 0.1f;
    const auto thresholded = render(pic, w, h, hard);
    const float threshold = M * 0.4f / 0.9f;
    const float step = M / float(WornScreenTables<Px>::kSize - 1);
    for (size_t i = 0; i < pic.size(); ++i) {
        const float mean = (float(pic[i].r) + float(pic[i].g) + float(pic[i].b)) / 3.0f;
        if (std::fabs(mean - threshold) > 1.01f * step) {
            ASSERT_EQ(float(thresholded[i].r), mean < threshold ? 0.0f : M) << mean;
        }
    }

    // Brightness 0.25: black -> 0.25 M, white stays M.
    std::vector<Px> bw(size_t(2 * h));
    for (int y = 0; y < h; ++y) {
        bw[size_t(2 * y)] = Px::filled(Ch(0));
        bw[size_t(2 * y + 1)] = Px::filled(Ch(M));
    }
    WornScreenSettings bright = plain(WornScreen::kBlackAndWhite);
    bright.brightness = 0.25f;
    const auto lifted = render(bw, 2, h, bright);
    EXPECT_EQ(lifted[0].r, Pixel::storeChannel<Ch>(0.25f * M));
    EXPECT_EQ(lifted[1].r, Ch(M));

    // A row gain above 1 on a white pixel clamps at M in every TV type; rows below 1 darken.
    for (int type = 0; type < 3; ++type) {
        WornScreenSettings strong = plain(type);
        strong.tintRed = strong.tintGreen = strong.tintBlue = 1.0f;
        strong.emAmount = 3.0f;
        strong.frameHeight = 40.0f;
        const auto out = render(bw, 2, h, strong);
        int clamped = 0, darker = 0;
        for (int y = 0; y < h; ++y) {
            const float g = WornScreen::emRowGain(y, 40.0f, 3.0f, phase, SmoothNoise::standard());
            const Px& p = out[size_t(2 * y + 1)];
            const float want = g > 1.0f ? M : std::max(M * g, 0.0f);
            ASSERT_NEAR(float(p.r), float(Pixel::storeChannel<Ch>(want)), Px::isInteger ? 0.0f : 1e-6f)
                << type;
            ASSERT_EQ(p.a, Ch(M));
            clamped += g > 1.0f;
            darker += g < 1.0f;
        }
        EXPECT_GT(clamped, 0);
        EXPECT_GT(darker, 0);
    }
}

// Renders share tables built for the same tone settings; any setting a table reads gives other tables.
TEST(SamplerTables, SharedOnlyBetweenTheSameToneSettings)
{
    using Tables = WornScreenTables<PixARGBF>;
    WornScreenSettings tint = plain(WornScreen::kTint);
    const auto first = Tables::shared(tint);
    WornScreenSettings again = tint;
    again.saturation = 0.5f;  // read per pixel, not by the tables
    again.emAmount = 0.9f;
    EXPECT_EQ(Tables::shared(again), first);
    Tables fresh;
    fresh.build(tint);
    ASSERT_EQ(first->tint().size(), fresh.tint().size());
    for (size_t i = 0; i < fresh.tint().size(); i += 997)
        EXPECT_EQ(first->tint()[i].g, fresh.tint()[i].g) << i;

    for (float WornScreenSettings::*field :
         {&WornScreenSettings::brightness, &WornScreenSettings::contrast, &WornScreenSettings::tintRed,
          &WornScreenSettings::tintGreen, &WornScreenSettings::tintBlue}) {
        WornScreenSettings other = tint;
        other.*field += 0.125f;
        EXPECT_NE(Tables::shared(other), first);
    }
    WornScreenSettings colour = plain(WornScreen::kColour);
    const auto colourTables = Tables::shared(colour);
    EXPECT_EQ(colourTables->tvType(), WornScreen::kColour);
    for (float WornScreenSettings::*field :
         {&WornScreenSettings::redBrightness, &WornScreenSettings::greenBrightness,
          &WornScreenSettings::blueBrightness}) {
        WornScreenSettings other = colour;
        other.*field = 0.25f;
        EXPECT_NE(Tables::shared(other), colourTables);
    }
    // A NaN setting finds its own tables again rather than building them every time.
    WornScreenSettings nan = plain(WornScreen::kBlackAndWhite);
    nan.contrast = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Tables::shared(nan), Tables::shared(nan));
    // Each depth has its own.
    EXPECT_EQ(WornScreenTables<PixARGB8>::shared(tint)->tint().size(), 257u);
}

TEST(WornScreenSampler, TvTypesAtEveryDepth)
{
    checkToneAtDepth<PixARGB8>();
    checkToneAtDepth<PixARGB16>();
    checkToneAtDepth<PixARGBF>();
}

TEST(WornScreenSampler, SixteenBitValuesAboveTheMaximum)
{
    std::vector<PixARGB16> pic(4, PixARGB16::filled(65535));
    for (int type = 0; type < 3; ++type) {
        for (const PixARGB16& p : render(pic, 2, 2, plain(type))) {
            EXPECT_EQ(p, PixARGB16::filled(32768));
        }
    }
}

TEST(WornScreenSampler, BandsFollowTheSeedNotTheFrame)
{
    const int w = 8, h = 120;
    const std::vector<PixARGB8> flat(size_t(w * h), PixARGB8({{255, 128, 128, 128}}));
    WornScreenSettings s = plain(WornScreen::kBlackAndWhite);
    s.emAmount = 0.15f;
    s.frameHeight = float(h);
    const auto a = render(flat, w, h, s);
    s.frame = 7;
    EXPECT_EQ(render(flat, w, h, s), a);
    s.seed = 31;
    EXPECT_NE(render(flat, w, h, s), a);
}

TEST(WornScreenSampler, ShashMixAndPatternChoice)
{
    const int w = 83, h = 31;
    const auto pic = testPicture<PixARGB8>(w, h);
    WornScreenSettings s = plain(WornScreen::kColour);
    s.shashType = 0;
    s.shashMax = 0.0f;
    const auto untouched = render(pic, w, h, s);
    EXPECT_EQ(untouched, pic);

    // Weight 0.5 of pattern 0 drawn at scale 1 and pixel scale sx.
    s.shashMax = 0.5f;
    s.scaleX = 0.05f;
    s.frame = 3;
    const auto mixed = render(pic, w, h, s);
    std::vector<PixARGB8> layer(pic.size());
    KlTexture<PixARGB8> lt(layer.data(), w, h, int32_t(w * sizeof(PixARGB8)));
    KlShashProc<PixARGB8> shash;
    shash.setDestination(&lt);
    shash.setSeed(uint32_t(s.seed));
    shash.setFrame(3);
    shash.setScale(1.0f);
    shash.setPixelScale(0.05f);
    shash.setType(0);
    shash.execute();
    int changed = 0;
    for (size_t i = 0; i < pic.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            ASSERT_EQ(mixed[i][c], uint8_t(float(pic[i][c]) * 0.5f + float(layer[i][c]) * 0.5f));
        }
        changed += !(mixed[i] == pic[i]);
    }
    EXPECT_GT(changed, 0);

    // Random with period 0 draws pattern 0.
    s.shashType = Shash::kRandom;
    s.shashPeriod = 0;
    std::vector<PixARGB8> in = pic, out(pic.size());
    KlTexture<PixARGB8> tin(in.data(), w, h, int32_t(w * sizeof(PixARGB8)));
    KlTexture<PixARGB8> tout(out.data(), w, h, int32_t(w * sizeof(PixARGB8)));
    WornScreenSampler<PixARGB8> sampler;
    sampler.setSource(&tin);
    sampler.setDestination(&tout);
    sampler.setSettings(s);
    sampler.execute();
    EXPECT_EQ(sampler.shashPattern(), 0);
    EXPECT_EQ(out, mixed);
    EXPECT_EQ(sampler.passes(), 4);
}

template <class Px>
void checkThreadIndependence()
{
    const int w = 75, h = 41;
    const auto pic = testPicture<Px>(w, h);
    std::vector<WornScreenSettings> cases;
    for (int type = 0; type < 3; ++type) {
        WornScreenSettings s;
        s.tvType = type;
        s.frameHeight = float(h);
        cases.push_back(s);
    }
    for (int pattern = 0; pattern < 5; ++pattern) {
        WornScreenSettings s;
        s.shashType = pattern;
        s.shashMax = 0.6f;
        s.scaleX = 0.1f;
        cases.push_back(s);
    }
    for (float wd : {0.05f, 0.4f, 0.9f}) {
        WornScreenSettings s;
        s.whiteDot = wd;
        s.shashMax = 0.3f;
        s.shashType = 2;
        s.scaleX = 0.1f;
        cases.push_back(s);
    }
    // The right half, the bottom left corner, and a part touching no edge.
    const KlRect parts[] = {{38, 0, w, h}, {0, 20, 38, h}, {9, 7, 61, 30}};
    for (size_t k = 0; k < cases.size(); ++k) {
        const auto one = render(pic, w, h, cases[k], 1);
        for (int threads : {2, 3, 5, 16}) {
            ASSERT_EQ(render(pic, w, h, cases[k], threads), one)
                << "case " << k << ", " << threads << " threads";
        }
        for (const KlRect& r : parts) {
            const auto part = render(pic, w, h, cases[k], 2, &r);
            for (int y = r.y0; y < r.y1; ++y)
                for (int x = r.x0; x < r.x1; ++x)
                    ASSERT_EQ(part[size_t((y - r.y0) * r.width() + x - r.x0)], one[size_t(y * w + x)])
                        << "case " << k << " at " << x << "," << y << " of part " << r.x0 << "," << r.y0;
        }
    }
}

TEST(WornScreenSampler, SameFrameOnAnyThreadCountAndPart)
{
    checkThreadIndependence<PixARGB8>();
    checkThreadIndependence<PixARGB16>();
    checkThreadIndependence<PixARGBF>();
}

TEST(WornScreenSampler, WhiteDotIsLaidOutFromTheFrame)
{
    // 200 x 100 at White Dot 30: the spot lights columns 75..123 (the collapse's 77..122 and the glow);
    // rendering only the right half lights 100..123 of it, not a spot of its own.
    const int w = 200, h = 100;
    const std::vector<PixARGB8> white(size_t(w * h), PixARGB8::filled(255));
    WornScreenSettings s = plain(WornScreen::kColour);
    s.whiteDot = 0.3f;
    auto litColumns = [](const std::vector<PixARGB8>& img, int width, int x0) {
        int first = -1, last = -1;
        for (size_t i = 0; i < img.size(); ++i)
            if (img[i].a != 0) {
                const int x = x0 + int(i % size_t(width));
                first = first < 0 ? x : std::min(first, x);
                last = std::max(last, x);
            }
        return std::pair<int, int>{first, last};
    };
    EXPECT_EQ(litColumns(render(white, w, h, s), w, 0), (std::pair<int, int>{75, 123}));
    const KlRect right{100, 0, 200, 100};
    EXPECT_EQ(litColumns(render(white, w, h, s, 2, &right), 100, 100), (std::pair<int, int>{100, 123}));
}

template <class Px>
void checkWhiteDot()
{
    using Ch = typename Px::Channel;
    constexpr float M = Px::M;
    const int w = 100, h = 80;
    const std::vector<Px> flat(size_t(w * h), Px::filled(Ch(M * 0.5f)));

    // Above 0.99 the caller draws the blank frame: transparent black everywhere.
    std::vector<Px> out(flat.size(), Px::filled(Ch(M)));
    KlTexture<Px> tout(out.data(), w, h, int32_t(w * sizeof(Px)));
    WornScreen::blankFrame(tout);
    for (const Px& p : out) {
        ASSERT_EQ(p, Px{});
    }

    // wd 0.5: a small spot round the band (rows 39..40, columns 45..53) widened by the glow (radius 2).
    WornScreenSettings s = plain(WornScreen::kColour);
    s.whiteDot = 0.5f;
    const auto spot = render(flat, w, h, s);
    float centre = 0.0f;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Px& p = spot[size_t(y * w + x)];
            const bool near = y >= 39 - 4 && y < 40 + 4 && x >= 45 - 4 && x < 54 + 4;
            if (!near) {
                ASSERT_EQ(p, Px{}) << x << "," << y;
            }
            if (x == 49 && y == 39) {
                centre = float(p.r);
            }
        }
    }
    EXPECT_GT(centre, 0.0f);
    EXPECT_LE(centre, M);

    // The glow is the 3-iteration blur of the collapse over the whole frame (radius trunc(0.5 * 5) = 2), even
    // though only the part round the spot is blurred. With a render scale of 0.1 the radius is 0: no glow.
    WornScreenSettings small = s;
    small.scaleX = small.scaleY = 0.1f;
    std::vector<Px> collapsed = render(flat, w, h, small);
    std::vector<Px> glowed(flat.size());
    KlTexture<Px> tc(collapsed.data(), w, h, int32_t(w * sizeof(Px)));
    KlTexture<Px> tg(glowed.data(), w, h, int32_t(w * sizeof(Px)));
    BlurGeneralGauss<Px> blur;
    blur.setSource(&tc);
    blur.setDestination(&tg);
    blur.setSizes(2.0f / 3.0f, 2.0f / 3.0f);
    blur.setIterations(3);
    blur.execute();
    EXPECT_EQ(spot, glowed);
    EXPECT_NE(spot, collapsed);

    // wd 0.1 without glow radius (trunc(0.1 * 5) = 0): rows outside the band are black, band rows
    // sum ceil(n) pixels / n of the flat picture, so they are at least the picture's value.
    s.whiteDot = 0.1f;
    const auto squeezed = render(flat, w, h, s);
    const WornScreen::Collapse c = WornScreen::collapse(0.1f, {0, 0, w, h});
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Px& p = squeezed[size_t(y * w + x)];
            if (y < c.rowStart || y >= c.rowEnd || x < c.colStart || x >= c.colEnd) {
                ASSERT_EQ(p, Px{}) << x << "," << y;
            } else if (x < c.colEnd - 2) {
                const float k = std::ceil(c.step);
                ASSERT_NEAR(float(p.r), float(Pixel::storeChannel<Ch>(std::min(M * 0.5f * k / c.step, M))),
                            Px::isInteger ? 1.0f : 1e-5f)
                    << x << "," << y;
            }
        }
    }
}

TEST(WornScreenSampler, WhiteDotAtEveryDepth)
{
    checkWhiteDot<PixARGB8>();
    checkWhiteDot<PixARGB16>();
    checkWhiteDot<PixARGBF>();
}

// Scan lines drawn by the sampler row by row are those of the scan-line stage run after it, in a part of
// the frame too; with anything mixed over the picture afterwards the sampler leaves them to the stage.
template <class Px>
void checkScanLinesDrawnInPlace()
{
    constexpr int w = 37, h = 23;
    const std::vector<Px> in = testPicture<Px>(w, h);
    WornScreenSettings s = plain(WornScreen::kBlackAndWhite);
    s.brightness = 0.25f;
    s.contrast = 0.15f;
    s.emAmount = 0.3f;
    for (const KlRect part : {KlRect{0, 0, w, h}, KlRect{5, 4, 30, 19}}) {
        std::vector<Px> staged = render(in, w, h, s, 1, &part);
        KlTexture<Px> t(staged.data(), part.width(), part.height(), int32_t(part.width() * sizeof(Px)),
                        part.x0, part.y0);
        KlScanLineAdder<Px> lines;
        lines.setDestination(&t);
        lines.setSpacing(3);
        lines.execute();
        bool drawn = false;
        const std::vector<Px> fused = render(in, w, h, s, 2, &part, 3, &drawn);
        EXPECT_TRUE(drawn);
        for (size_t i = 0; i < staged.size(); ++i)
            ASSERT_TRUE(std::memcmp(&staged[i], &fused[i], sizeof(Px)) == 0) << "pixel " << i;
    }
    s.shashMax = 0.5f;
    bool drawn = true;
    EXPECT_EQ(render(in, w, h, s, 1, nullptr, 3), render(in, w, h, s));
    render(in, w, h, s, 1, nullptr, 3, &drawn);
    EXPECT_FALSE(drawn);
    s.shashMax = 0.0f;
    render(in, w, h, s, 1, nullptr, 1, &drawn);
    EXPECT_FALSE(drawn);  // spacing 1: no scan lines
}

TEST(WornScreenSampler, ScanLinesDrawnInPlaceAreTheStagesAtEveryDepth)
{
    checkScanLinesDrawnInPlace<PixARGB8>();
    checkScanLinesDrawnInPlace<PixARGB16>();
    checkScanLinesDrawnInPlace<PixARGBF>();
}

// The float "B and W" rows the processor's vector instructions make are those of the portable code, bit
// for bit: values beyond 0..1, NaN and infinities, table edges, row gains above and below 1, odd widths.
// Values a channel of the depth may hold that test the row code's edges: beyond 0..M, NaN and
// infinities, table edges.
template <class Px>
std::vector<typename Px::Channel> oddValues()
{
    if constexpr (std::is_same_v<Px, PixARGB16>)
        return {0, 1, 32767, 32768, 32769, 65535, 21845, 43690};
    else
        return {-0.0f,
                -1.0f,
                1.0f,
                1.0000001f,
                0.99999994f,
                7.0f,
                1.0f / 65535.0f,
                0.5f / 65535.0f,
                1e-40f,
                std::numeric_limits<float>::quiet_NaN(),
                std::numeric_limits<float>::infinity(),
                -std::numeric_limits<float>::infinity(),
                0.333333343f,
                2.0f / 3.0f};
}

// The "B and W" rows the processor's vector instructions make (finished with scan lines and another
// picture's alpha, as the sampler finishes them) are those of the portable code, bit for bit: odd values,
// row gains above and below 1, odd widths and a part of the frame.
template <class Px>
void checkVectorGreyRows()
{
    constexpr int w = 45, h = 9;
    std::vector<Px> in = testPicture<Px>(w, h);
    const std::vector<typename Px::Channel> odd = oddValues<Px>();
    uint32_t state = 7;
    for (size_t i = 0; i < in.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            state = state * 1664525u + 1013904223u;
            if ((state >> 28) < 5)
                in[i][c] = odd[(state >> 8) % odd.size()];
            else if ((state >> 28) < 8)
                in[i][c] = typename Px::Channel(float(state >> 8) / float(1u << 24) *
                                                (Px::isInteger ? 65535.0f : 1.0f));
        }
    }
    WornScreenSettings s = plain(WornScreen::kBlackAndWhite);
    s.brightness = 0.2f;
    s.contrast = 0.3f;
    std::vector<Px> alphas = testPicture<Px>(w, h);
    for (size_t i = 0; i < alphas.size(); i += 3) alphas[i].a = odd[i % odd.size()];
    for (const auto& [em, lines, alphaFrom] : {std::tuple{0.0f, 0, (const std::vector<Px>*)nullptr},
                                               {0.7f, 0, nullptr},
                                               {3.0f, 0, nullptr},
                                               {0.7f, 3, nullptr},
                                               {0.7f, 0, &alphas},
                                               {3.0f, 2, &alphas}}) {
        s.emAmount = em;
        for (const KlRect part : {KlRect{0, 0, w, h}, KlRect{3, 1, 40, 8}}) {
            usePortableSamplerRowsForTesting(true);
            const std::vector<Px> portable = render(in, w, h, s, 1, &part, lines, nullptr, alphaFrom);
            usePortableSamplerRowsForTesting(false);
            const std::vector<Px> vector = render(in, w, h, s, 2, &part, lines, nullptr, alphaFrom);
            ASSERT_EQ(portable.size(), vector.size());
            for (size_t i = 0; i < portable.size(); ++i)
                ASSERT_EQ(std::memcmp(&portable[i], &vector[i], sizeof(Px)), 0)
                    << "pixel " << i << " em " << em << " lines " << lines << ": " << float(portable[i].r)
                    << " against " << float(vector[i].r);
        }
    }
}

TEST(WornScreenSampler, VectorGreyRowsAreThePortableOnesBitForBit)
{
    checkVectorGreyRows<PixARGB16>();
    checkVectorGreyRows<PixARGBF>();
}

TEST(WornScreenSampler, SetUpFailures)
{
    std::vector<PixARGB8> pix(16);
    KlTexture<PixARGB8> t(pix.data(), 4, 4, 16);
    {
        WornScreenSampler<PixARGB8> sampler;
        sampler.setDestination(&t);
        EXPECT_THROW(sampler.execute(), Exceptions::NullPointer);
    }
    {
        WornScreenSampler<PixARGB8> sampler;
        sampler.setSource(&t);
        sampler.setDestination(&t);
        WornScreenSettings s;
        s.tvType = 3;
        sampler.setSettings(s);
        EXPECT_THROW(sampler.execute(), Exceptions::BadValue);
    }
    {
        // No memory for the white-dot layer: the hook is aborted with 1000 and the render fails.
        KilnStagesTest::heapMemory().failing = true;
        KlInterruptHook hook;
        WornScreenSampler<PixARGB8> sampler;
        sampler.setSource(&t);
        sampler.setDestination(&t);
        sampler.setInterruptHook(&hook);
        WornScreenSettings s;
        s.whiteDot = 0.5f;
        sampler.setSettings(s);
        EXPECT_THROW(sampler.execute(), Exceptions::OutOfMemory);
        EXPECT_NE(hook.interrupted.load(), 0);
        EXPECT_EQ(hook.code.load(), 1000);
        KilnStagesTest::heapMemory().failing = false;
    }
}

}  // namespace
