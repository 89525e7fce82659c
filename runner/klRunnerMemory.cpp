#include "runner/klRunnerMemory.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>

namespace Kiln::Runner {

namespace {

void poison(const void* p, size_t bytes) { ASAN_POISON_MEMORY_REGION(p, bytes); }
void unpoison(const void* p, size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(p, bytes); }

bool packed(const Image& img)
{
    return img.width > 0 && img.height > 0 && img.rowBytes == size_t(img.width) * bytesPerPixel(img.depth) &&
           img.pixels.size() == img.rowBytes * size_t(img.height);
}

}  // namespace

KeptMemory::~KeptMemory()
{
    for (Entry& e : entries_) drop(e);
}

void KeptMemory::drop(Entry& e)
{
    if (e.block) {
        unpoison(e.block, e.bytes);
        std::free(e.block);
        e.block = nullptr;
    } else {
        unpoison(e.image.pixels.data(), e.image.pixels.size());
        e.image = Image{};
    }
}

void* KeptMemory::takeBlock(size_t bytes)
{
    if (bytes < kSmallestKeptBlock) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!it->block || it->bytes != bytes) continue;
        void* block = it->block;
        kept_ -= bytes;
        entries_.erase(it);
        unpoison(block, bytes);
        return block;
    }
    return nullptr;
}

void KeptMemory::keepBlock(void* block, size_t bytes)
{
    if (!block) return;
    if (bytes < kSmallestKeptBlock || bytes > budget_) {
        std::free(block);
        return;
    }
    poison(block, bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_front(Entry{bytes, block, Image{}});
    kept_ += bytes;
    trim();
}

Image KeptMemory::takeImage(int width, int height, Depth depth, bool* reused)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            const Image& img = it->image;
            if (it->block || img.width != width || img.height != height || img.depth != depth) continue;
            Image taken = std::move(it->image);
            kept_ -= it->bytes;
            entries_.erase(it);
            unpoison(taken.pixels.data(), taken.pixels.size());
            if (reused) *reused = true;
            return taken;
        }
    }
    if (reused) *reused = false;
    return Image::make(width, height, depth);
}

void KeptMemory::keepImage(Image&& image)
{
    if (!packed(image) || image.pixels.size() > budget_) return;
    Image kept = std::move(image);
    image = Image{};
    const size_t bytes = kept.pixels.size();
    poison(kept.pixels.data(), bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_front(Entry{bytes, nullptr, std::move(kept)});
    kept_ += bytes;
    trim();
}

size_t KeptMemory::keptBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}

void KeptMemory::trim()
{
    while (kept_ > budget_ && !entries_.empty()) {
        kept_ -= entries_.back().bytes;
        drop(entries_.back());
        entries_.pop_back();
    }
}

}  // namespace Kiln::Runner
