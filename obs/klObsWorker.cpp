#include "obs/klObsWorker.h"

#include <cstring>
#include <utility>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Kiln::Obs {

Worker::Worker(std::function<void(const std::string&)> report)
    : report_(std::move(report)), thread_([this] { run(); })
{ }

Worker::~Worker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        hook_.interrupted.store(1);
    }
    wake_.notify_all();
    thread_.join();
}

uint64_t Worker::submit(const FrameJob& job, const uint8_t* pixels, int32_t width, int32_t height,
                        int32_t stride)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t row = size_t(width) * 4;
    pending_.pixels.resize(row * size_t(height));
    for (int32_t y = 0; y < height; ++y)
        std::memcpy(pending_.pixels.data() + row * size_t(y), pixels + size_t(y) * size_t(stride), row);
    pending_.width = width;
    pending_.height = height;
    pending_.serial = ++submitted_;
    pendingJob_ = job;
    hasPending_ = true;
    wake_.notify_one();
    return submitted_;
}

bool Worker::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return hasPending_;
}

bool Worker::take(FrameResult& result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.serial <= result.serial) return false;
    std::swap(ready_, result);
    // What the caller gave back keeps its memory for a later frame, but is never newer.
    ready_.serial = 0;
    return true;
}

bool Worker::waitFor(uint64_t serial, FrameResult& result, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, timeout, [&] { return ready_.serial >= serial || stop_; });
    if (ready_.serial < serial || ready_.serial <= result.serial) return false;
    std::swap(ready_, result);
    ready_.serial = 0;
    return true;
}

void Worker::run()
{
    // Below OBS's own threads: when the processors are short, OBS's frames come first and the effect
    // shows fewer new frames, instead of OBS skipping frames. The effect's stage threads, started from
    // this one, inherit it.
    setpriority(PRIO_PROCESS, pid_t(gettid()), kNice);
    // Named, for top and perf (the stage threads take the name too).
    pthread_setname_np(pthread_self(), "watchcam-obs");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || hasPending_; });
        if (stop_) return;
        std::swap(pending_, input_);
        const FrameJob job = pendingJob_;
        hasPending_ = false;
        lock.unlock();

        output_.pixels.resize(input_.pixels.size());
        output_.width = input_.width;
        output_.height = input_.height;
        output_.serial = input_.serial;
        const std::string failure =
            renderer_.render(job.values, job.ns, job.rate, input_.pixels.data(), input_.width, input_.height,
                             input_.width * 4, output_.pixels.data(), &hook_);

        lock.lock();
        if (stop_) return;
        if (!failure.empty() && report_) {
            lock.unlock();
            report_(failure);
            lock.lock();
        }
        // A failed frame shows its input (the renderer left it in the output).
        if (output_.serial > ready_.serial) std::swap(output_, ready_);
        done_.notify_all();
    }
}

}  // namespace Kiln::Obs
