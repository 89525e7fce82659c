// Video files: written through the footage layer from the demo clip, read back through it, at random.
#include "footage/klDemoClip.h"
#include "footage/klFootage.h"
#include "tests/rendererTestSupport.h"

#include <cmath>

using namespace Kiln::Footage;

namespace {

class Video : public RendererTest::ScratchTest {
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
    RendererTest::writeText(path("garbage.mp4"), std::string(4096, 'x'));
    EXPECT_THROW(open("garbage.mp4"), FootageError);

    // Truncated files must fail when opened or when their frames are read, never pass as shorter clips.
    for (const char* name : {"cut.mkv", "cut.mp4", "cut.mov"}) {
        SCOPED_TRACE(name);
        writeDemo(name, 64, 48, 25, Depth::Eight);
        RendererTest::truncateFile(path(name), 0.6);
        EXPECT_THROW(
            {
                auto reader = open(name);
                for (int i = 0; i < reader->info().frameCount; ++i) reader->read(i, Depth::Eight);
                if (reader->info().frameCount < 25) throw FootageError(name, "shorter");
            },
            FootageError);
    }
}
