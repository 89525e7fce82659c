/*
 * One render: footage in, every frame through the effect module in the substitute host, footage out.
 *
 * Everything that can be checked is checked before the first frame (input readable, frame range inside
 * it, output name free and writable and not the input, module loadable and able to render the depth).
 * run() claims the output's frames (another render writing them is an error at once), then renders them
 * in order; the output appears under its name only when every frame is written.
 *
 * Reading, rendering and writing overlap: the input source reads the next frames on a thread of its own
 * while the calling thread renders, and a writing thread converts and encodes the frames rendered before,
 * handed over through a queue of one frame. Memory stays at a few frames; written frames go back to the
 * host for its next outputs. The frames are the same as when each frame's three steps run in turn.
 * Failures are FootageError naming the file and frame; an interruption is Interrupted. With several
 * stages failing, the one reported is the first a frame-by-frame render would have met.
 */
#ifndef KL_RENDER_JOB_H
#define KL_RENDER_JOB_H

#include "footage/klFootage.h"
#include "runner/klRunner.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Footage {

class FrameSource;
class OutputFiles;
class SpooledInput;

struct RenderOptions {
    std::string input;  // ignored for the demo
    bool demo = false;
    int demoWidth = 1280, demoHeight = 720, demoFrames = 75;
    std::string output;
    std::optional<Depth> depth;  // default: the input's own depth
    std::optional<std::pair<int, int>> frames;  // inclusive, in the input's frame numbers
    // The input frame shown at time 0 of a video output (default: the first rendered). A chunk of a longer
    // render gives that render's first frame, so its frames carry the times they have in the whole.
    std::optional<int> timeOrigin;
    // Seconds since 1970 before which temporary files of frames no one holds are left over from ended
    // renders (see OutputFiles::staleBefore); default: this render's start.
    std::optional<int64_t> staleBefore;
    std::optional<FrameRate> rate;  // stills and sequences only
    double scale = 1;  // the host's downsample factor, 0 < scale <= 1
    bool highQuality = true;
    bool smartPath = true;
    std::optional<int> threads;  // sets KILN_MAX_PROCESSORS for the module
    bool overwrite = false;
    std::string modulePath;  // as given (--module); empty: see findModule()
    std::optional<uint64_t> maxMemory;  // bytes a render may take; default: what the machine has available
    bool audio = true;  // carry the input's audio into a video output
    std::string format;  // container of an output stream ("-" or a FIFO): mp4, mov, mkv, nut
    EncoderChoice encoder;  // video outputs
    std::string compression;  // EXR, TIFF and PNG outputs (footage/klCompression.h); empty: the default
    // Reading, rendering and writing side by side; false does each frame's three in turn (the same frames).
    bool overlap = true;
    // Called after each frame with frames done and the total.
    std::function<void(int done, int total)> progress;
    // Called with what the user should know of a render that goes ahead ("the audio is left out: ...").
    std::function<void(const std::string&)> note;
};

// Busy times of each step; with the steps overlapping they add up to more than the whole.
struct RenderStats {
    int frames = 0;
    double readSeconds = 0;  // decoding or generating input frames and converting them for the host
    double moduleSeconds = 0;  // inside the host and module, without waiting for input frames
    double writeSeconds = 0;  // converting and encoding output frames
    double totalSeconds = 0;
};

// The module to load: `given` when not empty, else $WATCHCAM_MODULE, else beside the executable
// (../host/ in the build tree, ../lib/ when installed), else where this build put it. Throws
// FootageError naming every place looked at when none exists.
std::string findModule(const std::string& given);

// FootageError when a render of `info`'s frames at `depth` (`videoInput`: read through the video decoder)
// needs more memory than --max-memory or the machine has.
void checkRenderMemory(const FootageInfo& info, const RenderOptions& options, Depth depth, bool videoInput,
                       const std::string& inputName);

// What the host is told for a render of `info`'s frames `first`..`last` (input numbers) with `options`:
// clip length and time base, the layer size and downsample at render scale `scale` (0: options.scale),
// pixel aspect, quality and render path. FootageError (naming `inputName`) when the clip is longer than
// the host's 32-bit clock reaches. The preview's hosts are made the same way, so its frames are a render's.
Runner::HostSettings renderHostSettings(const FootageInfo& info, const RenderOptions& options, int first,
                                        int last, const std::string& inputName, double scale = 0);

class RenderJob {
public:
    explicit RenderJob(RenderOptions options);
    ~RenderJob();
    RenderJob(const RenderJob&) = delete;
    RenderJob& operator=(const RenderJob&) = delete;

    RenderStats run();

    // From a signal-handling thread: stop at the next chance and throw Interrupted carrying `signal`.
    void requestAbort(int signal) noexcept;

    const FootageInfo& inputInfo() const;
    Depth depth() const { return depth_; }
    int firstFrame() const { return first_; }
    int lastFrame() const { return last_; }
    Runner::Host& host() { return *host_; }
    // What the output is written with (all but the frame size), the input's carried audio and tags included.
    const WriterSettings& writerSettings() const { return writing_; }
    // Every file of the input (none for the demo), never to be written over.
    const std::vector<std::string>& inputFiles() const { return inputFiles_; }

private:
    // `videoFile` and `videoName`: the input video as FFmpeg opens it and as messages call it; empty when
    // the input is no video.
    WriterSettings writerSettingsFor(const FootageInfo& info, const std::string& videoFile,
                                     const std::string& videoName) const;
    FootagePath outputFor(const std::string& output) const;
    // Frame number `n` through the host; adds the time spent in it, without waiting for input, to
    // `moduleSeconds`.
    Image renderFrame(int n, double& moduleSeconds);
    // Writes frame number `n` (making the writer on the first) and gives its memory back to the host.
    void writeFrame(int n, Image&& frame, std::unique_ptr<FootageWriter>& writer);
    // Runs a step of the writer; an error of the output that names no frame is given frame number `n`.
    template <class Step>
    void withFrameNamed(int n, Step&& step);

    RenderOptions options_;
    FootagePath outputPath_;
    std::unique_ptr<SpooledInput> spooled_;  // an input stream, kept in a temporary file
    std::unique_ptr<FootageReader> reader_;
    std::vector<std::string> inputFiles_;  // every file of the input, never to be written over
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<OutputFiles> files_;
    std::unique_ptr<Runner::Module> module_;
    std::unique_ptr<Runner::Host> host_;
    Depth depth_ = Depth::Eight;
    int first_ = 0, last_ = 0;
    WriterSettings writing_;  // all but the frame size, which the first rendered frame gives
    std::atomic<int> abortSignal_{0};
};

}  // namespace Kiln::Footage

#endif
