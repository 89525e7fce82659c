#include "image/klImgProc.h"

#include <algorithm>

KlRect KlRect::intersect(const KlRect& o) const
{
    KlRect r{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    if (r.isEmpty()) return {r.x0, r.y0, r.x0, r.y0};
    return r;
}

void KlImgProcBase::setRectangle(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
    rect_ = {x0, y0, x1 + 1, y1 + 1};
    rectSet_ = true;
}

void KlImgProcBase::setRect(const KlRect& r)
{
    rect_ = r;
    rectSet_ = true;
}

KlRect KlImgProcBase::clippedRect() const { return outputRect().intersect(memoryRect()); }

int KlImgProcBase::pushRectangle()
{
    if (stackSize_ >= kRectStackDepth) return 0;
    stack_[stackSize_] = rect_;
    stackSet_[stackSize_] = rectSet_;
    ++stackSize_;
    return 1;
}

int KlImgProcBase::popRectangle()
{
    if (stackSize_ <= 0) return 0;
    --stackSize_;
    rect_ = stack_[stackSize_];
    rectSet_ = stackSet_[stackSize_];
    return 1;
}

int32_t KlImgProcBase::snapRow(int32_t y, int32_t fieldMode)
{
    // Smallest row of the field at or after y (also for negative rows).
    if (fieldMode == 1) return y + (y & 1);
    if (fieldMode == 2) return y | 1;
    return y;
}

KlRowRange KlImgProcBase::rowRange() const
{
    const KlRect r = clippedRect();
    if (r.isEmpty()) return {0, 0, 1};
    const KlRowBand band = bandRows(r.y0, r.y1);
    return {snapRow(band.begin, fieldMode_), band.end, rowStep(fieldMode_)};
}
