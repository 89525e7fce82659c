// The post-processing stage: reading its parameters, source crops and edges, the blend
// processor and the alpha finish at 8 bits, 16 bits and float, on 1 and many threads.
#include "exceptions/klException.h"
#include "image/klMultiProcessor.h"
#include "param/klParam.h"
#include "param/klParamSet.h"
#include "wrapper/klPostProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

using namespace Kiln::Wrapper;
using Kiln::PixARGB16;
using Kiln::PixARGB8;
using Kiln::PixARGBF;

namespace {

// An image over test memory, viewed by a texture (the host's buffers are views too).
template <class Px>
struct TestImage {
    int32_t w, h;
    std::vector<Px> pixels;
    KlTexture<Px> tex;

    TestImage(int32_t width, int32_t height, const Px& fill)
        : w(width), h(height), pixels(static_cast<size_t>(width) * height, fill),
          tex(pixels.data(), width, height, width * static_cast<int32_t>(sizeof(Px)))
    { }
    Px& at(int32_t x, int32_t y) { return pixels[static_cast<size_t>(y) * w + x]; }
};

// A pixel from fractions of M (integer channels truncated).
template <class Px>
Px frac(float a, float r, float g, float b)
{
    Kiln::WorkPixel w;
    w.a = a * Px::M;
    w.r = r * Px::M;
    w.g = g * Px::M;
    w.b = b * Px::M;
    return Px::fromWork(w);
}

// One stored unit of slack where integer stores truncate.
template <class Px>
constexpr float slack()
{
    return Px::isInteger ? 1.0f : 1e-6f;
}

template <class Px>
void expectNear(const Px& p, float a, float r, float g, float b, float tol = slack<Px>())
{
    EXPECT_NEAR(float(p.a), a, tol);
    EXPECT_NEAR(float(p.r), r, tol);
    EXPECT_NEAR(float(p.g), g, tol);
    EXPECT_NEAR(float(p.b), b, tol);
}

PostProcessSettings blendSettings(int32_t method, float amount, int32_t process = ProcessRGB)
{
    PostProcessSettings s;
    s.method = method;
    s.blendAmount = amount;
    s.process = process;
    return s;
}

template <class Px>
class PostProcessDepth : public ::testing::Test { };
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(PostProcessDepth, Depths);

}  // namespace

TEST(PostProcessSettingsRead, ValuesInTheStagesUnitsAndABadProcess)
{
    Kiln::Errors::Initialise();
    using namespace Kiln::Param;
    ParamSet set;
    set.createParam<Double>("blendSrc", 150.0);
    set.createParam<Double>("blendMix", 75.0);
    set.createParam<Int>("postAlphaYesNoNo", 1);
    const PostProcessSettings s = readPostProcessSettings(set, 0.0);
    EXPECT_FLOAT_EQ(s.sourceGain, 1.5f);  // percent sliders reach the stage as fractions
    EXPECT_FLOAT_EQ(s.blendAmount, 0.75f);
    EXPECT_EQ(s.effectGain, 1.0f);  // absent: its default
    EXPECT_EQ(s.process, 1);
    set.setIntParam("postAlphaYesNoNo", 7);
    try {
        readPostProcessSettings(set, 0.0);
        ADD_FAILURE() << "no exception";
    } catch (const Kiln::Exceptions::BadValue& e) {
        EXPECT_EQ(e.message(), "'postAlphaYesNoNo' has a bad value 7.");
    }
}

TEST(PostProcessCrop, WindowArithmetic)
{
    PostProcessSettings s;
    SourceCropWindow w = sourceCropWindow(s, 100, 50);
    EXPECT_EQ(w.x0, 0);
    EXPECT_EQ(w.x1, 100);  // the texture clamps the end to 99
    EXPECT_EQ(w.y0, 0);
    EXPECT_EQ(w.y1, 50);
    s.left = 25;
    s.right = 75;
    s.bottom = 10;  // measured up from the bottom: rows count from the top
    s.top = 70;
    w = sourceCropWindow(s, 100, 50);
    EXPECT_EQ(w.x0, 25);
    EXPECT_EQ(w.x1, 75);
    EXPECT_EQ(w.y0, 15);  // (1 - 0.7) * 50
    EXPECT_EQ(w.y1, 45);  // (1 - 0.1) * 50
    // Whole percents of whole sizes are exact (0.29 * 100 would truncate to 28).
    s.left = 29;
    s.right = 57;
    EXPECT_EQ(sourceCropWindow(s, 100, 50).x0, 29);
    EXPECT_EQ(sourceCropWindow(s, 100, 50).x1, 57);
    s.left = 33.3;  // 639.36
    EXPECT_EQ(sourceCropWindow(s, 1920, 50).x0, 639);
    s.left = std::numeric_limits<double>::quiet_NaN();
    s.right = 1e300;
    EXPECT_EQ(sourceCropWindow(s, 100, 50).x0, 0);
    EXPECT_EQ(sourceCropWindow(s, 100, 50).x1, 2147483647);

    // The edge colour in the stored type: times M, truncated; integers limited to 0..M.
    const KlRGBAColF c{0.5f, 1.0f, 1.5f, 0.25f};
    expectNear(edgeColourPixel<PixARGB8>(c), 63, 127, 255, 255, 0);
    expectNear(edgeColourPixel<PixARGB16>(c), 8192, 16384, 32768, 32768, 0);
    expectNear(edgeColourPixel<PixARGBF>(c), 0.25f, 0.5f, 1.0f, 1.5f, 0);
    EXPECT_EQ(edgeColourPixel<PixARGB8>(KlRGBAColF{128 / 255.0f, 1 / 255.0f, 0, 1}).r, 128);
}

TYPED_TEST(PostProcessDepth, CropEdgesColourRepeatAndRows)
{
    using Px = TypeParam;
    TestImage<Px> src(100, 100, Px::filled(0));
    for (int32_t y = 0; y < 100; ++y)
        for (int32_t x = 0; x < 100; ++x) src.at(x, y) = frac<Px>(1, x / 100.0f, y / 100.0f, 0.5f);
    PostProcessSettings s;
    s.left = 25;
    s.right = 75;
    s.xMethod = KlEdgeColour;
    s.edgeColour = KlRGBAColF{1, 0, 0, 1};
    applySourceCrop(src.tex, s);
    const Px red = frac<Px>(1, 1, 0, 0);
    std::vector<Px> row(100);
    src.tex.copyRow(40, 0, 100, row.data());
    for (int32_t x = 0; x < 100; ++x) {
        if (x < 25 || x > 75)
            EXPECT_EQ(row[x], red) << x;
        else
            EXPECT_EQ(row[x], src.at(x, 40)) << x;
    }
    // Repeat: the outer quarters repeat columns 25 and 75 (the window's last column).
    s.xMethod = KlEdgeRepeat;
    applySourceCrop(src.tex, s);
    src.tex.copyRow(40, 0, 100, row.data());
    for (int32_t x = 0; x < 100; ++x) EXPECT_EQ(row[x], src.at(x < 25 ? 25 : (x > 75 ? 75 : x), 40)) << x;

    // Rows: Top 90 and Bottom 0 cut the top tenth (rows 0..9), measured up from the bottom.
    s = PostProcessSettings{};
    s.top = 90;
    s.yMethod = KlEdgeColour;
    s.edgeColour = KlRGBAColF{0, 0, 1, 0.5f};
    applySourceCrop(src.tex, s);
    const Px edge = edgeColourPixel<Px>(s.edgeColour);
    EXPECT_EQ(src.tex.sampleNearest(30, 9), edge);
    EXPECT_EQ(src.tex.sampleNearest(30, 10), src.at(30, 10));
    EXPECT_EQ(src.tex.sampleNearest(30, 99), src.at(30, 99));
    // X Reflect (the default) mirrors beyond the image.
    EXPECT_EQ(src.tex.sampleNearest(-1, 50), src.at(0, 50));

    // "expand": whole image, colour edges, transparent black.
    s.expand = true;
    applySourceCrop(src.tex, s);
    EXPECT_EQ(src.tex.sampleNearest(30, 5), src.at(30, 5));
    EXPECT_EQ(src.tex.sampleNearest(-1, 50), Px::filled(0));
    EXPECT_EQ(src.tex.sampleNearest(50, 100), Px::filled(0));
}

TYPED_TEST(PostProcessDepth, DefaultsGiveTheEffectWithTheSourceAlpha)
{
    using Px = TypeParam;
    const float M = Px::M;
    TestImage<Px> src(7, 5, frac<Px>(0.25f, 0.9f, 0.9f, 0.9f));
    const Px effect = frac<Px>(0.5f, 0.8f, 0.4f, 0.0f);
    TestImage<Px> out(7, 5, effect);
    PostProcessSettings s;
    applySourceCrop(src.tex, s);
    // Straight effect: premultiplied by its own alpha, then the source's alpha.
    postProcess(s, src.tex, out.tex, true);
    for (const Px& p : out.pixels) {
        EXPECT_EQ(p.a, src.pixels[0].a);
        expectNear(p, float(p.a), 0.4f * M, 0.2f * M, 0.0f);
    }
    // Premultiplied effect: colours untouched.
    std::fill(out.pixels.begin(), out.pixels.end(), effect);
    postProcess(s, src.tex, out.tex, false);
    for (const Px& p : out.pixels) {
        EXPECT_EQ(p.a, src.pixels[0].a);
        EXPECT_EQ(p.r, effect.r);
        EXPECT_EQ(p.g, effect.g);
    }
    // RGBA with a premultiplied effect: unpremultiplied, own alpha kept.
    std::fill(out.pixels.begin(), out.pixels.end(), effect);
    s.process = ProcessRGBA;
    postProcess(s, src.tex, out.tex, false);
    expectNear(out.pixels[0], float(effect.a), M, 0.8f * M, 0.0f, Px::isInteger ? 2.0f : 1e-6f);
    // The two finishes the host's two-item control never yields.
    std::fill(out.pixels.begin(), out.pixels.end(), effect);
    s.process = ProcessOpaque;
    postProcess(s, src.tex, out.tex, false);
    EXPECT_EQ(out.pixels[3], frac<Px>(1.0f, 0.8f, 0.4f, 0.0f));
    s.process = ProcessSourceRGB;
    postProcess(s, src.tex, out.tex, false);
    EXPECT_EQ(out.pixels[3], frac<Px>(1.0f, 0.9f, 0.9f, 0.9f));
    s.process = 4;
    EXPECT_THROW(postProcess(s, src.tex, out.tex, false), Kiln::Exceptions::BadValue);
}

TYPED_TEST(PostProcessDepth, MixAmountsAndGains)
{
    using Px = TypeParam;
    const float M = Px::M;
    TestImage<Px> src(9, 4, frac<Px>(1, 0.2f, 0.4f, 0.6f));
    const Px effect = frac<Px>(1, 0.3f, 0.0f, 0.45f);
    TestImage<Px> out(9, 4, effect);
    const Px s0 = src.pixels[0];
    // Blend 50: the mean of source and effect.
    postProcess(blendSettings(Blend::Mix, 0.5f), src.tex, out.tex, true);
    for (const Px& p : out.pixels)
        expectNear(p, M, (float(s0.r) + float(effect.r)) / 2, (float(s0.g) + float(effect.g)) / 2,
                   (float(s0.b) + float(effect.b)) / 2);
    // Blend 0: the source with its gain; Blend 100: the effect with its gain.
    PostProcessSettings s = blendSettings(Blend::Mix, 0.0f);
    s.sourceGain = 0.5f;
    std::fill(out.pixels.begin(), out.pixels.end(), effect);
    postProcess(s, src.tex, out.tex, true);
    expectNear(out.pixels[5], M, float(s0.r) / 2, float(s0.g) / 2, float(s0.b) / 2);
    s = blendSettings(Blend::Mix, 1.0f);
    s.effectGain = 2.0f;
    std::fill(out.pixels.begin(), out.pixels.end(), effect);
    postProcess(s, src.tex, out.tex, true);
    expectNear(out.pixels[5], M, 2 * float(effect.r), 0, 2 * float(effect.b));

    // Mix alpha is the screen of both alphas (colour 0 keeps the colours out of it).
    TestImage<Px> srcA(3, 3, frac<Px>(0.5f, 0, 0, 0));
    const Px effA = frac<Px>(0.3f, 0, 0, 0);
    TestImage<Px> outA(3, 3, effA);
    postProcess(blendSettings(Blend::Mix, 0.5f, ProcessRGBA), srcA.tex, outA.tex, false);
    const float sa = srcA.pixels[0].a, ea = effA.a;
    EXPECT_NEAR(float(outA.pixels[4].a), sa + ea - sa * ea / M, slack<Px>());

    // A straight effect is premultiplied before the method: over a transparent source,
    // Mix 50 halves the premultiplied effect while the alpha stays 0.5 (the screen), so
    // the output is half the effect's colour; read as premultiplied, the colour itself.
    TestImage<Px> clear(3, 3, Px::filled(0));
    const Px half = frac<Px>(0.5f, 0.8f, 0.4f, 0.0f);
    for (bool straight : {true, false}) {
        TestImage<Px> o(3, 3, half);
        postProcess(blendSettings(Blend::Mix, 0.5f, ProcessRGBA), clear.tex, o.tex, straight);
        const float k = straight ? 0.5f : 1.0f;
        expectNear(o.pixels[4], float(half.a), k * 0.8f * M, k * 0.4f * M, 0, Px::isInteger ? 2.0f : 1e-6f);
    }
}

TYPED_TEST(PostProcessDepth, AddOfWhiteAndLightsAtHalf)
{
    using Px = TypeParam;
    const float M = Px::M;
    TestImage<Px> src(4, 4, frac<Px>(1, 1, 1, 1));
    TestImage<Px> out(4, 4, frac<Px>(1, 1, 1, 1));
    for (bool clamp : {false, true}) {
        PostProcessSettings s = blendSettings(Blend::Add, 0.5f);
        s.clamp = clamp;
        std::fill(out.pixels.begin(), out.pixels.end(), frac<Px>(1, 1, 1, 1));
        postProcess(s, src.tex, out.tex, true);
        // 2.0 in float (the clamp limits the inputs, not the sum); the integer store limits to M.
        const float expected = Px::isInteger ? M : 2.0f;
        expectNear(out.pixels[6], M, expected, expected, expected, 0);
    }
    if constexpr (!std::is_same_v<Px, PixARGB8>) {
        // HardLight and SoftLight with an effect channel of exactly H give H.
        const float H = M / 2;
        for (int32_t method : {Blend::HardLight, Blend::SoftLight}) {
            for (float a : {0.0f, 0.3f, 1.0f}) {
                TestImage<Px> s2(2, 2, frac<Px>(1, a, a, a));
                TestImage<Px> o2(2, 2, frac<Px>(1, 0.5f, 0.5f, 0.5f));
                postProcess(blendSettings(method, 0.5f), s2.tex, o2.tex, true);
                expectNear(o2.pixels[3], M, H, H, H, 0);
            }
        }
    }
}

TEST(PostProcessBlend, TransparentResultsStayPremultiplied)
{
    // Float: a result alpha of 1/65535 is not unpremultiplied; 3/65535 is.
    for (float alpha : {Blend::kTransparentAlpha, 3 * Blend::kTransparentAlpha}) {
        TestImage<PixARGBF> src(2, 2, frac<PixARGBF>(0, 0, 0, 0));
        PixARGBF e{};
        e.a = alpha;
        e.r = 1e-5f;
        TestImage<PixARGBF> out(2, 2, e);
        postProcess(blendSettings(Blend::Mix, 1.0f, ProcessRGBA), src.tex, out.tex, false);
        EXPECT_FLOAT_EQ(out.pixels[0].a, alpha);
        EXPECT_FLOAT_EQ(out.pixels[0].r, alpha > Blend::kTransparentAlpha ? 1e-5f / alpha : 1e-5f);
    }
    // 8 bits: stored alpha 0 keeps its colour; alpha 51 is unpremultiplied (and limited).
    TestImage<PixARGB8> src(2, 2, PixARGB8::filled(0));
    PixARGB8 e{};
    e.r = 40;
    TestImage<PixARGB8> out(2, 2, e);
    postProcess(blendSettings(Blend::Mix, 1.0f, ProcessRGBA), src.tex, out.tex, false);
    EXPECT_EQ(out.pixels[0].a, 0);
    EXPECT_EQ(out.pixels[0].r, 40);
    e.a = 51;
    std::fill(out.pixels.begin(), out.pixels.end(), e);
    postProcess(blendSettings(Blend::Mix, 1.0f, ProcessRGBA), src.tex, out.tex, false);
    EXPECT_EQ(out.pixels[0].a, 51);
    EXPECT_EQ(out.pixels[0].r, 200);  // 40 * 255 / 51
}

TEST(PostProcessBlend, CroppedSourceReachesTheBlendAndTheAlpha)
{
    // Left 25 / Right 75 with X Colour: Mix at Blend 0 shows the source, so the outer
    // quarters show the edge colour; Process RGB copies the edge colour's alpha too.
    TestImage<PixARGB8> src(100, 3, PixARGB8::filled(0));
    for (int32_t x = 0; x < 100; ++x)
        for (int32_t y = 0; y < 3; ++y) src.at(x, y) = PixARGB8{255, uint8_t(x), uint8_t(2 * x), 7};
    TestImage<PixARGB8> out(100, 3, PixARGB8{255, 1, 2, 3});
    PostProcessSettings s = blendSettings(Blend::Mix, 0.0f);
    s.left = 25;
    s.right = 75;
    s.xMethod = KlEdgeColour;
    s.edgeColour = KlRGBAColF{0, 1, 0, 0.6f};  // alpha 153
    applySourceCrop(src.tex, s);
    postProcess(s, src.tex, out.tex, true);
    for (int32_t x = 0; x < 100; ++x) {
        const PixARGB8 p = out.at(x, 1);
        if (x < 25 || x > 75) {
            // Unpremultiplied green 255 at alpha 153, premultiplied again by Process RGB: 153.
            EXPECT_EQ(p, (PixARGB8{153, 0, 153, 0})) << x;
        } else {
            EXPECT_EQ(p, src.at(x, 1)) << x;
        }
    }
}

TEST(PostProcessBlend, HandWorkedMethodsAtEightBits)
{
    struct Case {
        int32_t method;
        uint8_t s, e, expected;
    };
    // Opaque pixels, one colour channel, Blend 50 (the method result itself), truncated.
    const Case cases[] = {
        {Blend::Overlay, 100, 200, 156},      {Blend::Overlay, 200, 100, 188},
        {Blend::Screen, 100, 200, 221},       {Blend::Multiply, 100, 200, 78},
        {Blend::Exclusion, 100, 200, 143},    {Blend::ColourBurn, 200, 0, 0},
        {Blend::ColourDodge, 10, 255, 255},   {Blend::LinearDodge, 200, 100, 255},
        {Blend::CompositeEffect, 90, 80, 80}, {Blend::CompositeSource, 90, 80, 90},
    };
    for (const Case& c : cases) {
        TestImage<PixARGB8> src(3, 2, PixARGB8{255, c.s, 0, 0});
        TestImage<PixARGB8> out(3, 2, PixARGB8{255, c.e, 0, 0});
        postProcess(blendSettings(c.method, 0.5f), src.tex, out.tex, true);
        EXPECT_EQ(out.pixels[4].r, c.expected) << c.method;
        EXPECT_EQ(out.pixels[4].a, 255) << c.method;
    }
}

TYPED_TEST(PostProcessDepth, SameResultOnOneAndManyThreads)
{
    using Px = TypeParam;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    TestImage<Px> src(61, 37, Px::filled(0));
    TestImage<Px> effect(61, 37, Px::filled(0));
    for (Px& p : src.pixels) p = frac<Px>(u(rng), u(rng), u(rng), u(rng));
    for (Px& p : effect.pixels) p = frac<Px>(u(rng), u(rng), u(rng), u(rng));
    PostProcessSettings s = blendSettings(Blend::SoftLight, 0.3f);
    s.left = 10;
    s.right = 80;
    s.top = 70;
    s.sourceGain = 1.3f;
    for (int32_t method : {Blend::SoftLight, Blend::Colour, Blend::CompositeEffect}) {
        s.method = method;
        applySourceCrop(src.tex, s);
        std::vector<std::vector<Px>> results;
        for (int32_t n : {1, 5}) {
            KlMultiProcessor::setProcessorCountForTesting(n);
            TestImage<Px> out(61, 37, Px::filled(0));
            std::copy(effect.pixels.begin(), effect.pixels.end(), out.pixels.begin());
            postProcess(s, src.tex, out.tex, true);
            results.push_back(out.pixels);
        }
        KlMultiProcessor::setProcessorCountForTesting(0);
        EXPECT_TRUE(results[0] == results[1]) << method;
        EXPECT_FALSE(results[0] == effect.pixels) << method;
    }
}

namespace {
int alwaysInterrupt(void*, std::atomic<int32_t>*) { return 1; }
}  // namespace

TEST(PostProcessBlend, InterruptLeavesTheOutputAlone)
{
    TestImage<PixARGB16> src(8, 8, PixARGB16{32768, 100, 200, 300});
    TestImage<PixARGB16> out(8, 8, PixARGB16{16384, 5, 6, 7});
    KlInterruptHook hook;
    hook.callback = alwaysInterrupt;
    postProcess(blendSettings(Blend::Add, 0.5f), src.tex, out.tex, true, &hook);
    EXPECT_NE(hook.interrupted.load(), 0);
    for (const PixARGB16& p : out.pixels) EXPECT_EQ(p, (PixARGB16{16384, 5, 6, 7}));
}
