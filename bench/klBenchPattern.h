// The test card every stage benchmark renders: hashed noise in red, ramps in green and blue, opaque.
// One picture for all benchmarks so their figures compare.
#pragma once

#include "image/klPixel.h"
#include "image/klTexture.h"

#include <cstdint>

template <class Px>
void fillBenchPattern(KlTexture<Px>& t)
{
    using Kiln::Pixel::storeChannel;
    using C = typename Px::Channel;
    for (int y = 0; y < t.height(); ++y)
        for (int x = 0; x < t.width(); ++x) {
            Px& p = *t.pixelAddress(x, y);
            const uint32_t h = uint32_t(x * 7907 + y * 17387) * 2654435761u;
            p.a = storeChannel<C>(Px::M);
            p.r = storeChannel<C>(Px::M * float(h >> 24) / 255.0f);
            p.g = storeChannel<C>(Px::M * float(x & 255) / 255.0f);
            p.b = storeChannel<C>(Px::M * float(y & 255) / 255.0f);
        }
}
