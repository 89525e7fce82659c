// Renders whose reading, rendering and writing overlap: the same frames as one step after another, and
// failures in the middle of a render (an input frame, the effect, the disk) that leave nothing behind and
// name the frame a frame-by-frame render would have named.
#include "footage/klFootage.h"
#include "render/klRenderJob.h"
#include "tests/rendererTestSupport.h"

using namespace Kiln::Footage;

namespace {

class RenderOverlap : public RendererTest::WatchcamTest { };

// Every frame of a sequence or video, decoded.
std::vector<std::vector<uint8_t>> framesOf(const std::string& file, Depth depth)
{
    auto reader = openReader(parseFootagePath(file), FrameRate{25, 1});
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < reader->info().frameCount; ++i) frames.push_back(reader->read(i, depth).pixels);
    return frames;
}

}  // namespace

// The effect module with its default look (which holds frames and asks for earlier ones) on a video
// input, at every depth into a sequence and a video: overlapped with one and two threads against one
// step after another with one thread.
TEST_F(RenderOverlap, FramesAreTheSameAsRenderedOneStepAfterAnother)
{
    const std::string module = RendererTest::effectModule();
    if (module.empty()) GTEST_SKIP() << "the effect module is not built";
    ASSERT_EQ(run({"render", "--demo", "--demo-size", "96x64", "--demo-frames", "12", "--depth", "16",
                   path("in.mkv")})
                  .status,
              0);
    struct Case {
        Depth depth;
        const char* sequence;
    };
    for (const Case& c :
         {Case{Depth::Eight, "png"}, Case{Depth::Sixteen, "png"}, Case{Depth::Float, "exr"}}) {
        for (const std::string kind : {"sequence", "video"}) {
            const std::string ext = kind == "video" ? ".mkv" : std::string(".%04d.") + c.sequence;
            std::vector<std::vector<uint8_t>> reference;
            for (const auto& [overlap, threads] : {std::pair{false, 1}, {true, 1}, {true, 2}}) {
                SCOPED_TRACE(kind + " depth " + std::to_string(int(c.depth)) +
                             (overlap ? " overlapped" : " in turn") + " threads " + std::to_string(threads));
                RenderOptions o;
                o.input = path("in.mkv");
                o.output = path(std::string(overlap ? "o" : "s") + std::to_string(threads) + "-" +
                                std::to_string(int(c.depth)) + ext);
                o.modulePath = module;
                o.depth = c.depth;
                o.threads = threads;
                o.overlap = overlap;
                RenderJob job(o);
                EXPECT_EQ(job.run().frames, 12);
                const auto frames = framesOf(o.output, c.depth);
                ASSERT_EQ(frames.size(), 12u);
                if (reference.empty()) reference = frames;
                for (size_t i = 0; i < frames.size(); ++i)
                    EXPECT_TRUE(frames[i] == reference[i]) << "frame " << i;
            }
        }
    }
}

TEST_F(RenderOverlap, AFailureInTheMiddleNamesItsFrameAndLeavesNothing)
{
    ASSERT_EQ(
        run({"render", "--demo", "--demo-size", "64x48", "--demo-frames", "10", path("in.%04d.png")}).status,
        0);
    RendererTest::truncateFile(path("in.0006.png"), 0.5);
    const auto before = listing();
    // Input frame 6 is cut short: read ahead of the render, it still fails the render of frame 6.
    expectOneLineFailure(run({"render", path("in.%04d.png"), path("a.mkv")}), 1,
                         "in.0006.png: frame 6: the file is truncated");
    expectOneLineFailure(run({"render", path("in.%04d.png"), path("b.%04d.png")}), 1,
                         "in.0006.png: frame 6:");
    // The effect refuses frame 4 while the writer is still busy with the frames before.
    expectOneLineFailure(run({"render", path("in.%04d.png"), path("c.mkv"), "--frames", "0-5"},
                             {{"PASSTHROUGH_FAIL_FRAME", "4"}, {"PASSTHROUGH_ROW_DELAY_US", "200"}}),
                         1, "frame 4: the effect refused the frame");
    EXPECT_EQ(listing(), before);

    // The disk fills up after the first frames of a video, once the container writes out what it gathered.
    const auto r = RendererTest::runWatchcam({"render", "--demo", "--demo-size", "64x48", "--demo-frames",
                                              "150", "--depth", "16", path("full.mkv"), "--module",
                                              RendererTest::passthroughModule()},
                                             dir_, {}, {}, 100000);
    // It names the last frame handed to the writer.
    expectOneLineFailure(r, 1, ": cannot write: File too large");
    EXPECT_NE(r.err.find("full.mkv: frame "), std::string::npos) << r.err;
    EXPECT_EQ(listing(), before);
}
