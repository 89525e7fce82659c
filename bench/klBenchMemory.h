#pragma once
// Image memory for the benchmarks, kept between iterations as a host keeps its memory between frames: a
// stage measured frame after frame then works in warm pages, as it does under a host that reuses memory,
// and the figures are not the kernel's page faults. Kept blocks are bounded; the heap serves the rest.
#include "image/klDataHandle.h"

#include <cstddef>
#include <cstdlib>
#include <map>
#include <mutex>

namespace Kiln::Bench {

class KeptHeapMemory final : public Memory::HostMemoryService {
public:
    void* allocate(size_t bytes) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = kept_.find(bytes);
            if (it != kept_.end()) {
                void* block = it->second;
                kept_.erase(it);
                keptBytes_ -= bytes;
                return block;
            }
        }
        auto* raw = static_cast<unsigned char*>(std::malloc(bytes + kHeader));
        if (raw == nullptr) return nullptr;
        *reinterpret_cast<size_t*>(raw) = bytes;
        return raw + kHeader;
    }

    void release(void* block) override
    {
        if (block == nullptr) return;
        unsigned char* raw = static_cast<unsigned char*>(block) - kHeader;
        const size_t bytes = *reinterpret_cast<size_t*>(raw);
        std::lock_guard<std::mutex> lock(mutex_);
        if (keptBytes_ + bytes > kBudget) {
            std::free(raw);
            return;
        }
        kept_.emplace(bytes, block);
        keptBytes_ += bytes;
    }

private:
    static constexpr size_t kHeader = 16;  // the block's size; keeps the heap's 16-byte alignment
    static constexpr size_t kBudget = size_t(512) << 20;
    std::mutex mutex_;
    std::multimap<size_t, void*> kept_;
    size_t keptBytes_ = 0;
};

// Installs one process-wide instance unless a service is already set.
inline void installBenchMemory()
{
    static KeptHeapMemory memory;
    if (Memory::hostMemoryService() == nullptr) Memory::setHostMemoryService(&memory);
}

}  // namespace Kiln::Bench
