#pragma once
// Shared by the image tests: a host memory service over the heap that counts its blocks
// and can be told to fail, installed for the whole test program.
#include "image/klDataHandle.h"

#include <atomic>
#include <cstddef>

namespace KilnImageTest {

class CountingMemoryService : public Kiln::Memory::HostMemoryService {
public:
    void* allocate(size_t bytes) override;
    void release(void* block) override;

    std::atomic<int> live{0};
    std::atomic<int> allocations{0};
    std::atomic<bool> fail{false};
    void* lastBlock = nullptr;
    size_t lastBytes = 0;
    void* lastReleased = nullptr;
};

// The service installed for every test.
CountingMemoryService& memoryService();

}  // namespace KilnImageTest
