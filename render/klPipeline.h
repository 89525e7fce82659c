/*
 * Work handed from thread to thread in order, as a render overlaps reading, rendering and writing.
 *
 * - A BoundedQueue holds at most a few items, so a fast stage waits for a slow one instead of filling
 *   memory; items come out in the order they went in.
 * - A pipeline stops as a whole: stop() ends every wait at once (an interrupt, a failure that makes the
 *   rest pointless), close() lets what is queued drain first (the last item went in).
 * - FirstFailure keeps the failure a serial run would have met first: the one at the lowest frame, and at
 *   one frame the earlier stage's. A later stage may still be finishing earlier frames when a failure
 *   is recorded, and a failure it meets there wins, so messages do not depend on timing.
 * - runOverlapped() puts these together for a render: one step on the calling thread, the next on a thread
 *   of its own, frames handed over in order; it returns only once both have ended, however they end.
 * Nothing here knows about pictures; it is tested on its own (and under ThreadSanitizer).
 */
#ifndef KL_PIPELINE_H
#define KL_PIPELINE_H

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace Kiln::Footage {

template <class T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity_(std::max<size_t>(1, capacity)) { }

    // Waits for room. False when the queue was stopped or closed: the item is dropped.
    bool push(T item)
    {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return items_.size() < capacity_ || stopped_ || closed_; });
        if (stopped_ || closed_) return false;
        items_.push_back(std::move(item));
        ready_.notify_one();
        return true;
    }

    // The oldest item, waiting for one; empty once the queue is closed and drained, or stopped.
    std::optional<T> pop()
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !items_.empty() || stopped_ || closed_; });
        if (stopped_ || items_.empty()) return std::nullopt;
        std::optional<T> item(std::move(items_.front()));
        items_.pop_front();
        room_.notify_one();
        return item;
    }

    // Nothing more comes: pop() hands out what is queued, then returns empty.
    void close()
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        ready_.notify_all();
        room_.notify_all();
    }

    // Everything ends now: waiting calls return at once and what is queued is dropped.
    void stop()
    {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            std::swap(dropped, items_);
            ready_.notify_all();
            room_.notify_all();
        }
    }

    size_t capacity() const { return capacity_; }

private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<T> items_;
    bool closed_ = false, stopped_ = false;
};

class FirstFailure {
public:
    // Keeps `error`, met at `frame` in `stage` (stages numbered in the order a frame passes them), when it
    // comes before the failure kept so far.
    void record(long frame, int stage, std::exception_ptr error)
    {
        std::lock_guard lock(mutex_);
        if (error_ && !(std::pair(frame, stage) < std::pair(frame_, stage_))) return;
        error_ = std::move(error);
        frame_ = frame;
        stage_ = stage;
        any_.store(true);
    }

    bool any() const { return any_.load(); }

    // Whether a failure is kept that comes before `stage` of `frame`: that work need not be done.
    bool before(long frame, int stage) const
    {
        if (!any_.load()) return false;
        std::lock_guard lock(mutex_);
        return std::pair(frame_, stage_) < std::pair(frame, stage);
    }

    // Throws the failure kept, if any.
    void rethrow() const
    {
        std::exception_ptr error;
        {
            std::lock_guard lock(mutex_);
            error = error_;
        }
        if (error) std::rethrow_exception(error);
    }

private:
    mutable std::mutex mutex_;
    std::exception_ptr error_;
    long frame_ = 0;
    int stage_ = 0;
    std::atomic<bool> any_{false};
};

// Frames `first`..`last` through two steps that overlap: make(n) on the calling thread, then use(n, item)
// on a thread of its own, in frame order, with at most `waiting` items made and not yet used between them.
// `stopped()` (an interrupt) ends both steps at their next frame, and what either throws once it holds
// counts as the stop. Any other failure ends both, and once both have ended the failure a frame-by-frame
// run would have met first is rethrown. Returns the frame the first step had reached (last + 1 when it
// made every frame).
template <class Make, class Use, class Stopped>
int runOverlapped(int first, int last, size_t waiting, Make&& make, Use&& use, Stopped&& stopped)
{
    enum { MakeStep, UseStep };
    struct Numbered {
        int number;
        decltype(make(first)) item;
    };
    BoundedQueue<Numbered> queue(waiting);
    FirstFailure failure;
    std::thread second([&] {
        while (std::optional<Numbered> m = queue.pop()) {
            if (stopped() || failure.before(m->number, UseStep)) break;
            try {
                use(m->number, std::move(m->item));
            } catch (...) {
                if (!stopped()) failure.record(m->number, UseStep, std::current_exception());
                break;
            }
        }
        queue.stop();  // the first step need not wait for room any more
    });
    // Whatever ends this function, the thread ends first.
    struct Join {
        BoundedQueue<Numbered>& queue;
        std::thread& thread;
        ~Join()
        {
            queue.close();
            thread.join();
        }
    };
    int n = first;
    {
        Join join{queue, second};
        for (; n <= last; ++n) {
            if (stopped() || failure.before(n, MakeStep)) break;
            try {
                if (!queue.push(Numbered{n, make(n)})) break;
            } catch (...) {
                if (!stopped()) failure.record(n, MakeStep, std::current_exception());
                break;
            }
        }
    }
    failure.rethrow();
    return n;
}

}  // namespace Kiln::Footage

#endif
