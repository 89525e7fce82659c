// The frame source between the footage reader and the host: clamping, caching, shrinking to the layer,
// reading ahead, and read errors held back for the render.
#include "render/klFrameSource.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace Kiln::Footage;

namespace {

// A reader that counts reads and paints each frame's index into red.
class CountingReader final : public FootageReader {
public:
    CountingReader()
    {
        info_.width = 4;
        info_.height = 2;
        info_.frameCount = 5;
    }
    const FootageInfo& info() const override { return info_; }
    const std::string& name() const override { return name_; }
    Image read(int index, Depth depth) override
    {
        ++reads;
        ++readsOf[index];
        if (index == failOn) throw FootageError(name_, "cannot decode", index);
        Image img = Image::make(info_.width, info_.height, depth);
        for (int y = 0; y < info_.height; ++y)
            for (int x = 0; x < info_.width; ++x) img.row<uint8_t>(y)[x * 4 + 1] = uint8_t(index * 10 + x);
        return img;
    }
    int reads = 0, readsOf[5] = {};
    int failOn = -1;

private:
    FootageInfo info_;
    std::string name_ = "counting";
};

}  // namespace

TEST(FrameSource, ClampsCachesAndKeepsFramesOfTheCurrentCall)
{
    CountingReader reader;
    FrameSource source(reader, 4, 2, 2);
    source.beginRender(0);
    EXPECT_EQ(source.frame(-3, Depth::Eight).row<uint8_t>(0)[1], 0);  // before the first: the first
    EXPECT_EQ(source.frame(99, Depth::Eight).row<uint8_t>(0)[1], 40);  // past the last: the last
    EXPECT_EQ(reader.reads, 2);
    const Image& first = source.frame(0, Depth::Eight);
    EXPECT_EQ(reader.reads, 2);  // kept
    // A third frame in the same call: the cache grows rather than dropping frames the module holds.
    source.frame(2, Depth::Eight);
    EXPECT_EQ(first.row<uint8_t>(0)[1], 0);
    source.beginRender(0);
    source.frame(3, Depth::Eight);
    source.frame(1, Depth::Eight);
    EXPECT_EQ(reader.reads, 5);
    source.frame(1, Depth::Sixteen);  // another depth is another picture
    EXPECT_EQ(reader.reads, 6);
}

TEST(FrameSource, ShrinksFramesToTheLayerAndHoldsBackReadErrors)
{
    CountingReader reader;
    FrameSource source(reader, 2, 1);
    const Image& small = source.frame(1, Depth::Eight);
    ASSERT_EQ(small.width, 2);
    ASSERT_EQ(small.height, 1);
    EXPECT_EQ(small.row<uint8_t>(0)[1], 11);  // mean of 10, 11 (row 0 and 1 alike) = 10.5 -> 11
    EXPECT_EQ(small.row<uint8_t>(0)[5], 13);  // mean of 12, 13 -> 12.5 -> 13

    reader.failOn = 3;
    const Image& blank = source.frame(3, Depth::Eight);
    EXPECT_EQ(blank.width, 2);
    try {
        source.rethrowPending();
        ADD_FAILURE() << "the read error was lost";
    } catch (const FootageError& e) {
        EXPECT_EQ(e.frame(), 3);
    }
    EXPECT_NO_THROW(source.rethrowPending());  // raised once
}

TEST(FrameSource, ReadingAheadHandsOutTheSameFramesReadOnceAndLeavesFailuresToTheRender)
{
    CountingReader reader;
    reader.failOn = 3;
    FrameSource source(reader, 4, 2, 3);
    source.readAhead(Depth::Eight, 2, 0);
    // Renders of frames 0..3, each asking for its own frame and the one before (a time remap).
    for (int n = 0; n < 4; ++n) {
        source.beginRender(n);
        EXPECT_EQ(source.frame(n - 1, Depth::Eight).row<uint8_t>(0)[1], std::max(0, n - 1) * 10) << n;
        const Image& own = source.frame(n, Depth::Eight);
        if (n < 3) {
            EXPECT_EQ(own.row<uint8_t>(0)[1], n * 10) << n;
        }
    }
    // Frame 3 failed (ahead, then for the render itself): the render hears of it, once.
    EXPECT_THROW(source.rethrowPending(), FootageError);
    source.stopReadingAhead();
    // Once the renders' requests are known, frames are read once; the first render asks frame 0 for -1 and 0,
    // which the reading ahead cannot tell apart from a render asking one frame.
    EXPECT_LE(reader.readsOf[0], 2);
    EXPECT_EQ(reader.readsOf[1], 1);
    EXPECT_EQ(reader.readsOf[2], 1);
    EXPECT_GE(reader.readsOf[3], 1);
}
