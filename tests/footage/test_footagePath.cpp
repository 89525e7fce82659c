#include "footage/klFootageError.h"
#include "footage/klFootagePath.h"
#include "tests/rendererTestSupport.h"

using namespace Kiln::Footage;

TEST(FootagePath, KindsFollowTheNameAndTheFrameField)
{
    FootagePath p = parseFootagePath("dir/Shot.PNG");
    EXPECT_EQ(p.kind, Kind::Still);
    EXPECT_EQ(p.extension, "png");

    p = parseFootagePath("dir/shot.%04d.exr");
    EXPECT_EQ(p.kind, Kind::Sequence);
    EXPECT_EQ(p.prefix, "dir/shot.");
    EXPECT_EQ(p.suffix, ".exr");
    EXPECT_EQ(p.padding, 4);
    EXPECT_EQ(p.frameFile(7), "dir/shot.0007.exr");
    EXPECT_EQ(p.frameFile(12345), "dir/shot.12345.exr");

    p = parseFootagePath("plate_###.dpx");
    EXPECT_EQ(p.kind, Kind::Sequence);
    EXPECT_EQ(p.frameFile(5), "plate_005.dpx");

    p = parseFootagePath("a.%d.tif");
    EXPECT_EQ(p.padding, 0);
    EXPECT_EQ(p.frameFile(5), "a.5.tif");

    EXPECT_EQ(parseFootagePath("clip.MOV").kind, Kind::Video);
    EXPECT_EQ(parseFootagePath("clip.mkv").kind, Kind::Video);
    EXPECT_EQ(parseFootagePath("clip.mp4").frameFile(3), "clip.mp4");
}

TEST(FootagePath, MalformedNamesAreRefusedWithTheReason)
{
    auto reason = [](const std::string& name) {
        try {
            parseFootagePath(name);
        } catch (const FootageError& e) {
            return e.cause();
        }
        return std::string("accepted");
    };
    EXPECT_NE(reason("x.gif").find("unsupported file type '.gif'"), std::string::npos);
    EXPECT_NE(reason("noextension").find("no file extension"), std::string::npos);
    EXPECT_NE(reason("a.%04d.mp4").find("video file has no frame field"), std::string::npos);
    EXPECT_NE(reason("a.%4d.png").find("bad frame field"), std::string::npos);
    EXPECT_NE(reason("a.%04d.%04d.png").find("more than one"), std::string::npos);
    EXPECT_NE(reason("a.##.#.png").find("more than one"), std::string::npos);
    EXPECT_NE(reason("a.png.%04d").find("before the extension"), std::string::npos);
    EXPECT_NE(reason("").find("empty"), std::string::npos);
    EXPECT_NE(reason("dir/.png").find("no file name before the extension .png"), std::string::npos);
}

class SequenceOnDisk : public RendererTest::ScratchTest { };

TEST_F(SequenceOnDisk, FindsExactlyTheFramesThePatternNames)
{
    for (const char* name :
         {"shot.0001.png", "shot.0002.png", "shot.0010.png", "shot.1.png", "shot.0003.png.tmp",
          "other.0004.png", "shot.00x5.png", ".shot.0006.tmp-1.png", "shot.12345.png"})
        RendererTest::writeText(path(name), "x");
    const FootagePath seq = parseFootagePath(path("shot.%04d.png"));
    EXPECT_EQ(findSequenceFrames(seq), (std::vector<int>{1, 2, 10, 12345}));
    const FootagePath unpadded = parseFootagePath(path("shot.%d.png"));
    EXPECT_EQ(findSequenceFrames(unpadded), (std::vector<int>{1, 12345}));
}

TEST(FootagePath, TemporaryNamesAreHiddenBesideTheOutputAndKeepTheExtension)
{
    EXPECT_EQ(temporaryName("dir/out.mp4", 42), "dir/.out.tmp-42.mp4");
    EXPECT_EQ(temporaryName("/a/b/out.0001.png", 7), "/a/b/.out.0001.tmp-7.png");
    EXPECT_EQ(temporaryName("out.exr", 7), ".out.tmp-7.exr");
    EXPECT_EQ(directoryOf("out.exr"), ".");
    EXPECT_EQ(directoryOf("/out.exr"), "/");
    EXPECT_EQ(directoryOf("a/b/out.exr"), "a/b");
}
