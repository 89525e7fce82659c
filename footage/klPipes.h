/*
 * Footage through pipes: "-" (standard input or output) and FIFOs.
 *
 * An input stream is first copied whole into an anonymous temporary file: frames are read out of order
 * (time remapping asks for earlier ones) and the audio is read a second time beside the picture. The file
 * has no name, so it goes with the process however the process ends; it is opened by its descriptor's
 * path in /proc.
 * An output stream is written in place, as a stream: no temporary name, nothing to rename, and the
 * containers that would seek back (mp4, mov) are written in fragments.
 */
#ifndef KL_PIPES_H
#define KL_PIPES_H

#include <string>

namespace Kiln::Footage {

// "-", or the name of a FIFO.
bool isStream(const std::string& path);

// What FFmpeg opens to write the output stream `path`: "pipe:1" for "-", else the FIFO itself.
std::string streamTarget(const std::string& path);

// The name messages give a stream: "standard input" / "standard output" for "-", else the path.
std::string streamName(const std::string& path, bool output);

class SpooledInput {
public:
    // Reads all of standard input ("-") or the FIFO `path` into the temporary file. Throws FootageError
    // when the stream cannot be read, is empty, or the temporary file cannot be written.
    explicit SpooledInput(const std::string& path);
    ~SpooledInput();
    SpooledInput(const SpooledInput&) = delete;
    SpooledInput& operator=(const SpooledInput&) = delete;

    const std::string& file() const
    {
        return file_;
    }  // "/proc/self/fd/N": a path FFmpeg can open, more than once
    const std::string& name() const { return name_; }

private:
    void copy(int in);

    int fd_ = -1;
    std::string file_, name_;
};

}  // namespace Kiln::Footage

#endif
