#pragma once
// The filter's worker thread: runs the effect beside OBS's graphics thread, so that a frame's CPU work
// does not hold up OBS's rendering.
//
// The graphics thread submits the source frame it read back and, when OBS draws the filter, takes the
// newest finished frame. One frame waits at most: a submission while one is waiting replaces it (the
// newest frame wins), so the worker never falls behind OBS. Results carry the serial number of their
// submission, so a caller can wait for a particular frame (the first one, or the first of a new size).
//
// The worker and the effect's stage threads it starts run at a lower priority than OBS (kNice).
//
// Stopping (the destructor) interrupts the frame being rendered at its next row and joins the thread: a
// filter removed while frames are in flight waits for nothing longer than a row band.
#include "obs/klObsRenderer.h"
#include "obs/klObsSettings.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Kiln::Obs {

struct FrameJob {
    Values values;
    uint64_t ns = 0;
    Rate rate;
};

// A finished frame: BGRA, rows width * 4 bytes apart.
struct FrameResult {
    std::vector<uint8_t> pixels;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t serial = 0;
};

class Worker {
public:
    // The worker's niceness (and its stage threads').
    static constexpr int kNice = 10;

    // `report` receives a failed frame's message, on the worker thread.
    explicit Worker(std::function<void(const std::string&)> report = {});
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Copies a frame of BGRA rows `stride` bytes apart; returns its serial number (from 1).
    uint64_t submit(const FrameJob& job, const uint8_t* pixels, int32_t width, int32_t height,
                    int32_t stride);
    // Whether a submitted frame waits for the worker.
    bool waiting() const;
    // Swaps the newest finished frame into `result` when it is newer than `result`; false otherwise.
    bool take(FrameResult& result);
    // As take, waiting up to `timeout` for the frame of serial `serial` (or a later one).
    bool waitFor(uint64_t serial, FrameResult& result, std::chrono::milliseconds timeout);

private:
    void run();

    std::function<void(const std::string&)> report_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // a frame to render, or stop
    std::condition_variable done_;  // a frame finished
    bool stop_ = false;
    KlInterruptHook hook_;

    // Guarded by mutex_.
    bool hasPending_ = false;
    FrameJob pendingJob_;
    FrameResult pending_;  // input pixels, packed
    FrameResult ready_;  // the newest finished frame
    uint64_t submitted_ = 0;

    // The worker's own.
    FrameRenderer renderer_;
    FrameResult input_;
    FrameResult output_;

    std::thread thread_;  // last: starts after everything above exists
};

}  // namespace Kiln::Obs
