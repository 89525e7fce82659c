/*
 * Frames for the page: a host picture as 8-bit bytes and as PNG.
 *
 * 8-bit pictures are passed through unchanged, so a frame shown is byte for byte the frame an 8-bit output
 * file holds. 16-bit (0..32768) and float pictures are brought to 8 bits by one fixed rounding, the same
 * every time: 16-bit v -> (v * 255 + 16384) / 32768, float v -> v clamped to 0..1 times 255, rounded to
 * nearest (NaN shows as 0).
 */
#ifndef KL_PREVIEW_PNG_H
#define KL_PREVIEW_PNG_H

#include "runner/klRunner.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Kiln::Preview {

struct DisplayPicture {
    int width = 0, height = 0;
    int channels = 4;  // 3: RGB, 4: RGBA
    std::vector<uint8_t> bytes;  // rows of width * channels bytes, top row first
};

// RGBA, or RGB when `alpha` is false (as a file without alpha holds the picture).
DisplayPicture toDisplay(const Runner::Image& image, bool alpha);

// zlib level 0 (stored) to 9; low levels are what keeps a 1080p frame quick to send.
std::string encodePng(const DisplayPicture& picture, int level = 1);

}  // namespace Kiln::Preview

#endif
