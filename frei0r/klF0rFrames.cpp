#include "frei0r/klF0rFrames.h"

#include <algorithm>

namespace Kiln::Frei0r {

namespace {

constexpr size_t kRecent = 32;
// Frames this close before Q having come tell that Q is on its way.
constexpr int32_t kNear = 8;

}  // namespace

void SourceFrames::begin(int32_t frame)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    inFlight_.push_back(frame);
    recent_.push_back(frame);
    recentThreads_.push_back(std::this_thread::get_id());
    if (recent_.size() > kRecent) {
        recent_.pop_front();
        recentThreads_.pop_front();
    }
}

void SourceFrames::arrived(int32_t frame, const SharedFrame& source, bool mayBeHeld)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (mayBeHeld) keep({frame, source, false, frame});
        if (auto i = std::find(inFlight_.begin(), inFlight_.end(), frame); i != inFlight_.end())
            inFlight_.erase(i);
    }
    changed_.notify_all();
}

void SourceFrames::abandoned(int32_t frame)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (auto i = std::find(inFlight_.begin(), inFlight_.end(), frame); i != inFlight_.end())
            inFlight_.erase(i);
    }
    changed_.notify_all();
}

const SourceFrames::Kept* SourceFrames::find(int32_t frame) const
{
    for (const Kept& k : kept_)
        if (k.frame == frame) return &k;
    return nullptr;
}

void SourceFrames::keep(Kept k)
{
    // The frame's own source replaces a stand-in; a newer stand-in replaces an older one.
    for (auto i = kept_.begin(); i != kept_.end(); ++i)
        if (i->frame == k.frame) {
            kept_.erase(i);
            break;
        }
    kept_.push_back(std::move(k));
    if (kept_.size() > kKept) kept_.pop_front();
}

bool SourceFrames::inFlight(int32_t frame) const
{
    return std::find(inFlight_.begin(), inFlight_.end(), frame) != inFlight_.end();
}

bool SourceFrames::expected(int32_t frame) const
{
    // Only a host that hands frames on several threads may hand Q after a later frame.
    bool severalThreads = false;
    for (const std::thread::id& t : recentThreads_) severalThreads |= t != recentThreads_.back();
    if (!severalThreads) return false;
    bool near = false;
    for (int32_t f : recent_) {
        if (f == frame) return false;  // it came and was not kept
        near |= f < frame && f >= frame - kNear;
    }
    return near;
}

SharedFrame SourceFrames::frameFor(int32_t wanted, int32_t asking, const SharedFrame& own)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (const Kept* k = find(wanted); k != nullptr && !k->standIn) return k->source;
        std::chrono::milliseconds wait{0};
        if (inFlight(wanted))
            wait = kInFlightWait;
        else if (find(wanted) == nullptr && expected(wanted))
            wait = kExpectedWait;
        if (wait.count() == 0) break;
        if (changed_.wait_until(lock, start + wait) == std::cv_status::timeout) {
            if (const Kept* k = find(wanted); k != nullptr && !k->standIn) return k->source;
            break;
        }
    }
    if (const Kept* k = find(wanted); k != nullptr && k->standIn && k->standInFrom <= asking)
        return k->source;
    keep({wanted, own, true, asking});
    return own;
}

std::vector<int32_t> SourceFrames::kept() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int32_t> frames;
    for (const Kept& k : kept_) frames.push_back(k.frame);
    return frames;
}

}  // namespace Kiln::Frei0r
