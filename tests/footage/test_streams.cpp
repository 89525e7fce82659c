// What a render keeps of its input beside the pictures: audio, timing, pixel aspect, tags. Inputs are made
// by the ffmpeg program, renders go through watchcam with the pass-through module, and ffprobe says what
// the outputs hold.
#include "footage/klFootage.h"
#include "footage/klResample.h"
#include "footage/video/klMuxer.h"
#include "tests/footage/streamsTestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <cmath>
#include <cstdio>
#include <sys/stat.h>

using namespace Kiln::Footage;

namespace {

using namespace StreamsTest;

// Copies `from` into `to`, its picture stream marked to be shown turned by `degrees` counterclockwise, as
// a phone marks a clip filmed upright.
void turn(const std::string& from, const std::string& to, double degrees)
{
    AVFormatContext* in = nullptr;
    AVFormatContext* out = nullptr;
    ASSERT_EQ(avformat_open_input(&in, from.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(in, nullptr), 0);
    ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, nullptr, to.c_str()), 0);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* s = avformat_new_stream(out, nullptr);
        avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar);
        s->codecpar->codec_tag = 0;
        s->time_base = in->streams[i]->time_base;
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            av_display_rotation_set(
                reinterpret_cast<int32_t*>(av_stream_new_side_data(s, AV_PKT_DATA_DISPLAYMATRIX, 36)),
                degrees);
    }
    ASSERT_GE(avio_open(&out->pb, to.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(out, nullptr), 0);
    AVPacket* p = av_packet_alloc();
    while (av_read_frame(in, p) >= 0) {
        av_packet_rescale_ts(p, in->streams[p->stream_index]->time_base,
                             out->streams[p->stream_index]->time_base);
        av_interleaved_write_frame(out, p);
    }
    av_packet_free(&p);
    av_write_trailer(out);
    avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
}

const std::vector<std::string> kTone44k = {"-f", "lavfi", "-i",
                                           "sine=frequency=660:sample_rate=44100:duration=2"};

}  // namespace

TEST_F(Streams, AudioIsCarriedCopiedOrEncodedAndCutWithTheFrames)
{
    make("aac.mp4", join({kPicture,
                          kTone48k,
                          kTone44k,
                          {"-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-c:a", "aac"}}));
    make("pcm.mkv", join({kPicture, kTone48k, {"-c:v", "ffv1", "-c:a", "pcm_s16le"}}));
    struct Case {
        const char *input, *output;
        std::vector<std::string> options;
        std::vector<std::string> codecs;  // of the output's audio streams
        double seconds;  // how long each lasts
        double tolerance;
    };
    const Case cases[] = {
        {"aac.mp4", "both.mp4", {}, {"aac", "aac"}, 2.0, 0.03},  // copied, every stream
        {"aac.mp4", "both.mkv", {}, {"aac", "aac"}, 2.0, 0.03},
        {"pcm.mkv", "pcm.mov", {}, {"pcm_s16le"}, 2.0, 0.001},  // mov takes PCM as it is
        {"pcm.mkv", "encoded.mp4", {}, {"aac"}, 2.0, 0.03},  // mp4 does not: AAC
        {"aac.mp4",
         "cut.mkv",
         {"--frames", "10-29"},
         {"aac", "aac"},
         0.8,
         0.05},  // whole packets over frames 10-29
        {"pcm.mkv", "cut.mp4", {"--frames", "10-29"}, {"aac"}, 0.8, 0.03},  // encoded: cut exactly
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
    // Time remapping changes the pictures, never the sound: the pass-through showing frames 5 back.
    ASSERT_EQ(render({path("aac.mp4"), path("late.mkv"), "--set", "mode=Earlier", "--set", "delay=5"}).status,
              0);
    const auto audioOf = [&](const char* name) {
        return capture(
            {"ffmpeg", "-v", "error", "-i", path(name), "-map", "0:a", "-c", "copy", "-f", "md5", "-"});
    };
    EXPECT_EQ(audioOf("late.mkv"), audioOf("both.mkv"));
    EXPECT_NE(capture({"ffmpeg", "-v", "error", "-i", path("late.mkv"), "-map", "0:v", "-f", "md5", "-"}),
              capture({"ffmpeg", "-v", "error", "-i", path("both.mkv"), "-map", "0:v", "-f", "md5", "-"}));
    // A picture sequence holds no sound: the render says once that the audio is left out.
    const auto r = render({path("aac.mp4"), path("still.%02d.png"), "--frames", "0-1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.errLines(), 1) << r.err;
    EXPECT_NE(r.err.find("the audio is left out"), std::string::npos) << r.err;
}

TEST_F(Streams, TheEncoderIsChosenWithinTheContainerAndBadChoicesAreRefusedUpFront)
{
    make("in.mkv", join({kPicture, {"-frames:v", "4", "-c:v", "ffv1"}}));
    struct Case {
        const char* output;
        std::vector<std::string> options;
        const char *codec, *profile, *pixels;  // expected of the output's picture stream
    };
    const Case cases[] = {
        {"default.mp4", {}, "h264", "High", "yuv420p"},
        {"hevc.mp4", {"--codec", "hevc", "--crf", "30"}, "hevc", "Main", "yuv420p"},
        {"deep.mp4",
         {"--pixel-format", "yuv444p10le", "--bitrate", "2M"},
         "h264",
         "High 4:4:4 Predictive",
         "yuv444p10le"},
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

TEST_F(Streams, SegmentsRenderedApartJoinWithoutEncodingAndCarryTheAudio)
{
    make("in.mp4",
         join({kPicture, kTone48k, {"-c:v", "libx264", "-c:a", "aac", "-metadata", "title=Joined"}}));
    for (const char* ext : {"mp4", "mkv"}) {
        SCOPED_TRACE(ext);
        std::vector<std::string> parts;
        for (const char* range : {"0-19", "20-39", "40-49"}) {
            parts.push_back(path(std::string("part-") + range + "." + ext));
            // Each timed as in the whole, as farm chunks are.
            ASSERT_EQ(
                render({path("in.mp4"), parts.back(), "--frames", range, "--no-audio", "--time-origin", "0"})
                    .status,
                0);
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
    EXPECT_THROW(joinSegments({path("part-0-19.mp4"), path("in.mp4"), path("absent.mp4")}, "x", path("x.mp4"),
                              "mp4", {}),
                 FootageError);
}

TEST_F(Streams, PixelAspectTimingTurnColoursAndTagsOfAVideoAreKept)
{
    const std::vector<std::string> wide = {"-vf", "setsar=4/3", "-c:v", "libx264"};
    make("wide.mp4", join({kPicture, wide}));
    // 30 frames over 1.88 s: half a second missing after frame 15.
    make("vfr.mp4", join({{"-f", "lavfi", "-i", "testsrc=size=32x24:rate=30"},
                          kTone48k,
                          {"-frames:v", "30", "-vf", "setpts='N/30/TB+gte(N,15)*0.88/TB'", "-fps_mode",
                           "passthrough", "-c:v", "libx264", "-c:a", "aac", "-t", "1.88"}}));
    make("tagged.mov",
         join({kPicture,
               kTone48k,
               {"-c:v", "libx264", "-color_primaries", "bt470bg", "-color_trc", "smpte170m", "-colorspace",
                "smpte170m", "-color_range", "pc", "-timecode", "01:00:00:00", "-metadata",
                "creation_time=2021-06-01T12:00:00Z", "-metadata", "title=Lobby"}}));
    make("upright.mp4", join({kPicture, {"-c:v", "libx264", "-pix_fmt", "yuv444p", "-qp", "0"}}));
    turn(path("upright.mp4"), path("phone.mp4"), 90);

    struct Case {
        const char *input, *output;
        std::vector<std::string> options;
        std::vector<std::pair<std::string, std::string>>
            expected;  // ffprobe field of the picture stream or file
    };
    const Case cases[] = {
        {"wide.mp4", "wide.mkv", {}, {{"sample_aspect_ratio", "4:3"}, {"width", "32"}}},
        {"wide.mp4", "wide.mov", {}, {{"sample_aspect_ratio", "4:3"}}},
        {"vfr.mp4", "kept.mp4", {}, {{"nb_frames", "30"}, {"duration", "1.88"}}},
        {"vfr.mp4", "vfr.mkv", {}, {{"duration", "1.88"}}},
        {"vfr.mp4", "cut.mp4", {"--frames", "10-19"}, {{"nb_frames", "10"}, {"duration", "1.21"}}},
        {"phone.mp4", "phone.mkv", {}, {{"width", "24"}, {"height", "32"}}},
        {"tagged.mov",
         "tagged.mp4",
         {"--frames", "25-49"},
         {{"color_primaries", "bt470bg"},
          {"color_transfer", "smpte170m"},
          {"color_space", "smpte170m"},
          {"color_range", "pc"},
          {"tag:timecode", "01:00:01:00"},
          {"tag:creation_time", "2021-06-01T12:00:00.000000Z"},
          {"tag:title", "Lobby"}}},
    };
    const std::string aspectFile = path("aspect.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> args = {"render", path(c.input), path(c.output), "--module",
                                         RendererTest::passthroughModule()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = RendererTest::runWatchcam(args, dir_, {{"PASSTHROUGH_ASPECT_FILE", aspectFile}});
        ASSERT_EQ(r.status, 0) << r.err;
        // The effect sees the layer's pixel aspect.
        EXPECT_EQ(RendererTest::slurp(aspectFile), std::string(c.input) == "wide.mp4" ? "4/3" : "1/1");
        const auto video = probe(
            c.output,
            "stream=sample_aspect_ratio,width,height,nb_frames,color_primaries,color_transfer,color_space,"
            "color_range:stream_tags=timecode:format=duration:format_tags=creation_time,title,timecode",
            "v:0");
        ASSERT_FALSE(video.empty());
        const std::string all = video[0] + (video.size() > 1 ? "|" + video[1] : "");
        for (const auto& [key, value] : c.expected) {
            const std::string got = field(all, key);
            if (key == "duration")
                EXPECT_NEAR(std::stod(got), std::stod(value), 0.03) << all;
            else
                EXPECT_EQ(got, value) << key << " in " << all;
        }
    }
    // A sequence has one frame rate: the render says what it leaves out.
    const auto notes = render({path("vfr.mp4"), path("vfr.%02d.png"), "--frames", "0-1"});
    ASSERT_EQ(notes.status, 0) << notes.err;
    EXPECT_EQ(notes.err, "watchcam: the audio is left out: an image sequence holds no sound\n"
                         "watchcam: the frames' own times are left out: an image sequence has one frame rate "
                         "(16.07 fps, the mean)\n");
    // Turned upright: the same pictures a player shows.
    make("shown.png", {"-i", path("phone.mp4"), "-frames:v", "1"});
    ASSERT_EQ(render({path("phone.mp4"), path("turned.png"), "--frames", "0"}).status, 0);
    EXPECT_EQ(RendererTest::readPicture<uint8_t>(path("turned.png")),
              RendererTest::readPicture<uint8_t>(path("shown.png")));
    EXPECT_TRUE(probe("phone.mkv", "stream_side_data=rotation", "v").empty());
}

TEST_F(Streams, PicturesKeepPixelAspectRateAndTheirOwnAttributes)
{
    // A 4:3 video into every format that holds a pixel aspect; EXR and DPX also the frame rate.
    make("wide.mkv", join({{"-f", "lavfi", "-i", "testsrc=size=32x24:rate=30000/1001:duration=0.1"},
                           {"-vf", "setsar=4/3", "-c:v", "ffv1"}}));
    for (const char* out : {"w.%d.exr", "w.%d.dpx", "w.%d.tif", "w.%d.png"}) {
        SCOPED_TRACE(out);
        ASSERT_EQ(render({path("wide.mkv"), path(out), "--frames", "0-1"}).status, 0);
        const std::string file = path(std::string(out).replace(2, 2, "1"));
        auto in = OIIO::ImageInput::open(file);
        ASSERT_TRUE(in);
        EXPECT_NEAR(in->spec().get_float_attribute("PixelAspectRatio"), 4.0 / 3.0, 1e-5);
        auto reader = openReader(parseFootagePath(file), FrameRate{});
        EXPECT_EQ(reader->info().pixelAspect.num, 4);
        EXPECT_EQ(reader->info().pixelAspect.den, 3);
        if (std::string(out).find("exr") != std::string::npos) {
            const OIIO::ParamValue* fps = in->spec().find_attribute("FramesPerSecond", OIIO::TypeRational);
            ASSERT_TRUE(fps);
            EXPECT_EQ(static_cast<const int*>(fps->data())[0], 30000);
            EXPECT_EQ(static_cast<const int*>(fps->data())[1], 1001);
        }
    }
    // EXR frames keep what each input frame says of itself; what no longer holds is written afresh.
    for (int n : {1, 2}) {
        auto out = OIIO::ImageOutput::create(path("in." + std::to_string(n) + ".exr"));
        OIIO::ImageSpec spec(8, 4, 3, OIIO::TypeDesc::HALF);
        spec.attribute("Copyright", "Lobby camera");
        spec.attribute("DateTime", "2021:06:01 12:00:0" + std::to_string(n));
        spec.attribute("PixelAspectRatio", 2.0f);
        spec.attribute("Software", "something else");
        ASSERT_TRUE(out->open(path("in." + std::to_string(n) + ".exr"), spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, std::vector<float>(8 * 4 * 3, 0.5f).data()));
        ASSERT_TRUE(out->close());
    }
    ASSERT_EQ(render({path("in.%d.exr"), path("out.%d.exr"), "--fps", "24", "--scale", "0.5"}).status, 0);
    for (int n : {1, 2}) {
        auto in = OIIO::ImageInput::open(path("out." + std::to_string(n) + ".exr"));
        ASSERT_TRUE(in);
        const OIIO::ImageSpec& spec = in->spec();
        EXPECT_EQ(spec.width, 4);
        EXPECT_EQ(spec.get_string_attribute("Copyright"), "Lobby camera");
        EXPECT_EQ(spec.get_string_attribute("DateTime"), "2021:06:01 12:00:0" + std::to_string(n));
        EXPECT_FLOAT_EQ(spec.get_float_attribute("PixelAspectRatio"), 2.0f);
        EXPECT_EQ(spec.get_string_attribute("Software"), "");
    }
}

TEST_F(Streams, TruncatedFilesOfEveryLayoutAreOneLineErrors)
{
    make("x264-aac.mkv", join({kPicture, kTone48k, {"-c:v", "libx264", "-c:a", "aac"}}));
    make("ffv1-pcm.mkv", join({kPicture, kTone48k, {"-c:v", "ffv1", "-c:a", "pcm_s16le"}}));
    make("x264-aac.mp4",
         join({kPicture, kTone48k, {"-c:v", "libx264", "-c:a", "aac", "-movflags", "+faststart"}}));
    make("prores.mov", join({kPicture, {"-c:v", "prores_ks", "-movflags", "+faststart"}}));
    make("still.jpg", {"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"});
    make("still.png", {"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"});
    make("still.tif", {"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"});
    for (const char* name : {"x264-aac.mkv", "ffv1-pcm.mkv", "x264-aac.mp4", "prores.mov", "still.jpg",
                             "still.png", "still.tif"}) {
        for (double keep : {0.5, 0.9}) {
            SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(keep));
            const std::string cut = "cut-" + std::to_string(int(keep * 10)) + "-" + name;
            std::filesystem::copy_file(path(name), path(cut));
            RendererTest::truncateFile(path(cut), keep);
            const auto r = render({path(cut), path("out.mkv")});
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(r.errLines(), 1) << r.err;
            EXPECT_NE(r.err.find("watchcam: " + path(cut) + ": "), std::string::npos) << r.err;
            EXPECT_FALSE(std::filesystem::exists(path("out.mkv")));
        }
    }
}

TEST_F(Streams, PicturesOneOrTwoPixelsAcrossGoIntoEveryContainer)
{
    // FFV1's usual slices need more room; H.264 4:2:0 needs even sides and says so.
    for (const auto& [w, h] : {std::pair{1, 8}, std::pair{40, 2}, std::pair{2, 1}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        std::vector<uint8_t> samples(size_t(w * h * 3));
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(i * 37);
        const std::string in = "thin" + std::to_string(w) + ".png";
        RendererTest::writePicture(path(in), w, h, 3, samples, OIIO::TypeDesc::UINT8);
        for (const char* out : {"thin.mkv", "thin.mov"}) {
            std::filesystem::remove(path(out));
            const auto r = render({path(in), path(out)});
            ASSERT_EQ(r.status, 0) << r.err;
        }
        const Image back = openReader(parseFootagePath(path("thin.mkv")), FrameRate{})->read(0, Depth::Eight);
        for (int i = 0; i < w * h; ++i)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(back.pixels[size_t(i) * 4 + 1 + c], samples[size_t(i) * 3 + c]) << i;
    }
    const auto r = render({path("thin1.png"), path("thin.mp4")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("needs an even width and height, the frames are 1x8"), std::string::npos) << r.err;
}

TEST_F(Streams, StandardInputAndOutputAndFifosCarryVideoThroughPipes)
{
    make("in.mp4", join({kPicture, kTone48k, {"-c:v", "libx264", "-c:a", "aac"}}));
    const std::string watchcam = quoted(WATCHCAM_EXE) + " render ";
    const std::string module = " --module " + quoted(RendererTest::passthroughModule());
    const std::string ffmpeg = "ffmpeg -v error -nostdin -y ";
    ASSERT_EQ(mkfifo(path("out.fifo.mkv").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
    struct Case {
        std::string pipeline;  // run by the shell
        const char* result;  // the file it leaves, probed
    };
    const Case cases[] = {
        {ffmpeg + "-i " + quoted(path("in.mp4")) + " -c copy -f nut - | " + watchcam + "- " +
             quoted(path("a.mp4")) + module,
         "a.mp4"},
        {watchcam + quoted(path("in.mp4")) + " - --format nut" + module + " | " + ffmpeg + "-i - -c copy " +
             quoted(path("b.mkv")),
         "b.mkv"},
        {watchcam + quoted(path("in.mp4")) + " - --format mp4" + module + " | " + ffmpeg + "-i - -c copy " +
             quoted(path("c.mkv")),
         "c.mkv"},
        {watchcam + quoted(path("in.mp4")) + " " + quoted(path("out.fifo.mkv")) + module + " & " + ffmpeg +
             "-i " + quoted(path("out.fifo.mkv")) + " -c copy " + quoted(path("d.mkv")) + "; wait $!",
         "d.mkv"},
        {ffmpeg + "-i " + quoted(path("in.mp4")) + " -c copy -f matroska " + quoted(path("in.fifo")) + " & " +
             watchcam + quoted(path("in.fifo")) + " " + quoted(path("e.mov")) + module + "; wait $!",
         "e.mov"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipeline);
        EXPECT_EQ(std::system(("set -e; " + c.pipeline).c_str()), 0);
        const auto streams = probe(c.result, "stream=codec_type,duration:stream_tags=DURATION", "");
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(field(streams[0], "codec_type"), "video");
        EXPECT_EQ(field(streams[1], "codec_type"), "audio");
        EXPECT_EQ(openReader(parseFootagePath(path(c.result)), FrameRate{})->info().frameCount, 50);
    }
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{path("in.mp4"), "-"}, "needs --format"},
        {{path("in.mp4"), path("x.mkv"), "--format", "nut"}, "--format is for - (standard output) and FIFOs"},
        {{path("in.mp4"), "-", "--format", "avi"}, "--format avi"},
        {{path("in.mp4"), "-", "--format", "nut", "--frames", "0-60"}, "outside the input's frames"},
    };
    for (const auto& [args, message] : refused) {
        const auto r = render(args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_NE(std::system((watchcam + "- " + quoted(path("f.mkv")) + module + " < /dev/null 2> " +
                           quoted(path("err.txt")))
                              .c_str()),
              0);
    EXPECT_NE(RendererTest::slurp(path("err.txt")).find("watchcam: standard input: the stream is empty"),
              std::string::npos);
    // A reader that stops early: one line, exit 1. (16-bit FFV1 makes about 150 kB, far more than a pipe holds.)
    EXPECT_EQ(
        std::system(("bash -c " + quoted(watchcam + quoted(path("in.mp4")) + " - --format nut --depth 16" +
                                         module + " 2> " + quoted(path("err.txt")) +
                                         " | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}"))
                        .c_str()),
        1 << 8);
    // It names the last frame handed to the writer.
    const std::string err = RendererTest::slurp(path("err.txt"));
    EXPECT_EQ(err.rfind("watchcam: standard output: frame ", 0), 0u) << err;
    EXPECT_NE(err.find(": cannot write: Broken pipe\n"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(Reorient, EachQuarterTurnAndMirrorPutsEveryPixelWhereWorkedOut)
{
    // Source 3 x 2, red = 10 y + x; each case's rows as shown, worked out by hand from (a x + c y, b x + d y).
    Image source = Image::make(3, 2, Depth::Eight);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) source.row<uint8_t>(y)[x * 4 + 1] = uint8_t(10 * y + x);
    struct Case {
        Orientation o;
        std::vector<std::vector<int>> rows;
    };
    const Case cases[] = {
        {{1, 0, 0, 1}, {{0, 1, 2}, {10, 11, 12}}},    {{-1, 0, 0, 1}, {{2, 1, 0}, {12, 11, 10}}},  // mirrored
        {{-1, 0, 0, -1}, {{12, 11, 10}, {2, 1, 0}}},  // half a turn
        {{0, -1, 1, 0}, {{2, 12}, {1, 11}, {0, 10}}},  // a quarter turn counterclockwise
        {{0, 1, -1, 0}, {{10, 0}, {11, 1}, {12, 2}}},  // a quarter turn clockwise
        {{0, 1, 1, 0}, {{0, 10}, {1, 11}, {2, 12}}},  // transposed
    };
    for (const Case& c : cases) {
        const Image shown = reorient(source, c.o);
        ASSERT_EQ(shown.height, int(c.rows.size()));
        ASSERT_EQ(shown.width, int(c.rows[0].size()));
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                EXPECT_EQ(shown.row<uint8_t>(y)[x * 4 + 1], c.rows[size_t(y)][size_t(x)])
                    << c.o.a << c.o.b << c.o.c << c.o.d;
    }
}
