#pragma once
// Image processors: the base of every image stage.
//
// A KlImgProc writes a destination texture over an output rectangle (global
// coordinates; set inclusive, kept with exclusive ends). Without a rectangle it covers
// the whole destination. A stage overrides process() and walks its rows:
//
//     void process() override {
//         const KlRect r = this->clippedRect();
//         this->forEachRow([&](int32_t y) {
//             Px* out = this->destination()->pixelAddress(r.x0, y);
//             ... columns r.x0 .. r.x1 - 1 ...
//         });
//     }
//
// forEachRow gives the calling thread's band, snapped to the field mode (0 every row,
// 1 even rows, 2 odd rows), and checks the interrupt once per row. Bands are disjoint,
// so every row is written by exactly one thread.
#include "image/klMultiProcessor.h"
#include "image/klTexture.h"

#include <cstdint>

// Rectangle with exclusive ends: columns x0 .. x1 - 1, rows y0 .. y1 - 1.
struct KlRect {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t x1 = 0;
    int32_t y1 = 0;

    bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
    int32_t width() const { return x1 > x0 ? x1 - x0 : 0; }
    int32_t height() const { return y1 > y0 ? y1 - y0 : 0; }
    KlRect intersect(const KlRect& o) const;
    bool operator==(const KlRect&) const = default;
};

// Rows of the calling thread: begin, begin + step, ... while < end.
struct KlRowRange {
    int32_t begin;
    int32_t end;
    int32_t step;
};

// The geometry shared by all image processors (independent of the pixel type).
class KlImgProcBase : public KlMultiProcessor {
public:
    static constexpr int kRectStackDepth = 10;

    // Inclusive corners; stored with exclusive ends x1 + 1, y1 + 1.
    void setRectangle(int32_t x0, int32_t y0, int32_t x1, int32_t y1);
    // A rectangle that already has exclusive ends.
    void setRect(const KlRect& r);
    void clearRectangle() { rectSet_ = false; }
    bool hasRectangle() const { return rectSet_; }
    // The rectangle as set (meaningful when hasRectangle()).
    const KlRect& rectangle() const { return rect_; }
    // The rectangle, or the default area (the destination) when none is set.
    KlRect outputRect() const { return rectSet_ ? rect_ : defaultRect(); }
    // outputRect() limited to the memory of the image written.
    KlRect clippedRect() const;

    // Saves the rectangle (and whether it is set); 0 when 10 are already saved.
    int pushRectangle();
    // Restores the last saved rectangle; 0 when none is saved.
    int popRectangle();
    int rectangleStackSize() const { return stackSize_; }

    // 0 whole frame, 1 even rows, 2 odd rows.
    void setFieldMode(int32_t mode) { fieldMode_ = mode; }
    int32_t fieldMode() const { return fieldMode_; }
    // First row of the field at or after y.
    static int32_t snapRow(int32_t y, int32_t fieldMode);
    static int32_t rowStep(int32_t fieldMode) { return (fieldMode == 1 || fieldMode == 2) ? 2 : 1; }

    void setPixelScale(float s) { pixelScale_ = s; }
    float pixelScale() const { return pixelScale_; }

    // The calling thread's rows of clippedRect(), snapped to the field mode.
    KlRowRange rowRange() const;

    // Calls f(y) for each of the calling thread's rows, checking shouldStop() before each.
    template <class F>
    void forEachRow(F&& f) const
    {
        const KlRowRange r = rowRange();
        for (int32_t y = r.begin; y < r.end; y += r.step) {
            if (shouldStop()) return;
            f(y);
        }
    }

protected:
    // The area covered when no rectangle is set.
    virtual KlRect defaultRect() const { return {}; }
    // The memory area of the image written (global coordinates); clippedRect() keeps inside it.
    virtual KlRect memoryRect() const { return defaultRect(); }

private:
    KlRect rect_;
    bool rectSet_ = false;
    KlRect stack_[kRectStackDepth];
    bool stackSet_[kRectStackDepth] = {};
    int stackSize_ = 0;
    int32_t fieldMode_ = 0;
    float pixelScale_ = 1.0f;
};

// Whole area of a texture in global coordinates.
template <class Px>
inline KlRect klTextureRect(const KlTexture<Px>& t)
{
    return {t.originX(), t.originY(), t.originX() + t.width(), t.originY() + t.height()};
}
// The part of a texture that has memory, in global coordinates.
template <class Px>
inline KlRect klTextureMemoryRect(const KlTexture<Px>& t)
{
    if (t.isNull()) return {};
    const KlTexAxis& x = t.xAxis();
    const KlTexAxis& y = t.yAxis();
    return {x.origin2 + x.regionStart, y.origin2 + y.regionStart, x.origin2 + x.regionStart + x.regionLen,
            y.origin2 + y.regionStart + y.regionLen};
}

template <class Px>
class KlImgProc : public KlImgProcBase {
public:
    using Pixel = Px;
    using Work = typename Px::Work;
    using Texture = KlTexture<Px>;

    void setDestination(Texture* t) { destination_ = t; }
    Texture* destination() const { return destination_; }

protected:
    KlRect defaultRect() const override { return destination_ ? klTextureRect(*destination_) : KlRect{}; }
    KlRect memoryRect() const override
    {
        return destination_ ? klTextureMemoryRect(*destination_) : KlRect{};
    }

    Texture* destination_ = nullptr;
};

namespace Kiln {
// The processor base used by the warp stages; the same as KlImgProc.
template <class Px>
using Imager = KlImgProc<Px>;
}  // namespace Kiln
