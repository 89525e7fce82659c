#include "image/klBlur.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <functional>
#include <type_traits>
#include <vector>

using namespace Kiln;

namespace {

template <class Px>
using Blur0 = BlurGeneralGauss<Px, Px>;
template <class Px>
using Blur1 = BlurGeneralGauss<Px, Px, Px::maxInt, 1, 1, 1, 1>;

template <class Px>
KlTexture<Px> makeImage(int w, int h, const std::function<Px(int, int)>& f, int mode = KlEdgeRepeat)
{
    KlTexture<Px> t(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) *t.pixelAddress(x, y) = f(x, y);
    t.setEdgeModes(mode, mode);
    return t;
}

template <class Px>
Px grey(float v, float a = Px::M)
{
    Px p;
    p.a = Pixel::storeChannel<typename Px::Channel>(a);
    p.r = p.g = p.b = Pixel::storeChannel<typename Px::Channel>(v);
    return p;
}

template <class Px, class B = Blur0<Px>>
KlTexture<Px> blur(const KlTexture<Px>& src, float sx, float sy, int iterations = 3, bool threads = true)
{
    KlTexture<Px> dst(src.width(), src.height());
    B b;
    b.setSource(&src);
    b.setDestination(&dst);
    b.setSizes(sx, sy);
    b.setIterations(iterations);
    b.setMultiThreaded(threads);
    b.execute();
    return dst;
}

template <class Px>
bool same(const KlTexture<Px>& a, const KlTexture<Px>& b)
{
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (std::memcmp(a.pixelAddress(x, y), b.pixelAddress(x, y), sizeof(Px)) != 0) return false;
    return true;
}

// Hand-worked values per depth: left, centre, right and trunc((0.5 l + c + 0.5 r) / 2).
template <class Px>
struct Hand;
template <>
struct Hand<PixARGB8> {
    static constexpr float l = 10, c = 20, r = 31, out = 20;  // 20.25
    static constexpr float spot = 255, centre = 63, side = 31, corner = 15;
};
template <>
struct Hand<PixARGB16> {
    static constexpr float l = 1000, c = 2001, r = 3003, out = 2001;  // 2001.25
    static constexpr float spot = 32768, centre = 8192, side = 4096, corner = 2048;
};
template <>
struct Hand<PixARGBF> {
    static constexpr float l = 0.125f, c = 0.25f, r = 0.5f, out = 0.28125f;
    static constexpr float spot = 1, centre = 0.25f, side = 0.125f, corner = 0.0625f;
};

template <class Px>
class BlurTest : public ::testing::Test {
protected:
    void TearDown() override { KlMultiProcessor::setProcessorCountForTesting(0); }
};
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(BlurTest, Depths);

}  // namespace

TEST(BlurMaths, BoxParamsAndClamp)
{
    Blur::BoxParams p = Blur::boxParams(2.25f);
    EXPECT_EQ(p.n, 2);
    EXPECT_FLOAT_EQ(p.f, 0.25f);
    EXPECT_DOUBLE_EQ(p.weight, 1.0 / 5.5);
    EXPECT_EQ(p.reach, 3);
    p = Blur::boxParams(std::nanf(""));
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.weight, 1.0);
    EXPECT_EQ(Blur::boxParams(-3.0f).n, 0);
    EXPECT_EQ(Blur::clampSize(100.0f, 4, 3), 12.0f);
    EXPECT_EQ(Blur::clampSize(5.0f, 4, 3), 5.0f);
    EXPECT_EQ(Blur::clampSize(-1.0f, 4, 3), 0.0f);
    EXPECT_EQ(Blur::clampSize(INFINITY, 4, 3), 12.0f);
}

// Stores truncate toward zero and keep the low bits; NaN and values beyond the int32 range are
// held inside it first. Each case sits in a vector step and in the tail, with the processor's vectors
// and the portable ones.
TEST(BlurMaths, ChannelConversions)
{
    struct Case {
        float in;
        uint8_t b;
        uint16_t w;
    };
    const Case cases[] = {{0.0f, 0, 0},           {254.99f, 254, 254},   {300.7f, 44, 300},
                          {-1.5f, 255, 65535},    {-3.9f, 253, 65533},   {65535.9f, 255, 65535},
                          {70000.2f, 112, 4464},  {1e20f, 128, 65408},   {-1e20f, 0, 0},
                          {INFINITY, 128, 65408}, {std::nanf(""), 0, 0}, {-0.0f, 0, 0}};
    const size_t n = 37;  // one 32-value step and a tail
    for (bool portable : {false, true})
        for (size_t at : {size_t(3), size_t(35)})
            for (const Case& c : cases) {
                Blur::usePortablePassesForTesting(portable);
                std::vector<float> f(n, 7.0f);
                f[at] = c.in;
                std::vector<uint8_t> b(n);
                std::vector<uint16_t> w(n);
                Blur::fromFloats(f.data(), b.data(), n);
                Blur::fromFloats(f.data(), w.data(), n);
                EXPECT_EQ(b[at], c.b) << c.in << " at " << at << (portable ? " portable" : "");
                EXPECT_EQ(w[at], c.w) << c.in << " at " << at << (portable ? " portable" : "");
                EXPECT_EQ(b[at ^ 1], 7);
                std::vector<float> back(n), backW(n);
                Blur::toFloats(b.data(), back.data(), n);
                Blur::toFloats(w.data(), backW.data(), n);
                EXPECT_EQ(back[at], float(c.b));
                EXPECT_EQ(backW[at], float(c.w));
                EXPECT_EQ(backW[at ^ 1], 7.0f);
            }
    Blur::usePortablePassesForTesting(false);
}

// Stored channels scaled in one pass are those of the three steps (to floats, scaled, back), for every
// value of both types, factors that keep them in range and factors that do not, NaN included.
TEST(BlurMaths, StoredChannelsScaledInOnePassAreTheThreeSteps)
{
    std::vector<uint16_t> words(65536 + 5);
    for (size_t i = 0; i < words.size(); ++i) words[i] = uint16_t(i * 40503u);  // every value, shuffled
    std::vector<uint8_t> bytes(256 * 3 + 7);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 167u);
    for (bool portable : {false, true})
        for (const float f : {0.25f, 0.625f, 0.999f, 1.0f, 0.0f, 1.5f, -0.75f, 70000.0f, std::nanf("")}) {
            Blur::usePortablePassesForTesting(portable);
            auto threeSteps = [f](auto values) {
                std::vector<float> line(values.size());
                Blur::toFloats(values.data(), line.data(), values.size());
                Blur::scaleFloats(line.data(), line.size(), f);
                Blur::fromFloats(line.data(), values.data(), values.size());
                return values;
            };
            const std::vector<uint16_t> wantWords = threeSteps(words);
            std::vector<uint16_t> gotWords = words;
            Blur::scaleStored(gotWords.data(), gotWords.size(), f);
            ASSERT_EQ(gotWords, wantWords) << "factor " << f << (portable ? " portable" : "");
            const std::vector<uint8_t> wantBytes = threeSteps(bytes);
            std::vector<uint8_t> gotBytes = bytes;
            Blur::scaleStored(gotBytes.data(), gotBytes.size(), f);
            ASSERT_EQ(gotBytes, wantBytes) << "factor " << f << (portable ? " portable" : "");
        }
    Blur::usePortablePassesForTesting(false);
}

TEST(BlurMaths, BoxPassLineIsTheFractionalWindow)
{
    // Radius 1.5: (0.5*a + b + c + d + 0.5*e) / 4.
    std::vector<float> in = {0, 4, 8, 16, 32, 64, 0};
    std::vector<float> out(3);
    Blur::boxPassLine<1>(in.data() + 2, out.data(), 3, Blur::boxParams(1.5f));
    EXPECT_FLOAT_EQ(out[0], (0.5f * 0 + 4 + 8 + 16 + 0.5f * 32) / 4);
    EXPECT_FLOAT_EQ(out[1], (0.5f * 4 + 8 + 16 + 32 + 0.5f * 64) / 4);
    EXPECT_FLOAT_EQ(out[2], (0.5f * 8 + 16 + 32 + 64 + 0.5f * 0) / 4);
    // Three passes of a whole radius n spread an impulse to variance n(n+1).
    const int n = 2, len = 41, mid = 20;
    std::vector<float> a(len, 0.0f), b(len, 0.0f);
    a[mid] = 1.0f;
    const Blur::BoxParams p = Blur::boxParams(float(n));
    for (int it = 0; it < 3; ++it) {
        Blur::boxPassLine<1>(a.data() + 3, b.data() + 3, len - 6, p);
        std::swap(a, b);
    }
    double mass = 0, var = 0;
    for (int i = 0; i < len; ++i) mass += a[i], var += a[i] * double(i - mid) * (i - mid);
    EXPECT_NEAR(mass, 1.0, 1e-6);
    EXPECT_NEAR(var, n * (n + 1), 1e-5);
}

TYPED_TEST(BlurTest, HalfPixelRadiusOneIteration)
{
    using Px = TypeParam;
    using H = Hand<Px>;
    auto src = makeImage<Px>(3, 3, [](int x, int) { return grey<Px>(x == 0 ? H::l : x == 1 ? H::c : H::r); });
    auto dst = blur(src, 0.5f, 0.0f, 1);
    EXPECT_EQ(float(dst.pixelAddress(1, 1)->r), H::out);
    EXPECT_EQ(float(dst.pixelAddress(1, 1)->a), Px::M);  // constant alpha stays
    // The same along y.
    auto srcY = makeImage<Px>(3, 3, [](int, int y) {
        return grey<Px>(y == 0 ? H::l : y == 1 ? H::c : H::r);
    });
    auto dstY = blur(srcY, 0.0f, 0.5f, 1);
    EXPECT_EQ(float(dstY.pixelAddress(2, 1)->g), H::out);

    // A single bright pixel, transparent black around it: separable 2-D weights.
    auto spot = makeImage<Px>(
        5, 5, [](int x, int y) { return x == 2 && y == 2 ? grey<Px>(H::spot) : grey<Px>(0, 0); },
        KlEdgeColour);
    auto s = blur(spot, 0.5f, 0.5f, 1);
    EXPECT_EQ(float(s.pixelAddress(2, 2)->r), H::centre);
    EXPECT_EQ(float(s.pixelAddress(2, 1)->r), H::side);
    EXPECT_EQ(float(s.pixelAddress(1, 2)->b), H::side);
    EXPECT_EQ(float(s.pixelAddress(3, 3)->a), H::corner);
    EXPECT_EQ(float(s.pixelAddress(0, 0)->r), 0.0f);
}

TYPED_TEST(BlurTest, ConstantStaysConstantForAnyRadius)
{
    using Px = TypeParam;
    const float v = Px::isInteger ? std::floor(Px::M * 0.7f) : 0.7f;
    for (int mode : {KlEdgeRepeat, KlEdgeReflect, KlEdgeWrap}) {
        auto src = makeImage<Px>(
            37, 23, [&](int, int) { return grey<Px>(v, Px::isInteger ? Px::M - 1 : 0.3f); }, mode);
        for (float r : {0.3f, 1.0f, 2.5f, 7.7f, 40.0f, 5000.0f}) {
            auto dst = blur(src, r, r * 0.5f);
            EXPECT_TRUE(same(src, dst)) << "radius " << r << " mode " << mode;
        }
    }
}

TYPED_TEST(BlurTest, EdgeColourDarkensTheBorder)
{
    using Px = TypeParam;
    const float v = Px::isInteger ? 100.0f : 0.5f;
    auto src = makeImage<Px>(
        4, 4, [&](int, int) { return grey<Px>(v, v); }, KlEdgeColour);
    auto dst = blur(src, 0.5f, 0.5f, 1);
    // Corner: horizontal 0.75 v, then vertical 0.75 of that.
    const float expect = Px::isInteger ? 56.0f : 0.28125f;
    EXPECT_EQ(float(dst.pixelAddress(0, 0)->r), expect);
    EXPECT_EQ(float(dst.pixelAddress(3, 3)->a), expect);
}

TYPED_TEST(BlurTest, SizeClampAndZeroSizeCopy)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(
        4, 3, [](int x, int y) { return grey<Px>(Px::M * float(x * 3 + y) / 16.0f); }, KlEdgeReflect);
    Blur0<Px> b;
    KlTexture<Px> d1(4, 3), d2(4, 3);
    b.setSource(&src);
    b.setDestination(&d1);
    b.setSizes(100.0f, 50.0f);
    b.execute();
    EXPECT_EQ(b.usedSizeX(), 12.0f);
    EXPECT_EQ(b.usedSizeY(), 12.0f);
    EXPECT_TRUE(same(d1, blur(src, 12.0f, 12.0f)));
    if constexpr (!Px::isInteger) {
        EXPECT_FALSE(same(d1, blur(src, 11.0f, 12.0f)));
    }

    // Sizes 0, 0: an exact copy, also of a sub-rectangle (the rest untouched).
    auto copy = blur(src, 0.0f, 0.0f);
    EXPECT_TRUE(same(src, copy));
    auto marked = makeImage<Px>(4, 3, [](int, int) { return grey<Px>(Px::M * 0.5f); });
    Blur0<Px> part;
    part.setSource(&src);
    part.setDestination(&marked);
    part.setRectangle(1, 1, 2, 1);
    part.execute();
    EXPECT_EQ(*marked.pixelAddress(1, 1), *src.pixelAddress(1, 1));
    EXPECT_EQ(*marked.pixelAddress(2, 1), *src.pixelAddress(2, 1));
    EXPECT_EQ(*marked.pixelAddress(0, 1), grey<Px>(Px::M * 0.5f));
    EXPECT_EQ(*marked.pixelAddress(1, 0), grey<Px>(Px::M * 0.5f));
}

TYPED_TEST(BlurTest, AlphaWeightedVariant)
{
    using Px = TypeParam;
    // Opaque green everywhere except one transparent red pixel.
    auto src = makeImage<Px>(9, 5, [](int x, int y) {
        Px p = grey<Px>(0);
        if (x == 4 && y == 2) {
            p.a = 0;
            p.r = Pixel::storeChannel<typename Px::Channel>(Px::M);
        } else {
            p.g = Pixel::storeChannel<typename Px::Channel>(Px::M);
        }
        return p;
    });
    auto plain = blur(src, 1.5f, 1.5f);
    auto weighted = blur<Px, Blur1<Px>>(src, 1.5f, 1.5f);
    // The plain blur bleeds red and darkens green; the weighted one keeps pure green and the
    // source's alpha.
    EXPECT_GT(float(plain.pixelAddress(4, 2)->r), 0.0f);
    EXPECT_LT(float(plain.pixelAddress(3, 2)->a), Px::M);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 9; ++x) {
            const Px& p = *weighted.pixelAddress(x, y);
            EXPECT_EQ(float(p.r), 0.0f);
            EXPECT_EQ(float(p.g), Px::M) << x << "," << y;
            EXPECT_EQ(p.a, src.pixelAddress(x, y)->a);
        }
    // An opaque constant image is unchanged by the weighted variant too.
    auto flat = makeImage<Px>(8, 8, [](int, int) { return grey<Px>(Px::isInteger ? 77.0f : 0.3f); });
    EXPECT_TRUE(same(flat, blur<Px, Blur1<Px>>(flat, 4.5f, 2.0f)));
}

namespace {

// The blur written the plain way: every extended row and column of every pass built on its own from
// the source, with the running sums formed in the same order and with the same operands as the stage
// forms them. The stage must give exactly this, byte for byte, however it splits and orders its work.
template <class Px, int Flags>
struct ReferenceBlur {
    static constexpr int C = Px::channels, A = Px::alphaIndex;
    static constexpr bool kWeighted = (Flags & 1) != 0, kKeepAlpha = (Flags & 2) != 0;

    // One box pass over v (in place): v[i] becomes the window around v[i + reach]; the last 2 reach
    // values are dropped.
    static void pass(std::vector<float>& v, std::vector<float>& tmp, const Blur::BoxParams& p)
    {
        const int n = p.n, reach = p.reach;
        tmp.assign(v.size() - 2 * size_t(reach), 0.0f);
        double acc = 0.0;
        for (int j = -n; j <= n; ++j) acc += double(v[size_t(reach + j)]);
        for (size_t i = 0; i < tmp.size(); ++i) {
            const size_t c = i + size_t(reach);
            const double e = v[c + size_t(n) + 1];
            double r = acc;
            if (p.f != 0.0f) r += double(p.f) * (double(v[c - size_t(n) - 1]) + e);
            tmp[i] = float(r * p.weight);
            acc += e - double(v[c - size_t(n)]);
        }
        v.swap(tmp);
    }
    static void passes(std::vector<float>& v, std::vector<float>& tmp, const Blur::BoxParams& p,
                       int iterations)
    {
        for (int it = 0; it < iterations; ++it) pass(v, tmp, p);
    }

    static void run(const KlTexture<Px>& src, KlTexture<Px>& dst, KlRect rect, float sx, float sy,
                    int iterations)
    {
        rect = rect.intersect(klTextureMemoryRect(dst));
        if (rect.isEmpty()) return;
        const float ux = Blur::clampSize(sx, src.width(), src.height());
        const float uy = Blur::clampSize(sy, src.width(), src.height());
        if ((ux == 0.0f && uy == 0.0f) || iterations <= 0) {
            for (int y = rect.y0; y < rect.y1; ++y)
                for (int x = rect.x0; x < rect.x1; ++x) *dst.pixelAddress(x, y) = src.sampleNearest(x, y);
            return;
        }
        const Blur::BoxParams px = Blur::boxParams(ux), py = Blur::boxParams(uy);
        const int mx = ux > 0.0f ? iterations * px.reach : 0, my = uy > 0.0f ? iterations * py.reach : 0;
        // Sums start at the source's first valid column and row.
        const int x0 = std::min(rect.x0, src.xAxis().origin2 + src.xAxis().lo);
        const int y0 = std::min(rect.y0, src.yAxis().origin2 + src.yAxis().lo);
        const size_t cols = size_t(rect.x1 - x0), rows = size_t(rect.y1 - y0 + 2 * my);
        std::vector<float> rowsOut(rows * cols * C), v, tmp;  // horizontal results, row by row
        for (size_t k = 0; k < rows; ++k)
            for (int c = 0; c < C; ++c) {
                v.clear();
                for (int x = x0 - mx; x < rect.x1 + mx; ++x) {
                    const Px& s = src.sampleNearest(x, y0 - my + int(k));
                    v.push_back(kWeighted && c != A ? float(s[c]) * float(s[A]) / float(Px::maxInt)
                                                    : float(s[c]));
                }
                passes(v, tmp, px, mx > 0 ? iterations : 0);
                for (size_t i = 0; i < cols; ++i) rowsOut[(k * cols + i) * C + size_t(c)] = v[i];
            }
        std::vector<float> col[C];
        for (size_t i = x0 < rect.x0 ? size_t(rect.x0 - x0) : 0; i < cols; ++i) {
            for (int c = 0; c < C; ++c) {
                col[c].clear();
                for (size_t k = 0; k < rows; ++k) col[c].push_back(rowsOut[(k * cols + i) * C + size_t(c)]);
                passes(col[c], tmp, py, my > 0 ? iterations : 0);
            }
            const int x = x0 + int(i);
            for (int y = rect.y0; y < rect.y1; ++y) {
                float px4[C];
                for (int c = 0; c < C; ++c) px4[c] = col[c][size_t(y - y0)];
                if (kWeighted) {
                    const float a = px4[A];
                    for (int c = 0; c < C; ++c)
                        if (c != A)
                            px4[c] = a > float(Px::maxInt) * 1.5259022e-5f
                                         ? std::clamp(px4[c] * float(Px::maxInt) / a, 0.0f, float(Px::maxInt))
                                         : 0.0f;
                }
                if (kKeepAlpha) px4[A] = float(src.sampleNearest(x, y)[A]);
                Px& d = *dst.pixelAddress(x, y);
                for (int c = 0; c < C; ++c) d[c] = Pixel::storeChannel<typename Px::Channel>(px4[c]);
            }
        }
    }
};

template <class Px>
Px noisePixel(int x, int y)
{
    Px p;
    const uint32_t h = uint32_t(x * 7907 + y * 17387 + 11) * 2654435761u;
    for (int c = 0; c < Px::channels; ++c) {
        const float u = float((h >> (8 * c)) & 255) / 255.0f;
        p[c] = Pixel::storeChannel<typename Px::Channel>(Px::isInteger ? std::floor(u * Px::M)
                                                                       : u * u * 3.0f - 0.5f);
    }
    return p;
}

}  // namespace

// Every radius kind (none on one axis, fractional, whole, beyond the image), edge mode, valid window,
// rectangle and thread count, in place and not, plain and alpha-weighted, against the plain passes.
TYPED_TEST(BlurTest, MatchesThePlainPasses)
{
    using Px = TypeParam;
    struct Case {
        int w, h;
        float sx, sy;
        int iterations, mode;
        KlRect rect;  // empty: the whole destination
        KlRect window;  // valid window of the source (axis indices, inclusive ends); empty: whole
        bool inPlace;
    };
    const KlRect whole{};
    const Case cases[] = {
        {37, 23, 1.0f / 3.0f, 1.0f / 3.0f, 3, KlEdgeReflect, whole, whole, false},
        {37, 23, 1.0f / 3.0f, 1.0f / 3.0f, 3, KlEdgeWrap, whole, whole, true},
        {41, 29, 2.5f, 1.5f, 3, KlEdgeRepeat, {5, 7, 30, 26}, whole, false},
        {41, 29, 0.5f, 0.0f, 1, KlEdgeColour, {-3, 2, 39, 40}, whole, false},
        {19, 67, 0.0f, 2.7f, 3, KlEdgeWrap, {0, 20, 19, 50}, whole, true},
        {33, 21, 7.7f, 40.0f, 3, KlEdgeReflect, whole, {4, 3, 25, 15}, false},
        {33, 21, 3.25f, 6.0f, 3, KlEdgeWrap, {6, 8, 30, 21}, {4, 3, 25, 15}, true},
        {33, 21, 1.2f, 2.0f, 3, KlEdgeColour, whole, {4, 3, 25, 15}, true},
        {16, 9, 5000.0f, 0.5f, 2, KlEdgeReflect, whole, whole, false},
        {1, 1, 2.0f, 2.0f, 3, KlEdgeRepeat, whole, whole, false},
        {53, 3, 1.0f, 11.5f, 8, KlEdgeWrap, {9, 1, 40, 3}, whole, true},
        // Tall enough to be streamed through small buffers, wide enough for several bands.
        {150, 301, 1.0f / 3.0f, 1.0f / 3.0f, 3, KlEdgeReflect, whole, whole, true},
        {150, 301, 2.5f, 1.5f, 3, KlEdgeWrap, {3, 10, 140, 290}, {5, 4, 145, 280}, false},
        {150, 301, 2.0f, 0.0f, 3, KlEdgeColour, {0, 1, 150, 300}, whole, true},
    };
    auto check = [&](auto flagsTag) {
        constexpr int F = decltype(flagsTag)::value;
        using B = BlurGeneralGauss<Px, Px, Px::maxInt, F & 1, F & 1, F & 1, (F >> 1) & 1>;
        for (const Case& c : cases) {
            if (F != 0 && c.h > 200) continue;  // the weighting does not depend on how rows are kept
            KlTexture<Px> src = makeImage<Px>(c.w, c.h, noisePixel<Px>, c.mode);
            src.setEdgeColour(noisePixel<Px>(-1, -1));
            if (!c.window.isEmpty()) src.setWindow(c.window.x0, c.window.y0, c.window.x1, c.window.y1);
            const KlRect rect = c.rect.isEmpty() ? KlRect{0, 0, c.w, c.h} : c.rect;
            // Outside the rectangle the destination keeps what it had: the source itself when in place.
            auto before = [&](int x, int y) {
                return c.inPlace ? noisePixel<Px>(x, y) : noisePixel<Px>(y, x);
            };
            KlTexture<Px> expect = makeImage<Px>(c.w, c.h, before);
            ReferenceBlur<Px, F>::run(src, expect, rect, c.sx, c.sy, c.iterations);
            // The last run: the portable passes, which give the same picture as the processor's own.
            for (int run : {1, 2, 3, 4}) {
                const int threads = run == 4 ? 2 : run;
                KlMultiProcessor::setProcessorCountForTesting(threads);
                Blur::usePortablePassesForTesting(run == 4);
                KlTexture<Px> in = makeImage<Px>(c.w, c.h, noisePixel<Px>, c.mode);
                in.setEdgeColour(noisePixel<Px>(-1, -1));
                if (!c.window.isEmpty()) in.setWindow(c.window.x0, c.window.y0, c.window.x1, c.window.y1);
                KlTexture<Px> out =
                    makeImage<Px>(c.w, c.h, [](int x, int y) { return noisePixel<Px>(y, x); });
                KlTexture<Px>* dst = c.inPlace ? &in : &out;
                B b;
                b.setSource(&in);
                b.setDestination(dst);
                if (!c.rect.isEmpty()) b.setRect(c.rect);
                b.setSizes(c.sx, c.sy);
                b.setIterations(c.iterations);
                b.execute();
                if (c.h > 200) {
                    EXPECT_TRUE(b.streams());
                }
                Blur::usePortablePassesForTesting(false);
                EXPECT_TRUE(same(expect, *dst))
                    << c.w << "x" << c.h << " sizes " << c.sx << "," << c.sy << " flags " << F << " threads "
                    << threads << (run == 4 ? " portable" : "") << (c.inPlace ? " in place" : "");
            }
        }
    };
    check(std::integral_constant<int, 0>{});
    check(std::integral_constant<int, 3>{});
}

// An interrupt part way stops every thread, whichever work each holds, also while others wait for it.
TEST(BlurThreads, InterruptEndsThePass)
{
    struct Count {
        std::atomic<int> calls{0};
        int limit;
    };
    for (int threads : {1, 2, 3})
        for (int limit : {2, 5, 40}) {
            KlMultiProcessor::setProcessorCountForTesting(threads);
            KlTexture<PixARGB8> src = makeImage<PixARGB8>(150, 400, noisePixel<PixARGB8>), dst(150, 400);
            Count count{{0}, limit};
            KlInterruptHook hook;
            hook.userData = &count;
            hook.callback = [](void* user, std::atomic<int32_t>*) {
                Count* c = static_cast<Count*>(user);
                return c->calls.fetch_add(1) >= c->limit ? 1 : 0;
            };
            Blur0<PixARGB8> b;
            b.setSource(&src);
            b.setDestination(&dst);
            b.setSizes(1.0f / 3.0f, 1.0f / 3.0f);
            b.setInterruptHook(&hook);
            EXPECT_NO_THROW(b.execute());
            // Only the rendering thread asks the host, and the others may finish the pass before it
            // has asked often enough: the pass is interrupted exactly when the host said so.
            EXPECT_EQ(hook.interrupted.load() != 0, count.calls.load() > limit)
                << threads << " threads, limit " << limit;
        }
    KlMultiProcessor::setProcessorCountForTesting(0);
}

TEST(BlurKernels, PhasesAreNormalisedAndBlend)
{
    KlCachedPrecalculatedKernels k(2.0f, 0.0f);
    EXPECT_EQ(k.taps(0), 5);
    EXPECT_EQ(k.taps(1), 1);
    for (int ph = 0; ph <= KlCachedPrecalculatedKernels::kPhases; ++ph) {
        const float* w = k.phaseKernel(0, ph);
        EXPECT_NEAR(w[0] + w[1] + w[2] + w[3] + w[4], 1.0f, 1e-6f);
    }
    const float* w0 = k.phaseKernel(0, 0);
    EXPECT_FLOAT_EQ(w0[0], w0[4]);  // phase 0 is symmetric
    EXPECT_GT(w0[2], w0[1]);
    // Phase 1/2: taps k - 0.5 are symmetric about +0.5.
    const float* wh = k.phaseKernel(0, 32);
    EXPECT_FLOAT_EQ(wh[2], wh[3]);
    float out[5];
    k.kernelAt(0, 0.5f, out);
    for (int i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(out[i], wh[i]);
    k.kernelAt(0, 1.0f / 128.0f, out);  // halfway between phases 0 and 1
    const float* w1 = k.phaseKernel(0, 1);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(out[i], 0.5f * (w0[i] + w1[i]), 1e-7f);
    k.kernelAt(1, 0.3f, out);
    EXPECT_EQ(out[0], 1.0f);
    KlCachedPrecalculatedKernels bad(std::nanf(""), 1e9f);
    EXPECT_EQ(bad.taps(0), 1);
    EXPECT_EQ(bad.halfWidth(1), 256);
}
