#pragma once
// Random and noise toolkit of the monitor stages (shash, EM interference).
//
// Everything here is exact integer or single-precision arithmetic, so a given seed always gives the same
// picture on every machine and at every thread split. The generator state is a plain value: whoever draws
// owns it, and a stage that must not depend on its row bands hands each row the state it would have in one
// sweep from the top.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Kiln {

// Two-step linear congruential generator; each draw advances the state twice.
class RandomGenerator {
public:
    static constexpr uint32_t kMultiplier = 1103515245u;
    static constexpr uint32_t kIncrement = 12345u;
    static constexpr int32_t kMax = 32767;
    // The float nearest 1/32767: unit draws reach both 0 and 1.
    static constexpr float kUnit = 3.0518509e-5f;

    explicit RandomGenerator(uint32_t state = 0) noexcept : state_(state) { }

    uint32_t state() const noexcept { return state_; }
    void setState(uint32_t state) noexcept { state_ = state; }

    // An integer in 0..32767.
    int32_t draw() noexcept
    {
        const uint32_t s1 = state_ * kMultiplier + kIncrement;
        const uint32_t s2 = s1 * kMultiplier + kIncrement;
        state_ = s2;
        return int32_t(((s2 >> 16) & 255u) ^ (((s1 >> 16) & 255u) << 7));
    }

    // A float in [0, 1], both ends reachable.
    float unit() noexcept { return float(draw()) * kUnit; }

    // lo + trunc(unit * (hi - lo)): usually in [lo, hi), but a unit draw of exactly 1 gives hi. The span is
    // taken in 64 bits and the result kept inside the int32 range, so no pair of bounds can overflow.
    int32_t range(int32_t lo, int32_t hi) noexcept
    {
        const float step = unit() * float(int64_t(hi) - int64_t(lo));
        const int64_t v = int64_t(lo) + int64_t(step);
        return int32_t(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
    }

private:
    uint32_t state_;
};

// Truncates a float toward zero and keeps the low 10 bits (a table index); values that are not finite
// count as 0, and values beyond the integer range keep the bits they would have had.
inline int32_t wrapIndex1024(float v) noexcept
{
    // Floats of magnitude 2^62 or more are multiples of 2^39, so their low ten bits are zero.
    if (!(std::fabs(v) < 4.611686e18f)) {
        return 0;
    }
    return int32_t(uint64_t(int64_t(v)) & 1023u);
}

// Noise made of sine waves whose phases come from the integer hash of the seed.
class SineNoise {
public:
    static constexpr int kTableSize = 1024;
    static constexpr int kMaxOctaves = 8;

    // Per-seed phase offsets, computed once per row rather than per pixel.
    struct Phases {
        int32_t offset[kMaxOctaves];
        int octaves;
    };

    SineNoise();

    // octaves is limited to 1..8.
    Phases phases(uint32_t seed, int octaves) const noexcept;
    // Mean of the octaves' waves at x (x >= 0 in practice); a non-finite x counts as 0.
    float value(float x, const Phases& phases) const noexcept
    {
        if (!std::isfinite(x)) {
            x = 0.0f;
        }
        float sum = 0.0f;
        for (int i = 0; i < phases.octaves; ++i) {
            const float t = float(phases.offset[i]) + float(1 << i) * x * 1023.0f;
            sum += wave_[std::size_t(wrapIndex1024(t))];
        }
        return sum / float(phases.octaves);
    }
    float value(float x, int octaves, uint32_t seed) const noexcept
    {
        return value(x, phases(seed, octaves));
    }

    float wave(int index) const noexcept { return wave_[std::size_t(index) & (kTableSize - 1)]; }

private:
    std::array<float, kTableSize> wave_;
};

// Smooth one-dimensional gradient noise over eight 1024-entry gradient tables, 1 to 8 octaves.
// Only the first component of each gradient is ever read, so only it is kept.
class SmoothNoise {
public:
    static constexpr int kTables = 8;
    static constexpr int kTableSize = 1024;

    explicit SmoothNoise(uint32_t seed = 0);

    // The seed-0 instance every render uses; built once, read-only afterwards.
    static const SmoothNoise& standard();

    // First gradient component of entry `index` of table `table` (filled from seed + table).
    float gradient(int table, int index) const noexcept { return grad_[table & 7][index & (kTableSize - 1)]; }

    // One octave from table `table` at x; a non-finite x gives 0.
    float octave(int table, float x) const noexcept
    {
        if (!(std::fabs(x) < 4.611686e18f)) {
            return 0.0f;
        }
        const float fl = std::floor(x);
        const float f = x - fl;
        const uint32_t k = uint32_t(uint64_t(int64_t(fl))) * 275u;
        const float* t = grad_[table & 7];
        const float g0 = t[k & 1023u];
        const float g1 = t[(k + 275u) & 1023u];
        return g0 * f + f * f * (3.0f - 2.0f * f) * ((f - 1.0f) * g1 - g0 * f);
    }

    // Sum of 2^-j * octave(j, 2^j * x + o_j), o_0 = 0, o_j = 2^-j; octaves limited to 1..8.
    float value(float x, int octaves) const noexcept
    {
        const int n = octaves < 1 ? 1 : (octaves > kTables ? kTables : octaves);
        float sum = octave(0, x);
        for (int j = 1; j < n; ++j) {
            const float weight = 1.0f / float(1 << j);
            sum += weight * octave(j, float(1 << j) * x + weight);
        }
        return sum;
    }

private:
    void fill(int table, uint32_t seed) noexcept;

    float grad_[kTables][kTableSize];
};

}  // namespace Kiln
