#include "effect/klRandom.h"

#include "image/klHash.h"

#include <cmath>

namespace Kiln {

namespace {
constexpr float kTwoPi = 6.2831855f;
// Floats of magnitude 2^62 or more are multiples of 2^39, so their low ten bits are zero.
constexpr float kIndexLimit = 4.611686e18f;
} // namespace

int32_t wrapIndex1024(float v) noexcept
{
    if (!(std::fabs(v) < kIndexLimit)) {
        return 0;
    }
    return int32_t(uint64_t(int64_t(v)) & 1023u);
}

SineNoise::SineNoise()
{
    for (int j = 0; j < kTableSize; ++j) {
        wave_[size_t(j)] = std::sin(kTwoPi * float(j) / float(kTableSize));
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

float SineNoise::value(float x, const Phases& phases) const noexcept
{
    if (!std::isfinite(x)) {
        x = 0.0f;
    }
    float sum = 0.0f;
    for (int i = 0; i < phases.octaves; ++i) {
        const float frequency = float(1 << i);
        const float t = float(phases.offset[i]) + frequency * x * 1023.0f;
        sum += wave_[size_t(wrapIndex1024(t))];
    }
    return sum / float(phases.octaves);
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

float SmoothNoise::octave(int table, float x) const noexcept
{
    if (!(std::fabs(x) < kIndexLimit)) {
        return 0.0f;
    }
    const float fl = std::floor(x);
    const int64_t i = int64_t(fl);
    const float f = x - fl;
    const uint32_t k = uint32_t(uint64_t(i)) * 275u;
    const float* t = grad_[table & 7];
    const float g0 = t[k & 1023u];
    const float g1 = t[(k + 275u) & 1023u];
    return g0 * f + f * f * (3.0f - 2.0f * f) * ((f - 1.0f) * g1 - g0 * f);
}

float SmoothNoise::value(float x, int octaves) const noexcept
{
    const int n = octaves < 1 ? 1 : (octaves > kTables ? kTables : octaves);
    float sum = octave(0, x);
    for (int j = 1; j < n; ++j) {
        const float weight = 1.0f / float(1 << j);
        sum += weight * octave(j, float(1 << j) * x + weight);
    }
    return sum;
}

} // namespace Kiln
