#include "effect/klQuantise.h"
#include "stagesTestSupport.h"

#include <climits>
#include <cmath>
#include <string>
#include <vector>

using namespace Kiln;
using namespace KilnStagesTest;
namespace Q = Kiln::Quantise;

namespace {

template <class Px>
Px rgba(float r, float g, float b, float a)
{
    using Ch = typename Px::Channel;
    Px p;
    p.r = Pixel::storeChannel<Ch>(r);
    p.g = Pixel::storeChannel<Ch>(g);
    p.b = Pixel::storeChannel<Ch>(b);
    p.a = Pixel::storeChannel<Ch>(a);
    return p;
}

template <class Px>
KlTexture<Px> quantised(const KlTexture<Px>& src, int levels)
{
    KlTexture<Px> dst(src.width(), src.height());
    Q::quantise(levels, src, dst);
    return dst;
}

template <class Px>
class QuantiseTest : public StageTest { };
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(QuantiseTest, Depths);

// Four red values, their mean truncated, per depth.
template <class Px>
struct Levels1;
template <>
struct Levels1<PixARGB8> {
    static constexpr float v[4] = {0, 10, 20, 31};
    static constexpr float mean = 15;  // 15.25
};
template <>
struct Levels1<PixARGB16> {
    static constexpr float v[4] = {0, 1000, 2000, 3101};
    static constexpr float mean = 1525;  // 1525.25
};
template <>
struct Levels1<PixARGBF> {
    static constexpr float v[4] = {0, 0.25f, 0.5f, 0.75f};
    static constexpr float mean = 0.375f;
};

}  // namespace

TEST(QuantiseMaths, AxisIndexRules)
{
    EXPECT_EQ(Q::axisIndex(0.0f, 0.0f, 255.0f, 2), 0);
    EXPECT_EQ(Q::axisIndex(127.0f, 0.0f, 255.0f, 2), 0);
    EXPECT_EQ(Q::axisIndex(128.0f, 0.0f, 255.0f, 2), 1);
    EXPECT_EQ(Q::axisIndex(255.0f, 0.0f, 255.0f, 2), 1);  // the maximum falls in the last cell
    EXPECT_EQ(Q::axisIndex(51.0f, 0.0f, 255.0f, 5), 1);  // exactly on a boundary
    EXPECT_EQ(Q::axisIndex(-3.0f, 0.0f, 255.0f, 4), 0);
    EXPECT_EQ(Q::axisIndex(9.0f, 9.0f, 9.0f, 4), 0);  // min == max: 0/0
    EXPECT_EQ(Q::axisIndex(10.0f, 9.0f, 9.0f, 4), 0);  // +inf -> INT_MIN -> 0
    EXPECT_EQ(Q::axisIndex(std::nanf(""), 0.0f, 1.0f, 4), 0);
    EXPECT_EQ(Q::axisIndex(3e9f, 0.0f, 1.0f, 4), 0);  // beyond int32: INT_MIN -> 0
    EXPECT_EQ(Q::axisIndex(2e9f, 0.0f, 1.0f, 1), 0);
    EXPECT_EQ(Q::axisIndex(0.7f, 0.0f, 1.0f, 10), 7);  // single precision: 0.7f * 10 rounds to 7
    EXPECT_EQ(Q::axisIndex(0.29f, 0.0f, 1.0f, 10), 2);
}

TEST(QuantiseMaths, CellsLevelsAndMerge)
{
    Q::Buckets b(3, 0, 0, 0, 0, 255, 255, 255, 255);
    EXPECT_EQ(b.cellIndex(255.0f, 0.0f, 100.0f), (1 * 3 + 0) * 3 + 2);
    EXPECT_EQ(b.cellIndex(255.0f, 255.0f, 255.0f), 26);
    for (int bad : {33, 100, 0, -2}) {
        try {
            Q::Buckets x(bad, 0, 0, 0, 0, 1, 1, 1, 1);
            FAIL() << "levels " << bad << " accepted";
        } catch (const Exceptions::ExceptionI& e) {
            EXPECT_EQ(e.code(), Errors::BadValue);
            EXPECT_EQ(std::string(e.record().function), "Kiln::Quantise::Buckets::Buckets");
            ASSERT_EQ(e.record().values.size(), 2u);
            EXPECT_EQ(e.record().values.at(0).str(), "'levels'");
            EXPECT_EQ(e.record().values.at(1).str(), bad > 32 ? "'>32'" : "'<1'");
        }
    }
    Q::Buckets big(32, 0, 0, 0, 0, 1, 1, 1, 1);
    EXPECT_EQ(big.cellIndex(1.0f, 1.0f, 1.0f), 32767);

    // Whole rows (four pixels at a time for float) give the single-pixel cells, odd values included.
    const float odd[] = {0.0f,          1.0f,     0.5f,      0.7f, -0.3f, 1.5f,
                         std::nanf(""), INFINITY, -INFINITY, 3e9f, 0.29f, 1e-40f};
    std::vector<PixARGBF> row;
    for (float r : odd)
        for (float g : {0.1f, 0.9f, std::nanf("")})
            row.push_back(rgba<PixARGBF>(r, g, odd[(row.size() * 7) % 12], 1.0f));
    for (int levels : {1, 3, 10, 32}) {
        Q::Buckets f(levels, -0.2f, 0.0f, 0.1f, 0.0f, 1.2f, 1.0f, 0.8f, 1.0f);
        std::vector<int32_t> cells(row.size());
        f.rowCells(row.data(), int32_t(row.size()), cells.data());
        for (size_t i = 0; i < row.size(); ++i)
            EXPECT_EQ(cells[i], f.cellIndex(row[i].r, row[i].g, row[i].b)) << levels << " " << i;
    }
    // Integer channels through the table.
    Q::Buckets t(5, 3, 0, 10, 0, 250, 255, 200, 255);
    t.buildTable(256);
    for (int v = 0; v < 256; v += 5) {
        const PixARGB8 p = rgba<PixARGB8>(float(v), float(255 - v), float((v * 3) % 256), 255);
        EXPECT_EQ(t.pixelCell(p), t.cellIndex(float(p.r), float(p.g), float(p.b))) << v;
    }

    // Merging adds sums and counts; two valid means are averaged.
    Q::Buckets a(2, 0, 0, 0, 0, 1, 1, 1, 1), c(2, 0, 0, 0, 0, 1, 1, 1, 1);
    a.at(5).sum[0] = a.toFixed(0.5f);
    a.at(5).count = 1;
    c.at(5).sum[0] = c.toFixed(0.25f) * 3;
    c.at(5).count = 3;
    a.merge(c);
    EXPECT_EQ(a.at(5).count, 4);
    a.computeMeans();
    EXPECT_FLOAT_EQ(a.at(5).mean[0], (0.5f + 0.75f) / 4);
    EXPECT_EQ(a.at(6).mean[0], 0.0f);  // empty cell
    c.computeMeans();
    a.merge(c);
    EXPECT_FLOAT_EQ(a.at(5).mean[0], (0.3125f + 0.25f) / 2);
}

TYPED_TEST(QuantiseTest, LevelOneIsTheWholeImageAverage)
{
    using Px = TypeParam;
    using L = Levels1<Px>;
    auto src = makeImage<Px>(2, 2, [](int x, int y) {
        const float v = L::v[y * 2 + x];
        return rgba<Px>(v, v * 0.5f, 0, Px::M * float(x + y) / 4.0f);
    });
    auto dst = quantised(src, 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            EXPECT_EQ(float(dst.pixelAddress(x, y)->r), L::mean);
            EXPECT_EQ(dst.pixelAddress(x, y)->b, 0);
            EXPECT_EQ(dst.pixelAddress(x, y)->a, src.pixelAddress(x, y)->a);  // alpha per pixel
        }
}

TYPED_TEST(QuantiseTest, LevelTwoSplitsEachAxisInHalves)
{
    using Px = TypeParam;
    // 8 bits and float: values x = 0..255 (float x / 255); 16 bits: x * 128 for x = 0..256.
    const int n = Px::maxInt == 32768 ? 257 : 256;
    const float step = Px::maxInt == 32768 ? 128.0f : Px::isInteger ? 1.0f : 1.0f / 255.0f;
    auto src = makeImage<Px>(n, 1, [&](int x, int) { return rgba<Px>(x * step, x * step, x * step, Px::M); });
    auto dst = quantised(src, 2);
    // Means of x over 0..127 and 128..n-1.
    const double lowMean = 63.5, highMean = Px::maxInt == 32768 ? 192.0 : 191.5;
    for (int x = 0; x < n; ++x) {
        const double m = (x <= 127 ? lowMean : highMean) * step;
        const float expect = Px::isInteger ? std::trunc(float(m)) : float(m);
        ASSERT_EQ(float(dst.pixelAddress(x, 0)->g), expect) << x;
    }
}

TYPED_TEST(QuantiseTest, FlatImageUnchangedAndAlphaKept)
{
    using Px = TypeParam;
    const float v = Px::maxInt == 255 ? 77.0f : Px::maxInt == 32768 ? 12345.0f : 0.3337f;
    auto flat = makeImage<Px>(
        23, 17, [&](int x, int y) { return rgba<Px>(v, v * 0.5f, v * 0.25f, Px::M * float(x * y % 7) / 7); });
    for (int levels : {1, 2, 10, 32}) EXPECT_TRUE(sameImage(flat, quantised(flat, levels))) << levels;

    auto src = makeImage<Px>(41, 29, patternPixel<Px>);
    auto q = quantised(src, 4);
    int distinct = 0;
    for (int y = 0; y < 29; ++y)
        for (int x = 0; x < 41; ++x) {
            EXPECT_EQ(q.pixelAddress(x, y)->a, src.pixelAddress(x, y)->a);
            distinct += q.pixelAddress(x, y)->r != src.pixelAddress(x, y)->r;
        }
    EXPECT_GT(distinct, 0);
}

TYPED_TEST(QuantiseTest, PictureDoesNotDependOnThreads)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(101, 67, patternPixel<Px>);
    KlMultiProcessor::setProcessorCountForTesting(1);
    auto one = quantised(src, 5);
    for (int n : {2, 3, 8}) {
        KlMultiProcessor::setProcessorCountForTesting(n);
        EXPECT_TRUE(sameImage(one, quantised(src, 5))) << n;
    }
}

TYPED_TEST(QuantiseTest, OutsideTheSourceUsesItsEdgeColour)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(4, 4, [](int, int) { return rgba<Px>(Px::M, 0, 0, Px::M); });
    src.setEdgeColour(rgba<Px>(0, 0, Px::M, Px::M * 0.5f));
    KlTexture<Px> dst(6, 4);
    const float lo[4] = {0, 0, 0, 0}, hi[4] = {Px::M, Px::M, Px::M, Px::M};
    Q::quantise(2, lo, hi, src, dst);
    EXPECT_EQ(float(dst.pixelAddress(1, 1)->r), Px::M);
    // The edge colour's cell holds no counted pixel: mean 0; its alpha is the edge colour's.
    EXPECT_EQ(float(dst.pixelAddress(5, 2)->r), 0.0f);
    EXPECT_EQ(float(dst.pixelAddress(5, 2)->b), 0.0f);
    EXPECT_EQ(dst.pixelAddress(5, 2)->a, src.edgeColour().a);
    EXPECT_THROW(Q::quantise(33, lo, hi, src, dst), Exceptions::BadValue);
}
