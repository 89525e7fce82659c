#include "effect/klRandom.h"

#include "image/klHash.h"

#include <cmath>

namespace Kiln {

namespace {
constexpr float kTwoPi = 6.2831855f;
}  // namespace

SineNoise::SineNoise()
{
    for (int j = 0; j < kTableSize; ++j) {
        wave_[std::size_t(j)] = std::sin(kTwoPi * float(j) / float(kTableSize));
    }
}

SineNoise::Phases SineNoise::phases(uint32_t seed, int octaves) const noexcept
{
    Phases p{};
    p.octaves = octaves < 1 ? 1 : (octaves > kMaxOctaves ? kMaxOctaves : octaves);
    for (int i = 0; i < p.octaves; ++i) {
        const float r = hashSigned(seed + uint32_t(i));
        p.offset[i] = int32_t(((r + 1.0f) * 0.5f) * 1023.0f);
    }
    return p;
}

SmoothNoise::SmoothNoise(uint32_t seed)
{
    for (int j = 0; j < kTables; ++j) {
        fill(j, seed + uint32_t(j));
    }
}

const SmoothNoise& SmoothNoise::standard()
{
    static const SmoothNoise instance(0);
    return instance;
}

void SmoothNoise::fill(int table, uint32_t q) noexcept
{
    for (uint32_t d = 0; d < uint32_t(kTableSize); ++d) {
        // hashSigned(n) is exactly 1 - H(n) / 2^30.
        const float z = hashSigned(d * (q + 1u));
        const float theta = kTwoPi * hashSigned(d * (q + 104761u * d));
        const float r = std::sqrt(1.0f - z * z);
        grad_[table][d] = r * std::cos(theta);
    }
}

}  // namespace Kiln
