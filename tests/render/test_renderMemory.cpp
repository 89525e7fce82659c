// --max-memory bounds the whole render: what the renderer states a render needs holds for its peak, with
// the real effect module and a real decoder and encoder.
#include "tests/rendererTestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>

namespace {

// Runs watchcam with `args`; its exit status and peak resident memory in bytes.
std::pair<int, long> runMeasured(const std::vector<std::string>& args)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<std::string> copies = args;
        std::vector<char*> argv;
        std::string exe = WATCHCAM_EXE;
        argv.push_back(exe.data());
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss * 1024L};
}

class RenderMemory : public RendererTest::ScratchTest { };

}  // namespace

TEST_F(RenderMemory, ARenderStaysWithinTheMemoryItIsSaidToNeed)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory and quarantine are not what the renderer estimates";
#endif
    const std::string module = RendererTest::effectModule();
    if (module.empty()) GTEST_SKIP() << "the effect module is not built";
    const std::string in = path("in.mp4");
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=640x360:rate=25 -frames:v 12 "
                           "-c:v libx264 " +
                           in)
                              .c_str()),
              0);
    for (const char* out : {"out.mp4", "out.mkv"}) {
        SCOPED_TRACE(out);
        // What it needs, from the refusal of a limit far too small.
        const auto refused = RendererTest::runWatchcam(
            {"render", in, path(out), "--module", module, "--max-memory", "1M"}, dir_);
        ASSERT_EQ(refused.status, 1) << refused.err;
        const size_t at = refused.err.find("needs about ");
        ASSERT_NE(at, std::string::npos) << refused.err;
        const double megabytes = std::stod(refused.err.substr(at + 12));
        ASSERT_NE(refused.err.find(" MB ", at), std::string::npos) << refused.err;
        const std::string limit = std::to_string(int(megabytes + 1)) + "M";
        const auto [status, peak] =
            runMeasured({"render", in, path(out), "--module", module, "--max-memory", limit, "--quiet"});
        EXPECT_EQ(status, 0);
        EXPECT_LE(peak, long((megabytes + 1) * 1048576)) << "peak " << peak / 1048576 << " MB of " << limit;
    }
}
