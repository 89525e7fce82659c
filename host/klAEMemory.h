#pragma once
// Image memory charged to the host: the Kiln::Memory::HostMemoryService of the module.
//
// A block of n bytes is one host handle of n + kBlockHeader bytes, locked for the block's
// whole life. The handle is stored in the pointer-sized word just in front of the block,
// and the block starts on a 16-byte boundary. Handles are made, locked, unlocked and
// disposed through the callbacks of the command being served, or through the cached
// copies when no command is being served on the calling thread (a worker thread).
#include "image/klDataHandle.h"
#include "sdk/klHostAPI.h"

#include <cstddef>
#include <cstdint>

namespace Kiln::AfterEffects {

class HostHandleMemory final : public Kiln::Memory::HostMemoryService {
public:
    // Room for the handle word plus the worst-case step to a 16-byte boundary.
    static constexpr size_t kBlockHeader = 32;

    void* allocate(size_t bytes) override;
    void release(void* block) override;

    // The block start inside a locked handle's memory: the first 16-byte boundary that
    // leaves room for the handle word in front of it.
    static unsigned char* blockStart(void* locked);
    // The handle stored in front of a block.
    static PF_Handle handleOf(const void* block);
};

// Installs the module's service as the process-wide one (once; later calls do nothing).
void installHostMemory();

}  // namespace Kiln::AfterEffects
