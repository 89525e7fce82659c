#pragma once
// Fisheye lens warp.
//
// A warper maps an output position to the source position that is read there. Positions
// are in pixels with pixel centres at integer + 0.5. KlLensWarper bends the inside of an
// ellipse: a point at normalised radius r is read from radius r*k / (1 + (k-1)*r^2), so the
// rim maps to itself, the centre is scaled by k (k < 1 bulges, k > 1 pinches) and the
// outside is untouched. KlWarpRender runs a warper over an image.
//
// The caller decides whether the lens runs at all: the effect skips the stage when
// |lensStrength| <= 0.1, and sets k = exp(-lensStrength).

#include "image/klImgProc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Kiln {

struct KlPoint {
    float x = 0.0f, y = 0.0f;
};

struct KlBox {
    float x0 = 0.0f, y0 = 0.0f, x1 = 0.0f, y1 = 0.0f;
};

// Horizontal extent of the warped area on one row; empty when the row misses it.
struct KlSpan {
    float xa = 0.0f, xb = 0.0f;
    bool hit = false;
};

// 2-D affine transform: (x, y) -> (m[0]*x + m[3]*y + m[6], m[1]*x + m[4]*y + m[7]).
// Each building step is applied after the steps before it.
struct KlAffine {
    float m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    KlPoint apply(KlPoint p) const
    {
        return {m[0] * p.x + m[3] * p.y + m[6], m[1] * p.x + m[4] * p.y + m[7]};
    }
    void translate(float tx, float ty);
    void scale(float sx, float sy);
    void rotate(float radians);
    // Inverse; a singular transform gives the zero map (every point to the origin).
    KlAffine inverse() const;
};

class KlWarper {
public:
    virtual ~KlWarper();
    // Box of the area the warp can move; outside it every point is its own source.
    virtual KlBox boundingBox() const = 0;
    // Extent of the warped area on the row whose centre line is y + 0.5.
    virtual KlSpan rowSpan(int y) const = 0;
    virtual void normal(KlPoint p, float out[3]) const;
    // Source position of p; returns a shading number (r^2 * s for the lens).
    virtual float warp(KlPoint& p) const = 0;
    virtual float warp(KlPoint& p, float amount) const = 0;
    virtual void rebuild() = 0;
    // Source positions of the pixel centres x0+0.5 .. x1-0.5 on row y, written as x, y pairs.
    // One virtual call per row; the default loops over warp().
    virtual void warpRow(int y, int x0, int x1, float* xy) const;
};

class KlLensWarper : public KlWarper {
public:
    KlLensWarper();

    void setRadii(float rx, float ry);
    void setAngle(float radians);
    void setCentre(float cx, float cy) { centreX_ = cx, centreY_ = cy; }
    void setAspect(float aspect) { aspect_ = aspect; }
    void setStrength(float k) { k_ = k; }

    float radiusX() const { return radiusX_; }
    float radiusY() const { return radiusY_; }
    float invRadiusX() const { return invRadiusX_; }
    float invRadiusY() const { return invRadiusY_; }
    float strength() const { return k_; }
    const KlAffine& toUnit() const { return toUnit_; }
    const KlAffine& fromUnit() const { return fromUnit_; }

    KlBox boundingBox() const override;
    KlSpan rowSpan(int y) const override;
    float warp(KlPoint& p) const override;
    float warp(KlPoint& p, float amount) const override;
    void rebuild() override;
    void warpRow(int y, int x0, int x1, float* xy) const override;

    // The radial scale s for squared unit radius r2 and strength k: k / (1 + (k-1)*r2).
    // Returns 1 (no move) outside the unit circle, for r2 too small to divide by, and
    // wherever the scale is not a finite number.
    static float radialScale(float r2, float k);

private:
    float aspect_ = 1.0f;
    float radiusX_ = 50.0f, radiusY_ = 50.0f;
    float invRadiusX_ = 0.02f, invRadiusY_ = 0.02f;
    float centreX_ = 0.0f, centreY_ = 0.0f;
    float angle_ = 0.0f, cosA_ = 1.0f, sinA_ = 0.0f;
    KlAffine toUnit_, fromUnit_;
    float k_ = 1.0f;
};

namespace Warp {
// A warped coordinate as a pixel index for nearest filtering: truncation toward zero, with NaN
// and values beyond +-2^24 held at +-2^24 (far outside any image) so the conversion is defined.
inline int32_t nearestIndex(float v)
{
    constexpr float kFar = 16777216.0f;
    if (!(v > -kFar)) return -16777216;
    if (!(v < kFar)) return 16777216;
    return int32_t(v);
}
// A warped coordinate made safe for bilinear sampling (same limits).
inline float safeCoordinate(float v)
{
    constexpr float kFar = 16777216.0f;
    return v > -kFar ? (v < kFar ? v : kFar) : -kFar;
}
// floor(v) as an integer, the same value as std::floor without its slow generic sequence;
// v is first held inside +-2^30 (NaN ends at the low end) so the conversion is defined.
inline int32_t floorIndex(float v)
{
    constexpr float kLimit = 1073741824.0f;
    v = v > -kLimit ? (v < kLimit ? v : kLimit) : -kLimit;
    const int32_t t = int32_t(v);
    return float(t) > v ? t - 1 : t;
}
// Whole columns floor(xa) .. ceil(xb) of a span, clamped into [lo, hi]; false when empty.
bool spanColumns(const KlSpan& s, int32_t lo, int32_t hi, int32_t& a, int32_t& b);

// A source of four 8-bit channels read directly: left/upper neighbours i with lo <= i < hi have
// both neighbours in memory.
struct DirectSource8 {
    const uint8_t* data = nullptr;  // memory row 0, column 0
    ptrdiff_t rowBytes = 0;
    float originX = 0.0f, originY = 0.0f;
    int32_t xlo = 0, xhi = 0, ylo = 0, yhi = 0;
    int32_t regionX = 0, regionY = 0;
};
// Whether bilinear8() can run here (AVX2); testing may turn it off.
bool hasBilinear8();
void useBilinear8ForTesting(bool on);
// Eight bilinear samples at xy (x, y pairs), each lane with exactly the arithmetic of
// KlWarpRender's direct path, written to out (8 pixels) when every lane's neighbours lie in the
// source; returns false, writing nothing, when any does not.
bool bilinear8(const DirectSource8& s, const float* xy, uint8_t* out);
}  // namespace Warp

// Renders a warp: every destination pixel of the rectangle reads the source at its warped
// position. Rows outside the warper's bounding box, and the columns of a row outside its span,
// are copied straight from the source in runs. Filter 0 takes the source pixel at the truncated
// warped position, 1 (and 2, area, which the effect does not use) a bilinear sample; both go
// through the source's edge modes. Warped values are stored by truncation.
template <class Px>
class KlWarpRender : public Imager<Px> {
public:
    enum Filter : int32_t { Nearest = 0, Bilinear = 1, Area = 2 };

    void setWarper(const KlWarper* w) { warper_ = w; }
    void setSource(const KlTexture<Px>* s) { source_ = s; }
    void setFilter(int32_t mode) { filter_ = mode; }
    int32_t filter() const { return filter_; }

    void process() override
    {
        const KlRect r = this->clippedRect();
        if (r.isEmpty() || source_ == nullptr) return;
        const KlBox box = warper_ ? warper_->boundingBox() : KlBox{0.0f, 0.0f, 0.0f, -1.0f};
        std::vector<float> xy(size_t(r.width()) * 2);
        this->forEachRow([&](int32_t y) {
            Px* out = this->destination()->pixelAddress(r.x0, y);
            int32_t a = 0, b = -1;
            // A row is warped only where its pixel centres can fall inside the box.
            const float yc = float(y) + 0.5f;
            if (yc >= box.y0 && yc <= box.y1) {
                if (!Warp::spanColumns(warper_->rowSpan(y), r.x0, r.x1 - 1, a, b)) b = a - 1;
            }
            if (b < a) {
                source_->copyRow(y, r.x0, r.x1, out);
                return;
            }
            if (a > r.x0) source_->copyRow(y, r.x0, a, out);
            if (b + 1 < r.x1) source_->copyRow(y, b + 1, r.x1, out + (b + 1 - r.x0));
            warper_->warpRow(y, a, b + 1, xy.data());
            Px* o = out + (a - r.x0);
            const float* p = xy.data();
            const int32_t n = b + 1 - a;
            if (filter_ == Nearest) {
                for (int32_t i = 0; i < n; ++i, p += 2)
                    o[i] = source_->sampleNearest(Warp::nearestIndex(p[0]), Warp::nearestIndex(p[1]));
            } else {
                bilinearRow(p, n, o);
            }
        });
    }

    // The source's bilinear samples at n positions (x, y pairs), stored by truncation. Where all
    // four neighbours lie inside the source they are read directly and blended four channels at
    // a time with exactly the texture's arithmetic (top, bottom, then between them); elsewhere
    // the texture's own sampler handles the edges.
    void bilinearRow(const float* xy, int32_t n, Px* out) const
    {
        const KlTexAxis& ax = source_->xAxis();
        const KlTexAxis& ay = source_->yAxis();
        // Left/upper neighbours i with i and i + 1 both in the valid window and in memory.
        const int32_t xlo = std::max(ax.lo, ax.regionStart), xhi = std::min(ax.hi, ax.regionEnd);
        const int32_t ylo = std::max(ay.lo, ay.regionStart), yhi = std::min(ay.hi, ay.regionEnd);
        const uint32_t xspan = uint32_t(int64_t(xhi) - xlo), yspan = uint32_t(int64_t(yhi) - ylo);
        const bool direct = Px::channels == 4 && !source_->isNull() && xhi > xlo && yhi > ylo;
        auto one = [&](const float* p) {
            const float x = Warp::safeCoordinate(p[0]), y = Warp::safeCoordinate(p[1]);
            if constexpr (Px::channels == 4) {
                const float u = x - 0.5f - ax.originF, v = y - 0.5f - ay.originF;
                const int32_t iu = Warp::floorIndex(u), iv = Warp::floorIndex(v);
                if (direct && uint32_t(iu - xlo) < xspan && uint32_t(iv - ylo) < yspan) {
                    const Px* r0 = source_->rowAt(iv - ay.regionStart) + (iu - ax.regionStart);
                    const Px* r1 = source_->rowAt(iv + 1 - ay.regionStart) + (iu - ax.regionStart);
                    const float fx = u - float(iu), fy = v - float(iv);
                    const F4 wx = {fx, fx, fx, fx}, wy = {fy, fy, fy, fy};
                    const F4 a = load(r0[0]), b = load(r0[1]), d = load(r1[0]), e = load(r1[1]);
                    const F4 top = a + (b - a) * wx;
                    const F4 bottom = d + (e - d) * wx;
                    return store(top + (bottom - top) * wy);
                }
            }
            return Px::fromWork(source_->sampleBilinear(x, y));
        };
        int32_t i = 0;
        // 8-bit pixels eight at a time where the processor allows; a group with any neighbour
        // outside the source goes pixel by pixel.
        if constexpr (Px::channels == 4 && std::is_same_v<typename Px::Channel, uint8_t>) {
            if (direct && Warp::hasBilinear8()) {
                Warp::DirectSource8 s;
                s.data = reinterpret_cast<const uint8_t*>(source_->rowAt(0));
                s.rowBytes = source_->rowBytes();
                s.originX = ax.originF;
                s.originY = ay.originF;
                s.xlo = xlo, s.xhi = xhi, s.ylo = ylo, s.yhi = yhi;
                s.regionX = ax.regionStart;
                s.regionY = ay.regionStart;
                for (; i + 8 <= n; i += 8)
                    if (!Warp::bilinear8(s, xy + 2 * i, reinterpret_cast<uint8_t*>(out + i)))
                        for (int32_t j = i; j < i + 8; ++j) out[j] = one(xy + 2 * j);
            }
        }
        for (; i < n; ++i) out[i] = one(xy + 2 * i);
    }

private:
    typedef float F4 __attribute__((vector_size(16)));

    static F4 load(const Px& p)
    {
        using Ch = typename Px::Channel;
#ifdef __SSE2__
        if constexpr (std::is_same_v<Ch, uint8_t>) {
            int32_t word;
            std::memcpy(&word, &p, 4);
            const __m128i z = _mm_setzero_si128();
            const __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), z), z);
            return F4(_mm_cvtepi32_ps(v));
        } else if constexpr (std::is_same_v<Ch, uint16_t>) {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&p));
            return F4(_mm_cvtepi32_ps(_mm_unpacklo_epi16(v, _mm_setzero_si128())));
        }
#endif
        F4 f;
        for (int c = 0; c < 4; ++c) f[c] = static_cast<float>(p[c]);
        return f;
    }

    // A blend of stored values stays inside the channel range, so the conversions are defined.
    static Px store(F4 w)
    {
        using Ch = typename Px::Channel;
        Px out;
        if constexpr (std::is_same_v<Ch, float>) {
            std::memcpy(&out, &w, sizeof out);
            return out;
        }
#ifdef __SSE2__
        if constexpr (std::is_same_v<Ch, uint8_t>) {
            const __m128i i = _mm_cvttps_epi32(__m128(w));
            const __m128i b = _mm_packus_epi16(_mm_packs_epi32(i, i), _mm_setzero_si128());
            const int32_t word = _mm_cvtsi128_si32(b);
            std::memcpy(&out, &word, 4);
            return out;
        } else if constexpr (std::is_same_v<Ch, uint16_t>) {
            __m128i i = _mm_cvttps_epi32(__m128(w));
            i = _mm_srai_epi32(_mm_slli_epi32(i, 16), 16);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(&out), _mm_packs_epi32(i, i));
            return out;
        }
#endif
        for (int c = 0; c < 4; ++c) out[c] = Pixel::storeChannel<Ch>(w[c]);
        return out;
    }

    const KlWarper* warper_ = nullptr;
    const KlTexture<Px>* source_ = nullptr;
    int32_t filter_ = Bilinear;
};

}  // namespace Kiln
