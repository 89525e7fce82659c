#include "cli/klFrameSource.h"

#include "cli/klResample.h"

#include <algorithm>
#include <chrono>

namespace Kiln::Footage {

FrameSource::FrameSource(FootageReader& reader, int width, int height, size_t capacity)
    : reader_(reader), width_(width), height_(height), capacity_(std::max<size_t>(1, capacity)) {}

void FrameSource::beginRender() {
  std::lock_guard lock(mutex_);
  ++generation_;
}

void FrameSource::rethrowPending() {
  std::exception_ptr pending;
  {
    std::lock_guard lock(mutex_);
    std::swap(pending, pending_);
  }
  if (pending) std::rethrow_exception(pending);
}

const Image& FrameSource::frame(int index, Depth depth) {
  std::lock_guard lock(mutex_);
  const FootageInfo& info = reader_.info();
  index = std::clamp(index, 0, info.frameCount - 1);

  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->index == index && it->depth == depth) {
      it->generation = generation_;
      entries_.splice(entries_.begin(), entries_, it);
      return entries_.front().image;
    }
  }

  Image image;
  try {
    const auto start = std::chrono::steady_clock::now();
    image = reader_.read(index, depth);
    if (image.width != width_ || image.height != height_) image = downsample(image, width_, height_);
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++reads_;
  } catch (...) {
    if (!pending_) pending_ = std::current_exception();
    blank_ = Image::make(width_, height_, depth);
    return blank_;
  }

  // Drop the least recently used frames that no call in progress holds.
  while (entries_.size() >= capacity_) {
    auto victim = std::find_if(entries_.rbegin(), entries_.rend(), [&](const Entry& e) { return e.generation != generation_; });
    if (victim == entries_.rend()) break;
    entries_.erase(std::next(victim).base());
  }
  entries_.push_front(Entry{index, depth, std::move(image), generation_});
  return entries_.front().image;
}

}  // namespace Kiln::Footage
