/*
 * A video file being written: the picture's stream and, beside it, what the input carries that the picture
 * does not -- its audio streams and its tags (creation time, title, location, timecode, ...).
 *
 * - The muxer owns the output container; the picture's packets come from an encoder or are copied from
 *   other files (segments rendered apart and joined without encoding again).
 * - Carried audio is copied packet for packet when the container takes its codec, and otherwise decoded and
 *   encoded with the container's usual audio codec. It covers the span of the input's timeline that the
 *   picture covers, moved so that the first rendered frame is at 0; the picture's time remapping never
 *   touches it. A copied cut keeps whole packets (the ones overlapping the span); an encoded one is exact.
 * - Audio is written as the picture advances, so neither waits in memory for the other.
 * - Nothing is shared with a reader: the input is opened a second time, for the muxer alone, so a reader
 *   and a muxer may work on different threads.
 * Failures are FootageError naming the output (or the input, for what is read from it).
 */
#ifndef KL_MUXER_H
#define KL_MUXER_H

#include "footage/klFootage.h"

#include <memory>
#include <string>
#include <vector>

struct AVCodecParameters;
struct AVFormatContext;
struct AVPacket;
struct AVRational;

namespace Kiln::Footage {

class Muxer {
public:
    // Sets up `file` (a path, or "pipe:1" for standard output) as `container` (FFmpeg's name: "mp4", "mov",
    // "matroska", "nut", "webm"); `name` is what messages call it. `streamed`: the file cannot seek (a pipe or
    // FIFO), so the container is written as a stream (fragmented mp4 and mov).
    Muxer(std::string name, std::string file, const std::string& container, bool streamed);
    ~Muxer();
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    // Whether the container wants the codec's headers once, up front: an encoder feeding it must then be
    // opened with AV_CODEC_FLAG_GLOBAL_HEADER.
    bool wantsGlobalHeader() const;

    // The picture's stream, once, before begin(): codec parameters as an encoder or another file gives them
    // (their sample aspect is the stream's), the time base its packets count in and its frame rate.
    void addVideo(const AVCodecParameters& codec, AVRational timeBase, AVRational frameRate);
    // The input's audio and tags, before begin(). Throws FootageError when an audio stream can be neither
    // copied nor encoded for this container.
    void carry(const Carry& carry);
    // A tag of the output (format level), before begin(); set after carry() it wins over the input's.
    void setTag(const std::string& key, const std::string& value);
    // The output's container, for what the calls above do not cover (such as stream side data).
    AVFormatContext* context();

    // Writes the header.
    void begin();
    // A packet of the picture, its times in the time base given to addVideo(); the carried audio is written
    // up to its time first. The packet is taken (left empty).
    void writeVideo(AVPacket& packet);
    // Writes the rest of the carried audio and the trailer and closes the file: complete once this returns.
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Joins pictures rendered apart -- consecutive frame ranges of one render, each a video file written by
// this renderer with the same settings -- into one video `file` (`name` in messages) of `container`,
// without encoding them again: their packets are copied in order with the times they carry (each
// segment rendered with the whole render's time origin, --time-origin). `carry` brings the input's audio
// and tags over the whole joined span, as a single render of that span does. Throws FootageError naming
// the segment that cannot be read, does not match the first or does not follow the one before in time. The caller owns `file` (write a temporary name and rename it once this returns).
void joinSegments(const std::vector<std::string>& segments, const std::string& name, const std::string& file,
                  const std::string& container, const Carry& carry, bool streamed = false);

// The FFmpeg container name of a video extension or --format value ("mkv" -> "matroska"); empty when none.
std::string containerFor(const std::string& extensionOrName);

}  // namespace Kiln::Footage

#endif
