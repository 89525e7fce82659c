#pragma once
// Scan lines: every row of the picture darkened by a factor that repeats down the frame.
//
// Row factor for spacing s > 1: ((y mod s) / s) * 0.75 + 0.25 in single precision, anchored at
// row 0 of the frame (not at the top of the rectangle): the first row of each period is the
// darkest at 0.25. Every channel, alpha included, is multiplied by the factor and stored by
// truncation toward zero. The effect runs the stage in place (source = destination) and only
// when s > 1.
#include "image/klImgProc.h"

#include <cstdint>

namespace Kiln {

namespace ScanLines {
// 1 when spacing <= 1.
float rowFactor(int32_t y, int32_t spacing);
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
        this->forEachRow([&](int32_t y) {
            const float f = ScanLines::rowFactor(y, spacing_);
            Px* out = this->destination()->pixelAddress(r.x0, y);
            if constexpr (std::is_same_v<Ch, uint8_t>) {
                // One table per row: 256 products instead of one per channel.
                uint8_t table[256];
                for (int v = 0; v < 256; ++v) table[v] = Pixel::storeChannel<uint8_t>(float(v) * f);
                src->forEachRun(y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
                    Px* o = out + (xs - r.x0);
                    for (int32_t i = 0; i < n; ++i, s += step)
                        for (int c = 0; c < Px::channels; ++c) o[i][c] = table[(*s)[c]];
                });
            } else {
                src->forEachRun(y, r.x0, r.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
                    Px* o = out + (xs - r.x0);
                    for (int32_t i = 0; i < n; ++i, s += step)
                        for (int c = 0; c < Px::channels; ++c)
                            o[i][c] = Pixel::storeChannel<Ch>(static_cast<float>((*s)[c]) * f);
                });
            }
        });
    }

private:
    const KlTexture<Px>* source_ = nullptr;
    int32_t spacing_ = 0;
};

}  // namespace Kiln
