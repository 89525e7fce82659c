// Shared by the farm tests: watchcam runs in a scratch directory, and the two comparisons a farm render
// must pass against a single render (same files byte for byte, same decoded frames).
#ifndef KL_FARM_TEST_SUPPORT_H
#define KL_FARM_TEST_SUPPORT_H

#include "footage/klFootage.h"
#include "tests/rendererTestSupport.h"

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

}  // namespace FarmTest

#endif
