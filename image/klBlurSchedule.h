#pragma once
// The schedule of the blur's one pass: which thread blurs which rows horizontally and which carries
// which column band down the image, with no thread waiting while there is work it may do. It knows
// rows, items and bands only, not pixels, so it can be driven and checked on its own.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Kiln {

namespace Blur {

// Who does what in the blur's one pass. Items (rows to blur horizontally) and bands (columns
// carried down the image) go to whichever thread asks first; a band moves on only over rows
// already blurred, and an item is handed out only once the ring rows it overwrites are read.
class Schedule {
public:
    Schedule() = default;
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;

    // pinnedItems items come first and are all done before any band starts; streamed item i
    // (after them) makes rows firstRow[i] .. lastRow[i] of `rows`, in the ring of ringRows rows
    // (0: no ring). A band at progress o (next row of its first vertical pass) reads rows from
    // o - reach and is finished at end; it is handed out when it can move on by `least` rows or
    // to its end.
    void reset(int32_t pinnedItems, std::vector<int32_t> firstRow, std::vector<int32_t> lastRow, int32_t rows,
               int32_t ringRows, int32_t reach, int32_t end, int32_t least, int32_t bands);

    int32_t pinnedItems() const { return pinned_; }
    // Rows 0 .. frontier() - 1 are blurred horizontally.
    int32_t frontier();
    // The next item, or -1 when none can be started now.
    int32_t claimItem();
    void finishItem(int32_t item);
    // A band that can move on (searching from `hint`), or -1.
    int32_t claimBand(int32_t hint);
    // The band's new progress while it is held, and when it is given back.
    void publish(int32_t band, int32_t progress);
    void releaseBand(int32_t band, int32_t progress, bool finished);
    bool finished() const;
    // A thread leaves before the pass is finished (an interrupt or a failure): the others stop too.
    void abandon();
    bool abandoned() const { return abandoned_.load(std::memory_order_acquire); }
    // What has happened so far; wait(seen) returns once more has happened, or after a millisecond.
    uint32_t events() const { return events_.load(std::memory_order_seq_cst); }
    void wait(uint32_t seen);

private:
    void changed();

    int32_t pinned_ = 0, rows_ = 0, ringRows_ = 0, reach_ = 0, end_ = 0, least_ = 0, bands_ = 0;
    std::vector<int32_t> firstRow_, lastRow_;
    std::unique_ptr<std::atomic<int32_t>[]> state_;  // items done, then per band: progress, busy, finished
    size_t capacity_ = 0;
    std::atomic<int32_t> nextItem_{0};
    std::atomic<int32_t> pinnedDone_{0};
    std::atomic<int32_t> prefix_{0};  // streamed items known done in order
    std::atomic<int32_t> bandsDone_{0};
    std::atomic<bool> abandoned_{false};
    std::atomic<uint32_t> events_{0};
    std::atomic<int32_t> sleepers_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace Blur

}  // namespace Kiln
