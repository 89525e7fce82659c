#pragma once
// KlAnalyserProc: the smallest and largest value of each channel of an image over a
// rectangle (the whole image when none is set). Each band keeps its own extremes; they
// are merged on the calling thread after the pass, so the result does not depend on the
// thread split.
#include "image/klImgProc.h"

#include <algorithm>
#include <vector>

template <class Px>
class KlAnalyserProc : public KlImgProcBase {
public:
    using Work = typename Px::Work;
    using W = typename Px::WorkChannel;

    void setImage(const KlTexture<Px>* image) { image_ = image; }
    const KlTexture<Px>* image() const { return image_; }

    // Valid after a run that saw at least one pixel (found()).
    bool found() const { return found_; }
    const Work& minimum() const { return min_; }
    const Work& maximum() const { return max_; }

    void beforePass() override
    {
        bands_.assign(static_cast<size_t>(std::max<int32_t>(1, threadCount())), Band{});
        found_ = false;
    }

    void process() override
    {
        const KlRect r = clippedRect();
        if (r.isEmpty() || image_ == nullptr) return;
        const int32_t index = currentThreadIndex();
        if (index < 0 || static_cast<size_t>(index) >= bands_.size()) return;
        Band b = bands_[static_cast<size_t>(index)];
        forEachRow([&](int32_t y) {
            const Px* p = image_->pixelAddress(r.x0, y);
            for (int32_t i = 0; i < r.width(); ++i) {
                for (int c = 0; c < Px::channels; ++c) {
                    const W v = static_cast<W>(p[i][c]);
                    if (!b.any || v < b.lo[c]) b.lo[c] = v;
                    if (!b.any || v > b.hi[c]) b.hi[c] = v;
                }
                b.any = true;
            }
        });
        bands_[static_cast<size_t>(index)] = b;
    }

    void afterPass() override
    {
        for (const Band& b : bands_) {
            if (!b.any) continue;
            for (int c = 0; c < Px::channels; ++c) {
                if (!found_ || b.lo[c] < min_[c]) min_[c] = b.lo[c];
                if (!found_ || b.hi[c] > max_[c]) max_[c] = b.hi[c];
            }
            found_ = true;
        }
    }

protected:
    KlRect defaultRect() const override { return image_ ? klTextureRect(*image_) : KlRect{}; }
    KlRect memoryRect() const override { return image_ ? klTextureMemoryRect(*image_) : KlRect{}; }

private:
    struct Band {
        Work lo{};
        Work hi{};
        bool any = false;
    };
    const KlTexture<Px>* image_ = nullptr;
    std::vector<Band> bands_;
    Work min_{};
    Work max_{};
    bool found_ = false;
};
