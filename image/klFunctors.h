#pragma once
// Per-pixel functors and the processors that apply them.
//
// Functor1<Px, F> applies f(Px&) in place to every pixel of its destination rectangle;
// Functor2<Src, Dst, F> applies f(const Src&, Dst&) with the source pixel at the same
// global position (source edge handling applies outside the source). Both follow the
// field mode and run on all threads.
//
// The functors work in the stored range of their pixel type (M = 255, 32768 or 1) and
// store integer channels by truncation.
#include "image/klImgProc.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Kiln::Processor {

// One channel (memory index) clamped to [low, high]; the others are untouched.
template <class Px>
struct ClampChannel {
    int channel = 0;
    float low = 0.0f;
    float high = Px::M;

    void operator()(Px& p) const
    {
        using W = typename Px::WorkChannel;
        W v = static_cast<W>(p[channel]);
        v = std::min<W>(std::max<W>(v, static_cast<W>(low)), static_cast<W>(high));
        p[channel] = Pixel::storeChannel<typename Px::Channel>(v);
    }
};

// Colour channels times alpha / M: 8 bits in integers (by 255, truncating), every other depth in the
// working type.
template <class Px>
struct MultiplyByAlpha {
    void operator()(Px& p) const
    {
        static_assert(Px::alphaIndex >= 0, "needs an alpha channel");
        constexpr int A = Px::alphaIndex;
        if constexpr (Px::isInteger && sizeof(typename Px::Channel) == 1) {
            const uint32_t a = p[A];
            for (int c = 0; c < Px::channels; ++c)
                if (c != A)
                    p[c] = static_cast<typename Px::Channel>(static_cast<uint32_t>(p[c]) * a /
                                                             static_cast<uint32_t>(Px::maxInt));
        } else {
            using W = typename Px::WorkChannel;
            const W a = static_cast<W>(p[A]);
            for (int c = 0; c < Px::channels; ++c)
                if (c != A)
                    p[c] = Pixel::storeChannel<typename Px::Channel>(static_cast<W>(p[c]) * a /
                                                                     static_cast<W>(Px::maxInt));
        }
    }
};

// Colour channels times M / alpha, clamped to [0, M], where alpha > 1/65535; other
// pixels are left as they are.
template <class Px>
struct UnMultiplyByAlpha {
    void operator()(Px& p) const
    {
        static_assert(Px::alphaIndex >= 0, "needs an alpha channel");
        constexpr int A = Px::alphaIndex;
        using W = typename Px::WorkChannel;
        const W a = static_cast<W>(p[A]);
        if (!(a > static_cast<W>(1.5259022e-5f))) return;
        const W k = static_cast<W>(Px::maxInt) / a;
        const W m = static_cast<W>(Px::maxInt);
        for (int c = 0; c < Px::channels; ++c)
            if (c != A) {
                W v = static_cast<W>(p[c]) * k;
                v = v < W(0) ? W(0) : (v > m ? m : v);
                p[c] = Pixel::storeChannel<typename Px::Channel>(v);
            }
    }
};

// Alpha set to M.
template <class Px>
struct WhitePointAlpha {
    void operator()(Px& p) const
    {
        static_assert(Px::alphaIndex >= 0, "needs an alpha channel");
        p[Px::alphaIndex] = static_cast<typename Px::Channel>(Px::maxInt);
    }
};

// Destination alpha := source alpha (no rescaling between types).
template <class Src, class Dst = Src>
struct CopyAlpha {
    void operator()(const Src& s, Dst& d) const
    {
        d[Dst::alphaIndex] = Pixel::storeChannel<typename Dst::Channel>(s[Src::alphaIndex]);
    }
#ifdef __SSE2__
    // n pixels side by side of one type: the alpha channel's bytes copied 16 bytes at a time.
    void run(const Src* s, Dst* d, int32_t n) const
        requires(std::is_same_v<Src, Dst> && 16 % sizeof(Src) == 0 &&
                 sizeof(Src) == Src::channels * sizeof(typename Src::Channel))
    {
        constexpr size_t P = sizeof(Src), C = sizeof(typename Src::Channel), A = size_t(Src::alphaIndex) * C;
        alignas(16) unsigned char m[16];
        for (size_t b = 0; b < 16; ++b) m[b] = b % P >= A && b % P < A + C ? 0xff : 0;
        const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(m));
        const auto* from = reinterpret_cast<const unsigned char*>(s);
        auto* to = reinterpret_cast<unsigned char*>(d);
        const size_t bytes = size_t(std::max(n, 0)) * P;
        size_t k = 0;
        for (; k + 16 <= bytes; k += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(to + k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + k),
                             _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b)));
        }
        for (size_t i = k / P; i < size_t(std::max(n, 0)); ++i) (*this)(s[i], d[i]);
    }
#endif
};

// Destination colour channels := source colour channels.
template <class Src, class Dst = Src>
struct CopyRGB {
    void operator()(const Src& s, Dst& d) const
    {
        d.r = Pixel::storeChannel<typename Dst::Channel>(s.r);
        d.g = Pixel::storeChannel<typename Dst::Channel>(s.g);
        d.b = Pixel::storeChannel<typename Dst::Channel>(s.b);
    }
};

// Applies F to every destination pixel of the rectangle, in place.
template <class Px, class F>
class Functor1 : public KlImgProc<Px> {
public:
    explicit Functor1(F f = F()) : f_(f) { }
    F& functor() { return f_; }

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty()) return;
        const int32_t n = r.width();
        this->forEachRow([&](int32_t y) {
            Px* p = this->destination_->pixelAddress(r.x0, y);
            for (int32_t i = 0; i < n; ++i) f_(p[i]);
        });
    }

private:
    F f_;
};

// f(source pixel, out[x - x0]) for the pixels x0..x1 of row y of `source` (read through its window and
// edges): one row of Functor2, for a stage that finishes its own rows.
template <class Src, class Dst, class F>
void applyToRow(F& f, const KlTexture<Src>& source, int32_t y, int32_t x0, int32_t x1, Dst* out)
{
    source.forEachRun(y, x0, x1, [&](int32_t xs, int32_t n, const Src* s, int32_t step) {
        Dst* o = out + (xs - x0);
        // A functor may take a run of pixels side by side at once, where the run is not written while it
        // is read (the same pixels, or apart).
        if constexpr (requires { f.run(s, o, n); }) {
            const uintptr_t a = reinterpret_cast<uintptr_t>(s);
            const uintptr_t b = reinterpret_cast<uintptr_t>(o);
            const size_t bytes = size_t(std::max(n, 0)) * sizeof(Src);
            if (step == 1 && (a == b || a + bytes <= b || b + bytes <= a)) {
                f.run(s, o, n);
                return;
            }
        }
        for (int32_t i = 0; i < n; ++i, s += step) f(*s, o[i]);
    });
}

// Applies F(source pixel, destination pixel) over the rectangle; the source is read in
// runs with its own edge handling.
template <class Src, class Dst, class F>
class Functor2 : public KlImgProc<Dst> {
public:
    explicit Functor2(F f = F()) : f_(f) { }
    F& functor() { return f_; }
    void setSource(const KlTexture<Src>* s) { source_ = s; }
    const KlTexture<Src>* source() const { return source_; }

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty() || source_ == nullptr) return;
        this->forEachRow([&](int32_t y) {
            applyToRow(f_, *source_, y, r.x0, r.x1, this->destination_->pixelAddress(r.x0, y));
        });
    }

private:
    F f_;
    const KlTexture<Src>* source_ = nullptr;
};

}  // namespace Kiln::Processor
