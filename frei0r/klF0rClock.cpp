#include "frei0r/klF0rClock.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace Kiln::Frei0r {

namespace {

// Times within this of each other are one frame's, handed twice (a rate up to 1000 steps 1 ms).
constexpr double kSameTime = 2.5e-4;
constexpr size_t kTimesKept = 48;

// Footage rates, as numerator / denominator.
struct Rate {
    double num, den;
};
constexpr std::array<Rate, 28> kRates = {{
    {8, 1},  {10, 1},       {12, 1},        {12.5, 1}, {15, 1},       {16, 1},  {18, 1},
    {20, 1}, {24000, 1001}, {24, 1},        {25, 1},   {30000, 1001}, {30, 1},  {48000, 1001},
    {48, 1}, {50, 1},       {60000, 1001},  {60, 1},   {72, 1},       {75, 1},  {90, 1},
    {96, 1}, {100, 1},      {120000, 1001}, {120, 1},  {144, 1},      {200, 1}, {240, 1},
}};

// Root mean square distance, in seconds, from each time to the nearest frame of `rate`.
double misfit(const std::deque<double>& times, double rate)
{
    double sum = 0.0;
    for (double t : times) {
        const double d = t - std::round(t * rate) / rate;
        sum += d * d;
    }
    return std::sqrt(sum / double(times.size()));
}

}  // namespace

double FrameClock::rateOf(const std::deque<double>& times)
{
    if (times.size() < 2) return 0.0;
    double step = 0.0;
    std::deque<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 1; i < sorted.size(); ++i) {
        const double d = sorted[i] - sorted[i - 1];
        if (d > kSameTime && (step == 0.0 || d < step)) step = d;
    }
    if (step == 0.0) return 0.0;
    const double guess = 1.0 / step;
    // The smallest step may be rounded to a container's ticks, and two frames apart when a frame is
    // still to come: the rate lies near the guess, below twice it. Of the listed rates there the one
    // that fits best; on a tie (both exact) the lower, as every time of a rate fits its multiples.
    double best = 0.0, bestMisfit = 0.0;
    for (const Rate& r : kRates) {
        const double rate = r.num / r.den;
        if (rate < guess * 0.9 || rate > guess * 1.9) continue;
        const double m = misfit(times, rate);
        if (best == 0.0 || m < bestMisfit - 1e-9) {
            best = rate;
            bestMisfit = m;
        }
    }
    // A listed rate fits when every time lies within a millisecond of one of its frames.
    if (best != 0.0 && bestMisfit < 6e-4) return best;
    // Another rate: frames over seconds of the latest time, to 1/1000.
    const double last = sorted.back();
    const double frames = std::round(last * guess);
    const double rate = frames > 0.0 ? frames / last : guess;
    return std::round(rate * 1000.0) / 1000.0;
}

void FrameClock::note(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 1e7) return;
    for (double t : times_)
        if (std::fabs(t - seconds) <= kSameTime) return;
    times_.push_back(seconds);
    if (times_.size() > kTimesKept) times_.pop_front();
    rate_ = rateOf(times_);
}

}  // namespace Kiln::Frei0r
