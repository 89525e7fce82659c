// Video files: written through the footage layer from the demo clip, read back through it, at random.
#include "cli/klDemoClip.h"
#include "cli/klFootage.h"
#include "cli/klFrameSource.h"
#include "tests/cli/cliTestSupport.h"

#include <cmath>

using namespace Kiln::Footage;

namespace {

class Video : public CliTest::ScratchTest {
protected:
    // Writes `frames` demo frames of w x h at `depth` into `name`; returns the frames written.
    std::vector<Image> writeDemo(const std::string& name, int w, int h, int frames, Depth depth,
                                 FrameRate rate = FrameRate{25, 1})
    {
        DemoReader demo(w, h, frames);
        WriterSettings s;
        s.width = w;
        s.height = h;
        s.depth = depth;
        s.rate = rate;
        auto writer = createWriter(parseFootagePath(path(name)), s, [&](int) { return path(name); });
        std::vector<Image> written;
        for (int i = 0; i < frames; ++i) {
            written.push_back(demo.read(i, depth));
            writer->write(written.back());
        }
        writer->finish();
        return written;
    }
    std::unique_ptr<FootageReader> open(const std::string& name)
    {
        return openReader(parseFootagePath(path(name)), FrameRate{25, 1});
    }
};

// Largest and mean absolute difference of the colour channels, in units of the 8-bit range.
template <class T>
std::pair<double, double> difference(const Image& a, const Image& b)
{
    const double scale = 255.0 / double(std::is_same_v<T, uint8_t> ? 255 : 32768);
    double worst = 0, sum = 0;
    size_t n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 1; c < 4; ++c) {
                const double d =
                    std::fabs(double(a.row<T>(y)[x * 4 + c]) - double(b.row<T>(y)[x * 4 + c])) * scale;
                worst = std::max(worst, d);
                sum += d;
                ++n;
            }
    return {worst, sum / double(n)};
}

}  // namespace

TEST_F(Video, EachContainerReadsBackItsFramesInOrderAndAtRandom)
{
    struct Case {
        const char* name;
        Depth depth;
        double meanTolerance, worstTolerance;
    };
    // mkv is lossless; mov (ProRes 4444, 10-bit) is close; mp4 (H.264 4:2:0) is close in flat areas, while
    // half-resolution colour smears the sharp edges of the small test card.
    for (const Case& c : {Case{"a.mkv", Depth::Eight, 0, 0}, Case{"b.mkv", Depth::Sixteen, 0, 0},
                          Case{"c.mov", Depth::Eight, 0.5, 6}, Case{"d.mp4", Depth::Eight, 6, 255}}) {
        SCOPED_TRACE(c.name);
        const auto written = writeDemo(c.name, 96, 64, 12, c.depth);
        auto reader = open(c.name);
        const FootageInfo& info = reader->info();
        EXPECT_EQ(info.frameCount, 12);
        EXPECT_EQ(info.width, 96);
        EXPECT_EQ(info.height, 64);
        EXPECT_EQ(info.rate.num * 1.0 / info.rate.den, 25.0);
        EXPECT_EQ(info.firstFrame, 0);
        std::vector<Image> sequential;
        for (int i = 0; i < 12; ++i) sequential.push_back(reader->read(i, c.depth));
        for (int i = 0; i < 12; ++i) {
            const auto [worst, mean] = c.depth == Depth::Eight
                                           ? difference<uint8_t>(written[size_t(i)], sequential[size_t(i)])
                                           : difference<uint16_t>(written[size_t(i)], sequential[size_t(i)]);
            EXPECT_LE(mean, c.meanTolerance) << "frame " << i;
            EXPECT_LE(worst, c.worstTolerance) << "frame " << i;
        }
        // A flat area keeps its colour: the middle of the white bar (0.75 * 255 + 0.5 = 191) in every file,
        // which would not hold with the wrong colour matrix or range.
        for (const Image& f : sequential) {
            const double white = c.depth == Depth::Eight ? f.row<uint8_t>(6)[6 * 4 + 1]
                                                         : f.row<uint16_t>(6)[6 * 4 + 1] * 255.0 / 32768;
            EXPECT_NEAR(white, 191, 2);
        }
        // Backwards and forwards again: the same pictures as in order.
        for (int i : {9, 2, 3, 11, 0, 7})
            EXPECT_EQ(reader->read(i, c.depth).pixels, sequential[size_t(i)].pixels) << i;
    }
}

TEST_F(Video, FrameRatesAndDepthsOfTheFileAreReported)
{
    writeDemo("ntsc.mkv", 32, 32, 4, Depth::Sixteen, FrameRate{30000, 1001});
    auto reader = open("ntsc.mkv");
    EXPECT_EQ(reader->info().rate.num, 30000);
    EXPECT_EQ(reader->info().rate.den, 1001);
    EXPECT_EQ(reader->info().nativeDepth, Depth::Sixteen);
    // A 16-bit file read at float: host 16-bit v becomes v / 32768 (file v * 65535 / 32768 / 65535).
    const Image deep = reader->read(2, Depth::Sixteen);
    const Image light = reader->read(2, Depth::Float);
    EXPECT_NEAR(light.row<float>(5)[5 * 4 + 1], deep.row<uint16_t>(5)[5 * 4 + 1] / 32768.0f, 1.0f / 65535.0f);
    EXPECT_FLOAT_EQ(light.row<float>(5)[5 * 4 + 0], 1.0f);

    writeDemo("eight.mp4", 32, 32, 2, Depth::Eight);
    EXPECT_EQ(open("eight.mp4")->info().nativeDepth, Depth::Eight);
}

TEST_F(Video, OddSizesForH264AreRefusedBeforeAnythingIsWritten)
{
    WriterSettings s;
    s.width = 33;
    s.height = 32;
    try {
        createWriter(parseFootagePath(path("odd.mp4")), s, [&](int) { return path("odd.mp4"); });
        ADD_FAILURE() << "odd width accepted";
    } catch (const FootageError& e) {
        EXPECT_NE(e.cause().find("even width and height"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(path("odd.mp4")));
}

TEST_F(Video, DamagedAndTruncatedVideosAreClearErrors)
{
    CliTest::writeText(path("garbage.mp4"), std::string(4096, 'x'));
    EXPECT_THROW(open("garbage.mp4"), FootageError);

    // Truncated files must fail when opened or when their frames are read, never pass as shorter clips.
    for (const char* name : {"cut.mkv", "cut.mp4", "cut.mov"}) {
        SCOPED_TRACE(name);
        writeDemo(name, 64, 48, 25, Depth::Eight);
        CliTest::truncateFile(path(name), 0.6);
        EXPECT_THROW(
            {
                auto reader = open(name);
                for (int i = 0; i < reader->info().frameCount; ++i) reader->read(i, Depth::Eight);
                if (reader->info().frameCount < 25) throw FootageError(name, "shorter");
            },
            FootageError);
    }
}

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
