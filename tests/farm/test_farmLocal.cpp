// watchcam farm without a cluster: the plain commands and the join run here, the checks made before
// anything is submitted, and the join's refusals. The pass-through module keeps the renders quick.
#include "farm/klFarmScripts.h"
#include "footage/klOutputFiles.h"
#include "tests/farm/farmTestSupport.h"

#include <chrono>
#include <sstream>
#include <thread>

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
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // What the farm sets itself, in every spelling sbatch takes, in every mode.
    const std::pair<std::string, std::string> refused[] = {{"--array=1-3", "--array"},
                                                           {"--array 2", "--array"},
                                                           {"--arr=2", "--array"},
                                                           {"-a5", "--array"},
                                                           {"-a", "--array"},
                                                           {"-Ha1", "--array"},
                                                           {"--output=all.log", "--output"},
                                                           {"-o", "--output"},
                                                           {"-e/tmp/e", "--error"},
                                                           {"--dependency=afterok:1", "--dependency"},
                                                           {"-d", "--dependency"},
                                                           {"--wrap=true", "--wrap"},
                                                           {"--job-name=x", "--job-name"},
                                                           {"-J x", "--job-name"},
                                                           {"--parsable", "--parsable"},
                                                           {"-W", "--wait"},
                                                           {"--clusters=b", "--clusters"}};
    for (const auto& [arg, name] : refused)
        for (const char* mode : {"--dry-run", "--plain"})
            all.push_back({"a.mkv",
                           {"--chunk", "10", mode, "--sbatch-arg=--partition=farm", "--sbatch-arg=" + arg},
                           2,
                           "--sbatch-arg " + arg + ": refused, the farm sets " + name});
    for (const Case& c : all) {
        const auto r = watchcam(farm(path(c.output), c.extra));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(listing(), std::vector<std::string>{"taken.mkv"});

    // Options of the user's own pass (a value that merely starts like a refused short option included).
    const auto r = watchcam(
        farm(path("b.mkv"), {"--chunk", "10", "--dry-run", "--sbatch-arg=-pfarm", "--sbatch-arg=--exclusive",
                             "--sbatch-arg=-c2", "--sbatch-arg=--comment=-a"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("#SBATCH -pfarm\n#SBATCH --exclusive\n#SBATCH -c2\n"), std::string::npos) << r.out;
    // --plain says that it leaves them out.
    const auto plain = watchcam(farm(path("b.mkv"), {"--chunk", "10", "--plain", "--sbatch-arg=-pfarm"}));
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.err.find("--plain ignores it"), std::string::npos) << plain.err;
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
    joinSays("chunk 2 of 4 (frames 10-19) failed: its segment holds 5 of its 10 pictures");
    // The right frames, but timed as a render of their own rather than as part of the whole.
    renderChunk2("480x270", "10-19");
    joinSays(segment2 + ": does not follow the segment before it in time");
    EXPECT_FALSE(std::filesystem::exists(path("out.mp4")));
    for (const std::string& name : listing()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// Each chunk carries its frames' times in the whole render, so the joined frames and the carried sound
// sit where a single render puts them: variable frame times (a chunk's start is no sum of earlier
// durations) and constant ones, in every container the farm writes.
TEST_F(FarmLocal, JoinedFramesKeepASingleRendersTimesAtVariableAndConstantRates)
{
    // 30 frames 10 to 70 ms apart, and a tone.
    ASSERT_EQ(
        std::system(("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x90:rate=25:duration=1.2 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.6 "
                     "-vf \"settb=1/1000,setpts='(N*40+mod(N*N\\,7)*5)/1000/TB'\" -fps_mode passthrough "
                     "-enc_time_base 1/1000 "
                     "-c:v ffv1 -c:a aac -shortest " +
                     Kiln::Footage::Farm::shellQuote(path("vfr.mkv")))
                        .c_str()),
        0);
    ASSERT_GT(packetTimes(path("vfr.mkv"), "v").size(), 25u);
    const std::vector<std::vector<std::string>> inputs = {{path("vfr.mkv")}, kDemo};
    const std::string chunk = "5";  // 24 frames: 4 chunks of 5 and one of 4
    for (const auto& input : inputs)
        for (const std::string ext : {"mp4", "mov", "mkv"}) {
            SCOPED_TRACE(input[0] + " into " + ext + " in chunks of " + chunk);
            std::filesystem::remove(path("farm." + ext));
            std::filesystem::remove(path("one." + ext));
            const std::vector<std::string> common = {"--module", RendererTest::passthroughModule(),
                                                     "--frames", "3-26"};
            const auto plain = watchcam(with(with(with({"farm"}, input), {path("farm." + ext)}),
                                             with(common, {"--chunk", chunk, "--plain"})));
            ASSERT_EQ(plain.status, 0) << plain.err;
            runLines(plain.out);
            ASSERT_EQ(std::system(joinCommand(plain).c_str()), 0);
            ASSERT_EQ(watchcam(with(with({"render"}, input), with({path("one." + ext)}, common))).status, 0);
            for (const char* streams : {"v", "a"}) {
                const auto single = packetTimes(path("one." + ext), streams);
                EXPECT_EQ(packetTimes(path("farm." + ext), streams), single) << streams;
                if (*streams == 'v') {
                    EXPECT_EQ(single.size(), 24u);
                }
            }
        }
}

// A chunk counts as done only when complete and rendered from the files the job was first submitted
// with; the join claims the output as a render does and keeps its log only when it fails.
TEST_F(FarmLocal, ResubmissionRendersIncompleteChunksAgainAndRefusesChangedSources)
{
    ASSERT_EQ(watchcam(with(with({"render"}, kDemo),
                            {path("in.mkv"), "--module", RendererTest::passthroughModule()}))
                  .status,
              0);
    std::filesystem::copy_file(RendererTest::passthroughModule(), path("module.so"));
    const auto plainRun = [&](const std::string& output) {
        return watchcam({"farm", path("in.mkv"), path(output), "--module", path("module.so"), "--chunk", "10",
                         "--plain"});
    };
    const auto chunkLines = [](const RendererTest::RunResult& r) {
        return std::count(r.out.begin(), r.out.end(), '\n');
    };
    for (const std::string output : {"out.%04d.png", "out.mkv"}) {
        SCOPED_TRACE(output);
        auto plain = plainRun(output);
        ASSERT_EQ(plain.status, 0) << plain.err;
        runLines(plain.out);
        plain = plainRun(output);
        EXPECT_EQ(chunkLines(plain), 0) << plain.out;
        // An empty file and a short one (a copy cut off, a frame gone) are rendered again.
        if (output == "out.mkv") {
            RendererTest::writeText(path(".out.mkv.farm/chunk-0001.mkv"), "");
            const std::string segment = path(".out.mkv.farm/chunk-0004.mkv");
            std::filesystem::resize_file(segment, std::filesystem::file_size(segment) / 2);
        } else {
            RendererTest::writeText(path(".out.####.png.farm/out.0012.png"), "");
            std::filesystem::remove(path(".out.####.png.farm/out.0035.png"));
        }
        plain = plainRun(output);
        ASSERT_EQ(plain.status, 0) << plain.err;
        ASSERT_EQ(chunkLines(plain), 2) << plain.out;
        EXPECT_NE(plain.out.find(output == "out.mkv" ? "--frames 0-9\n" : "--frames 10-19\n"),
                  std::string::npos)
            << plain.out;
        EXPECT_NE(plain.out.find("--frames 30-39\n"), std::string::npos) << plain.out;
        runLines(plain.out);
    }

    // Another render holds the output: the join is refused, as a second render would be, and keeps its log.
    const std::string join = joinCommand(plainRun("out.mkv"));
    const std::string log = path(".out.mkv.farm.log");
    {
        OutputFiles render(parseFootagePath(path("out.mkv")), 1);
        render.claim(0, 0);
        RendererTest::writeText(log, "the join's log\n");
        EXPECT_NE(std::system((join + " 2>" + Kiln::Footage::Farm::shellQuote(path("join.err"))).c_str()), 0);
        EXPECT_NE(RendererTest::slurp(path("join.err")).find("another render is writing it now"),
                  std::string::npos)
            << RendererTest::slurp(path("join.err"));
        EXPECT_FALSE(std::filesystem::exists(path("out.mkv")));
        EXPECT_TRUE(std::filesystem::exists(log));
    }
    // A join that succeeds leaves the output and no log.
    ASSERT_EQ(std::system(join.c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(path("out.mkv")));
    EXPECT_FALSE(std::filesystem::exists(log));

    // The input or the module changed since the first submission: refused, naming it, for every mode.
    ASSERT_EQ(plainRun("out.%04d.png").status, 0);
    for (const std::string name : {"in.mkv", "module.so"}) {
        const auto recorded = std::filesystem::last_write_time(path(name));
        std::filesystem::last_write_time(path(name), recorded + std::chrono::seconds(5));
        for (const char* mode : {"--plain", "--dry-run", "--merge"}) {
            const auto r = watchcam({"farm", path("in.mkv"), path("out.%04d.png"), "--module",
                                     path("module.so"), "--chunk", "10", mode});
            EXPECT_EQ(r.status, 1) << mode << r.err;
            EXPECT_NE(r.err.find(path(name) + " changed since the farm job was first submitted"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        std::filesystem::last_write_time(path(name), recorded);
    }
    EXPECT_EQ(plainRun("out.%04d.png").status, 0);
}

// A chunk starts mid-way through an input of long groups of pictures: it decodes from the key frame before
// its first frame, or seeks to one between, skipping pictures no other refers to. Every chunk of a lossless
// output holds exactly the single render's frames.
TEST_F(FarmLocal, ChunksDecodeAnInputWithBFramesAndSparseKeyFramesExactly)
{
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x180:rate=25:duration=2.4 "
                           "-c:v libx264 -bf 3 -g 24 -sc_threshold 0 -pix_fmt yuv420p " +
                           Kiln::Footage::Farm::shellQuote(path("long-gop.mp4")))
                              .c_str()),
              0);
    const std::vector<std::string> common = {"--module", RendererTest::passthroughModule(), "--frames",
                                             "5-57"};
    const auto plain =
        watchcam(with({"farm", path("long-gop.mp4"), path("farm.mkv"), "--chunk", "9", "--plain"}, common));
    ASSERT_EQ(plain.status, 0) << plain.err;
    runLines(plain.out);
    ASSERT_EQ(std::system(joinCommand(plain).c_str()), 0);
    ASSERT_EQ(watchcam(with({"render", path("long-gop.mp4"), path("one.mkv")}, common)).status, 0);
    expectSameFrames(path("farm.mkv"), path("one.mkv"));
}

// Chunks of one sequence share a folder, and on a shared file system a chunk cannot see the locks of
// another machine's: it removes temporary files of its own frames, and of other frames only when they are
// older than the job's submission (left by a job that had ended), never those of a chunk still writing.
TEST_F(FarmLocal, ASequenceChunkRemovesOnlyTemporaryFilesItCanProveStale)
{
    const auto plain = watchcam(farm(path("out.%04d.png"), {"--chunk", "10", "--plain"}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string work = path(".out.####.png.farm") + "/";
    RendererTest::writeText(work + ".out.0025.tmp-99999.png", "chunk 3, being written on another machine");
    RendererTest::writeText(work + ".out.0031.tmp-99998.png", "chunk 4, left by a job that ended long ago");
    RendererTest::writeText(work + ".out.0005.tmp-99997.png", "chunk 1, left by its own render killed");
    std::filesystem::last_write_time(work + ".out.0031.tmp-99998.png",
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    ASSERT_EQ(std::system(plain.out.substr(0, plain.out.find('\n')).c_str()), 0);  // chunk 1
    EXPECT_TRUE(std::filesystem::exists(work + ".out.0025.tmp-99999.png"));
    EXPECT_FALSE(std::filesystem::exists(work + ".out.0031.tmp-99998.png"));
    EXPECT_FALSE(std::filesystem::exists(work + ".out.0005.tmp-99997.png"));
    EXPECT_TRUE(std::filesystem::exists(work + "out.0009.png"));
}

// The batch scripts keep to POSIX shell, so that bash before 4.4 (where an empty array's "${a[@]}" fails
// under set -u) runs them as any other shell does. bash 4.2 itself is not at hand: the scripts run under
// dash, which has no arrays at all, and bash --posix, with and without the CPUs Slurm may give a task.
TEST_F(FarmLocal, TheBatchScriptsRunInAPlainPosixShell)
{
    ASSERT_EQ(watchcam(farm(path("out.mkv"), {"--chunk", "10", "--plain"})).status, 0);  // the work folder
    const auto dry = watchcam(farm(path("out.mkv"), {"--chunk", "10", "--dry-run"}));
    ASSERT_EQ(dry.status, 0) << dry.err;
    const size_t join = dry.out.find("# ---- " + path(".out.mkv.farm/join.sbatch"));
    ASSERT_NE(join, std::string::npos) << dry.out;
    const std::string chunks = dry.out.substr(0, join);
    for (const char* array : {"[@]", "[*]", "=(", "declare", "local "})
        EXPECT_EQ(dry.out.find(array), std::string::npos) << array << " in\n" << dry.out;
    RendererTest::writeText(path("chunks.sh"), chunks);
    const std::string script = Kiln::Footage::Farm::shellQuote(path("chunks.sh"));
    const std::string segment = path(".out.mkv.farm/chunk-000");
    int task = 0;
    for (const std::string shell : {"dash", "bash --posix"})
        for (const std::string cpus : {"env -u SLURM_CPUS_PER_TASK -u SLURM_CPUS_ON_NODE",
                                       "env -u SLURM_CPUS_PER_TASK SLURM_CPUS_ON_NODE=1"}) {
            ++task;
            const std::string run =
                cpus + " SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " " + shell + " -u " + script;
            EXPECT_EQ(std::system(run.c_str()), 0) << run;
            EXPECT_TRUE(std::filesystem::exists(segment + std::to_string(task) + ".mkv")) << run;
        }
}

// Slurm's commands played by scripts on PATH: sbatch hands out ids (slowly, so two submissions overlap);
// squeue answers from a list of queued ids, follows a join to its end (removing the work folder as the
// join does) and fails as often as a file says.
class FarmFakeSlurm : public FarmLocal {
protected:
    void SetUp() override
    {
        FarmLocal::SetUp();
        const std::string bin = path("bin");
        std::filesystem::create_directory(bin);
        script(bin + "/sbatch",
               "n=$(($(cat \"$D/next\" 2>/dev/null || echo 100) + 1)); echo $n >\"$D/next\"\n"
               "sleep 0.3; echo $n >>\"$D/queued\"; echo $n >>\"$D/submitted\"; echo $n\n");
        script(
            bin + "/squeue",
            "case \"$*\" in *--states=all*) kind=state ;; *) kind=queue ;; esac\n"
            "n=$(cat \"$D/$kind-fails\" 2>/dev/null || echo 0)\n"
            "if [ \"$n\" -gt 0 ]; then\n"
            "  echo $((n - 1)) >\"$D/$kind-fails\"\n"
            "  echo 'squeue: error: Unable to contact slurm controller (connect failure)' >&2; exit 1\n"
            "fi\n"
            "if [ $kind = state ]; then\n"
            "  n=$(cat \"$D/polls\" 2>/dev/null || echo 0); echo $((n + 1)) >\"$D/polls\"\n"
            "  if [ \"$n\" -ge 2 ]; then rm -rf \"$D/.out.mkv.farm\"; echo COMPLETED; else echo RUNNING; fi\n"
            "elif grep -qx \"${2#--jobs=}\" \"$D/queued\" 2>/dev/null; then echo PENDING; fi\n");
        script(bin + "/scontrol", "exit 1\n");
        script(bin + "/scancel", "exit 0\n");
        env_ = {{"PATH", bin + ":" + std::getenv("PATH")}, {"D", dir_}};
    }
    static void script(const std::string& file, const std::string& body)
    {
        RendererTest::writeText(file, "#!/bin/sh\n" + body);
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }
    RendererTest::RunResult submit(const std::vector<std::string>& extra = {})
    {
        return watchcam(farm(path("out.mkv"), with({"--chunk", "10"}, extra)), env_);
    }
    std::map<std::string, std::string> env_;
};

TEST_F(FarmFakeSlurm, SubmissionsAtOnceAndAFailingSqueueNeverRenderAChunkTwice)
{
    // Two submissions at the same moment: one submits, the other waits for it and finds its jobs queued.
    {
        RendererTest::RunResult second;
        std::filesystem::create_directory(path("elsewhere"));  // its own files for what it prints
        std::thread other([&] {
            second =
                RendererTest::runWatchcam(farm(path("out.mkv"), {"--chunk", "10"}), path("elsewhere"), env_);
        });
        const auto first = submit();
        other.join();
        EXPECT_EQ(first.status + second.status, 1) << first.err << second.err;
        EXPECT_NE((first.err + second.err).find("still queued or running"), std::string::npos)
            << first.err << second.err;
        EXPECT_EQ(RendererTest::slurp(path("submitted")), "101\n102\n");  // chunks and join, once
    }
    // squeue keeps failing: whether the jobs still run is unknown, so nothing is submitted.
    RendererTest::writeText(path("queue-fails"), "100");
    auto r = submit();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot tell whether its last farm job (101) is still queued: squeue failed (exit "
                         "status 1): squeue: error: Unable to contact slurm controller"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    // A failure now and then is asked again: the jobs are found queued.
    RendererTest::writeText(path("queue-fails"), "1");
    r = submit();
    EXPECT_NE(r.err.find("still queued or running"), std::string::npos) << r.err;
    EXPECT_EQ(RendererTest::slurp(path("submitted")), "101\n102\n");

    // --wait: a failing squeue is no end; the join is followed until it is done.
    RendererTest::writeText(path("queued"), "");
    RendererTest::writeText(path("state-fails"), "1");
    r = submit({"--wait"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("out.mkv: done"), std::string::npos) << r.out;
    // While squeue keeps failing, --wait says it cannot follow the join, not that it ended.
    RendererTest::writeText(path("queued"), "");
    RendererTest::writeText(path("state-fails"), "100");
    r = submit({"--wait"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot follow the join job 106: squeue failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("ended without the output"), std::string::npos) << r.err;
}

}  // namespace
