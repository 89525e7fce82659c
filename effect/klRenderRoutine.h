#pragma once
// The render routine's decisions, apart from the plumbing: which frame is shown, which stages run and
// with what settings. WornScreenEffect::render (klRenderRoutine.cpp) runs the stages in this order:
//
//   1 render facts    t, sx, sy, pixel aspect, H from the host; syAdj = sy, meanScale
//   2 parameters      readSettings at t
//   3 lens switch     lensEffect and |lensStrength| > 0.1 in single precision
//   4 blank frame     whiteDot > 0.99 (or resolution < 0.01): transparent black, nothing fetched
//   5 source          play position S -> played frame P -> dropped frame Q, fetched (non-optional)
//   6 random stream   starts at seed; one draw for the breakup step
//   7 resolution      always 1 for this effect: nothing to reduce
//   8 lens            k = exp(-lensStrength), radii lensRadius*sx and lensRadius*syAdj*pixelAspect
//   9 blur            blur > 0.1: box sizes blur*sx/3, blur*syAdj/3, three iterations
//  10 sampler set-up  WornScreenSettings from the parameters and facts
//  11 quantise        with the working image's own bounds
//  12 sampler run     into the output
//  13 scan lines      spacing trunc(scanlineWidth * syAdj), only above 1
// Every image is a texture owned by the routine's scope, so each is freed on every way out.
#include "effect/klWatchcamParams.h"
#include "effect/klWornScreenSampler.h"
#include "wrapper/klWrapperHostI.h"

#include <cstdint>

namespace Kiln::Watchcam {

struct RenderFacts {
    double time = 0.0;  // t, frames
    double sx = 1.0;  // horizontal render scale
    double sy = 1.0;  // vertical render scale
    double pixelAspect = 1.0;
    double hostRate = 0.0;  // H, frames per second (0 without a host)
    double syAdj = 1.0;  // sy * 1.0
    double meanScale = 1.0;  // (sx + syAdj) / 2
};

// From the host, or the values of an effect without one.
RenderFacts renderFacts(Kiln::Wrapper::HostI* host);

// Which frame of "Source" a render shows.
struct SourceFrame {
    double position = 0.0;  // S
    int32_t played = 0;  // P
    int32_t fetched = 0;  // Q
};
// From the play position: P = trunc(S + 0.5); then the repeat rule when the set declares
// `repeatFrames`, else frame dropping with F = framesPerSec (F = H without that parameter).
SourceFrame sourceFrame(const Settings& s, double position, double hostRate);

// Stage switches.
bool lensOn(const Settings& s);
// "Blur" above 0.1. The host keeps the slider in 16.16 fixed point, so a typed 0.1 arrives as
// 6554 / 65536 = 0.1000061: values within half a fixed-point step of 0.1 count as 0.1.
bool blurOn(double blur);
inline bool blurOn(const Settings& s) { return blurOn(s.blur); }
bool isBlank(const Settings& s);

struct LensGeometry {
    float k = 1.0f;  // exp(-lensStrength)
    float radiusX = 0.0f;
    float radiusY = 0.0f;
    float centreX = 0.0f;  // half the frame
    float centreY = 0.0f;
    int32_t filter = 1;  // 1 bilinear when `filtered` is non-zero, 0 nearest
};
LensGeometry lensGeometry(const Settings& s, const RenderFacts& f, int32_t frameWidth, int32_t frameHeight);

struct BlurSizes {
    float x = 0.0f;  // box size per iteration, pixels
    float y = 0.0f;
    int32_t iterations = 3;
};
BlurSizes blurSizes(const Settings& s, const RenderFacts& f);

// Rows per pixel of size along the vertical: syAdj * pixelAspect. Sizes are given in the layer's
// horizontal pixels, so a lens stays round and scan lines keep their proportions on non-square pixels.
double verticalScale(const RenderFacts& f);

// The scan-line period in rows: trunc(scanlineWidth * verticalScale); the stage runs only above 1.
int32_t scanlineSpacing(const Settings& s, const RenderFacts& f);

// The sampler's settings. `frame` is the frame number being rendered, frameWidth x frameHeight the layer's size.
Kiln::WornScreenSettings samplerSettings(const Settings& s, const RenderFacts& f, int32_t frame,
                                         float frameWidth, float frameHeight);

// The frame number of a render time (trunc, saturating).
int32_t frameNumber(double time);

}  // namespace Kiln::Watchcam
