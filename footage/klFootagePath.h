/*
 * What a footage path names: a still, an image sequence or a video, told apart by the name alone.
 *
 * A sequence is written with a frame-number field, either printf style ("shot.%04d.exr", "shot.%d.png")
 * or with one '#' per digit ("shot.####.exr"). Frame numbers are never negative. Kinds follow the
 * extension (case does not matter); anything else is refused with the list of what is supported, except
 * for inputs, which are read as videos by content.
 */
#ifndef KL_FOOTAGE_PATH_H
#define KL_FOOTAGE_PATH_H

#include <string>
#include <vector>

namespace Kiln::Footage {

enum class Kind { Still, Sequence, Video };

struct FootagePath {
    Kind kind = Kind::Still;
    std::string path;  // as given
    std::string extension;  // lower case, without the dot: "png", "mp4"
    // Sequences only: file name = prefix + frame number (zero-padded to `padding` digits) + suffix.
    std::string prefix, suffix;
    int padding = 0;

    // The file that holds frame `number` (the path itself for stills and videos).
    std::string frameFile(int number) const;
    // Whether `fileName` (no directory) is one this path names in its directory, and which frame it holds
    // (0 for stills and videos): exactly what frameFile() gives, so "%04d" does not take "7".
    bool namesFile(const std::string& fileName, int& number) const;
};

// Classifies a path. Throws FootageError for an unknown extension or a malformed frame field.
FootagePath parseFootagePath(const std::string& path);
// The same for a path to read: a name without a still's extension is a video, whatever its extension
// (or none), and FFmpeg tells its container by its content.
FootagePath parseInputPath(const std::string& path);

// Frame numbers of a sequence present on disk, ascending.
std::vector<int> findSequenceFrames(const FootagePath& sequence);

// "dir/.name.tmp-PID.ext" for "dir/name.ext": a hidden name in the same directory (so the final rename
// stays on one file system) that keeps the extension (so writers still pick the format from it).
std::string temporaryName(const std::string& finalPath, long pid);
// The final file name a temporary file name stands for ("out.mp4" for ".out.tmp-42.mp4"); empty when
// `fileName` is not a temporary name.
std::string finalNameOf(const std::string& fileName);

// Directory part of a path ("." when none).
std::string directoryOf(const std::string& path);
// Directory of the running program ("." when unknown).
std::string executableDirectory();

bool isStillExtension(const std::string& lowerExtension);
bool isVideoExtension(const std::string& lowerExtension);

}  // namespace Kiln::Footage

#endif
