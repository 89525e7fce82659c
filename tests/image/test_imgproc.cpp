#include "image/klAnalyser.h"
#include "image/klFiller.h"
#include "image/klImgProc.h"
#include "image/klSamplers.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Kiln;

namespace {

class ImgProcTest : public ::testing::Test {
protected:
    void TearDown() override { KlMultiProcessor::setProcessorCountForTesting(0); }
};

class Nothing : public KlImgProc<PixARGB8> {
public:
    void process() override { }
};

}  // namespace

TEST(ImgProc, RectangleAndStack)
{
    Nothing p;
    EXPECT_FALSE(p.hasRectangle());
    p.setRectangle(2, 3, 5, 7);
    EXPECT_TRUE(p.hasRectangle());
    EXPECT_EQ(p.rectangle(), (KlRect{2, 3, 6, 8}));  // exclusive ends
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(p.pushRectangle(), 1);
        p.setRectangle(i, i, i, i);
    }
    EXPECT_EQ(p.pushRectangle(), 0);  // full: nothing changes
    EXPECT_EQ(p.rectangle(), (KlRect{9, 9, 10, 10}));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(p.popRectangle(), 1);
    EXPECT_EQ(p.rectangle(), (KlRect{2, 3, 6, 8}));
    EXPECT_EQ(p.popRectangle(), 0);
    EXPECT_EQ(p.rectangle(), (KlRect{2, 3, 6, 8}));
}

TEST(ImgProc, FieldRowSnapping)
{
    EXPECT_EQ(KlImgProcBase::snapRow(3, 0), 3);
    EXPECT_EQ(KlImgProcBase::snapRow(3, 1), 4);
    EXPECT_EQ(KlImgProcBase::snapRow(4, 1), 4);
    EXPECT_EQ(KlImgProcBase::snapRow(4, 2), 5);
    EXPECT_EQ(KlImgProcBase::snapRow(5, 2), 5);
    EXPECT_EQ(KlImgProcBase::snapRow(0, 2), 1);
    EXPECT_EQ(KlImgProcBase::snapRow(-3, 1), -2);
    EXPECT_EQ(KlImgProcBase::snapRow(-2, 2), -1);
    EXPECT_EQ(KlImgProcBase::rowStep(0), 1);
    EXPECT_EQ(KlImgProcBase::rowStep(1), 2);
    EXPECT_EQ(KlImgProcBase::rowStep(2), 2);
}

TEST_F(ImgProcTest, FillerFollowsFieldsOnEveryThread)
{
    KlMultiProcessor::setProcessorCountForTesting(3);
    for (int mode = 0; mode < 3; ++mode) {
        KlTexture<PixARGB16> img(3, 7, 0, 10);
        KlImgFiller<PixARGB16> clear;
        clear.setDestination(&img);
        clear.run();  // no rectangle: the whole image, transparent black
        for (int y = 10; y < 17; ++y) EXPECT_TRUE(*img.pixelAddress(2, y) == (PixARGB16{0, 0, 0, 0}));

        KlImgFiller<PixARGB16> fill;
        fill.setDestination(&img);
        fill.setColour({32768, 1, 2, 3});
        fill.setFieldMode(mode);
        fill.run();
        for (int y = 10; y < 17; ++y) {
            const bool filled = mode == 0 || (mode == 1 && y % 2 == 0) || (mode == 2 && y % 2 == 1);
            EXPECT_EQ(img.pixelAddress(0, y)->a, filled ? 32768 : 0) << "mode " << mode << " row " << y;
        }
    }
    KlTexture<PixARGB8> img(4, 4);
    ColouredFrameGenerator<PixARGB8> blank;
    EXPECT_TRUE(blank.colour() == (PixARGB8{0, 0, 0, 0}));
    blank.setColour({255, 9, 9, 9});
    blank.setDestination(&img);
    blank.setRectangle(1, 1, 2, 2);
    blank.run();
    EXPECT_EQ(img.pixelAddress(1, 1)->r, 9);
    EXPECT_EQ(img.pixelAddress(2, 2)->r, 9);
    blank.setRectangle(-5, -5, 20, 20);  // clipped to the image memory
    blank.run();
    EXPECT_EQ(img.pixelAddress(3, 3)->a, 255);
}

template <class Px>
class SamplerDepth : public ::testing::Test {
protected:
    void TearDown() override { KlMultiProcessor::setProcessorCountForTesting(0); }
};
using Depths = ::testing::Types<PixARGB8, PixARGB16, PixARGBF>;
TYPED_TEST_SUITE(SamplerDepth, Depths);

TYPED_TEST(SamplerDepth, CopyWithReflectedEdges)
{
    using Px = TypeParam;
    KlMultiProcessor::setProcessorCountForTesting(2);
    const float k = Px::M / 255.0f;
    auto px = [k](int v) {
        typename Px::Work w;
        w.a = 255 * k;
        w.r = static_cast<float>(v) * k;
        w.g = 0;
        w.b = static_cast<float>(v) * k;
        return Px::fromWork(w);
    };
    KlTexture<Px> src(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) *src.pixelAddress(x, y) = px(10 * y + x);
    src.setEdgeModes(KlEdgeReflect, KlEdgeReflect);

    KlTexture<Px> dst(8, 5, -2, -1);
    SimpleCopySampler<Px> copy;
    copy.setSource(&src);
    copy.setDestination(&dst);
    copy.run();
    // Columns -2..5 read 1 0 0 1 2 3 3 2; rows -1..3 read 0 0 1 2 2.
    const int cols[8] = {1, 0, 0, 1, 2, 3, 3, 2};
    const int rows[5] = {0, 0, 1, 2, 2};
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(*dst.pixelAddress(i - 2, j - 1) == px(10 * rows[j] + cols[i])) << i << "," << j;

    // Only the red channel.
    KlTexture<Px> red(4, 3);
    KlImgFiller<Px> clear;
    clear.setDestination(&red);
    clear.run();
    ChannelCopySampler<Px, Px, 1, 0, 0, 0> channel;
    channel.setSource(&src);
    channel.setDestination(&red);
    channel.run();
    EXPECT_EQ(red.pixelAddress(3, 2)->r, src.pixelAddress(3, 2)->r);
    EXPECT_EQ(red.pixelAddress(3, 2)->b, 0);
    EXPECT_EQ(red.pixelAddress(3, 2)->a, 0);

    // Per-channel extremes, the same on any number of threads.
    KlAnalyserProc<Px> analyser;
    analyser.setImage(&src);
    analyser.run();
    ASSERT_TRUE(analyser.found());
    EXPECT_FLOAT_EQ(analyser.minimum().r, src.pixelAddress(0, 0)->r);
    EXPECT_FLOAT_EQ(analyser.maximum().r, src.pixelAddress(3, 2)->r);
    EXPECT_FLOAT_EQ(analyser.minimum().a, src.pixelAddress(0, 0)->a);
    EXPECT_FLOAT_EQ(analyser.maximum().g, 0.0f);
    KlMultiProcessor::setProcessorCountForTesting(5);  // more bands than rows
    KlAnalyserProc<Px> many;
    many.setImage(&src);
    many.setRectangle(1, 1, 2, 2);
    many.run();
    EXPECT_FLOAT_EQ(many.minimum().r, src.pixelAddress(1, 1)->r);
    EXPECT_FLOAT_EQ(many.maximum().b, src.pixelAddress(2, 2)->b);
}

TEST(ImgProc, AnalyserOfAnEmptyArea)
{
    KlTexture<PixARGBF> img(2, 2);
    KlAnalyserProc<PixARGBF> a;
    a.setImage(&img);
    a.setRectangle(5, 5, 6, 6);
    a.run();
    EXPECT_FALSE(a.found());
}
