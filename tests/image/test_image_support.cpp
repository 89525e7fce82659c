#include "imageTestSupport.h"

#include "exceptions/klException.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace KilnImageTest {

void* CountingMemoryService::allocate(size_t bytes)
{
    if (fail.load()) return nullptr;
    void* p = std::malloc(bytes);
    if (p != nullptr) {
        ++live;
        ++allocations;
        lastBlock = p;
        lastBytes = bytes;
    }
    return p;
}

void CountingMemoryService::release(void* block)
{
    --live;
    lastReleased = block;
    std::free(block);
}

CountingMemoryService& memoryService()
{
    static CountingMemoryService service;
    return service;
}

namespace {
class ImageEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Kiln::Errors::Initialise();
        Kiln::Memory::setHostMemoryService(&memoryService());
    }
    void TearDown() override { Kiln::Memory::setHostMemoryService(nullptr); }
};
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ImageEnvironment);
}  // namespace

}  // namespace KilnImageTest
