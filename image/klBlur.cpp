#include "image/klBlur.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

// The 32-byte vectors of the portable passes stay inside this file (internal functions only),
// so the note that their calling convention differs with AVX does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#pragma GCC diagnostic ignored "-Wpsabi"

namespace Kiln {

namespace Blur {

// Radii beyond this are meaningless for any image and would overflow the sample counts.
static constexpr float kLargestRadius = 16777216.0f;

BoxParams boxParams(float radius)
{
    BoxParams p;
    if (!(radius > 0.0f)) radius = 0.0f;
    radius = std::min(radius, kLargestRadius);
    const float whole = std::trunc(radius);
    p.n = int32_t(whole);
    p.f = radius - whole;
    p.weight = 1.0 / (2.0 * p.n + 1.0 + 2.0 * double(p.f));
    p.reach = p.n + 1;
    return p;
}

float clampSize(float size, int32_t width, int32_t height)
{
    if (!(size > 0.0f)) return 0.0f;
    const float limit = 3.0f * float(std::max(std::max(width, height), 0));
    return std::min(std::min(size, limit), kLargestRadius);
}

namespace {

// The passes work on 4 lanes at a time: portable vector code, and on x86-64 an AVX2 copy chosen
// once at run time where the processor has it. Every lane does the same IEEE operations in the
// same order in both (no fused multiply-add), so both give identical pictures.

typedef float F4 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));

inline D4 load4(const float* p)
{
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, D4);
}

inline void store4(float* p, D4 v)
{
    const F4 f = __builtin_convertvector(v, F4);
    std::memcpy(p, &f, sizeof f);
}

// Output i of a line: samples i - n - 1 (outer), i - n (leave), i + n + 1 (enter).
template <bool Frac>
void line4Generic(const float* in, float* out, int32_t count, int32_t n, float fr, double w, int32_t group, size_t gap)
{
    D4 acc = {0.0, 0.0, 0.0, 0.0};
    for (int32_t j = -n; j <= n; ++j) acc += load4(in + 4 * j);
    const D4 wv = {w, w, w, w};
    const double fd = fr;
    const D4 fv = {fd, fd, fd, fd};
    const float* enter = in + 4 * (n + 1);
    const float* leave = in - 4 * n;
    const float* outer = in - 4 * (n + 1);
    for (int32_t done = 0; done < count; out += gap) {
        const int32_t end = std::min(count, done + group);
        for (; done < end; ++done, enter += 4, leave += 4, outer += 4, out += 4) {
            const D4 e = load4(enter);
            D4 r = acc;
            if constexpr (Frac) r += fv * (load4(outer) + e);
            store4(out, r * wv);
            acc += e - load4(leave);
        }
    }
}

template <bool Frac>
void rowsGeneric(const float* const* in, float* const* out, int32_t count, int32_t lanes, int32_t n, float fr, double w,
                 double* acc, RowSink sink, void* context)
{
    const int32_t vec = lanes & ~3;
    std::fill(acc, acc + lanes, 0.0);
    for (int32_t j = -n; j <= n; ++j) {
        const float* r = in[j];
        for (int32_t l = 0; l < lanes; ++l) acc[l] += double(r[l]);
    }
    const D4 wv = {w, w, w, w};
    const double fd = fr;
    const D4 fv = {fd, fd, fd, fd};
    for (int32_t i = 0; i < count; ++i) {
        const float* enter = in[i + n + 1];
        const float* leave = in[i - n];
        const float* outer = in[i - n - 1];
        float* o = out[i];
        int32_t l = 0;
        for (; l < vec; l += 4) {
            D4 a;
            std::memcpy(&a, acc + l, sizeof a);
            const D4 e = load4(enter + l);
            D4 r = a;
            if constexpr (Frac) r += fv * (load4(outer + l) + e);
            store4(o + l, r * wv);
            a += e - load4(leave + l);
            std::memcpy(acc + l, &a, sizeof a);
        }
        for (; l < lanes; ++l) {
            const double e = enter[l];
            double r = acc[l];
            if constexpr (Frac) r += fd * (double(outer[l]) + e);
            o[l] = float(r * w);
            acc[l] += e - double(leave[l]);
        }
        if (sink) sink(context, i, o);
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KL_BLUR_AVX2 1

template <bool Frac>
__attribute__((target("avx2"))) void line4Avx2(const float* in, float* out, int32_t count, int32_t n, float fr,
                                                 double w, int32_t group, size_t gap)
{
    __m256d acc = _mm256_setzero_pd();
    for (int32_t j = -n; j <= n; ++j) acc = _mm256_add_pd(acc, _mm256_cvtps_pd(_mm_loadu_ps(in + 4 * j)));
    const __m256d wv = _mm256_set1_pd(w), fv = _mm256_set1_pd(fr);
    const float* enter = in + 4 * (n + 1);
    const float* leave = in - 4 * n;
    const float* outer = in - 4 * (n + 1);
    for (int32_t done = 0; done < count; out += gap) {
        const int32_t end = std::min(count, done + group);
        for (; done < end; ++done, enter += 4, leave += 4, outer += 4, out += 4) {
            const __m256d e = _mm256_cvtps_pd(_mm_loadu_ps(enter));
            __m256d r = acc;
            if constexpr (Frac)
                r = _mm256_add_pd(r, _mm256_mul_pd(fv, _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(outer)), e)));
            _mm_storeu_ps(out, _mm256_cvtpd_ps(_mm256_mul_pd(r, wv)));
            acc = _mm256_add_pd(acc, _mm256_sub_pd(e, _mm256_cvtps_pd(_mm_loadu_ps(leave))));
        }
    }
}

template <bool Frac>
__attribute__((target("avx2"))) void rowsAvx2(const float* const* in, float* const* out, int32_t count, int32_t lanes,
                                                int32_t n, float fr, double w, double* acc, RowSink sink,
                                                void* context)
{
    const int32_t vec = lanes & ~3;
    std::fill(acc, acc + lanes, 0.0);
    for (int32_t j = -n; j <= n; ++j) {
        const float* r = in[j];
        for (int32_t l = 0; l < lanes; ++l) acc[l] += double(r[l]);
    }
    const __m256d wv = _mm256_set1_pd(w), fv = _mm256_set1_pd(fr);
    const double fd = fr;
    for (int32_t i = 0; i < count; ++i) {
        const float* enter = in[i + n + 1];
        const float* leave = in[i - n];
        const float* outer = in[i - n - 1];
        float* o = out[i];
        int32_t l = 0;
        for (; l < vec; l += 4) {
            const __m256d a = _mm256_loadu_pd(acc + l);
            const __m256d e = _mm256_cvtps_pd(_mm_loadu_ps(enter + l));
            __m256d r = a;
            if constexpr (Frac)
                r = _mm256_add_pd(r, _mm256_mul_pd(fv, _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(outer + l)), e)));
            _mm_storeu_ps(o + l, _mm256_cvtpd_ps(_mm256_mul_pd(r, wv)));
            _mm256_storeu_pd(acc + l, _mm256_add_pd(a, _mm256_sub_pd(e, _mm256_cvtps_pd(_mm_loadu_ps(leave + l)))));
        }
        for (; l < lanes; ++l) {
            const double e = enter[l];
            double r = acc[l];
            if constexpr (Frac) r += fd * (double(outer[l]) + e);
            o[l] = float(r * w);
            acc[l] += e - double(leave[l]);
        }
        if (sink) sink(context, i, o);
    }
}

std::atomic<bool> portableOnly{false};

bool useAvx2()
{
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes && !portableOnly.load(std::memory_order_relaxed);
}
#endif

void line4(const float* in, float* out, int32_t count, int32_t n, float fr, double w, int32_t group, size_t gap)
{
    group = std::max(group, 1);
#ifdef KL_BLUR_AVX2
    if (useAvx2()) {
        if (fr != 0.0f)
            line4Avx2<true>(in, out, count, n, fr, w, group, gap);
        else
            line4Avx2<false>(in, out, count, n, fr, w, group, gap);
        return;
    }
#endif
    if (fr != 0.0f)
        line4Generic<true>(in, out, count, n, fr, w, group, gap);
    else
        line4Generic<false>(in, out, count, n, fr, w, group, gap);
}

void line1(const float* in, float* out, int32_t count, int32_t n, float fr, double w, int32_t group, size_t gap)
{
    double acc = 0.0;
    for (int32_t j = -n; j <= n; ++j) acc += double(in[j]);
    const double fd = fr;
    group = std::max(group, 1);
    for (int32_t done = 0; done < count; out += gap) {
        const int32_t end = std::min(count, done + group);
        for (int32_t i = done; i < end; ++i) {
            const double e = in[i + n + 1];
            double r = acc;
            if (fr != 0.0f) r += fd * (double(in[i - n - 1]) + e);
            *out++ = float(r * w);
            acc += e - double(in[i - n]);
        }
        done = end;
    }
}

void rows(const float* const* in, float* const* out, int32_t count, int32_t lanes, int32_t n, float fr, double w,
          double* acc, RowSink sink, void* context)
{
#ifdef KL_BLUR_AVX2
    if (useAvx2()) {
        if (fr != 0.0f)
            rowsAvx2<true>(in, out, count, lanes, n, fr, w, acc, sink, context);
        else
            rowsAvx2<false>(in, out, count, lanes, n, fr, w, acc, sink, context);
        return;
    }
#endif
    if (fr != 0.0f)
        rowsGeneric<true>(in, out, count, lanes, n, fr, w, acc, sink, context);
    else
        rowsGeneric<false>(in, out, count, lanes, n, fr, w, acc, sink, context);
}

}  // namespace

void usePortablePassesForTesting(bool on)
{
#ifdef KL_BLUR_AVX2
    portableOnly.store(on);
#else
    (void)on;
#endif
}

namespace {

// Floats -> int32 by truncation, NaN and out-of-range values held inside the int32 range.
inline int32_t truncInt(float f)
{
    f = f > -2147483648.0f ? f : -2147483648.0f;
    f = f < 2147483520.0f ? f : 2147483520.0f;
    return int32_t(f);
}

}  // namespace

void scaleFloats(float* values, size_t count, float factor)
{
    const F4 f = {factor, factor, factor, factor};
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        F4 v;
        std::memcpy(&v, values + i, sizeof v);
        v *= f;
        std::memcpy(values + i, &v, sizeof v);
    }
    for (; i < count; ++i) values[i] *= factor;
}

void toFloats(const uint8_t* in, float* out, size_t count)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i lo = _mm_unpacklo_epi8(b, zero), hi = _mm_unpackhi_epi8(b, zero);
        _mm_storeu_ps(out + i, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
        _mm_storeu_ps(out + i + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
        _mm_storeu_ps(out + i + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
        _mm_storeu_ps(out + i + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
    }
#endif
    for (; i < count; ++i) out[i] = float(in[i]);
}

void toFloats(const uint16_t* in, float* out, size_t count)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_ps(out + i, _mm_cvtepi32_ps(_mm_unpacklo_epi16(b, zero)));
        _mm_storeu_ps(out + i + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(b, zero)));
    }
#endif
    for (; i < count; ++i) out[i] = float(in[i]);
}

#ifdef __SSE2__
namespace {
inline __m128i truncInt4(const float* p)
{
    __m128 f = _mm_loadu_ps(p);
    f = _mm_max_ps(f, _mm_set1_ps(-2147483648.0f));  // max_ps returns the second operand for NaN
    f = _mm_min_ps(f, _mm_set1_ps(2147483520.0f));
    return _mm_cvttps_epi32(f);
}
}  // namespace
#endif

void fromFloats(const float* in, uint8_t* out, size_t count)
{
    size_t i = 0;
#ifdef __SSE2__
    // Low 8 bits of each int32, then packs that cannot saturate.
    const __m128i mask = _mm_set1_epi32(0xff);
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_and_si128(truncInt4(in + i), mask), b = _mm_and_si128(truncInt4(in + i + 4), mask);
        const __m128i c = _mm_and_si128(truncInt4(in + i + 8), mask), d = _mm_and_si128(truncInt4(in + i + 12), mask);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
#endif
    for (; i < count; ++i) out[i] = uint8_t(truncInt(in[i]));
}

void fromFloats(const float* in, uint16_t* out, size_t count)
{
    size_t i = 0;
#ifdef __SSE2__
    // Low 16 bits sign-extended, so the signed pack keeps them unchanged.
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_srai_epi32(_mm_slli_epi32(truncInt4(in + i), 16), 16);
        const __m128i b = _mm_srai_epi32(_mm_slli_epi32(truncInt4(in + i + 4), 16), 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < count; ++i) out[i] = uint16_t(truncInt(in[i]));
}

template <>
void boxPassLine<1>(const float* in, float* out, int32_t count, const BoxParams& p)
{
    line1(in, out, count, p.n, p.f, p.weight, count, 0);
}

template <>
void boxPassLine<4>(const float* in, float* out, int32_t count, const BoxParams& p)
{
    line4(in, out, count, p.n, p.f, p.weight, count, 0);
}

void boxPassLineGrouped(int lanes, const float* in, float* out, int32_t count, const BoxParams& p, int32_t group,
                        size_t gap)
{
    if (lanes == 4)
        line4(in, out, count, p.n, p.f, p.weight, group, gap);
    else
        line1(in, out, count, p.n, p.f, p.weight, group, gap);
}

void boxPassRows(const float* const* in, float* const* out, int32_t count, int32_t lanes, const BoxParams& p,
                 double* acc, RowSink sink, void* context)
{
    rows(in, out, count, lanes, p.n, p.f, p.weight, acc, sink, context);
}

}  // namespace Blur

float KlCachedPrecalculatedKernels::kernelFunction(float x, float radius)
{
    if (!(radius > 0.0f)) return x == 0.0f ? 1.0f : 0.0f;
    const float sigma = radius / 3.0f;
    return std::exp(-(x * x) / (2.0f * sigma * sigma));
}

KlCachedPrecalculatedKernels::Axis KlCachedPrecalculatedKernels::build(float radius)
{
    if (!(radius > 0.0f)) radius = 0.0f;
    radius = std::min(radius, kMaxRadius);
    Axis a;
    a.R = int32_t(std::ceil(radius));
    const int32_t taps = 2 * a.R + 1;
    a.table.resize(size_t(kPhases + 1) * size_t(taps));
    for (int32_t i = 0; i <= kPhases; ++i) {
        const float f = float(i) / float(kPhases);
        float* k = a.table.data() + size_t(i) * size_t(taps);
        double sum = 0.0;
        for (int32_t t = -a.R; t <= a.R; ++t) sum += (k[t + a.R] = kernelFunction(float(t) - f, radius));
        // With radius 0 the phase's only tap may be 0 (f > 0): fall back to the nearest sample.
        if (!(sum > 0.0)) {
            std::fill(k, k + taps, 0.0f);
            k[a.R] = 1.0f;
            continue;
        }
        for (int32_t t = 0; t < taps; ++t) k[t] = float(k[t] / sum);
    }
    return a;
}

KlCachedPrecalculatedKernels::KlCachedPrecalculatedKernels(float radiusX, float radiusY)
{
    axes_[0] = build(radiusX);
    axes_[1] = build(radiusY);
}

const float* KlCachedPrecalculatedKernels::phaseKernel(int axis, int32_t phase) const
{
    const Axis& a = axes_[axis & 1];
    phase = std::clamp<int32_t>(phase, 0, kPhases);
    return a.table.data() + size_t(phase) * size_t(2 * a.R + 1);
}

void KlCachedPrecalculatedKernels::kernelAt(int axis, float f, float* out) const
{
    const int32_t n = taps(axis);
    float frac = std::isfinite(f) ? f - std::floor(f) : 0.0f;
    const float t = std::min(frac * float(kPhases), float(kPhases));
    const int32_t i = std::min<int32_t>(int32_t(t), kPhases - 1);
    const float u = t - float(i);
    const float* k0 = phaseKernel(axis, i);
    const float* k1 = phaseKernel(axis, i + 1);
    for (int32_t k = 0; k < n; ++k) out[k] = k0[k] + (k1[k] - k0[k]) * u;
}

}  // namespace Kiln
