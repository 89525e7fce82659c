// Containers and streams beyond the picture: audio a container refuses as it is, subtitles and data,
// truncated and damaged files, frames sharing a time, inputs told by their content (files and pipes), WebM
// out, colour tags left unsaid, extreme pixel aspects. Inputs are made by the ffmpeg program; renders go
// through watchcam with the pass-through module.
#include "footage/klFootage.h"
#include "tests/footage/streamsTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace Kiln::Footage;
using namespace StreamsTest;

namespace {

const std::vector<std::string> kShortPicture = {"-f", "lavfi", "-i", "testsrc=size=32x24:rate=25:duration=1"};
const std::vector<std::string> kShortTone = {"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1"};

// The video frames of `file` as md5 sums of their RGB pixels, in order (times left out).
std::vector<std::string> frameSums(const std::string& file)
{
    std::istringstream in(capture({"ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-pix_fmt", "rgb24",
                                   "-fps_mode", "passthrough", "-f", "framemd5", "-"}));
    std::vector<std::string> sums;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') sums.push_back(line.substr(line.rfind(',') + 1));
    return sums;
}

}  // namespace

TEST_F(Streams, AudioTheContainerRefusesAsItIsIsEncodedToItsUsualCodec)
{
    make("flac.mkv", join({kShortPicture, kShortTone, {"-c:v", "ffv1", "-c:a", "flac"}}));
    make("opus.mkv", join({kShortPicture, kShortTone, {"-c:v", "ffv1", "-c:a", "libopus"}}));
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"flac.mkv", "flac.mp4", "aac"},  // FFmpeg takes FLAC into mp4 only as experimental
        {"flac.mkv", "flac.mov", "aac"},   {"opus.mkv", "opus.mov", "aac"},
        {"flac.mkv", "flac.webm", "opus"}, {"opus.mkv", "opus.mkv.mkv", "opus"},  // taken as it is
    };
    for (const auto& [in, out, codec] : cases) {
        SCOPED_TRACE(out);
        const auto r = render({path(in), path(out)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;
        const auto audio = probe(out, "stream=codec_name,duration:stream_tags=DURATION", "a");
        ASSERT_EQ(audio.size(), 1u);
        EXPECT_EQ(field(audio[0], "codec_name"), codec);
    }
}

TEST_F(Streams, SubtitleAndDataStreamsGoWhereTheContainerTakesThemElseOneLineSaysSo)
{
    RendererTest::writeText(path("s.srt"), "1\n00:00:00,000 --> 00:00:00,500\nhello\n\n"
                                           "2\n00:00:00,500 --> 00:00:00,900\nworld\n");
    make("sub.mp4", join({kShortPicture, {"-i", path("s.srt"), "-c:v", "libx264", "-c:s", "mov_text"}}));
    make("sub.mkv", join({kShortPicture, {"-i", path("s.srt"), "-c:v", "ffv1", "-c:s", "srt"}}));
    make("tc.mov", join({kShortPicture, {"-c:v", "prores_ks", "-timecode", "10:00:00:00"}}));
    struct Case {
        const char *in, *out;
        std::vector<std::string> options;
        const char* subtitle;  // codec of the output's subtitle stream; null: none
        const char* note;  // the one line said; null: nothing
    };
    const Case cases[] = {
        {"sub.mp4", "a.mov", {}, "mov_text", nullptr},  // the mp4 was refused as truncated before
        {"sub.mkv", "b.mkv", {}, "subrip", nullptr},
        {"sub.mp4",
         "c.mkv",
         {},
         nullptr,
         "its subtitle stream 1 (mov_text) is left out: mkv does not take it"},
        {"sub.mkv", "d.mp4", {}, nullptr, "its subtitle stream 1 (subrip) is left out: mp4 does not take it"},
        {"sub.mkv", "e.mkv", {"--frames", "15-24"}, "subrip", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        std::vector<std::string> args = {path(c.in), path(c.out)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = render(args);
        ASSERT_EQ(r.status, 0) << r.err;
        if (c.note) {
            EXPECT_EQ(r.errLines(), 1) << r.err;
            EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        } else {
            EXPECT_TRUE(r.err.empty()) << r.err;
        }
        const auto subs = probe(c.out, "stream=codec_name", "s");
        ASSERT_EQ(subs.size(), c.subtitle ? 1u : 0u);
        if (c.subtitle) EXPECT_EQ(field(subs[0], "codec_name"), c.subtitle);
    }
    // Cut to frames 15-24 (0.6 s on): the cue shown from 0.5 s starts with the first frame, for 0.3 s.
    const auto cues = probe("e.mkv", "packet=pts_time,duration_time", "s");
    ASSERT_EQ(cues.size(), 1u);
    EXPECT_NEAR(std::stod(field(cues[0], "pts_time")), 0.0, 0.002) << cues[0];
    EXPECT_NEAR(std::stod(field(cues[0], "duration_time")), 0.3, 0.002) << cues[0];
    // A timecode track stays one timecode track, at the first rendered frame.
    ASSERT_EQ(render({path("tc.mov"), path("tc-out.mov"), "--frames", "5-9"}).status, 0);
    const auto data = probe("tc-out.mov", "stream=codec_tag_string:stream_tags=timecode", "d");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(field(data[0], "codec_tag_string"), "tmcd");
    EXPECT_EQ(field(data[0], "tag:timecode"), "10:00:00:05");
}

TEST_F(Streams, AMatroskaFileCutShortAndDamagedAudioAreErrorsNamingTheFile)
{
    make("full.mkv", join({{"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1"},
                           kShortTone,
                           {"-c:v", "libx264", "-c:a", "aac"}}));
    const auto size = std::filesystem::file_size(path("full.mkv"));
    for (const int cut : {300, 1500, 3000}) {
        SCOPED_TRACE(cut);
        const std::string name = "cut" + std::to_string(cut) + ".mkv";
        std::filesystem::copy_file(path("full.mkv"), path(name));
        std::filesystem::resize_file(path(name), size - uintmax_t(cut));
        const auto r = render({path(name), path("out.mkv")});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_NE(r.err.find(path(name) + ": the file is "), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(path("out.mkv")));
    }
    // Garbage inside the 20th AAC packet: its decoder refuses it, so the copy is refused too.
    make("aac.mkv", join({kShortPicture, kShortTone, {"-c:v", "ffv1", "-c:a", "aac"}}));
    const auto positions = probe("aac.mkv", "packet=pos", "a");
    ASSERT_GT(positions.size(), 20u);
    {
        std::fstream f(path("aac.mkv"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::stol(field(positions[19], "pos")) + 16);
        const char garbage[] = "\xff\x13\xa7\x00\xff\x55\x21\xff\xff\x42\x99\xff\xff\xff\xff\xff";
        f.write(garbage, sizeof garbage - 1);
    }
    for (const char* out : {"a.mkv", "a.mp4"}) {
        const auto r = render({path("aac.mkv"), path(out)});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_NE(r.err.find("aac.mkv: its audio stream 1 (aac) is damaged at 0.4"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("--no-audio"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(path(out)));
    }
    EXPECT_EQ(render({path("aac.mkv"), path("silent.mkv"), "--no-audio"}).status, 0);
}

TEST_F(Streams, FramesSharingATimeAreKeptEachATickLater)
{
    // 20 frames; the 6th and 13th carry the time of the frame before.
    make("same.mkv", {"-f", "lavfi", "-i", "testsrc=size=32x24:rate=25", "-frames:v", "20", "-vf",
                      "setpts='(N-eq(N,5)-eq(N,12))/25/TB'", "-fps_mode", "passthrough", "-c:v", "ffv1"});
    const auto in = frameSums(path("same.mkv"));
    ASSERT_EQ(in.size(), 20u);
    for (const char* out : {"same-out.mkv", "same-out.mp4"}) {
        SCOPED_TRACE(out);
        std::vector<std::string> args = {path("same.mkv"), path(out)};
        if (std::string(out).find("mp4") != std::string::npos) args.insert(args.end(), {"--crf", "0"});
        const auto r = render(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto times = probe(out, "packet=pts_time", "v");
        ASSERT_EQ(times.size(), 20u);
        std::vector<double> t;
        for (const auto& line : times) t.push_back(std::stod(field(line, "pts_time")));
        std::sort(t.begin(), t.end());
        EXPECT_EQ(std::adjacent_find(t.begin(), t.end()), t.end());  // each its own time
        EXPECT_NEAR(t[5] - t[4], 0.001, 0.0005);  // a tick of the input's 1/1000 s after
    }
    EXPECT_EQ(frameSums(path("same-out.mkv")), in);  // every picture, in order
}

TEST_F(Streams, InputsAreToldByTheirContentFromFilesAndPipes)
{
    make("clip.ts", join({kShortPicture, kShortTone, {"-c:v", "libx264", "-c:a", "aac", "-f", "mpegts"}}));
    make("clip.avi", join({kShortPicture, kShortTone, {"-c:v", "mpeg4", "-q:v", "2", "-c:a", "pcm_s16le"}}));
    make("clip.webm", join({kShortPicture, kShortTone, {"-c:v", "libvpx-vp9", "-c:a", "libopus"}}));
    std::filesystem::copy_file(path("clip.ts"), path("clip.m2ts"));
    std::filesystem::copy_file(path("clip.ts"), path("clip.MTS"));
    std::filesystem::copy_file(path("clip.avi"), path("clip-without-extension"));
    for (const char* in :
         {"clip.ts", "clip.m2ts", "clip.MTS", "clip.avi", "clip.webm", "clip-without-extension"}) {
        SCOPED_TRACE(in);
        const auto whole = render({path(in), path("whole.mkv")});
        ASSERT_EQ(whole.status, 0) << whole.err;
        EXPECT_EQ(probe("whole.mkv", "stream=codec_type", "a").size(), 1u);
        const auto sums = frameSums(path("whole.mkv"));
        EXPECT_EQ(sums.size(), 25u);
        // A span further on is found by seeking: the same pictures.
        const auto cut = render({path(in), path("cut.mkv"), "--frames", "17-21"});
        ASSERT_EQ(cut.status, 0) << cut.err;
        if (sums.size() == 25u)
            EXPECT_EQ(frameSums(path("cut.mkv")),
                      std::vector<std::string>(sums.begin() + 17, sums.begin() + 22));
        std::filesystem::remove(path("whole.mkv"));
        std::filesystem::remove(path("cut.mkv"));
    }
    // A transport stream on standard input.
    const std::string line = "cat " + quoted(path("clip.ts")) + " | " + quoted(WATCHCAM_EXE) + " render - " +
                             quoted(path("piped.mkv")) + " --quiet --module " +
                             quoted(RendererTest::passthroughModule());
    ASSERT_EQ(std::system(line.c_str()), 0);
    EXPECT_EQ(frameSums(path("piped.mkv")).size(), 25u);
    // Outputs are still told by their names.
    const auto r = render({path("clip.ts"), path("out.ts")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unsupported file type '.ts'"), std::string::npos) << r.err;
}

TEST_F(Streams, WebmIsVp9WithOpus)
{
    make("in.mp4", join({kShortPicture, kShortTone, {"-c:v", "libx264", "-c:a", "aac"}}));
    ASSERT_EQ(render({path("in.mp4"), path("out.webm")}).status, 0);
    const auto streams = probe("out.webm", "stream=codec_name,sample_rate");
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(field(streams[0], "codec_name"), "vp9");
    EXPECT_EQ(field(streams[1], "codec_name"), "opus");
    EXPECT_EQ(frameSums(path("out.webm")).size(), 25u);
    const std::string line = quoted(WATCHCAM_EXE) + " render " + quoted(path("in.mp4")) +
                             " - --format webm --quiet --module " +
                             quoted(RendererTest::passthroughModule()) + " > " + quoted(path("piped.webm"));
    ASSERT_EQ(std::system(line.c_str()), 0);
    EXPECT_EQ(frameSums(path("piped.webm")).size(), 25u);
    const auto refused = render({path("in.mp4"), path("x.webm"), "--codec", "h264"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--codec h264: webm takes vp9"), std::string::npos) << refused.err;
}

TEST_F(Streams, AnUntaggedVideoStaysUntaggedAndPicturesAreSaidToBeBt709)
{
    make("untagged.mkv", {"-f", "lavfi", "-i", "testsrc=size=720x576:rate=25:duration=0.08", "-c:v", "ffv1",
                          "-pix_fmt", "yuv420p"});
    make("still.png", {"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"});
    const std::pair<const char*, const char*> cases[] = {{"untagged.mkv", "unknown"}, {"still.png", "bt709"}};
    for (const auto& [in, expected] : cases) {
        SCOPED_TRACE(in);
        ASSERT_EQ(render({path(in), path("out.mp4")}).status, 0);
        const auto v = probe("out.mp4", "stream=color_primaries,color_transfer,color_space", "v");
        ASSERT_EQ(v.size(), 1u);
        for (const char* key : {"color_primaries", "color_transfer", "color_space"})
            EXPECT_EQ(field(v[0], key), expected) << key;
        std::filesystem::remove(path("out.mp4"));
    }
    // Untagged standard definition is read and written with BT.601, as players show it: the pictures
    // come back as they went in (within H.264's rounding at --crf 0).
    ASSERT_EQ(
        render({path("untagged.mkv"), path("back.mp4"), "--crf", "0", "--pixel-format", "yuv444p"}).status,
        0);
    const Image a = openReader(parseFootagePath(path("untagged.mkv")), FrameRate{})->read(0, Depth::Eight);
    const Image b = openReader(parseFootagePath(path("back.mp4")), FrameRate{})->read(0, Depth::Eight);
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    EXPECT_LE(worst, 3);
}

TEST_F(Streams, PixelAspectsBeyondAHundredAreKeptWhereTheyFitElseOneLineSaysSo)
{
    make("wide.mkv", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=0.08", "-vf",
                      "setsar=sar=200/1:max=1000", "-c:v", "ffv1"});
    make("thin.mkv", {"-f", "lavfi", "-i", "testsrc=size=32x24:rate=25:duration=0.08", "-vf",
                      "setsar=sar=200/1:max=1000", "-c:v", "ffv1"});
    // Through an EXR sequence (a float aspect) and back into video.
    ASSERT_EQ(render({path("wide.mkv"), path("wide.%d.exr")}).status, 0);
    for (const char* out : {"a.mkv", "a.mov", "a.mp4"}) {
        SCOPED_TRACE(out);
        const auto r = render({path("wide.%d.exr"), path(out)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;
        EXPECT_EQ(field(probe(out, "stream=sample_aspect_ratio", "v")[0], "sample_aspect_ratio"), "200:1");
    }
    // 24 rows shown 200 times wider: under a pixel high, which no encoder stores.
    const auto r = render({path("thin.mkv"), path("thin.mp4")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "watchcam: the pixel aspect 200:1 is left out: a video of 32x24 frames cannot hold it (shown "
              "at it, a frame would be less than a pixel high)\n");
}
