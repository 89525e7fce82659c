#include "image/klBlurPasses.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <type_traits>

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
// same order in both (no fused multiply-add), so both give identical pictures. The kernels are
// written for float or double samples; the blur uses float.

typedef float F4 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));

inline D4 load4(const float* p)
{
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, D4);
}
inline D4 load4(const double* p)
{
    D4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store4(float* p, D4 v)
{
    const F4 f = __builtin_convertvector(v, F4);
    std::memcpy(p, &f, sizeof f);
}
inline void store4(double* p, D4 v) { std::memcpy(p, &v, sizeof v); }

// Output i of a line: samples i - n - 1 (outer), i - n (leave), i + n + 1 (enter).
template <bool Frac, class In, class Out>
void line4Generic(const In* in, Out* out, int32_t count, int32_t n, float fr, double w, int32_t group,
                  size_t gap)
{
    D4 acc = {0.0, 0.0, 0.0, 0.0};
    for (int32_t j = -n; j <= n; ++j) acc += load4(in + 4 * j);
    const D4 wv = {w, w, w, w};
    const double fd = fr;
    const D4 fv = {fd, fd, fd, fd};
    const In* enter = in + 4 * (n + 1);
    const In* leave = in - 4 * n;
    const In* outer = in - 4 * (n + 1);
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

template <class In, class Out>
void line1(const In* in, Out* out, int32_t count, int32_t n, float fr, double w, int32_t group, size_t gap)
{
    double acc = 0.0;
    for (int32_t j = -n; j <= n; ++j) acc += double(in[j]);
    const double fd = fr;
    for (int32_t done = 0; done < count; out += gap) {
        const int32_t end = std::min(count, done + group);
        for (int32_t i = done; i < end; ++i) {
            const double e = in[i + n + 1];
            double r = acc;
            if (fr != 0.0f) r += fd * (double(in[i - n - 1]) + e);
            *out++ = Out(r * w);
            acc += e - double(in[i - n]);
        }
        done = end;
    }
}

// The running sums of `lanes` columns: started from rows -n .. n, or carried over in acc.
template <bool Frac, class In, class Out>
void rowsGeneric(const In* const* in, Out* const* out, int32_t count, int32_t lanes, int32_t n, float fr,
                 double w, double* acc, bool resume)
{
    const int32_t vec = lanes & ~3;
    if (!resume) {
        std::fill(acc, acc + lanes, 0.0);
        for (int32_t j = -n; j <= n; ++j) {
            const In* r = in[j];
            for (int32_t l = 0; l < lanes; ++l) acc[l] += double(r[l]);
        }
    }
    const D4 wv = {w, w, w, w};
    const double fd = fr;
    const D4 fv = {fd, fd, fd, fd};
    for (int32_t i = 0; i < count; ++i) {
        const In* enter = in[i + n + 1];
        const In* leave = in[i - n];
        const In* outer = in[i - n - 1];
        Out* o = out[i];
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
            o[l] = Out(r * w);
            acc[l] += e - double(leave[l]);
        }
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KL_BLUR_AVX2 1
#define KL_AVX2 __attribute__((target("avx2"), always_inline)) inline

KL_AVX2 __m256d ld4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
KL_AVX2 __m256d ld4(const double* p) { return _mm256_loadu_pd(p); }
KL_AVX2 void st4(float* p, __m256d v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
KL_AVX2 void st4(double* p, __m256d v) { _mm256_storeu_pd(p, v); }

// Past the caches: the same values, for output read back only much later (p 16-byte aligned).
KL_AVX2 void stream4(float* p, __m256d v) { _mm_stream_ps(p, _mm256_cvtpd_ps(v)); }
KL_AVX2 void stream4(double* p, __m256d v) { _mm256_stream_pd(p, v); }

// Four lanes walked along a line: the running sum, and the converted samples the next step reads
// again (its outer sample is this step's leaving one; with n = 0 its leaving sample is this step's
// entering one), so each sample is converted once where it can be.
struct Lanes4 {
    __m256d acc, outer, leave;
};

template <bool Frac, bool N0, class In>
KL_AVX2 Lanes4 startAvx2(const In* in, int32_t n)
{
    Lanes4 s;
    s.acc = _mm256_setzero_pd();
    for (int32_t j = -n; j <= n; ++j) s.acc = _mm256_add_pd(s.acc, ld4(in + 4 * j));
    s.outer = Frac ? ld4(in - 4 * (n + 1)) : _mm256_setzero_pd();
    s.leave = N0 ? ld4(in) : _mm256_setzero_pd();
    return s;
}

// One output of four lanes: the same operations in the same order as every other pass.
template <bool Frac, bool N0, bool Stream = false, class In, class Out>
KL_AVX2 void stepAvx2(Lanes4& s, const In* enter, const In* leave, Out* o, __m256d wv, __m256d fv)
{
    const __m256d e = ld4(enter);
    const __m256d l = N0 ? s.leave : ld4(leave);
    __m256d r = s.acc;
    if constexpr (Frac) r = _mm256_add_pd(r, _mm256_mul_pd(fv, _mm256_add_pd(s.outer, e)));
    if constexpr (Stream)
        stream4(o, _mm256_mul_pd(r, wv));
    else
        st4(o, _mm256_mul_pd(r, wv));
    s.acc = _mm256_add_pd(s.acc, _mm256_sub_pd(e, l));
    if constexpr (Frac) s.outer = l;
    if constexpr (N0) s.leave = e;
}

// Grouped output is streamed past the caches when asked and aligned for it.
template <class Out>
bool streams(bool asked, const Out* a, const Out* b, size_t gap)
{
    constexpr uintptr_t mask = 4 * sizeof(Out) - 1;
    return asked && gap > 0 && (reinterpret_cast<uintptr_t>(a) & mask) == 0 &&
           (reinterpret_cast<uintptr_t>(b) & mask) == 0;
}

// One or two lines of the same geometry (inB null: one): two independent running sums keep the
// processor busy while each addition waits for the one before it. Each line's arithmetic is that
// of a line on its own.
template <bool Frac, bool N0, bool Stream, class In, class Out>
__attribute__((target("avx2"))) void linesAvx2(const In* inA, Out* outA, const In* inB, Out* outB,
                                               int32_t count, int32_t n, float fr, double w, int32_t group,
                                               size_t gap)
{
    const bool two = inB != nullptr;
    Lanes4 a = startAvx2<Frac, N0>(inA, n);
    Lanes4 b = two ? startAvx2<Frac, N0>(inB, n) : a;
    const __m256d wv = _mm256_set1_pd(w), fv = _mm256_set1_pd(fr);
    const ptrdiff_t enter = 4 * (n + 1), leave = -4 * n;
    for (int32_t done = 0; done < count; outA += gap, outB += gap) {
        const int32_t end = std::min(count, done + group);
        if (two) {
            for (; done < end; ++done, inA += 4, inB += 4, outA += 4, outB += 4) {
                stepAvx2<Frac, N0, Stream>(a, inA + enter, inA + leave, outA, wv, fv);
                stepAvx2<Frac, N0, Stream>(b, inB + enter, inB + leave, outB, wv, fv);
            }
        } else {
            for (; done < end; ++done, inA += 4, outA += 4)
                stepAvx2<Frac, N0, Stream>(a, inA + enter, inA + leave, outA, wv, fv);
        }
    }
    if constexpr (Stream) _mm_sfence();
}

template <class In, class Out>
void linesAvx2(const In* inA, Out* outA, const In* inB, Out* outB, int32_t count, int32_t n, float fr,
               double w, int32_t group, size_t gap, bool past)
{
    const bool stream = streams(past, outA, inB ? outB : outA, gap);
    auto run = [&](auto frac, auto n0, auto str) {
        linesAvx2<decltype(frac)::value, decltype(n0)::value, decltype(str)::value>(
            inA, outA, inB, outB, count, n, fr, w, group, gap);
    };
    using T = std::true_type;
    using F = std::false_type;
    if (fr != 0.0f) {
        if (n == 0)
            stream ? run(T{}, T{}, T{}) : run(T{}, T{}, F{});
        else
            stream ? run(T{}, F{}, T{}) : run(T{}, F{}, F{});
    } else {
        if (n == 0)
            stream ? run(F{}, T{}, T{}) : run(F{}, T{}, F{});
        else
            stream ? run(F{}, F{}, T{}) : run(F{}, F{}, F{});
    }
}

// Eight lanes at a time with their sums held in registers, all rows before the next eight lanes;
// the remaining lanes row by row.
template <bool Frac, bool N0, class In, class Out>
__attribute__((target("avx2"))) void rowsAvx2(const In* const* in, Out* const* out, int32_t count,
                                              int32_t lanes, int32_t n, float fr, double w, double* acc,
                                              bool resume)
{
    const __m256d wv = _mm256_set1_pd(w), fv = _mm256_set1_pd(fr);
    const double fd = fr;
    int32_t l0 = 0;
    for (; l0 + 8 <= lanes; l0 += 8) {
        Lanes4 a, b;
        if (resume) {
            a.acc = _mm256_loadu_pd(acc + l0);
            b.acc = _mm256_loadu_pd(acc + l0 + 4);
        } else {
            a.acc = b.acc = _mm256_setzero_pd();
            for (int32_t j = -n; j <= n; ++j) {
                a.acc = _mm256_add_pd(a.acc, ld4(in[j] + l0));
                b.acc = _mm256_add_pd(b.acc, ld4(in[j] + l0 + 4));
            }
        }
        a.outer = Frac ? ld4(in[-n - 1] + l0) : _mm256_setzero_pd();
        b.outer = Frac ? ld4(in[-n - 1] + l0 + 4) : _mm256_setzero_pd();
        a.leave = N0 ? ld4(in[0] + l0) : _mm256_setzero_pd();
        b.leave = N0 ? ld4(in[0] + l0 + 4) : _mm256_setzero_pd();
        for (int32_t i = 0; i < count; ++i) {
            const In* enter = in[i + n + 1] + l0;
            const In* leave = in[i - n] + l0;
            Out* o = out[i] + l0;
            stepAvx2<Frac, N0>(a, enter, leave, o, wv, fv);
            stepAvx2<Frac, N0>(b, enter + 4, leave + 4, o + 4, wv, fv);
        }
        _mm256_storeu_pd(acc + l0, a.acc);
        _mm256_storeu_pd(acc + l0 + 4, b.acc);
    }
    if (l0 == lanes) return;
    const int32_t rest = lanes - l0;
    double* ar = acc + l0;
    if (!resume) {
        std::fill(ar, ar + rest, 0.0);
        for (int32_t j = -n; j <= n; ++j) {
            const In* r = in[j] + l0;
            for (int32_t l = 0; l < rest; ++l) ar[l] += double(r[l]);
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        const In* enter = in[i + n + 1] + l0;
        const In* leave = in[i - n] + l0;
        const In* outer = in[i - n - 1] + l0;
        Out* o = out[i] + l0;
        for (int32_t l = 0; l < rest; ++l) {
            const double e = enter[l];
            double r = ar[l];
            if constexpr (Frac) r += fd * (double(outer[l]) + e);
            o[l] = Out(r * w);
            ar[l] += e - double(leave[l]);
        }
    }
}

std::atomic<bool> portableOnly{false};

bool useAvx2()
{
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes && !portableOnly.load(std::memory_order_relaxed);
}
#endif

template <class In, class Out>
void line4(const In* in, Out* out, int32_t count, int32_t n, float fr, double w, int32_t group, size_t gap,
           bool past)
{
    group = std::max(group, 1);
#ifdef KL_BLUR_AVX2
    if (useAvx2()) {
        linesAvx2<In, Out>(in, out, nullptr, nullptr, count, n, fr, w, group, gap, past);
        return;
    }
#endif
    (void)past;
    if (fr != 0.0f)
        line4Generic<true>(in, out, count, n, fr, w, group, gap);
    else
        line4Generic<false>(in, out, count, n, fr, w, group, gap);
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

#ifdef KL_BLUR_AVX2
namespace {

// The conversions below, eight or 32 values to a step where the processor has AVX2.
__attribute__((target("avx2"))) size_t toFloatsAvx2(const uint8_t* in, float* out, size_t count)
{
    size_t i = 0;
    for (; i + 32 <= count; i += 32)
        for (size_t k = i; k < i + 32; k += 8) {
            const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + k));
            _mm256_storeu_ps(out + k, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b)));
        }
    return i;
}

__attribute__((target("avx2"))) size_t toFloatsAvx2(const uint16_t* in, float* out, size_t count)
{
    size_t i = 0;
    for (; i + 16 <= count; i += 16)
        for (size_t k = i; k < i + 16; k += 8) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
            _mm256_storeu_ps(out + k, _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(b)));
        }
    return i;
}

KL_AVX2 __m256i truncInt8(const float* p)
{
    __m256 f = _mm256_loadu_ps(p);
    f = _mm256_max_ps(f, _mm256_set1_ps(-2147483648.0f));  // max_ps returns the second operand for NaN
    f = _mm256_min_ps(f, _mm256_set1_ps(2147483520.0f));
    return _mm256_cvttps_epi32(f);
}

// The packs work within each 16-byte half: the halves' order is mended at the end.
__attribute__((target("avx2"))) size_t fromFloatsAvx2(const float* in, uint8_t* out, size_t count)
{
    size_t i = 0;
    const __m256i mask = _mm256_set1_epi32(0xff), order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_and_si256(truncInt8(in + i), mask);
        const __m256i b = _mm256_and_si256(truncInt8(in + i + 8), mask);
        const __m256i c = _mm256_and_si256(truncInt8(in + i + 16), mask);
        const __m256i d = _mm256_and_si256(truncInt8(in + i + 24), mask);
        const __m256i v = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permutevar8x32_epi32(v, order));
    }
    return i;
}

__attribute__((target("avx2"))) size_t fromFloatsAvx2(const float* in, uint16_t* out, size_t count)
{
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = _mm256_srai_epi32(_mm256_slli_epi32(truncInt8(in + i), 16), 16);
        const __m256i b = _mm256_srai_epi32(_mm256_slli_epi32(truncInt8(in + i + 8), 16), 16);
        const __m256i v = _mm256_packs_epi32(a, b);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(v, 0xd8));
    }
    return i;
}

}  // namespace
#endif

void toFloats(const uint8_t* in, float* out, size_t count)
{
    size_t i = 0;
#ifdef KL_BLUR_AVX2
    if (useAvx2()) i = toFloatsAvx2(in, out, count);
#endif
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
#ifdef KL_BLUR_AVX2
    if (useAvx2()) i = toFloatsAvx2(in, out, count);
#endif
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
#ifdef KL_BLUR_AVX2
    if (useAvx2()) i = fromFloatsAvx2(in, out, count);
#endif
#ifdef __SSE2__
    // Low 8 bits of each int32, then packs that cannot saturate.
    const __m128i mask = _mm_set1_epi32(0xff);
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_and_si128(truncInt4(in + i), mask),
                      b = _mm_and_si128(truncInt4(in + i + 4), mask);
        const __m128i c = _mm_and_si128(truncInt4(in + i + 8), mask),
                      d = _mm_and_si128(truncInt4(in + i + 12), mask);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
#endif
    for (; i < count; ++i) out[i] = uint8_t(truncInt(in[i]));
}

void fromFloats(const float* in, uint16_t* out, size_t count)
{
    size_t i = 0;
#ifdef KL_BLUR_AVX2
    if (useAvx2()) i = fromFloatsAvx2(in, out, count);
#endif
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

#ifdef KL_BLUR_AVX2
namespace {

// Sixteen stored values times the factor, truncated as fromFloats stores them (held inside the int32
// range, the low bits kept).
__attribute__((target("avx2"), always_inline)) inline __m256i scaledInts(__m256i v, __m256 f)
{
    __m256 x = _mm256_mul_ps(_mm256_cvtepi32_ps(v), f);
    x = _mm256_max_ps(x, _mm256_set1_ps(-2147483648.0f));  // max_ps returns the second operand for NaN
    x = _mm256_min_ps(x, _mm256_set1_ps(2147483520.0f));
    return _mm256_cvttps_epi32(x);
}

__attribute__((target("avx2"))) size_t scaleStoredAvx2(uint16_t* values, size_t count, float factor)
{
    const __m256 f = _mm256_set1_ps(factor);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i));
        const __m256i a = scaledInts(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(v)), f);
        const __m256i b = scaledInts(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1)), f);
        // Low 16 bits sign-extended, so the signed pack keeps them; the pack works lane by lane.
        const __m256i packed = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_slli_epi32(a, 16), 16),
                                                  _mm256_srai_epi32(_mm256_slli_epi32(b, 16), 16));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(values + i), _mm256_permute4x64_epi64(packed, 0xd8));
    }
    return i;
}

__attribute__((target("avx2"))) size_t scaleStoredAvx2(uint8_t* values, size_t count, float factor)
{
    const __m256 f = _mm256_set1_ps(factor);
    const __m256i low = _mm256_set1_epi32(0xff);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
        const __m256i a = _mm256_and_si256(scaledInts(_mm256_cvtepu8_epi32(v), f), low);
        const __m256i b = _mm256_and_si256(scaledInts(_mm256_cvtepu8_epi32(_mm_srli_si128(v, 8)), f), low);
        // Packs that cannot saturate; each works lane by lane.
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xd8);
        const __m128i bytes =
            _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + i), bytes);
    }
    return i;
}

}  // namespace
#endif

namespace {

template <class T>
void scaleStoredValues(T* values, size_t count, float factor)
{
    size_t i = 0;
#ifdef KL_BLUR_AVX2
    if (useAvx2()) i = scaleStoredAvx2(values, count, factor);
#endif
    for (; i < count; ++i) values[i] = T(truncInt(float(values[i]) * factor));
}

}  // namespace

void scaleStored(uint8_t* values, size_t count, float factor) { scaleStoredValues(values, count, factor); }
void scaleStored(uint16_t* values, size_t count, float factor) { scaleStoredValues(values, count, factor); }

template <>
void boxPassLine<1>(const float* in, float* out, int32_t count, const BoxParams& p)
{
    line1(in, out, count, p.n, p.f, p.weight, count, 0);
}

template <>
void boxPassLine<4>(const float* in, float* out, int32_t count, const BoxParams& p)
{
    line4(in, out, count, p.n, p.f, p.weight, count, 0, false);
}

template <class In, class Out>
void boxPassLinePair(int lanes, const In* inA, Out* outA, const In* inB, Out* outB, int32_t count,
                     const BoxParams& p, int32_t group, size_t gap, bool past)
{
    group = std::max(group, 1);
#ifdef KL_BLUR_AVX2
    if (lanes == 4 && useAvx2()) {
        linesAvx2<In, Out>(inA, outA, inB, outB, count, p.n, p.f, p.weight, group, gap, past);
        return;
    }
#endif
    for (int k = 0; k < 2; ++k) {
        const In* in = k == 0 ? inA : inB;
        Out* out = k == 0 ? outA : outB;
        if (in == nullptr) continue;
        if (lanes == 4)
            line4(in, out, count, p.n, p.f, p.weight, group, gap, past);
        else
            line1(in, out, count, p.n, p.f, p.weight, group, gap);
    }
}

template <class In, class Out>
void boxPassRows(const In* const* in, Out* const* out, int32_t count, int32_t lanes, const BoxParams& p,
                 double* acc, bool resume)
{
    const float fr = p.f;
#ifdef KL_BLUR_AVX2
    if (useAvx2()) {
        if (fr != 0.0f)
            (p.n == 0 ? rowsAvx2<true, true, In, Out> : rowsAvx2<true, false, In, Out>)(in, out, count, lanes,
                                                                                        p.n, fr, p.weight,
                                                                                        acc, resume);
        else
            (p.n == 0
                 ? rowsAvx2<false, true, In, Out>
                 : rowsAvx2<false, false, In, Out>)(in, out, count, lanes, p.n, fr, p.weight, acc, resume);
        return;
    }
#endif
    if (fr != 0.0f)
        rowsGeneric<true>(in, out, count, lanes, p.n, fr, p.weight, acc, resume);
    else
        rowsGeneric<false>(in, out, count, lanes, p.n, fr, p.weight, acc, resume);
}

#define KL_BLUR_PASSES(In, Out)                                                                              \
    template void boxPassLinePair<In, Out>(int, const In*, Out*, const In*, Out*, int32_t, const BoxParams&, \
                                           int32_t, size_t, bool);                                           \
    template void boxPassRows<In, Out>(const In* const*, Out* const*, int32_t, int32_t, const BoxParams&,    \
                                       double*, bool);
KL_BLUR_PASSES(float, float)
#undef KL_BLUR_PASSES

}  // namespace Blur

}  // namespace Kiln
