#include "wrapper/klFilterSupport.h"

#include "exceptions/klException.h"
#include "image/klDataHandle.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>

namespace Kiln::Wrapper {

namespace {

class HeapMemory final : public Kiln::Memory::HostMemoryService {
public:
    void* allocate(size_t bytes) override { return std::malloc(bytes); }
    void release(void* block) override { std::free(block); }
};

}  // namespace

void installHeapMemory()
{
    static HeapMemory heap;
    static std::once_flag once;
    std::call_once(once, [] {
        if (Kiln::Memory::hostMemoryService() == nullptr) Kiln::Memory::setHostMemoryService(&heap);
    });
}

std::string failureText()
{
    try {
        throw;
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        return e.message();
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace Kiln::Wrapper
