#include "image/klDataHandle.h"

#include "exceptions/klException.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace Kiln::Memory {

namespace {
std::atomic<HostMemoryService*> g_service{nullptr};
constexpr size_t kAlign = 16;
}  // namespace

HostMemoryService::~HostMemoryService() = default;

void setHostMemoryService(HostMemoryService* service) { g_service.store(service); }

HostMemoryService* hostMemoryService() { return g_service.load(); }

SimpleHandle::SimpleHandle(size_t bytes)
{
    data_ = ::operator new(bytes == 0 ? 1 : bytes, std::align_val_t(kAlign), std::nothrow);
    if (data_ == nullptr)
        throw Exceptions::OutOfMemory("Kiln::Memory::SimpleHandle::SimpleHandle", __FILE__, __LINE__, bytes,
                                      "Image allocation");
    size_ = bytes;
}

SimpleHandle::~SimpleHandle() { ::operator delete(data_, std::align_val_t(kAlign)); }

}  // namespace Kiln::Memory

namespace Kiln::Image {

namespace {
// In front of the block: one pointer-sized word holding the service's block.
constexpr size_t kHeader = sizeof(void*);
constexpr size_t kAlign = 16;
}  // namespace

DataHandle::DataHandle(size_t bytes) : service_(Memory::hostMemoryService())
{
    const size_t extra = kHeader + kAlign - 1;
    void* block = nullptr;
    if (service_ != nullptr && bytes <= SIZE_MAX - extra) block = service_->allocate(bytes + extra);
    if (block == nullptr)
        throw Exceptions::OutOfMemory("Kiln::Image::DataHandle::DataHandle", __FILE__, __LINE__, bytes,
                                      "Image allocation");
    const uintptr_t first = reinterpret_cast<uintptr_t>(block) + kHeader;
    const uintptr_t aligned = (first + kAlign - 1) & ~static_cast<uintptr_t>(kAlign - 1);
    data_ = reinterpret_cast<void*>(aligned);
    reinterpret_cast<void**>(data_)[-1] = block;
    size_ = bytes;
}

DataHandle::~DataHandle()
{
    if (data_ != nullptr && service_ != nullptr) service_->release(reinterpret_cast<void**>(data_)[-1]);
}

}  // namespace Kiln::Image
