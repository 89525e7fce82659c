// Stills and sequences: files written with OpenImageIO directly are read through the footage layer, and
// files the footage layer writes are read back with OpenImageIO directly.
#include "footage/klFootage.h"
#include "footage/klPixelConvert.h"
#include "tests/rendererTestSupport.h"

#include <cmath>

using namespace Kiln::Footage;
using OIIO::TypeDesc;

namespace {

class ImageFiles : public RendererTest::ScratchTest {
protected:
    std::unique_ptr<FootageReader> open(const std::string& name)
    {
        return openReader(parseFootagePath(path(name)), FrameRate{25, 1});
    }
    // Writes one frame through the footage layer to `name` (via its temporary name, then renamed).
    void writeFrame(const std::string& name, const Image& frame, bool alpha)
    {
        const FootagePath target = parseFootagePath(path(name));
        WriterSettings s;
        s.width = frame.width;
        s.height = frame.height;
        s.depth = frame.depth;
        s.alpha = alpha;
        const std::string temporary = path(".tmp-frame." + target.extension);
        auto writer = createWriter(target, s, [&](int) { return temporary; });
        writer->write(frame);
        writer->finish();
        std::filesystem::rename(temporary, path(name));
    }
};

}  // namespace

TEST_F(ImageFiles, EightAndSixteenBitPngReadExactlyAtTheirDepth)
{
    const std::vector<uint8_t> rgb = {0, 128, 255, 10, 20, 30};
    RendererTest::writePicture(path("a.png"), 2, 1, 3, rgb, TypeDesc::UINT8);
    auto reader = open("a.png");
    EXPECT_EQ(reader->info().nativeDepth, Depth::Eight);
    EXPECT_FALSE(reader->info().hasAlpha);
    EXPECT_EQ(reader->info().frameCount, 1);
    Image img = reader->read(0, Depth::Eight);
    EXPECT_EQ(std::vector<int>(img.pixels.begin(), img.pixels.begin() + 8),
              (std::vector<int>{255, 0, 128, 255, 255, 10, 20, 30}));

    const std::vector<uint16_t> rgba = {65535, 0, 1234, 40000};
    RendererTest::writePicture(path("b.png"), 1, 1, 4, rgba, TypeDesc::UINT16);
    reader = open("b.png");
    EXPECT_EQ(reader->info().nativeDepth, Depth::Sixteen);
    EXPECT_TRUE(reader->info().hasAlpha);
    img = reader->read(0, Depth::Sixteen);
    const uint16_t* px = img.row<uint16_t>(0);
    EXPECT_EQ(px[0], 20000);  // alpha 40000 * 32768 / 65535 = 20000.3
    EXPECT_EQ(px[1], 32768);
    EXPECT_EQ(px[2], 0);
    EXPECT_EQ(px[3], 617);
    // The same file at float and at 8 bits.
    img = reader->read(0, Depth::Float);
    EXPECT_FLOAT_EQ(img.row<float>(0)[1], 1.0f);
    img = reader->read(0, Depth::Eight);
    EXPECT_EQ(img.row<uint8_t>(0)[1], 255);
}

TEST_F(ImageFiles, SixteenBitFilesSurviveARoundTripWithinOneCodeValue)
{
    const int w = 256, h = 256;  // every 16-bit value once in R, reversed in G
    std::vector<uint16_t> rgb(size_t(w) * h * 3);
    for (int i = 0; i < w * h; ++i) {
        rgb[size_t(i) * 3] = uint16_t(i);
        rgb[size_t(i) * 3 + 1] = uint16_t(65535 - i);
        rgb[size_t(i) * 3 + 2] = uint16_t((i * 7) & 0xFFFF);
    }
    for (const char* ext : {"png", "tif", "dpx"}) {
        const std::string in = std::string("in16.") + ext, out = std::string("out16.") + ext;
        RendererTest::writePicture(path(in), w, h, 3, rgb, TypeDesc::UINT16);
        auto reader = open(in);
        EXPECT_EQ(reader->info().nativeDepth, Depth::Sixteen) << ext;
        writeFrame(out, reader->read(0, Depth::Sixteen), false);
        const auto back = RendererTest::readPicture<uint16_t>(path(out));
        ASSERT_EQ(back.size(), rgb.size()) << ext;
        int worst = 0;
        for (size_t i = 0; i < rgb.size(); ++i) worst = std::max(worst, std::abs(int(back[i]) - int(rgb[i])));
        EXPECT_LE(worst, 1) << ext;
    }
}

TEST_F(ImageFiles, ExrHalfAndFloatAreReadAsFloatWithValuesKept)
{
    const std::vector<float> rgba = {0.25f, 1.5f, -0.125f, 0.5f};
    RendererTest::writePicture(path("f.exr"), 1, 1, 4, rgba, TypeDesc::FLOAT);
    RendererTest::writePicture(path("h.exr"), 1, 1, 4, rgba, TypeDesc::HALF);
    for (const char* name : {"f.exr", "h.exr"}) {
        auto reader = open(name);
        EXPECT_EQ(reader->info().nativeDepth, Depth::Float) << name;
        const Image img = reader->read(0, Depth::Float);
        const float* px = img.row<float>(0);
        EXPECT_FLOAT_EQ(px[0], 0.5f);
        EXPECT_FLOAT_EQ(px[1], 0.25f);
        EXPECT_FLOAT_EQ(px[2], 1.5f);  // above white stays
        EXPECT_FLOAT_EQ(px[3], -0.125f);
    }
    // Written back as float EXR with alpha, the values are unchanged.
    writeFrame("g.exr", open("f.exr")->read(0, Depth::Float), true);
    int ch = 0;
    const auto back = RendererTest::readPicture<float>(path("g.exr"), nullptr, nullptr, &ch);
    ASSERT_EQ(ch, 4);
    EXPECT_EQ(back, rgba);
}

TEST_F(ImageFiles, JpegIsEightBitWithoutAlphaAndCloseToItsSource)
{
    std::vector<uint8_t> rgb(16 * 16 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = 200;
        rgb[i + 1] = 100;
        rgb[i + 2] = 50;
    }
    RendererTest::writePicture(path("a.jpg"), 16, 16, 3, rgb, TypeDesc::UINT8);
    auto reader = open("a.jpg");
    const Image img = reader->read(0, Depth::Eight);
    const uint8_t* px = img.row<uint8_t>(8) + 8 * 4;
    EXPECT_EQ(px[0], 255);
    EXPECT_NEAR(px[1], 200, 3);
    EXPECT_NEAR(px[2], 100, 3);
    EXPECT_NEAR(px[3], 50, 3);
    // A JPEG output has no alpha to keep: three channels.
    writeFrame("b.jpg", img, true);
    int ch = 0;
    RendererTest::readPicture<uint8_t>(path("b.jpg"), nullptr, nullptr, &ch);
    EXPECT_EQ(ch, 3);
}

TEST_F(ImageFiles, SequencesKeepTheirFirstNumberAndRefuseGapsAndSizeChanges)
{
    for (int n : {5, 6, 7}) {
        const std::vector<uint8_t> rgb = {uint8_t(n), 0, 0};
        RendererTest::writePicture(path("s." + std::to_string(n) + ".png"), 1, 1, 3, rgb, TypeDesc::UINT8);
    }
    auto reader = open("s.%d.png");
    EXPECT_EQ(reader->info().firstFrame, 5);
    EXPECT_EQ(reader->info().frameCount, 3);
    EXPECT_EQ(reader->read(1, Depth::Eight).row<uint8_t>(0)[1], 6);

    RendererTest::writePicture(path("s.9.png"), 1, 1, 3, std::vector<uint8_t>{9, 0, 0}, TypeDesc::UINT8);
    try {
        open("s.%d.png");
        ADD_FAILURE() << "a sequence with a gap was accepted";
    } catch (const FootageError& e) {
        EXPECT_EQ(e.frame(), 8);
        EXPECT_NE(e.cause().find("missing"), std::string::npos);
    }
    std::filesystem::remove(path("s.9.png"));
    RendererTest::writePicture(path("s.8.png"), 2, 1, 3, std::vector<uint8_t>(6, 1), TypeDesc::UINT8);
    reader = open("s.%d.png");
    try {
        reader->read(3, Depth::Eight);
        ADD_FAILURE() << "a frame of another size was accepted";
    } catch (const FootageError& e) {
        EXPECT_EQ(e.frame(), 8);
        EXPECT_NE(e.cause().find("2x1"), std::string::npos);
    }
    EXPECT_THROW(open("none.%04d.png"), FootageError);
}

TEST_F(ImageFiles, DamagedAndTruncatedFilesAreClearErrors)
{
    RendererTest::writeText(path("garbage.png"), "this is not a picture at all");
    EXPECT_THROW(open("garbage.png")->read(0, Depth::Eight), FootageError);

    std::vector<uint8_t> noise(128 * 128 * 3);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t((i * 2654435761u) >> 24);
    RendererTest::writePicture(path("cut.png"), 128, 128, 3, noise, TypeDesc::UINT8);
    RendererTest::truncateFile(path("cut.png"), 0.5);
    EXPECT_THROW(open("cut.png")->read(0, Depth::Eight), FootageError);

    std::vector<float> values(128 * 128 * 3, 0.5f);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float(i % 977) / 977.0f;
    RendererTest::writePicture(path("cut.exr"), 128, 128, 3, values, TypeDesc::FLOAT);
    RendererTest::truncateFile(path("cut.exr"), 0.5);
    EXPECT_THROW(open("cut.exr")->read(0, Depth::Float), FootageError);

    EXPECT_THROW(open("missing.png"), FootageError);
}
