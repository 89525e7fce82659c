#include "effect/klScanLines.h"
#include "stagesTestSupport.h"

using namespace Kiln;
using namespace KilnStagesTest;

namespace {

template <class Px>
Px grey(float v)
{
    return Px::filled(Pixel::storeChannel<typename Px::Channel>(v));
}

template <class Px>
void addLines(KlTexture<Px>& t, int spacing, const KlRect* rect = nullptr)
{
    KlScanLineAdder<Px> s;
    s.setSource(&t);
    s.setDestination(&t);
    s.setSpacing(spacing);
    if (rect) s.setRect(*rect);
    s.execute();
}

template <class Px>
class ScanLineTest : public StageTest { };
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(ScanLineTest, Depths);

}  // namespace

TEST(ScanLineMaths, RowFactors)
{
    EXPECT_EQ(ScanLines::rowFactor(0, 2), 0.25f);
    EXPECT_EQ(ScanLines::rowFactor(1, 2), 0.625f);
    EXPECT_EQ(ScanLines::rowFactor(2, 2), 0.25f);
    EXPECT_EQ(ScanLines::rowFactor(0, 3), 0.25f);
    EXPECT_FLOAT_EQ(ScanLines::rowFactor(1, 3), 0.5f);
    EXPECT_FLOAT_EQ(ScanLines::rowFactor(5, 3), 0.75f);
    EXPECT_FLOAT_EQ(ScanLines::rowFactor(-1, 3), 0.75f);  // anchored at row 0 on both sides
    EXPECT_EQ(ScanLines::rowFactor(7, 1), 1.0f);
    EXPECT_EQ(ScanLines::rowFactor(7, 0), 1.0f);
    EXPECT_EQ(ScanLines::rowFactor(7, -4), 1.0f);
}

TYPED_TEST(ScanLineTest, SpacingThreeIncludingAlpha)
{
    // Spacing 2 (0.25 and 0.625) is checked through the module at every depth (test_e2e_look.cpp).
    using Px = TypeParam;
    const float M = Px::M;
    auto u = makeImage<Px>(3, 6, [&](int, int) { return grey<Px>(M); });
    addLines(u, 3);
    const float f1 = ScanLines::rowFactor(1, 3), f2 = ScanLines::rowFactor(2, 3);
    for (int y = 0; y < 6; ++y) {
        const float f = y % 3 == 0 ? 0.25f : y % 3 == 1 ? f1 : f2;
        EXPECT_EQ(*u.pixelAddress(1, y), grey<Px>(Px::isInteger ? std::trunc(M * f) : M * f)) << y;
    }
}

TYPED_TEST(ScanLineTest, AnchoredAtFrameRowZeroAndOnlyInTheRectangle)
{
    using Px = TypeParam;
    const float M = Px::M;
    auto t = makeImage<Px>(4, 6, [&](int, int) { return grey<Px>(M); });
    const KlRect r{1, 1, 3, 4};
    addLines(t, 2, &r);
    const float light = Px::maxInt == 255 ? 159.0f : M * 0.625f;
    const float dark = Px::maxInt == 255 ? 63.0f : M * 0.25f;
    EXPECT_EQ(*t.pixelAddress(1, 1), grey<Px>(light));  // row 1 of the frame, first of the rectangle
    EXPECT_EQ(*t.pixelAddress(2, 2), grey<Px>(dark));
    EXPECT_EQ(*t.pixelAddress(0, 1), grey<Px>(M));
    EXPECT_EQ(*t.pixelAddress(3, 2), grey<Px>(M));
    EXPECT_EQ(*t.pixelAddress(1, 0), grey<Px>(M));
    EXPECT_EQ(*t.pixelAddress(1, 4), grey<Px>(M));
    // Spacing 1: nothing changes.
    auto src = makeImage<Px>(9, 7, patternPixel<Px>);
    auto same = makeImage<Px>(9, 7, patternPixel<Px>);
    addLines(same, 1);
    EXPECT_TRUE(sameImage(src, same));
}

TYPED_TEST(ScanLineTest, SeparateSourceAndThreads)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(37, 29, patternPixel<Px>, KlEdgeReflect);
    auto run = [&](int spacing) {
        KlTexture<Px> dst(37, 29);
        KlScanLineAdder<Px> s;
        s.setSource(&src);
        s.setDestination(&dst);
        s.setSpacing(spacing);
        s.execute();
        return dst;
    };
    KlMultiProcessor::setProcessorCountForTesting(1);
    auto one = run(4);
    const Px& p = *src.pixelAddress(5, 6);
    const float f = ScanLines::rowFactor(6, 4);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ((*one.pixelAddress(5, 6))[c], Pixel::storeChannel<typename Px::Channel>(float(p[c]) * f));
    for (int n : {2, 3, 5}) {
        KlMultiProcessor::setProcessorCountForTesting(n);
        EXPECT_TRUE(sameImage(one, run(4))) << n;
    }
    // In place gives the same as from a separate source.
    auto inPlace = makeImage<Px>(37, 29, patternPixel<Px>, KlEdgeReflect);
    addLines(inPlace, 4);
    EXPECT_TRUE(sameImage(one, inPlace));
}
