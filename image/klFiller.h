#pragma once
// Fillers: one constant pixel written over the destination rectangle (the whole
// destination when no rectangle is set), following the field mode.
#include "image/klImgProc.h"

#include <algorithm>

template <class Px>
class KlImgFiller : public KlImgProc<Px> {
public:
    void setColour(const Px& c) { colour_ = c; }
    const Px& colour() const { return colour_; }

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty()) return;
        this->forEachRow([&](int32_t y) {
            Px* p = this->destination_->pixelAddress(r.x0, y);
            std::fill_n(p, r.width(), colour_);
        });
    }

private:
    Px colour_{};  // 0 in every channel: transparent black
};

namespace Kiln {
// A blank frame of one colour; unconfigured it is transparent black.
template <class Px>
class ColouredFrameGenerator : public KlImgFiller<Px> { };
}  // namespace Kiln
