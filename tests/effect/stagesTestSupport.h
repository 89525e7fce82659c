#pragma once
// Shared by the stage tests: image memory from the heap for the whole program, a processor-count
// override, and small image helpers.
#include "image/klMultiProcessor.h"
#include "image/klTexture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace KilnStagesTest {

// Image memory from the heap for the whole test program; with `failing` set every allocation fails.
struct HeapMemory : Kiln::Memory::HostMemoryService {
    void* allocate(size_t bytes) override { return failing ? nullptr : std::malloc(bytes); }
    void release(void* block) override { std::free(block); }
    bool failing = false;
};
inline HeapMemory& heapMemory()
{
    static HeapMemory memory;
    return memory;
}
inline const bool kHeapMemoryInstalled = (Kiln::Memory::setHostMemoryService(&heapMemory()), true);

// Pretends the machine has n processors for the life of the object.
struct ProcessorCount {
    explicit ProcessorCount(int n) { KlMultiProcessor::setProcessorCountForTesting(n); }
    ~ProcessorCount() { KlMultiProcessor::setProcessorCountForTesting(0); }
};

// Restores the machine's processor count after each test.
class StageTest : public ::testing::Test {
protected:
    void TearDown() override { KlMultiProcessor::setProcessorCountForTesting(0); }
};

template <class Px>
KlTexture<Px> makeImage(int w, int h, const std::function<Px(int, int)>& f, int edgeMode = KlEdgeRepeat)
{
    KlTexture<Px> t(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) *t.pixelAddress(x, y) = f(x, y);
    t.setEdgeModes(edgeMode, edgeMode);
    return t;
}

template <class Px>
bool sameImage(const KlTexture<Px>& a, const KlTexture<Px>& b)
{
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.pixelAddress(a.originX(), a.originY() + y),
                        b.pixelAddress(b.originX(), b.originY() + y), sizeof(Px) * size_t(a.width())) != 0)
            return false;
    return true;
}

// A deterministic pattern filling every channel over the depth's range.
template <class Px>
Px patternPixel(int x, int y)
{
    using Ch = typename Px::Channel;
    const uint32_t h = uint32_t(x * 7907 + y * 17387) * 2654435761u;
    Px p;
    p.a = Kiln::Pixel::storeChannel<Ch>(Px::M * float(h >> 24) / 255.0f);
    p.r = Kiln::Pixel::storeChannel<Ch>(Px::M * float((h >> 16) & 255) / 255.0f);
    p.g = Kiln::Pixel::storeChannel<Ch>(Px::M * float((h >> 8) & 255) / 255.0f);
    p.b = Kiln::Pixel::storeChannel<Ch>(Px::M * float(h & 255) / 255.0f);
    return p;
}

}  // namespace KilnStagesTest
