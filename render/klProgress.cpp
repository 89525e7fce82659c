#include "render/klProgress.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace Kiln::Footage {

std::string clockText(double seconds)
{
    const long s = std::lround(std::max(seconds, 0.0));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string progressLine(int done, int total, double seconds)
{
    const int width = 30;
    const int filled = total > 0 ? int(int64_t(done) * width / total) : width;
    std::string bar(size_t(std::clamp(filled, 0, width)), '#');
    bar.resize(width, '.');
    char text[160];
    std::snprintf(text, sizeof text, "[%s] %d/%d frames  %.1f fps  %s spent", bar.c_str(), done, total,
                  seconds > 0 ? done / seconds : 0.0, clockText(seconds).c_str());
    std::string line = text;
    if (done > 0 && done < total) line += ", " + clockText(seconds / done * (total - done)) + " left";
    return line;
}

std::string summaryLine(const std::string& output, int frames, double seconds)
{
    char text[96];
    if (seconds < 60)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else
        std::snprintf(text, sizeof text, "%s", clockText(seconds).c_str());
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.1f", seconds > 0 ? frames / seconds : 0.0);
    return output + ": " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " in " + text +
           " (" + fps + " fps)";
}

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) { }

void ProgressBar::update(int done, int total)
{
    if (!enabled_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    draw("watchcam: " + progressLine(done, total, seconds));
}

void ProgressBar::finish(int frames, double seconds)
{
    if (enabled_ && shown_) draw("watchcam: " + progressLine(frames, frames, seconds));
    close();
}

void ProgressBar::draw(const std::string& line)
{
    std::fprintf(stderr, "\r%s%*s", line.c_str(), int(width_ > line.size() ? width_ - line.size() : 0), "");
    std::fflush(stderr);
    width_ = line.size();
    shown_ = true;
}

void ProgressBar::close()
{
    if (shown_) std::fputs("\n", stderr);
    shown_ = false;
    width_ = 0;
}

}  // namespace Kiln::Footage
