#include "render/klRenderJob.h"

#include "footage/klCompression.h"
#include "footage/klDemoClip.h"
#include "footage/klOutputFiles.h"
#include "footage/klPipes.h"
#include "footage/klResample.h"
#include "footage/video/klMuxer.h"
#include "render/klFrameMemory.h"
#include "render/klFrameSource.h"
#include "render/klPipeline.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool isFile(const std::string& path)
{
    struct stat s { };
    return stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

std::string rangeText(int a, int b) { return std::to_string(a) + "-" + std::to_string(b); }

// Host time: ticks of 1/timeScale s, one frame lasting timeStep ticks (25 fps: 2500 and 100).
void setTimeBase(Runner::HostSettings& s, FrameRate rate)
{
    const int k = rate.den < 100 ? 100 : 1;
    s.timeScale = A_long(rate.num) * k;
    s.timeStep = A_long(rate.den) * k;
}

std::string rateText(FrameRate r)
{
    return r.den == 1 ? std::to_string(r.num) : std::to_string(r.num) + "/" + std::to_string(r.den);
}

// What the user should read of a host's failure: the module's own words, without the host's function
// names and command codes ("Kiln::Runner::Host::render: ...", "module \"X\" failed PF_Cmd_RENDER at
// frame 3: ...").
std::string plainCause(const std::string& text)
{
    std::string s = text;
    while (s.rfind("Kiln::", 0) == 0) {
        const size_t colon = s.find(": ");
        if (colon == std::string::npos) break;
        s = s.substr(colon + 2);
    }
    if (s.rfind("module \"", 0) == 0) {
        const size_t failed = s.find("\" failed PF_Cmd_");
        const size_t colon = failed == std::string::npos ? failed : s.find(": ", failed);
        if (colon != std::string::npos) s = s.substr(colon + 2);
    }
    return s;
}

}  // namespace

std::string findModule(const std::string& given)
{
    if (!given.empty()) {
        if (!isFile(given)) throw FootageError(given, "no such effect module");
        return given;
    }
    if (const char* env = std::getenv("WATCHCAM_MODULE"); env && *env) {
        if (!isFile(env)) throw FootageError(env, "no such effect module (named by WATCHCAM_MODULE)");
        return env;
    }
    std::vector<std::string> places;
    const std::string exeDir = executableDirectory();
    for (const char* dir : {"/../host/", "/../lib/"})
        for (const char* file : {"libQ_Watchcam.so", "Q_Watchcam.so"}) places.push_back(exeDir + dir + file);
#ifdef WATCHCAM_DEFAULT_MODULE
    places.push_back(WATCHCAM_DEFAULT_MODULE);
#endif
    for (const std::string& p : places)
        if (isFile(p)) return p;
    std::string looked;
    for (const std::string& p : places) looked += (looked.empty() ? "" : ", ") + p;
    throw FootageError("", "cannot find the effect module Q_Watchcam (looked at " + looked +
                               "); give --module PATH or set WATCHCAM_MODULE");
}

void checkRenderMemory(const FootageInfo& info, const RenderOptions& options, Depth depth, bool videoInput,
                       const std::string& inputName)
{
    const int layerWidth = scaledSize(info.width, options.scale),
              layerHeight = scaledSize(info.height, options.scale);
    const uint64_t needed =
        renderBytes(info.width, info.height, info.nativeDepth, layerWidth, layerHeight, depth, videoInput);
    const std::optional<uint64_t> limit = options.maxMemory ? options.maxMemory : availableMemory();
    if (limit && needed > *limit) {
        const char* bits = depth == Depth::Eight     ? "at 8 bits"
                           : depth == Depth::Sixteen ? "at 16 bits"
                                                     : "in float";
        throw FootageError(inputName,
                           "a render of " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                               " frames " + bits + " needs about " + formatBytes(needed) +
                               " (its frames, the effect's working images and the codecs' buffers); " +
                               (options.maxMemory ? "--max-memory allows " + formatBytes(*limit)
                                                  : "this machine has " + formatBytes(*limit) +
                                                        " available (--max-memory sets another limit)"));
    }
}

Runner::HostSettings renderHostSettings(const FootageInfo& info, const RenderOptions& options, int first,
                                        int last, const std::string& inputName, double scale)
{
    if (scale <= 0) scale = options.scale;
    // The host counts time in 32-bit ticks; a clip longer than they reach would wrap around.
    Runner::HostSettings settings;
    settings.frameCount = std::max(info.frameCount, last - info.firstFrame + 1);
    setTimeBase(settings, info.rate);
    if (int64_t(settings.frameCount) * settings.timeStep > INT32_MAX) {
        const int most = INT32_MAX / settings.timeStep;
        const std::string at = "at " + rateText(info.rate) + " fps the host's clock ";
        if (options.frames)
            throw FootageError("", "--frames " + rangeText(first, last) + ": " + at + "reaches frame " +
                                       std::to_string(info.firstFrame + most - 1) + " at most");
        throw FootageError(inputName, at + "holds " + std::to_string(most) + " frames; the input has " +
                                          std::to_string(info.frameCount));
    }
    // The host hands the module its layer already at render scale, as a compositing host does at draft
    // resolution; the output has the same size.
    settings.width = scaledSize(info.width, scale);
    settings.height = scaledSize(info.height, scale);
    settings.downsampleX = settings.downsampleY = scale;
    settings.pixelAspect = info.pixelAspect.value();
    settings.highQuality = options.highQuality;
    settings.smartPath = options.smartPath;
    return settings;
}

RenderJob::RenderJob(RenderOptions options) : options_(std::move(options))
{
    if (!(options_.scale > 0 && options_.scale <= 1))
        throw UsageError("--scale must be above 0 and at most 1");
    if (options_.threads && *options_.threads < 1) throw UsageError("--threads must be at least 1");
    // Set before any library starts threads that might read the environment.
    if (options_.threads) setenv("KILN_MAX_PROCESSORS", std::to_string(*options_.threads).c_str(), 1);
    // The codecs keep to the same number: with the effect they share the processors it was given.
    limitCodecThreads(options_.threads.value_or(0));

    // Input.
    bool stillInput = false;
    std::string videoFile, videoName;  // a video input, as FFmpeg opens it and as messages call it
    if (options_.demo) {
        reader_ = std::make_unique<DemoReader>(options_.demoWidth, options_.demoHeight, options_.demoFrames,
                                               options_.rate.value_or(FrameRate{25, 1}));
    } else if (isStream(options_.input)) {
        if (options_.rate)
            throw UsageError("--fps is for stills and sequences; a video keeps its own frame rate");
        spooled_ = std::make_unique<SpooledInput>(options_.input);
        videoFile = spooled_->file();
        videoName = spooled_->name();
        reader_ = openVideoReader(videoFile, std::string(), videoName);
    } else {
        const FootagePath in = parseInputPath(options_.input);
        if (in.kind == Kind::Video && options_.rate)
            throw UsageError(in.path, "--fps is for stills and sequences; a video keeps its own frame rate");
        reader_ = openReader(in, options_.rate.value_or(FrameRate{25, 1}));
        stillInput = in.kind == Kind::Still;
        if (in.kind == Kind::Video) videoFile = videoName = in.path;
        const FootageInfo& info = reader_->info();
        for (int i = 0; i < info.frameCount; ++i) inputFiles_.push_back(in.frameFile(info.firstFrame + i));
    }
    const FootageInfo& info = reader_->info();

    // Frames: by default all of the input; a still input can be held for as many frames as asked.
    outputPath_ = outputFor(options_.output);
    const int inFirst = info.firstFrame, inLast = info.firstFrame + info.frameCount - 1;
    first_ = inFirst;
    last_ = inLast;
    if (options_.frames) {
        const auto [a, b] = *options_.frames;
        if (a > b) throw UsageError("--frames " + rangeText(a, b) + ": the first frame comes after the last");
        if (a < inFirst || (!stillInput && b > inLast))
            throw FootageError(reader_->name(), "--frames " + rangeText(a, b) +
                                                    " is outside the input's frames " +
                                                    rangeText(inFirst, inLast));
        first_ = a;
        last_ = b;
    }
    if (outputPath_.kind == Kind::Still && last_ > first_) {
        if (options_.frames)
            throw UsageError(outputPath_.path,
                             "a single picture holds one frame: give --frames N, or a sequence "
                             "name such as out.%04d.png");
        last_ = first_;
    }
    if (options_.timeOrigin && (*options_.timeOrigin < inFirst || *options_.timeOrigin > first_))
        throw FootageError(reader_->name(), "--time-origin " + std::to_string(*options_.timeOrigin) +
                                                ": expected a frame from " + std::to_string(inFirst) +
                                                " to the first rendered, " + std::to_string(first_));
    depth_ = options_.depth.value_or(info.nativeDepth);

    // Memory is weighed before any frame is read: a header may claim a picture no machine can hold.
    checkRenderMemory(info, options_, depth_, !videoFile.empty(), reader_->name());

    Runner::HostSettings settings = renderHostSettings(info, options_, first_, last_, reader_->name());

    const EncoderChoice& enc = options_.encoder;
    if (outputPath_.kind != Kind::Video &&
        (!enc.codec.empty() || enc.crf >= 0 || enc.bitrate > 0 || !enc.pixelFormat.empty()))
        throw UsageError(outputPath_.path,
                         "--codec, --crf, --bitrate and --pixel-format are for video outputs");
    if (!options_.compression.empty())
        if (const std::string why = compressionRefusal(outputPath_.extension, options_.compression);
            !why.empty())
            throw UsageError(why);
    writing_ = writerSettingsFor(info, videoFile, videoName);

    // Output: checked before any work is done. A stream is written as it goes.
    if (!writing_.streamed) {
        files_ = std::make_unique<OutputFiles>(outputPath_, long(getpid()));
        files_->check(inputFiles_, first_, last_, options_.overwrite);
        if (options_.staleBefore) files_->staleBefore(*options_.staleBefore);
    }

    // Module and host.
    const std::string modulePath = findModule(options_.modulePath);
    try {
        module_ = Runner::Module::load(modulePath);
        host_ = std::make_unique<Runner::Host>(*module_, settings);
    } catch (const Runner::RunnerError& e) {
        throw FootageError(modulePath, plainCause(e.what()));
    }
    if (!host_->supportsDepth(depth_)) {
        if (depth_ == Depth::Float && !options_.smartPath)
            throw FootageError(
                modulePath,
                "the legacy render path has no float; use --render-path smart or another --depth");
        const char* label = depth_ == Depth::Eight ? "8-bit" : depth_ == Depth::Sixteen ? "16-bit" : "float";
        throw FootageError(modulePath, std::string("the effect does not render ") + label +
                                           " frames; choose another --depth");
    }
    const int layerWidth = scaledSize(info.width, options_.scale),
              layerHeight = scaledSize(info.height, options_.scale);
    if (outputPath_.kind == Kind::Video &&
        !videoKeepsPixelAspect(layerWidth, layerHeight, writing_.pixelAspect)) {
        if (options_.note)
            options_.note("the pixel aspect " + std::to_string(writing_.pixelAspect.num) + ":" +
                          std::to_string(writing_.pixelAspect.den) + " is left out: a video of " +
                          std::to_string(layerWidth) + "x" + std::to_string(layerHeight) +
                          " frames cannot hold it (shown at it, a frame would be less than a pixel " +
                          (writing_.pixelAspect.value() > 1 ? "high)" : "wide)"));
        writing_.pixelAspect = PixelAspect{};
    }
    if (outputPath_.kind == Kind::Video) {
        WriterSettings ws = writing_;
        ws.width = settings.width;
        ws.height = settings.height;
        checkVideoWriter(outputPath_, ws);
    }
    source_ = std::make_unique<FrameSource>(*reader_, settings.width, settings.height);
    host_->setFrameSource(
        [this](int frame, Depth depth) -> const Image& { return source_->frame(frame, depth); });
}

// What the output keeps of the input: frame rate and timing, pixel aspect, colours, and for a video input
// into a video output its audio and tags over the rendered span.
// The output as a footage path; a stream ("-" or a FIFO) is a video in the container --format names, or
// its name's extension.
FootagePath RenderJob::outputFor(const std::string& output) const
{
    const std::string& format = options_.format;
    if (!format.empty() && containerFor(format).empty())
        throw UsageError("--format " + format + ": expected mp4, mov, mkv (or matroska), nut or webm");
    if (!isStream(output)) {
        if (!format.empty())
            throw UsageError(output,
                             "--format is for - (standard output) and FIFOs; a file's name says its format");
        return parseFootagePath(output);
    }
    FootagePath path;
    path.kind = Kind::Video;
    path.path = streamName(output, true);
    if (!format.empty()) {
        path.extension = format == "matroska" ? "mkv" : format;
    } else if (output != "-") {
        const FootagePath named = parseFootagePath(output);
        if (named.kind != Kind::Video)
            throw FootageError(output, "a FIFO takes video only (mp4, mov, mkv, nut, webm)");
        path.extension = named.extension;
    } else {
        throw UsageError("writing to - (standard output) needs --format: mp4, mov, mkv, nut or webm");
    }
    return path;
}

WriterSettings RenderJob::writerSettingsFor(const FootageInfo& info, const std::string& videoFile,
                                            const std::string& videoName) const
{
    WriterSettings ws;
    ws.streamed = isStream(options_.output);
    if (ws.streamed) ws.container = containerFor(outputPath_.extension);
    ws.depth = depth_;
    ws.rate = info.rate;
    ws.firstFrame = first_;
    ws.alpha = info.hasAlpha;
    ws.pixelAspect = info.pixelAspect;
    ws.colour = info.colour;
    const ColourTags untagged;
    if (videoFile.empty() && ws.colour.primaries == untagged.primaries &&
        ws.colour.transfer == untagged.transfer && ws.colour.matrix == untagged.matrix) {
        // Pictures and the demo clip are sRGB: their primaries and curve are BT.709's, and a video of
        // them says so. A video that says nothing stays untagged.
        ws.colour.primaries = ws.colour.transfer = ws.colour.matrix = 1;
    }
    ws.encoder = options_.encoder;
    ws.compression = options_.compression;
    const int from = first_ - info.firstFrame, to = last_ - info.firstFrame;  // input frame indices
    const int origin = options_.timeOrigin ? *options_.timeOrigin - info.firstFrame : from;
    if (info.timing.variable() && to + 1 < int(info.timing.ticks.size())) {
        ws.timing = info.timing;
        ws.timing.ticks.assign(info.timing.ticks.begin() + from, info.timing.ticks.begin() + to + 2);
        for (int64_t& t : ws.timing.ticks) t -= info.timing.ticks[size_t(origin)];
    } else {
        ws.framesBefore = from - origin;
    }
    const bool videoIn = !videoFile.empty();
    if (videoIn && outputPath_.kind == Kind::Video) {
        Carry& c = ws.carry;
        c.input = videoFile;
        c.inputName = videoName;
        c.zero = info.frameTime(origin);
        if (from > 0) c.start = info.frameTime(from);
        if (to < info.frameCount - 1) c.end = info.frameTime(to + 1);
        c.framesIn = origin;
        c.audio = options_.audio;
        c.note = options_.note;
    } else if (videoIn && options_.note) {
        const std::string what = outputPath_.kind == Kind::Sequence ? "an image sequence" : "a picture";
        if (info.audioStreams > 0 && options_.audio)
            options_.note("the audio is left out: " + what + " holds no sound");
        if (info.timing.variable() && outputPath_.kind == Kind::Sequence) {
            char mean[32];
            std::snprintf(mean, sizeof mean, "%.2f", info.rate.value());
            options_.note("the frames' own times are left out: " + what + " has one frame rate (" + mean +
                          " fps, the mean)");
        }
    }
    return ws;
}

RenderJob::~RenderJob()
{
    // The host goes before the module it runs, and before the frames it may still point at.
    host_.reset();
    module_.reset();
}

const FootageInfo& RenderJob::inputInfo() const { return reader_->info(); }

void RenderJob::requestAbort(int signal) noexcept
{
    abortSignal_.store(signal);
    if (host_) host_->requestAbort();
}

namespace {

// How far the steps run ahead of each other: output frames waiting for the writer, and renders whose
// input frames are read beforehand. Each is a frame or two of memory.
constexpr size_t kFramesWaitingToBeWritten = 1;
constexpr int kRendersReadAhead = 2;

}  // namespace

Image RenderJob::renderFrame(int n, double& moduleSeconds)
{
    const FootageInfo& info = reader_->info();
    source_->beginRender(n - info.firstFrame);
    const double waitedBefore = source_->secondsWaited();
    const auto renderStart = Clock::now();
    Image frame;
    try {
        frame = host_->render(n - info.firstFrame, depth_);
    } catch (const Runner::RenderCancelled&) {
        const int s = abortSignal_.load();
        throw Interrupted(outputPath_.path, n, s ? s : SIGINT);
    } catch (const Runner::RunnerError& e) {
        source_->rethrowPending();
        throw FootageError(reader_->name(), "the effect refused the frame: " + plainCause(e.what()), n);
    }
    source_->rethrowPending();
    moduleSeconds += secondsSince(renderStart) - (source_->secondsWaited() - waitedBefore);
    return frame;
}

void RenderJob::writeFrame(int n, Image&& frame, std::unique_ptr<FootageWriter>& writer)
{
    const FootageInfo& info = reader_->info();
    if (!writer) {
        WriterSettings ws = writing_;
        ws.width = frame.width;
        ws.height = frame.height;
        writer = createWriter(outputPath_, ws, [this](int number) {
            return files_ ? files_->temporaryFor(number) : streamTarget(options_.output);
        });
    }
    // Each output frame keeps what the input frame of its number says of itself.
    const int index = std::min(n - info.firstFrame, info.frameCount - 1);
    withFrameNamed(n, [&] { writer->write(frame, source_->attributes(index).get()); });
    host_->recycle(std::move(frame));
}

template <class Step>
void RenderJob::withFrameNamed(int n, Step&& step)
{
    try {
        step();
    } catch (const Interrupted&) {
        throw;
    } catch (const FootageError& e) {
        // A full disk or a reader gone away is met while packets of earlier frames go out; the frame last
        // handed to the writer says how far the output got.
        if (e.hasFrame() || e.file() != outputPath_.path) throw;
        throw FootageError(e.file(), e.cause(), n);
    }
}

RenderStats RenderJob::run()
{
    const FootageInfo& info = reader_->info();
    const auto start = Clock::now();
    RenderStats stats;
    std::unique_ptr<FootageWriter> writer;
    const int total = last_ - first_ + 1;
    // Checked again once claimed: another render may have finished these frames since.
    if (files_) {
        files_->claim(first_, last_);
        files_->check(inputFiles_, first_, last_, options_.overwrite);
    }
    auto written = [&](double seconds) {
        stats.writeSeconds += seconds;
        ++stats.frames;
        // The estimate held the render to the limit the user gave; should it not, the render stops there.
        if (options_.maxMemory)
            if (const std::optional<uint64_t> held = residentMemory(); held && *held > *options_.maxMemory)
                throw FootageError("",
                                   "the render holds " + formatBytes(*held) + ", more than --max-memory " +
                                       formatBytes(*options_.maxMemory) + " allows",
                                   first_ + stats.frames - 1);
        if (options_.progress) options_.progress(stats.frames, total);
    };
    try {
        int reached = first_;  // the frame being rendered when an interrupt came
        auto render = [&](int n) { return renderFrame(n, stats.moduleSeconds); };
        auto write = [&](int n, Image&& frame) {
            const auto writeStart = Clock::now();
            writeFrame(n, std::move(frame), writer);
            written(secondsSince(writeStart));
        };
        auto stopped = [this] { return abortSignal_.load() != 0; };
        if (!options_.overlap) {
            for (; reached <= last_ && !stopped(); ++reached) write(reached, render(reached));
        } else {
            // Input frames for the next renders are read meanwhile; the source stops that whatever happens.
            struct ReadingAhead {
                FrameSource& source;
                ~ReadingAhead() { source.stopReadingAhead(); }
            } readingAhead{*source_};
            source_->readAhead(depth_, kRendersReadAhead, first_ - info.firstFrame, last_ - info.firstFrame);
            reached = runOverlapped(first_, last_, kFramesWaitingToBeWritten, render, write, stopped);
        }
        if (const int s = abortSignal_.load())
            throw Interrupted(outputPath_.path, std::min(reached, last_), s);
        const auto finishStart = Clock::now();
        withFrameNamed(last_, [&] { writer->finish(); });
        writer.reset();
        if (files_) files_->commit();
        stats.writeSeconds += secondsSince(finishStart);
    } catch (...) {
        writer.reset();
        if (files_) files_->discard();
        throw;
    }
    stats.readSeconds = source_->secondsReading();
    stats.totalSeconds = secondsSince(start);
    return stats;
}

}  // namespace Kiln::Footage
