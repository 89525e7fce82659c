#include "effect/klLensWarper.h"
#include "stagesTestSupport.h"

#include <cfloat>
#include <cmath>

using namespace Kiln;
using namespace KilnStagesTest;

namespace {

KlLensWarper lens(float cx, float cy, float rx, float ry, float k)
{
    KlLensWarper w;
    w.setCentre(cx, cy);
    w.setRadii(rx, ry);
    w.setStrength(k);
    w.rebuild();
    return w;
}

template <class Px>
KlTexture<Px> render(const KlTexture<Px>& src, const KlWarper& w, int filter)
{
    KlTexture<Px> dst = KlTexture<Px>::createLike(src);
    KlWarpRender<Px> r;
    r.setWarper(&w);
    r.setSource(&src);
    r.setDestination(&dst);
    r.setFilter(filter);
    r.execute();
    return dst;
}

template <class Px>
class LensRender : public StageTest { };
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(LensRender, Depths);

}  // namespace

TEST(LensMaths, HalfwayPointAtStrengthOne)
{
    const float k = std::exp(-1.0f);
    KlLensWarper w = lens(500.0f, 400.0f, 100.0f, 100.0f, k);
    KlPoint p{550.0f, 400.0f};  // r = 0.5
    const float shade = w.warp(p);
    EXPECT_NEAR((p.x - 500.0f) / 100.0f, 0.5 * 0.36788 / (1.0 - 0.63212 * 0.25), 2e-5);
    EXPECT_NEAR((p.x - 500.0f) / 100.0f, 0.2185, 1e-4);
    EXPECT_EQ(p.y, 400.0f);
    EXPECT_NEAR(shade, 0.25f * KlLensWarper::radialScale(0.25f, k), 1e-7f);
    // The centre stays (returned number 0), the outside stays (1), the rim maps to itself.
    KlPoint c{500.0f, 400.0f};
    EXPECT_EQ(w.warp(c), 0.0f);
    EXPECT_EQ(c.x, 500.0f);
    KlPoint o{620.0f, 400.0f};
    EXPECT_EQ(w.warp(o), 1.0f);
    EXPECT_EQ(o.x, 620.0f);
    KlPoint rim{400.0f, 400.0f + 99.99f};
    w.warp(rim);
    EXPECT_NEAR(rim.y, 499.99f, 0.01f);
    // An ellipse: u = (0.5, 0.5), r^2 = 0.5.
    KlLensWarper e = lens(0.0f, 0.0f, 200.0f, 100.0f, k);
    KlPoint q{100.0f, 50.0f};
    e.warp(q);
    const float s = k / (1.0f + (k - 1.0f) * 0.5f);
    EXPECT_NEAR(q.x, 100.0f * s, 1e-3f);
    EXPECT_NEAR(q.y, 50.0f * s, 1e-3f);
    // Negative strength (k > 1) pushes points outwards but never past the rim.
    KlLensWarper n = lens(0.0f, 0.0f, 100.0f, 100.0f, std::exp(1.0f));
    KlPoint m{50.0f, 0.0f};
    n.warp(m);
    EXPECT_GT(m.x, 50.0f);
    EXPECT_LT(m.x, 100.0f);
}

TEST(LensMaths, GuardsAndAmount)
{
    const float k = 0.5f;
    EXPECT_EQ(KlLensWarper::radialScale(0.25f, k), k / (1.0f + (k - 1.0f) * 0.25f));
    EXPECT_EQ(KlLensWarper::radialScale(1.0f, k), 1.0f);
    EXPECT_EQ(KlLensWarper::radialScale(std::nanf(""), k), 1.0f);
    EXPECT_EQ(KlLensWarper::radialScale(1e-39f, k), 1.0f);
    EXPECT_EQ(KlLensWarper::radialScale(0.5f, -1.0f), 1.0f);  // 1 + (k-1) r^2 = 0
    KlLensWarper w = lens(0.0f, 0.0f, 100.0f, 100.0f, k);
    KlPoint a{30.0f, 40.0f}, b{30.0f, 40.0f}, c{30.0f, 40.0f}, d{30.0f, 40.0f};
    w.warp(a);
    w.warp(b, 1.0f);
    EXPECT_NEAR(a.x, b.x, 1e-4f);
    EXPECT_NEAR(a.y, b.y, 1e-4f);
    EXPECT_FLOAT_EQ(w.warp(c, 0.0f), 0.25f);  // amount 0: k' = 1, no move
    EXPECT_EQ(c.x, 30.0f);
    EXPECT_EQ(w.warp(d, 2.0f), 0.0f);  // k' = 0 is refused
    EXPECT_EQ(d.x, 30.0f);

    // Radius 0 (or below the smallest normal float): reciprocals 0, nothing moves, empty box.
    for (float r : {0.0f, 1e-39f, -1e-40f}) {
        KlLensWarper z = lens(10.0f, 10.0f, r, r, 0.3f);
        EXPECT_EQ(z.invRadiusX(), 0.0f);
        EXPECT_EQ(z.invRadiusY(), 0.0f);
        KlPoint p{10.5f, 11.5f};
        z.warp(p);
        EXPECT_EQ(p.x, 10.5f);
        EXPECT_EQ(p.y, 11.5f);
        const KlBox box = z.boundingBox();
        EXPECT_GT(box.y0, box.y1);
        EXPECT_FALSE(z.rowSpan(10).hit);
    }
    // A radius so small its reciprocal overflows nothing: points stay.
    KlLensWarper t = lens(5.0f, 5.0f, 1e-30f, 1e-30f, 0.3f);
    KlPoint p{5.5f, 5.5f};
    t.warp(p);
    EXPECT_EQ(p.x, 5.5f);
}

TEST(LensMaths, RowSpanBoxAndTransforms)
{
    KlLensWarper w = lens(50.0f, 40.0f, 20.0f, 10.0f, 0.5f);
    KlSpan s = w.rowSpan(39);  // centre line 39.5: u_y = -0.05
    ASSERT_TRUE(s.hit);
    const float half = 20.0f * std::sqrt(1.0f - 0.0025f);
    EXPECT_NEAR(s.xa, 50.0f - half, 1e-3f);
    EXPECT_NEAR(s.xb, 50.0f + half, 1e-3f);
    EXPECT_FALSE(w.rowSpan(29).hit);  // 29.5 is 10.5 above the centre
    EXPECT_FALSE(w.rowSpan(50).hit);
    KlBox b = w.boundingBox();
    EXPECT_NEAR(b.x0, 30.0f, 1e-4f);
    EXPECT_NEAR(b.x1, 70.0f, 1e-4f);
    EXPECT_NEAR(b.y0, 30.0f, 1e-4f);
    EXPECT_NEAR(b.y1, 50.0f, 1e-4f);

    // Turned by 90 degrees the long axis is vertical.
    KlLensWarper r;
    r.setCentre(50.0f, 40.0f);
    r.setRadii(20.0f, 10.0f);
    r.setAngle(float(M_PI / 2));
    r.setStrength(0.5f);
    r.rebuild();
    s = r.rowSpan(39);
    EXPECT_NEAR(s.xb - s.xa, 2.0f * 10.0f * std::sqrt(1.0f - 0.025f * 0.025f), 1e-3f);
    b = r.boundingBox();
    EXPECT_NEAR(b.x1 - b.x0, 20.0f, 1e-3f);
    EXPECT_NEAR(b.y1 - b.y0, 40.0f, 1e-3f);
    // fromUnit undoes toUnit, with aspect and rotation.
    r.setAspect(0.7f);
    r.rebuild();
    for (KlPoint p : {KlPoint{3.0f, 4.0f}, KlPoint{60.0f, 20.0f}, KlPoint{-7.0f, 100.0f}}) {
        const KlPoint q = r.fromUnit().apply(r.toUnit().apply(p));
        EXPECT_NEAR(q.x, p.x, 1e-3f);
        EXPECT_NEAR(q.y, p.y, 1e-3f);
    }
    // A narrow aspect widens the ellipse beyond radiusX; the box follows it.
    b = r.boundingBox();
    EXPECT_GT(b.x1 - b.x0, 20.0f / 0.7f - 0.01f);

    // Span columns clamp and survive infinite or NaN spans.
    int32_t a0 = 0, a1 = 0;
    EXPECT_TRUE(Warp::spanColumns({-FLT_MAX, FLT_MAX, true}, 0, 9, a0, a1));
    EXPECT_EQ(a0, 0);
    EXPECT_EQ(a1, 9);
    EXPECT_TRUE(Warp::spanColumns({2.5f, 4.2f, true}, 0, 9, a0, a1));
    EXPECT_EQ(a0, 2);
    EXPECT_EQ(a1, 5);
    EXPECT_TRUE(Warp::spanColumns({std::nanf(""), std::nanf(""), true}, 0, 9, a0, a1));
    EXPECT_FALSE(Warp::spanColumns({20.0f, 30.0f, true}, 0, 9, a0, a1));
    EXPECT_EQ(Warp::nearestIndex(std::nanf("")), -16777216);
    EXPECT_EQ(Warp::nearestIndex(-0.7f), 0);  // truncation, not floor
    EXPECT_EQ(Warp::nearestIndex(1e30f), 16777216);
    for (float v : {-2.5f, -2.0f, -0.25f, 0.0f, 0.75f, 3.0f, 16777216.0f, -16777216.0f, -1e-30f})
        EXPECT_EQ(Warp::floorIndex(v), int32_t(std::floor(v))) << v;
    EXPECT_EQ(Warp::floorIndex(std::nanf("")), -1073741824);
    EXPECT_EQ(Warp::floorIndex(-INFINITY), -1073741824);
    EXPECT_EQ(Warp::floorIndex(1e20f), 1073741824);
}

TYPED_TEST(LensRender, MatchesPerPixelWarpAtEveryDepth)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(65, 49, patternPixel<Px>, KlEdgeReflect);
    KlLensWarper turned = lens(32.5f, 24.5f, 30.0f, 20.0f, std::exp(-0.7f));
    turned.setAngle(0.3f);
    turned.setAspect(0.8f);
    turned.rebuild();
    for (const KlLensWarper& w : {lens(32.5f, 24.5f, 30.0f, 20.0f, std::exp(-1.0f)), turned})
        for (int filter : {0, 1})
            for (bool vectors :
                 {true, false}) {  // eight pixels at a time where the processor allows, and one by one
                Warp::useBilinear8ForTesting(vectors);
                auto dst = render(src, w, filter);
                Warp::useBilinear8ForTesting(true);
                for (int y = 0; y < 49; ++y)
                    for (int x = 0; x < 65; ++x) {
                        KlPoint p{x + 0.5f, y + 0.5f};
                        w.warp(p);
                        const Px expect =
                            filter == 0 ? src.sampleNearest(Warp::nearestIndex(p.x), Warp::nearestIndex(p.y))
                                        : Px::fromWork(src.sampleBilinear(p.x, p.y));
                        ASSERT_EQ(*dst.pixelAddress(x, y), expect)
                            << x << "," << y << " filter " << filter << " " << vectors;
                    }
                // The centre pixel and everything outside the ellipse are the source's own.
                EXPECT_EQ(*dst.pixelAddress(32, 24), *src.pixelAddress(32, 24));
                EXPECT_EQ(*dst.pixelAddress(0, 0), *src.pixelAddress(0, 0));
                EXPECT_EQ(*dst.pixelAddress(64, 48), *src.pixelAddress(64, 48));
            }
}

TYPED_TEST(LensRender, NearestGivesOnlySourceValuesAndThreadsDoNotMatter)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(80, 60, patternPixel<Px>, KlEdgeWrap);
    // Pincushion reaching beyond the frame through the edge mode.
    const KlLensWarper w = lens(40.0f, 30.0f, 70.0f, 50.0f, std::exp(0.8f));
    auto near = render(src, w, 0);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            const Px& p = *near.pixelAddress(x, y);
            bool found = false;
            for (int sy = 0; sy < 60 && !found; ++sy)
                for (int sx = 0; sx < 80 && !found; ++sx) found = *src.pixelAddress(sx, sy) == p;
            ASSERT_TRUE(found) << x << "," << y;
        }
    KlMultiProcessor::setProcessorCountForTesting(1);
    auto one = render(src, w, 1);
    for (int n : {2, 3, 7}) {
        KlMultiProcessor::setProcessorCountForTesting(n);
        EXPECT_TRUE(sameImage(one, render(src, w, 1))) << n;
        EXPECT_TRUE(sameImage(near, render(src, w, 0))) << n;
    }
}

TYPED_TEST(LensRender, RadiusZeroAndStrengthOneChangeNothing)
{
    using Px = TypeParam;
    auto src = makeImage<Px>(33, 21, patternPixel<Px>, KlEdgeColour);
    EXPECT_TRUE(sameImage(src, render(src, lens(16.5f, 10.5f, 0.0f, 0.0f, 0.2f), 1)));
    EXPECT_TRUE(sameImage(src, render(src, lens(16.5f, 10.5f, 0.0f, 0.0f, 0.2f), 0)));
    EXPECT_TRUE(sameImage(src, render(src, lens(16.5f, 10.5f, 12.0f, 9.0f, 1.0f), 1)));
    // A rectangle: only its pixels are written.
    KlTexture<Px> dst = makeImage<Px>(33, 21, [](int, int) { return Px{}; });
    const KlLensWarper w = lens(16.5f, 10.5f, 12.0f, 9.0f, 0.4f);
    KlWarpRender<Px> r;
    r.setWarper(&w);
    r.setSource(&src);
    r.setDestination(&dst);
    r.setRectangle(10, 5, 20, 15);
    r.execute();
    auto whole = render(src, w, 1);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 33; ++x) {
            const bool in = x >= 10 && x <= 20 && y >= 5 && y <= 15;
            EXPECT_EQ(*dst.pixelAddress(x, y), in ? *whole.pixelAddress(x, y) : Px{});
        }
}
