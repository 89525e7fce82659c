/*
 * The one kind of failure the renderer reports: which file, which frame (when a frame is concerned) and
 * why. what() is the line the user sees after "watchcam: ": "<file>: frame N: <cause>".
 */
#ifndef KL_FOOTAGE_ERROR_H
#define KL_FOOTAGE_ERROR_H

#include <climits>
#include <stdexcept>
#include <string>

namespace Kiln::Footage {

class FootageError : public std::runtime_error {
public:
    static constexpr long noFrame = LONG_MIN;

    FootageError(std::string file, std::string cause, long frame = noFrame)
        : std::runtime_error(compose(file, cause, frame)), file_(std::move(file)), cause_(std::move(cause)),
          frame_(frame)
    { }

    const std::string& file() const { return file_; }
    const std::string& cause() const { return cause_; }
    long frame() const { return frame_; }
    bool hasFrame() const { return frame_ != noFrame; }

    static std::string compose(const std::string& file, const std::string& cause, long frame)
    {
        std::string line = file.empty() ? std::string() : file + ": ";
        if (frame != noFrame) line += "frame " + std::to_string(frame) + ": ";
        return line + cause;
    }

private:
    std::string file_, cause_;
    long frame_;
};

// Rendering stopped because a signal ended it (Ctrl-C, SIGTERM, SIGHUP, ...).
class Interrupted : public FootageError {
public:
    Interrupted(std::string file, long frame, int signalNumber)
        : FootageError(std::move(file), "interrupted", frame), signal_(signalNumber)
    { }
    int signalNumber() const { return signal_; }

private:
    int signal_;
};

// The user asked for something that cannot be done as asked (an option's value, options that do not go
// together): exit status 2 instead of 1.
class UsageError : public FootageError {
public:
    explicit UsageError(const std::string& cause) : FootageError("", cause) { }
    UsageError(const std::string& file, const std::string& cause) : FootageError(file, cause) { }
};

}  // namespace Kiln::Footage

#endif
