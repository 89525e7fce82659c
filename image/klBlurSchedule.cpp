#include "image/klBlurSchedule.h"

#include <algorithm>
#include <chrono>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Kiln {

namespace Blur {

// state_: items' done flags, then four words per band: progress, busy, finished, spare.
void Schedule::reset(int32_t pinnedItems, std::vector<int32_t> firstRow, std::vector<int32_t> lastRow,
                     int32_t rows, int32_t ringRows, int32_t reach, int32_t end, int32_t least, int32_t bands)
{
    pinned_ = pinnedItems;
    firstRow_ = std::move(firstRow);
    lastRow_ = std::move(lastRow);
    rows_ = rows;
    ringRows_ = ringRows;
    reach_ = reach;
    end_ = end;
    least_ = std::max(least, 1);
    bands_ = bands;
    const size_t items = size_t(pinned_) + firstRow_.size();
    const size_t words = items + 4 * size_t(bands_);
    if (words > capacity_) {
        state_.reset(new std::atomic<int32_t>[words]);
        capacity_ = words;
    }
    for (size_t i = 0; i < items; ++i) state_[i].store(0, std::memory_order_relaxed);
    for (int32_t b = 0; b < bands_; ++b) {
        std::atomic<int32_t>* w = &state_[items + 4 * size_t(b)];
        w[0].store(reach_, std::memory_order_relaxed);
        w[1].store(0, std::memory_order_relaxed);
        w[2].store(0, std::memory_order_relaxed);
    }
    nextItem_.store(0, std::memory_order_relaxed);
    pinnedDone_.store(0, std::memory_order_relaxed);
    prefix_.store(0, std::memory_order_relaxed);
    bandsDone_.store(0, std::memory_order_release);
    abandoned_.store(false, std::memory_order_release);
}

int32_t Schedule::frontier()
{
    if (pinnedDone_.load(std::memory_order_acquire) < pinned_) return 0;
    const int32_t streamed = int32_t(firstRow_.size());
    int32_t p = prefix_.load(std::memory_order_acquire);
    const int32_t seen = p;
    while (p < streamed && state_[size_t(pinned_ + p)].load(std::memory_order_acquire) != 0) ++p;
    if (p != seen) {
        int32_t expected = seen;
        while (expected < p && !prefix_.compare_exchange_weak(expected, p, std::memory_order_acq_rel)) { }
    }
    return p >= streamed ? rows_ : firstRow_[size_t(p)];
}

int32_t Schedule::claimItem()
{
    const int32_t items = pinned_ + int32_t(firstRow_.size());
    int32_t i = nextItem_.load(std::memory_order_acquire);
    while (i < items) {
        if (i >= pinned_ && ringRows_ > 0) {
            // The ring row an item overwrites must have been read by every band.
            const int32_t overwritten = lastRow_[size_t(i - pinned_)] - ringRows_;
            const std::atomic<int32_t>* band = &state_[size_t(items)];
            for (int32_t b = 0; b < bands_; ++b, band += 4)
                if (band[2].load(std::memory_order_acquire) == 0 &&
                    band[0].load(std::memory_order_acquire) - reach_ <= overwritten)
                    return -1;
        }
        if (nextItem_.compare_exchange_weak(i, i + 1, std::memory_order_acq_rel)) return i;
    }
    return -1;
}

void Schedule::finishItem(int32_t item)
{
    if (item < pinned_)
        pinnedDone_.fetch_add(1, std::memory_order_acq_rel);
    else
        state_[size_t(item)].store(1, std::memory_order_release);
    changed();
}

int32_t Schedule::claimBand(int32_t hint)
{
    const int32_t ready = frontier();
    const size_t items = size_t(pinned_) + firstRow_.size();
    for (int32_t k = 0; k < bands_; ++k) {
        const int32_t b = int32_t((uint32_t(hint) + uint32_t(k)) % uint32_t(bands_));
        std::atomic<int32_t>* w = &state_[items + 4 * size_t(b)];
        if (w[2].load(std::memory_order_acquire) != 0 || w[1].load(std::memory_order_relaxed) != 0) continue;
        const int32_t o = w[0].load(std::memory_order_acquire);
        const int32_t can = std::min(end_, ready - reach_) - o;
        if (can <= 0 || can < std::min(least_, end_ - o)) continue;
        int32_t idle = 0;
        if (w[1].compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
            // Another thread may have moved it on between the look and the claim.
            if (w[2].load(std::memory_order_acquire) == 0) return b;
            w[1].store(0, std::memory_order_release);
        }
    }
    return -1;
}

void Schedule::publish(int32_t band, int32_t progress)
{
    state_[size_t(pinned_) + firstRow_.size() + 4 * size_t(band)].store(progress, std::memory_order_release);
}

void Schedule::releaseBand(int32_t band, int32_t progress, bool finished)
{
    std::atomic<int32_t>* w = &state_[size_t(pinned_) + firstRow_.size() + 4 * size_t(band)];
    w[0].store(progress, std::memory_order_release);
    if (finished) {
        w[2].store(1, std::memory_order_release);
        bandsDone_.fetch_add(1, std::memory_order_acq_rel);
    }
    w[1].store(0, std::memory_order_release);
    changed();
}

bool Schedule::finished() const { return bandsDone_.load(std::memory_order_acquire) >= bands_; }

void Schedule::abandon()
{
    abandoned_.store(true, std::memory_order_release);
    changed();
}

void Schedule::changed()
{
    events_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_all();
    }
}

void Schedule::wait(uint32_t seen)
{
    // A moment of spinning (work usually turns up within microseconds), then sleep until woken.
    for (int i = 0; i < 200; ++i) {
        if (events_.load(std::memory_order_acquire) != seen) return;
#ifdef __SSE2__
        _mm_pause();
#endif
    }
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(1),
                       [&] { return events_.load(std::memory_order_seq_cst) != seen; });
    }
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace Blur

}  // namespace Kiln
