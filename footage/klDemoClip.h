/*
 * The built-in demo clip: a synthetic, deterministic picture that moves, so the effect can be seen without
 * any footage. Colour bars across the top, a grey ramp along the bottom, a drifting colour gradient behind,
 * a disc gliding across and a square turning and bouncing. Opaque, 25 frames per second.
 */
#ifndef KL_DEMO_CLIP_H
#define KL_DEMO_CLIP_H

#include "footage/klFootage.h"

#include <vector>

namespace Kiln::Footage {

struct DemoColour {
    float r, g, b;
};

// One frame of the demo picture; at(x, y) gives pixel (x, y) with channels 0..1. Pixel centres are at
// integer + 0.5.
class DemoFrame {
public:
    DemoFrame(int frame, int width, int height);
    DemoColour at(int x, int y) const;

private:
    float width_, height_;
    float discX_, discY_, discRadius_;
    float squareX_, squareY_, cos_, sin_, squareHalf_;
    std::vector<float> blue_;
};

DemoColour demoColour(int x, int y, int frame, int width, int height);

// The eight bars across the top quarter, left to right: white, yellow, cyan, green, magenta, red, blue,
// black, at 75 % (the usual test-card order).
// Motion is timed at 25 frames per second whatever rate the clip is given.
DemoColour demoBar(int bar);

class DemoReader final : public FootageReader {
public:
    DemoReader(int width, int height, int frames, FrameRate rate = FrameRate{25, 1});
    const FootageInfo& info() const override { return info_; }
    const std::string& name() const override { return name_; }
    Image read(int index, Depth depth) override;

private:
    FootageInfo info_;
    std::string name_ = "demo";
};

}  // namespace Kiln::Footage

#endif
