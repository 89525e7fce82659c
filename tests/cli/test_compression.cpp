// Picture outputs written with the compression asked for (read back from the files), and compressions
// refused for outputs that do not have them.
#include "footage/klCompression.h"
#include "tests/rendererTestSupport.h"

#include <OpenImageIO/imageio.h>

#include <filesystem>

namespace {

class Compression : public RendererTest::WatchcamTest {
protected:
    // The file's compression as OpenImageIO reads it back.
    static std::string compressionOf(const std::string& file)
    {
        auto in = OIIO::ImageInput::open(file);
        if (!in) return "(cannot open)";
        return in->spec().get_string_attribute("compression", "(none said)");
    }
    std::vector<std::string> render(const std::string& output, const std::vector<std::string>& more)
    {
        std::vector<std::string> args{"render",        "--demo", "--demo-size", "48x32",
                                      "--demo-frames", "1",      path(output),  "--overwrite"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
};

}  // namespace

TEST_F(Compression, EveryChoiceIsWhatTheFileSaysAndLosslessOnesKeepEveryValue)
{
    // The default: ZIP for EXR and TIFF.
    for (const char* ext : {"exr", "tif"}) {
        const std::string file = std::string("default.") + ext;
        auto r = run(render(file, {"--depth", "float"}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(compressionOf(path(file)), "zip") << ext;
    }
    const std::vector<float> reference = RendererTest::readPicture<float>(path("default.exr"));
    for (const std::string& c : Kiln::Footage::compressionChoices("exr")) {
        const std::string file = "c-" + c + ".exr";
        auto r = run(render(file, {"--depth", "float", "--compression", c}));
        ASSERT_EQ(r.status, 0) << c << ": " << r.err;
        EXPECT_EQ(compressionOf(path(file)), c);
        if (c == "none" || c == "rle" || c == "zip" || c == "zips" || c == "piz")
            EXPECT_EQ(RendererTest::readPicture<float>(path(file)), reference) << c;
    }
    const std::vector<uint16_t> deep = RendererTest::readPicture<uint16_t>(path("default.tif"));
    for (const std::string& c : Kiln::Footage::compressionChoices("tif")) {
        const std::string file = "c-" + c + ".tiff";
        auto r = run(render(file, {"--depth", "16", "--compression", c}));
        ASSERT_EQ(r.status, 0) << c << ": " << r.err;
        EXPECT_EQ(compressionOf(path(file)), c);
        EXPECT_EQ(RendererTest::readPicture<uint16_t>(path(file)).size(), deep.size()) << c;
    }
    // PNG is always deflated: "none" is level 0, stored blocks at least the size of the samples.
    for (const char* c : {"none", "zip"}) {
        auto r = run(render(std::string("c-") + c + ".png", {"--depth", "8", "--compression", c}));
        ASSERT_EQ(r.status, 0) << c << ": " << r.err;
    }
    const auto stored = std::filesystem::file_size(path("c-none.png"));
    EXPECT_GE(stored, 48u * 32u * 3u);
    EXPECT_LT(std::filesystem::file_size(path("c-zip.png")), stored / 2);
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("c-none.png")),
              RendererTest::readPicture<uint8_t>(path("c-zip.png")));
}

TEST_F(Compression, ACompressionTheOutputDoesNotHaveIsAUsageError)
{
    expectOneLineFailure(
        run(render("a.exr", {"--compression", "lzw"})), 2,
        "--compression lzw: an EXR output takes zip, none, rle, zips, piz, pxr24, b44, b44a, "
        "dwaa or dwab");
    expectOneLineFailure(run(render("a.png", {"--compression", "piz"})), 2,
                         "--compression piz: a PNG output takes zip or none");
    expectOneLineFailure(run(render("a.%03d.TIF", {"--compression", "dwaa"})), 2,
                         "a TIFF output takes zip, none, lzw or packbits");
    expectOneLineFailure(run(render("a.mp4", {"--compression", "zip"})), 2,
                         "--compression is for EXR, TIFF and PNG outputs; a .mp4 output has none to choose");
    expectOneLineFailure(run(render("a.dpx", {"--compression", "none"})), 2, "a .dpx output has none");
    expectOneLineFailure(run(render("a.exr", {"--compression", "ZIP"})), 2, "--compression ZIP");
    EXPECT_TRUE(listing().empty());
}
