/*
 * Reading and writing footage as host images.
 *
 * A reader hands out frames by index (0 .. frameCount-1) at any depth, in any order; a writer takes frames
 * in order and makes complete files only when finish() returns. Stills and image sequences go through
 * OpenImageIO, videos (mp4, mov, mkv) through FFmpeg's libraries. Every failure is a FootageError naming
 * the file and, where one is concerned, the frame number as the user counts it (a sequence keeps its own
 * numbers).
 */
#ifndef KL_FOOTAGE_H
#define KL_FOOTAGE_H

#include "footage/klFootageError.h"
#include "footage/klFootagePath.h"
#include "runner/klRunner.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace Kiln::Footage {

using Runner::Depth;
using Runner::Image;

struct FrameRate {
    int num = 25, den = 1;
    double value() const { return double(num) / double(den); }
    // The nearest rational with a small denominator (29.97 -> 30000/1001). Throws FootageError when the
    // rate is not a positive finite number up to 1000.
    static FrameRate fromDouble(double fps);
};

// Width of a pixel over its height (4:3 for 1440x1080 shown as 1920x1080).
struct PixelAspect {
    int num = 1, den = 1;
    double value() const { return double(num) / double(den); }
    bool square() const { return num == den; }
    // The nearest ratio of small whole numbers; 1:1 for anything not a positive finite number.
    static PixelAspect fromDouble(double aspect);
};

// How a video describes its colours, in FFmpeg's numbering (AVColorPrimaries, AVColorTransferCharacteristic,
// AVColorSpace, AVColorRange); the defaults mean "not said".
struct ColourTags {
    int primaries = 2, transfer = 2, matrix = 2, range = 0;
};

// When each frame of a video is shown, where the frames do not simply follow each other at the frame rate.
struct FrameTiming {
    int tickNum = 1, tickDen = 1;  // one tick lasts tickNum / tickDen seconds
    // Frame i starts ticks[i] ticks after frame 0; one entry more than frames: the end of the last frame.
    std::vector<int64_t> ticks;
    bool variable() const { return !ticks.empty(); }
};

struct FootageInfo {
    int width = 0, height = 0;
    int frameCount = 1;
    int firstFrame = 0;  // number of the first frame; frame i is number firstFrame + i
    FrameRate rate;  // with variable timing: the mean rate, frames over duration
    Depth nativeDepth =
        Depth::Eight;  // the depth the footage holds: 8-bit, 16-bit (or 9..16-bit video), float
    bool hasAlpha = false;
    PixelAspect pixelAspect;
    // Videos: the time of frame 0 on the file's own timeline, the frames' times when they vary, the colour
    // description and how many audio streams go along.
    double startSeconds = 0;
    FrameTiming timing;
    ColourTags colour;
    int audioStreams = 0;
    // Seconds on the file's timeline at which frame `index` starts (index == frameCount: where the last ends).
    double frameTime(int index) const;
};

// What of an input video is carried into a video output beside the rendered picture: its audio streams
// and its tags (creation time, title, timecode, ...). The span is of the input's own timeline.
struct Carry {
    std::string input;  // the input as FFmpeg opens it; empty: nothing is carried
    std::string inputFormat;  // its container when it cannot be told by probing; empty: probe
    std::string inputName;  // what messages call it
    double start = -1e300, end = 1e300;  // the span carried, in seconds (the defaults: everything)
    double zero = 0;  // the input time that becomes time 0 of the output: the first rendered frame
    int framesIn =
        0;  // frames from the input's first to the first rendered one: the timecode moves on by as many
    bool audio = true;
    bool tags = true;
    bool others = true;  // subtitle and data streams, where the container takes them
    // Told what is left out (a subtitle stream the container does not take); null: nothing is said.
    std::function<void(const std::string&)> note;
};

// The encoder of a video output; empty fields keep the container's usual choice.
struct EncoderChoice {
    std::string codec;  // "h264", "hevc" (mp4, mov); "prores", "prores-hq", ... (mov); "ffv1" (mkv)
    int crf = -1;  // constant quality for H.264 / HEVC, 0 (lossless) to 51; -1: the codec's default
    int64_t bitrate = 0;  // bits per second instead of constant quality; 0: none
    std::string pixelFormat;  // FFmpeg's name ("yuv422p10le"); must be one the codec takes
};

// What a picture file says of itself beyond its pixels (camera, dates, colour space, ...): filled by the
// picture reader, read by the picture writer, opaque to everything between.
struct PictureAttributes;

class FootageReader {
public:
    virtual ~FootageReader() = default;
    virtual const FootageInfo& info() const = 0;
    // Frame `index` (0 .. frameCount-1) as a host image at `depth`.
    virtual Image read(int index, Depth depth) = 0;
    // The same into `image`, whose memory is reused when it has the frame's size and depth already.
    virtual void readInto(int index, Depth depth, Image& image) { image = read(index, depth); }
    // The name messages give for this footage.
    virtual const std::string& name() const = 0;
    // What the file of frame `index` says of itself beyond its pixels, for a picture written from it;
    // null when nothing (videos, whose tags travel with Carry). Safe to call from any thread, also while
    // another reads.
    virtual std::shared_ptr<const PictureAttributes> attributes(int /*index*/) { return nullptr; }
};

struct WriterSettings {
    int width = 0, height = 0;
    Depth depth = Depth::Eight;  // the depth of the frames handed in; files use the nearest they can hold
    FrameRate rate;
    int firstFrame = 0;  // number of the first frame written (sequences)
    bool alpha = false;  // keep alpha where the format can hold it
    PixelAspect pixelAspect;  // written where the format holds it (videos, EXR, DPX, TIFF, PNG)
    // Picture files: one of compressionChoices() of the extension (klCompression.h); empty: the default.
    std::string compression;
    // Videos only.
    FrameTiming timing;  // the written frames' times; not variable: frames follow at `rate`
    // Constant rate: frames of the output's timeline before the first one written (a chunk of a longer
    // render starts where it stands in the whole); with variable timing ticks[0] says it.
    int64_t framesBefore = 0;
    ColourTags colour;  // what the pictures' colours are; what is not said stays unsaid
    Carry carry;
    EncoderChoice encoder;
    std::string container;  // FFmpeg's container name; empty: the one the target's extension names
    bool streamed = false;  // the output cannot seek (a pipe or FIFO): containers are written as a stream
};

class FootageWriter {
public:
    virtual ~FootageWriter() = default;
    // Frames in order; each must be width x height at the settings' depth. A picture file keeps those of
    // `attributes` that still hold for it.
    virtual void write(const Image& frame, const PictureAttributes* attributes = nullptr) = 0;
    // Flushes and closes. A writer destroyed without finish() leaves incomplete files for the caller to
    // remove.
    virtual void finish() = 0;
};

// Opens footage. `rate` is the frame rate given to stills and sequences (videos carry their own).
std::unique_ptr<FootageReader> openReader(const FootagePath& path, FrameRate rate);

// Threads each decoder, encoder and picture library may use from now on; 0 (the start) leaves it to each,
// which takes one a processor.
void limitCodecThreads(int threads);
int codecThreads();

// Where a writer puts frame number n: the temporary file standing for the output's frame n.
using FileNamer = std::function<std::string(int frameNumber)>;

// Creates a writer for `target` (which decides the format) that writes to the files `namer` gives and
// reports errors under the target's name. Video writers open their file here.
std::unique_ptr<FootageWriter> createWriter(const FootagePath& target, const WriterSettings& settings,
                                            const FileNamer& namer);

// Image files (OpenImageIO) and video (FFmpeg) behind the factories above.
std::unique_ptr<FootageReader> openImageReader(const FootagePath& path, FrameRate rate);
std::unique_ptr<FootageWriter> createImageWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer);
// Image files live in a module of their own ("watchcam_images.so", its entry kiln_image_files()), loaded
// on first use: OpenImageIO and the libraries it loads hold about 100 MB that video jobs never need.
struct ImageFileFunctions {
    std::unique_ptr<FootageReader> (*openReader)(const FootagePath&, FrameRate);
    std::unique_ptr<FootageWriter> (*createWriter)(const FootagePath&, const WriterSettings&,
                                                   const FileNamer&);
    void (*limitThreads)(int);
};
// What the program and the module must agree on to call each other (the module's kiln_image_files_layout()
// returns it): the interface's revision, raised by hand when a type handed across changes without changing
// its size, and the sizes of those types. A module of another build (left in a stale build tree) is passed
// over rather than called with pictures it would read wrongly.
constexpr uint64_t kImageFilesRevision = 2;
constexpr uint64_t imageFilesLayout()
{
    uint64_t h = kImageFilesRevision;
    for (const uint64_t size : {sizeof(ImageFileFunctions), sizeof(FootagePath), sizeof(FrameRate),
                                sizeof(WriterSettings), sizeof(FootageInfo), sizeof(Carry), sizeof(Image)})
        h = h * 1000003u ^ size;
    return h;
}
std::unique_ptr<FootageReader> openVideoReader(const FootagePath& path);
// A video by what FFmpeg opens (a path, "/proc/self/fd/N"), in `container` (empty: found by probing),
// reported as `name`.
std::unique_ptr<FootageReader> openVideoReader(const std::string& file, const std::string& container,
                                               const std::string& name);
std::unique_ptr<FootageWriter> createVideoWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer);
// Whether a video of `width` x `height` frames can say it has `aspect` pixels: FFmpeg's encoders refuse
// one at which a frame would be shown less than a pixel high or wide.
bool videoKeepsPixelAspect(int width, int height, PixelAspect aspect);
// Throws the FootageError createVideoWriter() would for the codec, quality and pixel format asked for
// and for the streams carried from the input, without creating anything.
void checkVideoWriter(const FootagePath& target, const WriterSettings& settings);

}  // namespace Kiln::Footage

#endif
