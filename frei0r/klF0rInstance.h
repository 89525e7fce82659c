#pragma once
// One instance of the filter: its parameter values, its frames and what it remembers between frames.
// Instances share nothing that changes: hosts run several at once, each on its own thread.
//
// A frame, step by step (update):
//   1 frame number   the host's time in seconds times footageFps, rounded; a time that cannot be one
//                    (NaN, negative, beyond 32 bits) gives the frame after the previous one
//   2 source         frei0r's RGBA bytes turned into the effect's ARGB, alpha as it is: the effect
//                    treats it as it treats any host's frame (see the README)
//   3 render         the effect over the frei0r host (klF0rHost.h), into the host's output buffer
//   4 output         ARGB turned back into RGBA, in place
//
// Frame Rate holds frames. The effect asks for an earlier frame Q while frame n is filtered; a filter
// only ever has frame n, so the instance keeps one frame: the last kept frame of the camera. After a
// frame whose source was the current frame it holds that frame (as frame n); when the effect asks for
// a frame it does not hold, the current frame stands in and is held as that frame, so the camera
// "starts afresh" there. Frames must come in order (n, or n + 1 after n); any other frame drops the
// held one first. Holding swaps two buffers: it copies nothing.
//
// A failure leaves the input in the output and returns the message (the caller reports it).
#include "frei0r/klF0rParams.h"
#include "image/klPixel.h"
#include "image/klTexture.h"

#include <cstdint>
#include <string>

namespace Kiln::Frei0r {

class Instance {
public:
    Instance(int32_t width, int32_t height);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    ParamValues& values() { return values_; }
    const ParamValues& values() const { return values_; }

    // The frame number of a time in seconds (step 1); it does not change the instance.
    int32_t frameNumber(double seconds) const;

    // Filters one frame of width x height pixels, 4 bytes each, rows without padding. Empty when it
    // worked, else what went wrong (the output then holds the input).
    std::string update(double seconds, const uint32_t* in, uint32_t* out);

    // What the instance remembers: the last frame number and the held frame (testing).
    int32_t lastFrame() const { return lastFrame_; }
    bool holds() const { return hasHeld_; }
    int32_t heldFrame() const { return heldFrame_; }

private:
    void render(int32_t frame, uint32_t* out);

    int32_t width_;
    int32_t height_;
    ParamValues values_;
    KlTexture<Kiln::PixARGB8> current_;  // the frame being filtered, ARGB
    KlTexture<Kiln::PixARGB8> held_;  // the kept frame, ARGB
    bool hasHeld_ = false;
    int32_t heldFrame_ = 0;
    bool hasLast_ = false;
    int32_t lastFrame_ = 0;
};

// Image memory of the filter: the process heap, installed once as the image core's memory service.
void installHeapMemory();

}  // namespace Kiln::Frei0r
