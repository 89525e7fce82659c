// The renderer at its edges: numbers that would overflow, names that would garble, outputs that are not
// plain files, other renders writing the same output, signals, huge frames and huge presets. Each case
// runs the watchcam program on files made here and expects one plain line and nothing left behind.
#include "tests/rendererTestSupport.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <thread>

using OIIO::TypeDesc;

namespace {

class WatchcamEdges : public RendererTest::WatchcamTest {
protected:
    // Until a render running in the background has written its first frame.
    void waitForTemporaryFile()
    {
        for (int i = 0; i < 400; ++i) {
            for (const std::string& n : hiddenFiles())
                if (n.find(".tmp-") != std::string::npos) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ADD_FAILURE() << "no temporary file appeared";
    }
    void SetUp() override
    {
        WatchcamTest::SetUp();
        RendererTest::writePicture(path("in.png"), 8, 8, 3, std::vector<uint8_t>(192, 40), TypeDesc::UINT8);
    }
};

}  // namespace

TEST_F(WatchcamEdges, NumbersAndNamesGetPlainMessages)
{
    struct Case {
        std::vector<std::string> args;  // after "render"; "@" stands for the scratch directory
        std::map<std::string, std::string> env;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"@/in.png", "@/o.%02d.png", "--frames", "0-2147483647"},
         {},
         2,
         "--frames 0-2147483647: frame numbers go up to 999999999"},
        {{"@/in.png", "@/o.%09d.png", "--frames", "5-999999999"},
         {},
         1,
         "--frames 5-999999999: at 25 fps the host's clock reaches frame 21474835 at most"},
        {{"@/in.png", "@/o.%02d.png", "--fps", "0.0001"},
         {},
         2,
         "--fps 0.0001: expected a frame rate from 0.001"},
        {{"@/in.png", "@/o.%04d.png", "--fps", "1/1000000", "--frames", "0-3000"},
         {},
         1,
         "--frames 0-3000: at 1/1000000 fps the host's clock reaches frame 2146 at most"},
        {{"@/in.png", "@/.png"}, {}, 1, ".png: no file name before the extension"},
        {{"@/in.png", "@/o.%02d.png", "--frames", "0-3"},
         {{"PASSTHROUGH_FAIL_FRAME", "2"}},
         1,
         "in.png: frame 2: the effect refused the frame: not enough memory for this frame"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render"};
        for (const std::string& a : c.args) args.push_back(a[0] == '@' ? dir_ + a.substr(1) : a);
        SCOPED_TRACE(args[1] + " " + args[2]);
        const auto r = run(args, c.env);
        expectOneLineFailure(r, c.status, c.message);
        EXPECT_EQ(r.err.find("Kiln::"), std::string::npos) << r.err;
        EXPECT_EQ(listing(), std::vector<std::string>{"in.png"});
    }
}

TEST_F(WatchcamEdges, WritePresetReplacesOnlyARegularFileAndOnlyWhenAsked)
{
    namespace fs = std::filesystem;
    RendererTest::writeText(path("old.xml"), "keep");
    RendererTest::writeText(path("target.txt"), "target");
    fs::create_symlink(path("target.txt"), path("link.xml"));
    ASSERT_EQ(mkfifo(path("fifo.xml").c_str(), 0644), 0);
    fs::create_directory(path("dir.xml"));
    // A device node of our own (the null device's numbers), when this user may make one.
    const bool device = mknod(path("null.xml").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    struct Case {
        const char* file;
        bool overwrite;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"old.xml", false, 1, "old.xml: already exists (--overwrite replaces it)"},
        {"link.xml", true, 1, "link.xml: is a symbolic link; only a regular file is ever replaced"},
        {"fifo.xml", true, 1, "fifo.xml: is a FIFO; only a regular file is ever replaced"},
        {"null.xml", true, 1, "null.xml: is a device; only a regular file is ever replaced"},
        {"dir.xml", true, 1, "dir.xml: is a directory"},
        {"old.xml", true, 0, ""},
        {"new.xml", false, 0, ""},
    };
    for (const Case& c : cases) {
        if (std::string(c.file) == "null.xml" && !device) continue;
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"controls",  "--module", RendererTest::passthroughModule(),
                                         "--set",     "delay=7",  "--write-preset",
                                         path(c.file)};
        if (c.overwrite) args.push_back("--overwrite");
        const auto r = RendererTest::runWatchcam(args, dir_);
        if (c.status != 0) {
            expectOneLineFailure(r, c.status, c.message);
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(RendererTest::slurp(path(c.file)).find("<int name='delay' value='7' />"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(fs::symlink_status(path("link.xml")).type(), fs::file_type::symlink);
    EXPECT_EQ(RendererTest::slurp(path("target.txt")), "target");
    EXPECT_EQ(fs::symlink_status(path("fifo.xml")).type(), fs::file_type::fifo);
    if (device) {
        EXPECT_EQ(fs::symlink_status(path("null.xml")).type(), fs::file_type::character);
    }
    EXPECT_TRUE(hiddenFiles().empty());
}

TEST_F(WatchcamEdges, ARenderClaimsItsOutputUntilItEndsHoweverItEnds)
{
    const std::string elsewhere = path("elsewhere");  // the second render's own stdout and stderr
    std::filesystem::create_directory(elsewhere);
    const std::map<std::string, std::string> slow = {{"PASSTHROUGH_ROW_DELAY_US", "5000"}};
    auto render = [&](const std::vector<std::string>& args) {
        std::vector<std::string> all = {"render", "--demo",   "--demo-size",
                                        "64x40",  "--module", RendererTest::passthroughModule()};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    };
    struct Case {
        std::string output, sameOutput;  // two spellings of one output
        std::vector<std::string> otherFrames;  // a render beside the first that does not touch its frames
    };
    const std::vector<Case> cases = {
        {"out.mkv", "./out.mkv", {}},
        {"seq.%04d.png", "seq.####.png", {"--frames", "50-52"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const auto first = RendererTest::runWatchcam(
            render({"--demo-frames", "100", path(c.output), "--frames", "0-49"}), dir_, slow, [&](pid_t pid) {
                waitForTemporaryFile();
                const auto second = RendererTest::runWatchcam(
                    render({"--demo-frames", "100", dir_ + "/" + c.sameOutput}), elsewhere);
                expectOneLineFailure(second, 1, "another render is writing it now");
                if (!c.otherFrames.empty()) {
                    std::vector<std::string> args = {"--demo-frames", "100", path(c.sameOutput)};
                    args.insert(args.end(), c.otherFrames.begin(), c.otherFrames.end());
                    const auto beside = RendererTest::runWatchcam(render(args), elsewhere);
                    EXPECT_EQ(beside.status, 0) << beside.err;
                }
                kill(pid, SIGKILL);  // nothing of it can be cleaned up by itself
            });
        EXPECT_EQ(first.status, 128 + SIGKILL);
        EXPECT_FALSE(hiddenFiles().empty());
        // The next render takes the claim over and removes what the killed one left; a failing one leaves nothing.
        auto r =
            RendererTest::runWatchcam(render({"--demo-frames", "3", path(c.output), "--overwrite"}), dir_);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(hiddenFiles().empty()) << hiddenFiles()[0];
        r = RendererTest::runWatchcam(render({"--demo-frames", "3", path(c.output), "--overwrite"}), dir_,
                                      {{"PASSTHROUGH_FAIL_FRAME", "1"}});
        expectOneLineFailure(r, 1, "the effect refused the frame");
        EXPECT_TRUE(hiddenFiles().empty()) << hiddenFiles()[0];
    }
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"elsewhere", "in.png", "out.mkv", "seq.0000.png", "seq.0001.png",
                                        "seq.0002.png", "seq.0050.png", "seq.0051.png", "seq.0052.png"}));
}

TEST_F(WatchcamEdges, EverySignalThatEndsARenderLeavesNothingBehind)
{
    for (const int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(s));
        const auto r =
            run({"render", "--demo", "--demo-size", "64x40", "--demo-frames", "100", path("out.mkv")},
                {{"PASSTHROUGH_ROW_DELAY_US", "5000"}}, [&](pid_t pid) {
                    waitForTemporaryFile();
                    kill(pid, s);
                });
        expectOneLineFailure(r, 128 + s, "interrupted");
        EXPECT_EQ(listing(), std::vector<std::string>{"in.png"});
    }
}

namespace {

uint32_t crc32(const std::string& bytes)
{
    uint32_t c = 0xffffffffu;
    for (const unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
}

std::string bigEndian(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string pngChunk(const std::string& type, const std::string& data)
{
    return bigEndian(uint32_t(data.size())) + type + data + bigEndian(crc32(type + data));
}

}  // namespace

TEST_F(WatchcamEdges, AFrameTooLargeForMemoryIsRefusedBeforeAnythingIsAllocated)
{
    // 66 bytes claiming 40000x40000 RGB: the header is all that is ever read.
    const std::string header = bigEndian(40000) + bigEndian(40000) + std::string("\x08\x02\x00\x00\x00", 5);
    const std::string pixels("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9);
    const std::string png =
        "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) + pngChunk("IDAT", pixels) + pngChunk("IEND", "");
    ASSERT_EQ(png.size(), 66u);
    RendererTest::writeText(path("huge.png"), png);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{path("huge.png"), path("out.png")},
         1,
         "huge.png: a render of 40000x40000 frames at 8 bits needs about "},
        {{"--demo", "--demo-size", "64x48", path("out.png"), "--max-memory", "100K"},
         1,
         "demo: a render of 64x48 frames at 8 bits needs about "},
        {{"--demo", "--demo-size", "64x48", path("out.png"), "--max-memory", "lots"},
         2,
         "--max-memory lots: expected a size such as 512M or 4G"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args[1]);
        const auto r = run(args);
        expectOneLineFailure(r, c.status, c.message);
        EXPECT_EQ(listing(), (std::vector<std::string>{"huge.png", "in.png"}));
    }
    EXPECT_NE(run({"render", "--demo", "--demo-size", "64x48", path("out.png"), "--max-memory", "100K"})
                  .err.find("codecs' buffers); --max-memory allows 100 KB"),
              std::string::npos);
    const auto r = run({"render", "--demo", "--demo-size", "64x48", path("out.png"), "--max-memory", "1G"});
    EXPECT_EQ(r.status, 0) << r.err;
}
