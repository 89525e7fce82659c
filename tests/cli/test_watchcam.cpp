// Whole renders through the watchcam program, mostly with the pass-through module (output = input), so
// every expected pixel is the input's own.
#include "footage/klDemoClip.h"
#include "footage/klFootage.h"
#include "render/klRenderJob.h"
#include "tests/rendererTestSupport.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

using namespace Kiln::Footage;
using OIIO::TypeDesc;

namespace {

class Watchcam : public RendererTest::WatchcamTest { };

}  // namespace

TEST_F(Watchcam, UsageErrorsExitWithTwoAndOneLine)
{
    expectOneLineFailure(RendererTest::runWatchcam({}, dir_), 2, "watchcam: ");
    expectOneLineFailure(run({"render", "--demo", path("a.png"), "--depth", "12"}), 2,
                         "--depth 12: expected 8, 16 or float");
    expectOneLineFailure(run({"render", path("a.png")}), 2, "INPUT and OUTPUT");
    expectOneLineFailure(run({"render", "--demo", path("a.mp4"), "--bogus"}), 2, "--bogus");
    // Options that do not go together, or do not fit the output, are usage errors too.
    const std::pair<std::vector<std::string>, const char*> misuses[] = {
        {{"--codec", "prores"}, "a.mp4: --codec prores: mp4 takes h264, hevc"},
        {{"--crf", "20", "--bitrate", "3M"}, "--crf and --bitrate exclude each other"},
        {{"--codec", "prores-hq", "--crf", "20"}, "--codec prores-hq: mp4 takes h264, hevc"},
        {{"--depth", "8", "--depth", "16"}, "watchcam: --depth is given more than once; give it once"},
        {{"--depth=8", "--quiet", "--depth=16"}, "watchcam: --depth is given more than once; give it once"},
        {{"--quiet", "--quiet"}, "watchcam: --quiet is given more than once; give it once"},
    };
    for (const auto& [options, message] : misuses) {
        SCOPED_TRACE(message);
        std::vector<std::string> args = {"render", "--demo", "--demo-frames", "2", path("a.mp4")};
        args.insert(args.end(), options.begin(), options.end());
        expectOneLineFailure(run(args), 2, message);
    }
    expectOneLineFailure(run({"render", "--demo", path("a.png"), "--codec", "h264"}), 2,
                         "are for video outputs");
    const auto help = RendererTest::runWatchcam({"render", "--help"}, dir_);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: watchcam render [OPTIONS] INPUT OUTPUT"), std::string::npos) << help.out;
    EXPECT_TRUE(listing().empty());
}

TEST_F(Watchcam, TheLastProgressLineAndTheSummaryTellTheSameSpeedAndTime)
{
    // The bar is drawn only on a terminal: `script` gives the program one.
    const std::string command = std::string(WATCHCAM_EXE) +
                                " render --demo --demo-size 64x48 --demo-frames 12 " + path("a.mp4") +
                                " --module " + RendererTest::passthroughModule();
    const std::string shown = path("shown.txt");
    ASSERT_EQ(std::system(("script -qfec '" + command + "' /dev/null > " + shown + " 2>&1").c_str()), 0);
    std::string text = RendererTest::slurp(shown);
    std::replace(text.begin(), text.end(), '\r', '\n');
    std::string bar, summary;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("12/12 frames") != std::string::npos) bar = line;
        if (line.find("a.mp4: 12 frames in ") != std::string::npos) summary = line;
    }
    ASSERT_FALSE(bar.empty()) << text;
    ASSERT_FALSE(summary.empty()) << text;
    // "...] 12/12 frames  480.0 fps  0:00 spent" and "...: 12 frames in 0.0 s (480.0 fps)"
    const size_t fps = bar.find(" fps");
    const std::string speed = bar.substr(bar.rfind(' ', fps - 1) + 1, fps - bar.rfind(' ', fps - 1) - 1);
    EXPECT_NE(summary.find("(" + speed + " fps)"), std::string::npos) << bar << "\n" << summary;
}

TEST_F(Watchcam, DemoToASequencePassesEveryPixelThrough)
{
    auto r = run({"render", "--demo", "--demo-size", "64x48", "--demo-frames", "3", path("out.%04d.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    // No progress bar without a terminal, only the summary.
    EXPECT_EQ(r.err.rfind("watchcam: " + path("out.%04d.png") + ": 3 frames in ", 0), 0u) << r.err;
    EXPECT_EQ(r.errLines(), 1) << r.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"out.0000.png", "out.0001.png", "out.0002.png"}));
    r = run({"render", "--demo", "--demo-size", "64x48", "--demo-frames", "3", path("out.%04d.png"),
             "--overwrite", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    int w = 0, h = 0, ch = 0;
    const auto pixels = RendererTest::readPicture<uint8_t>(path("out.0001.png"), &w, &h, &ch);
    ASSERT_EQ(w, 64);
    ASSERT_EQ(h, 48);
    ASSERT_EQ(ch, 3);  // opaque input, no alpha written
    EXPECT_EQ(pixels[0], 191);  // the white bar at 75 %: 0.75 * 255 + 0.5
    const Image expected = DemoReader(64, 48, 3).read(1, Depth::Eight);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(pixels[size_t(y * 64 + x) * 3 + size_t(c)], expected.row<uint8_t>(y)[x * 4 + 1 + c])
                    << x << "," << y;
}

TEST_F(Watchcam, SequenceInputKeepsItsNumbersAndRangesAreChecked)
{
    for (int n = 10; n <= 14; ++n)
        RendererTest::writePicture(path("in." + std::to_string(n) + ".png"), 4, 4, 3,
                                   std::vector<uint8_t>(48, uint8_t(n)), TypeDesc::UINT8);
    auto r = run({"render", path("in.%d.png"), path("out.####.png"), "--frames", "11-12"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(path("out.0011.png")));
    EXPECT_TRUE(std::filesystem::exists(path("out.0012.png")));
    EXPECT_FALSE(std::filesystem::exists(path("out.0010.png")));
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("out.0012.png"))[0], 12);

    expectOneLineFailure(run({"render", path("in.%d.png"), path("x.####.png"), "--frames", "12-20"}), 1,
                         "--frames 12-20 is outside the input's frames 10-14");
    expectOneLineFailure(run({"render", path("in.%d.png"), path("x.png"), "--frames", "11-12"}), 2,
                         "a single picture holds one frame");
    // A still input is held for as many frames as asked.
    r = run({"render", path("in.10.png"), path("held.%02d.png"), "--frames", "0-3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("held.03.png"))[0], 10);
    EXPECT_TRUE(hiddenFiles().empty());
}

TEST_F(Watchcam, SixteenBitAndFloatRendersKeepTheFilesValues)
{
    std::vector<uint16_t> deep(32 * 32 * 4);
    for (size_t i = 0; i < deep.size(); ++i) deep[i] = uint16_t((i * 2654435761u) >> 16);
    RendererTest::writePicture(path("deep.png"), 32, 32, 4, deep, TypeDesc::UINT16);
    auto r = run({"render", path("deep.png"), path("deep.tif")});
    ASSERT_EQ(r.status, 0) << r.err;
    int ch = 0;
    const auto back = RendererTest::readPicture<uint16_t>(path("deep.tif"), nullptr, nullptr, &ch);
    ASSERT_EQ(ch, 4);  // alpha kept
    ASSERT_EQ(back.size(), deep.size());
    for (size_t i = 0; i < deep.size(); ++i) ASSERT_LE(std::abs(int(back[i]) - int(deep[i])), 1) << i;

    const std::vector<float> light = {0.25f, 1.5f, -0.125f, 0.5f, 0, 0, 0, 1};
    RendererTest::writePicture(path("light.exr"), 2, 1, 4, light, TypeDesc::FLOAT);
    r = run({"render", path("light.exr"), path("light.%03d.exr"), "--render-path", "smart"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RendererTest::readPicture<float>(path("light.000.exr")), light);

    // The legacy path has no float; the renderer says so in one line and writes nothing.
    expectOneLineFailure(run({"render", path("light.exr"), path("legacy.exr"), "--render-path", "legacy"}), 1,
                         "legacy");
    EXPECT_FALSE(std::filesystem::exists(path("legacy.exr")));
    r = run({"render", path("deep.png"), path("legacy.png"), "--render-path", "legacy", "--depth", "8"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Watchcam, VideoInAndOutWithScale)
{
    auto r = run({"render", "--demo", "--demo-size", "64x48", "--demo-frames", "6", path("clip.mkv")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"render", path("clip.mkv"), path("half.mp4"), "--scale", "0.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto reader = openReader(parseFootagePath(path("half.mp4")), FrameRate{});
    EXPECT_EQ(reader->info().width, 32);
    EXPECT_EQ(reader->info().height, 24);
    EXPECT_EQ(reader->info().frameCount, 6);
    r = run({"render", path("clip.mkv"), path("again.mov"), "--fps", "30"});
    expectOneLineFailure(r, 2, "--fps is for stills and sequences");
    EXPECT_EQ(listing(), (std::vector<std::string>{"clip.mkv", "half.mp4"}));
}

TEST_F(Watchcam, ExistingOutputsAndTheInputAreNeverOverwrittenUnasked)
{
    RendererTest::writePicture(path("in.png"), 4, 4, 3, std::vector<uint8_t>(48, 7), TypeDesc::UINT8);
    RendererTest::writeText(path("out.png"), "keep me");
    expectOneLineFailure(run({"render", path("in.png"), path("out.png")}), 1,
                         "already exists (--overwrite replaces it)");
    EXPECT_EQ(RendererTest::slurp(path("out.png")), "keep me");
    auto r = run({"render", path("in.png"), path("out.png"), "--overwrite"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("out.png"))[0], 7);

    expectOneLineFailure(run({"render", path("in.png"), path("in.png"), "--overwrite"}), 1, "is the input");
    std::filesystem::create_hard_link(path("in.png"), path("same.png"));
    expectOneLineFailure(run({"render", path("in.png"), path("same.png"), "--overwrite"}), 1, "is the input");
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("in.png"))[0], 7);
}

TEST_F(Watchcam, DamagedInputsAndUnwritableOutputsFailCleanly)
{
    RendererTest::writeText(path("garbage.png"), "not a picture");
    RendererTest::writeText(path("garbage.mp4"), std::string(2000, 'z'));
    std::vector<float> values(64 * 64 * 3);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float(i % 101) / 101.0f;
    RendererTest::writePicture(path("cut.exr"), 64, 64, 3, values, TypeDesc::FLOAT);
    RendererTest::truncateFile(path("cut.exr"), 0.5);
    ASSERT_EQ(
        run({"render", "--demo", "--demo-size", "64x48", "--demo-frames", "25", path("cut.mkv")}).status, 0);
    RendererTest::truncateFile(path("cut.mkv"), 0.6);
    const auto before = listing();

    for (const char* input : {"garbage.png", "garbage.mp4", "cut.exr", "cut.mkv", "absent.png"}) {
        SCOPED_TRACE(input);
        const auto r = run({"render", path(input), path("out.mkv")});
        expectOneLineFailure(r, 1, input);
    }
    EXPECT_EQ(listing(), before);  // no output, no temporary files

    expectOneLineFailure(run({"render", "--demo", path("missing/out.mp4")}), 1,
                         "cannot write into directory");
    expectOneLineFailure(run({"render", "--demo", path("garbage.png/out.mp4")}), 1, "not a directory");
    expectOneLineFailure(run({"render", "--demo", "--demo-size", "65x48", path("odd.mp4")}), 1,
                         "even width and height");
    EXPECT_EQ(listing(), before);
}

TEST_F(Watchcam, AFullDiskIsAClearErrorAndLeavesNothing)
{
    // Writes past 1000 bytes fail, as they would on a full disk; every format is written through checked calls.
    for (const char* out :
         {"a.png", "b.exr", "c.tif", "d.%04d.png", "e.jpg", "f.dpx", "g.mkv", "h.mp4", "i.mov"}) {
        SCOPED_TRACE(out);
        std::vector<std::string> args = {"render",
                                         "--demo",
                                         "--demo-size",
                                         "320x240",
                                         "--demo-frames",
                                         "3",
                                         path(out),
                                         "--depth",
                                         "16",
                                         "--module",
                                         RendererTest::passthroughModule()};
        const auto r = RendererTest::runWatchcam(args, dir_, {}, {}, 1000);
        expectOneLineFailure(r, 1, "File too large");
        EXPECT_NE(r.err.find(": frame "), std::string::npos) << r.err;  // the frame it got to
        EXPECT_TRUE(listing().empty());
    }
}

TEST_F(Watchcam, AnInterruptStopsCleanlyWithoutAnyOutput)
{
    // 40 rows x 5 ms = 0.2 s a frame, 100 frames: far longer than the interrupt takes to arrive.
    bool sawTemporary = false;
    const auto r = run({"render", "--demo", "--demo-size", "64x40", "--demo-frames", "100", path("out.mkv")},
                       {{"PASSTHROUGH_ROW_DELAY_US", "5000"}}, [&](pid_t pid) {
                           for (int i = 0; i < 400 && !sawTemporary; ++i) {
                               std::this_thread::sleep_for(std::chrono::milliseconds(25));
                               for (const std::string& n : listing())
                                   if (n.find(".out.tmp-") == 0) sawTemporary = true;
                           }
                           std::this_thread::sleep_for(std::chrono::milliseconds(100));
                           kill(pid, SIGINT);
                       });
    EXPECT_TRUE(sawTemporary);
    expectOneLineFailure(r, 130, "interrupted");
    EXPECT_TRUE(listing().empty());
}

TEST_F(Watchcam, ControlsListsTheModulesControls)
{
    const auto r =
        RendererTest::runWatchcam({"controls", "--module", RendererTest::passthroughModule()}, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    auto line = [&](const std::string& label) {
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);)
            if (l.find("  " + label + " ") != std::string::npos) return l;
        return std::string();
    };
    EXPECT_EQ(r.out.rfind("#  ", 0), 0u) << r.out;
    for (const char* part : {"1  ", "mode", "choice", "Copy", "Copy|Earlier"})
        EXPECT_NE(line("Mode").find(part), std::string::npos) << part;
    for (const char* part : {"2  ", "delay", "int", " 2 ", "0..10", "0..100"})
        EXPECT_NE(line("Delay").find(part), std::string::npos) << part;
    for (const char* part : {"3  ", "amount", "float", "50.0%", "0.0%..100.0%", "0.0%..200.0%"})
        EXPECT_NE(line("Amount").find(part), std::string::npos) << part;
    expectOneLineFailure(RendererTest::runWatchcam({"controls", "--module", path("none.so")}, dir_), 1,
                         "no such effect module");
}

TEST_F(Watchcam, TimeRemappingAsksForEarlierFramesOfAVideo)
{
    // Through the render job directly, to set the pass-through's "Mode" to "Earlier" (2 frames back).
    ASSERT_EQ(run({"render", "--demo", "--demo-size", "32x32", "--demo-frames", "8", path("src.mkv")}).status,
              0);
    auto source = openReader(parseFootagePath(path("src.mkv")), FrameRate{});
    for (bool smart : {true, false}) {
        SCOPED_TRACE(smart ? "smart" : "legacy");
        RenderOptions o;
        o.input = path("src.mkv");
        o.output = path(smart ? "late.mkv" : "late-legacy.mkv");
        o.modulePath = RendererTest::passthroughModule();
        o.smartPath = smart;
        RenderJob job(o);
        const int mode = job.host().findControl("mode");
        ASSERT_GT(mode, 0);
        job.host().setValue(mode, Kiln::Runner::ParamValue{{2, 0, 0, 0}});
        const RenderStats stats = job.run();
        EXPECT_EQ(stats.frames, 8);
        auto late = openReader(parseFootagePath(o.output), FrameRate{});
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(late->read(i, Depth::Eight).pixels,
                      source->read(std::max(0, i - 2), Depth::Eight).pixels)
                << i;
    }
}

TEST_F(Watchcam, TheEffectModuleRendersTheDemoAtEveryDepth)
{
    const std::string module = RendererTest::effectModule();
    if (module.empty()) GTEST_SKIP() << "the effect module is not built";
    for (const char* out : {"e8.mp4", "e16.mkv", "ef.%02d.exr"}) {
        SCOPED_TRACE(out);
        const std::string depth = out[1] == '8' ? "8" : out[1] == '1' ? "16" : "float";
        const auto r =
            RendererTest::runWatchcam({"render", "--demo", "--demo-size", "160x90", "--demo-frames", "3",
                                       path(out), "--depth", depth, "--module", module},
                                      dir_);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_TRUE(std::filesystem::exists(path("ef.02.exr")));
    const auto r = RendererTest::runWatchcam({"controls", "--module", module}, dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(std::count(r.out.begin(), r.out.end(), '\n'), 40);
}

TEST_F(Watchcam, TheEffectsControlsAreDescribedAndItsPercentSlidersTakePercent)
{
    const std::string module = RendererTest::effectModule();
    if (module.empty()) GTEST_SKIP() << "the effect module is not built";
    auto r = RendererTest::runWatchcam({"controls", "--module", module}, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    int described = 0, percent = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Radius of the lens, in pixels") != std::string::npos) ++described;
        if (line.find("  contrast ") != std::string::npos && line.find("15.0%") != std::string::npos)
            ++percent;
    }
    EXPECT_EQ(described, 1) << r.out;
    EXPECT_EQ(percent, 1) << r.out;
    r = RendererTest::runWatchcam({"controls", "--module", module, "--set", "contrast=30%", "--set",
                                   "playSpeed=-50 %", "--set", "Blend=25%", "--set", "SourceTop=90%",
                                   "--write-preset", "-"},
                                  dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* element :
         {"<double name='contrast' value='30' />", "<double name='playSpeed' value='-50' />",
          "<double name='blendMix' value='25' />", "<double name='SourceTop' value='90' />"})
        EXPECT_NE(r.out.find(element), std::string::npos) << element;
    // Pixels and frames are no percentages.
    r = RendererTest::runWatchcam({"controls", "--module", module, "--set", "lensRadius=30%"}, dir_);
    EXPECT_EQ(r.status, 2) << r.err;
}
