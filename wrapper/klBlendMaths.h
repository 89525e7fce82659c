#pragma once
// Blend arithmetic of the post-processing stage.
//
// Every function works on floats in the stored range of a depth: 0..M with M = 255,
// 32768 or 1, and H = M/2 (127.5, 16384, 0.5); values are never normalised between
// depths. In the method formulas a is a colour channel of the source pixel and b the
// same channel of the effect pixel, both after gains and premultiplication. Results are
// not limited unless a formula says so: the integer store limits them later.
//
// Pixels are Kiln::WorkPixel (float, channel 0 alpha).
#include "image/klPixel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

// The per-pixel steps are small; a pixel loop must get them inlined, not called.
#if defined(__GNUC__)
#define KL_BLEND_INLINE inline __attribute__((always_inline))
#else
#define KL_BLEND_INLINE inline
#endif

namespace Kiln::Wrapper::Blend {

// Internal method numbers; the host's "Method" list maps onto these.
enum Method : int32_t {
    None = 0,
    Colour = 1,
    ColourBurn = 2,
    ColourDodge = 3,
    Darken = 4,
    Difference = 5,
    Exclusion = 6,
    HardLight = 7,
    Hue = 8,
    Lighten = 9,
    LinearBurn = 10,
    LinearDodge = 11,
    LinearLight = 12,
    Luminosity = 13,
    Multiply = 14,
    Overlay = 15,
    Saturation = 16,
    Screen = 17,
    SoftLight = 18,
    Mix = 19,
    SubtractEffect = 20,
    SubtractSource = 21,
    Add = 22,
    EffectInSource = 23,  // no host item reaches 23 and 24
    EffectOutSource = 24,
    CompositeSource = 25,
    CompositeEffect = 26,
};
constexpr int32_t kLastMethod = 26;

// A result alpha at or below this (1/65535) counts as transparent: it is not unpremultiplied.
constexpr float kTransparentAlpha = 1.5259022e-5f;

// ---- per-channel formulas ---------------------------------------------------------------

inline float add(float a, float b) { return a + b; }
inline float difference(float a, float b) { return std::fabs(a - b); }
inline float subtractSource(float a, float b) { return std::max(b - a, 0.0f); }
inline float subtractEffect(float a, float b) { return std::max(a - b, 0.0f); }
inline float darken(float a, float b) { return std::min(a, b); }
inline float lighten(float a, float b) { return std::max(a, b); }
inline float mix(float a, float b, float amount) { return b + (a - b) * amount; }
inline float screen(float a, float b, float M) { return a + b - a * b / M; }
inline float multiply(float a, float b, float M) { return a * b / M; }
inline float exclusion(float a, float b, float M) { return a + b - 2.0f * a * b / M; }
inline float linearBurn(float a, float b, float M) { return std::max(a + b - M, 0.0f); }

inline float overlay(float a, float b, float M)
{
    const float H = M * 0.5f;
    if (a < H) return 2.0f * a * b / M;
    if (a > H) return M - 2.0f * (M - a) * (M - b) / M;
    return b;
}

inline float colourBurn(float a, float b, float M)
{
    if (b == 0.0f) return 0.0f;
    return std::max(M - (M - a) * M / b, 0.0f);
}

inline float colourDodge(float a, float b, float M)
{
    if (b == M) return M;
    return a * M / (M - b);
}

// At b = H exactly the result is H itself, whatever a is.
inline float hardLight(float a, float b, float M)
{
    const float H = M * 0.5f;
    if (b < H) return 2.0f * a * b / M;
    if (b > H) return M - 2.0f * (M - a) * (M - b) / M;
    return b;
}

inline float linearLight(float a, float b, float M)
{
    const float H = M * 0.5f;
    if (b < H) return std::max(a - 2.0f * (H - b), 0.0f);
    if (b > H) return a + 2.0f * (b - H);
    return a;
}

// At b = H exactly the result is H itself, whatever a is.
inline float softLight(float a, float b, float M)
{
    const float H = M * 0.5f;
    if (b < H) return 2.0f * a * b / M + a * a * (M - 2.0f * b) / (M * M);
    // A negative source (float footage) has no root; it counts as 0 there.
    if (b > H) return 2.0f * a * (M - b) / M + (2.0f * b - M) * std::sqrt(std::max(a * M, 0.0f)) / M;
    return b;
}

// `top` composited over `below` (premultiplied channels; topAlpha is the top pixel's alpha).
inline float compositeOver(float top, float below, float topAlpha, float M)
{
    return top + below * (M - topAlpha) / M;
}

// ---- HLS model (channel values as fractions of M) -------------------------------------

// Hue in degrees [0, 360), lightness and saturation as fractions.
struct Hls {
    float h = 0.0f;
    float l = 0.0f;
    float s = 0.0f;
};

struct Rgb {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
};

inline Hls rgbToHls(float r, float g, float b)
{
    const float mx = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    Hls o;
    o.l = (mx + mn) * 0.5f;
    if (o.l <= 0.0f) return Hls{};
    const float delta = mx - mn;
    if (delta == 0.0f) return o;
    const float denom = o.l <= 0.5f ? mx + mn : 2.0f - mx - mn;
    // Only over-range values (gains above 100 %) reach a non-positive denominator.
    o.s = denom > 0.0f ? delta / denom : 0.0f;
    float h;
    if (r == mx)
        h = (g - b) / delta;
    else if (g == mx)
        h = 2.0f + (b - r) / delta;
    else
        h = 4.0f + (r - g) / delta;
    h *= 60.0f;
    if (h < 0.0f) h += 360.0f;
    o.h = h;
    return o;
}

namespace Detail {
inline float hlsChannel(float m1, float m2, float hue)
{
    if (hue >= 360.0f) hue -= 360.0f;
    if (hue < 0.0f) hue += 360.0f;
    if (hue < 60.0f) return m1 + (m2 - m1) * hue / 60.0f;
    if (hue < 180.0f) return m2;
    if (hue < 240.0f) return m1 + (m2 - m1) * (240.0f - hue) / 60.0f;
    return m1;
}
}  // namespace Detail

inline Rgb hlsToRgb(const Hls& c)
{
    if (c.s == 0.0f) return {c.l, c.l, c.l};
    const float m2 = c.l <= 0.5f ? c.l * (1.0f + c.s) : c.l + c.s - c.l * c.s;
    const float m1 = 2.0f * c.l - m2;
    return {Detail::hlsChannel(m1, m2, c.h + 120.0f), Detail::hlsChannel(m1, m2, c.h),
            Detail::hlsChannel(m1, m2, c.h - 120.0f)};
}

// Hue, saturation and lightness each taken from b where its flag is set, else from a;
// channels in 0..M.
inline Rgb hlsCombine(const Rgb& a, const Rgb& b, float M, bool hueOfB, bool saturationOfB, bool lightnessOfB)
{
    const Hls ha = rgbToHls(a.r / M, a.g / M, a.b / M);
    const Hls hb = rgbToHls(b.r / M, b.g / M, b.b / M);
    const Hls mixed{hueOfB ? hb.h : ha.h, lightnessOfB ? hb.l : ha.l, saturationOfB ? hb.s : ha.s};
    const Rgb o = hlsToRgb(mixed);
    return {o.r * M, o.g * M, o.b * M};
}

// ---- whole pixels ---------------------------------------------------------------------

// r = method(a, b) for a method fixed at compile time: colour channels by the method,
// alpha the screen of both alphas. Numbers outside 1..26 give a copy of a. amount (a
// fraction) is Mix's weight.
template <int32_t Method>
KL_BLEND_INLINE WorkPixel applyMethodT(const WorkPixel& a, const WorkPixel& b, float M, float amount)
{
    if constexpr (Method < 1 || Method > kLastMethod) {
        return a;
    } else {
        WorkPixel r;
        r.a = screen(a.a, b.a, M);
        if constexpr (Method == Colour || Method == Hue || Method == Luminosity || Method == Saturation) {
            const Rgb o = hlsCombine({a.r, a.g, a.b}, {b.r, b.g, b.b}, M, Method == Colour || Method == Hue,
                                     Method == Colour || Method == Saturation, Method == Luminosity);
            r.r = o.r;
            r.g = o.g;
            r.b = o.b;
        } else {
            auto f = [&](float x, float y) -> float {
                if constexpr (Method == ColourBurn)
                    return colourBurn(x, y, M);
                else if constexpr (Method == ColourDodge)
                    return colourDodge(x, y, M);
                else if constexpr (Method == Darken)
                    return darken(x, y);
                else if constexpr (Method == Difference)
                    return difference(x, y);
                else if constexpr (Method == Exclusion)
                    return exclusion(x, y, M);
                else if constexpr (Method == HardLight)
                    return hardLight(x, y, M);
                else if constexpr (Method == Lighten)
                    return lighten(x, y);
                else if constexpr (Method == LinearBurn)
                    return linearBurn(x, y, M);
                else if constexpr (Method == LinearDodge || Method == Add)
                    return add(x, y);
                else if constexpr (Method == LinearLight)
                    return linearLight(x, y, M);
                else if constexpr (Method == Multiply)
                    return multiply(x, y, M);
                else if constexpr (Method == Overlay)
                    return overlay(x, y, M);
                else if constexpr (Method == Screen)
                    return screen(x, y, M);
                else if constexpr (Method == SoftLight)
                    return softLight(x, y, M);
                else if constexpr (Method == Mix)
                    return mix(x, y, amount);
                else if constexpr (Method == SubtractEffect)
                    return subtractEffect(x, y);
                else if constexpr (Method == SubtractSource)
                    return subtractSource(x, y);
                // The effect kept inside / outside the source's alpha.
                else if constexpr (Method == EffectInSource)
                    return y * a.a / M;
                else if constexpr (Method == EffectOutSource)
                    return y * (M - a.a) / M;
                else if constexpr (Method == CompositeSource)
                    return compositeOver(x, y, a.a, M);
                else
                    return compositeOver(y, x, b.a, M);  // CompositeEffect
            };
            r.r = f(a.r, b.r);
            r.g = f(a.g, b.g);
            r.b = f(a.b, b.b);
        }
        return r;
    }
}

// Calls f(std::integral_constant<int32_t, m>) for the method number m, with m = 0 for
// numbers outside 1..26: the one place where a method number becomes a compile-time
// choice, so pixel loops can be specialised per method.
template <class F>
inline void withMethod(int32_t method, F&& f)
{
    [&]<int32_t... I>(std::integer_sequence<int32_t, I...>)
    {
        const bool found = ((method == I ? (f(std::integral_constant<int32_t, I>{}), true) : false) || ...);
        if (!found) f(std::integral_constant<int32_t, 0>{});
    }
    (std::make_integer_sequence<int32_t, kLastMethod + 1>{});
}

// The same with the method chosen at run time.
inline WorkPixel applyMethod(int32_t method, const WorkPixel& a, const WorkPixel& b, float M, float amount)
{
    WorkPixel r;
    withMethod(method, [&](auto m) { r = applyMethodT<decltype(m)::value>(a, b, M, amount); });
    return r;
}

// Colour channels times A/M; alpha 0 makes them 0.
KL_BLEND_INLINE WorkPixel premultiply(WorkPixel p, float M)
{
    if (p.a == 0.0f) {
        p.r = p.g = p.b = 0.0f;
    } else {
        p.r = p.r * p.a / M;
        p.g = p.g * p.a / M;
        p.b = p.b * p.a / M;
    }
    return p;
}

// Colour channels times M/A where A is above kTransparentAlpha; otherwise unchanged.
KL_BLEND_INLINE WorkPixel unpremultiply(WorkPixel p, float M)
{
    if (p.a > kTransparentAlpha) {
        const float k = M / p.a;
        p.r *= k;
        p.g *= k;
        p.b *= k;
    }
    return p;
}

// Every channel limited to 0..M (NaN gives 0).
KL_BLEND_INLINE WorkPixel clampToRange(WorkPixel p, float M)
{
    for (int c = 0; c < 4; ++c) p[c] = p[c] > 0.0f ? (p[c] < M ? p[c] : M) : 0.0f;
    return p;
}

// The blend amount t (a fraction) on all four channels: below 0.5 from the source s to
// the method result r, above 0.5 from r to the effect e; t = 0.5 keeps r.
KL_BLEND_INLINE WorkPixel applyBlendAmount(WorkPixel r, const WorkPixel& s, const WorkPixel& e, float t)
{
    if (t < 0.5f) {
        const float k = 2.0f * t;
        for (int c = 0; c < 4; ++c) r[c] = s[c] + (r[c] - s[c]) * k;
    } else if (t > 0.5f) {
        const float k = 2.0f * t - 1.0f;
        for (int c = 0; c < 4; ++c) r[c] = r[c] + (e[c] - r[c]) * k;
    }
    return r;
}

// The settings of one blend, in the order the blend processor keeps them. Gains and
// amount are fractions (percent / 100).
struct PixelBlend {
    int32_t method = None;
    float sourceGain = 1.0f;
    float effectGain = 1.0f;
    float amount = 0.5f;
    bool premultiplySource = true;
    bool premultiplyEffect = false;
    bool unpremultiplyResult = true;
    bool clamp = false;
};

// One output pixel from source pixel s and effect pixel e (stored units, as floats):
// gains, premultiplication, the method (on copies limited to 0..M when clamping), the
// blend amount (on the unlimited values) and the unpremultiplication. Not yet stored.
// p.method is ignored in favour of Method.
template <int32_t Method>
KL_BLEND_INLINE WorkPixel blendPixelT(const PixelBlend& p, WorkPixel s, WorkPixel e, float M)
{
    s.r *= p.sourceGain;
    s.g *= p.sourceGain;
    s.b *= p.sourceGain;
    e.r *= p.effectGain;
    e.g *= p.effectGain;
    e.b *= p.effectGain;
    if (p.premultiplySource) s = premultiply(s, M);
    if (p.premultiplyEffect) e = premultiply(e, M);
    WorkPixel r = p.clamp ? applyMethodT<Method>(clampToRange(s, M), clampToRange(e, M), M, p.amount)
                          : applyMethodT<Method>(s, e, M, p.amount);
    r = applyBlendAmount(r, s, e, p.amount);
    if (p.unpremultiplyResult) r = unpremultiply(r, M);
    return r;
}

// The same with p.method.
inline WorkPixel blendPixel(const PixelBlend& p, const WorkPixel& s, const WorkPixel& e, float M)
{
    WorkPixel r;
    withMethod(p.method, [&](auto m) { r = blendPixelT<decltype(m)::value>(p, s, e, M); });
    return r;
}

}  // namespace Kiln::Wrapper::Blend

#undef KL_BLEND_INLINE
