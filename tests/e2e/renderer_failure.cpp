// The renderer with the real module when the module fails a frame: the job stops with the module's
// message and leaves no output behind.
#include "footage/klFootageError.h"
#include "render/klRenderJob.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Kiln::Footage;

TEST(RendererWithTheModule, AnInternalFailureStopsTheJobAndWritesNoFile)
{
    const fs::path dir = fs::temp_directory_path() / ("kl_e2e_renderer_" + std::to_string(getpid()));
    fs::create_directories(dir);
    setenv("KILN_ERROR_DIR", (dir / "errors").c_str(), 1);
    for (const char* out : {"frame.%02d.png", "clip.mkv"}) {
        SCOPED_TRACE(out);
        RenderOptions o;
        o.demo = true;
        o.demoWidth = 32;
        o.demoHeight = 18;
        o.demoFrames = 3;
        o.output = (dir / out).string();
        o.modulePath = KL_E2E_MODULE;
        o.smartPath = false;
        o.depth = Depth::Eight;
        RenderJob job(o);
        // The host reports every world as 16-bit while the legacy path renders 8 bits.
        job.host().setReportedPixelFormat(PF_PixelFormat_ARGB64);
        try {
            job.run();
            ADD_FAILURE() << "the job finished";
        } catch (const FootageError& e) {
            EXPECT_NE(e.cause().find("Q_Watchcam failed."), std::string::npos) << e.what();
            EXPECT_EQ(e.frame(), 0) << e.what();
        }
    }
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename(), "errors") << "left behind: " << entry.path();
    unsetenv("KILN_ERROR_DIR");
    fs::remove_all(dir);
}
