// A frame of another time is cropped as the current frame is: the same window, edge modes and edge
// colour, down to the row, where the percent arithmetic could round a row apart.
#include "host/klAEWrapperClip.h"
#include "wrapper/klPostProcess.h"

#include <gtest/gtest.h>

#include <vector>

using Kiln::AfterEffects::Wrapper::ClipCrop;

namespace {

template <class Px>
KlTexture<Px> viewOf(std::vector<Px>& memory, int32_t w, int32_t h)
{
    memory.assign(size_t(w) * size_t(h), Px{});
    return KlTexture<Px>(memory.data(), w, h, w * int32_t(sizeof(Px)));
}

}  // namespace

TEST(HostCrop, OtherFramesGetTheCurrentFramesWindowToTheRow)
{
    // (1 - 0.55) * 1080 is 485.99999999999994: a fraction first would cut at row 485, the current
    // frame's crop at 486. Top 80 and 90 are the same; Left 29 of 100 columns is column 29.
    struct Case {
        int32_t w, h;
        double left, right, bottom, top;
        int32_t x0, y0, x1, y1;
    };
    const Case cases[] = {
        {1920, 1080, 0, 100, 0, 55, 0, 486, 1919, 1079}, {1920, 1080, 0, 100, 0, 80, 0, 216, 1919, 1079},
        {1920, 1080, 0, 100, 0, 90, 0, 108, 1919, 1079}, {100, 1080, 29, 57, 45, 55, 29, 486, 57, 594},
        {100, 1080, 29, 57, 10, 100, 29, 0, 57, 972},
    };
    for (const Case& c : cases) {
        ClipCrop crop;
        crop.left = c.left;
        crop.right = c.right;
        crop.bottom = c.bottom;
        crop.top = c.top;
        crop.xMethod = KlEdgeRepeat;
        crop.yMethod = KlEdgeColour;
        crop.edgeColour = {0.2f, 0.4f, 1.0f, 0.6f};
        Kiln::Wrapper::PostProcessSettings current;
        current.left = c.left;
        current.right = c.right;
        current.bottom = c.bottom;
        current.top = c.top;
        current.xMethod = KlEdgeRepeat;
        current.yMethod = KlEdgeColour;
        current.edgeColour = crop.edgeColour;

        std::vector<Kiln::PixARGB8> a, b;
        KlTexture<Kiln::PixARGB8> other = viewOf(a, c.w, c.h), now = viewOf(b, c.w, c.h);
        Kiln::AfterEffects::Wrapper::applyCrop(other, crop);
        Kiln::Wrapper::applySourceCrop(now, current);
        const auto where = testing::Message() << c.w << "x" << c.h << " top " << c.top;
        EXPECT_EQ(other.xAxis().lo, c.x0) << where;
        EXPECT_EQ(other.yAxis().lo, c.y0) << where;
        EXPECT_EQ(other.xAxis().hi, c.x1) << where;
        EXPECT_EQ(other.yAxis().hi, c.y1) << where;
        EXPECT_EQ(other.yAxis().lo, now.yAxis().lo) << where;
        EXPECT_EQ(other.yAxis().hi, now.yAxis().hi) << where;
        EXPECT_EQ(other.xAxis().edgeMode, now.xAxis().edgeMode) << where;
        EXPECT_EQ(other.yAxis().edgeMode, now.yAxis().edgeMode) << where;
        for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(other.edgeColour()[ch], now.edgeColour()[ch]) << where;

        // The same at 16 bits and float, the depths a host checks out too.
        std::vector<Kiln::PixARGB16> a16;
        KlTexture<Kiln::PixARGB16> deep = viewOf(a16, c.w, c.h);
        Kiln::AfterEffects::Wrapper::applyCrop(deep, crop);
        EXPECT_EQ(deep.yAxis().lo, c.y0) << where;
        EXPECT_EQ(deep.edgeColour()[1], Kiln::PixARGB16::Channel(0.2f * 32768)) << where;
    }
}
