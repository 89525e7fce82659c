// watchcam farm on a real one-machine Slurm cluster (started by slurm-cluster.sh for all of these): the
// demo as 4 chunks against a single render, for each kind of output; a failing chunk; a resubmission.
#include "farm/klFarmScripts.h"
#include "tests/farm/farmTestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>

namespace {

using namespace FarmTest;

// SLURM_CONF of the running test cluster; empty when there is none.
std::map<std::string, std::string> clusterEnvironment()
{
    std::istringstream lines(RendererTest::slurp(FARM_CLUSTER_ENV));
    std::map<std::string, std::string> env;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("SLURM_CONF=", 0) == 0) env["SLURM_CONF"] = line.substr(11);
    return env;
}

struct Packet {
    double time = 0, duration = 0;  // seconds
    bool key = false;
    std::string data;
    bool operator<(const Packet& o) const { return time < o.time; }
};

// The packets of a file's first stream of `type`, in display order, and the file's title.
std::vector<Packet> packets(const std::string& file, AVMediaType type, std::string* title = nullptr)
{
    AVFormatContext* format = nullptr;
    std::vector<Packet> result;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return result;
    avformat_find_stream_info(format, nullptr);
    const int stream = av_find_best_stream(format, type, -1, -1, nullptr, 0);
    if (const AVDictionaryEntry* t = av_dict_get(format->metadata, "title", nullptr, 0); t && title)
        *title = t->value;
    AVPacket* packet = av_packet_alloc();
    while (stream >= 0 && av_read_frame(format, packet) >= 0) {
        const AVRational base = format->streams[packet->stream_index]->time_base;
        if (packet->stream_index == stream)
            result.push_back(
                {double(packet->pts) * av_q2d(base), double(packet->duration) * av_q2d(base),
                 (packet->flags & AV_PKT_FLAG_KEY) != 0,
                 std::string(reinterpret_cast<const char*>(packet->data), size_t(packet->size))});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    std::sort(result.begin(), result.end());
    return result;
}

std::map<std::string, std::string> withFailure(std::map<std::string, std::string> env,
                                               const std::string& frame)
{
    env["PASSTHROUGH_FAIL_FRAME"] = frame;
    return env;
}

class FarmOnSlurm : public Scratch {
protected:
    void SetUp() override
    {
        env_ = clusterEnvironment();
        if (env_.empty()) GTEST_SKIP() << "no test cluster (the farm tests need root and slurm-wlm)";
        Scratch::SetUp();
    }
    RendererTest::RunResult farm(std::vector<std::string> args)
    {
        return watchcam(with({"farm"}, args), env_);
    }
    // The demo through the farm and through one render.
    void renderBoth(const std::string& farmed, const std::string& single)
    {
        const auto r = farm(with(kDemo, {path(farmed), "--chunk", "10", "--wait"}));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("submitted 4 of 4 chunks"), std::string::npos) << r.out;
        ASSERT_EQ(watchcam(with(with({"render"}, kDemo), {path(single)})).status, 0);
    }
    std::map<std::string, std::string> env_;
};

TEST_F(FarmOnSlurm, SequenceEqualsASingleRenderByteForByte)
{
    renderBoth("farm.%04d.png", "one.%04d.png");
    for (int n = 0; n < 40; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, "%04d", n);
        expectSameFiles(path(std::string("farm.") + number + ".png"),
                        path(std::string("one.") + number + ".png"));
    }
    // Only the frames are left: the join's log goes when the join succeeds.
    EXPECT_EQ(listing().size(), 80u);
    EXPECT_FALSE(std::filesystem::exists(path(".farm.####.png.farm.log")));
}

// FFV1 is lossless, ProRes codes every frame on its own: both decode to the single render's frames.
TEST_F(FarmOnSlurm, IntraCodedVideoDecodesToTheSingleRendersFrames)
{
    for (const std::string ext : {"mkv", "mov"}) {
        renderBoth("farm." + ext, "one." + ext);
        expectSameFrames(path("farm." + ext), path("one." + ext));
        EXPECT_FALSE(std::filesystem::exists(path(".farm." + ext + ".farm")));
    }
}

// H.264 codes each chunk on its own: the pictures differ, their number and times do not, and the
// input's audio and title come over as a single render carries them.
TEST_F(FarmOnSlurm, LossyVideoKeepsFramesTimingAndAudioAndEachChunkStartsOnAKeyFrame)
{
    ASSERT_EQ(std::system(
                  ("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=480x270:rate=25:duration=1.6 -f lavfi "
                   "-i sine=frequency=440:sample_rate=48000:duration=1.6 -c:v ffv1 -c:a aac "
                   "-metadata title=Tone " +
                   Kiln::Footage::Farm::shellQuote(path("tone.mkv")))
                      .c_str()),
              0);
    const std::vector<std::vector<std::string>> inputs = {kDemo, {path("tone.mkv")}};
    for (const auto& input : inputs) {
        const auto r = farm(with(input, {path("farm.mp4"), "--chunk", "10", "--wait", "--overwrite"}));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_EQ(watchcam(with(with({"render"}, input), {path("one.mp4"), "--overwrite"})).status, 0);
        std::string farmTitle, singleTitle;
        const auto farmed = packets(path("farm.mp4"), AVMEDIA_TYPE_VIDEO, &farmTitle);
        const auto single = packets(path("one.mp4"), AVMEDIA_TYPE_VIDEO, &singleTitle);
        ASSERT_EQ(farmed.size(), 40u);
        ASSERT_EQ(single.size(), 40u);
        for (size_t i = 0; i < 40; ++i) {
            EXPECT_DOUBLE_EQ(farmed[i].time, single[i].time) << i;
            EXPECT_DOUBLE_EQ(farmed[i].duration, single[i].duration) << i;
            EXPECT_EQ(farmed[i].key, i % 10 == 0) << i;
        }
        auto reader = openReader(parseFootagePath(path("farm.mp4")), FrameRate{});
        for (int i = 0; i < 40; ++i) reader->read(i, Depth::Eight);  // every picture decodes
        EXPECT_EQ(farmTitle, singleTitle);
        const auto farmAudio = packets(path("farm.mp4"), AVMEDIA_TYPE_AUDIO),
                   singleAudio = packets(path("one.mp4"), AVMEDIA_TYPE_AUDIO);
        ASSERT_EQ(farmAudio.size(), singleAudio.size());
        for (size_t i = 0; i < farmAudio.size(); ++i) {
            EXPECT_DOUBLE_EQ(farmAudio[i].time, singleAudio[i].time) << i;
            EXPECT_TRUE(farmAudio[i].data == singleAudio[i].data) << "audio packet " << i;
        }
        if (input.size() == 1) {
            EXPECT_EQ(farmTitle, "Tone");
            EXPECT_GT(farmAudio.size(), 70u);  // 1.6 s of 1024-sample packets at 48 kHz
        }
    }
}

TEST_F(FarmOnSlurm, AFailedChunkLeavesNoOutputAndOnlyItIsRenderedAgain)
{
    // The input: the demo as pictures, one of them cut short, in chunk 3.
    ASSERT_EQ(watchcam(with(with({"render"}, kDemo), {path("in.%04d.png")})).status, 0);
    const std::string broken = path("in.0025.png"), good = RendererTest::slurp(broken);
    RendererTest::writeText(broken, good.substr(0, 300));
    const std::vector<std::string> job = {path("in.%04d.png"), path("out.mkv"), "--chunk", "10"};

    auto r = farm(with(job, {"--wait"}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("chunk 3 of 4 (frames 20-29) failed: " + broken + ": frame 25:"), std::string::npos)
        << r.err;
    EXPECT_NE(RendererTest::slurp(path(".out.mkv.farm.log")).find("chunk 3 of 4"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path("out.mkv")));
    for (const std::string& name : listing()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;

    // Repaired, the input is another than the chunks were rendered from: refused, as any changed input.
    RendererTest::writeText(broken, good);
    r = farm(with(job, {"--dry-run"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(broken + " changed since the farm job was first submitted"), std::string::npos)
        << r.err;
    std::filesystem::remove_all(path(".out.mkv.farm"));

    // A chunk that fails for a reason of its own (the module refuses a frame once) is all that is rendered
    // again.
    const std::vector<std::string> quick = with(job, {"--module", RendererTest::passthroughModule()});
    r = watchcam(with({"farm"}, with(quick, {"--wait"})), withFailure(env_, "25"));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("chunk 3 of 4 (frames 20-29) failed:"), std::string::npos) << r.err;
    r = farm(with(quick, {"--dry-run"}));
    EXPECT_NE(r.out.find("#SBATCH --array=3\n"), std::string::npos) << r.out;
    r = farm(with(quick, {"--wait"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("submitted 1 of 4 chunks"), std::string::npos) << r.out;
    ASSERT_EQ(watchcam({"render", path("in.%04d.png"), path("one.mkv"), "--module",
                        RendererTest::passthroughModule()})
                  .status,
              0);
    expectSameFrames(path("out.mkv"), path("one.mkv"));
}

}  // namespace
