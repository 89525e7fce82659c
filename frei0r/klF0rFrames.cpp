#include "frei0r/klF0rFrames.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace Kiln::Frei0r {

namespace {

constexpr size_t kRecent = 32;
// Frames this close before Q having come tell that Q is on its way.
constexpr int32_t kNear = 8;
// Frames two instances of one filter may both have been handed among their recent ones.
constexpr size_t kSharedFrames = 2;

// Every instance of the process, behind one lock.
struct Shelf {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SourceFrames*> all;
};

Shelf& shelf()
{
    static Shelf s;
    return s;
}

}  // namespace

SourceFrames::SourceFrames(int32_t width, int32_t height) : width_(width), height_(height)
{
    const std::lock_guard<std::mutex> lock(shelf().mutex);
    shelf().all.push_back(this);
}

SourceFrames::~SourceFrames()
{
    {
        const std::lock_guard<std::mutex> lock(shelf().mutex);
        auto& all = shelf().all;
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
    shelf().changed.notify_all();
}

void SourceFrames::setFilterMark(uint64_t mark)
{
    const std::lock_guard<std::mutex> lock(shelf().mutex);
    mark_ = mark;
}

double SourceFrames::noteTime(double seconds, std::chrono::milliseconds waitForSecond)
{
    Shelf& s = shelf();
    std::unique_lock<std::mutex> lock(s.mutex);
    const size_t before = clock_.timesSeen();
    clock_.note(seconds);
    if (clock_.timesSeen() != before) s.changed.notify_all();
    auto times = [&] {
        std::deque<double> all;
        for (const SourceFrames* m : filter())
            for (double t : m->clock_.times()) all.push_back(t);
        return all;
    };
    std::deque<double> all = times();
    if (all.size() < 2 && seconds > 0.0 && waitForSecond.count() > 0) {
        s.changed.wait_for(lock, waitForSecond, [&] { return (all = times()).size() >= 2; });
    }
    return FrameClock::rateOf(all);
}

void SourceFrames::begin(int32_t frame)
{
    const std::lock_guard<std::mutex> lock(shelf().mutex);
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
        const std::lock_guard<std::mutex> lock(shelf().mutex);
        if (mayBeHeld) keep({frame, source, false, frame});
        if (auto i = std::find(inFlight_.begin(), inFlight_.end(), frame); i != inFlight_.end())
            inFlight_.erase(i);
    }
    shelf().changed.notify_all();
}

void SourceFrames::abandoned(int32_t frame)
{
    {
        const std::lock_guard<std::mutex> lock(shelf().mutex);
        if (auto i = std::find(inFlight_.begin(), inFlight_.end(), frame); i != inFlight_.end())
            inFlight_.erase(i);
    }
    shelf().changed.notify_all();
}

bool SourceFrames::sameFilter(const SourceFrames& other) const
{
    if (&other == this) return true;
    if (other.width_ != width_ || other.height_ != height_ || other.mark_ != mark_) return false;
    // Hosts hand a frame twice now and then (MLT repeats the last frame of a clip to each thread): a
    // couple of frames in common still splits the frames; filters of their own share nearly all.
    std::vector<int32_t> common;
    for (int32_t f : recent_)
        if (std::find(other.recent_.begin(), other.recent_.end(), f) != other.recent_.end() &&
            std::find(common.begin(), common.end(), f) == common.end())
            common.push_back(f);
    return common.size() <= kSharedFrames;
}

std::vector<const SourceFrames*> SourceFrames::filter() const
{
    std::vector<const SourceFrames*> members;
    for (const SourceFrames* s : shelf().all)
        if (sameFilter(*s)) members.push_back(s);
    return members;
}

const SourceFrames::Kept* SourceFrames::findOwn(int32_t frame) const
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

bool SourceFrames::expected(const std::vector<const SourceFrames*>& filter, int32_t frame) const
{
    // Only frames handed on several threads may come after a later frame.
    bool severalThreads = filter.size() > 1;
    for (const std::thread::id& t : recentThreads_) severalThreads |= t != recentThreads_.back();
    if (!severalThreads) return false;
    bool near = false;
    for (const SourceFrames* s : filter)
        for (int32_t f : s->recent_) {
            if (f == frame) return false;  // it came and was not kept
            near |= f < frame && f >= frame - kNear;
        }
    return near;
}

bool SourceFrames::fresh(const std::vector<const SourceFrames*>& filter, int32_t asking) const
{
    // The filter's first frame: another thread may not have begun the frames before it yet.
    for (const SourceFrames* s : filter)
        for (int32_t f : s->recent_)
            if (f != asking) return false;
    return true;
}

SharedFrame SourceFrames::frameFor(int32_t wanted, int32_t asking, const SharedFrame& own)
{
    Shelf& s = shelf();
    std::unique_lock<std::mutex> lock(s.mutex);
    const auto start = std::chrono::steady_clock::now();
    // The instance's own frames first: a frame another instance was handed is the same frame only when
    // the two are one filter's.
    auto kept = [&](const std::vector<const SourceFrames*>& members) -> SharedFrame {
        if (const Kept* k = findOwn(wanted); k != nullptr && !k->standIn) return k->source;
        for (const SourceFrames* m : members)
            if (const Kept* k = m->findOwn(wanted); k != nullptr && !k->standIn) return k->source;
        return nullptr;
    };
    for (;;) {
        const std::vector<const SourceFrames*> members = filter();
        if (SharedFrame f = kept(members)) return f;
        bool coming = false;
        for (const SourceFrames* m : members)
            coming |= std::find(m->inFlight_.begin(), m->inFlight_.end(), wanted) != m->inFlight_.end();
        std::chrono::milliseconds wait{0};
        if (coming)
            wait = kInFlightWait;
        else if (findOwn(wanted) == nullptr && (expected(members, wanted) || fresh(members, asking)))
            wait = kExpectedWait;
        if (wait.count() == 0) break;
        if (s.changed.wait_until(lock, start + wait) == std::cv_status::timeout) {
            if (SharedFrame f = kept(filter())) return f;
            break;
        }
    }
    if (const Kept* k = findOwn(wanted); k != nullptr && k->standIn && k->standInFrom <= asking)
        return k->source;
    keep({wanted, own, true, asking});
    return own;
}

std::vector<int32_t> SourceFrames::kept() const
{
    const std::lock_guard<std::mutex> lock(shelf().mutex);
    std::vector<int32_t> frames;
    for (const Kept& k : kept_) frames.push_back(k.frame);
    return frames;
}

}  // namespace Kiln::Frei0r
