/*
 * Memory the substitute host keeps between calls, as a real host keeps its own. Large handle blocks the
 * module disposed of and pictures the host or its caller released (worlds, outputs) wait here for the next
 * request of the same size instead of going back to the system, so a steady render works in warm pages
 * instead of having the kernel fault fresh ones in every frame.
 *
 * Principles:
 * - Bounded: at most the budget is kept; keeping more drops the least recently kept first. A budget of 0
 *   keeps nothing, so every request gets fresh memory.
 * - Kept memory is handed out as it was left, never cleared: the host API promises cleared memory only for
 *   a world asked for cleared, and the world suite clears that one itself.
 * - A kept block belongs to nobody: it goes to one new owner at a time. Under AddressSanitizer it is
 *   poisoned while kept, so a module still using memory it gave back is caught as if it had been freed.
 * - Thread-safe: a module's worker threads may allocate and dispose handles while the host renders.
 */
#ifndef KL_RUNNER_MEMORY_H
#define KL_RUNNER_MEMORY_H

#include "runner/klRunner.h"

#include <cstddef>
#include <list>
#include <mutex>

namespace Kiln::Runner {

class KeptMemory {
public:
    // Smaller blocks go straight back to the process heap, which reuses them without faulting pages in.
    static constexpr size_t kSmallestKeptBlock = size_t(64) << 10;

    explicit KeptMemory(size_t budget) : budget_(budget) { }
    ~KeptMemory();
    KeptMemory(const KeptMemory&) = delete;
    KeptMemory& operator=(const KeptMemory&) = delete;

    // A kept block of exactly `bytes` bytes, or nullptr (then the caller takes one from std::malloc).
    void* takeBlock(size_t bytes);
    // Takes a block from std::malloc of `bytes` bytes: kept for reuse, or freed.
    void keepBlock(void* block, size_t bytes);

    // Pixels of a kept picture of this size and depth with rows packed (contents as last left), or a fresh
    // picture cleared to transparent black. `reused` tells which.
    Image takeImage(int width, int height, Depth depth, bool* reused = nullptr);
    void keepImage(Image&& image);

    size_t keptBytes() const;

private:
    struct Entry {
        size_t bytes = 0;
        void* block = nullptr;  // a handle block, else `image` holds the memory
        Image image;
    };
    void trim();  // drops the oldest entries while over budget; mutex held
    static void drop(Entry& e);

    mutable std::mutex mutex_;
    const size_t budget_;
    size_t kept_ = 0;
    std::list<Entry> entries_;  // most recently kept first
};

}  // namespace Kiln::Runner

#endif
