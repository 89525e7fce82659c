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

#include "cli/klFootageError.h"
#include "cli/klFootagePath.h"
#include "runner/klRunner.h"

#include <functional>
#include <memory>
#include <string>

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

struct FootageInfo {
  int width = 0, height = 0;
  int frameCount = 1;
  int firstFrame = 0;  // number of the first frame; frame i is number firstFrame + i
  FrameRate rate;
  Depth nativeDepth = Depth::Eight;  // the depth the footage holds: 8-bit, 16-bit (or 9..16-bit video), float
  bool hasAlpha = false;
};

class FootageReader {
public:
  virtual ~FootageReader() = default;
  virtual const FootageInfo& info() const = 0;
  // Frame `index` (0 .. frameCount-1) as a host image at `depth`.
  virtual Image read(int index, Depth depth) = 0;
  // The name messages give for this footage.
  virtual const std::string& name() const = 0;
};

struct WriterSettings {
  int width = 0, height = 0;
  Depth depth = Depth::Eight;  // the depth of the frames handed in; files use the nearest they can hold
  FrameRate rate;
  int firstFrame = 0;  // number of the first frame written (sequences)
  bool alpha = false;  // keep alpha where the format can hold it
};

class FootageWriter {
public:
  virtual ~FootageWriter() = default;
  // Frames in order; each must be width x height at the settings' depth.
  virtual void write(const Image& frame) = 0;
  // Flushes and closes. A writer destroyed without finish() leaves incomplete files for the caller to
  // remove.
  virtual void finish() = 0;
};

// Opens footage. `rate` is the frame rate given to stills and sequences (videos carry their own).
std::unique_ptr<FootageReader> openReader(const FootagePath& path, FrameRate rate);

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
std::unique_ptr<FootageReader> openVideoReader(const FootagePath& path);
std::unique_ptr<FootageWriter> createVideoWriter(const FootagePath& target, const WriterSettings& settings,
                                                 const FileNamer& namer);

}  // namespace Kiln::Footage

#endif
