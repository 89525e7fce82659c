#pragma once
// Scan lines: every row of the picture darkened by a factor that repeats down the frame.
//
// Row factor for spacing s > 1: ((y mod s) / s) * 0.75 + 0.25 in single precision, anchored at
// row 0 of the frame (not at the top of the rectangle): the first row of each period is the
// darkest at 0.25. Every channel, alpha included, is multiplied by the factor and stored by
// truncation toward zero. The effect runs the stage in place (source = destination) and only
// when s > 1.
#include "image/klBlur.h"
#include "image/klImgProc.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <vector>

namespace Kiln {

namespace ScanLines {
// 1 when spacing <= 1.
float rowFactor(int32_t y, int32_t spacing);

// `count` pixels lying in memory one after another, darkened by `f` where they are: what the stage does
// to a whole row (floats multiplied; stored integers through floats, truncated).
template <class Px>
void scaleRow(Px* row, size_t count, float f)
{
    using Ch = typename Px::Channel;
    Ch* values = reinterpret_cast<Ch*>(row);
    const size_t n = count * Px::channels;
    if constexpr (std::is_same_v<Ch, float>) {
        for (size_t i = 0; i < n; ++i) values[i] *= f;
    } else {
        Blur::scaleStored(values, n, f);
    }
}
}  // namespace ScanLines

template <class Px>
class KlScanLineAdder : public KlImgProc<Px> {
public:
    void setSource(const KlTexture<Px>* s) { source_ = s; }
    void setSpacing(int32_t s) { spacing_ = s; }
    int32_t spacing() const { return spacing_; }

    void process() override
    {
        const KlRect r = this->clippedRect();
        const KlTexture<Px>* src = source_ ? source_ : this->destination();
        if (r.isEmpty() || src == nullptr) return;
        using Ch = typename Px::Channel;
        const size_t values = size_t(r.width()) * Px::channels;
        std::vector<float> line(values);
        this->forEachRow([&](int32_t y) {
            const float f = ScanLines::rowFactor(y, spacing_);
            Px* out = this->destination()->pixelAddress(r.x0, y);
            if constexpr (std::is_same_v<Ch, float>) {
                // A row of floats that lies in memory whole needs no conversion: scaled where it is read.
                // (A row read through edge rules may read pixels this loop has written: that one goes
                // through the line below.)
                const Px* whole = nullptr;
                int32_t runs = 0;
                src->forEachRun(y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
                    ++runs;
                    if (xs == r.x0 && n == r.width() && step == 1) whole = s;
                });
                if (runs == 1 && whole != nullptr && out != nullptr) {
                    if (whole != out) std::copy_n(whole, r.width(), out);
                    ScanLines::scaleRow(out, size_t(r.width()), f);
                    return;
                }
            }
            // The row as floats (runs through the source's edge handling), scaled, stored by truncation.
            src->forEachRun(y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
                float* o = line.data() + size_t(xs - r.x0) * Px::channels;
                if (step == 1) {
                    Blur::toFloats(reinterpret_cast<const Ch*>(s), o, size_t(n) * Px::channels);
                } else {
                    for (int32_t i = 0; i < n; ++i, s += step)
                        for (int c = 0; c < Px::channels; ++c) *o++ = static_cast<float>((*s)[c]);
                }
            });
            Blur::scaleFloats(line.data(), values, f);
            Blur::fromFloats(line.data(), reinterpret_cast<Ch*>(out), values);
        });
    }

private:
    const KlTexture<Px>* source_ = nullptr;
    int32_t spacing_ = 0;
};

}  // namespace Kiln
