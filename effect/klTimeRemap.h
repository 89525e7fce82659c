// Which source frame a render shows: play speed moves a play position, a lower camera frame rate holds
// frames. Pure arithmetic; the play position itself comes from the host's integral of the speed.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace Kiln::Watchcam {

// Truncates toward zero, saturating where a plain cast would be undefined.
inline int32_t truncToInt(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The played frame of play position S: S + 0.5 truncated toward zero (-9.7 gives -9, -10 gives -9).
inline int32_t playedFrame(double position) { return truncToInt(position + 0.5); }

// Drops frames for a camera recording `cameraFps` frames per second on a layer of `hostFps`: the played
// frame moves toward zero to the nearest multiple of hostFps / cameraFps. A camera rate of 0 drops nothing.
inline int32_t droppedFrame(int32_t played, double hostFps, double cameraFps)
{
    const double ratio = hostFps / cameraFps;  // infinite for a rate of 0: nothing is dropped
    const double q = double(played) / ratio;
    double whole = 0.0;
    const double fraction = std::modf(q, &whole);
    if (fraction == 0.0 || std::isnan(fraction)) return played;
    return truncToInt(whole * ratio);
}

// Effects that declare `repeatFrames` hold every N frames instead; the remainder follows the sign of P.
inline int32_t repeatedFrame(int32_t played, int32_t every)
{
    if (every == 0) return played;
    return played - played % every;
}

}  // namespace Kiln::Watchcam
