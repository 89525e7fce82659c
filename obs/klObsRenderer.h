#pragma once
// One filter's frames through the effect, on the CPU: what the filter remembers between frames, and the
// steps of one frame. Used by one thread at a time (the filter's worker, klObsWorker.h).
//
// A frame, step by step (render):
//   1 frame number   the frame's timestamp (nanoseconds, OBS's clock) on OBS's output rate, counted from
//                    the first frame the filter saw: round((t - t0) * rate). Time going back (a media file
//                    starting over, a clock reset) or a rate change starts the count afresh there.
//   2 source         OBS's BGRA bytes turned into the effect's ARGB: the same four bytes reversed
//   3 render         the effect over the OBS host (klObsHost.h), at 8 bits
//   4 output         ARGB reversed back into BGRA
//
// Frame Rate holds frames: the effect asks for the frame Q the camera kept while frame n is shown; the
// filter only has frame n, so it keeps one frame, the camera's last kept frame. When the effect asks for a
// frame it does not hold, the current frame stands in and is held as that frame. Since n comes from the
// timestamps and the rate OBS runs at, a frame is held for the same time at 30, 60 or 59.94 frames per
// second, and for async sources whatever their own rate. Time going back or a new frame size drops the
// held frame.
//
// A failure leaves the input in the output and returns the message.
#include "image/klMultiProcessor.h"
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "obs/klObsSettings.h"
#include "wrapper/klFilterSupport.h"

#include <cstdint>
#include <string>

namespace Kiln::Obs {

// A canvas rate: num / den frames per second.
struct Rate {
    uint32_t num = 30;
    uint32_t den = 1;
    double fps() const { return den == 0 ? 0.0 : double(num) / double(den); }
    bool operator==(const Rate&) const = default;
};

class FrameRenderer {
public:
    FrameRenderer();

    // The frame number of a timestamp (step 1); updates the count's start when time went back.
    int32_t frameNumber(uint64_t ns, Rate rate);

    // Filters one frame of width x height BGRA pixels (rows `inStride` bytes apart) into `out` (rows
    // width * 4 bytes apart). Empty when it worked, else what went wrong.
    std::string render(const Values& values, uint64_t ns, Rate rate, const uint8_t* in, int32_t width,
                       int32_t height, int32_t inStride, uint8_t* out, KlInterruptHook* hook);

    // What it remembers (testing).
    int32_t lastFrame() const { return lastFrame_; }
    bool holds() const { return hasHeld_; }
    int32_t heldFrame() const { return heldFrame_; }

private:
    bool started_ = false;
    uint64_t start_ = 0;
    Rate rate_;
    bool hasLast_ = false;
    int32_t lastFrame_ = 0;
    KlTexture<Kiln::PixARGB8> current_;
    KlTexture<Kiln::PixARGB8> held_;
    bool hasHeld_ = false;
    int32_t heldFrame_ = 0;
};

// Image memory of the filter: the process heap, installed once as the image core's memory service.
using Kiln::Wrapper::installHeapMemory;

}  // namespace Kiln::Obs
