// Shared by the farm tests: watchcam runs in a scratch directory, and the two comparisons a farm render
// must pass against a single render (same files byte for byte, same decoded frames).
#ifndef KL_FARM_TEST_SUPPORT_H
#define KL_FARM_TEST_SUPPORT_H

#include "footage/klFootage.h"
#include "tests/rendererTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace FarmTest {

using namespace Kiln::Footage;

// The demo at a size that renders in a moment, 40 frames: 4 chunks of 10.
inline const std::vector<std::string> kDemo = {"--demo", "--demo-size", "480x270", "--demo-frames", "40"};

class Scratch : public RendererTest::ScratchTest {
protected:
    RendererTest::RunResult watchcam(std::vector<std::string> args,
                                     const std::map<std::string, std::string>& env = {})
    {
        return RendererTest::runWatchcam(args, dir_, env);
    }
    static std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

inline void expectSameFiles(const std::string& a, const std::string& b)
{
    ASSERT_TRUE(std::filesystem::exists(a)) << a;
    ASSERT_TRUE(std::filesystem::exists(b)) << b;
    EXPECT_TRUE(RendererTest::slurp(a) == RendererTest::slurp(b)) << a << " differs from " << b;
}

// Every frame decodes to the same pixels.
inline void expectSameFrames(const std::string& a, const std::string& b)
{
    auto ra = openReader(parseFootagePath(a), FrameRate{});
    auto rb = openReader(parseFootagePath(b), FrameRate{});
    ASSERT_EQ(ra->info().frameCount, rb->info().frameCount);
    for (int i = 0; i < ra->info().frameCount; ++i)
        ASSERT_TRUE(ra->read(i, Depth::Sixteen).pixels == rb->read(i, Depth::Sixteen).pixels)
            << "frame " << i;
}

// What a shell command prints on standard output.
inline std::string commandOutput(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// The presentation times of the packets of a file's video ("v") or audio ("a") streams as ffprobe prints
// them, in order of time.
inline std::vector<std::string> packetTimes(const std::string& file, const std::string& streams)
{
    std::istringstream lines(commandOutput("ffprobe -v error -select_streams " + streams +
                                           " -show_entries packet=pts_time -of csv=p=0 '" + file + "'"));
    std::vector<std::string> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(line);
    std::sort(times.begin(), times.end(),
              [](const std::string& a, const std::string& b) { return std::stod(a) < std::stod(b); });
    return times;
}

}  // namespace FarmTest

#endif
