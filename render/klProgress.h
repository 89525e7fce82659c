/*
 * What a render tells the person who started it: a progress bar on a terminal (frames, speed, time spent
 * and time left) and one line at the end (frames, time, speed, output), which --quiet leaves out.
 */
#ifndef KL_PROGRESS_H
#define KL_PROGRESS_H

#include <chrono>
#include <string>

namespace Kiln::Footage {

// "0:07", "12:05", "1:02:03".
std::string clockText(double seconds);
// "[#######.......................] 12/75 frames  6.1 fps  0:02 spent, 0:10 left".
std::string progressLine(int done, int total, double seconds);
// "out.mp4: 75 frames in 12.3 s (6.1 fps)".
std::string summaryLine(const std::string& output, int frames, double seconds);

// The bar on standard error, redrawn in place; nothing when not enabled.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled);
    void update(int done, int total);
    // Draws the last line with `frames` done in `seconds` (the time the summary gives) and ends it.
    void finish(int frames, double seconds);
    // Ends the bar's line so that whatever follows starts on its own.
    void close();

private:
    void draw(const std::string& line);

    bool enabled_;
    bool shown_ = false;
    size_t width_ = 0;  // of the line last drawn, to blank what a shorter one leaves
    std::chrono::steady_clock::time_point start_;
};

}  // namespace Kiln::Footage

#endif
