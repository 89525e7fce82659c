/*
 * The host's downsample: a frame shrunk to the render scale before the module sees it, as a compositing
 * host hands an effect its layer at draft resolution. Each output pixel is the area-weighted mean of the
 * source pixels it covers (pixel centres at integer + 0.5, so the picture stays centred), computed in
 * float and rounded to nearest for integer depths; channels are averaged independently.
 */
#ifndef KL_RESAMPLE_H
#define KL_RESAMPLE_H

#include "runner/klRunner.h"

#include <vector>

namespace Kiln::Footage {

// Size of a side at render scale `scale`: rounded to nearest, at least 1.
int scaledSize(int size, double scale);

struct Tap {
    int index;
    float weight;
};
// For each of `outSize` output positions, the source positions it covers and their weights (summing to 1).
std::vector<std::vector<Tap>> areaTaps(int inSize, int outSize);

Runner::Image downsample(const Runner::Image& source, int width, int height);

// How a stored picture is turned to be shown (a phone held upright): the stored pixel (x, y) is shown at
// (a x + c y, b x + d y), moved so that the picture starts at (0, 0). Each of a, b, c, d is -1, 0 or 1,
// making the eight turns and mirrorings by quarter turns.
struct Orientation {
    int a = 1, b = 0, c = 0, d = 1;
    bool identity() const { return a == 1 && b == 0 && c == 0 && d == 1; }
    bool swapsSides() const { return a == 0; }
};

Runner::Image reorient(const Runner::Image& source, Orientation o);

}  // namespace Kiln::Footage

#endif
