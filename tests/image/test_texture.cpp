#include "image/klTexture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

KlTexAxis axis(int32_t size, int32_t mode, int32_t origin = 0)
{
    KlTexAxis a;
    a.setup(size, origin);
    a.setEdgeMode(mode);
    return a;
}

void expectPair(const KlTexAxis& a, int32_t i, int32_t i0, int32_t i1, bool flag)
{
    const KlTexIndexPair p = a.indexPair(i);
    EXPECT_EQ(p.i0, i0) << "i=" << i;
    EXPECT_EQ(p.i1, i1) << "i=" << i;
    EXPECT_EQ(p.contiguous, flag) << "i=" << i;
}

void expectRun(const KlTexAxis& a, int32_t c, int32_t index, int32_t dir, int32_t len)
{
    const KlTexRun r = a.run(c);
    EXPECT_EQ(r.index, index) << "c=" << c;
    EXPECT_EQ(r.direction, dir) << "c=" << c;
    EXPECT_EQ(r.length, len) << "c=" << c;
}

// Pixel index each coordinate of [from, to) reads when a row is walked run by run.
std::vector<int32_t> walk(const KlTexAxis& a, int32_t from, int32_t to)
{
    std::vector<int32_t> out;
    int32_t c = from;
    while (c < to) {
        const KlTexRun r = a.run(c);
        EXPECT_GE(r.length, 1);
        for (int32_t k = 0; k < r.length && c < to; ++k, ++c) {
            out.push_back(r.index < 0 ? -1 : r.index + k * r.direction);
            EXPECT_EQ(a.resolve(c), out.back()) << "c=" << c;  // a single pixel's index agrees with its run
        }
    }
    return out;
}

}  // namespace

TEST(TexAxis, IndexPairsAtBothSides)
{
    const KlTexAxis reflect = axis(4, KlEdgeReflect);
    expectPair(reflect, 1, 1, 2, true);
    expectPair(reflect, -1, 0, 0, false);  // the edge pixel is repeated, not skipped
    expectPair(reflect, -2, 1, 0, false);
    expectPair(reflect, -6, 2, 3, true);
    expectPair(reflect, 3, 3, 3, false);
    expectPair(reflect, 4, 3, 2, false);
    expectPair(reflect, 7, 0, 0, false);
    expectPair(reflect, 8, 0, 1, true);

    const KlTexAxis wrap = axis(4, KlEdgeWrap);
    expectPair(wrap, -1, 3, 0, false);
    expectPair(wrap, -4, 0, 1, true);
    expectPair(wrap, 3, 3, 0, false);
    expectPair(wrap, 5, 1, 2, true);

    const KlTexAxis colour = axis(4, KlEdgeColour);
    expectPair(colour, -1, -1, 0, false);
    expectPair(colour, -2, -1, -1, false);
    expectPair(colour, 3, 3, -1, false);
    expectPair(colour, 4, -1, -1, false);

    const KlTexAxis repeat = axis(4, KlEdgeRepeat);
    expectPair(repeat, -3, 0, 0, false);
    expectPair(repeat, 9, 3, 3, false);

    // An unknown mode behaves as colour.
    const KlTexAxis seven = axis(4, 7);
    expectPair(seven, -1, -1, 0, false);
    expectPair(seven, 3, 3, -1, false);
    expectRun(seven, -3, -1, 0, 3);
    expectRun(seven, 4, -1, 0, KlTexAxis::kEndless);
}

TEST(TexAxis, RunRuleAtBothSides)
{
    const KlTexAxis reflect = axis(4, KlEdgeReflect);
    expectRun(reflect, -5, 3, 1, 1);
    expectRun(reflect, -4, 3, -1, 4);
    expectRun(reflect, -1, 0, -1, 1);
    expectRun(reflect, 0, 0, 1, 4);
    expectRun(reflect, 2, 2, 1, 2);
    expectRun(reflect, 4, 3, -1, 4);
    expectRun(reflect, 8, 0, 1, 4);
    EXPECT_EQ(walk(reflect, -9, 13),
              (std::vector<int32_t>{0, 0, 1, 2, 3, 3, 2, 1, 0, 0, 1, 2, 3, 3, 2, 1, 0, 0, 1, 2, 3, 3}));

    const KlTexAxis wrap = axis(4, KlEdgeWrap);
    expectRun(wrap, -1, 3, 1, 1);
    expectRun(wrap, -3, 1, 1, 3);
    expectRun(wrap, 5, 1, 1, 3);
    EXPECT_EQ(walk(wrap, -6, 7), (std::vector<int32_t>{2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2}));

    const KlTexAxis colour = axis(4, KlEdgeColour, 10);
    expectRun(colour, 7, -1, 0, 3);
    expectRun(colour, 10, 0, 1, 4);
    expectRun(colour, 14, -1, 0, KlTexAxis::kEndless);

    const KlTexAxis repeat = axis(4, KlEdgeRepeat);
    expectRun(repeat, -3, 0, 0, 3);
    expectRun(repeat, 6, 3, 0, KlTexAxis::kEndless);
}

TEST(TexAxis, WindowInsideTheAxis)
{
    KlTexAxis a = axis(4, KlEdgeReflect);
    a.setWindow(2, 1);  // ordered to 1..2
    EXPECT_EQ(a.lo, 1);
    EXPECT_EQ(a.hi, 2);
    EXPECT_EQ(a.count, 2);
    EXPECT_EQ(walk(a, -2, 7), (std::vector<int32_t>{2, 2, 1, 1, 2, 2, 1, 1, 2}));
    a.setWindow(-5, 9);  // clamped into the axis
    EXPECT_EQ(a.lo, 0);
    EXPECT_EQ(a.hi, 3);
}

TEST(TexAxis, RegionLimitsMemory)
{
    KlTexAxis a = axis(8, KlEdgeColour);
    a.setRegion(5, 2);
    EXPECT_TRUE(a.hasRegion());
    EXPECT_EQ(a.regionStart, 2);
    EXPECT_EQ(a.regionEnd, 5);
    EXPECT_EQ(a.regionLen, 4);
    // Without clipping the window is the whole axis; pixels outside the region have no memory.
    expectRun(a, 0, -1, 0, 2);
    expectRun(a, 2, 0, 1, 4);
    expectRun(a, 4, 2, 1, 2);
    expectRun(a, 6, -1, 0, 2);
    expectPair(a, 1, -1, 0, false);
    expectPair(a, 3, 1, 2, true);
    expectPair(a, 5, 3, -1, false);
    EXPECT_EQ(a.memoryIndex(1), -1);
    EXPECT_EQ(a.memoryIndex(5), 3);

    a.setEdgeMode(KlEdgeRepeat);
    expectRun(a, 9, -1, 0, KlTexAxis::kEndless);  // hi = 7 lies outside the memory
    a.setClipToRegion(true);
    EXPECT_EQ(a.lo, 2);
    EXPECT_EQ(a.hi, 5);
    expectRun(a, 0, 0, 0, 2);
    expectRun(a, 7, 3, 0, KlTexAxis::kEndless);
    a.setEdgeMode(KlEdgeReflect);
    expectRun(a, 1, 0, -1, 1);
    expectPair(a, 1, 0, 0, false);

    a.setRegion(0, 7);  // the whole axis is no region
    EXPECT_FALSE(a.hasRegion());
    a.resetWindow();
    EXPECT_EQ(a.lo, 0);
    EXPECT_EQ(a.hi, 7);
}

TEST(TexAxis, SinglePixelAxis)
{
    for (int32_t mode : {KlEdgeReflect, KlEdgeWrap}) {
        const KlTexAxis a = axis(1, mode);
        for (int32_t i = -7; i <= 7; ++i) {
            EXPECT_EQ(a.resolve(i), 0) << "mode " << mode << " c=" << i;
            const KlTexIndexPair p = a.indexPair(i);
            EXPECT_EQ(p.i0, 0);
            EXPECT_EQ(p.i1, 0);
        }
    }
}

TEST(TexAxis, EmptyAxisIsAllEdgeColour)
{
    const KlTexAxis a = axis(0, KlEdgeWrap);
    expectPair(a, 0, -1, -1, false);
    expectRun(a, 0, -1, 0, KlTexAxis::kEndless);
}

template <class Px>
class TextureDepth : public ::testing::Test { };
using Depths = ::testing::Types<Kiln::PixARGB8, Kiln::PixARGB16, Kiln::PixARGBF>;
TYPED_TEST_SUITE(TextureDepth, Depths);

// 2 x 2 image, values given in 8-bit units and scaled to the depth's maximum.
template <class Px>
KlTexture<Px> twoByTwo(std::vector<Px>& memory)
{
    auto px = [](float a, float r, float g, float b) {
        const float k = Px::M / 255.0f;
        typename Px::Work w;
        w.a = a * k;
        w.r = r * k;
        w.g = g * k;
        w.b = b * k;
        return Px::fromWork(w);
    };
    memory = {px(255, 200, 100, 0), px(255, 100, 50, 20), px(255, 0, 0, 0), px(255, 40, 40, 40)};
    KlTexture<Px> t(memory.data(), 2, 2, static_cast<int32_t>(2 * sizeof(Px)), 0, 0);
    t.setEdgeColour(px(0, 10, 10, 10));
    return t;
}

TYPED_TEST(TextureDepth, BilinearSamples)
{
    using Px = TypeParam;
    std::vector<Px> mem;
    KlTexture<Px> t = twoByTwo<Px>(mem);
    const float k = Px::M / 255.0f;

    // At pixel centres the stored pixel comes back.
    auto c = t.sampleBilinear(1.5f, 1.5f);
    EXPECT_FLOAT_EQ(c.r, mem[3].toWork().r);
    EXPECT_FLOAT_EQ(c.a, mem[3].toWork().a);
    c = t.sampleBilinear(0.5f, 0.5f);
    EXPECT_FLOAT_EQ(c.g, mem[0].toWork().g);

    // Between the four: the fast path, (200 + 100 + 0 + 40) / 4 = 85 for red.
    c = t.sampleBilinear(1.0f, 1.0f);
    EXPECT_NEAR(c.r, 85.0f * k, 1e-4f * Px::M);
    EXPECT_NEAR(c.g, 47.5f * k, 1e-4f * Px::M);

    // Colour mode, half a pixel outside: half edge pixel, half edge colour.
    const float edgeR = t.edgeColour().toWork().r;
    c = t.sampleBilinear(0.0f, 0.5f);
    EXPECT_NEAR(c.r, edgeR + (mem[0].toWork().r - edgeR) * 0.5f, 1e-4f * Px::M);
    EXPECT_NEAR(c.a, mem[0].toWork().a * 0.5f, 1e-4f * Px::M);
    c = t.sampleBilinear(2.0f, 0.5f);
    EXPECT_NEAR(c.r, mem[1].toWork().r + (edgeR - mem[1].toWork().r) * 0.5f, 1e-4f * Px::M);
    // A full pixel or more outside: the edge colour.
    c = t.sampleBilinear(-0.5f, 0.5f);
    EXPECT_FLOAT_EQ(c.r, edgeR);
    c = t.sampleBilinear(-3.0f, 1.0f);
    EXPECT_FLOAT_EQ(c.r, edgeR);
    EXPECT_FLOAT_EQ(c.a, 0.0f);
    c = t.sampleBilinear(1.0f, 5.0f);
    EXPECT_FLOAT_EQ(c.r, edgeR);

    // Reflect repeats the edge pixel half a pixel outside.
    t.setEdgeModes(KlEdgeReflect, KlEdgeReflect);
    c = t.sampleBilinear(0.0f, 0.5f);
    EXPECT_FLOAT_EQ(c.r, mem[0].toWork().r);
    // Box sample: the bilinear sample at the box centre.
    c = t.sampleBox(0.5f, 0.5f, 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(c.r, mem[0].toWork().r);
    // Edge mode 7 counts as colour.
    t.setEdgeModes(7, 7);
    c = t.sampleBilinear(-3.0f, -3.0f);
    EXPECT_FLOAT_EQ(c.r, edgeR);
}

TYPED_TEST(TextureDepth, OriginAndNearest)
{
    using Px = TypeParam;
    std::vector<Px> mem;
    KlTexture<Px> base = twoByTwo<Px>(mem);
    KlTexture<Px> t(mem.data(), 2, 2, base.rowBytes(), 10, 20);
    t.setEdgeColour(base.edgeColour());
    EXPECT_FLOAT_EQ(t.sampleBilinear(10.5f, 20.5f).r, mem[0].toWork().r);
    EXPECT_EQ(t.pixelAddress(11, 21), &mem[3]);
    EXPECT_EQ(t.pixelAddress(12, 21), nullptr);
    EXPECT_EQ(t.pixelAddress(9, 20), nullptr);
    EXPECT_TRUE(t.sampleNearest(8, 20) == t.edgeColour());
    t.setEdgeModes(KlEdgeWrap, KlEdgeRepeat);
    EXPECT_TRUE(t.sampleNearest(9, 25) == mem[3]);
}

TEST(Texture, RowCopyWalksRuns)
{
    std::vector<Kiln::PixARGB8> mem(4);
    for (int i = 0; i < 4; ++i) mem[i] = {255, static_cast<uint8_t>(i), 0, 0};
    KlTexture<Kiln::PixARGB8> t(mem.data(), 4, 1, 16, 0, 0);
    t.setEdgeColour({0, 99, 0, 0});
    t.setEdgeModes(KlEdgeReflect, KlEdgeRepeat);
    std::vector<Kiln::PixARGB8> out(10);
    t.copyRow(3, -3, 7, out.data());  // row 3 repeats row 0
    const int want[] = {2, 1, 0, 0, 1, 2, 3, 3, 2, 1};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i].r, want[i]) << i;
    int runs = 0;
    t.forEachRun(0, 0, 4, [&](int32_t, int32_t n, const Kiln::PixARGB8*, int32_t step) {
        ++runs;
        EXPECT_EQ(n, 4);
        EXPECT_EQ(step, 1);
    });
    EXPECT_EQ(runs, 1);  // one run inside the image
    t.setEdgeModes(KlEdgeColour, KlEdgeColour);
    t.copyRow(1, -1, 2, out.data());  // a row outside the image is all edge colour
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i].r, 99);
    // Converted into another depth of the same order, values kept as they are.
    std::vector<Kiln::PixARGBF> f(2);
    t.copyRow(0, 3, 5, f.data());
    EXPECT_FLOAT_EQ(f[0].r, 3.0f);
    EXPECT_FLOAT_EQ(f[1].r, 99.0f);
}
