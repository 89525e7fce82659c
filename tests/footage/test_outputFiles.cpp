#include "footage/klFootageError.h"
#include "footage/klOutputFiles.h"
#include "tests/rendererTestSupport.h"

using namespace Kiln::Footage;

namespace {

class OutputFilesTest : public RendererTest::ScratchTest {
protected:
    std::string failure(OutputFiles& files, const std::vector<std::string>& inputs, int first, int last,
                        bool overwrite)
    {
        try {
            files.check(inputs, first, last, overwrite);
        } catch (const FootageError& e) {
            return e.what();
        }
        return "";
    }
};

}  // namespace

TEST_F(OutputFilesTest, FinalNamesAppearOnlyOnCommit)
{
    {
        OutputFiles files(parseFootagePath(path("out.%04d.png")), 99);
        for (int n : {3, 4}) RendererTest::writeText(files.temporaryFor(n), "frame");
        EXPECT_EQ(listing(), (std::vector<std::string>{".out.0003.tmp-99.png", ".out.0004.tmp-99.png"}));
        files.commit();
        EXPECT_EQ(listing(), (std::vector<std::string>{"out.0003.png", "out.0004.png"}));
    }
    EXPECT_EQ(listing().size(), 2u);  // committed files stay

    {
        OutputFiles files(parseFootagePath(path("clip.mkv")), 99);
        RendererTest::writeText(files.temporaryFor(0), "partial");
        EXPECT_TRUE(std::filesystem::exists(path(".clip.tmp-99.mkv")));
    }  // dropped without commit: nothing of it is left
    EXPECT_FALSE(std::filesystem::exists(path(".clip.tmp-99.mkv")));
    EXPECT_FALSE(std::filesystem::exists(path("clip.mkv")));

    OutputFiles files(parseFootagePath(path("still.exr")), 5);
    RendererTest::writeText(files.temporaryFor(0), "x");
    files.discard();
    files.commit();  // nothing left to rename
    EXPECT_FALSE(std::filesystem::exists(path("still.exr")));
}

TEST_F(OutputFilesTest, ChecksRefuseTheInputExistingFilesAndUnwritablePlaces)
{
    RendererTest::writeText(path("in.png"), "input");
    OutputFiles same(parseFootagePath(path("in.png")), 1);
    EXPECT_NE(failure(same, {path("in.png")}, 0, 0, true).find("is the input"), std::string::npos);

    std::filesystem::create_hard_link(path("in.png"), path("link.png"));
    OutputFiles linked(parseFootagePath(path("link.png")), 1);
    EXPECT_NE(failure(linked, {path("in.png")}, 0, 0, true).find("is the input"), std::string::npos);

    RendererTest::writeText(path("old.mp4"), "old");
    OutputFiles old(parseFootagePath(path("old.mp4")), 1);
    EXPECT_NE(failure(old, {}, 0, 0, false).find("already exists"), std::string::npos);
    EXPECT_EQ(failure(old, {}, 0, 0, true), "");

    RendererTest::writeText(path("seq.0012.png"), "old frame");
    OutputFiles seq(parseFootagePath(path("seq.%04d.png")), 1);
    EXPECT_EQ(failure(seq, {}, 0, 11, false), "");
    const std::string message = failure(seq, {}, 10, 20, false);
    EXPECT_NE(message.find("seq.0012.png: frame 12: already exists"), std::string::npos) << message;

    OutputFiles nowhere(parseFootagePath(path("missing/out.png")), 1);
    EXPECT_NE(failure(nowhere, {}, 0, 0, false).find("No such file or directory"), std::string::npos);
    OutputFiles underFile(parseFootagePath(path("in.png/out.png")), 1);
    EXPECT_NE(failure(underFile, {}, 0, 0, false).find("not a directory"), std::string::npos);

    std::filesystem::create_directory(path("dir.png"));
    OutputFiles directory(parseFootagePath(path("dir.png")), 1);
    EXPECT_NE(failure(directory, {}, 0, 0, true).find("is a directory"), std::string::npos);

    if (geteuid() != 0) {  // permissions do not stop root
        std::filesystem::create_directory(path("locked"));
        std::filesystem::permissions(path("locked"),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        OutputFiles locked(parseFootagePath(path("locked/out.png")), 1);
        EXPECT_NE(failure(locked, {}, 0, 0, false).find("Permission denied"), std::string::npos);
    }
}

TEST_F(OutputFilesTest, ClaimsOfOverlappingFramesExcludeEachOtherAndTheLastRemovesTheLock)
{
    // Open-file-description locks conflict within one process too, so two claims here behave as two renders.
    OutputFiles a(parseFootagePath(path("seq.%04d.png")), 1);
    a.claim(0, 9);
    EXPECT_EQ(listing(), std::vector<std::string>{".seq.#.png.lock"});
    OutputFiles b(parseFootagePath(path("seq.####.png")), 2);
    try {
        b.claim(9, 12);
        ADD_FAILURE() << "frame 9 is claimed twice";
    } catch (const FootageError& e) {
        EXPECT_NE(std::string(e.what()).find("another render is writing it now (frames of 9-12)"),
                  std::string::npos);
    }
    OutputFiles c(parseFootagePath(path("seq.%d.png")), 3);
    c.claim(10, 12);
    RendererTest::writeText(path(".seq.0011.tmp-77.png"), "left by a killed render of a frame c now holds");
    RendererTest::writeText(path(".seq.0020.tmp-77.png"), "left by a killed render of a frame no one holds");
    RendererTest::writeText(c.temporaryFor(10), "c's own");
    a.commit();
    EXPECT_TRUE(std::filesystem::exists(path(".seq.#.png.lock")));  // c still holds frames
    OutputFiles d(parseFootagePath(path("seq.%04d.png")), 4);
    d.claim(0, 3);  // removes the temporary files of frames no one holds, and only those
    EXPECT_EQ(listing(),
              (std::vector<std::string>{".seq.#.png.lock", ".seq.0011.tmp-77.png", ".seq.10.tmp-3.png"}));
    d.discard();
    c.discard();
    EXPECT_EQ(listing(),
              std::vector<std::string>{".seq.0011.tmp-77.png"});  // the next claim of frame 11 takes it

    OutputFiles still(parseFootagePath(path("one.exr")), 5);
    still.claim(0, 0);
    OutputFiles again(parseFootagePath(path("one.exr")), 6);
    EXPECT_THROW(again.claim(0, 0), FootageError);
}
