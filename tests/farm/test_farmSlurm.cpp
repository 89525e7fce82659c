// watchcam farm on a real one-machine Slurm cluster (started by slurm-cluster.sh for all of these): the
// demo as 4 chunks against a single render, for each kind of output; a failing chunk; a resubmission.
#include "tests/farm/farmTestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>

namespace {

using namespace FarmTest;

// SLURM_CONF of the running test cluster; empty when there is none.
std::map<std::string, std::string> clusterEnvironment() {
  std::istringstream lines(CliTest::slurp(FARM_CLUSTER_ENV));
  std::map<std::string, std::string> env;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("SLURM_CONF=", 0) == 0) env["SLURM_CONF"] = line.substr(11);
  return env;
}

struct Picture {
  double time = 0, duration = 0;  // seconds
  bool key = false;
  bool operator<(const Picture& o) const { return time < o.time; }
};

// The video packets of a file, in display order.
std::vector<Picture> pictures(const std::string& file) {
  AVFormatContext* format = nullptr;
  std::vector<Picture> result;
  if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return result;
  avformat_find_stream_info(format, nullptr);
  const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVPacket* packet = av_packet_alloc();
  while (stream >= 0 && av_read_frame(format, packet) >= 0) {
    const AVRational base = format->streams[packet->stream_index]->time_base;
    if (packet->stream_index == stream)
      result.push_back({double(packet->pts) * av_q2d(base), double(packet->duration) * av_q2d(base),
                        (packet->flags & AV_PKT_FLAG_KEY) != 0});
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  std::sort(result.begin(), result.end());
  return result;
}

class FarmOnSlurm : public Scratch {
protected:
  void SetUp() override {
    env_ = clusterEnvironment();
    if (env_.empty()) GTEST_SKIP() << "no test cluster (the farm tests need root and slurm-wlm)";
    Scratch::SetUp();
  }
  CliTest::RunResult farm(std::vector<std::string> args) { return watchcam(with({"farm"}, args), env_); }
  // The demo through the farm and through one render.
  void renderBoth(const std::string& farmed, const std::string& single) {
    const auto r = farm(with(kDemo, {path(farmed), "--chunk", "10", "--wait"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("submitted 4 of 4 chunks"), std::string::npos) << r.out;
    ASSERT_EQ(watchcam(with(with({"render"}, kDemo), {path(single)})).status, 0);
  }
  std::map<std::string, std::string> env_;
};

TEST_F(FarmOnSlurm, SequenceEqualsASingleRenderByteForByte) {
  renderBoth("farm.%04d.png", "one.%04d.png");
  for (int n = 0; n < 40; ++n) {
    char number[8];
    std::snprintf(number, sizeof number, "%04d", n);
    expectSameFiles(path(std::string("farm.") + number + ".png"), path(std::string("one.") + number + ".png"));
  }
  // Only the frames and the join's log are left.
  EXPECT_EQ(listing().size(), 81u);
  EXPECT_TRUE(std::filesystem::exists(path(".farm.####.png.farm.log")));
}

// FFV1 is lossless, ProRes codes every frame on its own: both decode to the single render's frames.
TEST_F(FarmOnSlurm, IntraCodedVideoDecodesToTheSingleRendersFrames) {
  for (const std::string ext : {"mkv", "mov"}) {
    renderBoth("farm." + ext, "one." + ext);
    expectSameFrames(path("farm." + ext), path("one." + ext));
    EXPECT_FALSE(std::filesystem::exists(path(".farm." + ext + ".farm")));
  }
}

TEST_F(FarmOnSlurm, LossyVideoKeepsFramesAndTimingAndEachChunkStartsOnAKeyFrame) {
  renderBoth("farm.mp4", "one.mp4");
  const auto farmed = pictures(path("farm.mp4")), single = pictures(path("one.mp4"));
  ASSERT_EQ(farmed.size(), 40u);
  ASSERT_EQ(single.size(), 40u);
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_DOUBLE_EQ(farmed[i].time, single[i].time) << i;
    EXPECT_DOUBLE_EQ(farmed[i].duration, single[i].duration) << i;
    EXPECT_EQ(farmed[i].key, i % 10 == 0) << i;
  }
  auto reader = openReader(parseFootagePath(path("farm.mp4")), FrameRate{});
  EXPECT_EQ(reader->info().rate.value(), 25.0);
  for (int i = 0; i < 40; ++i) reader->read(i, Depth::Eight);  // every picture decodes
}

TEST_F(FarmOnSlurm, AFailedChunkLeavesNoOutputAndOnlyItIsRenderedAgain) {
  // The input: the demo as pictures, one of them cut short, in chunk 3.
  ASSERT_EQ(watchcam(with(with({"render"}, kDemo), {path("in.%04d.png")})).status, 0);
  const std::string broken = path("in.0025.png"), good = CliTest::slurp(broken);
  CliTest::writeText(broken, good.substr(0, 300));
  const std::vector<std::string> job = {path("in.%04d.png"), path("out.mkv"), "--chunk", "10"};

  auto r = farm(with(job, {"--wait"}));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("chunk 3 of 4 (frames 20-29) failed: " + broken + ": frame 25:"), std::string::npos) << r.err;
  EXPECT_NE(CliTest::slurp(path(".out.mkv.farm.log")).find("chunk 3 of 4"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("out.mkv")));
  for (const std::string& name : listing()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;

  CliTest::writeText(broken, good);
  r = farm(with(job, {"--dry-run"}));
  EXPECT_NE(r.out.find("#SBATCH --array=3\n"), std::string::npos) << r.out;
  r = farm(with(job, {"--wait"}));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("submitted 1 of 4 chunks"), std::string::npos) << r.out;
  ASSERT_EQ(watchcam({"render", path("in.%04d.png"), path("one.mkv")}).status, 0);
  expectSameFrames(path("out.mkv"), path("one.mkv"));
}

}  // namespace
