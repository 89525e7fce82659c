#include "render/klFrameSource.h"

#include "footage/klResample.h"

#include <algorithm>
#include <chrono>

namespace Kiln::Footage {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

}  // namespace

FrameSource::FrameSource(FootageReader& reader, int width, int height, size_t capacity)
    : reader_(reader), width_(width), height_(height), capacity_(std::max<size_t>(1, capacity))
{ }

FrameSource::~FrameSource() { stopReadingAhead(); }

void FrameSource::beginRender(int index)
{
    std::lock_guard lock(mutex_);
    ++generation_;
    renderIndex_ = index;
    askedTwiceBefore_ = std::move(askedBefore_);
    askedBefore_ = std::move(asked_);
    asked_.clear();
    changed_.notify_all();
}

void FrameSource::rethrowPending()
{
    std::exception_ptr pending;
    {
        std::lock_guard lock(mutex_);
        std::swap(pending, pending_);
    }
    if (pending) std::rethrow_exception(pending);
}

std::shared_ptr<const PictureAttributes> FrameSource::attributes(int index)
{
    return reader_.attributes(index);
}

double FrameSource::secondsReading() const
{
    std::lock_guard lock(mutex_);
    return seconds_;
}

long FrameSource::reads() const
{
    std::lock_guard lock(mutex_);
    return reads_;
}

double FrameSource::secondsWaited() const
{
    std::lock_guard lock(mutex_);
    return waited_;
}

std::list<FrameSource::Entry>::iterator FrameSource::find(int index, Depth depth)
{
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.index == index && e.depth == depth; });
}

std::vector<int> FrameSource::expected() const
{
    const int last = reader_.info().frameCount - 1;
    std::vector<int> out;
    auto add = [&](long index) {
        const int i = int(std::clamp<long>(index, 0, last));
        if (!contains(out, i)) out.push_back(i);
    };
    // Renders renderIndex_ + k, k = 0..aheadRenders_; the render before asked askedBefore_.
    for (int k = 0; k <= aheadRenders_ && long(renderIndex_) + k <= lastRender_; ++k) {
        if (askedBefore_.empty()) add(long(renderIndex_) + k);
        for (size_t j = 0; j < askedBefore_.size(); ++j) {
            const long step = j < askedTwiceBefore_.size() ? long(askedBefore_[j]) - askedTwiceBefore_[j] : 1;
            add(askedBefore_[j] + (k + 1) * step);
        }
    }
    return out;
}

bool FrameSource::droppable(const Entry& e, const std::vector<int>& keep) const
{
    return !e.loading && e.generation != generation_ && !(e.depth == aheadDepth_ && contains(keep, e.index));
}

bool FrameSource::dropOne(const std::vector<int>& keep)
{
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (!droppable(*it, keep)) continue;
        if (spare_.empty()) spare_.push_back(std::move(it->image));
        entries_.erase(std::next(it).base());
        return true;
    }
    return false;
}

void FrameSource::read(int index, Depth depth, Image& image)
{
    if (reader_.info().width == width_ && reader_.info().height == height_) {
        reader_.readInto(index, depth, image);
        if (image.width == width_ && image.height == height_) return;
    } else {
        image = reader_.read(index, depth);
    }
    image = downsample(image, width_, height_);
}

const Image& FrameSource::frame(int index, Depth depth)
{
    const auto start = Clock::now();
    std::unique_lock lock(mutex_);
    index = std::clamp(index, 0, reader_.info().frameCount - 1);
    if (!contains(asked_, index)) asked_.push_back(index);
    auto it = find(index, depth);
    while (it != entries_.end() && it->loading) {
        changed_.wait(lock);
        it = find(index, depth);
    }
    if (it != entries_.end()) {
        it->generation = generation_;
        entries_.splice(entries_.begin(), entries_, it);
        waited_ += secondsSince(start);
        return entries_.front().image;
    }

    // Read here, in place in the cache, so that reading ahead neither reads it too nor drops it.
    entries_.push_front(Entry{index, depth, Image(), generation_, true});
    it = entries_.begin();
    if (!spare_.empty()) {
        it->image = std::move(spare_.back());
        spare_.pop_back();
    }
    Image image = std::move(it->image);
    lock.unlock();
    std::exception_ptr failure;
    const auto readStart = Clock::now();
    {
        std::lock_guard reading(readerMutex_);
        try {
            read(index, depth, image);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    lock.lock();
    seconds_ += secondsSince(readStart);
    it->loading = false;
    changed_.notify_all();
    if (failure) {
        entries_.erase(it);
        if (!pending_) pending_ = failure;
        if (blank_.width != width_ || blank_.height != height_ || blank_.depth != depth)
            blank_ = Image::make(width_, height_, depth);
        waited_ += secondsSince(start);
        return blank_;
    }
    ++reads_;
    it->image = std::move(image);
    const std::vector<int> keep = expected();
    while (entries_.size() > capacity_ && dropOne(keep)) { }
    waited_ += secondsSince(start);
    return it->image;
}

void FrameSource::readAhead(Depth depth, int renders, int from, int to)
{
    stopReadingAhead();
    {
        std::lock_guard lock(mutex_);
        lastRender_ = to;
        if (asked_.empty() && askedBefore_.empty()) renderIndex_ = from;
        aheadDepth_ = depth;
        aheadRenders_ = std::max(0, renders);
        stopping_ = false;
    }
    ahead_ = std::thread([this] { readingAhead(); });
}

void FrameSource::stopReadingAhead()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (ahead_.joinable()) ahead_.join();
}

void FrameSource::readingAhead()
{
    std::vector<int> failed;  // not tried again here: a render asking for one reads it itself
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const std::vector<int> keep = expected();
        int next = -1;
        for (const int i : keep) {
            if (find(i, aheadDepth_) == entries_.end() && !contains(failed, i)) {
                next = i;
                break;
            }
        }
        if (next < 0 || (entries_.size() >= capacity_ && !dropOne(keep))) {
            changed_.wait(lock);
            continue;
        }
        const Depth depth = aheadDepth_;
        entries_.push_back(Entry{next, depth, Image(), generation_ - 1, true});
        auto it = std::prev(entries_.end());
        if (!spare_.empty()) {
            it->image = std::move(spare_.back());
            spare_.pop_back();
        }
        Image image = std::move(it->image);
        lock.unlock();
        bool ok = true;
        const auto readStart = Clock::now();
        {
            std::lock_guard reading(readerMutex_);
            try {
                read(next, depth, image);
            } catch (...) {
                ok = false;
            }
        }
        lock.lock();
        seconds_ += secondsSince(readStart);
        it->loading = false;
        if (ok) {
            ++reads_;
            it->image = std::move(image);
        } else {
            entries_.erase(it);
            failed.push_back(next);
        }
        changed_.notify_all();
    }
}

}  // namespace Kiln::Footage
