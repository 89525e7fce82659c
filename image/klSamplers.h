#pragma once
// Samplers: processors that read a source texture and write the destination.
//
// SimpleCopySampler copies the source into the destination over the rectangle, pixel
// (x, y) from source pixel (x, y) with the source's edge handling. Rows are walked as
// runs: inside the source window a row is one block copy. ChannelCopySampler copies only
// the channels whose flag is 1. Source and destination have the same channel order;
// values are not rescaled between types.
#include "image/klImgProc.h"

#include <cstdint>

namespace Kiln {

template <class Src, class Dst = Src>
class Sampler : public KlImgProc<Dst> {
public:
    void setSource(const KlTexture<Src>* s) { source_ = s; }
    const KlTexture<Src>* source() const { return source_; }

protected:
    const KlTexture<Src>* source_ = nullptr;
};

// The per-row worker of the copy.
template <class Src, class Dst = Src>
struct SimpleLineCopier {
    // Source row y, columns [x0, x1), into out[0 .. x1 - x0).
    static void copyLine(const KlTexture<Src>& src, int32_t y, int32_t x0, int32_t x1, Dst* out)
    {
        src.copyRow(y, x0, x1, out);
    }
};

template <class Src, class Dst = Src>
class SimpleCopySampler : public Sampler<Src, Dst> {
public:
    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty() || this->source_ == nullptr) return;
        this->forEachRow([&](int32_t y) {
            SimpleLineCopier<Src, Dst>::copyLine(*this->source_, y, r.x0, r.x1,
                                                 this->destination_->pixelAddress(r.x0, y));
        });
    }
};

// Copies the channels whose flag is 1 (R, G, B, A); the others keep their values.
template <class Src, class Dst, int R, int G, int B, int A>
class ChannelCopySampler : public Sampler<Src, Dst> {
public:
    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty() || this->source_ == nullptr) return;
        this->forEachRow([&](int32_t y) {
            Dst* out = this->destination_->pixelAddress(r.x0, y);
            this->source_->forEachRun(y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Src* s, int32_t step) {
                Dst* o = out + (xs - r.x0);
                for (int32_t i = 0; i < n; ++i, s += step) copyPixel(*s, o[i]);
            });
        });
    }

    static void copyPixel(const Src& s, Dst& d)
    {
        using C = typename Dst::Channel;
        if constexpr (R != 0) d.r = Pixel::storeChannel<C>(s.r);
        if constexpr (G != 0) d.g = Pixel::storeChannel<C>(s.g);
        if constexpr (B != 0) d.b = Pixel::storeChannel<C>(s.b);
        if constexpr (A != 0) d.a = Pixel::storeChannel<C>(s.a);
    }
};

}  // namespace Kiln
