#pragma once
// The source frames an instance keeps for the frames that follow, so that the frame shown at a time is
// a function of that time and the source frames alone, whatever order the host hands the frames in and
// however many threads it hands them on (MLT's parallel export calls one instance from several threads,
// frames out of order).
//
// The Frame Rate holds source frames: frame n shows the look of an earlier frame Q. Only the frames some
// later frame may hold are kept (the frames Q of the camera's rate), the most recent kKept of them.
// A frame that asks for Q gets:
//   - Q's source when it is kept;
//   - else, when Q is on its way, Q's source after waiting for it: Q has begun on another thread
//     (wait up to kInFlightWait), or the host hands frames on several threads and frames just before Q
//     have come while Q has not (wait up to kExpectedWait, as another thread may not have begun it yet);
//   - else a stand-in: the asking frame's own source, kept as Q's until Q itself comes, for the frames
//     after it (the camera starts afresh there: an editor seeking to a frame shows it as if the camera
//     had started at that frame, and the frames that follow hold it).
// A frame that comes after the one that stood in for Q does not use that stand-in: it stands in
// itself.
//
// Thread-safe.
#include "image/klPixel.h"
#include "image/klTexture.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Kiln::Frei0r {

using SharedFrame = std::shared_ptr<const KlTexture<Kiln::PixARGB8>>;

class SourceFrames {
public:
    static constexpr size_t kKept = 8;
    static constexpr std::chrono::milliseconds kInFlightWait{3000};
    static constexpr std::chrono::milliseconds kExpectedWait{300};

    // Frame n has begun on the calling thread.
    void begin(int32_t frame);
    // Its source is here: kept when a later frame may hold it, then frame n is no longer on its way.
    void arrived(int32_t frame, const SharedFrame& source, bool mayBeHeld);
    // Frame n ended without a source (it failed before it had one).
    void abandoned(int32_t frame);

    // The source of frame `wanted` for frame `asking`, whose own source is `own` (see above).
    SharedFrame frameFor(int32_t wanted, int32_t asking, const SharedFrame& own);

    // What is kept (testing): frame numbers, stand-ins included.
    std::vector<int32_t> kept() const;

private:
    struct Kept {
        int32_t frame;
        SharedFrame source;
        bool standIn;
        int32_t standInFrom;  // the frame whose source stands in
    };

    const Kept* find(int32_t frame) const;
    void keep(Kept k);
    bool inFlight(int32_t frame) const;
    bool expected(int32_t frame) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Kept> kept_;  // oldest first
    std::vector<int32_t> inFlight_;
    std::deque<int32_t> recent_;  // the frames begun most recently
    std::deque<std::thread::id> recentThreads_;  // their threads
};

}  // namespace Kiln::Frei0r
