// What a render keeps of its input beside the pictures: audio, timing, pixel aspect, tags. Inputs are made
// by the ffmpeg program, renders go through watchcam with the pass-through module, and ffprobe says what
// the outputs hold.
#include "cli/klFootage.h"
#include "cli/klMuxer.h"
#include "tests/cli/cliTestSupport.h"

#include <cmath>
#include <cstdio>

using namespace Kiln::Footage;

namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a program; its standard output, or "" with a failure when it does not exit 0.
std::string capture(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& a : argv) line += quoted(a) + " ";
  FILE* pipe = popen((line + "2>&1").c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  if (status != 0) {
    ADD_FAILURE() << line << "\n" << out;
    return {};
  }
  return out;
}

class Streams : public CliTest::ScratchTest {
protected:
  // Makes `name` with ffmpeg from `args` (inputs and codecs); small tones and test pictures.
  void make(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), {"ffmpeg", "-v", "error", "-nostdin", "-y"});
    args.push_back(path(name));
    capture(args);
  }
  CliTest::RunResult render(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    args.insert(args.end(), {"--module", CliTest::passthroughModule()});
    return CliTest::runWatchcam(args, dir_);
  }
  // ffprobe's answer for `entries` ("stream=codec_name,duration"), one line per section, as key=value|...
  std::vector<std::string> probe(const std::string& name, const std::string& entries,
                                 const std::string& streams = "") {
    std::vector<std::string> args = {"ffprobe", "-v", "error", "-show_entries", entries, "-of", "compact=p=0"};
    if (!streams.empty()) args.insert(args.end(), {"-select_streams", streams});
    args.push_back(path(name));
    std::vector<std::string> lines;
    std::istringstream in(capture(args));
    for (std::string l; std::getline(in, l);)
      if (!l.empty()) lines.push_back(l);
    return lines;
  }
  // One value of a probe line "a=1|b=2".
  static std::string field(const std::string& line, const std::string& key) {
    const std::string tagged = "|" + line + "|";
    const size_t at = tagged.find("|" + key + "=");
    if (at == std::string::npos) return {};
    const size_t from = at + key.size() + 2;
    return tagged.substr(from, tagged.find('|', from) - from);
  }
};

const std::vector<std::string> kTone48k = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2"};
const std::vector<std::string> kTone44k = {"-f", "lavfi", "-i", "sine=frequency=660:sample_rate=44100:duration=2"};
const std::vector<std::string> kPicture = {"-f", "lavfi", "-i", "testsrc=size=32x24:rate=25:duration=2"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace

TEST_F(Streams, AudioIsCarriedCopiedOrEncodedAndCutWithTheFrames) {
  make("aac.mp4", join({kPicture, kTone48k, kTone44k, {"-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-c:a", "aac"}}));
  make("pcm.mkv", join({kPicture, kTone48k, {"-c:v", "ffv1", "-c:a", "pcm_s16le"}}));
  struct Case {
    const char *input, *output;
    std::vector<std::string> options;
    std::vector<std::string> codecs;  // of the output's audio streams
    double seconds;                   // how long each lasts
    double tolerance;
  };
  const Case cases[] = {
      {"aac.mp4", "both.mp4", {}, {"aac", "aac"}, 2.0, 0.03},                   // copied, every stream
      {"aac.mp4", "both.mkv", {}, {"aac", "aac"}, 2.0, 0.03},
      {"pcm.mkv", "pcm.mov", {}, {"pcm_s16le"}, 2.0, 0.001},                    // mov takes PCM as it is
      {"pcm.mkv", "encoded.mp4", {}, {"aac"}, 2.0, 0.03},                       // mp4 does not: AAC
      {"aac.mp4", "cut.mkv", {"--frames", "10-29"}, {"aac", "aac"}, 0.8, 0.05},  // whole packets over frames 10-29
      {"pcm.mkv", "cut.mp4", {"--frames", "10-29"}, {"aac"}, 0.8, 0.03},        // encoded: cut exactly
      {"pcm.mkv", "cut.mov", {"--frames", "25"}, {"pcm_s16le"}, 0.04, 0.03},
      {"aac.mp4", "silent.mp4", {"--no-audio"}, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> args = {path(c.input), path(c.output)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto r = render(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    const auto audio = probe(c.output, "stream=codec_name,start_time,duration:stream_tags=DURATION", "a");
    ASSERT_EQ(audio.size(), c.codecs.size());
    for (size_t i = 0; i < audio.size(); ++i) {
      EXPECT_EQ(field(audio[i], "codec_name"), c.codecs[i]);
      EXPECT_NEAR(std::stod(field(audio[i], "start_time")), 0.0, 0.03) << audio[i];
      // Matroska says how long a stream lasts in a tag, as h:mm:ss.
      std::string duration = field(audio[i], "duration");
      if (duration == "N/A") duration = field(audio[i], "tag:DURATION").substr(6);
      EXPECT_NEAR(std::stod(duration), c.seconds, c.tolerance) << audio[i];
    }
  }
  // A picture sequence holds no sound: the render says once that the audio is left out.
  const auto r = render({path("aac.mp4"), path("still.%02d.png"), "--frames", "0-1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.errLines(), 1) << r.err;
  EXPECT_NE(r.err.find("the audio is left out"), std::string::npos) << r.err;
}

TEST_F(Streams, TheEncoderIsChosenWithinTheContainerAndBadChoicesAreRefusedUpFront) {
  make("in.mkv", join({kPicture, {"-frames:v", "4", "-c:v", "ffv1"}}));
  struct Case {
    const char* output;
    std::vector<std::string> options;
    const char *codec, *profile, *pixels;  // expected of the output's picture stream
  };
  const Case cases[] = {
      {"default.mp4", {}, "h264", "High", "yuv420p"},
      {"hevc.mp4", {"--codec", "hevc", "--crf", "30"}, "hevc", "Main", "yuv420p"},
      {"deep.mp4", {"--pixel-format", "yuv444p10le", "--bitrate", "2M"}, "h264", "High 4:4:4 Predictive", "yuv444p10le"},
      {"default.mov", {}, "prores", "4444", "yuv444p12le"},  // 4444 decodes to 12 bits
      {"hq.mov", {"--codec", "prores-hq"}, "prores", "HQ", "yuv422p10le"},
      {"default.mkv", {}, "ffv1", "", "bgr0"},
      {"h264.mkv", {"--codec", "h264"}, "h264", "High", "yuv420p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> args = {path("in.mkv"), path(c.output)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto r = render(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto video = probe(c.output, "stream=codec_name,profile,pix_fmt", "v");
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(field(video[0], "codec_name"), c.codec);
    if (*c.profile) {
      EXPECT_EQ(field(video[0], "profile"), c.profile);
    }
    EXPECT_EQ(field(video[0], "pix_fmt"), c.pixels);
  }
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"x.mp4", "--codec", "ffv1"}, "mp4 takes h264, hevc"},
      {{"x.mov", "--crf", "20"}, "ProRes quality follows its profile"},
      {{"x.mkv", "--bitrate", "5M"}, "FFV1 is lossless"},
      {{"x.mp4", "--pixel-format", "rgb24"}, "h264 takes yuv420p"},
      {{"x.png", "--codec", "h264"}, "are for video outputs"},
      {{"x.mp4", "--crf", "52"}, "--crf 52"},
      {{"x.mp4", "--crf", "20", "--bitrate", "1M"}, "exclude each other"},
  };
  for (const auto& [options, message] : refused) {
    SCOPED_TRACE(message);
    std::vector<std::string> args = {path("in.mkv"), path(options[0])};
    args.insert(args.end(), options.begin() + 1, options.end());
    const auto r = render(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.errLines(), 1) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path(options[0])));
  }
}

TEST_F(Streams, SegmentsRenderedApartJoinWithoutEncodingAndCarryTheAudio) {
  make("in.mp4", join({kPicture, kTone48k, {"-c:v", "libx264", "-c:a", "aac", "-metadata", "title=Joined"}}));
  for (const char* ext : {"mp4", "mkv"}) {
    SCOPED_TRACE(ext);
    std::vector<std::string> parts;
    for (const char* range : {"0-19", "20-39", "40-49"}) {
      parts.push_back(path(std::string("part-") + range + "." + ext));
      ASSERT_EQ(render({path("in.mp4"), parts.back(), "--frames", range, "--no-audio"}).status, 0);
    }
    Carry carry;
    carry.input = carry.inputName = path("in.mp4");
    const std::string joined = path(std::string("joined.") + ext);
    joinSegments(parts, joined, joined, containerFor(ext), carry);
    auto reader = openReader(parseFootagePath(joined), FrameRate{});
    EXPECT_EQ(reader->info().frameCount, 50);
    EXPECT_FALSE(reader->info().timing.variable());
    for (int i : {0, 19, 20, 49}) EXPECT_NO_THROW(reader->read(i, Depth::Eight)) << i;
    const auto audio = probe(std::string("joined.") + ext, "stream=codec_name", "a");
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(field(audio[0], "codec_name"), "aac");
    const auto format = probe(std::string("joined.") + ext, "format=duration:format_tags=title");
    ASSERT_EQ(format.size(), 1u);
    EXPECT_NEAR(std::stod(field(format[0], "duration")), 2.0, 0.05) << format[0];
    EXPECT_EQ(field(format[0], "tag:title"), "Joined");
  }
  EXPECT_THROW(joinSegments({path("part-0-19.mp4"), path("in.mp4"), path("absent.mp4")}, "x", path("x.mp4"), "mp4", {}),
               FootageError);
}
