#include "effect/klWornScreenSampler.h"

#include "effect/klScanLines.h"

#include "exceptions/klException.h"
#include "image/klBlur.h"
#include "image/klFiller.h"
#include "image/klFunctors.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Kiln::WornScreen {

float extendedPower(float base, float exponent) noexcept
{
    // The double power agrees with the long double one after rounding to float unless it lies next to a
    // float rounding midpoint; only then is the (much slower) long double power needed.
    const double d = std::pow(double(base), double(exponent));
    const float f = float(d);
    if (std::isfinite(d) && d != 0.0) {
        const double below = (double(std::nextafter(f, -INFINITY)) + double(f)) * 0.5;
        const double above = (double(f) + double(std::nextafter(f, INFINITY))) * 0.5;
        const double near = std::fabs(d) * 0x1p-46;
        if (std::fabs(d - below) <= near || std::fabs(d - above) <= near) {
            return float(std::pow(static_cast<long double>(base), static_cast<long double>(exponent)));
        }
    }
    return f;
}

float toneCurve(float x, float brightness, float contrast) noexcept
{
    const float y = brightness >= 0.0f ? x + (1.0f - x) * brightness : (1.0f + brightness) * x;
    const float m = y <= 0.0f ? 0.0f : (y <= 0.5f ? y : 1.0f - y);
    float p;
    if (contrast < 0.0f) {
        const float mm = std::max(m, 1.5259022e-05f);
        p = extendedPower(2.0f * mm, 1.0f + 2.0f * contrast);
    } else if (contrast < 0.5f) {
        p = extendedPower(2.0f * m, 0.5f / (0.5f - contrast));
    } else {
        // The largest float as exponent: a hard threshold at y = 0.5.
        p = extendedPower(2.0f * m, std::numeric_limits<float>::max());
    }
    float h = 0.5f * p;
    if (!(h > 0.0f)) {
        h = 0.0f;
    }
    if ((y > 0.0f ? y : 0.0f) > 0.5f) {
        h = 1.0f - h;
    }
    return h > 0.0f ? h : 0.0f;
}

float tintChannel(float v, float dark, float middle, float light, bool truncate) noexcept
{
    constexpr float p = 0.5f;
    if (v >= p) {
        const float d = (light - middle) * (v - p) / (1.0f - p);
        return middle + (truncate ? std::trunc(d) : d);
    }
    const float d = (middle - dark) * v / p;
    return dark + (truncate ? std::trunc(d) : d);
}

float emPhase(int32_t seed) noexcept
{
    RandomGenerator g{uint32_t(seed)};
    return float(g.draw()) * RandomGenerator::kUnit * 100.0f;
}

float emRowGain(int32_t y, float frameHeight, float emAmount, float phase, const SmoothNoise& noise) noexcept
{
    if (!(emAmount > 0.0f)) {
        return 1.0f;
    }
    const float u = float(y) / (frameHeight / 25.0f) + phase;
    return 1.0f + emAmount * noise.value(u, 2);
}

int32_t truncToInt(double v) noexcept
{
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= 2147483647.0) {
        return std::numeric_limits<int32_t>::max();
    }
    if (v <= -2147483648.0) {
        return std::numeric_limits<int32_t>::min();
    }
    return int32_t(v);
}

Collapse collapse(float whiteDot, const KlRect& frame) noexcept
{
    Collapse c{};
    const float wd = whiteDot;
    const float top = float(frame.y0), bottom = float(frame.y1);
    const float left = float(frame.x0), right = float(frame.x1);
    const float hf = float(frame.height()), wf = float(frame.width());
    c.vertical = std::exp(0.05f * -300.0f * wd) + 0.005f;
    c.rowStart = truncToInt(top + 0.5f * hf * (1.0f - c.vertical));
    c.rowEnd = truncToInt(bottom - 0.5f * hf * (1.0f - c.vertical));
    // q / (rowEnd - rowStart) / 10 in integers: q never exceeds the band, so the term is 0 on every row
    // and the horizontal factor is the same for the whole band.
    const int32_t len = c.rowEnd - c.rowStart;
    const int32_t q = len;
    const int32_t term = len > 0 ? (q / len) / 10 : 0;
    c.horizontal = std::exp(0.05f * -100.0f * (float(term) + wd)) + 0.005f;
    c.colStart = truncToInt(left + 0.5f * wf * (1.0f - c.horizontal));
    c.colEnd = truncToInt(right - 0.5f * wf * (1.0f - c.horizontal));
    c.step = 1.0f / c.horizontal;
    return c;
}

int32_t collapseSourceRow(const Collapse& c, int32_t y) noexcept
{
    return truncToInt(float(y - c.rowStart) / c.vertical);
}

int32_t glowRadius(float whiteDot, float scale) noexcept { return truncToInt(whiteDot * 5.0f * scale); }

template <class Px>
void blankFrame(KlTexture<Px>& output, KlInterruptHook* hook, const KlRect* rect, bool multiThreaded)
{
    ColouredFrameGenerator<Px> blank;
    blank.setDestination(&output);
    if (rect != nullptr) {
        blank.setRect(*rect);
    }
    blank.setInterruptHook(hook);
    blank.setMultiThreaded(multiThreaded);
    blank.execute();
}

template void blankFrame<PixARGB8>(KlTexture<PixARGB8>&, KlInterruptHook*, const KlRect*, bool);
template void blankFrame<PixARGB16>(KlTexture<PixARGB16>&, KlInterruptHook*, const KlRect*, bool);
template void blankFrame<PixARGBF>(KlTexture<PixARGBF>&, KlInterruptHook*, const KlRect*, bool);

}  // namespace Kiln::WornScreen

namespace Kiln {

namespace {

// Limits a working value to 0..M (NaN to 0) and stores it by truncation.
template <class Px>
inline typename Px::Channel clampStore(float v)
{
    constexpr float M = Px::M;
    return Pixel::storeChannel<typename Px::Channel>(v > M ? M : (v > 0.0f ? v : 0.0f));
}

// Interpolated read of a padded table at a value in stored units (limited to 0..M).
template <class Px, class T>
inline float interpolate(const T* table, float value)
{
    constexpr float M = Px::M;
    constexpr int32_t last = WornScreenTables<Px>::kSize - 1;
    // 1 at the integer depths (index = stored value), 65535 in float.
    constexpr float indexScale = float(last) / M;
    const float l = value > M ? M : (value > 0.0f ? value : 0.0f);
    const float u = l * indexScale;
    const int32_t i = std::min(int32_t(u), last);
    const float lower = float(table[i]);
    return lower + (float(table[i + 1]) - lower) * (u - float(i));
}

// Pixels x0..x1 of row y of `t` where they lie in memory one after another, read as they are (inside its
// window); null when its window or edges put other pixels there.
template <class Px>
const Px* wholeRun(const KlTexture<Px>& t, int32_t y, int32_t x0, int32_t x1)
{
    const Px* whole = nullptr;
    int32_t runs = 0;
    t.forEachRun(y, x0, x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
        ++runs;
        if (xs == x0 && n == x1 - x0 && step == 1) whole = s;
    });
    return runs == 1 ? whole : nullptr;
}

#if defined(__x86_64__)
std::atomic<bool> portableRowsOnly{false};

bool useAvx2Rows()
{
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes && !portableRowsOnly.load(std::memory_order_relaxed);
}

// x > hi ? hi : (x > 0 ? x : 0), NaN to 0: clampStore at float, eight at a time.
__attribute__((target("avx2"), always_inline)) inline __m256 clampAvx2(__m256 x, __m256 hi)
{
    const __m256 t = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ), x);
    return _mm256_blendv_ps(t, hi, _mm256_cmp_ps(x, hi, _CMP_GT_OQ));
}

// 64-bit halves of each 128-bit lane: the low ones of a and b, and the high ones.
__attribute__((target("avx2"), always_inline)) inline __m256 lowPairs(__m256 a, __m256 b)
{
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
__attribute__((target("avx2"), always_inline)) inline __m256 highPairs(__m256 a, __m256 b)
{
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Eight pixels of four 32-bit channels (x0 pixels 0 and 1, one a 128-bit lane, x1 pixels 2 and 3, ...) as
// one vector a channel, lanes in the order 0 2 4 6 | 1 3 5 7 (the same in each).
__attribute__((target("avx2"), always_inline)) inline void fromPixels(__m256 x0, __m256 x1, __m256 x2,
                                                                      __m256 x3, __m256 c[4])
{
    const __m256 t0 = _mm256_unpacklo_ps(x0, x1), t1 = _mm256_unpackhi_ps(x0, x1);
    const __m256 t2 = _mm256_unpacklo_ps(x2, x3), t3 = _mm256_unpackhi_ps(x2, x3);
    c[0] = lowPairs(t0, t2), c[1] = highPairs(t0, t2), c[2] = lowPairs(t1, t3), c[3] = highPairs(t1, t3);
}

// Eight 32-bit lanes each of eight pixels' channels, lanes in the order 0 2 4 6 | 1 3 5 7, back to
// pixels: rows[0] pixels 0 and 1, rows[1] 2 and 3, rows[2] 4 and 5, rows[3] 6 and 7 (one a 128-bit lane).
__attribute__((target("avx2"), always_inline)) inline void toPixels(__m256 a, __m256 r, __m256 g, __m256 b,
                                                                    __m256 rows[4])
{
    const __m256 s0 = _mm256_unpacklo_ps(a, r), s1 = _mm256_unpackhi_ps(a, r);
    const __m256 s2 = _mm256_unpacklo_ps(g, b), s3 = _mm256_unpackhi_ps(g, b);
    rows[0] = lowPairs(s0, s2), rows[1] = highPairs(s0, s2), rows[2] = lowPairs(s1, s3),
    rows[3] = highPairs(s1, s3);
}

// The float "B and W" picture of `count` pixels lying one after another, eight at a time, each exactly
// as the scalar code computes it (the same operations in the same order, no fused multiply-add), finished
// as the row's finishing does: every channel times `lines` (the scan lines; 1 changes nothing), then the
// alpha of `alphaIn` where given. The pixels done, a multiple of eight. Written past the caches: nothing
// reads them again in this render.
__attribute__((target("avx2"))) size_t greyRowAvx2(const PixARGBF* in, PixARGBF* out, size_t count,
                                                   const float* grey, float gain, float lines,
                                                   const PixARGBF* alphaIn)
{
    const __m256 one = _mm256_set1_ps(1.0f), three = _mm256_set1_ps(3.0f), scale = _mm256_set1_ps(65535.0f);
    const __m256 g = _mm256_set1_ps(gain), line = _mm256_set1_ps(lines);
    const __m256i last = _mm256_set1_epi32(65535), step = _mm256_set1_epi32(1);
    const bool streamed = (reinterpret_cast<uintptr_t>(out) & 15) == 0;
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const float* p = reinterpret_cast<const float*>(in + k);
        __m256 ch[4];
        fromPixels(_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8), _mm256_loadu_ps(p + 16),
                   _mm256_loadu_ps(p + 24), ch);
        const __m256 a = ch[0], r = ch[1], gr = ch[2], b = ch[3];

        const __m256 mean = _mm256_div_ps(_mm256_add_ps(_mm256_add_ps(r, gr), b), three);
        const __m256 u = _mm256_mul_ps(clampAvx2(mean, one), scale);
        const __m256i i = _mm256_min_epi32(_mm256_cvttps_epi32(u), last);
        const __m256 lower = _mm256_i32gather_ps(grey, i, 4);
        const __m256 upper = _mm256_i32gather_ps(grey, _mm256_add_epi32(i, step), 4);
        const __m256 f = _mm256_sub_ps(u, _mm256_cvtepi32_ps(i));
        const __m256 v = _mm256_add_ps(lower, _mm256_mul_ps(_mm256_sub_ps(upper, lower), f));
        const __m256 c = _mm256_mul_ps(clampAvx2(_mm256_mul_ps(v, g), one), line);
        __m256 alpha = _mm256_mul_ps(clampAvx2(a, one), line);
        if (alphaIn != nullptr) {
            // The alpha channel of eight pixels, in the lanes' order.
            const float* q = reinterpret_cast<const float*>(alphaIn + k);
            __m256 qc[4];
            fromPixels(_mm256_loadu_ps(q), _mm256_loadu_ps(q + 8), _mm256_loadu_ps(q + 16),
                       _mm256_loadu_ps(q + 24), qc);
            alpha = qc[0];
        }

        float* o = reinterpret_cast<float*>(out + k);
        __m256 w[4];
        toPixels(alpha, c, c, c, w);
        for (int j = 0; j < 4; ++j) {
            if (streamed) {
                _mm_stream_ps(o + 8 * j, _mm256_castps256_ps128(w[j]));
                _mm_stream_ps(o + 8 * j + 4, _mm256_extractf128_ps(w[j], 1));
            } else {
                _mm256_storeu_ps(o + 8 * j, w[j]);
            }
        }
    }
    if (streamed) _mm_sfence();
    return k;
}
// The 16-bit "B and W" picture as the scalar code computes it (the channel sum's entry of the table,
// times the row gain, limited to 0..M and truncated; alpha limited to M), finished as the row's finishing
// does (each channel through floats times `lines`, truncated; then the alpha of `alphaIn` where given).
// The pixels done, a multiple of eight.
__attribute__((target("avx2"))) size_t greyRowAvx2(const PixARGB16* in, PixARGB16* out, size_t count,
                                                   const float* greyBySum, float gain, float lines,
                                                   const PixARGB16* alphaIn)
{
    const __m256 g = _mm256_set1_ps(gain), line = _mm256_set1_ps(lines), m = _mm256_set1_ps(32768.0f);
    const __m256i lastSum = _mm256_set1_epi32(3 * 32768), last = _mm256_set1_epi32(32768);
    // Stored value times the scan-line factor, truncated inside the int32 range.
    auto scaled = [&](__m256i v) __attribute__((target("avx2")))
    {
        __m256 x = _mm256_mul_ps(_mm256_cvtepi32_ps(v), line);
        x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-2147483648.0f)), _mm256_set1_ps(2147483520.0f));
        return _mm256_cvttps_epi32(x);
    };
    // Eight pixels' channels as 32-bit lanes in the order 0 2 4 6 | 1 3 5 7.
    auto channels = [](const PixARGB16* p, __m256 c[4]) __attribute__((target("avx2")))
    {
        const __m128i* q = reinterpret_cast<const __m128i*>(p);
        const __m256 x0 = _mm256_castsi256_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(q)));
        const __m256 x1 = _mm256_castsi256_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(q + 1)));
        const __m256 x2 = _mm256_castsi256_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(q + 2)));
        const __m256 x3 = _mm256_castsi256_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(q + 3)));
        fromPixels(x0, x1, x2, x3, c);  // each 128-bit lane of x0 one pixel (0 and 1)
    };
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256 c[4];
        channels(in + k, c);
        const __m256i a = _mm256_castps_si256(c[0]), r = _mm256_castps_si256(c[1]);
        const __m256i gr = _mm256_castps_si256(c[2]), b = _mm256_castps_si256(c[3]);
        const __m256i sum = _mm256_min_epi32(_mm256_add_epi32(_mm256_add_epi32(r, gr), b), lastSum);
        const __m256 v = _mm256_mul_ps(_mm256_i32gather_ps(greyBySum, sum, 4), g);
        const __m256i grey = scaled(_mm256_cvttps_epi32(clampAvx2(v, m)));
        __m256i alpha = scaled(_mm256_min_epi32(a, last));
        if (alphaIn != nullptr) {
            __m256 q[4];
            channels(alphaIn + k, q);
            alpha = _mm256_castps_si256(q[0]);
        }
        __m256 rows[4];
        const __m256 gf = _mm256_castsi256_ps(grey);
        toPixels(_mm256_castsi256_ps(alpha), gf, gf, gf, rows);
        // Back to 16 bits: every value is within 0..65535 here, so the unsigned pack keeps it; the pack
        // works lane by lane, pixels 0 2 | 1 3, put back in order.
        const __m256i p01 = _mm256_packus_epi32(_mm256_castps_si256(rows[0]), _mm256_castps_si256(rows[1]));
        const __m256i p23 = _mm256_packus_epi32(_mm256_castps_si256(rows[2]), _mm256_castps_si256(rows[3]));
        __m256i* o = reinterpret_cast<__m256i*>(out + k);
        _mm256_storeu_si256(o, _mm256_permute4x64_epi64(p01, 0xd8));
        _mm256_storeu_si256(o + 1, _mm256_permute4x64_epi64(p23, 0xd8));
    }
    return k;
}
#else
size_t greyRowAvx2(const PixARGB16*, PixARGB16*, size_t, const float*, float, float, const PixARGB16*)
{
    return 0;
}
size_t greyRowAvx2(const PixARGBF*, PixARGBF*, size_t, const float*, float, float, const PixARGBF*)
{
    return 0;
}
bool useAvx2Rows() { return false; }
#endif

}  // namespace

void usePortableSamplerRowsForTesting(bool on)
{
#if defined(__x86_64__)
    portableRowsOnly.store(on);
#else
    (void)on;
#endif
}

namespace { }  // namespace

template <class Px>
float WornScreenTables<Px>::greyAt(float mean) const
{
    return interpolate<Px>(grey_.data(), mean);
}

template <class Px>
void WornScreenTables<Px>::build(const WornScreenSettings& s)
{
    constexpr float M = Px::M;
    constexpr int32_t n = kSize;
    const float denominator = float(n - 1);
    tvType_ = s.tvType;
    for (auto& t : colour_) {
        t.clear();
    }
    grey_.clear();
    greyBySum_.clear();
    tint_.clear();

    switch (s.tvType) {
    case WornScreen::kColour: {
        const float b[3] = {s.brightness + s.redBrightness, s.brightness + s.greenBrightness,
                            s.brightness + s.blueBrightness};
        for (int c = 0; c < 3; ++c) {
            // Equal brightness gives equal tables: the curve is evaluated once.
            int same = -1;
            for (int k = 0; k < c; ++k) {
                if (b[k] == b[c]) {
                    same = k;
                }
            }
            if (same >= 0) {
                colour_[c] = colour_[same];
                continue;
            }
            std::vector<ColourEntry>& t = colour_[c];
            t.resize(size_t(n) + 1);
            for (int32_t i = 0; i < n; ++i) {
                const float v = WornScreen::toneCurve(float(i) / denominator, b[c], s.contrast) * M;
                if constexpr (kInteger) {
                    t[size_t(i)] = Pixel::storeChannel<Channel>(v);
                } else {
                    t[size_t(i)] = v;
                }
            }
            t[size_t(n)] = t[size_t(n) - 1];
        }
        break;
    }
    case WornScreen::kBlackAndWhite:
        grey_.resize(size_t(n) + 1);
        for (int32_t i = 0; i < n; ++i) {
            grey_[size_t(i)] = WornScreen::toneCurve(float(i) / denominator, s.brightness, s.contrast) * M;
        }
        grey_[size_t(n)] = grey_[size_t(n) - 1];
        if constexpr (kInteger) {
            // The mean of three integer channels takes only 3M + 1 values: interpolate each once.
            greyBySum_.resize(size_t(3 * (n - 1)) + 1);
            for (size_t sum = 0; sum < greyBySum_.size(); ++sum) {
                greyBySum_[sum] = greyAt(float(sum) / 3.0f);
            }
        }
        break;
    case WornScreen::kTint: {
        auto stop = [&](float c) {
            const float v = std::clamp(std::isnan(c) ? 0.0f : c, 0.0f, 1.0f) * M;
            return kInteger ? float(Pixel::storeChannel<Channel>(v)) : v;
        };
        const float mid[3] = {stop(s.tintRed), stop(s.tintGreen), stop(s.tintBlue)};
        tint_.resize(size_t(n) + 1);
        for (int32_t i = 0; i < n; ++i) {
            const float v = WornScreen::toneCurve(float(i) / denominator, s.brightness, s.contrast);
            Px& e = tint_[size_t(i)];
            e.a = Pixel::storeChannel<Channel>(M);
            e.r = Pixel::storeChannel<Channel>(WornScreen::tintChannel(v, 0.0f, mid[0], M, kInteger));
            e.g = Pixel::storeChannel<Channel>(WornScreen::tintChannel(v, 0.0f, mid[1], M, kInteger));
            e.b = Pixel::storeChannel<Channel>(WornScreen::tintChannel(v, 0.0f, mid[2], M, kInteger));
        }
        tint_[size_t(n)] = tint_[size_t(n) - 1];
        break;
    }
    default: break;
    }
}

namespace {

// The settings a set of tables is built from, compared bit for bit (a NaN setting matches itself).
std::array<uint32_t, 8> tableKey(const WornScreenSettings& s)
{
    auto bits = [](float v) {
        uint32_t u;
        std::memcpy(&u, &v, sizeof u);
        return u;
    };
    std::array<uint32_t, 8> key{uint32_t(s.tvType), bits(s.brightness), bits(s.contrast), 0, 0, 0, 0, 0};
    if (s.tvType == WornScreen::kColour) {
        key[3] = bits(s.redBrightness), key[4] = bits(s.greenBrightness), key[5] = bits(s.blueBrightness);
    } else if (s.tvType == WornScreen::kTint) {
        key[3] = bits(s.tintRed), key[4] = bits(s.tintGreen), key[5] = bits(s.tintBlue);
    }
    return key;
}

}  // namespace

template <class Px>
std::shared_ptr<const WornScreenTables<Px>> WornScreenTables<Px>::shared(const WornScreenSettings& s)
{
    // A few sets per depth: effects on several layers, or keyframed tone settings, each find theirs.
    constexpr size_t kKept = 4;
    static std::mutex mutex;
    static std::vector<std::pair<std::array<uint32_t, 8>, std::shared_ptr<const WornScreenTables>>> kept;
    const auto key = tableKey(s);
    {
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < kept.size(); ++i) {
            if (kept[i].first == key) {
                std::rotate(kept.begin(), kept.begin() + std::ptrdiff_t(i),
                            kept.begin() + std::ptrdiff_t(i) + 1);
                return kept.front().second;
            }
        }
    }
    auto built = std::make_shared<WornScreenTables>();
    built->build(s);
    std::lock_guard lock(mutex);
    kept.insert(kept.begin(), {key, built});
    if (kept.size() > kKept) {
        kept.pop_back();
    }
    return built;
}

template <class Px>
void WornScreenSampler<Px>::setUp()
{
    if (source_ == nullptr) {
        throw Exceptions::NullPointer("Kiln::WornScreenSampler::setUp", __FILE__, __LINE__, "source");
    }
    if (this->destination_ == nullptr) {
        throw Exceptions::NullPointer("Kiln::WornScreenSampler::setUp", __FILE__, __LINE__, "destination");
    }
    const WornScreenSettings& s = settings_;
    if (s.tvType < WornScreen::kColour || s.tvType > WornScreen::kTint) {
        throw Exceptions::BadValue("Kiln::WornScreenSampler::setUp", __FILE__, __LINE__, "TVType", s.tvType);
    }
    out_ = this->clippedRect();
    frame_ = out_;
    if (s.frameWidth > 0.0f && s.frameHeight > 0.0f) {
        frame_ = {0, 0, WornScreen::truncToInt(s.frameWidth), WornScreen::truncToInt(s.frameHeight)};
    }
    frameHeight_ = s.frameHeight > 0.0f ? s.frameHeight : float(frame_.height());
    emPhase_ = WornScreen::emPhase(s.seed);
    tables_ = WornScreenTables<Px>::shared(s);

    whiteDot_ = std::min(s.whiteDot, 1.0f);
    whiteDotOn_ = whiteDot_ > 0.0f;
    shashPattern_ =
        s.shashMax > 0.0f ? Shash::resolveType(s.shashType, s.shashPeriod, s.frame, s.seed) : Shash::kNone;
    shashOn_ = shashPattern_ != Shash::kNone;
    this->setPasses(whiteDotOn_ ? 5 : 4);
    // The collapse reads the picture anywhere in the frame.
    work_ = whiteDotOn_ ? frame_ : out_;
    if (whiteDotOn_) {
        collapse_ = WornScreen::collapse(whiteDot_, frame_);
    }

    layerA_ = Texture();
    layerB_ = Texture();
    scanLinesDrawn_ = false;
    alphaCopied_ = false;
    if (out_.isEmpty() || work_.isEmpty()) {
        return;
    }
    // Nothing is drawn over the picture pass's rows afterwards: they take their scan lines and alpha there.
    scanLinesDrawn_ = scanLines_ > 1 && !whiteDotOn_ && !shashOn_;
    alphaCopied_ = alphaFrom_ != nullptr && !whiteDotOn_ && !shashOn_;
    try {
        if (whiteDotOn_) {
            layerA_ = Texture(work_.width(), work_.height(), work_.x0, work_.y0);
        }
        if (whiteDotOn_ || shashOn_) {
            layerB_ = Texture(work_.width(), work_.height(), work_.x0, work_.y0);
        }
    } catch (const Exceptions::ExceptionI&) {
        // Stop everything that shares the hook, then let the render fail with the memory error.
        this->abort(KlMultiProcessor::kStatusOutOfMemory);
        throw;
    }

    if (shashOn_) {
        const float sx = std::isfinite(s.scaleX) && s.scaleX > 0.0f ? s.scaleX : 1.0f;
        shash_.setDestination(&layerB_);
        shash_.setRect(work_);
        shash_.setAnchor(frame_);
        shash_.setInterruptHook(this->interruptHook());
        shash_.setMultiThreaded(this->multiThreaded());
        shash_.setSeed(uint32_t(s.seed));
        shash_.setFrame(s.frame);
        shash_.setScale(1.0f);
        shash_.setPixelScale(sx);
        shash_.setType(shashPattern_);
        shash_.setColour(s.shashColour);
        shash_.setSmoothNoise(smooth_);
    }
}

template <class Px>
void WornScreenSampler<Px>::tearDown()
{
    layerA_ = Texture();
    layerB_ = Texture();
}

template <class Px>
void WornScreenSampler<Px>::beforePass()
{
    if (this->pass() == 3 && shashOn_) {
        shash_.prepare();
    }
}

template <class Px>
template <class F>
void WornScreenSampler<Px>::eachRow(const KlRect& r, F&& f) const
{
    const KlRowBand band = this->bandRows(r.y0, r.y1);
    for (int32_t y = band.begin; y < band.end; ++y) {
        if (this->shouldStop()) {
            return;
        }
        f(y);
    }
}

template <class Px>
void WornScreenSampler<Px>::process()
{
    if (out_.isEmpty() || work_.isEmpty()) {
        return;
    }
    switch (this->pass()) {
    case 0: {
        Texture& target = pictureTarget();
        // Rows taking their scan lines and alpha here are finished as they are written (pictureRowOf).
        eachRow(work_, [&](int32_t y) { pictureRow(y, target); });
        break;
    }
    case 3:
        if (shashOn_) {
            eachRow(work_, [&](int32_t y) { shash_.drawRow(y); });
        }
        break;
    case 4: eachRow(work_, [&](int32_t y) { collapseRow(y, layerB_); }); break;
    default:
        // Ghost images and edge distortion: nothing for this effect.
        break;
    }
}

template <class Px>
void WornScreenSampler<Px>::afterPass()
{
    if (out_.isEmpty() || work_.isEmpty()) {
        return;
    }
    if (this->pass() == 3 && shashOn_) {
        mixShashLayer(layerB_, pictureTarget(), work_, settings_.shashMax, this->interruptHook(),
                      this->multiThreaded());
    } else if (this->pass() == 4) {
        glow();
    }
}

template <class Px>
void WornScreenSampler<Px>::pictureRow(int32_t y, Texture& target) const
{
    Px* out = target.pixelAddress(work_.x0, y);
    if (out == nullptr) {
        return;
    }
    const float gain = WornScreen::emRowGain(y, frameHeight_, settings_.emAmount, emPhase_, smooth());
    switch (tables_->tvType()) {
    case WornScreen::kColour:
        // At the integer depths full saturation is exact without the mean: grey + (c - grey) = c.
        if (Px::isInteger && settings_.saturation == 1.0f) {
            pictureRowOf<WornScreen::kColour, false>(y, out, gain);
        } else {
            pictureRowOf<WornScreen::kColour, true>(y, out, gain);
        }
        break;
    case WornScreen::kBlackAndWhite: pictureRowOf<WornScreen::kBlackAndWhite, false>(y, out, gain); break;
    default: pictureRowOf<WornScreen::kTint, false>(y, out, gain); break;
    }
}

template <class Px>
template <int32_t Type, bool Saturate>
void WornScreenSampler<Px>::pictureRowOf(int32_t y, Px* out, float gain) const
{
    using Tables = WornScreenTables<Px>;
    using Ch = typename Px::Channel;
    constexpr int32_t last = Tables::kSize - 1;
    const float sat = settings_.saturation;
    const auto* tr = tables_->colour(0).data();
    const auto* tg = tables_->colour(1).data();
    const auto* tb = tables_->colour(2).data();
    const float* grey = tables_->grey().data();
    const float* greyBySum = tables_->greyBySum().data();
    const Px* tint = tables_->tint().data();

    // At 8 bits a row's gain maps the few possible table values once per row instead of once per pixel.
    constexpr bool kRowMap = Px::isInteger && Tables::kSize <= 256;
    constexpr int32_t kSums = kRowMap ? 3 * last + 1 : 1;
    Ch gained[kRowMap ? Tables::kSize : 1];
    Ch greyGained[kSums];
    if constexpr (kRowMap) {
        if constexpr (Type == WornScreen::kBlackAndWhite) {
            for (int32_t k = 0; k < kSums; ++k) {
                greyGained[k] = clampStore<Px>(greyBySum[k] * gain);
            }
        } else if constexpr (!Saturate) {
            for (int32_t k = 0; k <= last; ++k) {
                gained[k] = clampStore<Px>(float(k) * gain);
            }
        }
    }

    auto shade = [&](const Px& s, Px& o) {
        if constexpr (kRowMap && !Saturate) {
            o.a = s.a;
            if constexpr (Type == WornScreen::kColour) {
                o.r = gained[tr[s.r]];
                o.g = gained[tg[s.g]];
                o.b = gained[tb[s.b]];
            } else if constexpr (Type == WornScreen::kBlackAndWhite) {
                const Ch c = greyGained[int32_t(s.r) + int32_t(s.g) + int32_t(s.b)];
                o.r = c;
                o.g = c;
                o.b = c;
            } else {
                const Px& e = tint[(int32_t(s.r) + int32_t(s.g) + int32_t(s.b)) / 3];
                o.r = gained[e.r];
                o.g = gained[e.g];
                o.b = gained[e.b];
            }
            return;
        }
        if constexpr (Px::isInteger) {
            o.a = Ch(std::min<int32_t>(s.a, last));
        } else {
            o.a = clampStore<Px>(s.a);
        }
        if constexpr (Type == WornScreen::kColour) {
            float r, g, b;
            if constexpr (Px::isInteger) {
                const int32_t ri = tr[std::min<int32_t>(s.r, last)];
                const int32_t gi = tg[std::min<int32_t>(s.g, last)];
                const int32_t bi = tb[std::min<int32_t>(s.b, last)];
                if constexpr (Saturate) {
                    const int32_t mean = (ri + gi + bi) / 3;
                    r = float(mean) + sat * float(ri - mean);
                    g = float(mean) + sat * float(gi - mean);
                    b = float(mean) + sat * float(bi - mean);
                } else {
                    r = float(ri);
                    g = float(gi);
                    b = float(bi);
                }
            } else {
                r = interpolate<Px>(tr, s.r);
                g = interpolate<Px>(tg, s.g);
                b = interpolate<Px>(tb, s.b);
                const float mean = (r + g + b) / 3.0f;
                r = mean + sat * (r - mean);
                g = mean + sat * (g - mean);
                b = mean + sat * (b - mean);
            }
            o.r = clampStore<Px>(r * gain);
            o.g = clampStore<Px>(g * gain);
            o.b = clampStore<Px>(b * gain);
        } else if constexpr (Type == WornScreen::kBlackAndWhite) {
            float v;
            if constexpr (Px::isInteger) {
                v = greyBySum[std::min<int32_t>(int32_t(s.r) + int32_t(s.g) + int32_t(s.b), 3 * last)];
            } else {
                v = interpolate<Px>(grey, (s.r + s.g + s.b) / 3.0f);
            }
            const Ch c = clampStore<Px>(v * gain);
            o.r = c;
            o.g = c;
            o.b = c;
        } else {
            if constexpr (Px::isInteger) {
                const Px& e = tint[std::min<int32_t>((int32_t(s.r) + int32_t(s.g) + int32_t(s.b)) / 3, last)];
                o.r = clampStore<Px>(float(e.r) * gain);
                o.g = clampStore<Px>(float(e.g) * gain);
                o.b = clampStore<Px>(float(e.b) * gain);
            } else {
                const float l = (s.r + s.g + s.b) / 3.0f;
                const float u = (l > 1.0f ? 1.0f : (l > 0.0f ? l : 0.0f)) * float(last);
                const int32_t i = std::min(int32_t(u), last);
                const float f = u - float(i);
                const Px& e0 = tint[i];
                const Px& e1 = tint[i + 1];
                o.r = clampStore<Px>((e0.r + (e1.r - e0.r) * f) * gain);
                o.g = clampStore<Px>((e0.g + (e1.g - e0.g) * f) * gain);
                o.b = clampStore<Px>((e0.b + (e1.b - e0.b) * f) * gain);
            }
        }
    };

    const int32_t x0 = work_.x0;
    const float lines = scanLinesDrawn_ ? ScanLines::rowFactor(y, scanLines_) : 1.0f;
    Processor::CopyAlpha<Px> copyAlpha;
    source_->forEachRun(y, work_.x0, work_.x1, [&](int32_t xs, int32_t n, const Px* s, int32_t step) {
        Px* o = out + (xs - x0);
        int32_t finished = 0;  // pixels the vector code has finished too
        if (step == 1) {
            if constexpr ((std::is_same_v<Px, PixARGBF> || std::is_same_v<Px, PixARGB16>)&&Type ==
                          WornScreen::kBlackAndWhite) {
                const Px* alphaIn = alphaCopied_ ? wholeRun(*alphaFrom_, y, xs, xs + n) : nullptr;
                const float* table = std::is_same_v<Px, PixARGBF> ? grey : greyBySum;
                if (useAvx2Rows() && (alphaIn != nullptr || !alphaCopied_))
                    finished = int32_t(greyRowAvx2(s, o, size_t(n), table, gain, lines, alphaIn));
            }
            for (int32_t k = finished; k < n; ++k) {
                shade(s[k], o[k]);
            }
        } else {
            for (int32_t k = 0; k < n; ++k, s += step) {
                shade(*s, o[k]);
            }
        }
        // The rest of the run finished here, as the stages after the sampler would.
        if (finished < n) {
            if (scanLinesDrawn_) ScanLines::scaleRow(o + finished, size_t(n - finished), lines);
            if (alphaCopied_)
                Processor::applyToRow(copyAlpha, *alphaFrom_, y, xs + finished, xs + n, o + finished);
        }
    });
}

template <class Px>
void WornScreenSampler<Px>::collapseRow(int32_t y, Texture& target) const
{
    constexpr float M = Px::M;
    Px* out = target.pixelAddress(frame_.x0, y);
    if (out == nullptr) {
        return;
    }
    const int32_t width = frame_.width();
    const WornScreen::Collapse& c = collapse_;
    if (y < c.rowStart || y >= c.rowEnd) {
        std::fill_n(out, width, Px{});
        return;
    }
    const int32_t srcY = frame_.y0 + WornScreen::collapseSourceRow(c, y);
    const Px* src = layerA_.pixelAddress(frame_.x0, srcY);
    const float n = c.step;
    // Accumulated from the band's first column so every column reads where a full sweep would.
    float x = 0.0f;
    for (int32_t col = c.colStart; col < c.colEnd && col < frame_.x1; ++col, x += n) {
        if (col < frame_.x0) {
            continue;
        }
        float sum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        if (src != nullptr) {
            const int32_t first = WornScreen::truncToInt(x);
            for (int32_t k = 0; float(k) < n; ++k) {
                const int32_t sx = first + k;
                if (sx >= 0 && sx < width) {
                    const Px& p = src[sx];
                    for (int ch = 0; ch < 4; ++ch) {
                        sum[ch] += float(p[ch]);
                    }
                }
            }
        }
        Px& o = out[col - frame_.x0];
        for (int ch = 0; ch < 4; ++ch) {
            o[ch] = Pixel::storeChannel<typename Px::Channel>(std::min(sum[ch] / n, M));
        }
    }
    // Columns outside [colStart, colEnd) are transparent black.
    for (int32_t col = frame_.x0; col < frame_.x1; ++col) {
        if (col < c.colStart || col >= c.colEnd) {
            out[col - frame_.x0] = Px{};
        }
    }
}

namespace {
int32_t truncToReach(float size) { return WornScreen::truncToInt(std::min(size, 1.0e6f)); }
}  // namespace

template <class Px>
void WornScreenSampler<Px>::glow()
{
    auto positive = [](float v) { return std::isfinite(v) && v > 0.0f ? v : 1.0f; };
    const float sx = positive(settings_.scaleX);
    const float sy = positive(settings_.scaleY);
    const int32_t radius = WornScreen::glowRadius(whiteDot_, sx);
    const float vertical = float(radius) * (sy / sx);
    const float sizeX = float(radius) / 3.0f;
    const float sizeY = vertical / 3.0f;
    // Everything farther than the blur's reach from the collapsed picture stays black: blur only round it.
    auto reach = [](float size) {
        return std::isfinite(size) && size > 0.0f ? 3 * (truncToReach(size) + 1) + 1 : 0;
    };
    const WornScreen::Collapse& c = collapse_;
    const KlRect lit = out_.intersect({c.colStart - reach(sizeX), c.rowStart - reach(sizeY),
                                       c.colEnd + reach(sizeX), c.rowEnd + reach(sizeY)});
    if (!(lit == out_)) {
        WornScreen::blankFrame(*this->destination_, this->interruptHook(), &out_, this->multiThreaded());
    }
    if (lit.isEmpty()) {
        return;
    }
    // Sizes of 0 make the blur a plain copy of the collapse into the output.
    BlurGeneralGauss<Px> blur;
    blur.setSource(&layerB_);
    blur.setDestination(this->destination_);
    blur.setRect(lit);
    blur.setSizes(sizeX, sizeY);
    blur.setIterations(3);
    blur.setInterruptHook(this->interruptHook());
    blur.setMultiThreaded(this->multiThreaded());
    blur.execute();
}

template class WornScreenTables<PixARGB8>;
template class WornScreenTables<PixARGB16>;
template class WornScreenTables<PixARGBF>;
template class WornScreenSampler<PixARGB8>;
template class WornScreenSampler<PixARGB16>;
template class WornScreenSampler<PixARGBF>;

}  // namespace Kiln
