#pragma once
// Textures: rectangular views of pixel memory with per-axis edge handling.
//
// Coordinates. A texture lives in the global (output) coordinate space: pixel index i
// of an axis sits at global integer coordinate origin + i. For sampling, the centre of
// pixel (0,0) has coordinates (0.5, 0.5): a sample at integer + 0.5 returns the stored
// pixel exactly.
//
// Edge modes, per axis, for indices outside the valid window lo..hi:
//   0 colour  - the texture's edge colour (any value outside 0..3 counts as colour)
//   1 repeat  - the nearest edge pixel
//   2 reflect - mirrored with the edge pixel repeated (period 2n: -1 -> 0, -2 -> 1)
//   3 wrap    - periodic (period n: -1 -> n-1)
//
// Region. Memory may cover only part of an axis (regionStart..regionEnd); the data
// pointer then addresses the region's first pixel and an index outside the region has
// no memory: it reads as the edge colour.
//
// Reading a row walks runs (KlTexAxis::run): inside the window one run covers all
// pixels up to hi, so edge handling costs nothing inside the image.
//
// Textures are read by many threads at once and written only in disjoint rows.
#include "image/klDataHandle.h"
#include "image/klPixel.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <type_traits>
#include <utility>

enum KlEdgeMode : int32_t { KlEdgeColour = 0, KlEdgeRepeat = 1, KlEdgeReflect = 2, KlEdgeWrap = 3 };

// The two indices a bilinear sample reads along one axis (memory indices; -1 means the
// edge colour) and whether they are adjacent in memory (i1 == i0 + 1).
struct KlTexIndexPair {
    int32_t i0;
    int32_t i1;
    bool contiguous;
};

// A run along one axis: starting at memory index `index` (-1: edge colour), the index
// advances by `direction` (+1, -1 or 0) for `length` pixels.
struct KlTexRun {
    int32_t index;
    int32_t direction;
    int32_t length;
};

struct KlTexAxis {
    static constexpr uint32_t kRegionSet = 1;  // a region smaller than the axis is set
    static constexpr uint32_t kClipToRegion = 2;  // the valid window is clipped to the region
    static constexpr int32_t kEndless = 2147483647;

    int32_t size = 0;
    float originF = 0.0f;
    int32_t origin = 0;
    int32_t edgeMode = KlEdgeColour;
    int32_t lo = 0;
    int32_t hi = -1;
    int32_t count = 0;
    int32_t origin2 = 0;
    int32_t regionStart = 0;
    int32_t regionEnd = -1;
    int32_t regionLen = 0;
    uint32_t flags = 0;
    // The window as last requested, before clipping to the region.
    int32_t wantLo = 0;
    int32_t wantHi = -1;

    // Whole axis, valid window = whole axis, no region; keeps the edge mode.
    void setup(int32_t size, int32_t origin);
    void setEdgeMode(int32_t mode) { edgeMode = mode; }
    // Memory covers start..end (clamped into the axis and ordered).
    void setRegion(int32_t start, int32_t end);
    void setClipToRegion(bool on);
    // Valid window lo..hi (inclusive indices; clamped into the axis and ordered).
    void setWindow(int32_t lo, int32_t hi);
    // lo = 0, hi = size - 1, region cleared.
    void resetWindow();

    bool hasRegion() const { return (flags & kRegionSet) != 0; }
    // Pixels of memory along the axis (the region, or the whole axis).
    int32_t memoryLength() const { return regionLen; }

    // Index pair of a bilinear sample whose left/upper neighbour is index i (axis index,
    // not a global coordinate).
    KlTexIndexPair indexPair(int32_t i) const
    {
        if (isInterior(i)) return {i - regionStart, i - regionStart + 1, true};
        return indexPairSlow(i);
    }
    // Whether index i and i + 1 both lie in the window and in memory (pair rule case 1).
    bool isInterior(int32_t i) const { return i >= fastLo_ && i < fastHi_; }
    KlTexIndexPair indexPairSlow(int32_t i) const;

    // Run starting at global coordinate c.
    KlTexRun run(int32_t c) const;

    // Memory index of global coordinate c with edge handling, -1 for the edge colour.
    int32_t resolve(int32_t c) const
    {
        int32_t d = c - origin2;
        if (d >= fastLo_ && d <= fastHi_) return d - regionStart;
        return run(c).index;
    }
    // Memory index of global coordinate c without edge handling, -1 outside the memory.
    int32_t memoryIndex(int32_t c) const
    {
        int32_t m = c - origin2 - regionStart;
        return (m >= 0 && m < regionLen) ? m : -1;
    }

private:
    void clipWindow();
    // Indices i with i and i + 1 both inside the window and the memory are fastLo_ .. fastHi_ - 1.
    int32_t fastLo_ = 0;
    int32_t fastHi_ = -1;
};

// The two axes of a texture.
class KlTexIndexer {
public:
    // Both axes: size and origin (global coordinate of pixel 0).
    void setupAxes(int32_t width, int32_t height, int32_t originX, int32_t originY);
    void setEdgeModes(int32_t modeX, int32_t modeY);
    // Inclusive memory region in axis indices. The texture's data pointer must then
    // address the region's first pixel.
    void setRegion(int32_t x0, int32_t y0, int32_t x1, int32_t y1);
    void setClipToRegion(bool on);
    // Inclusive valid window in axis indices.
    void setWindow(int32_t x0, int32_t y0, int32_t x1, int32_t y1);
    void resetWindow();

    const KlTexAxis& xAxis() const { return x_; }
    const KlTexAxis& yAxis() const { return y_; }
    bool hasRegion() const { return (regionFlag_ & 1u) != 0; }

protected:
    KlTexAxis x_;
    KlTexAxis y_;
    uint32_t regionFlag_ = 0;
};

template <class Px>
class KlTexture : public KlTexIndexer {
public:
    using Pixel = Px;
    using Work = typename Px::Work;
    using WorkChannel = typename Px::WorkChannel;

    // An empty texture (no memory; every read gives the edge colour).
    KlTexture() = default;
    // Own memory of width x height pixels from the host memory service (DataHandle);
    // OutOfMemory when there is none. Pixel contents are undefined.
    KlTexture(int32_t width, int32_t height, int32_t originX = 0, int32_t originY = 0);
    // A view of foreign memory (the host's buffers). rowBytes may be negative for
    // bottom-up memory. keepAlive, when given, is addRef'ed and released with the view.
    KlTexture(Px* data, int32_t width, int32_t height, int32_t rowBytes, int32_t originX = 0,
              int32_t originY = 0, KlRefCounter* keepAlive = nullptr);
    // Same axes, region, window, edge modes and edge colour over new memory of the same
    // geometry. Pixel contents are undefined.
    static KlTexture createLike(const KlTexture& other);

    KlTexture(const KlTexture& o);
    KlTexture(KlTexture&& o) noexcept;
    KlTexture& operator=(const KlTexture& o);
    KlTexture& operator=(KlTexture&& o) noexcept;
    ~KlTexture();

    bool isNull() const { return data_ == nullptr; }
    int32_t width() const { return x_.size; }
    int32_t height() const { return y_.size; }
    int32_t originX() const { return x_.origin; }
    int32_t originY() const { return y_.origin; }
    int32_t rowBytes() const { return rowBytes_; }
    Px* data() const { return data_; }
    KlRefCounter* holder() const { return holder_; }

    void setEdgeColour(const Px& c) { edge_ = c; }
    const Px& edgeColour() const { return edge_; }

    // Address of the pixel at global integer coordinates, nullptr where there is no memory.
    Px* pixelAddress(int32_t x, int32_t y) const
    {
        int32_t xi = x_.memoryIndex(x), yi = y_.memoryIndex(y);
        if (xi < 0 || yi < 0 || data_ == nullptr) return nullptr;
        return rowAt(yi) + xi;
    }
    // Address of memory row yi (memory index), column 0 of the memory.
    Px* rowAt(int32_t yi) const
    {
        return reinterpret_cast<Px*>(reinterpret_cast<char*>(data_) + static_cast<ptrdiff_t>(rowBytes_) * yi);
    }

    // The pixel at global integer coordinates with edge handling on both axes.
    const Px& sampleNearest(int32_t x, int32_t y) const
    {
        int32_t xi = x_.resolve(x), yi = y_.resolve(y);
        if (xi < 0 || yi < 0 || data_ == nullptr) return edge_;
        return rowAt(yi)[xi];
    }

    // Bilinear sample at global coordinates (pixel centres at integer + 0.5).
    Work sampleBilinear(float x, float y) const;
    // The part of sampleBilinear away from the fast path (ix, iy: floor of the axis positions).
    Work sampleEdges(int32_t ix, int32_t iy, float fx, float fy) const;
    // Samples the box (x - rx, y - ry) .. (x + rx, y + ry): the bilinear sample at its centre.
    Work sampleBox(float x, float y, float rx, float ry) const;

    // Walks row y (global) over columns [x0, x1) as runs:
    //   f(int32_t xStart, int32_t count, const Px* src, int32_t step)
    // src is the first source pixel of the run (the edge colour when it has none) and
    // step the pixel step (+1, -1 or 0) between consecutive source pixels.
    template <class F>
    void forEachRun(int32_t y, int32_t x0, int32_t x1, F&& f) const;

    // Copies row y (global) over columns [x0, x1) into out[0 .. x1 - x0), converting the
    // channels to D (same channel order) where the types differ.
    template <class D>
    void copyRow(int32_t y, int32_t x0, int32_t x1, D* out) const;

private:
    void adopt(KlRefCounter* h)
    {
        if (h) h->addRef();
        if (holder_) holder_->release();
        holder_ = h;
    }

    Px* data_ = nullptr;
    Px edge_{};
    int32_t rowBytes_ = 0;
    KlRefCounter* holder_ = nullptr;
};

// ---------------------------------------------------------------------------------------

template <class Px>
KlTexture<Px>::KlTexture(int32_t width, int32_t height, int32_t originX, int32_t originY)
{
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    setupAxes(width, height, originX, originY);
    // Rows start on 16-byte boundaries.
    size_t row = (static_cast<size_t>(width) * sizeof(Px) + 15) & ~size_t(15);
    // A row stride beyond 32 bits cannot be addressed: asking for everything fails as
    // an ordinary "Image allocation".
    const size_t bytes = row > 0x7fffffffu ? SIZE_MAX : row * static_cast<size_t>(height);
    auto* h = new Kiln::Image::DataHandle(bytes);
    holder_ = h;  // count 1 belongs to this texture
    data_ = static_cast<Px*>(h->data());
    rowBytes_ = static_cast<int32_t>(row);
}

template <class Px>
KlTexture<Px>::KlTexture(Px* data, int32_t width, int32_t height, int32_t rowBytes, int32_t originX,
                         int32_t originY, KlRefCounter* keepAlive)
    : data_(data), rowBytes_(rowBytes)
{
    setupAxes(width < 0 ? 0 : width, height < 0 ? 0 : height, originX, originY);
    adopt(keepAlive);
}

template <class Px>
KlTexture<Px> KlTexture<Px>::createLike(const KlTexture& other)
{
    KlTexture t(other.x_.memoryLength(), other.y_.memoryLength(), 0, 0);
    t.x_ = other.x_;
    t.y_ = other.y_;
    t.regionFlag_ = other.regionFlag_;
    t.edge_ = other.edge_;
    return t;
}

template <class Px>
KlTexture<Px>::KlTexture(const KlTexture& o)
    : KlTexIndexer(o), data_(o.data_), edge_(o.edge_), rowBytes_(o.rowBytes_)
{
    adopt(o.holder_);
}

template <class Px>
KlTexture<Px>::KlTexture(KlTexture&& o) noexcept
    : KlTexIndexer(o), data_(o.data_), edge_(o.edge_), rowBytes_(o.rowBytes_), holder_(o.holder_)
{
    o.holder_ = nullptr;
    o.data_ = nullptr;
}

template <class Px>
KlTexture<Px>& KlTexture<Px>::operator=(const KlTexture& o)
{
    if (this != &o) {
        KlTexIndexer::operator=(o);
        data_ = o.data_;
        edge_ = o.edge_;
        rowBytes_ = o.rowBytes_;
        adopt(o.holder_);
    }
    return *this;
}

template <class Px>
KlTexture<Px>& KlTexture<Px>::operator=(KlTexture&& o) noexcept
{
    if (this != &o) {
        KlTexIndexer::operator=(o);
        data_ = o.data_;
        edge_ = o.edge_;
        rowBytes_ = o.rowBytes_;
        if (holder_) holder_->release();
        holder_ = o.holder_;
        o.holder_ = nullptr;
        o.data_ = nullptr;
    }
    return *this;
}

template <class Px>
KlTexture<Px>::~KlTexture()
{
    if (holder_) holder_->release();
}

namespace KlTextureDetail {

// Axis position of a sample: u = coordinate - 0.5 - origin, i = floor(u), f = u - i.
// Far outside (or NaN) every edge mode gives the same answer, so u is kept castable.
inline int32_t floorIndex(float u, float& f)
{
    constexpr float kFar = 1.0e9f;
    u = u > -kFar ? (u < kFar ? u : kFar) : -kFar;
    int32_t i = static_cast<int32_t>(u);
    if (static_cast<float>(i) > u) --i;
    f = u - static_cast<float>(i);
    return i;
}

// top = p00 + (p10 - p00) fx; bottom = p01 + (p11 - p01) fx; top + (bottom - top) fy.
#if defined(__SSE2__)
// The four channels of an 8-bit, 16-bit or float pixel as four floats.
template <class Px>
inline __m128 loadV4(const Px& p)
{
    using C = typename Px::Channel;
    if constexpr (std::is_same_v<C, uint8_t>) {
        int32_t bits;
        std::memcpy(&bits, &p, 4);
        const __m128i zero = _mm_setzero_si128();
        const __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bits), zero), zero);
        return _mm_cvtepi32_ps(v);
    } else if constexpr (std::is_same_v<C, uint16_t>) {
        const __m128i v =
            _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&p)), _mm_setzero_si128());
        return _mm_cvtepi32_ps(v);
    } else {
        return _mm_loadu_ps(reinterpret_cast<const float*>(&p));
    }
}
template <class Px>
inline constexpr bool kV4Pixel = Px::channels == 4 && std::is_same_v<typename Px::WorkChannel, float> &&
                                 (std::is_same_v<typename Px::Channel, uint8_t> ||
                                  std::is_same_v<typename Px::Channel, uint16_t> ||
                                  std::is_same_v<typename Px::Channel, float>);
#endif

template <class Px>
inline typename Px::Work blend(const Px& p00, const Px& p10, const Px& p01, const Px& p11, float fx, float fy)
{
    using W = typename Px::WorkChannel;
#if defined(__SSE2__)
    if constexpr (kV4Pixel<Px>) {
        // The same single-precision steps as below, four channels at a time.
        const __m128 a = loadV4(p00), b = loadV4(p10), d = loadV4(p01), e = loadV4(p11);
        const __m128 vx = _mm_set1_ps(fx), vy = _mm_set1_ps(fy);
        const __m128 top = _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), vx));
        const __m128 bottom = _mm_add_ps(d, _mm_mul_ps(_mm_sub_ps(e, d), vx));
        const __m128 r = _mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), vy));
        typename Px::Work w;
        _mm_storeu_ps(reinterpret_cast<float*>(&w), r);
        return w;
    }
#endif
    const W wx = static_cast<W>(fx), wy = static_cast<W>(fy);
    typename Px::Work w;
    for (int c = 0; c < Px::channels; ++c) {
        const W a = static_cast<W>(p00[c]);
        const W b = static_cast<W>(p10[c]);
        const W d = static_cast<W>(p01[c]);
        const W e = static_cast<W>(p11[c]);
        const W top = a + (b - a) * wx;
        const W bottom = d + (e - d) * wx;
        w[c] = top + (bottom - top) * wy;
    }
    return w;
}

}  // namespace KlTextureDetail

template <class Px>
inline typename KlTexture<Px>::Work KlTexture<Px>::sampleBilinear(float x, float y) const
{
    float fx, fy;
    const int32_t ix = KlTextureDetail::floorIndex(x - 0.5f - x_.originF, fx);
    const int32_t iy = KlTextureDetail::floorIndex(y - 0.5f - y_.originF, fy);
    if (x_.isInterior(ix) && y_.isInterior(iy)) {
        // Fast path: all four neighbours are in memory, no edge test.
        const Px* p00 = rowAt(iy - y_.regionStart) + (ix - x_.regionStart);
        const Px* p01 = reinterpret_cast<const Px*>(reinterpret_cast<const char*>(p00) + rowBytes_);
        return KlTextureDetail::blend(p00[0], p00[1], p01[0], p01[1], fx, fy);
    }
    return sampleEdges(ix, iy, fx, fy);
}

template <class Px>
typename KlTexture<Px>::Work KlTexture<Px>::sampleEdges(int32_t ix, int32_t iy, float fx, float fy) const
{
    const KlTexIndexPair px = x_.indexPair(ix);
    const KlTexIndexPair py = y_.indexPair(iy);
    if ((px.i0 < 0 && px.i1 < 0) || (py.i0 < 0 && py.i1 < 0) || data_ == nullptr) return edge_.toWork();
    const Px* r0 = py.i0 < 0 ? nullptr : rowAt(py.i0);
    const Px* r1 = py.i1 < 0 ? nullptr : rowAt(py.i1);
    const Px& p00 = (r0 && px.i0 >= 0) ? r0[px.i0] : edge_;
    const Px& p10 = (r0 && px.i1 >= 0) ? r0[px.i1] : edge_;
    const Px& p01 = (r1 && px.i0 >= 0) ? r1[px.i0] : edge_;
    const Px& p11 = (r1 && px.i1 >= 0) ? r1[px.i1] : edge_;
    return KlTextureDetail::blend(p00, p10, p01, p11, fx, fy);
}

template <class Px>
typename KlTexture<Px>::Work KlTexture<Px>::sampleBox(float x, float y, float rx, float ry) const
{
    const float x0 = x - rx, x1 = x + rx, y0 = y - ry, y1 = y + ry;
    return sampleBilinear((x0 + x1) * 0.5f, (y0 + y1) * 0.5f);
}

template <class Px>
template <class F>
void KlTexture<Px>::forEachRun(int32_t y, int32_t x0, int32_t x1, F&& f) const
{
    const int32_t yi = y_.resolve(y);
    if (yi < 0 || data_ == nullptr) {
        if (x1 > x0) f(x0, x1 - x0, &edge_, 0);
        return;
    }
    const Px* row = rowAt(yi);
    int32_t x = x0;
    while (x < x1) {
        const KlTexRun r = x_.run(x);
        const int32_t left = x1 - x;
        const int32_t n = r.length < left ? (r.length < 1 ? 1 : r.length) : left;
        if (r.index < 0)
            f(x, n, &edge_, 0);
        else
            f(x, n, row + r.index, r.direction);
        x += n;
    }
}

template <class Px>
template <class D>
void KlTexture<Px>::copyRow(int32_t y, int32_t x0, int32_t x1, D* out) const
{
    forEachRun(y, x0, x1, [&](int32_t xs, int32_t n, const Px* src, int32_t step) {
        D* o = out + (xs - x0);
        if constexpr (std::is_same_v<D, Px>) {
            if (step == 1) {
                std::memcpy(o, src, static_cast<size_t>(n) * sizeof(Px));
                return;
            }
        }
        for (int32_t k = 0; k < n; ++k, src += step) o[k] = Kiln::pixelCast<D>(*src);
    });
}
