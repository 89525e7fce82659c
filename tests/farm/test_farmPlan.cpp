// The cutting of a frame range into chunks, Slurm's array syntax and the names of the work files.
#include "farm/klFarmPlan.h"
#include "farm/klFarmScripts.h"
#include "footage/klFootageError.h"

#include <gtest/gtest.h>

using namespace Kiln::Footage;
using namespace Kiln::Footage::Farm;

TEST(FarmPlan, CutsTheRangeIntoChunksWithAShortLastOne)
{
    struct Case {
        int first, last, size;
        std::vector<Chunk> chunks;
    };
    const Case cases[] = {
        {0, 39, 10, {{1, 0, 9}, {2, 10, 19}, {3, 20, 29}, {4, 30, 39}}},
        {1001, 1025, 10, {{1, 1001, 1010}, {2, 1011, 1020}, {3, 1021, 1025}}},
        {5, 5, 10, {{1, 5, 5}}},
        {0, 2, 1, {{1, 0, 0}, {2, 1, 1}, {3, 2, 2}}},
        {7, 9, 100000000, {{1, 7, 9}}},
    };
    for (const Case& c : cases) {
        const FarmPlan plan(parseFootagePath("/r/out.mkv"), c.first, c.last, c.size);
        EXPECT_EQ(plan.chunks(), c.chunks) << c.first << "-" << c.last << " by " << c.size;
    }
    EXPECT_THROW(FarmPlan(parseFootagePath("/r/out.png"), 0, 9, 5), FootageError);
}

TEST(FarmPlan, WorkFilesLiveInAHiddenFolderBesideTheOutput)
{
    const FarmPlan video(parseFootagePath("/r/shot.mp4"), 0, 99999, 10);  // 10000 chunks: five digits
    EXPECT_EQ(video.workFolder(), "/r/.shot.mp4.farm");
    EXPECT_EQ(video.joinLog(), "/r/.shot.mp4.farm.log");
    EXPECT_EQ(video.chunkTarget(7).path, "/r/.shot.mp4.farm/chunk-00007.mp4");
    EXPECT_EQ(video.chunkLog(7), "/r/.shot.mp4.farm/chunk-00007.log");

    const FarmPlan sequence(parseFootagePath("/out.%04d.exr"), 0, 9, 5);
    EXPECT_EQ(sequence.workFolder(), "/.out.####.exr.farm");
    EXPECT_EQ(sequence.chunkFile(sequence.chunks()[1], 7), "/.out.####.exr.farm/out.0007.exr");
    EXPECT_EQ(FarmPlan(parseFootagePath("/r/f.%d.png"), 0, 9, 5).workFolder(), "/r/.f.#.png.farm");
}

TEST(FarmPlan, ArraySpecsRunConsecutiveChunksTogether)
{
    const auto spec = [](std::vector<int> numbers) {
        std::vector<Chunk> chunks;
        for (int n : numbers) chunks.push_back({n, 0, 0});
        return arraySpec(chunks);
    };
    EXPECT_EQ(spec({1, 2, 3, 4}), "1-4");
    EXPECT_EQ(spec({3}), "3");
    EXPECT_EQ(spec({1, 3, 4, 5, 7, 9, 10}), "1,3-5,7,9-10");
}

TEST(FarmScripts, ShellQuotingSurvivesAnyPath)
{
    EXPECT_EQ(shellQuote("/a/b.mkv"), "/a/b.mkv");
    EXPECT_EQ(shellQuote("a b"), "'a b'");
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(shellQuote("$HOME;`x`"), "'$HOME;`x`'");
}
