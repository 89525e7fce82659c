// watchcam farm without a cluster: the plain commands and the join run here, the checks made before
// anything is submitted, and the join's refusals. The pass-through module keeps the renders quick.
#include "farm/klFarmScripts.h"
#include "tests/farm/farmTestSupport.h"

#include <sstream>

namespace {

using namespace FarmTest;

class FarmLocal : public Scratch {
protected:
    std::vector<std::string> farm(const std::string& output, std::vector<std::string> extra)
    {
        return with(with({"farm"}, kDemo),
                    with({output, "--module", RendererTest::passthroughModule()}, extra));
    }
    // Runs each line of `commands` through the shell; the chunk renders print nothing.
    static void runLines(const std::string& commands)
    {
        std::istringstream lines(commands);
        std::string line;
        while (std::getline(lines, line)) ASSERT_EQ(std::system(line.c_str()), 0) << line;
    }
    static std::string joinCommand(const RendererTest::RunResult& plain)
    {
        const size_t at = plain.err.find("join them with:\n  ");
        if (at == std::string::npos) return {};
        const std::string line = plain.err.substr(at + 18);
        return line.substr(0, line.find('\n'));
    }
};

TEST_F(FarmLocal, PlainCommandsAndTheJoinGiveTheSingleRendersFiles)
{
    const std::string dir = path("it's here");  // quoting of every path in the commands
    std::filesystem::create_directory(dir);
    const auto plain = watchcam(farm(dir + "/out.%04d.png", {"--chunk", "10", "--plain"}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 4) << plain.out;
    runLines(plain.out);
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.0000.png"));  // nothing under the output's name yet

    const std::string join = joinCommand(plain);
    ASSERT_FALSE(join.empty()) << plain.err;
    ASSERT_EQ(std::system(join.c_str()), 0) << join;
    EXPECT_FALSE(std::filesystem::exists(dir + "/.out.####.png.farm"));

    ASSERT_EQ(watchcam(with(with({"render"}, kDemo),
                            {path("one.%04d.png"), "--module", RendererTest::passthroughModule()}))
                  .status,
              0);
    for (int n = 0; n < 40; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", n);
        expectSameFiles(dir + "/out." + name, path(std::string("one.") + name));
    }
}

TEST_F(FarmLocal, MistakesAreRefusedBeforeAnythingIsWritten)
{
    RendererTest::writeText(path("taken.mkv"), "x");
    struct Case {
        std::string output;
        std::vector<std::string> extra;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"a.mkv", {}, 2, "farm needs --chunk N"},
        {"a.mkv", {"--chunk", "0"}, 2, "--chunk 0"},
        {"a.png", {"--chunk", "10", "--dry-run"}, 1, "not a single picture"},
        {"a.mkv", {"--chunk", "10", "--dry-run", "--plain"}, 2, "exclude each other"},
        {"a.mkv", {"--chunk", "10", "--merge", "--wait"}, 2, "--merge"},
        {"a.mkv", {"--chunk", "10", "--merge"}, 1, "nothing to join"},
        {"taken.mkv", {"--chunk", "10", "--dry-run"}, 1, "already exists"},
        {"a.mkv", {"--chunk", "10", "--dry-run", "--set", "contrast=-4"}, 2, "contrast"},
        {"a.mkv", {"--chunk", "10", "--dry-run", "--frames", "30-45"}, 1, "outside the input's frames"},
        {"a.mkv", {"--chunk", "10", "--dry-run", "--sbatch-arg=--comment=\"x\""}, 2, "double quote"},
    };
    for (const Case& c : cases) {
        const auto r = watchcam(farm(path(c.output), c.extra));
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(listing(), std::vector<std::string>{"taken.mkv"});
}

TEST_F(FarmLocal, TheJoinNamesMissingChunksAndRefusesSegmentsThatDoNotFit)
{
    const auto plain = watchcam(farm(path("out.mp4"), {"--chunk", "10", "--plain"}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    // Chunk 3 never runs.
    std::vector<std::string> chunks;
    std::istringstream lines(plain.out);
    for (std::string line; std::getline(lines, line);) chunks.push_back(line);
    ASSERT_EQ(chunks.size(), 4u);
    for (int n : {0, 1, 3}) ASSERT_EQ(std::system(chunks[size_t(n)].c_str()), 0);
    const std::string join = joinCommand(plain) + " 2>" + Kiln::Footage::Farm::shellQuote(path("join.err"));
    const auto joinSays = [&](const std::string& part) {
        EXPECT_NE(std::system(join.c_str()), 0);
        const std::string err = RendererTest::slurp(path("join.err"));
        EXPECT_NE(err.find(part), std::string::npos) << err;
    };
    joinSays("out.mp4: chunk 3 of 4 (frames 20-29) failed: it never ran (no log)");

    // Chunk 2 rendered again at another size, then with too few frames.
    ASSERT_EQ(std::system(chunks[2].c_str()), 0);
    const std::string segment2 = path(".out.mp4.farm/chunk-0002.mp4");
    const auto renderChunk2 = [&](const char* size, const char* frames) {
        ASSERT_EQ(watchcam({"render", "--demo", "--demo-size", size, "--demo-frames", "40", "--frames",
                            frames, segment2, "--overwrite", "--module", RendererTest::passthroughModule()})
                      .status,
                  0);
    };
    renderChunk2("240x136", "10-19");
    joinSays("chunk 2 (" + segment2 + "): encoded with other settings");
    renderChunk2("480x270", "10-14");
    joinSays("chunk 2 (" + segment2 + "): holds 5 pictures, not 10");
    EXPECT_FALSE(std::filesystem::exists(path("out.mp4")));
    for (const std::string& name : listing()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

}  // namespace
