#include "effect/klLensWarper.h"

#include <atomic>
#include <cfloat>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KL_LENS_AVX2 1
#endif

namespace Kiln {

namespace {

// after ∘ before: the transform that applies `before` first.
KlAffine compose(const KlAffine& after, const KlAffine& before)
{
    const float* a = after.m;
    const float* b = before.m;
    KlAffine r;
    r.m[0] = a[0] * b[0] + a[3] * b[1];
    r.m[1] = a[1] * b[0] + a[4] * b[1];
    r.m[3] = a[0] * b[3] + a[3] * b[4];
    r.m[4] = a[1] * b[3] + a[4] * b[4];
    r.m[6] = a[0] * b[6] + a[3] * b[7] + a[6];
    r.m[7] = a[1] * b[6] + a[4] * b[7] + a[7];
    return r;
}

bool tinyRadius(float r) { return std::fabs(r) < 2.3509887e-38f; }

}  // namespace

void KlAffine::translate(float tx, float ty)
{
    KlAffine t;
    t.m[6] = tx;
    t.m[7] = ty;
    *this = compose(t, *this);
}

void KlAffine::scale(float sx, float sy)
{
    KlAffine t;
    t.m[0] = sx;
    t.m[4] = sy;
    *this = compose(t, *this);
}

void KlAffine::rotate(float radians)
{
    const float c = std::cos(radians), s = std::sin(radians);
    KlAffine t;
    t.m[0] = c;
    t.m[1] = s;
    t.m[3] = -s;
    t.m[4] = c;
    *this = compose(t, *this);
}

KlAffine KlAffine::inverse() const
{
    const double det = double(m[0]) * m[4] - double(m[3]) * m[1];
    KlAffine r;
    if (det == 0.0 || !std::isfinite(det)) {
        r.m[0] = r.m[4] = 0.0f;
        return r;
    }
    const double i0 = m[4] / det, i1 = -m[1] / det, i3 = -m[3] / det, i4 = m[0] / det;
    r.m[0] = float(i0);
    r.m[1] = float(i1);
    r.m[3] = float(i3);
    r.m[4] = float(i4);
    r.m[6] = float(-(i0 * m[6] + i3 * m[7]));
    r.m[7] = float(-(i1 * m[6] + i4 * m[7]));
    return r;
}

KlWarper::~KlWarper() = default;

void KlWarper::normal(KlPoint, float out[3]) const
{
    out[0] = 0.0f;
    out[1] = 0.0f;
    out[2] = 1.0f;
}

void KlWarper::warpRow(int y, int x0, int x1, float* xy) const
{
    for (int x = x0; x < x1; ++x, xy += 2) {
        KlPoint p{float(x) + 0.5f, float(y) + 0.5f};
        warp(p);
        xy[0] = p.x;
        xy[1] = p.y;
    }
}

KlLensWarper::KlLensWarper() { rebuild(); }

void KlLensWarper::setRadii(float rx, float ry)
{
    radiusX_ = rx;
    radiusY_ = ry;
    invRadiusX_ = tinyRadius(rx) ? 0.0f : 1.0f / rx;
    invRadiusY_ = tinyRadius(ry) ? 0.0f : 1.0f / ry;
}

void KlLensWarper::setAngle(float radians)
{
    angle_ = radians;
    cosA_ = std::cos(-radians);
    sinA_ = std::sin(-radians);
}

void KlLensWarper::rebuild()
{
    toUnit_ = KlAffine();
    toUnit_.translate(-centreX_, -centreY_);
    toUnit_.scale(aspect_, 1.0f);
    if (angle_ != 0.0f) {
        KlAffine r;
        r.m[0] = cosA_;
        r.m[1] = sinA_;
        r.m[3] = -sinA_;
        r.m[4] = cosA_;
        toUnit_ = compose(r, toUnit_);
    }
    toUnit_.scale(invRadiusX_, invRadiusY_);
    fromUnit_ = toUnit_.inverse();
}

float KlLensWarper::radialScale(float r2, float k)
{
    if (!(r2 < 1.0f) || std::fabs(r2) < FLT_MIN) return 1.0f;
    const float den = 1.0f + (k - 1.0f) * r2;
    if (std::fabs(den) < FLT_MIN) return 1.0f;
    const float s = k / den;
    return std::isfinite(s) ? s : 1.0f;
}

KlBox KlLensWarper::boundingBox() const
{
    const bool zx = invRadiusX_ == 0.0f, zy = invRadiusY_ == 0.0f;
    if (zx && zy) return {centreX_, centreY_, centreX_, centreY_ - 1.0f};  // empty: nothing moves
    if (zx || zy || aspect_ == 0.0f) return {-FLT_MAX, -FLT_MAX, FLT_MAX, FLT_MAX};
    // The unit circle mapped back: half extents are the lengths of fromUnit's rows.
    const float* f = fromUnit_.m;
    const float hx = std::sqrt(f[0] * f[0] + f[3] * f[3]);
    const float hy = std::sqrt(f[1] * f[1] + f[4] * f[4]);
    return {f[6] - hx, f[7] - hy, f[6] + hx, f[7] + hy};
}

KlSpan KlLensWarper::rowSpan(int y) const
{
    if (invRadiusX_ == 0.0f && invRadiusY_ == 0.0f) return {};  // radius 0: nothing moves
    const float yc = float(y) + 0.5f;
    const KlPoint q0 = toUnit_.apply({0.0f, yc});
    const KlPoint q1 = toUnit_.apply({100.0f, yc});
    const double qx = q0.x, qy = q0.y, dx = double(q1.x) - qx, dy = double(q1.y) - qy;
    const double a = dx * dx + dy * dy, b = 2.0 * (qx * dx + qy * dy), c = qx * qx + qy * qy - 1.0;
    KlSpan whole{-FLT_MAX, FLT_MAX, true};
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c))
        return whole;  // let warp() decide per pixel
    if (a < 1e-300) return c < 0.0 ? whole : KlSpan{};
    const double disc = b * b - 4.0 * a * c;
    if (!(disc >= 0.0)) return {};
    const double root = std::sqrt(disc);
    const double t1 = (-b - root) / (2.0 * a), t2 = (-b + root) / (2.0 * a);
    const KlPoint p1 = fromUnit_.apply({float(qx + t1 * dx), float(qy + t1 * dy)});
    const KlPoint p2 = fromUnit_.apply({float(qx + t2 * dx), float(qy + t2 * dy)});
    if (!std::isfinite(p1.x) || !std::isfinite(p2.x)) return whole;
    return p1.x <= p2.x ? KlSpan{p1.x, p2.x, true} : KlSpan{p2.x, p1.x, true};
}

float KlLensWarper::warp(KlPoint& p) const
{
    const KlPoint u = toUnit_.apply(p);
    const float r2 = u.x * u.x + u.y * u.y;
    if (!(r2 < 1.0f)) return 1.0f;
    if (std::fabs(r2) < FLT_MIN) return 0.0f;
    const float s = radialScale(r2, k_);
    if (s != 1.0f) {
        p.x = centreX_ + (p.x - centreX_) * s;
        p.y = centreY_ + (p.y - centreY_) * s;
    }
    return r2 * s;
}

float KlLensWarper::warp(KlPoint& p, float amount) const
{
    const float k = (k_ - 1.0f) * amount + 1.0f;
    if (std::fabs(k) < FLT_MIN) return 0.0f;
    const float dx = p.x - centreX_, dy = p.y - centreY_;
    const float ux = invRadiusX_ * dx, uy = invRadiusY_ * dy;
    const float r2 = ux * ux + uy * uy;
    if (!(r2 < 1.0f)) return 1.0f;
    if (std::fabs(r2) < FLT_MIN) return 0.0f;
    const float s = radialScale(r2, k);
    if (s != 1.0f) {
        p.x = centreX_ + dx * s;
        p.y = centreY_ + dy * s;
    }
    return r2 * s;
}

namespace {

typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

}  // namespace

void KlLensWarper::warpRow(int y, int x0, int x1, float* xy) const
{
    const float* m = toUnit_.m;
    const float yc = float(y) + 0.5f;
    // Same association as KlAffine::apply, so warpRow and warp agree to the bit.
    const float uy0 = m[3] * yc, uy1 = m[4] * yc;
    const float k = k_, cx = centreX_, cy = centreY_;
    // Four pixels at a time; every lane does exactly the operations of the single-pixel tail.
    const F4 m0 = {m[0], m[0], m[0], m[0]}, m1 = {m[1], m[1], m[1], m[1]};
    const F4 a0 = {uy0, uy0, uy0, uy0}, a1 = {uy1, uy1, uy1, uy1};
    const F4 t0 = {m[6], m[6], m[6], m[6]}, t1 = {m[7], m[7], m[7], m[7]};
    const F4 one = {1.0f, 1.0f, 1.0f, 1.0f}, tiny = {FLT_MIN, FLT_MIN, FLT_MIN, FLT_MIN};
    const F4 kv = {k, k, k, k}, km1 = kv - one;
    const F4 cxv = {cx, cx, cx, cx}, cyv = {cy, cy, cy, cy}, ycv = {yc, yc, yc, yc}, half = one * 0.5f;
    const F4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
    int x = x0;
    for (; x + 4 <= x1; x += 4, xy += 8) {
        const I4 xi = {x, x + 1, x + 2, x + 3};
        const F4 px = __builtin_convertvector(xi, F4) + half;
        const F4 ux = m0 * px + a0 + t0, uy = m1 * px + a1 + t1;
        const F4 r2 = ux * ux + uy * uy;
        const F4 den = one + km1 * r2;
        const F4 adn = den < zero ? -den : den;
        const I4 usable = (r2 < one) & (r2 >= tiny) & (adn >= tiny);
        const F4 s = usable ? kv / (usable ? den : one) : one;
        const I4 moved = (s != one) & ((s - s) == zero);  // s - s is 0 only for a finite s
        const F4 wx = moved ? cxv + (px - cxv) * s : px;
        const F4 wy = moved ? cyv + (ycv - cyv) * s : ycv;
        for (int i = 0; i < 4; ++i) {
            xy[2 * i] = wx[i];
            xy[2 * i + 1] = wy[i];
        }
    }
    for (; x < x1; ++x, xy += 2) {
        const float px = float(x) + 0.5f;
        const float ux = m[0] * px + uy0 + m[6], uy = m[1] * px + uy1 + m[7];
        const float r2 = ux * ux + uy * uy;
        float s = 1.0f;
        if (r2 < 1.0f && r2 >= FLT_MIN) {
            const float den = 1.0f + (k - 1.0f) * r2;
            if (std::fabs(den) >= FLT_MIN) s = k / den;
        }
        // Unmoved points keep their exact position so that they sample the pixel itself.
        if (s != 1.0f && std::isfinite(s)) {
            xy[0] = cx + (px - cx) * s;
            xy[1] = cy + (yc - cy) * s;
        } else {
            xy[0] = px;
            xy[1] = yc;
        }
    }
}

}  // namespace Kiln

namespace Kiln::Warp {

bool spanColumns(const KlSpan& s, int32_t lo, int32_t hi, int32_t& a, int32_t& b)
{
    if (!s.hit || lo > hi) return false;
    // Clamp in float first so the conversions are defined for any span.
    const float flo = float(lo) - 1.0f, fhi = float(hi) + 1.0f;
    const float xa = std::isnan(s.xa) ? flo : std::clamp(std::floor(s.xa), flo, fhi);
    const float xb = std::isnan(s.xb) ? fhi : std::clamp(std::ceil(s.xb), flo, fhi);
    a = std::max(int32_t(xa), lo);
    b = std::min(int32_t(xb), hi);
    return a <= b;
}

namespace {
std::atomic<bool> bilinear8Off{false};
}  // namespace

void useBilinear8ForTesting(bool on) { bilinear8Off.store(!on); }

#ifdef KL_LENS_AVX2
bool hasBilinear8()
{
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes && !bilinear8Off.load(std::memory_order_relaxed);
}

#define KL_LENS_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// Eight values of a shuffled pair of x, y rows put back in pixel order.
KL_LENS_AVX2_INLINE __m256 inOrder(__m256 v)
{
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xd8));
}
// v held inside [-limit, limit]; max_ps gives its second operand for NaN, so NaN ends at -limit.
KL_LENS_AVX2_INLINE __m256 held(__m256 v, float limit)
{
    return _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-limit)), _mm256_set1_ps(limit));
}
KL_LENS_AVX2_INLINE __m256i floorOf(__m256 w)
{
    w = held(w, 1073741824.0f);
    const __m256i t = _mm256_cvttps_epi32(w);
    const __m256i above = _mm256_castps_si256(_mm256_cmp_ps(_mm256_cvtepi32_ps(t), w, _CMP_GT_OQ));
    return _mm256_add_epi32(t, above);  // above is -1 where the truncation went up
}
KL_LENS_AVX2_INLINE __m256i inside(__m256i i, int32_t lo, int32_t hi)
{
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(lo), i),
                               _mm256_cmpgt_epi32(_mm256_set1_epi32(hi), i));
}

// Lane for lane the scalar operations in the scalar order (no fused multiply-add): coordinates
// held and floored as safeCoordinate and floorIndex do, the four neighbours of two pixels side by
// side in one vector, blended top, bottom, then between them.
__attribute__((target("avx2"))) bool bilinear8(const DirectSource8& s, const float* xy, uint8_t* out)
{
    const __m256 p0 = _mm256_loadu_ps(xy), p1 = _mm256_loadu_ps(xy + 8);
    const __m256 x = held(inOrder(_mm256_shuffle_ps(p0, p1, _MM_SHUFFLE(2, 0, 2, 0))), 16777216.0f);
    const __m256 y = held(inOrder(_mm256_shuffle_ps(p0, p1, _MM_SHUFFLE(3, 1, 3, 1))), 16777216.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 u = _mm256_sub_ps(_mm256_sub_ps(x, half), _mm256_set1_ps(s.originX));
    const __m256 v = _mm256_sub_ps(_mm256_sub_ps(y, half), _mm256_set1_ps(s.originY));
    const __m256i iu = floorOf(u), iv = floorOf(v);
    if (_mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_and_si256(inside(iu, s.xlo, s.xhi), inside(iv, s.ylo, s.yhi)))) != 0xff)
        return false;
    const __m256 fx = _mm256_sub_ps(u, _mm256_cvtepi32_ps(iu)), fy = _mm256_sub_ps(v, _mm256_cvtepi32_ps(iv));
    alignas(32) int32_t cu[8], cv[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(cu), _mm256_sub_epi32(iu, _mm256_set1_epi32(s.regionX)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(cv), _mm256_sub_epi32(iv, _mm256_set1_epi32(s.regionY)));
    for (int k = 0; k < 8; k += 2) {
        const uint8_t* a0 = s.data + s.rowBytes * cv[k] + ptrdiff_t(cu[k]) * 4;
        const uint8_t* b0 = s.data + s.rowBytes * cv[k + 1] + ptrdiff_t(cu[k + 1]) * 4;
        // Pixel k's left and right neighbours and pixel k + 1's: [left k, left k+1, right k, right k+1].
        const __m128i top = _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a0)),
                                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b0)));
        const __m128i bottom =
            _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a0 + s.rowBytes)),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b0 + s.rowBytes)));
        const __m256 a = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(top));
        const __m256 b = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(top, 8)));
        const __m256 d = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bottom));
        const __m256 e = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bottom, 8)));
        const __m256i pick = _mm256_setr_epi32(k, k, k, k, k + 1, k + 1, k + 1, k + 1);
        const __m256 wx = _mm256_permutevar8x32_ps(fx, pick), wy = _mm256_permutevar8x32_ps(fy, pick);
        const __m256 t = _mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), wx));
        const __m256 m = _mm256_add_ps(d, _mm256_mul_ps(_mm256_sub_ps(e, d), wx));
        const __m256i r = _mm256_cvttps_epi32(_mm256_add_ps(t, _mm256_mul_ps(_mm256_sub_ps(m, t), wy)));
        // A blend of stored values stays inside 0 .. 255: the packs do not saturate.
        const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * k), _mm_packus_epi16(w, w));
    }
    return true;
}
#else
bool hasBilinear8() { return false; }
bool bilinear8(const DirectSource8&, const float*, uint8_t*) { return false; }
#endif

}  // namespace Kiln::Warp
