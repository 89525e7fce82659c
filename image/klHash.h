#pragma once
// Integer hash shared by the noise generators and the shash stage.
// Values depend only on the input word, so noise never depends on how rows are split among threads.

#include <cstdint>

namespace Kiln {

// Masked 31-bit hash: ((m*m*15731 + 789221)*m - 771171059) & 0x7fffffff with m = (n << 13) ^ n,
// all in wrapping 32-bit unsigned arithmetic.
inline uint32_t hashMasked(uint32_t n)
{
    const uint32_t m = (n << 13) ^ n;
    return ((m * m * 15731u + 789221u) * m - 771171059u) & 0x7fffffffu;
}

// Signed value in (-1, 1]: 1 - hashMasked(n) / 2^30.
inline float hashSigned(uint32_t n) { return 1.0f - float(hashMasked(n)) * 9.313225746154785e-10f; }

}  // namespace Kiln
