// Blend arithmetic: the method formulas, the HLS model and the per-pixel steps, with
// values worked by hand at M = 255, 32768 and 1.
#include "wrapper/klBlendMaths.h"

#include <gtest/gtest.h>

namespace B = Kiln::Wrapper::Blend;
using Kiln::WorkPixel;

namespace {

WorkPixel px(float a, float r, float g, float b)
{
    WorkPixel p;
    p.a = a;
    p.r = r;
    p.g = g;
    p.b = b;
    return p;
}

void expectPixel(const WorkPixel& p, float a, float r, float g, float b, float tol)
{
    EXPECT_NEAR(p.a, a, tol);
    EXPECT_NEAR(p.r, r, tol);
    EXPECT_NEAR(p.g, g, tol);
    EXPECT_NEAR(p.b, b, tol);
}

constexpr float k8 = 255.0f, k16 = 32768.0f, kF = 1.0f;

}  // namespace

TEST(BlendFormulas, ChannelMethodsAtEightBits)
{
    const float t = 1e-3f;
    EXPECT_NEAR(B::screen(100, 200, k8), 300.0f - 20000.0f / 255.0f, t);  // 221.5686
    EXPECT_NEAR(B::multiply(100, 200, k8), 78.431373f, t);
    EXPECT_NEAR(B::exclusion(100, 200, k8), 143.137255f, t);
    EXPECT_NEAR(B::overlay(100, 200, k8), 156.862745f, t);  // a < H: 2ab/M
    EXPECT_NEAR(B::overlay(200, 100, k8), 188.137255f, t);  // a > H: M - 2(M-a)(M-b)/M
    EXPECT_EQ(B::overlay(127.5f, 37.0f, k8), 37.0f);  // a = H: b
    EXPECT_EQ(B::linearLight(100, 50, k8), 0.0f);  // 100 - 2*77.5 < 0
    EXPECT_EQ(B::linearLight(100, 200, k8), 245.0f);  // 100 + 2*72.5
    EXPECT_EQ(B::linearLight(100, 127.5f, k8), 100.0f);
    EXPECT_EQ(B::difference(100, 200), 100.0f);
    EXPECT_EQ(B::difference(200, 100), 100.0f);
    EXPECT_EQ(B::subtractSource(100, 200), 100.0f);  // b - a
    EXPECT_EQ(B::subtractSource(200, 100), 0.0f);
    EXPECT_EQ(B::subtractEffect(100, 200), 0.0f);  // a - b
    EXPECT_EQ(B::subtractEffect(200, 100), 100.0f);
    EXPECT_EQ(B::darken(100, 200), 100.0f);
    EXPECT_EQ(B::lighten(100, 200), 200.0f);
    EXPECT_EQ(B::linearBurn(200, 100, k8), 45.0f);
    EXPECT_EQ(B::linearBurn(100, 100, k8), 0.0f);
    EXPECT_NEAR(B::colourBurn(200, 100, k8), 114.75f, t);  // 255 - 55*255/100
    EXPECT_EQ(B::colourBurn(30, 10, k8), 0.0f);  // limited at 0
    EXPECT_NEAR(B::colourDodge(100, 55, k8), 127.5f, t);  // 100*255/200
    EXPECT_NEAR(B::hardLight(100, 50, k8), 39.215686f, t);
    EXPECT_NEAR(B::hardLight(100, 200, k8), 255.0f - 2.0f * 155.0f * 55.0f / 255.0f, t);
    EXPECT_EQ(B::mix(100, 200, 0.25f), 175.0f);  // b + (a - b) * amount
}

TEST(BlendFormulas, BurnDodgeAndLightsAtTheirSpecialPoints)
{
    for (float M : {k8, k16, kF}) {
        for (float a : {0.0f, 0.3f * M, M}) {
            EXPECT_EQ(B::colourBurn(a, 0.0f, M), 0.0f) << M;
            EXPECT_EQ(B::colourDodge(a, M, M), M) << M;
        }
    }
    // An effect channel of exactly H gives H, whatever the source (reachable at 16 bits and float).
    for (float M : {k16, kF}) {
        const float H = M / 2;
        for (float a : {0.0f, 0.1f * M, H, 0.9f * M, M}) {
            EXPECT_EQ(B::hardLight(a, H, M), H) << M << " " << a;
            EXPECT_EQ(B::softLight(a, H, M), H) << M << " " << a;
        }
    }
    // SoftLight branches in float: b < H: 2ab + a^2(1 - 2b); b > H: 2a(1 - b) + (2b - 1)sqrt(a).
    EXPECT_FLOAT_EQ(B::softLight(0.25f, 0.25f, kF), 0.15625f);
    EXPECT_FLOAT_EQ(B::softLight(0.25f, 0.75f, kF), 0.375f);
    // The same at 16 bits, scaled by M.
    EXPECT_NEAR(B::softLight(0.25f * k16, 0.75f * k16, k16), 0.375f * k16, 0.01f);
    // No NaN for a negative float source on the bright branch.
    EXPECT_EQ(B::softLight(-0.5f, 1.0f, kF), 0.0f);
    EXPECT_EQ(B::multiply(16384, 16384, k16), 8192.0f);
    EXPECT_EQ(B::screen(16384, 16384, k16), 24576.0f);
}

TEST(BlendHls, ModelAndRoundTrip)
{
    B::Hls red = B::rgbToHls(1, 0, 0);
    EXPECT_FLOAT_EQ(red.h, 0.0f);
    EXPECT_FLOAT_EQ(red.l, 0.5f);
    EXPECT_FLOAT_EQ(red.s, 1.0f);
    EXPECT_FLOAT_EQ(B::rgbToHls(0, 1, 0).h, 120.0f);
    EXPECT_FLOAT_EQ(B::rgbToHls(0, 0, 1).h, 240.0f);
    EXPECT_FLOAT_EQ(B::rgbToHls(1, 0, 1).h, 300.0f);  // negative hue wraps
    B::Hls grey = B::rgbToHls(0.5f, 0.5f, 0.5f);
    EXPECT_EQ(grey.s, 0.0f);
    EXPECT_FLOAT_EQ(grey.l, 0.5f);
    // Lightness 0 or below: everything 0.
    B::Hls dark = B::rgbToHls(-0.2f, 0.1f, 0.0f);
    EXPECT_EQ(dark.h, 0.0f);
    EXPECT_EQ(dark.l, 0.0f);
    EXPECT_EQ(dark.s, 0.0f);
    // (0.2, 0.4, 0.6): l = 0.4, s = 0.4 / 0.8, blue is the maximum: h = 60 (4 + (0.2 - 0.4) / 0.4).
    B::Hls c = B::rgbToHls(0.2f, 0.4f, 0.6f);
    EXPECT_FLOAT_EQ(c.l, 0.4f);
    EXPECT_FLOAT_EQ(c.s, 0.5f);
    EXPECT_FLOAT_EQ(c.h, 210.0f);
    // Light colours use the other saturation rule: (0.6, 0.8, 1.0): l 0.8, s 0.4 / 0.4 = 1.
    EXPECT_FLOAT_EQ(B::rgbToHls(0.6f, 0.8f, 1.0f).s, 1.0f);
    B::Rgb back = B::hlsToRgb(c);
    EXPECT_NEAR(back.r, 0.2f, 1e-6f);
    EXPECT_NEAR(back.g, 0.4f, 1e-6f);
    EXPECT_NEAR(back.b, 0.6f, 1e-6f);
    B::Rgb back2 = B::hlsToRgb(B::rgbToHls(0.9f, 0.7f, 0.75f));
    EXPECT_NEAR(back2.r, 0.9f, 1e-6f);
    EXPECT_NEAR(back2.g, 0.7f, 1e-6f);
    EXPECT_NEAR(back2.b, 0.75f, 1e-6f);
    // Over-range values never divide by zero.
    B::Hls over = B::rgbToHls(1.5f, 0.5f, 0.5f);
    EXPECT_EQ(over.s, 0.0f);
}

TEST(BlendHls, MethodsOnHandPickedColours)
{
    for (float M : {k8, k16, kF}) {
        const float H = M / 2, tol = 1e-5f * M;
        const WorkPixel grey = px(M, H, H, H);
        const WorkPixel red = px(M, M, 0, 0);
        const WorkPixel blueish = px(M, 0.2f * M, 0.4f * M, 0.6f * M);  // h 210, l 0.4, s 0.5
        // Colour: hue and saturation of pure red, lightness 0.5 of the grey -> pure red.
        expectPixel(B::applyMethod(B::Colour, grey, red, M, 0.5f), M, M, 0, 0, tol);
        // Luminosity: red's hue and saturation at the dark grey's lightness 0.25 -> (0.5, 0, 0).
        const WorkPixel darkGrey = px(M, 0.25f * M, 0.25f * M, 0.25f * M);
        expectPixel(B::applyMethod(B::Luminosity, red, darkGrey, M, 0.5f), M, 0.5f * M, 0, 0, tol);
        // Hue: red's hue with the blueish saturation 0.5 and lightness 0.4 -> (0.6, 0.2, 0.2).
        expectPixel(B::applyMethod(B::Hue, blueish, red, M, 0.5f), M, 0.6f * M, 0.2f * M, 0.2f * M, tol);
        // Saturation of grey (0): the blueish colour loses its colour -> (0.4, 0.4, 0.4).
        expectPixel(B::applyMethod(B::Saturation, blueish, grey, M, 0.5f), M, 0.4f * M, 0.4f * M, 0.4f * M,
                    tol);
        // Saturation of red (1): h 210, l 0.4, s 1 -> (0, 0.4, 0.8).
        expectPixel(B::applyMethod(B::Saturation, blueish, red, M, 0.5f), M, 0, 0.4f * M, 0.8f * M, tol);
        // Hue onto a grey source changes nothing (no saturation to carry it).
        expectPixel(B::applyMethod(B::Hue, grey, red, M, 0.5f), M, H, H, H, tol);
    }
}

TEST(BlendPixel, AlphaIsTheScreenAndCompositesAreOver)
{
    const float M = kF;
    // Every method's alpha is a.A + b.A - a.A*b.A/M.
    for (int m = 1; m <= B::kLastMethod; ++m) {
        WorkPixel r = B::applyMethod(m, px(0.5f, 0.1f, 0.2f, 0.3f), px(0.5f, 0.3f, 0.2f, 0.1f), M, 0.5f);
        EXPECT_FLOAT_EQ(r.a, 0.75f) << m;
    }
    // Composite Effect: b + a(M - b.A)/M; Composite Source: a + b(M - a.A)/M.
    expectPixel(B::applyMethod(B::CompositeEffect, px(1, 0.8f, 0.6f, 0), px(0.5f, 0.4f, 0, 0.5f), M, 0.5f), 1,
                0.8f, 0.3f, 0.5f, 1e-6f);
    expectPixel(B::applyMethod(B::CompositeSource, px(0.5f, 0.4f, 0, 0.5f), px(1, 0.8f, 0.6f, 0), M, 0.5f), 1,
                0.8f, 0.3f, 0.5f, 1e-6f);
    // The effect inside / outside the source's alpha.
    expectPixel(B::applyMethod(B::EffectInSource, px(0.25f, 0, 0, 0), px(1, 0.8f, 0.4f, 1), M, 0.5f), 1, 0.2f,
                0.1f, 0.25f, 1e-6f);
    expectPixel(B::applyMethod(B::EffectOutSource, px(0.25f, 0, 0, 0), px(1, 0.8f, 0.4f, 1), M, 0.5f), 1,
                0.6f, 0.3f, 0.75f, 1e-6f);
    // At 8 bits: Multiply of a white source keeps the effect; alpha screen of 255 and 0 is 255.
    expectPixel(B::applyMethod(B::Multiply, px(255, 255, 255, 255), px(0, 10, 20, 30), k8, 0.5f), 255, 10, 20,
                30, 1e-4f);
    // Numbers outside 1..26 give a copy of the source.
    for (int m : {0, 27, -3, 1000})
        expectPixel(B::applyMethod(m, px(0.1f, 0.2f, 0.3f, 0.4f), px(1, 1, 1, 1), M, 0.5f), 0.1f, 0.2f, 0.3f,
                    0.4f, 0);
}

TEST(BlendPixel, PremultiplyUnpremultiplyAndAmount)
{
    // 8 bits: (128, 255) -> 128; alpha 0 clears the colour.
    expectPixel(B::premultiply(px(128, 255, 51, 0), k8), 128, 128, 25.6f, 0, 1e-4f);
    expectPixel(B::premultiply(px(0, 255, 51, 7), k8), 0, 0, 0, 0, 0);
    // Unpremultiply only above 1/65535.
    expectPixel(B::unpremultiply(px(0.5f, 0.2f, 0.4f, 0.1f), kF), 0.5f, 0.4f, 0.8f, 0.2f, 1e-6f);
    expectPixel(B::unpremultiply(px(B::kTransparentAlpha, 1e-5f, 0, 0), kF), B::kTransparentAlpha, 1e-5f, 0,
                0, 0);
    expectPixel(B::unpremultiply(px(0, 100, 50, 25), k8), 0, 100, 50, 25, 0);
    expectPixel(B::unpremultiply(px(1, 100, 50, 25), k16), 1, 100 * k16, 50 * k16, 25 * k16,
                1);  // stored alpha 1
    // Amount: s 0.2, method result 0.6, e 1.0 on every channel.
    const WorkPixel s = px(0.2f, 0.2f, 0.2f, 0.2f), r = px(0.6f, 0.6f, 0.6f, 0.6f), e = px(1, 1, 1, 1);
    const float expected[5] = {0.2f, 0.4f, 0.6f, 0.8f, 1.0f};
    for (int i = 0; i < 5; ++i) {
        const float v = expected[i];
        expectPixel(B::applyBlendAmount(r, s, e, 0.25f * i), v, v, v, v, 1e-6f);
    }
}

TEST(BlendPixel, GainsClampAndWholeSteps)
{
    B::PixelBlend p;
    p.method = B::Add;
    // Add of two white float pixels is 2.0, with or without the clamp (it limits the inputs only).
    for (bool clamp : {false, true}) {
        p.clamp = clamp;
        expectPixel(B::blendPixel(p, px(1, 1, 1, 1), px(1, 1, 1, 1), kF), 1, 2, 2, 2, 1e-6f);
    }
    // The clamped copies feed the method, the unclamped values the amount rule:
    // Lighten(min(2,1), 0.5) = 1, then 2 + (1 - 2) * 0.5 = 1.5 at amount 0.25; unclamped 2.
    p.method = B::Lighten;
    p.amount = 0.25f;
    p.clamp = true;
    EXPECT_FLOAT_EQ(B::blendPixel(p, px(1, 2, 0, 0), px(1, 0.5f, 0, 0), kF).r, 1.5f);
    p.clamp = false;
    EXPECT_FLOAT_EQ(B::blendPixel(p, px(1, 2, 0, 0), px(1, 0.5f, 0, 0), kF).r, 2.0f);
    // Gains scale colour, not alpha; the amount 0 returns the gained, premultiplied source,
    // which the unpremultiply turns back.
    p = B::PixelBlend{};
    p.method = B::Mix;
    p.amount = 0.0f;
    p.sourceGain = 0.5f;
    expectPixel(B::blendPixel(p, px(0.5f, 0.8f, 0.4f, 1.0f), px(1, 1, 1, 1), kF), 0.5f, 0.4f, 0.2f, 0.5f,
                1e-6f);
    // Mix at 0.5 of two opaque pixels is their mean; straight effect premultiplied first.
    p.amount = 0.5f;
    p.sourceGain = 1.0f;
    p.premultiplyEffect = true;
    expectPixel(B::blendPixel(p, px(255, 50, 100, 150), px(255, 150, 100, 50), k8), 255, 100, 100, 100,
                1e-3f);
    // A straight effect is premultiplied first: over a transparent source Mix 50 gives
    // (0 + 0.4) / 2 at alpha 0.5, unpremultiplied to 0.4 (0.8 without the premultiply).
    p.premultiplyEffect = true;
    expectPixel(B::blendPixel(p, px(0, 0.7f, 0, 0), px(0.5f, 0.8f, 0, 0), kF), 0.5f, 0.4f, 0, 0, 1e-6f);
    p.premultiplyEffect = false;
    expectPixel(B::blendPixel(p, px(0, 0.7f, 0, 0), px(0.5f, 0.8f, 0, 0), kF), 0.5f, 0.8f, 0, 0, 1e-6f);
    // A transparent result stays premultiplied: Mix at 1 of a transparent effect with colour.
    p.amount = 1.0f;
    p.premultiplyEffect = false;
    expectPixel(B::blendPixel(p, px(0, 200, 0, 0), px(0, 100, 50, 0), k8), 0, 100, 50, 0, 0);
}
