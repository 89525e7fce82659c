#pragma once
// The footage's frame rate as a filter learns it: frei0r hands each frame's time and nothing else, so
// the rate is read from the times seen. A host's times are frame numbers over the rate, exact (melt,
// GStreamer) or rounded to a container's ticks (a Matroska file's milliseconds); the rate is the one
// that explains the recent times best, from the rates footage comes in (23.976, 24, 25, 29.97, 30, 50,
// 59.94, 60 and the rest of the list in klF0rClock.cpp), as the exact fraction watchcam uses for the
// same footage (24000/1001 for 23.976), so that frames held by the Frame Rate are the same frames.
// A rate outside the list is the smallest step between times, to 1/1000 of a frame per second.
//
// Not thread-safe: its owner guards it.
#include <cstddef>
#include <cstdint>
#include <deque>

namespace Kiln::Frei0r {

class FrameClock {
public:
    // Notes a host time in seconds; times that are no frame's (NaN, negative, huge) are ignored.
    void note(double seconds);
    // Distinct times noted (counting stops at a few).
    size_t timesSeen() const { return times_.size(); }
    // The rate the times noted so far tell, 0 while fewer than two times have been seen.
    double rate() const { return rate_; }
    const std::deque<double>& times() const { return times_; }

    // The rate that explains `times` best (exposed for tests); 0 for fewer than two times.
    static double rateOf(const std::deque<double>& times);

private:
    std::deque<double> times_;  // the most recent distinct times, oldest first
    double rate_ = 0.0;
};

}  // namespace Kiln::Frei0r
