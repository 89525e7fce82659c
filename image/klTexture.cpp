#include "image/klTexture.h"

#include <algorithm>

namespace {

int32_t clampTo(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Remainder with the sign of the dividend, as C++ gives it.
int64_t remSigned(int64_t a, int64_t n) { return a % n; }

}  // namespace

void KlTexAxis::setup(int32_t newSize, int32_t newOrigin)
{
    size = newSize < 0 ? 0 : newSize;
    origin = newOrigin;
    origin2 = newOrigin;
    originF = static_cast<float>(newOrigin);
    flags = 0;
    regionStart = 0;
    regionEnd = size - 1;
    regionLen = size;
    wantLo = 0;
    wantHi = size - 1;
    clipWindow();
}

void KlTexAxis::setRegion(int32_t start, int32_t end)
{
    if (size <= 0) {
        regionStart = 0;
        regionEnd = -1;
        regionLen = 0;
        flags &= ~kRegionSet;
        clipWindow();
        return;
    }
    start = clampTo(start, 0, size - 1);
    end = clampTo(end, 0, size - 1);
    if (start > end) std::swap(start, end);
    regionStart = start;
    regionEnd = end;
    regionLen = end - start + 1;
    if (start == 0 && end == size - 1)
        flags &= ~kRegionSet;
    else
        flags |= kRegionSet;
    clipWindow();
}

void KlTexAxis::setClipToRegion(bool on)
{
    if (on)
        flags |= kClipToRegion;
    else
        flags &= ~kClipToRegion;
    clipWindow();
}

void KlTexAxis::setWindow(int32_t newLo, int32_t newHi)
{
    if (newLo > newHi) std::swap(newLo, newHi);
    wantLo = newLo;
    wantHi = newHi;
    clipWindow();
}

void KlTexAxis::resetWindow()
{
    regionStart = 0;
    regionEnd = size - 1;
    regionLen = size;
    flags &= ~kRegionSet;
    wantLo = 0;
    wantHi = size - 1;
    clipWindow();
}

void KlTexAxis::clipWindow()
{
    if (size <= 0) {
        lo = 0;
        hi = -1;
        count = 0;
        fastLo_ = 0;
        fastHi_ = -1;
        return;
    }
    lo = clampTo(wantLo, 0, size - 1);
    hi = clampTo(wantHi, 0, size - 1);
    if (lo > hi) std::swap(lo, hi);
    if ((flags & kClipToRegion) && regionLen > 0) {
        lo = clampTo(lo, regionStart, regionEnd);
        hi = clampTo(hi, regionStart, regionEnd);
    }
    count = hi - lo + 1;
    fastLo_ = std::max(lo, regionStart);
    fastHi_ = std::min(hi, regionEnd);
}

KlTexIndexPair KlTexAxis::indexPairSlow(int32_t i) const
{
    const int64_t n = count;
    if (n <= 0) return {-1, -1, false};
    const int64_t d = static_cast<int64_t>(i) - lo;
    int64_t i0, i1;
    bool flag = false;
    if (d >= 0 && d < n - 1) {
        i0 = i;
        i1 = static_cast<int64_t>(i) + 1;
        flag = true;
    } else if (d < 0) {
        switch (edgeMode) {
        case KlEdgeRepeat: i0 = i1 = lo; break;
        case KlEdgeReflect: {
            const int64_t m = -d - 1, q = m / n, r = m % n;
            if (q % 2 == 0) {
                i0 = r;
                i1 = r == 0 ? 0 : r - 1;
            } else {
                const int64_t t = remSigned(d + 1, n) + n - 1;
                i0 = t;
                if (t == n - 1) {
                    i1 = t;
                } else {
                    i1 = t + 1;
                    flag = true;
                }
            }
            i0 += lo;
            i1 += lo;
            break;
        }
        case KlEdgeWrap: {
            const int64_t t = remSigned(d + 1, n) + n - 1;
            i0 = t;
            i1 = (t + 1) % n;
            flag = i1 == i0 + 1;
            i0 += lo;
            i1 += lo;
            break;
        }
        default:  // colour, and any unknown mode
            i0 = -1;
            i1 = d == -1 ? lo : -1;
            break;
        }
    } else {
        switch (edgeMode) {
        case KlEdgeRepeat: i0 = i1 = hi; break;
        case KlEdgeReflect: {
            const int64_t q = d / n;
            if (q % 2 == 1) {
                const int64_t t = n - d % n;
                i0 = t - 1;
                i1 = t == 1 ? 0 : t - 2;
            } else {
                i0 = d % n;
                if (i0 == n - 1) {
                    i1 = i0;
                } else {
                    i1 = i0 + 1;
                    flag = true;
                }
            }
            i0 += lo;
            i1 += lo;
            break;
        }
        case KlEdgeWrap:
            i0 = d % n;
            i1 = (i0 + 1) % n;
            flag = i1 == i0 + 1;
            i0 += lo;
            i1 += lo;
            break;
        default:
            i1 = -1;
            i0 = d == n - 1 ? hi : -1;
            break;
        }
    }
    // Memory indices: relative to the region, -1 where there is no memory.
    auto toMemory = [this](int64_t idx) -> int32_t {
        if (idx < 0) return -1;
        const int64_t m = idx - regionStart;
        return (m >= 0 && m < regionLen) ? static_cast<int32_t>(m) : -1;
    };
    const int32_t m0 = toMemory(i0), m1 = toMemory(i1);
    if (m0 < 0 || m1 < 0) flag = false;
    return {m0, m1, flag};
}

KlTexRun KlTexAxis::run(int32_t c) const
{
    const int64_t n = count;
    if (n <= 0) return {-1, 0, kEndless};
    const int64_t d = static_cast<int64_t>(c) - origin2;
    int64_t index, length;
    int32_t dir;
    if (d < lo) {
        const int64_t toWindow = lo - d;
        switch (edgeMode) {
        case KlEdgeRepeat:
            index = lo;
            dir = 0;
            length = toWindow;
            break;
        case KlEdgeReflect:
            if (n == 1) {
                index = lo;
                dir = 0;
                length = toWindow;
            } else {
                const int64_t m = lo - d - 1, q = m / n, r = m % n;
                if (q % 2 == 0) {
                    index = lo + r;
                    dir = -1;
                    length = r + 1;
                } else {
                    const int64_t t = remSigned(d - lo + 1, n) + n - 1;
                    index = lo + t;
                    dir = 1;
                    length = n - t;
                }
            }
            break;
        case KlEdgeWrap:
            if (n == 1) {
                index = lo;
                dir = 0;
                length = toWindow;
            } else {
                const int64_t t = remSigned(d - lo + 1, n) + n - 1;
                index = lo + t;
                dir = 1;
                length = n - t;
            }
            break;
        default:
            index = -1;
            dir = 0;
            length = toWindow;
            break;
        }
    } else if (d <= hi) {
        index = d;
        dir = 1;
        length = hi - d + 1;
    } else {
        const int64_t e = d - lo;
        switch (edgeMode) {
        case KlEdgeRepeat:
            index = hi;
            dir = 0;
            length = kEndless;
            break;
        case KlEdgeReflect:
        case KlEdgeWrap:
            if (n == 1) {
                index = lo;
                dir = 0;
                length = kEndless;
            } else if (edgeMode == KlEdgeReflect && (e / n) % 2 == 1) {
                const int64_t s = n - e % n - 1;
                index = lo + s;
                dir = -1;
                length = s + 1;
            } else {
                const int64_t r = e % n;
                index = lo + r;
                dir = 1;
                length = n - r;
            }
            break;
        default:
            index = -1;
            dir = 0;
            length = kEndless;
            break;
        }
    }
    if (length > kEndless) length = kEndless;
    if (index < 0) return {-1, 0, static_cast<int32_t>(length)};

    // Keep the run inside the memory: outside it reads the edge colour until it enters.
    const int64_t m = index - regionStart;
    const int64_t len = regionLen;
    if (m >= 0 && m < len) {
        if (dir > 0) length = std::min(length, len - m);
        if (dir < 0) length = std::min(length, m + 1);
        return {static_cast<int32_t>(m), dir, static_cast<int32_t>(length)};
    }
    if (dir > 0 && m < 0) length = std::min(length, -m);
    if (dir < 0 && m >= len) length = std::min(length, m - len + 1);
    return {-1, 0, static_cast<int32_t>(length)};
}

void KlTexIndexer::setupAxes(int32_t width, int32_t height, int32_t originX, int32_t originY)
{
    x_.setup(width, originX);
    y_.setup(height, originY);
    regionFlag_ = 0;
}

void KlTexIndexer::setEdgeModes(int32_t modeX, int32_t modeY)
{
    x_.setEdgeMode(modeX);
    y_.setEdgeMode(modeY);
}

void KlTexIndexer::setRegion(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
    x_.setRegion(x0, x1);
    y_.setRegion(y0, y1);
    regionFlag_ = (x_.flags | y_.flags) & KlTexAxis::kRegionSet;
}

void KlTexIndexer::setClipToRegion(bool on)
{
    x_.setClipToRegion(on);
    y_.setClipToRegion(on);
}

void KlTexIndexer::setWindow(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
    x_.setWindow(x0, x1);
    y_.setWindow(y0, y1);
}

void KlTexIndexer::resetWindow()
{
    x_.resetWindow();
    y_.resetWindow();
    regionFlag_ = 0;
}
