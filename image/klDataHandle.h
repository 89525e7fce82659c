#pragma once
// Reference-counted pixel memory.
//
// Image memory is charged to the host: Kiln::Image::DataHandle takes its block from the
// process-wide host memory service (the plug-in entry installs one over the host's
// handle callbacks; tests install their own). Without a service, or when the service
// returns nothing, construction raises OutOfMemory ("Image allocation").
// Kiln::Memory::SimpleHandle is the same idea over the process heap.
//
// Both hand out blocks aligned to 16 bytes. The word in front of a DataHandle block is
// pointer-sized and holds the service's own block pointer, which release gives back.
#include "exceptions/klRefCounter.h"

#include <cstddef>

namespace Kiln::Memory {

struct HostMemoryService {
    // A block of at least `bytes` bytes, or nullptr when the host has none.
    virtual void* allocate(size_t bytes) = 0;
    virtual void release(void* block) = 0;
    virtual ~HostMemoryService();
};

// Process-wide service; nullptr removes it. Set it before images are built and keep it
// alive until they are gone (each handle remembers the service it came from).
void setHostMemoryService(HostMemoryService* service);
HostMemoryService* hostMemoryService();

// A block of memory with a reference count (starts at 1; the last release deletes).
class Handle : public KlRefCounter {
public:
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void* data() const { return data_; }
    size_t size() const { return size_; }

protected:
    Handle() = default;
    void* data_ = nullptr;
    size_t size_ = 0;
};

// Heap memory; std::bad_alloc becomes OutOfMemory.
class SimpleHandle : public Handle {
public:
    explicit SimpleHandle(size_t bytes);
    ~SimpleHandle() override;
};

}  // namespace Kiln::Memory

namespace Kiln::Image {

class DataHandle : public Memory::Handle {
public:
    explicit DataHandle(size_t bytes);
    ~DataHandle() override;

private:
    Memory::HostMemoryService* service_;
};

}  // namespace Kiln::Image
