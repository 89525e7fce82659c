#pragma once
// One instance of the filter: its parameter values, the footage's clock and the source frames it keeps.
// Instances share nothing that changes, and one instance may be called from several threads at once
// (MLT's parallel export does): every frame is filtered in buffers of its own.
//
// A frame, step by step (update):
//   1 values         the values the calling thread set since its last frame, the latest of any thread
//                    for the rest (MLT sets every value, keyframed ones too, before each frame on the
//                    thread that filters it; GStreamer sets them from the application's thread)
//   2 frame number   the host's time in seconds times the footage rate, rounded: the user's
//                    "footageFps", or while that is 0 the rate of the host's times (klF0rClock.h); a
//                    time that cannot be one (NaN, negative, beyond 32 bits) gives the frame after the
//                    previous one
//   3 source         frei0r's RGBA bytes turned into the effect's ARGB, alpha as it is: the effect
//                    treats it as it treats any host's frame (see the README); kept when a later frame
//                    may hold it (klF0rFrames.h)
//   4 render         the effect over the frei0r host (klF0rHost.h), into the host's output buffer; the
//                    instance's held frame (effect/klHeldFrame.h) spares the lens, blur and quantiser
//                    while the camera shows the same source frame. It is used only for exactly the same
//                    source bytes and settings, so the frames do not depend on which instance or thread
//                    renders which frame (MLT's parallel export: each instance keeps its own)
//   5 output         ARGB turned back into RGBA, in place
//
// A failure leaves the input in the output and returns the message (the caller reports it).
#include "effect/klHeldFrame.h"
#include "frei0r/klF0rFrames.h"
#include "frei0r/klF0rParams.h"
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "wrapper/klFilterSupport.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Kiln::Frei0r {

class Instance {
public:
    // The footage rate while none is known: one time seen, or none usable.
    static constexpr double kFallbackRate = 25.0;
    // How long an instance's first frame waits for a second time when its own is not 0 (the rate needs
    // two; another thread may be about to hand frame 0).
    static constexpr std::chrono::milliseconds kSecondTimeWait{500};

    Instance(int32_t width, int32_t height);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    // The latest values, for a caller that sets them on one thread before filtering (not while frames
    // are filtered).
    ParamValues& values() { return values_; }
    const ParamValues& values() const { return values_; }

    // How a value set from a host went.
    enum class SetResult { Set, Clamped, Refused };
    // Sets a value from a frei0r pointer: for the calling thread's next frame and as the latest value.
    SetResult set(int32_t index, const void* value);
    // The latest value into a frei0r pointer.
    void get(int32_t index, void* value) const;

    // The frame number of a time in seconds at the rate known now (step 2); it does not change the
    // instance.
    int32_t frameNumber(double seconds) const;
    // The footage rate in use: the user's, else the times', else kFallbackRate.
    double footageRate() const;

    // Filters one frame of width x height pixels, 4 bytes each, rows without padding. Empty when it
    // worked, else what went wrong (the output then holds the input). Any thread, several at once.
    std::string update(double seconds, const uint32_t* in, uint32_t* out);

    // The last frame number and the kept source frames (testing).
    int32_t lastFrame() const;
    std::vector<int32_t> keptFrames() const { return frames_.kept(); }

private:
    struct Pending {
        std::thread::id thread;
        ParamValues values;
        std::bitset<kParamCount> set;
    };

    int32_t frameNumberLocked(double seconds) const;
    double footageRateLocked() const;
    void render(const ParamValues& values, int32_t frame, double rate, const SharedFrame& source,
                uint32_t* out);

    int32_t width_;
    int32_t height_;
    mutable std::mutex mutex_;
    ParamValues values_;
    std::vector<Pending> pending_;
    double derivedRate_ = 0.0;  // the rate of the host's times, 0 while unknown
    bool firstFrame_ = true;
    bool hasLast_ = false;
    int32_t lastFrame_ = 0;
    std::array<uintptr_t, kParamCount> choiceTexts_{};
    SourceFrames frames_;
    Kiln::Watchcam::HeldFrame held_;
};

// Image memory of the filter: the process heap, installed once as the image core's memory service.
using Kiln::Wrapper::installHeapMemory;

}  // namespace Kiln::Frei0r
