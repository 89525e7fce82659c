#include "host/klAEMemory.h"

#include "host/klAEGlobals.h"

#include <cstring>
#include <mutex>

namespace Kiln::AfterEffects {

unsigned char* HostHandleMemory::blockStart(void* locked)
{
    const auto base = reinterpret_cast<uintptr_t>(locked);
    const uintptr_t start = (base + sizeof(PF_Handle) + 15) & ~uintptr_t(15);
    return reinterpret_cast<unsigned char*>(start);
}

PF_Handle HostHandleMemory::handleOf(const void* block)
{
    PF_Handle h;
    std::memcpy(&h, static_cast<const unsigned char*>(block) - sizeof(PF_Handle), sizeof(h));
    return h;
}

void* HostHandleMemory::allocate(size_t bytes)
{
    if (bytes > SIZE_MAX - kBlockHeader) return nullptr;
    const HandleCallbacks cb = handleCallbacks();
    if (cb.newHandle == nullptr || cb.lock == nullptr) return nullptr;
    PF_Handle h = cb.newHandle(static_cast<uint64_t>(bytes + kBlockHeader));
    if (h == nullptr) return nullptr;
    void* locked = cb.lock(h);
    if (locked == nullptr) {
        if (cb.dispose) cb.dispose(h);
        return nullptr;
    }
    unsigned char* block = blockStart(locked);
    std::memcpy(block - sizeof(PF_Handle), &h, sizeof(h));
    return block;
}

void HostHandleMemory::release(void* block)
{
    if (block == nullptr) return;
    const HandleCallbacks cb = handleCallbacks();
    PF_Handle h = handleOf(block);
    if (cb.unlock) cb.unlock(h);
    if (cb.dispose) cb.dispose(h);
}

void installHostMemory()
{
    static HostHandleMemory service;
    static std::once_flag once;
    std::call_once(once, [] { Kiln::Memory::setHostMemoryService(&service); });
}

}  // namespace Kiln::AfterEffects
