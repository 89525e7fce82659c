#pragma once
// The source frames instances keep for the frames that follow, so that the frame shown at a time is a
// function of that time and the source frames alone, whatever order the host hands the frames in and
// however many threads it hands them on.
//
// The Frame Rate holds source frames: frame n shows the look of an earlier frame Q. Only the frames some
// later frame may hold are kept (the frames Q of the camera's rate), the most recent kKept of them per
// instance.
//
// One filter, several instances. MLT's parallel export makes one instance of a filter per thread and
// hands each the frames its thread takes, so the frame Q that frame n holds may have gone to another
// instance. Instances of one filter find each other's frames: they have the same frame size, were handed
// the same choice values at the same addresses (MLT hands each of them its property's own text), and
// split the frames: of their recent frames they were handed at most two the same. Instances of other
// filters, or of one filter each (FFmpeg, GStreamer), are handed the same frame numbers and keep to
// their own; two such filters of one size and the same choices (or none) that start together may take
// each other's frames for their first couple of frames, where their own frame is missing.
//
// The footage rate comes from the times of all instances of the filter, as each may be handed only
// some of the frames.
//
// A frame that asks for Q gets:
//   - Q's source when it is kept (by its instance or another of its filter);
//   - else, when Q is on its way, Q's source after waiting for it: Q has begun on another thread
//     (wait up to kInFlightWait), or frames are handed on several threads and frames just before Q
//     have come while Q has not, or no other frame of the filter has come yet (wait up to
//     kExpectedWait: another thread may not have begun it yet);
//   - else a stand-in: the asking frame's own source, kept as Q's until Q itself comes, for the frames
//     after it (the camera starts afresh there: an editor seeking to a frame shows it as if the camera
//     had started at that frame, and the frames that follow hold it). A frame before the one that
//     stood in does not use that stand-in: it stands in itself.
//
// Thread-safe: all instances share one lock.
#include "frei0r/klF0rClock.h"
#include "image/klPixel.h"
#include "image/klTexture.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace Kiln::Frei0r {

using SharedFrame = std::shared_ptr<const KlTexture<Kiln::PixARGB8>>;

class SourceFrames {
public:
    static constexpr size_t kKept = 8;
    static constexpr std::chrono::milliseconds kInFlightWait{3000};
    static constexpr std::chrono::milliseconds kExpectedWait{500};

    // The frames of one instance of frames width x height.
    SourceFrames(int32_t width, int32_t height);
    ~SourceFrames();
    SourceFrames(const SourceFrames&) = delete;
    SourceFrames& operator=(const SourceFrames&) = delete;

    // What the instance's choice values were handed as (0 for none): instances of one filter share it.
    void setFilterMark(uint64_t mark);

    // Notes a frame's time in seconds and returns the footage rate the times of the filter tell (its
    // instances', see klF0rClock.h), 0 while they tell none. When the filter has no other time and this
    // one is not 0, waits up to `waitForSecond` for another instance's or thread's.
    double noteTime(double seconds, std::chrono::milliseconds waitForSecond);

    // Frame n has begun on the calling thread.
    void begin(int32_t frame);
    // Its source is here: kept when a later frame may hold it, then frame n is no longer on its way.
    void arrived(int32_t frame, const SharedFrame& source, bool mayBeHeld);
    // Frame n ended without a source (it failed before it had one).
    void abandoned(int32_t frame);

    // The source of frame `wanted` for frame `asking`, whose own source is `own` (see above).
    SharedFrame frameFor(int32_t wanted, int32_t asking, const SharedFrame& own);

    // What this instance keeps (testing): frame numbers, stand-ins included.
    std::vector<int32_t> kept() const;

private:
    struct Kept {
        int32_t frame;
        SharedFrame source;
        bool standIn;
        int32_t standInFrom;  // the frame whose source stands in
    };

    // All under the shared lock.
    bool sameFilter(const SourceFrames& other) const;
    std::vector<const SourceFrames*> filter() const;
    const Kept* findOwn(int32_t frame) const;
    void keep(Kept k);
    bool expected(const std::vector<const SourceFrames*>& filter, int32_t frame) const;
    bool fresh(const std::vector<const SourceFrames*>& filter, int32_t asking) const;

    const int32_t width_;
    const int32_t height_;
    uint64_t mark_ = 0;
    FrameClock clock_;
    std::deque<Kept> kept_;  // oldest first
    std::vector<int32_t> inFlight_;
    std::deque<int32_t> recent_;  // the frames begun most recently
    std::deque<std::thread::id> recentThreads_;  // their threads
};

}  // namespace Kiln::Frei0r
